#include "OtlpSpanBuilder.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <cstdio>

#include "WireFormat.h"

namespace QuorixCollect {

namespace {

constexpr size_t MaxRoleIndex = size_t{1} << 22;
// How far below the top an end is matched to its begin (as the call tree does).
constexpr size_t SearchDepth = 256;

std::string_view ClassOf(std::string_view name) {
    const size_t sep = name.find("::");
    return sep == std::string_view::npos ? std::string_view{} : name.substr(0, sep);
}

// The method without the ":[Attribute]" the agent appends to marked methods.
std::string_view MethodOf(std::string_view name) {
    const size_t sep = name.find("::");
    std::string_view method = sep == std::string_view::npos ? name : name.substr(sep + 2);
    const size_t mark = method.find(":[");
    return mark == std::string_view::npos ? method : method.substr(0, mark);
}

std::string Hex(uint64_t v) {
    char buf[24];
    snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(v));
    return buf;
}

std::string HostName() {
    char buf[256] = {};
    if (gethostname(buf, sizeof buf - 1) != 0) {
        return {};
    }
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
                                 ProcessNameLookup processNameLookup)
    : options(spanOptions),
      names(std::move(nameLookup)),
      sink(std::move(spanSink)),
      processName(std::move(processNameLookup)) {
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

std::string OtlpSpanBuilder::ServiceNameFromCommandLine(const std::string& cmdline) {
    std::vector<std::string> args;
    size_t start = 0;
    while (start < cmdline.size()) {
        size_t end = cmdline.find('\0', start);
        if (end == std::string::npos) {
            end = cmdline.size();
        }
        args.emplace_back(cmdline.substr(start, end - start));
        start = end + 1;
    }
    auto base = [](const std::string& path) {
        const size_t slash = path.rfind('/');
        return slash == std::string::npos ? path : path.substr(slash + 1);
    };
    if (args.empty() || args[0].empty()) {
        return {};
    }
    const std::string program = base(args[0]);
    if (program == "dotnet") {
        for (size_t i = 1; i < args.size(); ++i) {
            const std::string& a = args[i];
            if (a.size() > 4 && a.compare(a.size() - 4, 4, ".dll") == 0) {
                const std::string file = base(a);
                return file.substr(0, file.size() - 4);
            }
        }
    }
    return program;
}

OtlpSpanBuilder::ProcessState& OtlpSpanBuilder::Process(uint32_t pid) {
    auto it = processes.find(pid);
    if (it != processes.end()) {
        return it->second;
    }
    ProcessState& p = processes[pid];
    if (options.serviceName.empty() && processName) {
        p.serviceName = processName(pid);
    }
    return p;
}

bool OtlpSpanBuilder::Admit(uint32_t pid) {
    return processes.size() < options.maxProcesses || processes.count(pid) != 0;
}

void OtlpSpanBuilder::DropThread(std::unordered_map<uint64_t, std::unique_ptr<ThreadState>>::iterator it, int64_t ts) {
    CloseThread(*it->second, std::max(ts, it->second->lastTs));
    frames -= std::min(frames, it->second->frames.size());
    if (lastThread == it->second.get()) {
        lastThread = nullptr;
    }
    threads.erase(it);
}

OtlpSpanBuilder::ThreadState* OtlpSpanBuilder::Thread(uint32_t pid, uint32_t tid) {
    if (lastThread != nullptr && lastThread->pid == pid && lastThread->tid == tid) {
        return lastThread;
    }
    const uint64_t key = (static_cast<uint64_t>(pid) << 32) | tid;
    auto it = threads.find(key);
    if (it == threads.end()) {
        if (threads.size() >= options.maxThreads || !Admit(pid)) {
            return nullptr;
        }
        auto state = std::make_unique<ThreadState>();
        state->process = &Process(pid);
        state->pid = pid;
        state->tid = tid;
        it = threads.emplace(key, std::move(state)).first;
    }
    lastThread = it->second.get();
    return lastThread;
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

uint64_t OtlpSpanBuilder::ToNs(uint32_t pid, int64_t ts) {
    if (ts <= 0) {
        return 0;
    }
    const uint64_t frequency = Process(pid).frequency;
    if (frequency == 1000000) {
        return static_cast<uint64_t>(ts) * 1000;
    }
    // Split so that the product cannot overflow for any 64-bit time stamp.
    const uint64_t t = static_cast<uint64_t>(ts);
    return t / frequency * 1000000000u + t % frequency * 1000000000u / frequency;
}

std::shared_ptr<const OtlpResource> OtlpSpanBuilder::Resource(uint32_t pid) {
    ProcessState& p = Process(pid);
    if (p.resource) {
        return p.resource;
    }
    auto r = std::make_shared<OtlpResource>();
    r->pid = pid;
    std::string service = options.serviceName.empty() ? p.serviceName : options.serviceName;
    if (service.empty()) {
        service = "unknown_service:dotnet";
    }
    const std::string host = HostName();
    r->attributes.push_back(OtlpAttribute::String("service.name", service));
    r->attributes.push_back(
        OtlpAttribute::String("service.instance.id", (host.empty() ? "" : host + ":") + std::to_string(pid)));
    r->attributes.push_back(OtlpAttribute::Int("process.pid", pid));
    if (!host.empty()) {
        r->attributes.push_back(OtlpAttribute::String("host.name", host));
    }
    if (!p.runtime.empty()) {
        r->attributes.push_back(OtlpAttribute::String("process.runtime.description", p.runtime));
    }
    if (!p.host.empty()) {
        r->attributes.push_back(OtlpAttribute::String("quorix.host_type", p.host));
    }
    if (!p.version.empty()) {
        r->attributes.push_back(OtlpAttribute::String("quorix.agent.version", p.version));
    }
    r->attributes.push_back(OtlpAttribute::String("telemetry.sdk.name", "quorix"));
    r->attributes.push_back(OtlpAttribute::String("telemetry.sdk.language", "dotnet"));
    p.resource = std::move(r);
    return p.resource;
}

void OtlpSpanBuilder::AddValues(uint32_t pid, uint32_t functionId, const ValueRecord& value, bool isReturn, Frame& f) {
    const std::string_view name = names ? names(pid, functionId) : std::string_view{};
    const MappedValues mapped = MapCapturedValue(ClassOf(name), MethodOf(name), value, isReturn, f.attributes);
    if (mapped.meaningful) {
        f.keep = true;
    }
}

void OtlpSpanBuilder::OnCommand(const DecodedCommand& c) {
    switch (static_cast<CommandType>(c.type)) {
        case CommandType::BeginCall:
            if (ThreadState* t = Thread(c.pid, c.tid)) {
                Begin(*t, c);
            } else {
                ++stats.notTracked;
            }
            break;
        case CommandType::EndCall:
        case CommandType::UnwindCall:
            if (ThreadState* t = Thread(c.pid, c.tid)) {
                End(*t, c, c.type == static_cast<uint8_t>(CommandType::EndCall) ? Close::Returned : Close::Unwound);
            } else {
                ++stats.notTracked;
            }
            break;
        case CommandType::ExceptionRaised:
            if (ThreadState* t = Thread(c.pid, c.tid)) {
                t->lastTs = c.ts;
                t->lastException = c.exceptionId;
                if (t->depth > 0 && t->overflow == 0 && !t->frames[t->depth - 1].dispatcher) {
                    Frame& f = t->frames[t->depth - 1];
                    OtlpEvent e;
                    e.timeNs = ToNs(c.pid, c.ts);
                    e.name = "exception";
                    e.attributes.push_back(OtlpAttribute::String("exception.message", "exception raised"));
                    e.attributes.push_back(OtlpAttribute::String("quorix.exception.id", Hex(c.exceptionId)));
                    f.events.push_back(std::move(e));
                    f.raised = true;
                    f.keep = true;
                }
            }
            break;
        case CommandType::ThreadEnded: {
            auto it = threads.find((static_cast<uint64_t>(c.pid) << 32) | c.tid);
            if (it != threads.end()) {
                DropThread(it, c.ts);
            }
            break;
        }
        case CommandType::ProcessEnded:
            for (auto it = threads.begin(); it != threads.end();) {
                auto next = std::next(it);
                if (it->second->pid == c.pid) {
                    DropThread(it, c.ts);
                }
                it = next;
            }
            // Spans already built keep their resource; a process that starts over begins afresh.
            processes.erase(c.pid);
            break;
        case CommandType::ProcessFrequency:
            if (!Admit(c.pid)) {
                break;
            }
            if (c.frequency != 0) {
                Process(c.pid).frequency = c.frequency;
            }
            break;
        case CommandType::ProcessType: {
            if (!Admit(c.pid)) {
                break;
            }
            ProcessState& p = Process(c.pid);
            if (p.runtime != c.runtime || p.host != c.host) {
                p.runtime = c.runtime.substr(0, 256);
                p.host = c.host.substr(0, 256);
                p.resource.reset();
            }
            break;
        }
        case CommandType::ProfilerVersion: {
            if (!Admit(c.pid)) {
                break;
            }
            ProcessState& p = Process(c.pid);
            if (p.version != c.version) {
                p.version = c.version.substr(0, 256);
                p.resource.reset();
            }
            break;
        }
        default:
            break;
    }
}

void OtlpSpanBuilder::Begin(ThreadState& t, const DecodedCommand& c) {
    t.lastTs = c.ts;
    if (t.overflow > 0 || t.depth >= options.maxDepth || (t.depth == t.frames.size() && frames >= options.maxFrames)) {
        ++t.overflow;
        ++stats.notTracked;
        return;
    }
    const CallRole role = Role(*t.process, c.pid, c.functionId);
    if (t.depth == t.frames.size()) {
        t.frames.emplace_back();
        ++frames;
    }
    Frame& f = t.frames[t.depth];
    f.functionId = c.functionId;
    f.begin = c.ts;
    f.instanceId = 0;
    f.spanId = NextId();
    f.dispatcher = f.traceRoot = f.requestRoot = f.keep = f.raised = false;
    f.attributes.clear();
    f.events.clear();
    const bool rootLevel = t.dispatchDepth == t.depth;
    if (role == CallRole::Dispatcher && rootLevel) {
        f.dispatcher = true;
        ++t.dispatchDepth;
    } else if (rootLevel || role == CallRole::RequestEntry) {
        f.traceRoot = true;
        f.requestRoot = role == CallRole::RequestEntry;
        const uint64_t hi = NextId();
        const uint64_t lo = NextId();
        memcpy(f.traceId, &hi, 8);
        memcpy(f.traceId + 8, &lo, 8);
    } else {
        memcpy(f.traceId, t.frames[t.depth - 1].traceId, sizeof f.traceId);
    }
    ++t.depth;
    if (f.requestRoot && !t.pendingRequest.empty()) {
        f.attributes.swap(t.pendingRequest);
        t.pendingRequest.clear();
    }
    if (!f.dispatcher) {
        for (const auto& arg : c.args) {
            AddValues(c.pid, c.functionId, arg, false, f);
        }
        f.instanceId = c.instanceId;
        if (c.instanceId != 0) {
            LinkQuery(t, f, c);
        }
    }
}

void OtlpSpanBuilder::LinkQuery(ThreadState& t, Frame& f, const DecodedCommand& c) {
    // The text is set on the command object (constructor, CommandText) by one call and run by
    // another: the executing call, the one worth looking at, gets the text too.
    const std::string_view name = names ? names(c.pid, c.functionId) : std::string_view{};
    const std::string_view system = DatabaseCommandSystem(ClassOf(name));
    if (system.empty()) {
        return;
    }
    ProcessState& p = *t.process;
    for (const auto& a : f.attributes) {
        if (a.key == "db.query.text") {
            if (p.commandTexts.size() >= 4096) {
                p.commandTexts.clear();
            }
            p.commandTexts[c.instanceId] = {std::string(system), a.text};
            return;
        }
    }
    if (MethodOf(name).substr(0, 7) != "Execute") {
        return;
    }
    // Only the outermost execute call of a command: the provider's inner ones add nothing.
    for (size_t k = t.depth - 1, seen = 0; k-- > 0 && seen < 8; ++seen) {
        if (t.frames[k].instanceId == c.instanceId) {
            return;
        }
    }
    auto it = p.commandTexts.find(c.instanceId);
    if (it == p.commandTexts.end()) {
        return;
    }
    // The base class names no database; the class that set the text may.
    const std::string& known = system == "other_sql" ? it->second.system : std::string(system);
    f.attributes.push_back(OtlpAttribute::String("db.system.name", known));
    f.attributes.push_back(OtlpAttribute::String("db.query.text", it->second.text));
    f.keep = true;
}

void OtlpSpanBuilder::End(ThreadState& t, const DecodedCommand& c, Close how) {
    t.lastTs = std::max(t.lastTs, c.ts);
    if (t.overflow > 0) {
        --t.overflow;
        return;
    }
    if (t.depth == 0) {
        return;  // an end without its begin (e.g. collection started mid-call)
    }
    size_t match = SIZE_MAX;
    const size_t floor = t.depth > SearchDepth ? t.depth - SearchDepth : 0;
    for (size_t k = t.depth; k-- > floor;) {
        if (t.frames[k].functionId == c.functionId) {
            match = k;
            break;
        }
    }
    if (match == SIZE_MAX) {
        return;
    }
    while (t.depth - 1 > match) {
        CloseTop(t, c.ts, Close::Unfinished);
    }
    Frame& f = t.frames[match];
    if (how == Close::Returned && c.hasReturnValue && !f.dispatcher) {
        AddValues(c.pid, c.functionId, c.returnValue, true, f);
    }
    CloseTop(t, c.ts, how);
}

void OtlpSpanBuilder::CloseTop(ThreadState& t, int64_t ts, Close how) {
    Frame& f = t.frames[t.depth - 1];
    --t.depth;
    if (f.dispatcher) {
        --t.dispatchDepth;
        ++stats.dispatchers;
        return;
    }
    ++stats.calls;
    Emit(t, f, ts, how);
}

void OtlpSpanBuilder::CloseThread(ThreadState& t, int64_t ts) {
    while (t.depth > 0) {
        CloseTop(t, ts, Close::Unfinished);
    }
    t.overflow = 0;
}

void OtlpSpanBuilder::CloseAll() {
    for (auto& [key, t] : threads) {
        CloseThread(*t, t->lastTs);
    }
}

void OtlpSpanBuilder::Emit(ThreadState& t, Frame& f, int64_t endTs, Close how) {
    // `f` has been popped: frames below t.depth are its ancestors.
    if (how == Close::Unfinished) {
        ++stats.unfinished;
    }
    const uint64_t frequency = t.process->frequency;
    const int64_t ticks = endTs - f.begin;
    const int64_t micros =
        frequency == 1000000 ? ticks : static_cast<int64_t>(static_cast<double>(ticks) * 1e6 / frequency);
    const bool exported = f.keep || how == Close::Unwound || micros >= options.minDurationUs;

    // What describes the incoming request also belongs on the span that began its trace.
    if (f.requestRoot || f.traceRoot) {
        t.pendingRequest.clear();
    } else if (!f.attributes.empty()) {
        Frame* request = nullptr;
        for (size_t k = t.depth; k-- > 0;) {
            Frame& below = t.frames[k];
            if (below.requestRoot) {
                request = &below;
                break;
            }
            if (below.traceRoot || below.dispatcher) {
                break;
            }
        }
        for (const auto& a : f.attributes) {
            if (!IsRequestAttribute(a.key)) {
                continue;
            }
            if (request != nullptr) {
                AddAttributeOnce(request->attributes, a);
            } else {
                // Seen before the request was handed over: the newest value wins.
                auto it = std::find_if(t.pendingRequest.begin(), t.pendingRequest.end(),
                                       [&](const OtlpAttribute& p) { return p.key == a.key; });
                if (it != t.pendingRequest.end()) {
                    *it = a;
                } else {
                    t.pendingRequest.push_back(a);
                }
            }
        }
    }
    if (!exported) {
        ++stats.leftOut;
        return;
    }
    if (!f.traceRoot && t.depth > 0) {
        t.frames[t.depth - 1].keep = true;
    }

    OtlpSpan span;
    span.resource = Resource(t.pid);
    memcpy(span.traceId, f.traceId, sizeof span.traceId);
    span.spanId = f.spanId;
    span.parentSpanId = f.traceRoot || t.depth == 0 ? 0 : t.frames[t.depth - 1].spanId;
    const std::string_view name = names ? names(t.pid, f.functionId) : std::string_view{};
    span.name = name.data() != nullptr ? std::string(name) : "function#" + std::to_string(f.functionId);
    span.startNs = ToNs(t.pid, f.begin);
    span.endNs = std::max(span.startNs, ToNs(t.pid, endTs));
    if (name.data() != nullptr && !ClassOf(name).empty()) {
        const std::string cls(ClassOf(name));
        span.attributes.push_back(OtlpAttribute::String("code.function.name", cls + "." + std::string(MethodOf(name))));
        span.attributes.push_back(OtlpAttribute::String("code.namespace", cls));
    }
    span.attributes.push_back(OtlpAttribute::Int("thread.id", t.tid));
    for (auto& a : f.attributes) {
        span.attributes.push_back(std::move(a));
    }
    if (how == Close::Unfinished) {
        span.attributes.push_back(OtlpAttribute::Bool("quorix.unfinished", true));
    }
    span.events = std::move(f.events);
    if (how == Close::Unwound) {
        span.error = true;
        span.statusMessage = "left by exception " + Hex(t.lastException);
        if (!f.raised) {
            OtlpEvent e;
            e.timeNs = span.endNs;
            e.name = "exception";
            e.attributes.push_back(OtlpAttribute::String("exception.message", "exception passed through this call"));
            e.attributes.push_back(OtlpAttribute::String("quorix.exception.id", Hex(t.lastException)));
            span.events.push_back(std::move(e));
        }
    }
    f.attributes.clear();
    f.events.clear();
    ++stats.exported;
    sink(std::move(span));
}

}  // namespace QuorixCollect
