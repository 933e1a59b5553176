#include "spans/OtlpSpanBuilder.h"
#include "spans/SemanticConventions.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <cstdio>

#include "wire/WireFormat.h"

namespace QuorixCollect {

namespace {

constexpr size_t MaxRoleIndex = size_t{1} << 22;

std::string Hex(uint64_t v) {
    char buf[24];
    snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(v));
    return buf;
}

}  // namespace

size_t OtlpSpan::Bytes() const {
    size_t n = sizeof(OtlpSpan) + name.size();
    for (const auto& a : attributes) {
        n += sizeof(OtlpAttribute) + a.key.size() + a.text.size();
    }
    for (const auto& e : events) {
        n += sizeof(OtlpEvent) + e.name.size();
        for (const auto& a : e.attributes) {
            n += sizeof(OtlpAttribute) + a.key.size() + a.text.size();
        }
    }
    return n;
}

OtlpSpanBuilder::OtlpSpanBuilder(const Options& spanOptions, NameLookup nameLookup, SpanSink spanSink,
                                 ProcessNameLookup processNameLookup, CallMatcher* shared)
    : MatcherOwner(shared, {.maxDepth = spanOptions.maxDepth,
                            .maxFrames = spanOptions.maxFrames,
                            .maxThreads = spanOptions.maxThreads,
                            .maxRuns = spanOptions.maxProcesses}),
      options(spanOptions),
      names(std::move(nameLookup)),
      sink(std::move(spanSink)),
      processName(std::move(processNameLookup)) {
    if (own) {
        // A shared matcher is told by the owner, which may guard the calls.
        matcher->AddListener(this);
    }
    rng = static_cast<uint64_t>(std::chrono::system_clock::now().time_since_epoch().count()) ^
          (static_cast<uint64_t>(getpid()) << 32) ^ reinterpret_cast<uintptr_t>(this);
}

OtlpSpanBuilder::~OtlpSpanBuilder() = default;

uint64_t OtlpSpanBuilder::NextId() {
    // splitmix64: ids need to be unique and spread, not secret.
    for (;;) {
        uint64_t z = (rng += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        z ^= z >> 31;
        if (z != 0) {
            return z;
        }
    }
}

OtlpSpanBuilder::ProcessState& OtlpSpanBuilder::Process(ThreadState& t) {
    if (t.process != nullptr) {
        return *t.process;
    }
    auto it = processes.find(t.run);
    if (it == processes.end()) {
        it = processes.emplace(t.run, ProcessState{}).first;
        if (options.serviceName.empty() && processName) {
            it->second.serviceName = processName(t.pid);
        }
    }
    t.process = &it->second;
    return it->second;
}

OtlpSpanBuilder::ProcessState* OtlpSpanBuilder::Described(uint32_t pid) {
    const uint32_t run = matcher->CurrentRun(pid);
    if (run == UINT32_MAX) {
        return nullptr;
    }
    auto it = processes.find(run);
    if (it == processes.end()) {
        it = processes.emplace(run, ProcessState{}).first;
        if (options.serviceName.empty() && processName) {
            it->second.serviceName = processName(pid);
        }
    }
    return &it->second;
}

OtlpSpanBuilder::Stats OtlpSpanBuilder::GetStats() const {
    Stats s = stats;
    s.notTracked += matcher->GetStats().threadCommands + matcher->GetStats().processCommands;
    return s;
}

CallRole OtlpSpanBuilder::Role(ProcessState& p, uint32_t pid, uint32_t functionId) {
    if (functionId < MaxRoleIndex && functionId < p.roles.size() && p.roles[functionId] != 0) {
        return static_cast<CallRole>(p.roles[functionId] - 1);
    }
    const std::string_view name = names ? names(pid, functionId) : std::string_view{};
    if (name.data() == nullptr) {
        return CallRole::Plain;
    }
    const CallRole role = RoleOf(ClassOf(name), MethodOf(name));
    if (functionId < MaxRoleIndex) {
        if (p.roles.size() <= functionId) {
            p.roles.resize(functionId + 1, 0);
        }
        p.roles[functionId] = static_cast<uint8_t>(static_cast<uint8_t>(role) + 1);
    }
    return role;
}

void OtlpSpanBuilder::AddValues(uint32_t pid, uint32_t functionId, const ValueRecord& value, bool isReturn, Frame& f) {
    const std::string_view name = names ? names(pid, functionId) : std::string_view{};
    const MappedValues mapped = MapCapturedValue(ClassOf(name), MethodOf(name), value, isReturn, f.attributes);
    if (mapped.meaningful) {
        f.keep = true;
    }
}

void OtlpSpanBuilder::OnCommand(const DecodedCommand& c) {
    if (own) {
        own->OnCommand(c);
    }
    const auto type = static_cast<CommandType>(c.type);
    if (type != CommandType::ProcessType && type != CommandType::ProfilerVersion) {
        return;
    }
    ProcessState* p = Described(c.pid);
    if (p == nullptr) {
        return;
    }
    if (type == CommandType::ProcessType && (p->runtime != c.runtime || p->host != c.host)) {
        p->runtime = c.runtime.substr(0, 256);
        p->host = c.host.substr(0, 256);
        p->resource.reset();
    } else if (type == CommandType::ProfilerVersion && p->version != c.version) {
        p->version = c.version.substr(0, 256);
        p->resource.reset();
    }
}

void OtlpSpanBuilder::ThreadAdded(uint32_t thread) {
    const auto& m = matcher->Threads()[thread];
    if (threads.size() <= thread) {
        threads.resize(thread + 1);
    }
    auto state = std::make_unique<ThreadState>();
    state->run = m.run;
    state->pid = m.pid;
    state->tid = m.tid;
    threads[thread] = std::move(state);
}

void OtlpSpanBuilder::NotTracked(uint32_t) { ++stats.notTracked; }

void OtlpSpanBuilder::ThreadEnded(uint32_t thread) {
    ThreadState& t = *threads[thread];
    t.pendingRequest.clear();
    std::vector<Frame>().swap(t.frames);
}

void OtlpSpanBuilder::RunEnded(uint32_t run) {
    // Spans already built keep their resource; a process that starts over begins afresh.
    for (auto& t : threads) {
        if (t && t->run == run) {
            t->process = nullptr;
            t->pendingRequest.clear();
        }
    }
    processes.erase(run);
}

void OtlpSpanBuilder::Raised(uint32_t thread, uint32_t depth, bool beyondLimit, const DecodedCommand& c) {
    ThreadState& t = *threads[thread];
    t.lastException = c.exceptionId;
    if (depth == 0 || beyondLimit || t.frames[depth - 1].dispatcher) {
        return;
    }
    Frame& f = t.frames[depth - 1];
    OtlpEvent e;
    e.timeNs = matcher->Runs()[t.run].Nanos(c.ts);
    e.name = "exception";
    e.attributes.push_back(OtlpAttribute::String(SemConv::ExceptionMessage, "exception raised"));
    e.attributes.push_back(OtlpAttribute::String(SemConv::ExceptionId, Hex(c.exceptionId)));
    f.events.push_back(std::move(e));
    f.raised = true;
    f.keep = true;
    t.describedDepth = depth - 1;
    t.describedEvent = f.events.size() - 1;
}

void OtlpSpanBuilder::Detailed(uint32_t thread, const DecodedCommand& c) {
    ThreadState& t = *threads[thread];
    // The details follow their raise before anything else of the thread: the frame is still open.
    if (t.describedDepth < t.frames.size() && t.lastException == c.exceptionId &&
        t.describedEvent < t.frames[t.describedDepth].events.size()) {
        Describe(c.pid, c.exceptionId, t.frames[t.describedDepth].events[t.describedEvent]);
    }
    t.describedDepth = SIZE_MAX;
}

void OtlpSpanBuilder::Describe(uint32_t pid, uint64_t exceptionId, OtlpEvent& event) const {
    const uint32_t handle = exceptions == nullptr ? ExceptionTable::None : exceptions->Find(pid, exceptionId);
    if (handle == ExceptionTable::None) {
        return;
    }
    const ExceptionTable::Details& d = exceptions->Get(handle);
    if (!d.type.empty()) {
        event.attributes.push_back(OtlpAttribute::String(SemConv::ExceptionType, std::string(d.type)));
    }
    if (d.messageNull) {
        return;
    }
    // Masked again, as captured texts are: the agent may have been told to send secrets.
    std::string message = MaskSecrets(d.message);
    if (d.messageCut) {
        message += "...";
    }
    for (auto& a : event.attributes) {
        if (a.key == SemConv::ExceptionMessage) {
            a.text = std::move(message);
            return;
        }
    }
}

void OtlpSpanBuilder::Begun(const MatchedCall& call, const DecodedCommand& c) {
    ThreadState& t = *threads[call.thread];
    const uint32_t depth = call.depth;
    const CallRole role = Role(Process(t), c.pid, c.functionId);
    if (depth >= t.frames.size()) {
        t.frames.resize(depth + 1);
    }
    Frame& f = t.frames[depth];
    f.functionId = c.functionId;
    f.instanceId = 0;
    f.spanId = NextId();
    f.dispatcher = f.traceRoot = f.requestRoot = f.keep = f.raised = f.piece = f.inRequest = f.inWebRequest = false;
    f.attributes.clear();
    f.events.clear();
    const bool rootLevel = t.dispatchDepth == depth;
    if (role == CallRole::Dispatcher && rootLevel) {
        f.dispatcher = true;
        ++t.dispatchDepth;
    } else if (JoinRequest(t, f, call)) {
        // Within a request: its trace, under its span.
    } else if (rootLevel || role == CallRole::RequestEntry) {
        f.traceRoot = true;
        f.requestRoot = role == CallRole::RequestEntry;
        const uint64_t hi = NextId();
        const uint64_t lo = NextId();
        memcpy(f.traceId, &hi, 8);
        memcpy(f.traceId + 8, &lo, 8);
    } else {
        memcpy(f.traceId, t.frames[depth - 1].traceId, sizeof f.traceId);
    }
    if (f.requestRoot && !t.pendingRequest.empty() && requests == nullptr) {
        f.attributes.swap(t.pendingRequest);
        t.pendingRequest.clear();
    }
    if (!f.dispatcher) {
        for (const auto& arg : c.args) {
            AddValues(c.pid, c.functionId, arg, false, f);
        }
        f.instanceId = c.instanceId;
        // A request's statements are spans of their own, with their real times.
        if (c.instanceId != 0 && !f.inWebRequest) {
            LinkQuery(t, f, depth, c);
        }
    }
}

void OtlpSpanBuilder::Closed(const MatchedCall& call, const DecodedCommand* end) {
    ThreadState& t = *threads[call.thread];
    Frame& f = t.frames[call.depth];
    Close how = Close::Unfinished;
    if (call.how == CallEnd::Returned || call.how == CallEnd::TailCall) {
        how = Close::Returned;
        if (end != nullptr && end->hasReturnValue && !f.dispatcher) {
            AddValues(call.pid, call.functionId, end->returnValue, true, f);
        }
    } else if (call.how == CallEnd::Unwound) {
        how = Close::Unwound;
    }
    if (f.dispatcher) {
        --t.dispatchDepth;
        ++stats.dispatchers;
        return;
    }
    ++stats.calls;
    Emit(t, f, call, how);
}

void OtlpSpanBuilder::CloseAll() { matcher->Finish(); }

void OtlpSpanBuilder::Emit(ThreadState& t, Frame& f, const MatchedCall& call, Close how) {
    // Frames below call.depth are its ancestors.
    if (how == Close::Unfinished) {
        ++stats.unfinished;
    }
    const CallMatcher::Run& run = matcher->Runs()[t.run];
    const int64_t micros = run.DurationMicros(call.end - call.begin);
    const bool exported = f.keep || how == Close::Unwound || micros >= options.minDurationUs;
    if (requests == nullptr) {
        HoistRequest(t, f, call.depth);
    }
    if (!exported) {
        ++stats.leftOut;
        return;
    }
    const uint32_t depth = call.depth;
    if (!f.traceRoot && !f.piece && depth > 0) {
        t.frames[depth - 1].keep = true;
    }

    OtlpSpan span;
    span.resource = Resource(t);
    memcpy(span.traceId, f.traceId, sizeof span.traceId);
    span.spanId = f.spanId;
    span.parentSpanId = f.piece ? f.pieceParent : f.traceRoot || depth == 0 ? 0 : t.frames[depth - 1].spanId;
    const std::string_view name = names ? names(t.pid, f.functionId) : std::string_view{};
    span.name = name.data() != nullptr ? std::string(name) : "function#" + std::to_string(f.functionId);
    span.startNs = run.Nanos(call.begin);
    span.endNs = std::max(span.startNs, run.Nanos(call.end));
    if (name.data() != nullptr && !ClassOf(name).empty()) {
        const std::string cls(ClassOf(name));
        span.attributes.push_back(
            OtlpAttribute::String(SemConv::CodeFunctionName, cls + "." + std::string(MethodOf(name))));
        span.attributes.push_back(OtlpAttribute::String(SemConv::CodeNamespace, cls));
    }
    span.attributes.push_back(OtlpAttribute::Int(SemConv::ThreadId, t.tid));
    for (auto& a : f.attributes) {
        span.attributes.push_back(std::move(a));
    }
    if (how == Close::Unfinished) {
        span.attributes.push_back(OtlpAttribute::Bool(SemConv::Unfinished, true));
    }
    if (f.piece) {
        // Its parent is its request, begun elsewhere (another thread, or before an await).
        span.attributes.push_back(OtlpAttribute::Bool(SemConv::RequestPiece, true));
    }
    span.events = std::move(f.events);
    if (how == Close::Unwound) {
        span.error = true;
        span.statusMessage = "left by exception " + Hex(t.lastException);
        if (!f.raised) {
            OtlpEvent e;
            e.timeNs = span.endNs;
            e.name = "exception";
            e.attributes.push_back(
                OtlpAttribute::String(SemConv::ExceptionMessage, "exception passed through this call"));
            e.attributes.push_back(OtlpAttribute::String(SemConv::ExceptionId, Hex(t.lastException)));
            Describe(t.pid, t.lastException, e);
            span.events.push_back(std::move(e));
        }
    }
    f.attributes.clear();
    f.events.clear();
    ++stats.exported;
    sink(std::move(span));
}

}  // namespace QuorixCollect
