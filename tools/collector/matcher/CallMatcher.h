#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

#include "wire/CommandDecoder.h"

namespace QuorixCollect {

// How a matched call ended.
enum class CallEnd : uint8_t {
    Returned,
    TailCall,
    Unwound,    // left by an exception
    NoEndSeen,  // an outer frame ended first
    OpenAtEnd,  // still open when its thread or process ended, or when collection stopped
};

// One call as the matcher knows it: where it ran, how deep, and (once closed) how it ended.
struct MatchedCall {
    uint32_t thread = 0;  // the matcher's thread index, dense from 0
    uint32_t run = 0;
    uint32_t pid = 0;
    uint32_t tid = 0;
    uint32_t depth = 0;  // 0: outermost; the caller is the open call at depth - 1
    uint32_t functionId = 0;
    int64_t begin = 0;  // ticks of the run's clock
    int64_t end = 0;    // when closed, never before begin
    uint64_t seq = 0;   // begins on this thread so far, this one included
    // When closed: begins on the thread so far, so B lies inside A exactly when
    // A.seq < B.seq <= A.lastSeq.
    uint64_t lastSeq = 0;
    CallEnd how = CallEnd::Returned;
};

// What consumers of matched calls implement. Calls of one thread open and close strictly nested.
class CallListener {
public:
    virtual ~CallListener() = default;
    virtual void ThreadAdded(uint32_t /*thread*/) {}
    virtual void Begun(const MatchedCall& call, const DecodedCommand& begin) = 0;
    // `end` is the command that ended this very call, null when it closed without one.
    virtual void Closed(const MatchedCall& call, const DecodedCommand* end) = 0;
    // `depth` open calls are below it; `beyondLimit` when untracked calls are open above them.
    virtual void Raised(uint32_t /*thread*/, uint32_t /*depth*/, bool /*beyondLimit*/, const DecodedCommand&) {}
    // What the exception raised last on the thread says about itself (when the agent sends it).
    virtual void Detailed(uint32_t /*thread*/, const DecodedCommand& /*details*/) {}
    // A begin the matcher does not track (depth or frame bound): its end is consumed silently.
    virtual void NotTracked(uint32_t /*thread*/) {}
    // After the thread's open calls were closed.
    virtual void ThreadEnded(uint32_t /*thread*/) {}
    // After the run's open calls were closed.
    virtual void RunEnded(uint32_t /*run*/) {}
    // One of the calls above threw (out of memory): the matcher tells this listener no more.
    virtual void Detached() {}
};

// Turns the decoded stream (begin, end, tail call, unwind, exception, thread and process events)
// into matched calls, once for every consumer: the call tree, the viewer files and the spans.
// A pid that starts again after it ended is a new run with its own threads and clock.
class CallMatcher {
public:
    struct Limits {
        size_t searchDepth = 256;  // how far below the top an end is matched to its begin
        size_t maxDepth = 100000;  // open calls of one thread that are tracked
        // Stack slots of all threads together; a thread keeps its slots for reuse until it ends.
        size_t maxFrames = 1000000;
        size_t maxThreads = 4096;
        size_t maxRuns = 4096;
    };
    struct Stats {
        uint64_t begins = 0;           // calls begun and tracked
        uint64_t orphanEnds = 0;       // end or unwind without a matching begin
        uint64_t missingEnds = 0;      // calls closed because an outer frame ended first
        uint64_t openAtEnd = 0;        // calls closed at their thread's or process's end, or at the stop
        uint64_t notTracked = 0;       // begins beyond the depth or frame bound
        uint64_t threadCommands = 0;   // call commands of threads beyond the limit
        uint64_t processCommands = 0;  // commands of processes beyond the limit
    };
    struct Run {
        uint32_t pid = 0;
        uint32_t ordinal = 0;  // 0 for the first run of this pid, 1 for the next ...
        uint64_t frequency = 1000000;
        double microsPerTick = 1.0;
        bool ended = false;
        int64_t firstTicks = INT64_MAX;
        int64_t lastTicks = INT64_MIN;

        // Nanoseconds of a time stamp, exact for any 64-bit value; 0 for stamps at or before 0.
        uint64_t Nanos(int64_t ticks) const;
        // Whole microseconds of a duration in ticks.
        int64_t DurationMicros(int64_t ticks) const;
    };
    struct Thread {
        uint32_t run = 0;
        uint32_t pid = 0;
        uint32_t tid = 0;
        uint64_t calls = 0;     // begins, tracked or not
        uint64_t beginSeq = 0;  // tracked begins
        int64_t lastTicks = INT64_MIN;
        size_t depth = 0;     // open tracked calls
        size_t overflow = 0;  // open calls beyond the bounds, matched by count only
        struct Frame {
            uint32_t functionId;
            int64_t begin;
            uint64_t seq;
        };
        std::vector<Frame> frames;  // slots [0, depth) are open; the rest wait for reuse
    };

    CallMatcher() : CallMatcher(Limits{}) {}
    explicit CallMatcher(const Limits& bounds) : limits(bounds) {}
    CallMatcher(const CallMatcher&) = delete;
    CallMatcher& operator=(const CallMatcher&) = delete;

    void AddListener(CallListener* listener) { listeners.push_back(listener); }
    void RemoveListener(CallListener* listener);
    bool HasListeners() const { return !listeners.empty(); }

    void OnCommand(const DecodedCommand& command);
    // Closes what is still open, at the last time stamp of its process. Once, when collection
    // stops; later commands are ignored.
    void Finish();
    bool Finished() const { return finished; }

    const Limits& GetLimits() const { return limits; }
    const Stats& GetStats() const { return stats; }
    const std::vector<Run>& Runs() const { return runs; }
    const std::vector<Thread>& Threads() const { return threads; }
    // The run a pid's commands belong to now, or UINT32_MAX.
    uint32_t CurrentRun(uint32_t pid) const {
        auto it = currentRun.find(pid);
        return it == currentRun.end() ? None : it->second;
    }
    // Microseconds of a time stamp of a run, from the earliest time stamp of all runs (after Finish).
    double Micros(uint32_t run, int64_t ticks) const {
        return static_cast<double>(ticks) * runs[run].microsPerTick - origin;
    }
    // Bytes the stacks hold.
    size_t BytesHeld() const { return frames * sizeof(Thread::Frame) + threads.capacity() * sizeof(Thread); }

private:
    static constexpr uint32_t None = UINT32_MAX;

    // Commands come in long runs of one process and thread: most find them here.
    uint32_t RunOf(uint32_t pid, bool starting) {
        if (lastRun != None && pid == lastPid && !(starting && runs[lastRun].ended)) {
            return lastRun;
        }
        return FindRun(pid, starting);
    }
    uint32_t ThreadOf(uint32_t run, uint32_t tid) {
        if (lastThread != None && threads[lastThread].tid == tid && threads[lastThread].run == run) {
            return lastThread;
        }
        return FindThread(run, tid);
    }
    uint32_t FindRun(uint32_t pid, bool starting);
    uint32_t FindThread(uint32_t run, uint32_t tid);
    void Begin(uint32_t thread, const DecodedCommand& c);
    void End(uint32_t thread, const DecodedCommand& c, CallEnd how);
    void CloseTop(uint32_t thread, int64_t ticks, CallEnd how, const DecodedCommand* end);
    MatchedCall CallAt(uint32_t thread, size_t depth) const;
    void CloseThread(uint32_t thread, int64_t ticks);
    void EndRun(uint32_t run, int64_t ticks);
    static void Seen(Run& run, int64_t ticks);
    template <typename Call>
    void Notify(const Call& call);

    Limits limits;
    Stats stats;
    bool finished = false;
    std::vector<CallListener*> listeners;
    std::vector<Run> runs;
    std::unordered_map<uint32_t, uint32_t> currentRun;  // pid -> run
    std::vector<Thread> threads;
    std::unordered_map<uint64_t, uint32_t> threadsByKey;  // (run, tid) -> thread
    uint32_t lastThread = None;
    uint32_t lastPid = 0;
    uint32_t lastRun = None;
    size_t frames = 0;  // stack slots of all threads
    double origin = 0;
};

// For a consumer of calls that matches on its own unless it is given a matcher to share.
class MatcherOwner {
protected:
    MatcherOwner(CallMatcher* shared, const CallMatcher::Limits& ownLimits)
        : own(shared == nullptr ? std::make_unique<CallMatcher>(ownLimits) : nullptr),
          matcher(shared == nullptr ? own.get() : shared) {}

    std::unique_ptr<CallMatcher> own;  // null when shared
    CallMatcher* matcher;
};

}  // namespace QuorixCollect
