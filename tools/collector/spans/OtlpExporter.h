#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "session/CollectorSession.h"
#include "losses/LossLedger.h"
#include "spans/HttpPoster.h"
#include "spans/OtlpSpanBuilder.h"

namespace QuorixCollect {

// Sends the calls the collector receives as OTLP spans over HTTP (protobuf or JSON, optionally
// gzip). Spans are built on the collection thread and queued; a thread of its own batches,
// encodes and posts them, retrying with a jittered backoff while the receiver is down or busy.
// Collection never waits for it: when the bounded queue is full, new spans are dropped and
// counted.
class OtlpExporter final : public CommandObserver {
public:
    using Clock = std::chrono::steady_clock;
    enum class Protocol { Protobuf, Json };
    struct Options {
        std::string url;
        bool urlAsGiven = false;  // false: a URL without a path gets /v1/traces
        Protocol protocol = Protocol::Protobuf;
        bool gzip = false;
        std::vector<std::pair<std::string, std::string>> headers;  // never shown
        std::string caPem;                                         // empty: the system's certificates
        std::vector<OtlpAttribute> resourceAttributes;             // added to every process's resource
        std::string serviceName;
        double minDurationMs = 1;
        size_t queueSpans = 100000;
        size_t queueBytes = size_t{64} << 20;
        size_t batchSpans = 512;
        size_t batchBytes = size_t{1} << 20;
        std::chrono::milliseconds batchAge{1000};
        std::chrono::milliseconds requestTimeout{10000};
        std::chrono::milliseconds firstBackoff{250};
        std::chrono::milliseconds maxBackoff{10000};
        // A receiver's Retry-After is honoured up to this; the backoff stays the floor.
        std::chrono::milliseconds maxRetryAfter{30000};
    };
    struct Counts {
        uint64_t queued = 0;
        uint64_t exported = 0;      // accepted by the receiver
        uint64_t dropped = 0;       // export queue full
        uint64_t refused = 0;       // the receiver answered with a final error
        uint64_t notDelivered = 0;  // still unsent when the exit deadline passed
        uint64_t requests = 0;      // successful requests
        uint64_t retries = 0;
        uint64_t batches = 0;         // encoded once each, however often sent
        uint64_t bytesSent = 0;       // their bodies as sent (compressed when gzip is on)
        uint64_t bytesEncoded = 0;    // the same before compression
        double exportCpuSeconds = 0;  // the export thread's processor time: encoding, compression, HTTP
        std::string lastError;
    };

    // Calls come from `shared` when given (the session's matcher), else from a matcher of its own.
    OtlpExporter(const Options& exportOptions, OtlpSpanBuilder::NameLookup names, CallMatcher* shared = nullptr);
    ~OtlpExporter() override;

    // The pause before retry `attempt` (0 for the first), between half and all of the doubled
    // backoff; a Retry-After (seconds, -1 when none) lengthens it up to maxRetryAfter.
    static std::chrono::milliseconds RetryPause(const Options& o, unsigned attempt, double retryAfterSeconds,
                                                double random01);

    // Checks the URL and starts the export thread.
    bool Start(std::string& error);
    void OnCommand(const DecodedCommand& command) override;
    // Ends the calls still open, then sends what is queued for at most `limit`.
    void Finish(std::chrono::milliseconds limit);

    // Where exception events find their type and message (the session's table).
    void SetExceptionTable(const ExceptionTable* table) { builder.SetExceptionTable(table); }

    Counts GetCounts() const;
    OtlpSpanBuilder::Stats BuilderStats() const { return builder.GetStats(); }
    // A trace per request: the tracker tells where each call belongs and hands over each request.
    void UseRequests(RequestTracker& tracker) {
        builder.UseRequests(&tracker);
        tracker.AddSink(&builder);
    }
    // Spans lost on the way, and the last export error as a note.
    void PublishLosses(LossLedger& ledger) const;
    std::vector<std::string> SummaryLines() const;
    // Only when spans were lost on the way: the lines the report lists among what was dropped.
    std::vector<std::string> DropLines() const;

private:
    void StopOnFailure();

    void Enqueue(OtlpSpan&& span);
    void Run();
    bool Send(const std::vector<OtlpSpan>& batch, std::unique_lock<std::mutex>& lock);
    void Encode(const std::vector<OtlpSpan>& batch, std::string& body);
    std::chrono::steady_clock::time_point RequestDeadline();
    const char* ProtocolName() const;

    Options options;
    HttpUrl url;
    OtlpSpanBuilder builder;
    bool failed = false;  // out of memory on the collection side: export stopped

    mutable std::mutex mutex;
    std::condition_variable wake;
    std::deque<OtlpSpan> queue;
    size_t queuedBytes = 0;
    Clock::time_point firstQueued{};
    bool stopping = false;
    Clock::time_point finalDeadline = Clock::time_point::max();
    Counts counts;
    std::unique_ptr<HttpPoster> poster;  // posts on the export thread; LimitTo from Finish
    std::thread thread;
};

}  // namespace QuorixCollect
