// What the values of a request's calls tell about it: the incoming request's method, path and
// status, its statements, outgoing calls, Redis commands and exceptions.

#include <algorithm>

#include "dotnet/CapturedMeaning.h"
#include "dotnet/DotNetLibraries.h"
#include "requests/RequestTracker.h"
#include "requests/TrackerState.h"
#include "wire/WireFormat.h"

namespace QuorixCollect {

namespace {

constexpr uint8_t Statement = 1;
constexpr uint8_t Outgoing = 2;
constexpr uint8_t RedisItem = 3;
constexpr size_t MaxStack = 32;

bool IsHostConnection(std::string_view cls) {
    return StartsWith(cls, "Microsoft.AspNetCore.Server.Kestrel.") &&
           (EndsWith(cls, "HttpProtocol") || EndsWith(cls, "Http1Connection") || EndsWith(cls, "Http2Stream") ||
            EndsWith(cls, "Http3Stream") || EndsWith(cls, "Frame"));
}

void SetTarget(Request& r, const std::string& target) {
    if (!r.path.empty()) {
        return;
    }
    const size_t q = target.find('?');
    r.path = target.substr(0, q);
    if (q != std::string::npos && r.query.empty()) {
        r.query = target.substr(q);
    }
}

}  // namespace

void RequestTracker::NoteValue(ThreadState& t, Frame& fr, const Function& f, std::string_view leafName,
                               const ValueRecord& v, bool isReturn) {
    Live& live = *slots[fr.slot];
    Request& r = live.req;
    RunState& run = Run(t.run);
    const std::string_view cls = ClassOf(f.name);
    const std::string_view method = MethodOf(f.name);
    int64_t n = 0;
    if (method == "set_Connection" && IsDbCommandClass(cls) && IntegerOf(v, n)) {
        Bound(run.commandConnections);
        run.commandConnections[Key(t.run, fr.instance)] = static_cast<uint64_t>(n);
        return;
    }
    const Leaf l = ReadLeaf(cls, method, isReturn ? std::string_view("returnValue") : leafName, v);
    switch (l.meaning) {
        case Meaning::RequestTarget:
            SetTarget(r, l.text);
            break;
        case Meaning::RequestQuery:
            if (r.query.empty()) r.query = l.text.front() == '?' ? l.text : "?" + l.text;
            break;
        case Meaning::RequestMethod:
            if (r.method.empty()) r.method = l.text;
            break;
        case Meaning::RequestScheme:
            if (r.scheme.empty()) r.scheme = l.text;
            break;
        case Meaning::RequestHost:
            if (r.host.empty()) r.host = l.text;
            break;
        case Meaning::ResponseStatus:
            if (fr.instance == 0 && OtherConnectionBelow(t, fr, live)) {
                break;  // another request's status, written inside this one's last frames
            }
            r.status = static_cast<int>(l.number);
            break;
        case Meaning::DbQueryText:
            Bound(run.commandTexts);
            run.commandTexts[Key(t.run, fr.instance)] = {std::string(DatabaseSystem(cls)), l.text};
            break;
        case Meaning::DbConnectionString:
            Bound(run.connections);
            run.connections[Key(t.run, fr.instance)] = ParseConnectionString(l.text);
            run.lastTargets[std::string(DatabaseSystem(cls))] = run.connections[Key(t.run, fr.instance)];
            break;
        case Meaning::RedisKey:
            if (fr.itemKind == RedisItem && r.redis[fr.itemIndex].key.empty()) r.redis[fr.itemIndex].key = l.text;
            break;
        case Meaning::OutgoingUrl:
            if (fr.itemKind == Outgoing && r.http[fr.itemIndex].url.empty()) r.http[fr.itemIndex].url = l.text;
            break;
        default:
            if (fr.itemKind == Outgoing && l.isText && leafName == "Method" && r.http[fr.itemIndex].method.empty()) {
                r.http[fr.itemIndex].method = l.text;
            } else if (fr.itemKind == Outgoing && l.isInt && (leafName == "StatusCode" || leafName == "statusCode")) {
                r.http[fr.itemIndex].status = static_cast<int>(l.number);
            }
            break;
    }
}

bool RequestTracker::OtherConnectionBelow(const ThreadState& t, const Frame& fr, const Live& live) const {
    // A static helper writes the status: the host's connection object is on a frame below it.
    const RunState& run = *runs[t.run];
    const Frame* base = t.frames.data();
    for (const Frame* f = &fr; f-- > base && &fr - f <= 8;) {
        if (f->instance != 0 && run.protocols.count(Key(t.run, f->instance)) != 0) {
            return f->instance != live.protocol;
        }
    }
    return false;
}

void RequestTracker::AddFacts(ThreadState& t, Frame& fr, const Function& f, const MatchedCall& call,
                              const DecodedCommand& c, bool isEnd) {
    Live& live = *slots[fr.slot];
    if (f.incoming && live.protocol == 0 && fr.instance != 0 && IsHostConnection(ClassOf(f.name))) {
        live.protocol = fr.instance;
        RunState& run = Run(t.run);
        Bound(run.protocols);
        run.protocols[Key(t.run, fr.instance)] = (static_cast<uint64_t>(live.gen) << 32) | fr.slot;
    }
    if (f.plumbing) {
        return;  // addresses and states only
    }
    if (f.incoming && fr.instance != 0 && fr.instance != live.protocol &&
        Run(t.run).protocols.count(Key(t.run, fr.instance)) != 0) {
        // Another request's connection, run inside this one's frames: its values are that one's.
        NoteUnowned(t, f, call, c, fr.instance);
        return;
    }
    if (isEnd) {
        VisitLeaves(c.returnValue, "returnValue",
                    [&](std::string_view name, const ValueRecord& v) { NoteValue(t, fr, f, name, v, true); });
        return;
    }
    for (const auto& a : c.args) {
        VisitLeaves(a, a.name,
                    [&](std::string_view name, const ValueRecord& v) { NoteValue(t, fr, f, name, v, false); });
    }
}

void RequestTracker::NoteUnowned(ThreadState& t, const Function& f, const MatchedCall& call, const DecodedCommand& c,
                                 uint64_t instance) {
    // A command's text or connection set before any request, and what the host tells of a
    // request after the app's task: its status.
    if (f.plumbing) {
        return;
    }
    RunState& run = Run(t.run);
    const std::string_view cls = ClassOf(f.name);
    const std::string_view method = MethodOf(f.name);
    uint64_t connection = instance;
    if (f.incoming && connection == 0) {
        // A static helper (the status's text): the host's object is below it.
        for (uint32_t k = call.depth; k-- > 0 && connection == 0 && call.depth - k <= 8;) {
            connection = t.frames[k].instance;
            if (run.protocols.count(Key(t.run, connection)) == 0) connection = 0;
        }
    }
    const auto visit = [&](std::string_view name, const ValueRecord& v) {
        int64_t n = 0;
        if (method == "set_Connection" && IsDbCommandClass(cls) && IntegerOf(v, n)) {
            Bound(run.commandConnections);
            run.commandConnections[Key(t.run, instance)] = static_cast<uint64_t>(n);
            return;
        }
        const Leaf l = ReadLeaf(cls, method, name, v);
        switch (l.meaning) {
            case Meaning::RequestTarget: {
                const size_t q = l.text.find('?');
                t.pendingPath = l.text.substr(0, q);
                if (q != std::string::npos) t.pendingQuery = l.text.substr(q);
                return;
            }
            case Meaning::RequestQuery:
                t.pendingQuery = l.text;
                return;
            case Meaning::RequestMethod:
                t.pendingMethod = l.text;
                return;
            case Meaning::RequestHost:
                t.pendingHost = l.text;
                return;
            case Meaning::RequestScheme:
                t.pendingScheme = l.text;
                return;
            default:
                break;
        }
        if (l.meaning == Meaning::DbQueryText) {
            Bound(run.commandTexts);
            run.commandTexts[Key(t.run, instance)] = {std::string(DatabaseSystem(cls)), l.text};
        } else if (l.meaning == Meaning::DbConnectionString) {
            Bound(run.connections);
            run.connections[Key(t.run, instance)] = ParseConnectionString(l.text);
            run.lastTargets[std::string(DatabaseSystem(cls))] = run.connections[Key(t.run, instance)];
        } else if (l.meaning == Meaning::ResponseStatus && connection != 0) {
            auto it = run.protocols.find(Key(t.run, connection));
            Live* live = it == run.protocols.end()
                             ? nullptr
                             : At(static_cast<uint32_t>(it->second), static_cast<uint32_t>(it->second >> 32));
            if (live != nullptr) {
                live->req.status = static_cast<int>(l.number);
            }
        }
    };
    if (c.type == static_cast<uint8_t>(WireProtocol::CommandType::EndCall)) {
        VisitLeaves(c.returnValue, "returnValue", visit);
    } else {
        for (const auto& a : c.args) VisitLeaves(a, a.name, visit);
    }
}

void RequestTracker::OpenItem(ThreadState& t, Frame& fr, const Function& f, const MatchedCall& call,
                              const DecodedCommand& c) {
    Live& live = *slots[fr.slot];
    Request& r = live.req;
    const uint8_t kind = f.role == Role::Sql ? Statement : f.role == Role::Http ? Outgoing : RedisItem;
    if (kind == RedisItem && c.args.empty()) {
        return;  // the client's inner methods carry no key
    }
    // Only the outermost call of one command: a provider's inner execute calls add nothing.
    for (uint32_t k = call.depth, seen = 0; k-- > 0 && seen < 8; ++seen) {
        const Frame& below = t.frames[k];
        if (below.itemKind == kind && below.slot == fr.slot && (kind != Statement || below.instance == c.instanceId)) {
            return;
        }
    }
    const size_t count = kind == Statement ? r.sql.size() : kind == Outgoing ? r.http.size() : r.redis.size();
    if (count >= options.maxItems || !Room(live, 512)) {
        ++r.itemsLeftOut;
        return;
    }
    const uint64_t start = Nanos(call.run, call.begin);
    const std::string_view cls = ClassOf(f.name);
    if (kind == Statement) {
        SqlStatement s;
        RunState& run = Run(t.run);
        auto text = run.commandTexts.find(Key(t.run, c.instanceId));
        s.system = std::string(DatabaseSystem(cls));
        if (text != run.commandTexts.end()) {
            s.text = text->second.second;
            if (s.system == "other_sql") s.system = text->second.first;
        }
        auto conn = run.commandConnections.find(Key(t.run, c.instanceId));
        const DbTarget* target = nullptr;
        if (conn != run.commandConnections.end()) {
            auto known = run.connections.find(Key(t.run, conn->second));
            target = known != run.connections.end() ? &known->second : nullptr;
        }
        if (target == nullptr) {
            auto last = run.lastTargets.find(s.system);
            target = last != run.lastTargets.end() ? &last->second : nullptr;
        }
        if (target != nullptr) {
            s.server = target->server;
            s.database = target->database;
        }
        s.method = std::string(f.name);
        s.tid = t.tid;
        s.startNs = start;
        AddParameters(s, c);
        r.sql.push_back(std::move(s));
    } else if (kind == Outgoing) {
        OutgoingCall o;
        o.tid = t.tid;
        o.startNs = start;
        r.http.push_back(std::move(o));
        NoteOutgoingRequest(t.run, fr.slot, static_cast<uint32_t>(count), c);
    } else {
        RedisCall rc;
        rc.command = std::string(MethodOf(f.name));
        rc.tid = t.tid;
        rc.startNs = start;
        r.redis.push_back(std::move(rc));
    }
    fr.itemKind = kind;
    fr.itemIndex = static_cast<uint32_t>(count);
}

void RequestTracker::CloseItem(ThreadState& t, const Frame& fr, const MatchedCall& call, const DecodedCommand* end) {
    Live& live = *slots[fr.slot];
    Request& r = live.req;
    const uint64_t at = Nanos(call.run, call.end);
    const bool unwound = call.how == CallEnd::Unwound;
    switch (fr.itemKind) {
        case Statement:
            r.sql[fr.itemIndex].endNs = std::max(r.sql[fr.itemIndex].endNs, at);
            r.sql[fr.itemIndex].failed = unwound;
            break;
        case Outgoing:
            r.http[fr.itemIndex].endNs = std::max(r.http[fr.itemIndex].endNs, at);
            r.http[fr.itemIndex].failed = unwound;
            break;
        default:
            r.redis[fr.itemIndex].endNs = std::max(r.redis[fr.itemIndex].endNs, at);
            r.redis[fr.itemIndex].failed = unwound;
            break;
    }
    // An async call's work goes on until its task finishes.
    int64_t task = 0;
    if (end == nullptr || !end->hasReturnValue || !IntegerOf(end->returnValue, task) || task == 0) {
        return;
    }
    RunState& run = Run(t.run);
    const uint64_t address = static_cast<uint64_t>(task);
    Bound(run.awaited);
    run.awaited[Key(t.run, address)] = {fr.slot, live.gen, fr.itemKind, fr.itemIndex};
    if (live.awaited.size() < 4 * options.maxItems) {
        live.awaited.push_back(Key(t.run, address));
    }
}

void RequestTracker::Raised(uint32_t thread, uint32_t depth, bool, const DecodedCommand& raised) {
    if (thread < threads.size()) {
        NoteThrow(*threads[thread], depth, raised);
    }
}

void RequestTracker::NoteThrow(ThreadState& t, uint32_t depth, const DecodedCommand& raised) {
    t.catching = false;
    RunState& run = Run(t.run);
    const uint64_t key = Key(t.run, raised.exceptionId);
    const Frame* top = depth > 0 && depth - 1 < t.frames.size() ? &t.frames[depth - 1] : nullptr;
    Live* live = top != nullptr ? At(top->slot, top->gen) : nullptr;
    auto known = run.exceptionOwners.find(key);
    if (live == nullptr) {
        // Thrown again outside its request: nothing inside caught it.
        if (known != run.exceptionOwners.end()) {
            Live* owner = At(known->second.slot, known->second.gen);
            if (owner != nullptr && known->second.index < owner->req.exceptions.size()) {
                owner->req.exceptions[known->second.index].leftRequest = true;
                owner->req.exceptions[known->second.index].caughtBy.clear();
            }
        }
        return;
    }
    Request& r = live->req;
    uint32_t index;
    if (known != run.exceptionOwners.end() && known->second.slot == top->slot && known->second.gen == top->gen &&
        known->second.index < r.exceptions.size()) {
        index = known->second.index;
        ++r.exceptions[index].throws;
    } else {
        if (r.exceptions.size() >= options.maxExceptions || !Room(*live, 1024)) {
            ++r.itemsLeftOut;
            return;
        }
        RequestException e;
        e.id = raised.exceptionId;
        e.tid = t.tid;
        e.timeNs = Nanos(t.run, raised.ts);
        e.throws = 1;
        for (uint32_t k = 0; k < depth && k < t.frames.size(); ++k) {
            if (t.frames[k].slot == top->slot && t.frames[k].gen == top->gen) {
                e.stack.emplace_back(FunctionOf(t.run, t.pid, t.frames[k].functionId).name);
            }
        }
        if (e.stack.size() > MaxStack) {
            e.stack.erase(e.stack.begin(), e.stack.end() - MaxStack);
        }
        e.thrownIn = e.stack.empty() ? std::string() : e.stack.back();
        index = static_cast<uint32_t>(r.exceptions.size());
        r.exceptions.push_back(std::move(e));
        Bound(run.exceptionOwners);
        run.exceptionOwners[key] = {top->slot, top->gen, 0, index};
        live->exceptionIds.push_back(key);
    }
    t.catching = true;
    t.catchSlot = top->slot;
    t.catchGen = top->gen;
    t.catchIndex = index;
}

void RequestTracker::NoteCatch(ThreadState& t, uint32_t depth) {
    // The frame that went on after the throw caught it.
    t.catching = false;
    Live* live = At(t.catchSlot, t.catchGen);
    if (live == nullptr || t.catchIndex >= live->req.exceptions.size()) {
        return;
    }
    RequestException& e = live->req.exceptions[t.catchIndex];
    const Frame* frame = depth > 0 && depth - 1 < t.frames.size() ? &t.frames[depth - 1] : nullptr;
    if (frame != nullptr && frame->slot == t.catchSlot && frame->gen == t.catchGen) {
        e.caughtBy = std::string(FunctionOf(t.run, t.pid, frame->functionId).name);
        e.leftRequest = false;
    } else {
        e.caughtBy.clear();
        e.leftRequest = true;
    }
}

}  // namespace QuorixCollect
