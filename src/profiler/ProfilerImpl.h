#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <unordered_map>

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

    void ThreadStart(ThreadID threadId);
    void ThreadMapped(ThreadID threadId, uint64_t osThreadId);
    void ThreadEnded(ThreadID threadId);

    bool IsAttached() const { return attached.load(std::memory_order_acquire); }
    bool IsFinalised() const { return finalised.load(std::memory_order_acquire); }
    size_t ThreadContextCount();

private:
    bool Active() const { return IsAttached() && !IsFinalised(); }
    void StartStartupPeriod();
    void StartLiveBlacklistMonitor();

    std::mutex threadContextsLock;
    std::unordered_map<ThreadID, ThreadContext*> threadContexts;
    std::atomic<bool> attached{false};
    // Set once the end of the process was announced: late callbacks must then do nothing.
    std::atomic<bool> finalised{false};
};

extern QX_EXPORT ProfilerImpl* g_ProfilerImpl;
// True while the configured start-up period runs.
extern QX_EXPORT bool g_startup;
extern QX_EXPORT RelayWorker* g_Relay;
