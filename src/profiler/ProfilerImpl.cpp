#include "profiler/ProfilerImpl.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <iterator>
#include <memory>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <system_error>
#include <thread>

#include "commands/BeginCallCommand.h"
#include "commands/EndCallCommand.h"
#include "commands/ExceptionRaisedCommand.h"
#include "commands/MethodInfoCommand.h"
#include "commands/ProcessEndedCommand.h"
#include "commands/UnwindCallCommand.h"
#include "commands/ProcessFrequencyCommand.h"
#include "commands/ProcessStartedCommand.h"
#include "commands/ThreadEndedCommand.h"
#include "commands/ThreadStartedCommand.h"
#include "commands/ProcessTypeCommand.h"
#include "commands/ProfilerVersionCommand.h"
#include "environment/Configuration.h"
#include "environment/Logger.h"
#include "environment/SystemContext.h"
#include "environment/profiler_pal.h"
#include "mapping/FunctionInfo.h"
#include "mapping/FunctionMapper.h"
#include "mapping/LookupHelper.h"
#include "platform/InterfaceIds.h"
#include "profiler/ErrorBoundary.h"
#include "threads/ThreadContext.h"
#include "uplink/PipeUplink.h"
#include "uplink/RelayWorker.h"
#include "uplink/TcpUplink.h"
#include "uplink/UdpUplink.h"

bool g_startup = false;
RelayWorker* g_Relay = nullptr;

namespace {

// Load-time set-up of the process-wide objects, before the runtime makes any call.
struct LoadTimeInitialisation {
    LoadTimeInitialisation() {
        g_Configuration = Configuration::Instance();
        g_Logger = new Logger(g_Configuration->logLevel, g_Configuration->errorLogFolder,
                              g_Configuration->logToConsole, g_Configuration->processId);
        g_Relay = RelayWorker::Instance();
    }
} loadTimeInitialisation;

constexpr uint32_t EventMask = COR_PRF_MONITOR_CLASS_LOADS | COR_PRF_MONITOR_MODULE_LOADS |
                               COR_PRF_MONITOR_ASSEMBLY_LOADS | COR_PRF_MONITOR_APPDOMAIN_LOADS |
                               COR_PRF_MONITOR_JIT_COMPILATION | COR_PRF_MONITOR_EXCEPTIONS |
                               COR_PRF_MONITOR_THREADS | COR_PRF_MONITOR_ENTERLEAVE | COR_PRF_ENABLE_REJIT |
                               COR_PRF_DISABLE_OPTIMIZATIONS | COR_PRF_ENABLE_FUNCTION_ARGS |
                               COR_PRF_ENABLE_FUNCTION_RETVAL | COR_PRF_ENABLE_FRAME_INFO |
                               COR_PRF_DISABLE_ALL_NGEN_IMAGES;
static_assert(EventMask == 0x8E44127Eu, "event mask");

unsigned long Pid() { return g_Context != nullptr ? g_Context->GetProcessId() : LogProcessId(); }

// Standard output may be a pipe whose reader is gone; that must not raise SIGPIPE in the host.
void WriteToStandardOutput(const char* text) {
    sigset_t blocked, previous;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &blocked, &previous);
    size_t length = std::strlen(text), written = 0;
    while (written < length) {
        ssize_t n = ::write(STDOUT_FILENO, text + written, length - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        written += static_cast<size_t>(n);
    }
    if (written < length) {
        const timespec zero{0, 0};
        while (sigtimedwait(&blocked, nullptr, &zero) == SIGPIPE) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

AgentUplink* ChooseUplink(unsigned long pid) {
    const Configuration& settings = *g_Configuration;
    switch (settings.networkMode) {
        case Uplink::NamedPipe:
            QX_LOG(LogLevel::Info, "[%lu][Boot] Using NamedPipe for uplink", pid);
            return new PipeUplink(L"\\\\.\\pipe\\QuorixAgent_v1");
        case Uplink::Tcp:
            QX_LOG(LogLevel::Info, "[%lu][Boot] TCP uplink selected", pid);
            return new TcpUplink(settings.wireCommandPort);
        default:
            if (settings.useMulticast) {
                QX_LOG(LogLevel::Info, "[%lu][Boot] Multicast UDP uplink selected", pid);
                return new UdpUplink(settings.wireCommandPort, MULTICAST_IP_ADDRESS);
            }
            QX_LOG(LogLevel::Info, "[%lu][Boot] UDP uplink selected", pid);
            return new UdpUplink(settings.wireCommandPort);
    }
}

}  // namespace

ProfilerImpl::ProfilerImpl() { threadContexts.max_load_factor(1.0f); }

HRESULT ProfilerImpl::FinalConstruct() {
    g_Context = new SystemContext();
    const unsigned long pid = g_Context->GetProcessId();
    if (g_Context->GetHostType() == DOTNET_CORE_MSBUILD) {
        QX_LOG(LogLevel::Info, "[%lu][Boot] Profiler is not attaching because MSBuild was detected (DOTNET_CORE_MSBUILD)",
               pid);
        return S_OK;
    }
    StartStartupPeriod();
    attached.store(true, std::memory_order_release);
    g_Relay->Start(ChooseUplink(pid));
    QX_LOG(LogLevel::Info, "[%lu][Boot] Launching b/g thread to monitor 'live' blacklisting changes", pid);
    StartLiveBlacklistMonitor();
    return S_OK;
}

void ProfilerImpl::StartStartupPeriod() {
    const char* text = std::getenv("MORVEL_STARTUP_PERIOD");
    if (text == nullptr) return;
    const int32_t seconds = static_cast<int32_t>(std::strtol(text, nullptr, 10));
    if (seconds <= 0) return;
    g_startup = true;
    try {
        std::thread([seconds] {
            std::this_thread::sleep_for(std::chrono::seconds(seconds));
            g_startup = false;
        }).detach();
    } catch (const std::system_error& error) {
        g_startup = false;
        QX_LOG(LogLevel::Error, "[%lu][Boot] Unable to start the start-up period thread: %s", Pid(), error.what());
    }
}

void ProfilerImpl::StartLiveBlacklistMonitor() {
    try {
        std::thread([this] { RunGuarded("MonitorLiveBlacklists", [this] { MonitorLiveBlacklists(); }); }).detach();
    } catch (const std::system_error& error) {
        QX_LOG(LogLevel::Error, "[%lu][Boot] Unable to start the live blacklist thread: %s", Pid(), error.what());
    }
}

void ProfilerImpl::MonitorLiveBlacklists() const {
    // The mapper appears only with Initialize, and stays once made; after the end of the
    // process was announced there is nothing left worth re-reading for.
    auto update = [] {
        if (FunctionMapper* mapper = g_Mapper) mapper->UpdateLiveBlacklists();
    };
    if (!Active()) return;
    int counter = 0;
    for (;;) {
        std::this_thread::sleep_for(std::chrono::seconds(5));
        if (IsFinalised()) return;
        if (counter > 10) {
            update();
            if (!IsAttached()) return;
            counter = 0;
        } else {
            ++counter;
            if (!IsAttached()) {
                update();
                return;
            }
        }
    }
}

HRESULT ProfilerImpl::Initialize(IUnknown* infoUnknown, void* enterHook, void* leaveHook, void* tailcallHook) {
    const unsigned long pid = Pid();
    if (!IsAttached()) {
        QX_LOG(LogLevel::Error, "[%lu][Init] Not attached, exiting", pid);
        return S_FALSE;
    }
    if (g_Mapper == nullptr) g_Mapper = new FunctionMapper();
    if (g_Lookup == nullptr) g_Lookup = new LookupHelper();

    QX_LOG(LogLevel::Info, "[%lu][Init] Attached to process %s", pid, g_Context->GetProcessName().c_str());
    QX_LOG(LogLevel::Verbose, "[%lu][Init] Timing frequency is %ld", pid,
           static_cast<long>(g_Context->GetTicksPerSecond()));

    if (infoUnknown == nullptr) return E_FAIL;
    void* pointer = nullptr;
    if (FAILED(infoUnknown->QueryInterface(&IID_ICorProfilerInfo, &pointer)) || pointer == nullptr) return E_FAIL;
    auto* info = static_cast<ICorProfilerInfo*>(pointer);
    g_Context->SetProfilerInfo(info);

    pointer = nullptr;
    auto* info2 = SUCCEEDED(infoUnknown->QueryInterface(&IID_ICorProfilerInfo2, &pointer))
                      ? static_cast<ICorProfilerInfo2*>(pointer)
                      : nullptr;
    g_Context->SetProfiler2Info(info2);
    pointer = nullptr;
    g_Context->SetProfiler3Info(SUCCEEDED(infoUnknown->QueryInterface(&IID_ICorProfilerInfo3, &pointer))
                                    ? static_cast<ICorProfilerInfo3*>(pointer)
                                    : nullptr);
    pointer = nullptr;
    g_Context->SetProfiler4Info(SUCCEEDED(infoUnknown->QueryInterface(&IID_ICorProfilerInfo4, &pointer))
                                    ? static_cast<ICorProfilerInfo4*>(pointer)
                                    : nullptr);
    g_Context->CompleteStringLayout();

    if (FAILED(info->SetEventMask(EventMask))) QX_LOG(LogLevel::Error, "[%lu][Init] Failed to register for events", pid);

    g_Context->FetchProcessNameAndType();
    g_Mapper->Initialize(g_Context->GetHostType());
    g_Mapper->UpdateBlacklistsWhitelistsOnStartup();
    SignalProcessStart();

    auto enter = reinterpret_cast<FunctionEnter2*>(enterHook);
    auto leave = reinterpret_cast<FunctionLeave2*>(leaveHook);
    auto tailcall = reinterpret_cast<FunctionTailcall2*>(tailcallHook);
    if (info2 != nullptr) {
        if (SUCCEEDED(info2->SetEnterLeaveFunctionHooks2(enter, leave, tailcall)))
            info2->SetFunctionIDMapper(&ProfilerImpl::FunctionMapperCallback);
    } else if (SUCCEEDED(info->SetEnterLeaveFunctionHooks(reinterpret_cast<FunctionEnter*>(enterHook),
                                                           reinterpret_cast<FunctionLeave*>(leaveHook),
                                                           reinterpret_cast<FunctionTailcall*>(tailcallHook)))) {
        info->SetFunctionIDMapper(&ProfilerImpl::FunctionMapperCallback);
    }
    return S_OK;
}

void ProfilerImpl::SignalProcessStart() {
    QX_LOG(LogLevel::Info, "[SignalProcessStart]");
    const uint64_t pid = g_Context->GetProcessId();
    g_Relay->Enqueue(new ProcessStartedCommand(pid));
    g_Relay->Enqueue(new ProcessFrequencyCommand(pid, g_Context->GetTicksPerSecond()));
    g_Relay->Enqueue(new ProcessTypeCommand(pid, g_Context->GetHostTypeText(), g_Context->GetRuntimeVersionText(),
                                            g_Configuration->apiKey));
    g_Relay->Enqueue(new ProfilerVersionCommand(pid));
}

void ProfilerImpl::QueueForDelivery(CommandBase* command) {
    if (command != nullptr) g_Relay->Enqueue(command);
}

UINT_PTR ProfilerImpl::FunctionMapperCallback(FunctionID functionId, BOOL* hookFunction) {
    const int savedErrno = errno;
    // Declining is always a safe answer: the function simply runs without hooks.
    UINT_PTR clientId = functionId;
    BOOL hook = 0;
    RunGuarded("FunctionMapperCallback", [&] {
        FunctionMapper* mapper = g_Mapper;
        if (mapper == nullptr || g_ProfilerImpl == nullptr || g_ProfilerImpl->IsFinalised()) return;
        auto [id, decision] = mapper->Map(functionId);
        clientId = id;
        hook = decision;
        // Value capture needs some classes the runtime names only outside the hooks.
        if (decision && mapper->IsMonitored(id)) {
            MonitoredFunctionDefinition* definition = mapper->GetMonitoredFunctionDefinition(functionId);
            if (definition == nullptr) definition = mapper->GetMonitoredFunctionDefinition(id);
            g_ProfilerImpl->inspector.PrepareValueTypeClasses(definition, functionId);
        }
    });
    if (hookFunction != nullptr) *hookFunction = hook;
    errno = savedErrno;
    return clientId;
}

namespace {

// The record the hooks were called for. The runtime passes the mapped id back as client id (a
// function mapped to 0 included, as observed); should a runtime substitute the FunctionID for a
// client id of 0, the record is still found by its runtime id.
FunctionInfo* RecordFor(FunctionMapper& mapper, FunctionID functionId, UINT_PTR mappedId) {
    if (FunctionInfo* record = mapper.GetFunctionInfoForTrackedFunction(mappedId)) return record;
    if (mappedId != functionId) return nullptr;
    return mapper.GetFunctionInfoByOriginalId(functionId);
}

}  // namespace

ThreadContext* ProfilerImpl::ContextOf(ThreadID threadId, bool insertEmpty) {
    if (insertEmpty) return threadContexts[threadId];
    auto entry = threadContexts.find(threadId);
    return entry == threadContexts.end() ? nullptr : entry->second;
}

void ProfilerImpl::Enter(FunctionID functionId, UINT_PTR mappedId, COR_PRF_FRAME_INFO frameInfo,
                         COR_PRF_FUNCTION_ARGUMENT_INFO* argumentInfo) {
    if (!Active()) return;
    FunctionMapper* mapper = g_Mapper;
    if (mapper == nullptr) return;
    const int64_t profilingThreadId = SystemContext::GetProfilingThreadId();
    const ThreadID managedThreadId = g_Context->GetManagedThreadId();
    FunctionInfo* record = RecordFor(*mapper, functionId, mappedId);
    if (record == nullptr) return;
    if (record->GetIsSystemFunction())
        QX_LOG(LogLevel::Trace, "[%lu][Enter] System function %s entered with client id %lu", LogProcessId(),
               record->GetName().c_str(), static_cast<unsigned long>(mappedId));
    const uint64_t pid = g_Context->GetProcessId();
    const uint64_t id = record->GetFunctionID();

    std::lock_guard<std::mutex> lock(threadContextsLock);
    ThreadContext* context = ContextOf(managedThreadId, true);
    if (context != nullptr) {
        if (record->GetIsSystemFunction()) return;
        if (record->GetIsEntryPoint()) {
            context->TrackEntryPoint();
            g_Relay->Enqueue(new ProcessTypeCommand(pid, g_Context->GetHostTypeText(),
                                                    g_Context->GetRuntimeVersionText(), g_Configuration->apiKey));
            g_Relay->Enqueue(new ProcessFrequencyCommand(pid, g_Context->GetTicksPerSecond()));
            g_Relay->Enqueue(new ProfilerVersionCommand(pid));
        } else if (mapper->IsBlacklisted(record)) {
            context->BeginTrackingBlacklistFunction(id);
            return;
        }
        if (context->GetDisabled()) return;
        if (!context->IsTracked(id)) {
            g_Relay->Enqueue(new MethodInfoCommand(pid, static_cast<uint64_t>(profilingThreadId), id,
                                                   record->GetFunctionClassName(), record->GetFunctionMethodName()));
            context->TrackFunction(id);
        }
    }
    std::unique_ptr<BeginCallCommand> command(
        new BeginCallCommand(pid, static_cast<uint64_t>(profilingThreadId), id));
    if (argumentInfo != nullptr && record->GetIsMonitored()) {
        MonitoredFunctionDefinition* definition = mapper->GetMonitoredFunctionDefinition(functionId);
        if (definition == nullptr) definition = mapper->GetMonitoredFunctionDefinition(mappedId);
        if (definition != nullptr)
            command->SetArguments(inspector.ExtractArgumentValues(command.get(), definition, frameInfo, argumentInfo));
    }
    // The relay serialises at once, while the captured values are still where they were read.
    g_Relay->Enqueue(command.release());
}

void ProfilerImpl::EndFrame(FunctionID functionId, UINT_PTR mappedId, bool tailCall,
                            const COR_PRF_FUNCTION_ARGUMENT_RANGE* returnValueRange) {
    if (mappedId > UntracedIdBound && mappedId != functionId) return;
    if (!Active()) return;
    FunctionMapper* mapper = g_Mapper;
    if (mapper == nullptr) return;
    const int64_t profilingThreadId = SystemContext::GetProfilingThreadId();
    const ThreadID managedThreadId = g_Context->GetManagedThreadId();
    FunctionInfo* record = RecordFor(*mapper, functionId, mappedId);
    if (record == nullptr || record->GetIsSystemFunction()) return;
    const uint64_t id = record->GetFunctionID();

    std::lock_guard<std::mutex> lock(threadContextsLock);
    if (ThreadContext* context = ContextOf(managedThreadId, false)) {
        if (context->EndTrackingBlacklistFunction(id)) return;
        if (context->GetDisabled()) return;
    }
    std::unique_ptr<EndCallCommand> command(
        new EndCallCommand(g_Context->GetProcessId(), static_cast<uint64_t>(profilingThreadId), id, tailCall));
    if (returnValueRange != nullptr && functionId != 0 && record->GetIsMonitored()) {
        if (MonitoredFunctionDefinition* definition = mapper->GetMonitoredFunctionDefinition(functionId))
            command->SetReturnValue(inspector.ExtractReturnValues(definition, returnValueRange));
    }
    g_Relay->Enqueue(command.release());
}

void ProfilerImpl::Leave(FunctionID functionId, UINT_PTR mappedId, COR_PRF_FRAME_INFO,
                         COR_PRF_FUNCTION_ARGUMENT_RANGE* returnValueRange) {
    EndFrame(functionId, mappedId, false, returnValueRange);
}

void ProfilerImpl::Tailcall(FunctionID functionId, UINT_PTR mappedId, COR_PRF_FRAME_INFO) {
    EndFrame(functionId, mappedId, true, nullptr);
}

void ProfilerImpl::ExceptionRaised(ObjectID exceptionObjectId) {
    if (!Active()) return;
    g_Relay->Enqueue(new ExceptionRaisedCommand(g_Context->GetProcessId(),
                                                static_cast<uint64_t>(SystemContext::GetProfilingThreadId()),
                                                exceptionObjectId));
}

void ProfilerImpl::ExceptionUnwind(FunctionID functionId) {
    if (!Active()) return;
    FunctionMapper* mapper = g_Mapper;
    if (mapper == nullptr) return;
    FunctionInfo* record = mapper->GetFunctionInfoByOriginalId(functionId);
    if (record == nullptr) return;
    const uint64_t id = record->GetFunctionID();
    const ThreadID managedThreadId = g_Context->GetManagedThreadId();

    // An unwound frame never reaches the leave hook, so the thread's state is settled here as a
    // leave would have: a blacklisted frame is popped (else its stale entry would later swallow
    // the end of a traced call), and frames that never sent a begin-call send no unwind either.
    std::lock_guard<std::mutex> lock(threadContextsLock);
    if (ThreadContext* context = ContextOf(managedThreadId, false)) {
        if (context->EndTrackingBlacklistFunction(id)) return;
        if (context->GetDisabled() || record->GetIsSystemFunction()) return;
    }
    g_Relay->Enqueue(new UnwindCallCommand(g_Context->GetProcessId(),
                                           static_cast<uint64_t>(SystemContext::GetProfilingThreadId()), id));
}

void ProfilerImpl::ExceptionUnwindStarted(FunctionID functionId) {
    if (!Active()) return;
    const ThreadID managedThreadId = g_Context->GetManagedThreadId();
    std::lock_guard<std::mutex> lock(threadContextsLock);
    pendingUnwinds[managedThreadId] = functionId;
}

void ProfilerImpl::ExceptionUnwindFinished() {
    if (!Active()) return;
    const ThreadID managedThreadId = g_Context->GetManagedThreadId();
    FunctionID functionId = 0;
    {
        std::lock_guard<std::mutex> lock(threadContextsLock);
        auto pending = pendingUnwinds.find(managedThreadId);
        if (pending == pendingUnwinds.end()) return;
        functionId = pending->second;
        pendingUnwinds.erase(pending);
    }
    ExceptionUnwind(functionId);
}

void ProfilerImpl::ExceptionCaught(FunctionID functionId) {
    if (!Active()) return;
    const ThreadID managedThreadId = g_Context->GetManagedThreadId();
    std::lock_guard<std::mutex> lock(threadContextsLock);
    auto pending = pendingUnwinds.find(managedThreadId);
    if (pending != pendingUnwinds.end() && pending->second == functionId) pendingUnwinds.erase(pending);
}

HRESULT ProfilerImpl::JITInlining(FunctionID callerId, FunctionID calleeId, BOOL* shouldInline) {
    LookupHelper* lookup = g_Lookup;
    if (lookup == nullptr || shouldInline == nullptr || !Active()) return S_OK;
    char16_t enclosing[LookupHelper::NameBufferLength] = {};
    char16_t className[LookupHelper::NameBufferLength] = {};
    char16_t methodName[LookupHelper::NameBufferLength] = {};
    auto fullClassName = [&] {
        std::string name = W2A(className);
        return enclosing[0] != 0 ? W2A(enclosing) + "+" + name : name;
    };
    if (FAILED(lookup->GetMethodNameByFunctionId(callerId, enclosing, className, methodName, nullptr, nullptr,
                                                 nullptr)))
        return S_OK;
    const std::string callerClass = fullClassName();
    const std::string callerMethod = W2A(methodName);
    std::fill(std::begin(enclosing), std::end(enclosing), u'\0');
    std::fill(std::begin(className), std::end(className), u'\0');
    std::fill(std::begin(methodName), std::end(methodName), u'\0');
    if (FAILED(lookup->GetMethodNameByFunctionId(calleeId, enclosing, className, methodName, nullptr, nullptr,
                                                 nullptr)))
        return S_OK;
    const std::string calleeClass = fullClassName();
    const std::string calleeMethod = W2A(methodName);
    if (FunctionMapper::PreventInlining(calleeClass, calleeMethod)) {
        QX_LOG(LogLevel::Verbose,
               "[%lu][JITInlining] Preventing inlining of %s::%s into %s::%s (calleeID: %lu, callerID: %lu)", Pid(),
               calleeClass.c_str(), calleeMethod.c_str(), callerClass.c_str(), callerMethod.c_str(),
               static_cast<unsigned long>(calleeId), static_cast<unsigned long>(callerId));
        *shouldInline = 0;
    }
    return S_OK;
}

void ProfilerImpl::ProbeEnterFunction(ModuleID moduleId, uint32_t methodToken, int32_t) {
    FunctionMapper* mapper = g_Mapper;
    if (mapper == nullptr) return;
    if (FunctionInfo* record = mapper->GetFunctionInfoByModuleAndMethod(moduleId, methodToken))
        Enter(record->GetOriginalID(), record->GetFunctionID(), 0, nullptr);
}

void ProfilerImpl::ProbeExitFunction(ModuleID moduleId, uint32_t methodToken, int32_t) {
    FunctionMapper* mapper = g_Mapper;
    if (mapper == nullptr) return;
    if (FunctionInfo* record = mapper->GetFunctionInfoByModuleAndMethod(moduleId, methodToken))
        Leave(record->GetOriginalID(), record->GetFunctionID(), 0, nullptr);
}

void ProfilerImpl::ThreadStart(ThreadID threadId) {
    if (!Active()) return;
    auto* context = new ThreadContext(threadId, g_Context->GetHostType());
    std::lock_guard<std::mutex> lock(threadContextsLock);
    auto [entry, inserted] = threadContexts.try_emplace(threadId, context);
    if (!inserted) {
        delete entry->second;
        entry->second = context;
    }
}

void ProfilerImpl::ThreadMapped(ThreadID threadId, uint64_t osThreadId) {
    if (!Active()) return;
    std::lock_guard<std::mutex> lock(threadContextsLock);
    auto entry = threadContexts.find(threadId);
    if (entry != threadContexts.end() && entry->second != nullptr) entry->second->SetOSThreadId(osThreadId);
    g_Relay->Enqueue(new ThreadStartedCommand(g_Context->GetProcessId(), osThreadId));
}

void ProfilerImpl::ThreadEnded(ThreadID threadId) {
    if (!Active()) return;
    std::lock_guard<std::mutex> lock(threadContextsLock);
    pendingUnwinds.erase(threadId);
    auto entry = threadContexts.find(threadId);
    if (entry == threadContexts.end()) return;
    ThreadContext* context = entry->second;
    threadContexts.erase(entry);
    if (context != nullptr) {
        g_Relay->Enqueue(new ThreadEndedCommand(g_Context->GetProcessId(), context->GetOSThreadId()));
        delete context;
    }
}

size_t ProfilerImpl::ThreadContextCount() {
    std::lock_guard<std::mutex> lock(threadContextsLock);
    return threadContexts.size();
}

size_t ProfilerImpl::BlacklistDepth(ThreadID threadId) {
    std::lock_guard<std::mutex> lock(threadContextsLock);
    ThreadContext* context = ContextOf(threadId, false);
    return context != nullptr ? context->BlacklistDepth() : 0;
}

void ProfilerImpl::FinalRelease() {
    // A process the agent refused (a build tool) gets no trace of it, not even on its output.
    if (!IsAttached() || IsFinalised()) return;
    WriteToStandardOutput("ProfilerImpl::FinalRelease exit\n");
    const unsigned long pid = Pid();
    QX_LOG(LogLevel::Verbose, "[%lu][Finalize] Profiler finalizing", pid);
    g_Relay->Enqueue(new ProcessEndedCommand(pid));
    // Give the relay its time to deliver what is queued, the end of the process last.
    DrainRelay();
    QX_LOG(LogLevel::Info,
           "[%lu][Finalize] Delivery: %llu messages sent, %llu failed, %llu dropped, %zu still queued at exit", pid,
           static_cast<unsigned long long>(g_Relay->GetSentCount()),
           static_cast<unsigned long long>(g_Relay->GetFailedCount()),
           static_cast<unsigned long long>(g_Relay->GetDroppedCount()), g_Relay->GetQueuedMessages());
    g_Relay->Stop();
    finalised.store(true, std::memory_order_release);

    // The system context and the lookups stay: runtime threads may still be inside a hook
    // or a thread callback and read them. Only the per-thread state goes.
    {
        std::lock_guard<std::mutex> lock(threadContextsLock);
        QX_LOG(LogLevel::Info, "[%lu][Finalize] Live thread contexts at the end: %zu", pid, threadContexts.size());
        for (auto& entry : threadContexts) delete entry.second;
        threadContexts.clear();
    }
    // The process is about to end: let the log catch up, but never hold the exit for long.
    if (Logger* logger = g_Logger) logger->Flush(std::chrono::milliseconds(500));
}

void ProfilerImpl::DrainRelay() {
    // A short fixed pause would lose the tail of a busy stream. Wait while the relay makes
    // progress, but a stalled or absent collector must not hold the exit for long.
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    auto lastProgress = Clock::now();
    uint64_t handled = g_Relay->GetSentCount() + g_Relay->GetFailedCount();
    while (!g_Relay->WaitUntilDrained(std::chrono::milliseconds(50))) {
        const auto now = Clock::now();
        const uint64_t nowHandled = g_Relay->GetSentCount() + g_Relay->GetFailedCount();
        if (nowHandled != handled) {
            handled = nowHandled;
            lastProgress = now;
        } else if (now - lastProgress > std::chrono::seconds(2)) {
            break;
        }
        if (now > deadline) break;
    }
}

HRESULT ProfilerImpl::Shutdown() {
    QX_LOG(LogLevel::Info, "[%lu][Shutdown] Profiler detaching", Pid());
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    attached.store(false, std::memory_order_release);
    return S_OK;
}
