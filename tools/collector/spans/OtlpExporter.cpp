#include "threading/QuietThread.h"
#include "spans/OtlpExporter.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "spans/OtlpEncoder.h"
#include "text/TextEncoding.h"

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
    if (!ParseHttpUrl(options.url, "/v1/traces", url, error)) {
        error = "bad --otlp URL '" + options.url + "': " + error;
        return false;
    }
    thread = QuietThread([this] { Run(); });
    return true;
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

bool OtlpExporter::Send(const std::vector<OtlpSpan>& batch, std::unique_lock<std::mutex>& lock) {
    if (!poster) {
        poster = std::make_unique<HttpPoster>(url);
    }
    lock.unlock();
    std::string body;
    body.reserve(batch.size() * 600);
    OtlpEncoder::AppendTraceRequest(body, batch);
    auto backoff = options.firstBackoff;
    for (;;) {
        const auto timeout = std::min<std::chrono::milliseconds>(options.requestTimeout, [&] {
            std::lock_guard<std::mutex> g(mutex);
            if (finalDeadline == Clock::time_point::max()) {
                return options.requestTimeout;
            }
            return std::max(std::chrono::milliseconds(1),
                            std::chrono::duration_cast<std::chrono::milliseconds>(finalDeadline - Clock::now()));
        }());
        const HttpPoster::Result r = poster->Post("application/json", body, timeout);
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
        auto wait = backoff;
        if (r.retryAfterSeconds >= 0) {
            wait = std::chrono::milliseconds(static_cast<long long>(r.retryAfterSeconds * 1000));
        }
        wait = std::min(wait, options.maxBackoff);
        backoff = std::min(backoff * 2, options.maxBackoff);
        const auto wakeAt = std::min(Clock::now() + wait, finalDeadline);
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
