#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "commands/CommandBase.h"
#include "environment/Logger.h"
#include "inspection/ExceptionReader.h"
#include "inspection/PropertyInspector.h"
#include "mapping/FunctionMapper.h"
#include "platform/Export.h"
#include "platform/ProfilerInfo.h"
#include "profiler/HookThread.h"

class CommandBase;
class ProbeEngine;
struct ProbeArgumentRange;
class FunctionInfo;
class RelayWorker;
class ThreadContext;
struct HookThread;

// The agent's central object: one per process, built at library load and never destroyed,
// because the runtime keeps calling hooks and thread callbacks from its own threads at exit.
class ProfilerImpl {
public:
    ProfilerImpl();
    // The agent's instance is never destroyed; others (tests) stop the live blacklist thread.
    ~ProfilerImpl();
    ProfilerImpl(const ProfilerImpl&) = delete;
    ProfilerImpl& operator=(const ProfilerImpl&) = delete;

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

    // The hooks registered with the runtime when it offers them: they get the mapped id and a
    // handle through which argument and return information is asked for only when captured.
    static void EnterWithInfo(FunctionIDOrClientID functionIdOrClientId, COR_PRF_ELT_INFO eltInfo);
    static void LeaveWithInfo(FunctionIDOrClientID functionIdOrClientId, COR_PRF_ELT_INFO eltInfo);
    static void TailcallWithInfo(FunctionIDOrClientID functionIdOrClientId, COR_PRF_ELT_INFO eltInfo);
    // Whether those hooks are the ones registered (false: the ones with full information).
    bool UsesHooksWithInfo() const { return hooksWithInfo; }

    void ExceptionRaised(ObjectID exceptionObjectId);
    void ExceptionUnwind(FunctionID functionId);
    void ExceptionCaught(FunctionID functionId);
    // The runtime announces the unwinding of the frame that will catch the exception too, and
    // only frames that are really removed see the end of their unwinding: the report waits for it.
    void ExceptionUnwindStarted(FunctionID functionId);
    void ExceptionUnwindFinished();
    HRESULT JITInlining(FunctionID callerId, FunctionID calleeId, BOOL* shouldInline);

    // The probe engine's side of the runtime: module loads, re-JIT and precompiled code.
    void ModuleLoaded(ModuleID moduleId);
    HRESULT GetReJITParameters(ModuleID moduleId, mdMethodDef methodId, ICorProfilerFunctionControl* control);
    void ReJITError(ModuleID moduleId, mdMethodDef methodId, HRESULT status);
    bool MayUsePrecompiledCode(FunctionID functionId);
    // Which engine reports calls; known once Initialize ran.
    TraceEngine Engine() const { return probes != nullptr ? TraceEngine::Probes : TraceEngine::Hooks; }

    // What the probes put into traced methods call: the runtime's GC waits while they run, so
    // they take no lock, wait for nothing and ask the runtime nothing it could refuse there.
    static void ProbeEnter(uint32_t id) noexcept;
    static void ProbeLeave(uint32_t id) noexcept;
    static void ProbeTailcall(uint32_t id) noexcept;
    static void ProbeEnterArguments(const ProbeArgumentRange* ranges, uint32_t count, uint32_t id) noexcept;
    static void ProbeLeaveValue(const void* address, uint32_t length, uint32_t id) noexcept;

    // Calls reported by injected managed probes take the same road as the hooks.
    void ProbeEnterFunction(ModuleID moduleId, uint32_t methodToken, int32_t unused);
    void ProbeExitFunction(ModuleID moduleId, uint32_t methodToken, int32_t unused);

    void ThreadStart(ThreadID threadId);
    void ThreadMapped(ThreadID threadId, uint64_t osThreadId);
    void ThreadEnded(ThreadID threadId);

    bool IsAttached() const { return attached.load(std::memory_order_acquire); }
    // Calls are reported from start-up until the end of the process is being announced.
    bool IsReporting() const { return reporting.load(std::memory_order_relaxed); }
    bool IsFinalised() const { return finalised.load(std::memory_order_acquire); }
    size_t ThreadContextCount();
    // Blacklisted frames the thread is inside (0 without a context); for diagnostics.
    size_t BlacklistDepth(ThreadID threadId);

    // How long the end of the process may take to deliver what is left and announce the end.
    static constexpr std::chrono::milliseconds FinishBudget{750};
    // The same while the app's threads wait for a collector that keeps up: what they were made to
    // wait for is sent, not dropped at the end.
    static constexpr std::chrono::milliseconds WaitingFinishBudget{5000};

private:
    PropertyInspector inspector;
    ExceptionReader exceptions;

    // Where the argument and return information of one hook call comes from: handed over by the
    // hooks with full information, or asked for through the handle of the hooks with information.
    struct CallFrame {
        FunctionID functionId = 0;  // the runtime's id
        COR_PRF_FRAME_INFO frameInfo = 0;
        COR_PRF_FUNCTION_ARGUMENT_INFO* arguments = nullptr;
        COR_PRF_FUNCTION_ARGUMENT_RANGE* returnValue = nullptr;
        COR_PRF_ELT_INFO eltInfo = 0;  // non-zero: ask the runtime
    };

    bool Active() const { return IsAttached() && !IsFinalised(); }
    template <typename Body>
    static void OnCallEvent(LogArea operation, UINT_PTR clientId, COR_PRF_ELT_INFO eltInfo, Body&& body) noexcept;
    void StartStartupPeriod();
    // The hooks engine's registration with the runtime.
    HRESULT RegisterHooks(ICorProfilerInfo* info, ICorProfilerInfo2* info2, void* enterHook, void* leaveHook,
                          void* tailcallHook);
    // Whether the runtime has what the probe engine needs; says why not in the log.
    bool ProbeEngineRuns() const;
    void StartProbeEngine();
    void StartLiveBlacklistMonitor();
    // What the thrown object says about itself, right after its ExceptionRaised (when asked for).
    void DeliverExceptionDetails(HookThread* thread, uint64_t tid, ObjectID exceptionObjectId);
    FunctionInfo* RecordFor(FunctionID functionId, UINT_PTR mappedId) const;
    // The hooks with information get only the client id: the table answers at once, the rest
    // (the runtime's id, should it ever be handed over instead) is looked up as such.
    FunctionInfo* RecordForClient(UINT_PTR clientId) const {
        FunctionMapper* mapper = g_Mapper;
        if (mapper == nullptr) return nullptr;
        if (FunctionInfo* record = mapper->FindRecord(clientId)) return record;
        return RecordFor(clientId, clientId);
    }
    // The calling thread's hook state, bound to its current context.
    HookThread* BoundThread() {
        HookThread* thread = HookThread::Current();
        if (thread != nullptr && thread->contextGeneration != contextsGeneration.load(std::memory_order_acquire))
            Rebind(*thread);
        return thread;
    }
    void Rebind(HookThread& thread);
    // The plain call path is inlined into the hooks: a call level costs its register saves twice per call.
    [[gnu::always_inline]] inline void EnterRecord(FunctionInfo& record, UINT_PTR mappedId, CallFrame& frame);
    // A tail call passes no return value range.
    [[gnu::always_inline]] inline void EndRecord(FunctionInfo& record, bool tailCall, CallFrame& frame);
    // The names of a function, on its first call in the thread's trace; false when there was no room.
    bool DeliverMethodInfo(HookThread* thread, FunctionInfo& record);
    // A monitored function's begin or end with its captured values; false when there was nothing
    // to capture (the plain command is then written). Kept apart so that the plain path stays light.
    bool EnterMonitored(HookThread* thread, FunctionInfo& record, UINT_PTR mappedId, CallFrame& frame);
    bool EndMonitored(HookThread* thread, FunctionInfo& record, CallFrame& frame);
    // A begin or end of a call that carries no values.
    [[gnu::always_inline]] inline void WritePlainCall(HookThread* thread, Calls::CallType type, uint64_t id,
                                                      bool tailCall);
    // Makes the reserved bytes visible to the relay, and tells it when a chunk is full.
    [[gnu::always_inline]] static inline void CommitToBuffer(HookThread* thread, size_t length);
    // Serialises a command into the thread's buffer (or the relay's queue without one); false
    // when there was no room for it.
    bool Deliver(HookThread* thread, CommandBase& command);
    ThreadContext* ContextOf(ThreadID threadId, bool insertEmpty);
    void ChangedContexts() { contextsGeneration.fetch_add(1, std::memory_order_release); }

    std::mutex threadContextsLock;
    std::unordered_map<ThreadID, std::shared_ptr<ThreadContext>> threadContexts;
    // Changes whenever a context is added, replaced or removed; a thread's hooks rebind then.
    std::atomic<uint64_t> contextsGeneration{0};
    std::atomic<bool> reporting{false};
    bool hooksWithInfo = false;
    ProbeEngine* probes = nullptr;  // never freed: the runtime's threads call into it until exit
    ICorProfilerInfo3* info3 = nullptr;
    uint32_t wireProcessId = 0;
    std::unordered_map<ThreadID, FunctionID> pendingUnwinds;  // guarded by threadContextsLock
    std::atomic<bool> attached{false};
    // Set once the end of the process was announced: late callbacks must then do nothing.
    std::atomic<bool> finalised{false};
    // The live blacklist thread reads this object, so it is joined, not detached.
    std::thread blacklistMonitor;
    mutable std::mutex monitorLock;
    mutable std::condition_variable monitorWake;
    bool monitorStop = false;  // guarded by monitorLock
};

extern QX_EXPORT ProfilerImpl* g_ProfilerImpl;
// True while the configured start-up period runs. Nothing in the agent reads it: published for
// diagnostic tools and debuggers (see exports.map).
extern QX_EXPORT bool g_startup;
extern QX_EXPORT RelayWorker* g_Relay;
