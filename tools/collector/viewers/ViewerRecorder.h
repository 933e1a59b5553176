#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include <memory>

#include "matcher/CallMatcher.h"
#include "session/ExceptionTable.h"
#include "wire/CommandDecoder.h"

namespace QuorixCollect {

// What the viewer files and the report are made from, gathered while commands arrive and bounded
// whatever the run's length: an aggregated flame tree over all threads, the longest calls with
// their exact begin and end (a subset of properly nested calls still nests), captured values
// aggregated per function and value, and the first exceptions. Everything beyond a bound is
// counted, never silently lost. Calls come nested from the call matcher.
class ViewerRecorder final : public CallListener, private MatcherOwner {
public:
    struct Limits {
        size_t keptCalls = 50000;     // longest calls kept with their times
        size_t flameNodes = 200000;   // distinct stacks of the flame tree
        size_t frames = 50000;        // distinct function names
        size_t functionIds = 200000;  // (process run, function id) pairs mapped to a name
        size_t capturedRows = 5000;   // distinct (function, captured value) rows
        size_t exceptions = 2000;     // exceptions kept one by one
        size_t threads = 4096;        // threads and process runs of a matcher of its own
        size_t openFrames = 50000;    // open calls of all threads together that are recorded
        size_t textBytes = 300;       // captured value texts are cut here
        size_t nameBytes = 256;       // function names are cut here

        // The most these limits let the recorder hold, in bytes.
        size_t WorstCaseBytes() const;
        // The same limits shrunk in proportion to fit `bytes`.
        Limits ScaledTo(size_t bytes) const;
    };

    enum Flags : uint8_t {
        Unwound = 1,  // left by an exception
        TailCall = 2,
        ClosedAtEnd = 4,  // still open when its process ended (or the collector stopped)
        NoEndSeen = 8,    // an outer frame ended first
    };
    // The flags by the names the trace file and the report use.
    static constexpr std::pair<Flags, const char*> FlagNames[] = {
        {Unwound, "unwound"}, {TailCall, "tailCall"}, {ClosedAtEnd, "openAtEnd"}, {NoEndSeen, "noEndSeen"}};

    // One process as the viewers show it; a pid that starts again after it ended is a new run.
    using Run = CallMatcher::Run;
    struct RunText {
        std::string runtime;
        std::string host;
    };

    struct OpenFrame {
        uint32_t frame;
        uint32_t flameNode;  // NoNode: the time stays with the caller's node
        bool recorded;       // false beyond the bound of open frames: nothing is kept of it
        std::string args;    // captured arguments as "name=value" texts split by ArgSeparator
    };

    struct Thread {
        uint32_t run = 0;
        uint32_t tid = 0;
        uint64_t calls = 0;
        std::vector<OpenFrame> stack;
        uint32_t lastException = UINT32_MAX;  // kept exception that unwinds count towards
    };

    // A call kept with its times. Calls of one thread form a nesting given by their sequence
    // numbers: B lies inside A exactly when A.seq < B.seq <= A.lastSeq.
    struct Call {
        int64_t begin = 0;  // ticks of the run's clock
        int64_t end = 0;
        double micros = 0;
        uint64_t seq = 0;
        uint64_t lastSeq = 0;
        uint32_t thread = 0;
        uint32_t frame = 0;
        uint32_t depth = 0;
        uint8_t flags = 0;
        std::string args;
        std::string returnValue;
    };

    struct FlameNode {
        uint32_t frame = 0;
        uint32_t parent = 0;
        uint32_t firstChild = 0;
        uint32_t nextSibling = 0;
        uint32_t lastHit = 0;  // child entered last, tried first (loops)
        uint64_t count = 0;
        double totalMicros = 0;
    };

    struct CapturedRow {
        uint32_t frame = 0;
        std::string args;
        std::string returnValue;  // the first one seen
        bool variousReturns = false;
        uint64_t count = 0;
        double totalMicros = 0;
        double maxMicros = 0;
        uint32_t run = 0;  // of the first call
    };

    struct ExceptionEntry {
        uint32_t thread = 0;
        int64_t ticks = 0;
        uint64_t exceptionId = 0;
        uint32_t frame = NoFrame;                 // the function it was raised in, when known
        uint32_t unwound = 0;                     // frames it unwound on this thread
        uint32_t details = ExceptionTable::None;  // its type and message in the exception table
    };

    struct Stats {
        uint64_t calls = 0;         // calls that ended (or were closed)
        uint64_t callsNotKept = 0;  // ended calls left out of the kept set
        double longestLeftOutMicros = 0;
        uint64_t flameMerged = 0;      // calls whose stack found no room: time counted in the caller
        uint64_t framesNotKept = 0;    // calls of functions without a kept name
        uint64_t capturedNotKept = 0;  // captured calls beyond the row limit
        uint64_t exceptions = 0;
        uint64_t exceptionsNotKept = 0;
        uint64_t orphanEnds = 0;
        uint64_t tooDeep = 0;         // begins beyond the stack depth limit
        uint64_t threadsNotKept = 0;  // commands of threads beyond the limit
        uint64_t closedAtEnd = 0;
    };

    static constexpr char ArgSeparator = '\x1f';
    static constexpr uint32_t NoNode = UINT32_MAX;
    static constexpr uint32_t NoFrame = UINT32_MAX;
    // Frame of functions whose name was not kept (the bound of names or ids was reached).
    static constexpr uint32_t UnknownFrame = 0;

    // With a matcher of its own, fed by OnCommand.
    ViewerRecorder();
    explicit ViewerRecorder(const Limits& bounds);
    // Fed with calls by a matcher others share; OnCommand then only takes names and processes.
    ViewerRecorder(const Limits& bounds, CallMatcher& shared);

    void OnCommand(const DecodedCommand& command);
    // Closes what is still open, at the last time stamp seen of its process. Called once when the
    // collector stops; later commands are ignored.
    void Finish();

    void ThreadAdded(uint32_t thread) override;
    void Begun(const MatchedCall& call, const DecodedCommand& begin) override;
    void Closed(const MatchedCall& call, const DecodedCommand* end) override;
    void Raised(uint32_t thread, uint32_t depth, bool beyondLimit, const DecodedCommand& raised) override;
    void Detailed(uint32_t thread, const DecodedCommand& details) override;
    void NotTracked(uint32_t thread) override;
    // Where the kept exceptions find their details (the session's table); none by default.
    void SetExceptionTable(const ExceptionTable* table) { exceptionTable = table; }
    const ExceptionTable* GetExceptionTable() const { return exceptionTable; }

    const std::vector<Run>& Runs() const { return matcher->Runs(); }
    const RunText& TextOf(uint32_t run) const;
    const std::vector<Thread>& Threads() const { return threads; }
    const std::vector<std::string>& Frames() const { return frames; }
    const std::vector<FlameNode>& Flame() const { return flame; }
    // Kept calls, sorted by thread and then by sequence (valid after Finish).
    const std::vector<Call>& Calls() const { return calls; }
    const std::vector<CapturedRow>& Captured() const { return captured; }
    const std::vector<ExceptionEntry>& Exceptions() const { return exceptions; }
    Stats GetStats() const;
    const Limits& GetLimits() const { return limits; }
    // Microseconds of a time stamp of a run, from the earliest time stamp of all runs.
    double Micros(uint32_t run, int64_t ticks) const { return matcher->Micros(run, ticks); }
    // Rough bytes held, for the memory statement.
    size_t BytesHeld() const;

private:
    ViewerRecorder(const Limits& bounds, CallMatcher* shared);
    uint32_t FrameOf(uint32_t run, uint32_t functionId);
    uint32_t InternFrame(std::string_view name);
    uint32_t FlameChild(uint32_t parent, uint32_t frame);
    void NameFunction(const DecodedCommand& c);
    void Keep(Call&& call);
    void Capture(const Thread& t, const OpenFrame& f, double micros, const std::string* returnValue);

    Limits limits;
    Stats stats;
    bool finished = false;
    std::vector<RunText> runTexts;
    std::vector<Thread> threads;  // per matcher thread
    std::vector<std::string> frames;
    std::unordered_map<std::string, uint32_t> frameIndex;
    size_t frameBytes = 0;
    std::unordered_map<uint64_t, uint32_t> functionFrames;  // (run, function id) -> frame
    // The last frames looked up, by a hash of (run, function id): most calls hit here.
    struct FrameCacheEntry {
        uint64_t key = UINT64_MAX;
        uint32_t frame = 0;
    };
    std::vector<FrameCacheEntry> frameCache = std::vector<FrameCacheEntry>(4096);
    std::vector<FlameNode> flame;
    std::unordered_map<uint64_t, uint32_t> flameIndex;
    std::vector<Call> calls;  // a min-heap on micros until Finish
    std::vector<CapturedRow> captured;
    std::unordered_map<std::string, uint32_t> capturedIndex;
    std::vector<ExceptionEntry> exceptions;
    const ExceptionTable* exceptionTable = nullptr;
    size_t openFrames = 0;
    std::string text;
    std::string returnText;
};

}  // namespace QuorixCollect
