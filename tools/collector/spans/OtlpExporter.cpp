#include "threading/QuietThread.h"
#include "spans/OtlpExporter.h"

#include <fcntl.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <random>

#include "spans/Gzip.h"
#include "spans/OtlpEncoder.h"
#include "text/TextEncoding.h"

#ifndef QX_COLLECTOR_VERSION
#define QX_COLLECTOR_VERSION "0"
#endif

namespace QuorixCollect {

namespace {

std::string ReadCommandLine(uint32_t pid) {
    const std::string path = "/proc/" + std::to_string(pid) + "/cmdline";
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return {};
    }
    char buf[4096];
    const ssize_t n = read(fd, buf, sizeof buf);
    close(fd);
    return n > 0 ? OtlpSpanBuilder::ServiceNameFromCommandLine(std::string(buf, static_cast<size_t>(n)))
                 : std::string{};
}

bool Retryable(int status) {
    return status == 0 || status == 408 || status == 429 || status == 502 || status == 503 || status == 504;
}

double ThreadCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

std::string Kib(uint64_t bytes) {
    char buf[32];
    snprintf(buf, sizeof buf, "%.1f KiB", static_cast<double>(bytes) / 1024.0);
    return buf;
}

std::string Millis(double ms) {
    char buf[32];
    snprintf(buf, sizeof buf, "%g ms", ms);
    return buf;
}

}  // namespace

OtlpExporter::OtlpExporter(const Options& exportOptions, OtlpSpanBuilder::NameLookup names, CallMatcher* shared)
    : options(exportOptions),
      builder(
          [&] {
              OtlpSpanBuilder::Options o;
              o.minDurationUs = static_cast<int64_t>(exportOptions.minDurationMs * 1000.0 + 0.5);
              o.serviceName = exportOptions.serviceName;
              return o;
          }(),
          std::move(names), [this](OtlpSpan&& span) { Enqueue(std::move(span)); }, ReadCommandLine, shared) {
    // Running out of memory while building spans stops the export, not the collection.
    builder.OnFailure([this] { StopOnFailure(); });
    if (shared != nullptr) {
        shared->AddListener(&builder);
    }
}

OtlpExporter::~OtlpExporter() {
    if (thread.joinable()) {
        Finish(std::chrono::milliseconds(0));
    }
}

bool OtlpExporter::Start(std::string& error) {
    if (!ParseHttpUrl(options.url, options.urlAsGiven ? "/" : "/v1/traces", url, error)) {
        error = "bad --otlp URL '" + options.url + "': " + error;
        return false;
    }
    HttpTarget target;
    target.url = url;
    target.headers = options.headers;
    target.caPem = options.caPem;
    target.userAgent = "quorix-collect/" QX_COLLECTOR_VERSION;
    poster = std::make_unique<HttpPoster>(std::move(target));
    thread = QuietThread([this] {
        Run();
        const double cpu = ThreadCpuSeconds();
        std::lock_guard<std::mutex> lock(mutex);
        counts.exportCpuSeconds = cpu;
    });
    return true;
}

std::chrono::milliseconds OtlpExporter::RetryPause(const Options& o, unsigned attempt, double retryAfterSeconds,
                                                   double random01) {
    using std::chrono::milliseconds;
    milliseconds backoff = o.firstBackoff;
    for (unsigned i = 0; i < attempt && backoff < o.maxBackoff; ++i) {
        backoff *= 2;
    }
    backoff = std::min(backoff, o.maxBackoff);
    // Jitter keeps many collectors behind one receiver from retrying in step.
    auto pause = milliseconds(static_cast<long long>(static_cast<double>(backoff.count()) * (0.5 + random01 / 2)));
    if (retryAfterSeconds > 0) {
        const double asked = std::min(retryAfterSeconds * 1000.0, static_cast<double>(o.maxRetryAfter.count()));
        pause = std::max(pause, milliseconds(static_cast<long long>(asked)));
    }
    return pause;
}

void OtlpExporter::OnCommand(const DecodedCommand& command) {
    if (failed) {
        return;
    }
    try {
        builder.OnCommand(command);
    } catch (...) {
        StopOnFailure();
    }
}

void OtlpExporter::StopOnFailure() {
    // Only allocation can fail here; collection goes on without the export.
    failed = true;
    std::lock_guard<std::mutex> lock(mutex);
    counts.lastError = "out of memory while building spans; export stopped";
}

void OtlpExporter::Enqueue(OtlpSpan&& span) {
    const size_t bytes = span.Bytes();
    std::lock_guard<std::mutex> lock(mutex);
    if (queue.size() >= options.queueSpans || queuedBytes + bytes > options.queueBytes) {
        ++counts.dropped;
        return;
    }
    if (queue.empty()) {
        firstQueued = Clock::now();
    }
    queue.push_back(std::move(span));
    queuedBytes += bytes;
    ++counts.queued;
    if (queue.size() == 1 || queue.size() == options.batchSpans || queuedBytes >= options.batchBytes) {
        wake.notify_one();
    }
}

void OtlpExporter::Run() {
    std::unique_lock<std::mutex> lock(mutex);
    std::vector<OtlpSpan> batch;
    for (;;) {
        if (queue.empty()) {
            if (stopping) {
                return;
            }
            wake.wait(lock);
            continue;
        }
        const bool full = queue.size() >= options.batchSpans || queuedBytes >= options.batchBytes;
        const auto due = firstQueued + options.batchAge;
        if (!full && !stopping && Clock::now() < due) {
            wake.wait_until(lock, due);
            continue;
        }
        if (stopping && Clock::now() >= finalDeadline) {
            counts.notDelivered += queue.size();
            queue.clear();
            queuedBytes = 0;
            return;
        }
        batch.clear();
        size_t bytes = 0;
        while (!queue.empty() && batch.size() < options.batchSpans && (batch.empty() || bytes < options.batchBytes)) {
            bytes += queue.front().Bytes();
            batch.push_back(std::move(queue.front()));
            queue.pop_front();
        }
        queuedBytes -= std::min(queuedBytes, bytes);
        firstQueued = Clock::now();
        Send(batch, lock);
    }
}

const char* OtlpExporter::ProtocolName() const {
    return options.protocol == Protocol::Protobuf ? "http/protobuf" : "http/json";
}

void OtlpExporter::Encode(const std::vector<OtlpSpan>& batch, std::string& body) {
    std::string encoded;
    encoded.reserve(batch.size() * (options.protocol == Protocol::Protobuf ? 300 : 600));
    if (options.protocol == Protocol::Protobuf) {
        OtlpProtobufEncoder::AppendTraceRequest(encoded, batch, options.resourceAttributes);
    } else {
        OtlpEncoder::AppendTraceRequest(encoded, batch, options.resourceAttributes);
    }
    const uint64_t size = encoded.size();
    // Level 1: a tenth larger than level 6 at a third of its cost (bench/otlp).
    if (!options.gzip || !GzipCompress(encoded, body, 1)) {
        body = std::move(encoded);
    }
    std::lock_guard<std::mutex> lock(mutex);
    ++counts.batches;
    counts.bytesEncoded += size;
    counts.bytesSent += body.size();
}

// The request's own timeout, cut short by the exit deadline once that is set.
std::chrono::steady_clock::time_point OtlpExporter::RequestDeadline() {
    std::lock_guard<std::mutex> lock(mutex);
    return std::min(Clock::now() + options.requestTimeout, finalDeadline);
}

bool OtlpExporter::Send(const std::vector<OtlpSpan>& batch, std::unique_lock<std::mutex>& lock) {
    lock.unlock();
    std::string body;
    Encode(batch, body);
    const char* type = options.protocol == Protocol::Protobuf ? "application/x-protobuf" : "application/json";
    static thread_local std::mt19937_64 random{std::random_device{}()};
    for (unsigned attempt = 0;; ++attempt) {
        const HttpPoster::Result r = poster->Post(type, options.gzip ? "gzip" : "", body, RequestDeadline());
        lock.lock();
        if (r.status >= 200 && r.status < 300) {
            counts.exported += batch.size();
            ++counts.requests;
            return true;
        }
        counts.lastError = r.status == 0 ? r.error : "HTTP " + std::to_string(r.status) + " from " + url.text;
        if (!Retryable(r.status)) {
            counts.refused += batch.size();
            return false;
        }
        ++counts.retries;
        const double jitter = std::uniform_real_distribution<double>(0.0, 1.0)(random);
        const auto wakeAt =
            std::min(Clock::now() + RetryPause(options, attempt, r.retryAfterSeconds, jitter), finalDeadline);
        while (Clock::now() < wakeAt && !(stopping && Clock::now() >= finalDeadline)) {
            wake.wait_until(lock, std::min(wakeAt, finalDeadline));
        }
        if (stopping && Clock::now() >= finalDeadline) {
            counts.notDelivered += batch.size();
            return false;
        }
        lock.unlock();
    }
}

void OtlpExporter::Finish(std::chrono::milliseconds limit) {
    if (!failed) {
        try {
            builder.CloseAll();
        } catch (...) {
            failed = true;
        }
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
        finalDeadline = Clock::now() + limit;
        wake.notify_all();
    }
    if (poster) {
        // A request already in flight ends by the exit deadline too.
        poster->LimitTo(Clock::now() + limit);
    }
    if (thread.joinable()) {
        thread.join();
    }
}

OtlpExporter::Counts OtlpExporter::GetCounts() const {
    std::lock_guard<std::mutex> lock(mutex);
    return counts;
}

std::vector<std::string> OtlpExporter::SummaryLines() const {
    const Counts c = GetCounts();
    const auto& s = builder.GetStats();
    std::vector<std::string> lines;
    LossLedger losses;
    PublishLosses(losses);
    lines.push_back("otlp: " + std::to_string(c.exported) + " spans exported to " + url.text + " (" +
                    std::to_string(c.requests) + " requests, " + std::to_string(c.retries) + " retries), " +
                    SpanLossText(losses));
    std::string calls = "  " + std::to_string(s.calls) + " calls ended: " + std::to_string(s.exported) +
                        " became spans, " + std::to_string(s.leftOut) + " left out (under " +
                        Millis(options.minDurationMs) + ", nothing captured)";
    if (s.requests != 0) {
        calls += ", plus " + std::to_string(s.requests) + " spans of requests and their statements";
    }
    if (s.dispatchers != 0) {
        calls += ", " + std::to_string(s.dispatchers) + " thread-pool dispatch calls";
    }
    if (s.unfinished != 0) {
        calls += ", " + std::to_string(s.unfinished) + " closed without their end";
    }
    if (s.notTracked != 0) {
        calls += ", " + std::to_string(s.notTracked) + " commands beyond the thread or depth limit";
    }
    lines.push_back(calls);
    std::string sent = std::string("  ") + ProtocolName() + (options.gzip ? ", gzip" : "") + ": " +
                       std::to_string(c.batches) + " batches, " + Kib(c.bytesSent);
    if (options.gzip) {
        sent += " (" + Kib(c.bytesEncoded) + " before compression)";
    }
    char cpu[96];
    snprintf(cpu, sizeof cpu, ", %.3f s of export processor time", c.exportCpuSeconds);
    sent += cpu;
    if (c.exported != 0) {
        snprintf(cpu, sizeof cpu, " (%.2f us per span exported)", c.exportCpuSeconds * 1e6 / c.exported);
        sent += cpu;
    }
    lines.push_back(sent);
    if (!c.lastError.empty()) {
        lines.push_back("  last export error: " + DisplayText(c.lastError, 160));
    }
    return lines;
}

void OtlpExporter::PublishLosses(LossLedger& ledger) const {
    const Counts c = GetCounts();
    const std::string line(LossLine::Spans);
    ledger.Add(line, "dropped (export queue full)", c.dropped);
    ledger.Add(line, "refused by the receiver", c.refused);
    ledger.Add(line, "not delivered by the exit deadline", c.notDelivered);
    if (!c.lastError.empty()) {
        ledger.Note(line, "last export error: " + DisplayText(c.lastError, 160));
    }
}

std::vector<std::string> OtlpExporter::DropLines() const {
    LossLedger losses;
    PublishLosses(losses);
    return QuorixCollect::DropLines(losses);
}

}  // namespace QuorixCollect
