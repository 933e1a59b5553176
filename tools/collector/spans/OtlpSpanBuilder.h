#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "wire/CommandDecoder.h"
#include "matcher/CallMatcher.h"
#include "requests/RequestTracker.h"
#include "session/ExceptionTable.h"
#include "spans/OtlpConventions.h"

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
    uint8_t kind = 1;           // OTLP span kind: 1 internal, 2 server, 3 client
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

// Turns the calls the matcher nests into spans, one per call that is worth exporting, and hands
// each one over as soon as it ends. Runs on the collection thread: a call that is not exported
// costs a slot on its thread's stack.
//
// Exported are calls that lasted at least `minDurationUs`, carry captured values worth a span,
// saw an exception, or enclose an exported call (so that every span's parent is sent too and
// traces have no holes). A call left out keeps its time inside its parent's span.
//
// Given the requests, a request is one trace: its span is the root, sent when the request ends,
// with a span per statement for its real time, and each piece of the request (the call where it
// began, every continuation on another thread) is a child of it.
class OtlpSpanBuilder final : public CallListener, public RequestSink, private MatcherOwner {
public:
    struct Options {
        int64_t minDurationUs = 1000;
        std::string serviceName;  // empty: the process's name
        size_t maxThreads = 4096;
        // Bounds of a matcher of its own (a shared matcher has its own limits).
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
        uint64_t requests = 0;     // request spans, and their statements' spans
    };
    // "Class::Method" of a function, or a null view.
    using NameLookup = std::function<std::string_view(uint32_t pid, uint32_t functionId)>;
    using SpanSink = std::function<void(OtlpSpan&& span)>;
    // The command line of a process, for its service name; empty when unknown.
    using ProcessNameLookup = std::function<std::string(uint32_t pid)>;

    // With a matcher of its own when `shared` is null; OnCommand then feeds it. The owner adds a
    // builder with a shared matcher to its listeners.
    OtlpSpanBuilder(const Options& spanOptions, NameLookup nameLookup, SpanSink spanSink,
                    ProcessNameLookup processNameLookup = {}, CallMatcher* shared = nullptr);
    ~OtlpSpanBuilder() override;

    void OnCommand(const DecodedCommand& command);
    // Where each call belongs; the tracker must hear of each call before this builder does.
    void UseRequests(const RequestTracker* tracker) { requests = tracker; }
    void RequestEnded(const Request& request) override;
    void RequestDropped(const Request& request) override { RequestEnded(request); }
    // Ends every call still open (at its process's last time stamp), e.g. when collection stops.
    void CloseAll();
    Stats GetStats() const;

    void ThreadAdded(uint32_t thread) override;
    void Begun(const MatchedCall& call, const DecodedCommand& begin) override;
    void Closed(const MatchedCall& call, const DecodedCommand* end) override;
    void Raised(uint32_t thread, uint32_t depth, bool beyondLimit, const DecodedCommand& raised) override;
    void Detailed(uint32_t thread, const DecodedCommand& details) override;
    void NotTracked(uint32_t thread) override;
    // Where exception events find their type and message (the session's table); none by default.
    void SetExceptionTable(const ExceptionTable* table) { exceptions = table; }
    void ThreadEnded(uint32_t thread) override;
    void RunEnded(uint32_t run) override;
    void Detached() override {
        if (failure) {
            failure();
        }
    }
    // Told once when building spans failed (out of memory) and the matcher let go of the builder.
    void OnFailure(std::function<void()> hook) { failure = std::move(hook); }

    // Name a process gets from its command line: the app's assembly for "dotnet App.dll",
    // else the program's file name.
    static std::string ServiceNameFromCommandLine(const std::string& cmdline);

private:
    struct Frame {
        uint32_t functionId = 0;
        uint64_t instanceId = 0;
        uint64_t spanId = 0;
        uint8_t traceId[16] = {};
        bool dispatcher = false;
        bool traceRoot = false;
        bool requestRoot = false;
        bool inRequest = false;
        bool inWebRequest = false;  // its statements are spans of their own
        bool piece = false;         // the first call of a request's piece: its parent is the request's span
        uint64_t pieceParent = 0;
        bool keep = false;    // forced: values, exception or an exported call inside
        bool raised = false;  // an exception event is already on it
        std::vector<OtlpAttribute> attributes;
        std::vector<OtlpEvent> events;
    };
    struct ProcessState {
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
    struct ThreadState {
        ProcessState* process = nullptr;  // null: to be looked up (the process map never moves entries)
        uint32_t run = 0;
        uint32_t pid = 0;
        uint32_t tid = 0;
        std::vector<Frame> frames;  // by depth, reused
        size_t dispatchDepth = 0;   // how many of the bottom frames are dispatchers
        uint64_t lastException = 0;
        // The event of the last raise, until its details come: (depth of its frame, index).
        size_t describedDepth = SIZE_MAX;
        size_t describedEvent = 0;
        // What the host learnt of a request before handing it to the app (method, scheme): the
        // next request entry on the thread takes it.
        std::vector<OtlpAttribute> pendingRequest;
    };
    enum class Close { Returned, Unwound, Unfinished };

    ProcessState& Process(ThreadState& t);
    ProcessState* Described(uint32_t pid);
    CallRole Role(ProcessState& p, uint32_t pid, uint32_t functionId);
    void Emit(ThreadState& t, Frame& f, const MatchedCall& call, Close how);
    void HoistRequest(ThreadState& t, Frame& f, uint32_t depth);
    std::shared_ptr<const OtlpResource> Resource(ThreadState& t);
    std::shared_ptr<const OtlpResource> Resource(ProcessState& p, uint32_t pid);
    bool JoinRequest(ThreadState& t, Frame& f, const MatchedCall& call);
    void SendStatements(const Request& r, const std::shared_ptr<const OtlpResource>& resource);
    void AddValues(uint32_t pid, uint32_t functionId, const ValueRecord& value, bool isReturn, Frame& f);
    void LinkQuery(ThreadState& t, Frame& f, uint32_t depth, const DecodedCommand& c);
    // Adds the exception's type and message, when known, to an exception event.
    void Describe(uint32_t pid, uint64_t exceptionId, OtlpEvent& event) const;
    uint64_t NextId();

    Options options;
    NameLookup names;
    SpanSink sink;
    const RequestTracker* requests = nullptr;
    ProcessNameLookup processName;
    const ExceptionTable* exceptions = nullptr;
    std::function<void()> failure;
    Stats stats;
    std::vector<std::unique_ptr<ThreadState>> threads;     // per matcher thread
    std::unordered_map<uint32_t, ProcessState> processes;  // by run
    uint64_t rng;
};

}  // namespace QuorixCollect
