#include "requests/RequestTracker.h"

#include <time.h>

#include <algorithm>
#include <random>

#include "dotnet/CapturedMeaning.h"
#include "dotnet/DotNetLibraries.h"
#include "requests/TrackerState.h"

namespace QuorixCollect {

namespace {

// Read for many calls: the coarse clock costs a fifth of the precise one, and the waits it times
// are hundreds of milliseconds. Both count from the same start (steady_clock is CLOCK_MONOTONIC).
RequestTracker::Clock::time_point CoarseNow() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &t);
    return RequestTracker::Clock::time_point(std::chrono::duration_cast<RequestTracker::Clock::duration>(
        std::chrono::seconds(t.tv_sec) + std::chrono::nanoseconds(t.tv_nsec)));
}

bool IsWorkQueueing(std::string_view cls, std::string_view method) {
    return (cls == "System.Threading.ThreadPoolWorkQueue" && method == "Enqueue") ||
           (cls == "System.Threading.ThreadPool" && method == "UnsafeQueueUserWorkItemInternal") ||
           (cls == "System.Threading.Tasks.Task" && (method == "AddTaskContinuation" || method == "ScheduleAndStart"));
}

bool IsWorkRunning(std::string_view cls, std::string_view method) {
    return (cls == "System.Threading.ExecutionContext" &&
            (method == "RunFromThreadPoolDispatchLoop" || method == "RunInternal")) ||
           (cls == "System.Threading.Tasks.Task" &&
            (method == "ExecuteEntryUnsafe" || method == "ExecuteEntry" || method == "ExecuteWithThreadLocal" ||
             method == "RunContinuations"));
}

uint64_t AddressArg(const DecodedCommand& c, std::string_view name) {
    for (const auto& a : c.args) {
        int64_t n = 0;
        if (a.name == name && IntegerOf(a, n)) {
            return static_cast<uint64_t>(n);
        }
    }
    return 0;
}

// What a queueing call leaves for later: the work item, the continuation, the task.
uint64_t QueuedItem(std::string_view method, const DecodedCommand& c) {
    if (method == "ScheduleAndStart") return c.instanceId;
    if (method == "AddTaskContinuation") return AddressArg(c, "tc");
    if (method == "Enqueue") return AddressArg(c, "callback");
    return AddressArg(c, "callBack");
}

// What a running call runs: the task, the continuation, the work item's state.
uint64_t RunItem(std::string_view method, const DecodedCommand& c) {
    if (method == "RunContinuations") return AddressArg(c, "continuationObject");
    if (method == "RunFromThreadPoolDispatchLoop" || method == "RunInternal") return AddressArg(c, "state");
    return c.instanceId;
}

uint64_t AsyncTaskIdOf(const DecodedCommand& c) {
    uint64_t id = 0;
    for (const auto& a : c.args) {
        VisitLeaves(a, a.name, [&](std::string_view name, const ValueRecord& v) {
            int64_t n = 0;
            if (name == "AsyncTaskId" && IntegerOf(v, n)) {
                id = static_cast<uint64_t>(n);
            }
        });
    }
    return id;
}

}  // namespace

RequestTracker::RequestTracker(const Options& trackerOptions, NameLookup nameLookup, const CallMatcher& callMatcher)
    : options(trackerOptions), names(std::move(nameLookup)), matcher(callMatcher), rng(std::random_device{}()) {}

RequestTracker::~RequestTracker() = default;

RequestTracker::RunState& RequestTracker::Run(uint32_t run) {
    while (runs.size() <= run) {
        runs.push_back(std::make_unique<RunState>());
    }
    return *runs[run];
}

RequestTracker::Function& RequestTracker::FunctionOf(uint32_t run, uint32_t pid, uint32_t functionId) {
    RunState& r = Run(run);
    if (functionId >= r.functions.size()) {
        if (functionId >= (1u << 24)) {
            static Function unknown;
            unknown = Function{};
            unknown.role = Role::Plain;
            return unknown;
        }
        r.functions.resize(functionId + 1);
    }
    Function& f = r.functions[functionId];
    if (f.role != Role::Unknown) {
        return f;
    }
    f.name = names ? names(pid, functionId) : std::string_view{};
    if (f.name.data() == nullptr) {
        // Not named yet: decide again next time.
        static Function unnamed;
        unnamed = Function{};
        unnamed.role = Role::Plain;
        return unnamed;
    }
    const std::string_view cls = ClassOf(f.name);
    const std::string_view method = MethodOf(f.name);
    f.kickoff = f.name.find(":[AsyncStateMachine]") != std::string_view::npos;
    f.plumbing = IsCorrelationMachinery(cls);
    f.incoming = IsIncomingHttpClass(cls);
    f.responseStatus = cls == "System.Net.Http.HttpResponseMessage" &&
                       (method == "SetStatusCodeWithoutValidation" || method == "set_StatusCode");
    f.hasJoinKeys = IsWorkQueueing(cls, method) || IsWorkRunning(cls, method);
    const CallRole role = RoleOf(cls, method);
    if (role == CallRole::RequestEntry) {
        f.role = Role::RequestEntry;
    } else if (cls == "System.Threading.Tasks.Task" && method == "FinishContinuations") {
        f.role = Role::TaskFinished;
    } else if (role == CallRole::Dispatcher) {
        f.role = Role::Dispatcher;
    } else if (method == "MoveNext") {
        f.role = Role::MoveNext;
    } else if (IsDbCommandClass(cls) && StartsWith(method, "Execute") && !EndsWith(cls, "RelationalConnection")) {
        f.role = Role::Sql;
    } else if ((cls == "System.Net.Http.HttpMessageInvoker" && method == "SendAsync") ||
               (cls == "System.Net.HttpWebRequest" && method == "GetResponse")) {
        f.role = Role::Http;
    } else if (cls == "StackExchange.Redis.RedisDatabase" || cls == "ServiceStack.Redis.RedisNativeClient") {
        f.role = Role::Redis;
    } else {
        f.role = Role::Plain;
    }
    return f;
}

RequestTracker::Live* RequestTracker::At(uint32_t slot, uint32_t gen) const {
    if (slot >= slots.size() || !slots[slot] || slots[slot]->gen != gen) {
        return nullptr;
    }
    return slots[slot].get();
}

uint32_t RequestTracker::Lookup(uint32_t run, uint64_t key, uint32_t& gen, bool& outside) const {
    outside = false;
    if (run >= runs.size() || key == 0) {
        return None;
    }
    const auto& links = runs[run]->links;
    auto it = links.find(Key(run, key));
    if (it == links.end()) {
        return None;
    }
    if (it->second == Outside) {
        outside = true;
        return None;
    }
    const uint32_t slot = static_cast<uint32_t>(it->second);
    gen = static_cast<uint32_t>(it->second >> 32);
    const Live* live = At(slot, gen);
    if (live != nullptr && live->rootDone) {
        outside = true;  // what it left behind runs on without it
        return None;
    }
    return live != nullptr ? slot : None;
}

void RequestTracker::Link(uint32_t run, uint64_t key, uint32_t slot) {
    if (key == 0 || key == Outside) {
        return;
    }
    RunState& r = Run(run);
    Live& live = *slots[slot];
    Bound(r.links);
    auto [it, added] = r.links.try_emplace(Key(run, key), (static_cast<uint64_t>(live.gen) << 32) | slot);
    if (!added) {
        if (it->second == ((static_cast<uint64_t>(live.gen) << 32) | slot)) {
            return;
        }
        // An address reused once its first owner let go of it.
        it->second = (static_cast<uint64_t>(live.gen) << 32) | slot;
    }
    if (live.keys.size() < 4 * options.maxCalls) {
        live.keys.push_back(Key(run, key));
    }
    if (!r.orphans.empty()) {
        Adopt(run, key, slot);
    }
}

void RequestTracker::NoteOrphan(const MatchedCall& call, uint64_t key) {
    RunState& r = Run(call.run);
    Bound(r.orphans);
    r.orphans[Key(call.run, key)] = {call.thread, call.depth, call.seq};
}

void RequestTracker::Adopt(uint32_t run, uint64_t key, uint32_t slot) {
    RunState& r = Run(run);
    auto it = r.orphans.find(Key(run, key));
    if (it == r.orphans.end()) {
        return;
    }
    const RunState::Orphan orphan = it->second;
    r.orphans.erase(it);
    if (orphan.thread >= threads.size() || orphan.thread >= matcher.Threads().size()) {
        return;
    }
    ThreadState& t = *threads[orphan.thread];
    const size_t open = std::min(matcher.Threads()[orphan.thread].depth, t.frames.size());
    if (orphan.depth >= open || t.frames[orphan.depth].seq != orphan.seq) {
        return;  // already over: what it did is not the request's
    }
    Live& live = *slots[slot];
    for (size_t d = orphan.depth; d < open; ++d) {
        Frame& fr = t.frames[d];
        if (At(fr.slot, fr.gen) != nullptr) {
            break;
        }
        fr.slot = slot;
        fr.gen = live.gen;
        fr.rdepth = static_cast<uint32_t>(d - orphan.depth);
        ++live.open;
    }
    live.quiet = false;
    ++live.req.continuations;
    ++stats.continuations;
    if (std::find(live.req.threads.begin(), live.req.threads.end(), t.tid) == live.req.threads.end()) {
        live.req.threads.push_back(t.tid);
    }
    Resumed(run, key);
}

void RequestTracker::LinkOutside(uint32_t run, uint64_t key) {
    if (key == 0) {
        return;
    }
    RunState& r = Run(run);
    Bound(r.links);
    r.links[Key(run, key)] = Outside;
}

void RequestTracker::ThreadAdded(uint32_t thread) {
    while (threads.size() <= thread) {
        threads.push_back(std::make_unique<ThreadState>());
    }
    const auto& m = matcher.Threads()[thread];
    ThreadState& t = *threads[thread];
    t = ThreadState{};
    t.run = m.run;
    t.pid = m.pid;
    t.tid = m.tid;
}

uint32_t RequestTracker::StartRequest(ThreadState& t, const MatchedCall& call, const Function& f, const char* kind) {
    if (liveCount >= options.maxLive) {
        ++stats.notTracked;
        return None;
    }
    uint32_t slot;
    if (!freeSlots.empty()) {
        slot = freeSlots.back();
        freeSlots.pop_back();
    } else {
        slot = static_cast<uint32_t>(slots.size());
        slots.push_back(nullptr);
    }
    slots[slot] = std::make_unique<Live>();
    Live& live = *slots[slot];
    live.gen = ++generations;
    live.run = call.run;
    live.lastActive = CoarseNow();
    live.lastTicks = call.begin;
    Request& r = live.req;
    r.id = nextId++;
    r.kind = kind;
    r.pid = t.pid;
    r.name = std::string(f.name);
    r.startNs = Nanos(call.run, call.begin);
    r.threads.push_back(t.tid);
    if (r.kind == "http") {
        r.method = std::move(t.pendingMethod);
        r.path = std::move(t.pendingPath);
        r.query = std::move(t.pendingQuery);
        if (!r.query.empty() && r.query.front() != '?') r.query.insert(0, "?");
        r.host = std::move(t.pendingHost);
        r.scheme = std::move(t.pendingScheme);
    }
    t.pendingMethod.clear();
    t.pendingPath.clear();
    t.pendingQuery.clear();
    t.pendingHost.clear();
    t.pendingScheme.clear();
    for (auto& b : r.traceId) {
        b = static_cast<uint8_t>(rng = rng * 6364136223846793005ULL + 1442695040888963407ULL, rng >> 56);
    }
    r.spanId = (rng = rng * 6364136223846793005ULL + 1442695040888963407ULL) | 1;
    ++liveCount;
    ++stats.begun;
    started = true;
    return slot;
}

uint32_t RequestTracker::Decide(ThreadState& t, const MatchedCall& call, const Function& f, const DecodedCommand& begin,
                                uint32_t& gen) {
    const Frame* parent = call.depth > 0 && call.depth - 1 < t.frames.size() ? &t.frames[call.depth - 1] : nullptr;
    const Live* below = parent != nullptr ? At(parent->slot, parent->gen) : nullptr;
    // Once a request's own task finished, what runs inside its last frames is the awaiting host's.
    uint32_t owner = below != nullptr && !below->rootDone ? parent->slot : None;
    gen = owner != None ? parent->gen : 0;
    bool outside = false;
    if (f.role == Role::RequestEntry) {
        RunState& r = Run(call.run);
        if (!r.webSeen) {
            // A web app: its root calls are the host's, not requests of their own.
            r.webSeen = true;
            stats.tracesDropped += r.heldTraces.size();
            for (const auto& held : r.heldTraces) {
                for (auto* sink : sinks) sink->RequestDropped(held);
            }
            r.heldTraces.clear();
            for (uint32_t slot = 0; slot < slots.size(); ++slot) {
                if (slots[slot] && slots[slot]->run == call.run && slots[slot]->req.kind == "trace") {
                    ++stats.tracesDropped;
                    Request& dropped = slots[slot]->req;
                    dropped.endNs = std::max(dropped.startNs, Nanos(call.run, slots[slot]->lastTicks));
                    dropped.complete = false;
                    for (auto* sink : sinks) sink->RequestDropped(dropped);
                    Release(slot);
                }
            }
            owner = None;
        }
        if (owner != None) {
            // The host went on to its next request inside this one's last frames.
            slots[owner]->endCap = call.begin;
        }
        const uint32_t slot = StartRequest(t, call, f, "http");
        gen = slot != None ? slots[slot]->gen : 0;
        return slot;
    }
    if (f.role == Role::MoveNext) {
        const uint64_t id = AsyncTaskIdOf(begin);
        Resumed(call.run, id);
        uint32_t g = 0;
        const uint32_t found = Lookup(call.run, id, g, outside);
        if (found != None || outside) {
            if (found != owner && found != None) {
                ++stats.continuations;
                ++slots[found]->req.continuations;
            }
            gen = g;
            return found;
        }
        if (owner != None) {
            Link(call.run, id, owner);
        } else if (id != 0) {
            NoteOrphan(call, id);
        }
        return owner;
    }
    if (f.hasJoinKeys && IsWorkRunning(ClassOf(f.name), MethodOf(f.name))) {
        const uint64_t item = RunItem(MethodOf(f.name), begin);
        Resumed(call.run, item);
        uint32_t g = 0;
        const uint32_t found = owner == None ? Lookup(call.run, item, g, outside) : None;
        if (owner == None && found == None && !outside && item != 0) {
            NoteOrphan(call, item);
        }
        if (found != None) {
            ++stats.continuations;
            ++slots[found]->req.continuations;
            gen = g;
            return found;
        }
    }
    return owner;
}

void RequestTracker::NoteKeys(ThreadState& t, const Function& f, const DecodedCommand& begin, uint32_t slot) {
    if (!f.hasJoinKeys) {
        return;
    }
    const std::string_view cls = ClassOf(f.name);
    const std::string_view method = MethodOf(f.name);
    if (!IsWorkQueueing(cls, method)) {
        return;
    }
    // Work this request leaves for later: whoever runs it works for the request.
    const uint64_t item = QueuedItem(method, begin);
    Link(t.run, item, slot);
    if (method == "AddTaskContinuation") {
        Suspended(slot, item);
    }
}

void RequestTracker::Begun(const MatchedCall& call, const DecodedCommand& begin) {
    if (call.thread >= threads.size()) {
        ThreadAdded(call.thread);
    }
    ThreadState& t = *threads[call.thread];
    if (t.frames.size() <= call.depth) {
        t.frames.resize(call.depth + 1);
    }
    if (t.catching) {
        NoteCatch(t, call.depth);
    }
    Function& f = FunctionOf(call.run, call.pid, call.functionId);
    if (f.role == Role::TaskFinished) {
        TaskFinished(call.run, begin.instanceId, call.begin);
    } else if (f.responseStatus) {
        NoteResponseStatus(call.run, begin);
    }
    uint32_t gen = 0;
    started = false;
    uint32_t slot = IsHostReset(f) && HostMovedOn(call.run, begin.instanceId, call.begin)
                        ? None  // the host's own work on the connection, wherever it runs
                        : Decide(t, call, f, begin, gen);
    const Frame* parent = call.depth > 0 ? &t.frames[call.depth - 1] : nullptr;
    RunState& r = Run(call.run);
    if (slot == None && !r.webSeen && f.role != Role::Dispatcher && f.role != Role::TaskFinished && !f.plumbing &&
        (parent == nullptr || parent->slot == None) && f.role != Role::Unknown) {
        bool allDispatch = true;
        for (uint32_t k = 0; k < call.depth && allDispatch; ++k) {
            const Function& below = FunctionOf(call.run, call.pid, t.frames[k].functionId);
            allDispatch = below.role == Role::Dispatcher || below.plumbing;
        }
        if (allDispatch) {
            slot = StartRequest(t, call, f, "trace");
            gen = slot != None ? slots[slot]->gen : 0;
        }
    }
    const bool root = slot != None && started;
    started = false;
    Frame& fr = t.frames[call.depth];
    fr = Frame{};
    fr.root = root;
    fr.functionId = call.functionId;
    fr.instance = begin.instanceId;
    fr.seq = call.seq;
    if (slot == None) {
        if (f.incoming && begin.instanceId != 0) {
            HostMovedOn(call.run, begin.instanceId, call.begin);
        }
        if (!begin.args.empty()) {
            NoteUnowned(t, f, call, begin, begin.instanceId);
        }
        return;
    }
    fr.slot = slot;
    fr.gen = gen;
    fr.rdepth = parent != nullptr && parent->slot == slot && parent->gen == gen ? parent->rdepth + 1 : 0;
    Live& live = *slots[slot];
    ++live.open;
    if (!live.rootDone) {
        live.quiet = false;
    }
    live.lastActive = CoarseNow();
    if (fr.rdepth == 0 &&
        std::find(live.req.threads.begin(), live.req.threads.end(), t.tid) == live.req.threads.end()) {
        live.req.threads.push_back(t.tid);
    }
    NoteKeys(t, f, begin, slot);
    if (f.role == Role::Sql || f.role == Role::Http || f.role == Role::Redis) {
        OpenItem(t, fr, f, call, begin);
    }
    if (!begin.args.empty()) {
        AddFacts(t, fr, f, call, begin, false);
    }
}

void RequestTracker::Closed(const MatchedCall& call, const DecodedCommand* end) {
    if (call.thread >= threads.size()) {
        return;
    }
    CloseCall(call, end);
    NoteTime(call.run, call.end);
}

void RequestTracker::CloseCall(const MatchedCall& call, const DecodedCommand* end) {
    ThreadState& t = *threads[call.thread];
    if (call.depth >= t.frames.size()) {
        return;
    }
    if (t.catching && call.how == CallEnd::Returned) {
        NoteCatch(t, call.depth + 1);
    }
    Frame& fr = t.frames[call.depth];
    Function& f = FunctionOf(call.run, call.pid, call.functionId);
    Live* live = At(fr.slot, fr.gen);
    const uint64_t returned = [&]() -> uint64_t {
        int64_t n = 0;
        return end != nullptr && end->hasReturnValue && IntegerOf(end->returnValue, n) ? static_cast<uint64_t>(n) : 0;
    }();
    if (f.kickoff && returned != 0) {
        if (live != nullptr) {
            Link(call.run, returned, fr.slot);
            // What the host awaits: the task of the first async method the entry started.
            if (call.depth > 0 && threads[call.thread]->frames[call.depth - 1].root) {
                live->rootTask = returned;
            }
        } else {
            LinkOutside(call.run, returned);
        }
    }
    if (live == nullptr) {
        if (end != nullptr && end->hasReturnValue && !f.plumbing) {
            NoteUnowned(t, f, call, *end, fr.instance);
        }
        return;
    }
    const uint32_t slot = fr.slot;
    if (end != nullptr && end->hasReturnValue) {
        AddFacts(t, fr, f, call, *end, true);
    }
    if (fr.itemKind != 0) {
        CloseItem(t, fr, call, end);
    }
    Request& req = live->req;
    if (f.plumbing) {
        ++req.plumbing;
    } else if (req.calls.size() < options.maxCalls && Room(*live, sizeof(RequestCall) + f.name.size())) {
        req.calls.push_back({std::string(f.name), t.tid, fr.rdepth, Nanos(call.run, call.begin),
                             Nanos(call.run, call.end), call.how == CallEnd::Unwound});
    } else {
        ++req.callsLeftOut;
    }
    live->lastTicks = std::max(live->lastTicks, std::min(call.end, live->endCap));
    live->lastActive = CoarseNow();
    if (live->open > 0) {
        --live->open;
    }
    if (fr.root) {
        live->rootOpen = false;
        live->rootEndTicks = call.end;
        const auto& waiting = live->suspended;
        live->awaitingRoot =
            live->rootTask != 0 && std::find(waiting.begin(), waiting.end(), live->rootTask) != waiting.end();
    }
    fr.slot = None;
    TrySettle(slot);
}

void RequestTracker::TaskFinished(uint32_t run, uint64_t task, int64_t ticks) {
    if (task == 0) {
        return;
    }
    RunState& r = Run(run);
    auto item = r.awaited.find(Key(run, task));
    if (item != r.awaited.end()) {
        Live* live = At(item->second.slot, item->second.gen);
        if (live != nullptr) {
            const uint64_t at = Nanos(run, ticks);
            const uint32_t i = item->second.index;
            switch (item->second.kind) {
                case 1:
                    if (i < live->req.sql.size()) live->req.sql[i].endNs = std::max(live->req.sql[i].endNs, at);
                    break;
                case 2:
                    if (i < live->req.http.size()) live->req.http[i].endNs = std::max(live->req.http[i].endNs, at);
                    break;
                case 3:
                    if (i < live->req.redis.size()) live->req.redis[i].endNs = std::max(live->req.redis[i].endNs, at);
                    break;
                default:
                    break;
            }
        }
        r.awaited.erase(item);
    }
    uint32_t gen = 0;
    bool outside = false;
    const uint32_t slot = Lookup(run, task, gen, outside);
    if (slot != None && slots[slot]->awaitingRoot && slots[slot]->rootTask == task && !slots[slot]->rootDone) {
        // The request's own task finished: it is over, whatever it started is still waiting.
        Live& live = *slots[slot];
        live.rootDone = true;
        live.lastTicks = std::max(live.lastTicks, std::min(ticks, live.endCap));
        live.endCap = std::min(live.endCap, ticks);
        TrySettle(slot);
    }
    Resumed(run, task);
}

void RequestTracker::Suspended(uint32_t slot, uint64_t continuation) {
    Live& live = *slots[slot];
    if (Run(live.run).resumedEarly.erase(Key(live.run, continuation)) != 0) {
        return;  // its continuation already ran
    }
    if (continuation != 0 && live.suspended.size() < 256 &&
        std::find(live.suspended.begin(), live.suspended.end(), continuation) == live.suspended.end()) {
        live.suspended.push_back(continuation);
    }
}

void RequestTracker::Resumed(uint32_t run, uint64_t key) {
    uint32_t gen = 0;
    bool outside = false;
    const uint32_t slot = Lookup(run, key, gen, outside);
    if (slot == None) {
        if (key != 0 && !outside) {
            RunState& r = Run(run);
            Bound(r.resumedEarly);
            r.resumedEarly.insert(Key(run, key));
        }
        return;
    }
    auto& waiting = slots[slot]->suspended;
    auto it = std::find(waiting.begin(), waiting.end(), key);
    if (it != waiting.end()) {
        waiting.erase(it);
    }
}

void RequestTracker::TrySettle(uint32_t slot) {
    Live& live = *slots[slot];
    // Work it started that outlives it (a client's read loop) may still wait: once the host
    // went on with the connection, that is not the request's any more.
    if (live.quiet || live.rootOpen) {
        return;
    }
    if (!live.rootDone && (live.open != 0 || (!live.suspended.empty() && !live.hostDone))) {
        return;
    }
    live.quiet = true;
    live.quietTicks = live.lastTicks;
    live.quietSince = CoarseNow();
    Run(live.run).quietOnes.emplace_back(slot, live.gen);
}

bool RequestTracker::IsHostReset(const Function& f) {
    // What the host sets on a connection's request object as it goes on to the next request.
    if (!f.incoming) {
        return false;
    }
    const std::string_view method = MethodOf(f.name);
    return method == "set_Path" || method == "set_Method" || method == "set_QueryString";
}

bool RequestTracker::HostMovedOn(uint32_t run, uint64_t connection, int64_t ticks) {
    RunState& r = Run(run);
    auto it = r.protocols.find(Key(run, connection));
    if (connection == 0 || it == r.protocols.end()) {
        return false;
    }
    const uint32_t slot = static_cast<uint32_t>(it->second);
    Live* live = At(slot, static_cast<uint32_t>(it->second >> 32));
    // Threads' commands come in their own order: only what the host did after the entry returned counts.
    if (live == nullptr || live->rootOpen || ticks < live->rootEndTicks) {
        return false;
    }
    if (live->hostDone) {
        return true;
    }
    // The host's own calls on the connection after the app's part: the request is over.
    live->hostDone = true;
    live->endCap = std::min(live->endCap, std::max(ticks, live->lastTicks));
    TrySettle(slot);
    return true;
}

bool RequestTracker::QuietLongEnough(const Live& live, int64_t runTicks, Clock::time_point now) const {
    // The host writes the status after the app's task when the app did not: give it longer.
    const bool waitsForStatus = live.req.kind == "http" && live.req.status == 0 && live.protocol != 0;
    const auto wall = waitsForStatus ? options.holdForStatus : options.quietWall;
    const double streamMs = waitsForStatus ? 1000.0 : options.quietStreamMs;
    const auto& run = matcher.Runs()[live.run];
    return now - live.quietSince >= wall ||
           static_cast<double>(runTicks - live.quietTicks) * run.microsPerTick >= streamMs * 1000.0;
}

void RequestTracker::NoteTime(uint32_t run, int64_t ticks) {
    RunState& r = Run(run);
    r.lastTicks = std::max(r.lastTicks, ticks);
    if (r.quietOnes.empty()) {
        return;
    }
    HandOverQuiet(run, Clock::time_point{});
}

void RequestTracker::HandOverQuiet(uint32_t run, Clock::time_point now) {
    RunState& r = Run(run);
    while (!r.quietOnes.empty()) {
        const auto [slot, gen] = r.quietOnes.front();
        Live* live = At(slot, gen);
        if (live == nullptr || !live->quiet) {
            r.quietOnes.pop_front();  // handed over, or something joined it again
            continue;
        }
        if (!QuietLongEnough(*live, r.lastTicks, now)) {
            return;
        }
        r.quietOnes.pop_front();
        HandOver(slot, false);
    }
}

void RequestTracker::HandOver(uint32_t slot, bool cut) {
    Live& live = *slots[slot];
    Request& req = live.req;
    req.endNs = std::max(req.startNs, Nanos(live.run, live.lastTicks));
    req.complete = !cut;
    if (cut) {
        ++stats.cut;
    }
    RunState& r = Run(live.run);
    if (live.protocol != 0) {
        auto it = r.protocols.find(Key(live.run, live.protocol));
        if (it != r.protocols.end() && static_cast<uint32_t>(it->second) == slot) {
            r.protocols.erase(it);
        }
    }
    for (uint64_t id : live.exceptionIds) {
        auto it = r.exceptionOwners.find(id);
        if (it != r.exceptionOwners.end() && it->second.slot == slot) {
            r.exceptionOwners.erase(it);
        }
    }
    if (exceptionTable != nullptr) {
        for (auto& e : req.exceptions) {
            const uint32_t handle = exceptionTable->Find(req.pid, e.id);
            if (handle != ExceptionTable::None) {
                const ExceptionTable::Details& d = exceptionTable->Get(handle);
                e.type = std::string(d.type);
                e.message = std::string(d.message);
                e.hasMessage = !d.messageNull;
            }
        }
    }
    // Threads' commands come in their own order: the request's parts in the order they began.
    const auto byStart = [](const auto& a, const auto& b) { return a.startNs < b.startNs; };
    std::stable_sort(req.calls.begin(), req.calls.end(), byStart);
    std::stable_sort(req.sql.begin(), req.sql.end(), byStart);
    std::stable_sort(req.http.begin(), req.http.end(), byStart);
    std::stable_sort(req.redis.begin(), req.redis.end(), byStart);
    FindIn(req, options.rules);
    ++stats.ended;
    if (req.kind == "trace" && !r.tracesDirect && !cut) {
        r.heldBytes += req.Bytes();
        r.heldTraces.push_back(std::move(req));
        // Held back within their bound, in count and in bytes; beyond it they go out as they end.
        if (r.heldTraces.size() >= options.maxTraceBuffer || r.heldBytes > options.maxBytes) {
            r.tracesDirect = true;
            for (auto& held : r.heldTraces) Emit(held);
            r.heldTraces.clear();
        }
    } else {
        Emit(req);
    }
    Release(slot);
}

void RequestTracker::Emit(Request& request) {
    for (auto* sink : sinks) {
        sink->RequestEnded(request);
    }
}

void RequestTracker::Release(uint32_t slot) {
    Live& live = *slots[slot];
    RunState& r = Run(live.run);
    const uint64_t mine = (static_cast<uint64_t>(live.gen) << 32) | slot;
    for (uint64_t key : live.keys) {
        auto it = r.links.find(key);
        if (it != r.links.end() && it->second == mine) {
            r.links.erase(it);
        }
    }
    for (uint64_t key : live.awaited) {
        auto it = r.awaited.find(key);
        if (it != r.awaited.end() && it->second.slot == slot && it->second.gen == live.gen) {
            r.awaited.erase(it);
        }
    }
    liveBytes -= std::min(liveBytes, live.bytes);
    slots[slot].reset();
    freeSlots.push_back(slot);
    --liveCount;
}

void RequestTracker::ThreadEnded(uint32_t thread) {
    if (thread < threads.size()) {
        ThreadState& t = *threads[thread];
        if (t.catching) {
            NoteCatch(t, 0);
        }
        t.frames.clear();
        t.frames.shrink_to_fit();
    }
}

void RequestTracker::RunEnded(uint32_t run) {
    for (uint32_t slot = 0; slot < slots.size(); ++slot) {
        if (slots[slot] && slots[slot]->run == run) {
            HandOver(slot, !slots[slot]->quiet);
        }
    }
    if (run < runs.size()) {
        RunState& r = *runs[run];
        for (auto& held : r.heldTraces) Emit(held);
        r.heldTraces.clear();
        // The run's keys go; its requests are all handed over.
        const bool web = r.webSeen;
        runs[run] = std::make_unique<RunState>();
        runs[run]->webSeen = web;
    }
}

void RequestTracker::Expire(Clock::time_point now) {
    for (uint32_t run = 0; run < runs.size(); ++run) {
        HandOverQuiet(run, now);
    }
    for (uint32_t slot = 0; slot < slots.size(); ++slot) {
        if (!slots[slot]) {
            continue;
        }
        Live& live = *slots[slot];
        if (!live.quiet && !live.rootOpen && live.open == 0 && now - live.lastActive >= options.settle) {
            // It waits for something that never showed its end: what ran of it is all there is.
            HandOver(slot, false);
        }
    }
}

void RequestTracker::Finish() {
    if (finished) {
        return;
    }
    finished = true;
    for (uint32_t slot = 0; slot < slots.size(); ++slot) {
        if (slots[slot]) {
            HandOver(slot, !slots[slot]->quiet);
        }
    }
    for (auto& r : runs) {
        for (auto& held : r->heldTraces) Emit(held);
        r->heldTraces.clear();
    }
}

bool RequestTracker::Room(Live& live, size_t bytes) {
    // What one request keeps is bounded by count; what all keep together, by bytes.
    if (liveBytes + bytes > options.maxBytes) {
        return false;
    }
    liveBytes += bytes;
    live.bytes += bytes;
    return true;
}

const Request* RequestTracker::OwnerOf(uint32_t thread, uint32_t depth) const {
    if (thread >= threads.size() || depth >= threads[thread]->frames.size()) {
        return nullptr;
    }
    const Frame& fr = threads[thread]->frames[depth];
    const Live* live = At(fr.slot, fr.gen);
    return live != nullptr ? &live->req : nullptr;
}

size_t RequestTracker::BytesHeld() const {
    size_t bytes = liveBytes + slots.size() * sizeof(Live);
    for (const auto& r : runs) {
        bytes += (r->links.size() + r->awaited.size() + r->commandTexts.size()) * 48;
        for (const auto& h : r->heldTraces) bytes += h.Bytes();
    }
    return bytes;
}

uint64_t RequestTracker::Nanos(uint32_t run, int64_t ticks) const {
    return run < matcher.Runs().size() ? matcher.Runs()[run].Nanos(ticks) : 0;
}

}  // namespace QuorixCollect
