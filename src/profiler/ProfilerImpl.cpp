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
#include "commands/CallClock.h"
#include "commands/EndCallCommand.h"
#include "commands/ExceptionDetailsCommand.h"
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
#include "environment/ErrnoKeeper.h"
#include "environment/ErrorBoundary.h"
#include "environment/Logger.h"
#include "environment/SystemContext.h"
#include "environment/profiler_pal.h"
#include "mapping/FunctionInfo.h"
#include "mapping/FunctionMapper.h"
#include "mapping/LookupHelper.h"
#include "il/ProbeInjector.h"
#include "platform/InterfaceIds.h"
#include "probes/ProbeEngine.h"
#include "profiler/HookThread.h"
#include "threads/ThreadContext.h"
#include "uplink/PipeUplink.h"
#include "uplink/RelayWorker.h"
#include "uplink/TcpUplink.h"
#include "uplink/ThreadBuffer.h"
#include "uplink/UdpUplink.h"

bool g_startup = false;
RelayWorker* g_Relay = nullptr;

namespace {

// Load-time set-up of the process-wide objects, before the runtime makes any call.
struct LoadTimeInitialisation {
    LoadTimeInitialisation() {
        g_Configuration = Configuration::Instance();
        g_Logger = new Logger(g_Configuration->logLevel, g_Configuration->errorLogFolder, g_Configuration->logToConsole,
                              g_Configuration->processId);
        g_Relay = RelayWorker::Instance();
    }
} loadTimeInitialisation;

constexpr uint32_t EventMask = COR_PRF_MONITOR_CLASS_LOADS | COR_PRF_MONITOR_MODULE_LOADS |
                               COR_PRF_MONITOR_ASSEMBLY_LOADS | COR_PRF_MONITOR_APPDOMAIN_LOADS |
                               COR_PRF_MONITOR_JIT_COMPILATION | COR_PRF_MONITOR_EXCEPTIONS | COR_PRF_MONITOR_THREADS |
                               COR_PRF_MONITOR_ENTERLEAVE | COR_PRF_ENABLE_REJIT | COR_PRF_DISABLE_OPTIMIZATIONS |
                               COR_PRF_ENABLE_FUNCTION_ARGS | COR_PRF_ENABLE_FUNCTION_RETVAL |
                               COR_PRF_ENABLE_FRAME_INFO | COR_PRF_DISABLE_ALL_NGEN_IMAGES;
static_assert(EventMask == 0x8E44127Eu, "event mask");

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
        while (sigtimedwait(&blocked, nullptr, &zero) == SIGPIPE) {}
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

AgentUplink* ChooseUplink() {
    const Configuration& settings = *g_Configuration;
    switch (settings.networkMode) {
        case Uplink::NamedPipe:
            QX_LOG(LogLevel::Info, "Boot", "Using NamedPipe for uplink");
            return new PipeUplink(L"\\\\.\\pipe\\QuorixAgent_v1");
        case Uplink::Tcp:
            QX_LOG(LogLevel::Info, "Boot", "TCP uplink selected");
            return new TcpUplink(settings.wireCommandPort);
        default:
            if (settings.useMulticast) {
                QX_LOG(LogLevel::Info, "Boot", "Multicast UDP uplink selected");
                return new UdpUplink(settings.wireCommandPort, MULTICAST_IP_ADDRESS);
            }
            QX_LOG(LogLevel::Info, "Boot", "UDP uplink selected");
            return new UdpUplink(settings.wireCommandPort);
    }
}

}  // namespace

ProfilerImpl::ProfilerImpl() { threadContexts.max_load_factor(1.0f); }

HRESULT ProfilerImpl::FinalConstruct() {
    g_Context = new SystemContext();
    const unsigned long pid = g_Context->GetProcessId();
    if (g_Context->GetHostType() == DOTNET_CORE_MSBUILD) {
        QX_LOG(LogLevel::Info, "Boot", "Profiler is not attaching because MSBuild was detected (DOTNET_CORE_MSBUILD)");
        return S_OK;
    }
    if (g_Context->IsSkippedBySettings()) {
        QX_LOG(LogLevel::Info, "Boot", "Profiler is not attaching to this process: %s",
               g_Context->GetChoiceReason().c_str());
        return S_OK;
    }
    if (!g_Context->GetChoiceReason().empty())
        QX_LOG(LogLevel::Info, "Boot", "Profiling this process: %s", g_Context->GetChoiceReason().c_str());
    StartStartupPeriod();
    wireProcessId = static_cast<uint32_t>(pid);
    attached.store(true, std::memory_order_release);
    reporting.store(true, std::memory_order_release);
    if (g_Configuration->reportDelivery) g_Relay->ReportDelivery(pid);
    // Out of range (negative, or beyond a minute) means the setting was not meant: no waiting.
    const int32_t wait = g_Configuration->waitForCollector;
    if (wait > 0 && wait <= 60000) {
        ThreadBuffer::SetRoomWait(int64_t{wait} * 1000000);
        ThreadBuffer::SetBudget(ThreadBuffer::WaitingBudgetBytes);
    } else if (wait != 0) {
        QX_LOG(LogLevel::Error, "Boot",
               "MORVEL_WAIT_FOR_COLLECTOR=%d is out of range (0 to 60000 ms): calls are dropped, never waited for",
               static_cast<int>(wait));
    }
    g_Relay->Start(ChooseUplink());
    QX_LOG(LogLevel::Info, "Boot", "Launching b/g thread to monitor 'live' blacklisting changes");
    StartLiveBlacklistMonitor();
    return S_OK;
}

void ProfilerImpl::StartStartupPeriod() {
    const int32_t seconds = g_Configuration->startupPeriodSeconds;
    if (seconds <= 0) return;
    g_startup = true;
    try {
        std::thread([seconds] {
            std::this_thread::sleep_for(std::chrono::seconds(seconds));
            g_startup = false;
        }).detach();
    } catch (const std::system_error& error) {
        g_startup = false;
        QX_LOG(LogLevel::Error, "Boot", "Unable to start the start-up period thread: %s", error.what());
    }
}

ProfilerImpl::~ProfilerImpl() {
    {
        std::lock_guard<std::mutex> lock(monitorLock);
        monitorStop = true;
    }
    monitorWake.notify_all();
    if (blacklistMonitor.joinable()) blacklistMonitor.join();
}

void ProfilerImpl::StartLiveBlacklistMonitor() {
    if (blacklistMonitor.joinable()) return;
    try {
        blacklistMonitor =
            std::thread([this] { RunGuarded("MonitorLiveBlacklists", [this] { MonitorLiveBlacklists(); }); });
    } catch (const std::system_error& error) {
        QX_LOG(LogLevel::Error, "Boot", "Unable to start the live blacklist thread: %s", error.what());
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
        {
            std::unique_lock<std::mutex> lock(monitorLock);
            if (monitorWake.wait_for(lock, std::chrono::seconds(5), [this] { return monitorStop; })) return;
        }
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
    if (!IsAttached()) {
        QX_LOG(LogLevel::Error, "Init", "Not attached, exiting");
        return S_FALSE;
    }
    if (g_Mapper == nullptr) g_Mapper = new FunctionMapper();
    if (g_Lookup == nullptr) g_Lookup = new LookupHelper();

    QX_LOG(LogLevel::Info, "Init", "Attached to process %s", g_Context->GetProcessName().c_str());
    QX_LOG(LogLevel::Verbose, "Init", "Timing frequency is %ld", static_cast<long>(g_Context->GetTicksPerSecond()));

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

    bool probeEngine = g_Configuration->traceEngine == TraceEngine::Probes && ProbeEngineRuns();
    if (probeEngine && FAILED(info->SetEventMask(ProbeEngine::EventMask))) {
        QX_LOG(LogLevel::Warning, "Init",
               "The probe engine's events were refused; calls are traced with the hooks engine");
        probeEngine = false;
    }
    if (!probeEngine && FAILED(info->SetEventMask(EventMask)))
        QX_LOG(LogLevel::Error, "Init", "Failed to register for events");

    g_Context->FetchProcessNameAndType();
    g_Mapper->Initialize(g_Context->GetHostType());
    g_Mapper->UpdateBlacklistsWhitelistsOnStartup();
    SignalProcessStart();
    if (probeEngine) {
        StartProbeEngine();
        return S_OK;
    }
    return RegisterHooks(info, info2, enterHook, leaveHook, tailcallHook);
}

bool ProfilerImpl::ProbeEngineRuns() const {
    std::string why;
    if (ProbeEngine::Supports(g_Context->GetProfiler3Info(), why) && g_Context->GetProfiler4Info() != nullptr)
        return true;
    QX_LOG(LogLevel::Warning, "Init", "The probe engine cannot run here (%s); calls are traced with the hooks engine",
           why.empty() ? "no re-JIT interface" : why.c_str());
    return false;
}

void ProfilerImpl::StartProbeEngine() {
    const ProbeTargets targets{&ProfilerImpl::ProbeEnter, &ProfilerImpl::ProbeLeave, &ProfilerImpl::ProbeTailcall,
                               &ProfilerImpl::ProbeEnterArguments, &ProfilerImpl::ProbeLeaveValue};
    probes =
        new ProbeEngine(g_Context->GetProfiler4Info(), *g_Mapper, *g_Lookup, targets, [this](FunctionInfo& record) {
            inspector.PrepareDefinition(record.GetEnterDefinition(), record.GetModuleId(), record.GetMethodId());
        });
    QX_LOG(LogLevel::Info, "Init", "Probe engine started: traced methods get probes when their module loads");
}

HRESULT ProfilerImpl::RegisterHooks(ICorProfilerInfo* info, ICorProfilerInfo2* info2, void* enterHook, void* leaveHook,
                                    void* tailcallHook) {
    // The hooks with information cost the runtime nothing for arguments nobody reads; those with
    // full information are the fallback for a runtime that refuses them.
    info3 = g_Context->GetProfiler3Info();
    HRESULT withInfo = E_FAIL;
    if (info3 != nullptr)
        withInfo = info3->SetEnterLeaveFunctionHooks3WithInfo(
            &ProfilerImpl::EnterWithInfo, &ProfilerImpl::LeaveWithInfo, &ProfilerImpl::TailcallWithInfo);
    if (SUCCEEDED(withInfo)) {
        hooksWithInfo = true;
        info->SetFunctionIDMapper(&ProfilerImpl::FunctionMapperCallback);
        QX_LOG(LogLevel::Info, "Init", "Call hooks with information on demand registered");
        return S_OK;
    }
    if (info3 != nullptr)
        QX_LOG(LogLevel::Warning, "Init",
               "Call hooks with information on demand refused (0x%08x); registering hooks with full "
               "information",
               static_cast<unsigned>(withInfo));
    auto enter = reinterpret_cast<FunctionEnter2*>(enterHook);
    auto leave = reinterpret_cast<FunctionLeave2*>(leaveHook);
    auto tailcall = reinterpret_cast<FunctionTailcall2*>(tailcallHook);
    if (info2 != nullptr) {
        if (SUCCEEDED(info2->SetEnterLeaveFunctionHooks2(enter, leave, tailcall))) {
            info2->SetFunctionIDMapper(&ProfilerImpl::FunctionMapperCallback);
            QX_LOG(LogLevel::Info, "Init", "Call hooks with full information registered");
        }
    } else if (SUCCEEDED(info->SetEnterLeaveFunctionHooks(reinterpret_cast<FunctionEnter*>(enterHook),
                                                          reinterpret_cast<FunctionLeave*>(leaveHook),
                                                          reinterpret_cast<FunctionTailcall*>(tailcallHook)))) {
        info->SetFunctionIDMapper(&ProfilerImpl::FunctionMapperCallback);
        QX_LOG(LogLevel::Info, "Init", "Call hooks of the first generation registered");
    }
    return S_OK;
}

void ProfilerImpl::SignalProcessStart() {
    QX_LOG(LogLevel::Info, LogArea::Unprefixed, "[SignalProcessStart]");
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
    ErrnoKeeper keeper;
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
    return clientId;
}

namespace {

constexpr size_t BeginCallLength = BeginCallCommand::FixedLength;
constexpr size_t EndCallLength = EndCallCommand::FixedLength + 2;  // with the empty value record

// HRESULT of a buffer too small for the argument information.
constexpr HRESULT InsufficientBuffer = static_cast<HRESULT>(0x8007007A);

}  // namespace

// The record the hooks were called for. The runtime passes the mapped id back as client id (a
// function mapped to 0 included, as observed); should a runtime substitute the FunctionID for a
// client id of 0, the record is still found by its runtime id.
FunctionInfo* ProfilerImpl::RecordFor(FunctionID functionId, UINT_PTR mappedId) const {
    FunctionMapper* mapper = g_Mapper;
    if (mapper == nullptr) return nullptr;
    if (FunctionInfo* record = mapper->FindRecord(mappedId)) return record;
    if (mappedId >= FunctionMapper::RecordTableBlocks * FunctionMapper::RecordTableBlockSize) {
        if (FunctionInfo* record = mapper->GetFunctionInfoForTrackedFunction(mappedId)) return record;
    } else if (mappedId != functionId) {
        return nullptr;
    }
    return mapper->GetFunctionInfoByOriginalId(functionId);
}

ThreadContext* ProfilerImpl::ContextOf(ThreadID threadId, bool insertEmpty) {
    if (insertEmpty) return threadContexts[threadId].get();
    auto entry = threadContexts.find(threadId);
    return entry == threadContexts.end() ? nullptr : entry->second.get();
}

void ProfilerImpl::Rebind(HookThread& thread) {
    // Asks the runtime for the thread's id and takes the map's lock: only when a thread's context
    // was added, replaced or removed since this thread last looked.
    const ThreadID managedThreadId = g_Context->GetManagedThreadId();
    std::lock_guard<std::mutex> lock(threadContextsLock);
    thread.context = threadContexts[managedThreadId];
    thread.managedThreadId = managedThreadId;
    thread.contextGeneration = contextsGeneration.load(std::memory_order_relaxed);
}

void ProfilerImpl::CommitToBuffer(HookThread* thread, size_t length) {
    thread->buffer->Commit(length);
    if (thread->buffer->TakeFilledChunk()) g_Relay->Nudge();
}

bool ProfilerImpl::Deliver(HookThread* thread, CommandBase& command) {
    const int16_t length = command.GetPayloadLength();
    if (length < static_cast<int16_t>(CommandHeaderLength)) return false;
    if (thread == nullptr || thread->buffer == nullptr) {
        // No buffer of its own (memory ran out): the queue still keeps the thread's order.
        return g_Relay->EnqueueMessage(command.GetPayload(), length);
    }
    uint8_t* at = thread->buffer->Reserve(static_cast<size_t>(length));
    if (at == nullptr) return false;
    command.WritePayload(at);
    // What a collector connecting later needs: the relay keeps a copy of it.
    switch (command.GetCallType()) {
        case Calls::MethodInfo:
        case Calls::ProcessStarted:
        case Calls::ProcessFrequency:
        case Calls::ProcessType:
        case Calls::ProfilerVersion:
            thread->buffer->MarkContext();
            break;
        default:
            break;
    }
    CommitToBuffer(thread, static_cast<size_t>(length));
    return true;
}

void ProfilerImpl::EnterRecord(FunctionInfo& record, UINT_PTR mappedId, CallFrame& frame) {
    if (record.GetIsSystemFunction())
        QX_LOG(LogLevel::Trace, "Enter", "System function %s entered with client id %lu", record.GetName().c_str(),
               static_cast<unsigned long>(mappedId));
    HookThread* thread = BoundThread();
    if (thread == nullptr) return;
    FunctionMapper* mapper = g_Mapper;
    const uint64_t id = record.GetFunctionID();
    if (ThreadContext* context = thread->context.get()) {
        if (record.GetIsSystemFunction()) return;
        if (record.GetIsEntryPoint()) {
            context->TrackEntryPoint();
            const uint64_t pid = wireProcessId;
            if (g_Relay->AdmitAnnouncement(Calls::ProcessType)) {
                ProcessTypeCommand type(pid, g_Context->GetHostTypeText(), g_Context->GetRuntimeVersionText(),
                                        g_Configuration->apiKey);
                Deliver(thread, type);
            }
            ProcessFrequencyCommand frequency(pid, g_Context->GetTicksPerSecond());
            Deliver(thread, frequency);
            if (g_Relay->AdmitAnnouncement(Calls::ProfilerVersion)) {
                ProfilerVersionCommand version(pid);
                Deliver(thread, version);
            }
        } else if (mapper->IsBlacklisted(&record)) {
            context->BeginTrackingBlacklistFunction(id);
            return;
        }
        if (context->GetDisabled()) return;
        // A name that found no room is tried again with the next call.
        if (!context->IsTracked(id) && DeliverMethodInfo(thread, record)) context->TrackFunction(id);
    }

    if (record.GetIsMonitored() && EnterMonitored(thread, record, mappedId, frame)) return;
    WritePlainCall(thread, Calls::BeginCall, id, false);
}

bool ProfilerImpl::DeliverMethodInfo(HookThread* thread, FunctionInfo& record) {
    const std::string& className = record.GetFunctionClassName();
    const std::string& methodName = record.GetFunctionMethodName();
    const size_t length = MethodInfoCommand::LengthFor(className, methodName);
    if (thread->buffer == nullptr || length == 0) {
        MethodInfoCommand info(wireProcessId, thread->profilingThreadId, record.GetFunctionID(), className, methodName);
        return Deliver(thread, info);
    }
    uint8_t* at = thread->buffer->Reserve(length);
    if (at == nullptr) return false;
    MethodInfoCommand::WriteAt(at, wireProcessId, thread->profilingThreadId, CallClock::NowMicroseconds(),
                               record.GetFunctionID(), className, methodName);
    thread->buffer->MarkContext();  // what a collector connecting later needs
    CommitToBuffer(thread, length);
    return true;
}

bool ProfilerImpl::EnterMonitored(HookThread* thread, FunctionInfo& record, UINT_PTR mappedId, CallFrame& frame) {
    FunctionMapper* mapper = g_Mapper;
    const uint64_t id = record.GetFunctionID();
    const uint64_t tid = thread->profilingThreadId;
    MonitoredFunctionDefinition* definition = record.GetEnterDefinition();
    if (definition == nullptr) {
        definition = mapper->GetMonitoredFunctionDefinition(frame.functionId);
        if (definition == nullptr) definition = mapper->GetMonitoredFunctionDefinition(mappedId);
    }
    // Argument information is built by the runtime only when asked for, and only here.
    alignas(COR_PRF_FUNCTION_ARGUMENT_INFO) uint8_t local[1024];
    std::unique_ptr<uint8_t[]> large;
    if (definition != nullptr && frame.eltInfo != 0 && info3 != nullptr) {
        ULONG size = sizeof(local);
        auto* arguments = reinterpret_cast<COR_PRF_FUNCTION_ARGUMENT_INFO*>(local);
        HRESULT result =
            info3->GetFunctionEnter3Info(frame.functionId, frame.eltInfo, &frame.frameInfo, &size, arguments);
        if (result == InsufficientBuffer && size > sizeof(local) && size < (1u << 20)) {
            large.reset(new uint8_t[size]);
            arguments = reinterpret_cast<COR_PRF_FUNCTION_ARGUMENT_INFO*>(large.get());
            result = info3->GetFunctionEnter3Info(frame.functionId, frame.eltInfo, &frame.frameInfo, &size, arguments);
        }
        if (SUCCEEDED(result)) frame.arguments = arguments;
    }
    if (definition != nullptr && frame.arguments != nullptr) {
        BeginCallCommand command(wireProcessId, tid, id);
        inspector.ExtractArgumentValues(&command, definition, frame.frameInfo, frame.arguments, thread->arguments);
        command.SetArguments(std::move(thread->arguments));
        command.LendEncodingBuffer(std::move(thread->encoded));
        // Serialised at once, while the captured values are still where they were read.
        Deliver(thread, command);
        command.ReturnStorage(thread->arguments, thread->encoded);
        return true;
    }
    return false;
}

void ProfilerImpl::EndRecord(FunctionInfo& record, bool tailCall, CallFrame& frame) {
    if (record.GetIsSystemFunction()) return;
    HookThread* thread = BoundThread();
    if (thread == nullptr) return;
    const uint64_t id = record.GetFunctionID();
    if (ThreadContext* context = thread->context.get()) {
        if (context->EndTrackingBlacklistFunction(id)) return;
        if (context->GetDisabled()) return;
    }
    if (!tailCall && (frame.functionId != 0 || frame.returnValue != nullptr) && record.GetIsMonitored() &&
        EndMonitored(thread, record, frame))
        return;
    WritePlainCall(thread, Calls::EndCall, id, tailCall);
}

bool ProfilerImpl::EndMonitored(HookThread* thread, FunctionInfo& record, CallFrame& frame) {
    const uint64_t id = record.GetFunctionID();
    const uint64_t tid = thread->profilingThreadId;
    MonitoredFunctionDefinition* definition = record.GetLeaveDefinition();
    if (definition == nullptr && record.GetEnterDefinition() == nullptr)
        definition = g_Mapper->GetMonitoredFunctionDefinition(frame.functionId);
    COR_PRF_FUNCTION_ARGUMENT_RANGE range{};
    const COR_PRF_FUNCTION_ARGUMENT_RANGE* returnValue = frame.returnValue;
    if (definition != nullptr && frame.eltInfo != 0 && info3 != nullptr &&
        SUCCEEDED(info3->GetFunctionLeave3Info(frame.functionId, frame.eltInfo, &frame.frameInfo, &range)))
        returnValue = &range;
    if (definition != nullptr && returnValue != nullptr) {
        EndCallCommand command(wireProcessId, tid, id, false);
        if (!thread->returned) thread->returned = std::make_unique<VariableInfo>();
        if (inspector.ExtractReturnValue(definition, returnValue, *thread->returned))
            command.SetReturnValue(thread->returned.release());
        command.LendEncodingBuffer(std::move(thread->encoded));
        Deliver(thread, command);
        if (VariableInfo* returned = command.ReturnStorage(thread->encoded)) thread->returned.reset(returned);
        return true;
    }
    return false;
}

void ProfilerImpl::WritePlainCall(HookThread* thread, Calls::CallType type, uint64_t id, bool tailCall) {
    const bool begin = type == Calls::BeginCall;
    const uint64_t tid = thread->profilingThreadId;
    if (thread->buffer == nullptr) {
        if (begin) {
            BeginCallCommand command(wireProcessId, tid, id);
            Deliver(thread, command);
        } else {
            EndCallCommand command(wireProcessId, tid, id, tailCall);
            Deliver(thread, command);
        }
        return;
    }
    // The common case, written in place: the same bytes the command classes produce.
    const size_t length = begin ? BeginCallLength : EndCallLength;
    uint8_t* at = thread->buffer->Reserve(length);
    if (at == nullptr) return;
    CommandBase::WriteHeaderAt(at, static_cast<int16_t>(length), type, wireProcessId, tid,
                               CallClock::NowMicroseconds());
    const uint32_t function = static_cast<uint32_t>(id);
    std::memcpy(at + 19, &function, 4);
    if (begin) {
        std::memset(at + 23, 0, 9);  // instance id 0, no arguments
    } else {
        at[23] = tailCall ? 1 : 0;
        at[24] = 0;  // the empty value record: its length field alone
        at[25] = 0;
    }
    CommitToBuffer(thread, length);
}

void ProfilerImpl::Enter(FunctionID functionId, UINT_PTR mappedId, COR_PRF_FRAME_INFO frameInfo,
                         COR_PRF_FUNCTION_ARGUMENT_INFO* argumentInfo) {
    if (!IsReporting()) return;
    FunctionInfo* record = RecordFor(functionId, mappedId);
    if (record == nullptr) return;
    CallFrame frame;
    frame.functionId = functionId;
    frame.frameInfo = frameInfo;
    frame.arguments = argumentInfo;
    EnterRecord(*record, mappedId, frame);
}

void ProfilerImpl::Leave(FunctionID functionId, UINT_PTR mappedId, COR_PRF_FRAME_INFO frameInfo,
                         COR_PRF_FUNCTION_ARGUMENT_RANGE* returnValueRange) {
    if (mappedId > FunctionMapper::UntracedIdOffset && mappedId != functionId) return;
    if (!IsReporting()) return;
    FunctionInfo* record = RecordFor(functionId, mappedId);
    if (record == nullptr) return;
    CallFrame frame;
    frame.functionId = functionId;
    frame.frameInfo = frameInfo;
    frame.returnValue = returnValueRange;
    EndRecord(*record, false, frame);
}

void ProfilerImpl::Tailcall(FunctionID functionId, UINT_PTR mappedId, COR_PRF_FRAME_INFO frameInfo) {
    if (mappedId > FunctionMapper::UntracedIdOffset && mappedId != functionId) return;
    if (!IsReporting()) return;
    FunctionInfo* record = RecordFor(functionId, mappedId);
    if (record == nullptr) return;
    CallFrame frame;
    frame.functionId = functionId;
    frame.frameInfo = frameInfo;
    EndRecord(*record, true, frame);
}

// What the three hooks with information and the probes share: errno kept, nothing thrown back
// into the runtime, nothing done once the end of the process is being announced, and the record
// found by the client id (the mapped id; they get no other).
template <typename Body>
void ProfilerImpl::OnCallEvent(LogArea operation, UINT_PTR clientId, COR_PRF_ELT_INFO eltInfo, Body&& body) noexcept {
    ErrnoKeeper keeper;
    RunGuarded(operation, [&] {
        ProfilerImpl* self = g_ProfilerImpl;
        if (self == nullptr || !self->IsReporting()) return;
        FunctionInfo* record = self->RecordForClient(clientId);
        if (record == nullptr) return;
        CallFrame frame;
        frame.functionId = record->GetOriginalID();
        frame.eltInfo = eltInfo;
        body(*self, *record, frame);
    });
}

void ProfilerImpl::EnterWithInfo(FunctionIDOrClientID functionIdOrClientId, COR_PRF_ELT_INFO eltInfo) {
    const UINT_PTR clientId = functionIdOrClientId.clientID;
    OnCallEvent("Enter", clientId, eltInfo, [clientId](ProfilerImpl& self, FunctionInfo& record, CallFrame& frame) {
        self.EnterRecord(record, clientId, frame);
    });
}

void ProfilerImpl::LeaveWithInfo(FunctionIDOrClientID functionIdOrClientId, COR_PRF_ELT_INFO eltInfo) {
    OnCallEvent(
        "Leave", functionIdOrClientId.clientID, eltInfo,
        [](ProfilerImpl& self, FunctionInfo& record, CallFrame& frame) { self.EndRecord(record, false, frame); });
}

void ProfilerImpl::TailcallWithInfo(FunctionIDOrClientID functionIdOrClientId, COR_PRF_ELT_INFO) {
    // A tail call carries no return value: no information to ask for.
    OnCallEvent(
        "TailCall", functionIdOrClientId.clientID, 0,
        [](ProfilerImpl& self, FunctionInfo& record, CallFrame& frame) { self.EndRecord(record, true, frame); });
}

void ProfilerImpl::ProbeEnter(uint32_t id) noexcept {
    OnCallEvent("Enter", id, 0, [id](ProfilerImpl& self, FunctionInfo& record, CallFrame& frame) {
        self.EnterRecord(record, id, frame);
    });
}

void ProfilerImpl::ProbeLeave(uint32_t id) noexcept {
    OnCallEvent("Leave", id, 0, [](ProfilerImpl& self, FunctionInfo& record, CallFrame& frame) {
        self.EndRecord(record, false, frame);
    });
}

void ProfilerImpl::ProbeTailcall(uint32_t id) noexcept {
    OnCallEvent("TailCall", id, 0, [](ProfilerImpl& self, FunctionInfo& record, CallFrame& frame) {
        self.EndRecord(record, true, frame);
    });
}

namespace {

// More arguments than any monitored method has; the rest would not be captured anyway.
constexpr uint32_t MaxProbeArguments = 64;

}  // namespace

void ProfilerImpl::ProbeEnterArguments(const ProbeArgumentRange* ranges, uint32_t count, uint32_t id) noexcept {
    OnCallEvent("Enter", id, 0, [&](ProfilerImpl& self, FunctionInfo& record, CallFrame& frame) {
        // The runtime's own layout, so that capture reads probes and hooks alike.
        alignas(COR_PRF_FUNCTION_ARGUMENT_INFO) uint8_t
            local[sizeof(COR_PRF_FUNCTION_ARGUMENT_INFO) + MaxProbeArguments * sizeof(COR_PRF_FUNCTION_ARGUMENT_RANGE)];
        auto* arguments = reinterpret_cast<COR_PRF_FUNCTION_ARGUMENT_INFO*>(local);
        const uint32_t kept = ranges == nullptr ? 0 : std::min(count, MaxProbeArguments);
        arguments->numRanges = kept;
        arguments->totalArgumentSize = 0;
        for (uint32_t i = 0; i < kept; ++i) {
            arguments->ranges[i].startAddress = ranges[i].startAddress;
            arguments->ranges[i].length = ranges[i].length;
            arguments->totalArgumentSize += ranges[i].length;
        }
        frame.arguments = arguments;
        self.EnterRecord(record, id, frame);
    });
}

void ProfilerImpl::ProbeLeaveValue(const void* address, uint32_t length, uint32_t id) noexcept {
    OnCallEvent("Leave", id, 0, [&](ProfilerImpl& self, FunctionInfo& record, CallFrame& frame) {
        COR_PRF_FUNCTION_ARGUMENT_RANGE range{reinterpret_cast<UINT_PTR>(address), address != nullptr ? length : 0};
        frame.returnValue = &range;
        self.EndRecord(record, false, frame);
    });
}

void ProfilerImpl::ModuleLoaded(ModuleID moduleId) {
    if (probes != nullptr && Active()) probes->ModuleLoaded(moduleId);
}

HRESULT ProfilerImpl::GetReJITParameters(ModuleID moduleId, mdMethodDef methodId,
                                         ICorProfilerFunctionControl* control) {
    if (probes == nullptr || control == nullptr) return S_OK;
    return probes->GetReJITParameters(moduleId, methodId, control);
}

void ProfilerImpl::ReJITError(ModuleID moduleId, mdMethodDef methodId, HRESULT status) {
    if (probes != nullptr) probes->ReJITError(moduleId, methodId, status);
}

bool ProfilerImpl::MayUsePrecompiledCode(FunctionID functionId) {
    return probes == nullptr || !Active() || probes->MayUsePrecompiledCode(functionId);
}

void ProfilerImpl::ExceptionRaised(ObjectID exceptionObjectId) {
    if (!IsReporting()) return;
    HookThread* thread = HookThread::Current();
    const uint64_t tid =
        thread != nullptr ? thread->profilingThreadId : static_cast<uint64_t>(SystemContext::GetProfilingThreadId());
    ExceptionRaisedCommand command(wireProcessId, tid, exceptionObjectId);
    // The details follow in the same buffer, so that nothing of the thread's comes between them.
    if (Deliver(thread, command) && g_Configuration->reportExceptions)
        DeliverExceptionDetails(thread, tid, exceptionObjectId);
}

void ProfilerImpl::DeliverExceptionDetails(HookThread* thread, uint64_t tid, ObjectID exceptionObjectId) {
    static std::atomic<bool> cutReported{false};
    ExceptionReader::ClassFacts spare;
    const ExceptionReader::Details details = exceptions.Read(exceptionObjectId, spare);
    // Written while the message still lies where it was read: the callback has not returned.
    ExceptionDetailsCommand command(wireProcessId, tid, exceptionObjectId, *details.typeName, details.message,
                                    details.messageUnits);
    Deliver(thread, command);
    if ((command.GetFlags() & ExceptionDetailsCommand::MessageCut) != 0 &&
        !cutReported.exchange(true, std::memory_order_relaxed))
        QX_LOG(LogLevel::Warning, "ExceptionRaised",
               "The message of a %s has %u characters: only its start is sent (reported once)",
               details.typeName->c_str(), details.messageUnits);
}

void ProfilerImpl::ExceptionUnwind(FunctionID functionId) {
    if (!IsReporting()) return;
    FunctionMapper* mapper = g_Mapper;
    if (mapper == nullptr) return;
    FunctionInfo* record =
        probes != nullptr ? probes->RecordOfFrame(functionId) : mapper->GetFunctionInfoByOriginalId(functionId);
    if (record == nullptr) return;
    const uint64_t id = record->GetFunctionID();
    HookThread* thread = BoundThread();
    if (thread == nullptr) return;

    // An unwound frame never reaches the leave hook, so the thread's state is settled here as a
    // leave would have: a blacklisted frame is popped (else its stale entry would later swallow
    // the end of a traced call), and frames that never sent a begin-call send no unwind either.
    if (ThreadContext* context = thread->context.get()) {
        if (context->EndTrackingBlacklistFunction(id)) return;
        if (context->GetDisabled() || record->GetIsSystemFunction()) return;
    }
    UnwindCallCommand command(wireProcessId, thread->profilingThreadId, id);
    Deliver(thread, command);
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
    if (FAILED(
            lookup->GetMethodNameByFunctionId(callerId, enclosing, className, methodName, nullptr, nullptr, nullptr)))
        return S_OK;
    const std::string callerClass = fullClassName();
    const std::string callerMethod = W2A(methodName);
    std::fill(std::begin(enclosing), std::end(enclosing), u'\0');
    std::fill(std::begin(className), std::end(className), u'\0');
    std::fill(std::begin(methodName), std::end(methodName), u'\0');
    if (FAILED(
            lookup->GetMethodNameByFunctionId(calleeId, enclosing, className, methodName, nullptr, nullptr, nullptr)))
        return S_OK;
    const std::string calleeClass = fullClassName();
    const std::string calleeMethod = W2A(methodName);
    if (FunctionMapper::PreventInlining(calleeClass, calleeMethod)) {
        QX_LOG(LogLevel::Verbose, "JITInlining",
               "Preventing inlining of %s::%s into %s::%s (calleeID: %lu, callerID: %lu)", calleeClass.c_str(),
               calleeMethod.c_str(), callerClass.c_str(), callerMethod.c_str(), static_cast<unsigned long>(calleeId),
               static_cast<unsigned long>(callerId));
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
    auto context = std::make_shared<ThreadContext>(threadId, g_Context->GetHostType());
    std::lock_guard<std::mutex> lock(threadContextsLock);
    // A replaced context lives on while a thread's hooks still hold it; they rebind to this one.
    threadContexts[threadId] = std::move(context);
    ChangedContexts();
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
    std::shared_ptr<ThreadContext> context = std::move(entry->second);
    threadContexts.erase(entry);
    ChangedContexts();
    // After the calls the thread made until now, wherever they still wait.
    if (context != nullptr)
        g_Relay->EnqueueAfterCalls(new ThreadEndedCommand(g_Context->GetProcessId(), context->GetOSThreadId()));
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
    // A process the agent refused (a build tool, or one the settings skip) gets no trace of it,
    // not even on its output.
    if (!IsAttached() || IsFinalised()) return;
    // From here on the hooks report nothing: the end of the process is the last message.
    reporting.store(false, std::memory_order_relaxed);
    WriteToStandardOutput("ProfilerImpl::FinalRelease exit\n");
    QX_LOG(LogLevel::Verbose, "Finalize", "Profiler finalizing");
    // What is queued and buffered goes first, as far as the collector takes it in time; the
    // exit is never held for long, whatever the collector does.
    const auto budget = ThreadBuffer::WaitsForRoom() ? WaitingFinishBudget : FinishBudget;
    const bool ended = g_Relay->Finish(new ProcessEndedCommand(wireProcessId), budget);
    QX_LOG(LogLevel::Info, "Finalize",
           "Delivery: %llu messages sent, %llu failed (%llu not read in time), %llu dropped (%llu made after "
           "the end was sent), %zu still queued at exit",
           static_cast<unsigned long long>(g_Relay->GetSentCount()),
           static_cast<unsigned long long>(g_Relay->GetFailedCount()),
           static_cast<unsigned long long>(g_Relay->GetTimedOutCount()),
           static_cast<unsigned long long>(g_Relay->GetDroppedCount()),
           static_cast<unsigned long long>(g_Relay->GetLateCount()), g_Relay->GetQueuedMessages());
    if (!ended)
        QX_LOG(LogLevel::Warning, "Finalize", "The end of the process could not be delivered within %lld ms",
               static_cast<long long>(budget.count()));
    g_Relay->Stop();
    // Open descriptors keep working; only the name goes, and only if this process made it.
    PipeUplink::RemoveCreatedFifo();
    finalised.store(true, std::memory_order_release);

    // The system context and the lookups stay: runtime threads may still be inside a hook
    // or a thread callback and read them. Only the per-thread state goes (a thread's hooks
    // keep what they hold until the thread ends).
    {
        std::lock_guard<std::mutex> lock(threadContextsLock);
        QX_LOG(LogLevel::Info, "Finalize", "Live thread contexts at the end: %zu", threadContexts.size());
        threadContexts.clear();
        ChangedContexts();
    }
    // The process is about to end: let the log catch up, but never hold the exit for long.
    if (Logger* logger = g_Logger) logger->Flush(std::chrono::milliseconds(150));
}

HRESULT ProfilerImpl::Shutdown() {
    QX_LOG(LogLevel::Info, "Shutdown", "Profiler detaching");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    reporting.store(false, std::memory_order_relaxed);
    attached.store(false, std::memory_order_release);
    return S_OK;
}
