#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <unordered_map>

#include "inspection/PropertyInspector.h"
#include "platform/Export.h"
#include "platform/ProfilerInfo.h"

class CommandBase;
class RelayWorker;
class ThreadContext;

// The agent's central object: one per process, built at library load and never destroyed,
// because the runtime keeps calling hooks and thread callbacks from its own threads at exit.
class ProfilerImpl {
public:
    ProfilerImpl();

    HRESULT FinalConstruct();
    HRESULT Initialize(IUnknown* infoUnknown, void* enterHook, void* leaveHook, void* tailcallHook);
    void SignalProcessStart();
    void QueueForDelivery(CommandBase* command);
    static UINT_PTR FunctionMapperCallback(FunctionID functionId, BOOL* hookFunction);
    void MonitorLiveBlacklists() const;
    void FinalRelease();
    HRESULT Shutdown();

    void Enter(FunctionID functionId, UINT_PTR mappedId, COR_PRF_FRAME_INFO frameInfo,
               COR_PRF_FUNCTION_ARGUMENT_INFO* argumentInfo);
    void Leave(FunctionID functionId, UINT_PTR mappedId, COR_PRF_FRAME_INFO frameInfo,
               COR_PRF_FUNCTION_ARGUMENT_RANGE* returnValueRange);
    void Tailcall(FunctionID functionId, UINT_PTR mappedId, COR_PRF_FRAME_INFO frameInfo);

    void ExceptionRaised(ObjectID exceptionObjectId);
    void ExceptionUnwind(FunctionID functionId);
    void ExceptionCaught(FunctionID functionId);
    // The runtime announces the unwinding of the frame that will catch the exception too, and
    // only frames that are really removed see the end of their unwinding: the report waits for it.
    void ExceptionUnwindStarted(FunctionID functionId);
    void ExceptionUnwindFinished();
    HRESULT JITInlining(FunctionID callerId, FunctionID calleeId, BOOL* shouldInline);

    // Calls reported by injected managed probes take the same road as the hooks.
    void ProbeEnterFunction(ModuleID moduleId, uint32_t methodToken, int32_t unused);
    void ProbeExitFunction(ModuleID moduleId, uint32_t methodToken, int32_t unused);

    void ThreadStart(ThreadID threadId);
    void ThreadMapped(ThreadID threadId, uint64_t osThreadId);
    void ThreadEnded(ThreadID threadId);

    bool IsAttached() const { return attached.load(std::memory_order_acquire); }
    bool IsFinalised() const { return finalised.load(std::memory_order_acquire); }
    size_t ThreadContextCount();
    // Blacklisted frames the thread is inside (0 without a context); for diagnostics.
    size_t BlacklistDepth(ThreadID threadId);

    static constexpr UINT_PTR UntracedIdBound = 100000000;

private:
    PropertyInspector inspector;

    bool Active() const { return IsAttached() && !IsFinalised(); }
    void StartStartupPeriod();
    void StartLiveBlacklistMonitor();
    void DrainRelay();
    // A tail call passes no return value range.
    void EndFrame(FunctionID functionId, UINT_PTR mappedId, bool tailCall,
                  const COR_PRF_FUNCTION_ARGUMENT_RANGE* returnValueRange);
    ThreadContext* ContextOf(ThreadID threadId, bool insertEmpty);

    std::mutex threadContextsLock;
    std::unordered_map<ThreadID, ThreadContext*> threadContexts;
    std::unordered_map<ThreadID, FunctionID> pendingUnwinds;  // guarded by threadContextsLock
    std::atomic<bool> attached{false};
    // Set once the end of the process was announced: late callbacks must then do nothing.
    std::atomic<bool> finalised{false};
};

extern QX_EXPORT ProfilerImpl* g_ProfilerImpl;
// True while the configured start-up period runs.
extern QX_EXPORT bool g_startup;
extern QX_EXPORT RelayWorker* g_Relay;
