#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "CommandDecoder.h"
#include "OtlpConventions.h"

namespace QuorixCollect {

// What describes one profiled process on every span it sends.
struct OtlpResource {
    uint32_t pid = 0;
    std::vector<OtlpAttribute> attributes;
};

struct OtlpEvent {
    uint64_t timeNs = 0;
    std::string name;
    std::vector<OtlpAttribute> attributes;
};

struct OtlpSpan {
    std::shared_ptr<const OtlpResource> resource;
    uint8_t traceId[16] = {};
    uint64_t spanId = 0;
    uint64_t parentSpanId = 0;  // 0: a trace's root
    std::string name;
    uint64_t startNs = 0;
    uint64_t endNs = 0;
    bool error = false;
    std::string statusMessage;
    std::vector<OtlpAttribute> attributes;
    std::vector<OtlpEvent> events;

    // Rough heap size, for the export queue's bound.
    size_t Bytes() const;
};

// Turns the begin/end/unwind/exception commands of every thread into spans, one per call that
// is worth exporting, and hands each one over as soon as it ends. Runs on the collection thread:
// a call that is not exported costs a push and a pop on its thread's stack.
//
// Exported are calls that lasted at least `minDurationUs`, carry captured values worth a span,
// saw an exception, or enclose an exported call (so that every span's parent is sent too and
// traces have no holes). A call left out keeps its time inside its parent's span.
class OtlpSpanBuilder {
public:
    struct Options {
        int64_t minDurationUs = 1000;
        std::string serviceName;  // empty: the process's name
        size_t maxThreads = 4096;
        size_t maxProcesses = 4096;
        size_t maxDepth = 10000;
        // Open-call frames of all threads together (about 150 bytes each): memory stays bounded
        // however many threads run deep.
        size_t maxFrames = 1000000;
    };
    struct Stats {
        uint64_t calls = 0;        // calls closed
        uint64_t exported = 0;     // spans handed over
        uint64_t leftOut = 0;      // shorter than the threshold and nothing else to show
        uint64_t dispatchers = 0;  // thread-pool machinery calls, never spans
        uint64_t unfinished = 0;   // closed without their end (thread, process or collection ended)
        uint64_t notTracked = 0;   // commands of threads or depths beyond the limits
    };
    // "Class::Method" of a function, or a null view.
    using NameLookup = std::function<std::string_view(uint32_t pid, uint32_t functionId)>;
    using SpanSink = std::function<void(OtlpSpan&& span)>;
    // The command line of a process, for its service name; empty when unknown.
    using ProcessNameLookup = std::function<std::string(uint32_t pid)>;

    OtlpSpanBuilder(const Options& spanOptions, NameLookup nameLookup, SpanSink spanSink,
                    ProcessNameLookup processNameLookup = {});
    ~OtlpSpanBuilder();

    void OnCommand(const DecodedCommand& command);
    // Ends every call still open (at its thread's last time stamp), e.g. when collection stops.
    void CloseAll();
    const Stats& GetStats() const { return stats; }

    // Name a process gets from its command line: the app's assembly for "dotnet App.dll",
    // else the program's file name.
    static std::string ServiceNameFromCommandLine(const std::string& cmdline);

private:
    struct Frame {
        uint32_t functionId = 0;
        int64_t begin = 0;
        uint64_t instanceId = 0;
        uint64_t spanId = 0;
        uint8_t traceId[16] = {};
        bool dispatcher = false;
        bool traceRoot = false;
        bool requestRoot = false;
        bool keep = false;    // forced: values, exception or an exported call inside
        bool raised = false;  // an exception event is already on it
        std::vector<OtlpAttribute> attributes;
        std::vector<OtlpEvent> events;
    };
    struct ProcessState;
    struct ThreadState {
        ProcessState* process = nullptr;  // stable: the process map never moves its entries
        uint32_t pid = 0;
        uint32_t tid = 0;
        std::vector<Frame> frames;
        size_t depth = 0;
        size_t dispatchDepth = 0;  // how many of the bottom frames are dispatchers
        size_t overflow = 0;       // frames beyond maxDepth, matched but not tracked
        int64_t lastTs = 0;
        uint64_t lastException = 0;
        // What the host learnt of a request before handing it to the app (method, scheme): the
        // next request entry on the thread takes it.
        std::vector<OtlpAttribute> pendingRequest;
    };
    struct ProcessState {
        uint64_t frequency = 1000000;
        std::string runtime;
        std::string host;
        std::string version;
        std::string serviceName;
        std::shared_ptr<const OtlpResource> resource;  // null: to be rebuilt
        std::vector<uint8_t> roles;                    // per function id: 0 unknown, else CallRole + 1
        // Query text last set on each command object, for the calls that execute it.
        struct Query {
            std::string system;
            std::string text;
        };
        std::unordered_map<uint64_t, Query> commandTexts;
    };
    enum class Close { Returned, Unwound, Unfinished };

    ThreadState* Thread(uint32_t pid, uint32_t tid);
    ProcessState& Process(uint32_t pid);
    // False for a process beyond the limit (its commands are not tracked).
    bool Admit(uint32_t pid);
    void DropThread(std::unordered_map<uint64_t, std::unique_ptr<ThreadState>>::iterator it, int64_t ts);
    CallRole Role(ProcessState& p, uint32_t pid, uint32_t functionId);
    void Begin(ThreadState& t, const DecodedCommand& c);
    void End(ThreadState& t, const DecodedCommand& c, Close how);
    void CloseTop(ThreadState& t, int64_t ts, Close how);
    void CloseThread(ThreadState& t, int64_t ts);
    void Emit(ThreadState& t, Frame& f, int64_t endTs, Close how);
    uint64_t ToNs(uint32_t pid, int64_t ts);
    std::shared_ptr<const OtlpResource> Resource(uint32_t pid);
    void AddValues(uint32_t pid, uint32_t functionId, const ValueRecord& value, bool isReturn, Frame& f);
    void LinkQuery(ThreadState& t, Frame& f, const DecodedCommand& c);
    uint64_t NextId();

    Options options;
    NameLookup names;
    SpanSink sink;
    ProcessNameLookup processName;
    Stats stats;
    std::unordered_map<uint64_t, std::unique_ptr<ThreadState>> threads;
    std::unordered_map<uint32_t, ProcessState> processes;
    ThreadState* lastThread = nullptr;
    size_t frames = 0;  // frames allocated in all threads
    uint64_t rng;
};

}  // namespace QuorixCollect
