#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "matcher/CallMatcher.h"
#include "requests/Request.h"
#include "requests/RequestFindings.h"
#include "session/ExceptionTable.h"

namespace QuorixCollect {

// Takes each request once it has ended and its findings are known.
class RequestSink {
public:
    virtual ~RequestSink() = default;
    virtual void RequestEnded(const Request& request) = 0;
    // A root call of a web app, once its first request showed that root calls are the host's:
    // not a request, but what was already said of it (spans under it) may need it.
    virtual void RequestDropped(const Request& /*request*/) {}
};

// Builds requests from the matched calls. A request begins where a host hands an incoming
// request to the app; every call nested in it belongs to it, and so does every piece of work it
// leaves for later: the state machine of an async method it started (joined through the task id
// each MoveNext carries), and the work items and continuations it queued (joined where the
// thread pool runs them). It ends when its task has finished and none of its calls is open.
//
// Listens to the shared matcher before the span export, which asks it where each call belongs.
class RequestTracker final : public CallListener {
public:
    using Clock = std::chrono::steady_clock;
    struct Options {
        FindingRules rules;
        size_t maxLive = 10000;      // requests open at once; more begin untracked
        size_t maxCalls = 2000;      // calls kept per request for its timeline
        size_t maxItems = 1000;      // statements, outgoing and Redis calls kept per request, each
        size_t maxExceptions = 100;  // per request
        size_t maxTraceBuffer = 256;
        size_t maxBytes = size_t{64} << 20;  // calls and items kept by the open requests together
        // A request with nothing open and nothing waiting is over once nothing joined it for this
        // long, by the app's clock or by ours (an idle app sends nothing).
        double quietStreamMs = 50;
        Clock::duration quietWall = std::chrono::milliseconds(500);
        // An ended web request waits up to this long (and a second of the app's clock) for the
        // status its host writes after the app's task.
        Clock::duration holdForStatus = std::chrono::seconds(1);
        // A request waiting for something that never showed its end is over after this long.
        Clock::duration settle = std::chrono::seconds(30);
    };
    struct Stats {
        uint64_t begun = 0;
        uint64_t ended = 0;
        uint64_t notTracked = 0;     // began while maxLive were open
        uint64_t continuations = 0;  // pieces joined through task ids and work items
        uint64_t tracesDropped = 0;  // root calls of a web app, before its first request
        uint64_t cut = 0;            // handed over unfinished (collection ended, or never settled)
    };
    // "Class::Method" of a function, or a null view.
    using NameLookup = std::function<std::string_view(uint32_t pid, uint32_t functionId)>;

    RequestTracker(const Options& trackerOptions, NameLookup nameLookup, const CallMatcher& matcher);
    ~RequestTracker() override;
    RequestTracker(const RequestTracker&) = delete;
    RequestTracker& operator=(const RequestTracker&) = delete;

    void AddSink(RequestSink* sink) { sinks.push_back(sink); }

    void ThreadAdded(uint32_t thread) override;
    void Begun(const MatchedCall& call, const DecodedCommand& begin) override;
    void Closed(const MatchedCall& call, const DecodedCommand* end) override;
    void Raised(uint32_t thread, uint32_t depth, bool beyondLimit, const DecodedCommand& raised) override;
    void ThreadEnded(uint32_t thread) override;
    void RunEnded(uint32_t run) override;

    // Hands over what waited long enough, by the collector's own clock.
    void Expire(Clock::time_point now);
    // Hands over every request still open, as cut short; once, when collection stops.
    void Finish();

    // The request that a call open at `depth` on matcher thread `thread` belongs to, or null.
    const Request* OwnerOf(uint32_t thread, uint32_t depth) const;
    // Whether that call is the one where its request began.
    bool IsRequestRoot(uint32_t thread, uint32_t depth) const {
        return thread < threads.size() && depth < threads[thread]->frames.size() &&
               threads[thread]->frames[depth].root && OwnerOf(thread, depth) != nullptr;
    }
    const Stats& GetStats() const { return stats; }
    // Where the type and message of exceptions are found.
    void UseExceptions(const ExceptionTable* table) { exceptionTable = table; }
    // Requests open or waiting, and the bytes they hold.
    size_t LiveCount() const { return liveCount; }
    size_t BytesHeld() const;

private:
    static constexpr uint32_t None = UINT32_MAX;
    static constexpr uint64_t Outside = UINT64_MAX;  // a key known to belong to no request

    enum class Role : uint8_t {
        Unknown,
        Plain,
        RequestEntry,
        Dispatcher,
        MoveNext,
        TaskFinished,  // Task::FinishContinuations: its instance is the task that finished
        Sql,
        Http,
        Redis,
    };
    struct Function {
        Role role = Role::Unknown;
        bool kickoff = false;         // an async method's start: returns its task
        bool plumbing = false;        // task and thread-pool bookkeeping: not kept on the timeline
        bool incoming = false;        // of the host's request classes
        bool responseStatus = false;  // an HTTP client's response gets its status
        bool hasJoinKeys = false;
        std::string_view name;  // into the session's name table, which keeps its names
    };
    struct Frame {
        uint32_t slot = None;
        uint32_t gen = 0;
        uint32_t rdepth = 0;
        bool root = false;     // where its request began
        uint8_t itemKind = 0;  // 0 none, 1 statement, 2 outgoing, 3 Redis
        uint32_t itemIndex = 0;
        uint32_t functionId = 0;
        uint64_t instance = 0;
        uint64_t seq = 0;  // the matcher's number of the call
    };
    struct ThreadState {
        uint32_t run = 0;
        uint32_t pid = 0;
        uint32_t tid = 0;
        std::vector<Frame> frames;
        // What the host read of the next request before handing it over: that request takes it.
        std::string pendingMethod, pendingPath, pendingQuery, pendingHost, pendingScheme;
        // The exception thrown last on this thread, until a frame goes on after it.
        bool catching = false;
        uint32_t catchSlot = None;
        uint32_t catchGen = 0;
        uint32_t catchIndex = 0;
    };
    struct Live;
    struct RunState;

    Function& FunctionOf(uint32_t run, uint32_t pid, uint32_t functionId);
    RunState& Run(uint32_t run);
    uint32_t Decide(ThreadState& t, const MatchedCall& call, const Function& f, const DecodedCommand& begin,
                    uint32_t& gen);
    uint32_t StartRequest(ThreadState& t, const MatchedCall& call, const Function& f, const char* kind);
    uint32_t Lookup(uint32_t run, uint64_t key, uint32_t& gen, bool& outside) const;
    void Link(uint32_t run, uint64_t key, uint32_t slot);
    void LinkOutside(uint32_t run, uint64_t key);
    void NoteKeys(ThreadState& t, const Function& f, const DecodedCommand& begin, uint32_t slot);
    Live* At(uint32_t slot, uint32_t gen) const;
    void TaskFinished(uint32_t run, uint64_t task, int64_t ticks);
    bool Room(Live& live, size_t bytes);
    void CloseCall(const MatchedCall& call, const DecodedCommand* end);
    void TrySettle(uint32_t slot);
    void Suspended(uint32_t slot, uint64_t continuation);
    static bool IsHostReset(const Function& f);
    bool HostMovedOn(uint32_t run, uint64_t connection, int64_t ticks);
    void Resumed(uint32_t run, uint64_t key);
    void NoteOrphan(const MatchedCall& call, uint64_t key);
    void Adopt(uint32_t run, uint64_t key, uint32_t slot);
    bool QuietLongEnough(const Live& live, int64_t runTicks, Clock::time_point now) const;
    void NoteTime(uint32_t run, int64_t ticks);
    void HandOverQuiet(uint32_t run, Clock::time_point now);
    void HandOver(uint32_t slot, bool cut);
    void Release(uint32_t slot);
    void Emit(Request& request);
    uint64_t Nanos(uint32_t run, int64_t ticks) const;

    // The facts a call's values add to its request (RequestFacts.cpp).
    void AddFacts(ThreadState& t, Frame& fr, const Function& f, const MatchedCall& call, const DecodedCommand& c,
                  bool isEnd);
    void OpenItem(ThreadState& t, Frame& fr, const Function& f, const MatchedCall& call, const DecodedCommand& c);
    void CloseItem(ThreadState& t, const Frame& fr, const MatchedCall& call, const DecodedCommand* end);
    void NoteValue(ThreadState& t, Frame& fr, const Function& f, std::string_view leafName, const ValueRecord& v,
                   bool isReturn);
    void NoteUnowned(ThreadState& t, const Function& f, const MatchedCall& call, const DecodedCommand& c,
                     uint64_t instance);
    void AddParameters(SqlStatement& statement, const DecodedCommand& begin);
    bool OtherConnectionBelow(const ThreadState& t, const Frame& fr, const Live& live) const;
    void NoteOutgoingRequest(uint32_t run, uint32_t slot, uint32_t index, const DecodedCommand& begin);
    void NoteResponseStatus(uint32_t run, const DecodedCommand& begin);
    void NoteThrow(ThreadState& t, uint32_t depth, const DecodedCommand& raised);
    void NoteCatch(ThreadState& t, uint32_t depth);

    Options options;
    NameLookup names;
    const CallMatcher& matcher;
    Stats stats;
    std::vector<RequestSink*> sinks;
    const ExceptionTable* exceptionTable = nullptr;
    std::vector<std::unique_ptr<ThreadState>> threads;
    std::vector<std::unique_ptr<RunState>> runs;
    std::vector<std::unique_ptr<Live>> slots;
    std::vector<uint32_t> freeSlots;
    size_t liveCount = 0;
    size_t liveBytes = 0;
    uint64_t nextId = 1;
    uint32_t generations = 0;
    bool started = false;  // the begin being handled started a request
    uint64_t rng;
    bool finished = false;
};

}  // namespace QuorixCollect
