#include "OtlpExporter.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "OtlpEncoder.h"
#include "TextUtil.h"

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

OtlpExporter::OtlpExporter(const Options& options, OtlpSpanBuilder::NameLookup names)
    : options_(options),
      builder_(
          [&] {
              OtlpSpanBuilder::Options o;
              o.minDurationUs = static_cast<int64_t>(options.minDurationMs * 1000.0 + 0.5);
              o.serviceName = options.serviceName;
              return o;
          }(),
          std::move(names), [this](OtlpSpan&& span) { Enqueue(std::move(span)); }, ReadCommandLine) {}

OtlpExporter::~OtlpExporter() {
    if (thread_.joinable()) {
        Finish(std::chrono::milliseconds(0));
    }
}

bool OtlpExporter::Start(std::string& error) {
    if (!ParseHttpUrl(options_.url, "/v1/traces", url_, error)) {
        error = "bad --otlp URL '" + options_.url + "': " + error;
        return false;
    }
    // Stop signals are for the main loop: the export thread starts with them blocked.
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &previous);
    thread_ = std::thread([this] { Run(); });
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return true;
}

void OtlpExporter::OnCommand(const DecodedCommand& command) {
    if (failed_) {
        return;
    }
    try {
        builder_.OnCommand(command);
    } catch (...) {
        // Only allocation can fail here; collection goes on without the export.
        failed_ = true;
        std::lock_guard<std::mutex> lock(mutex_);
        counts_.lastError = "out of memory while building spans; export stopped";
    }
}

void OtlpExporter::Enqueue(OtlpSpan&& span) {
    const size_t bytes = span.Bytes();
    std::lock_guard<std::mutex> lock(mutex_);
    if (queue_.size() >= options_.queueSpans || queuedBytes_ + bytes > options_.queueBytes) {
        ++counts_.dropped;
        return;
    }
    if (queue_.empty()) {
        firstQueued_ = Clock::now();
    }
    queue_.push_back(std::move(span));
    queuedBytes_ += bytes;
    ++counts_.queued;
    if (queue_.size() == 1 || queue_.size() == options_.batchSpans || queuedBytes_ >= options_.batchBytes) {
        wake_.notify_one();
    }
}

void OtlpExporter::Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    std::vector<OtlpSpan> batch;
    for (;;) {
        if (queue_.empty()) {
            if (stopping_) {
                return;
            }
            wake_.wait(lock);
            continue;
        }
        const bool full = queue_.size() >= options_.batchSpans || queuedBytes_ >= options_.batchBytes;
        const auto due = firstQueued_ + options_.batchAge;
        if (!full && !stopping_ && Clock::now() < due) {
            wake_.wait_until(lock, due);
            continue;
        }
        if (stopping_ && Clock::now() >= finalDeadline_) {
            counts_.notDelivered += queue_.size();
            queue_.clear();
            queuedBytes_ = 0;
            return;
        }
        batch.clear();
        size_t bytes = 0;
        while (!queue_.empty() && batch.size() < options_.batchSpans &&
               (batch.empty() || bytes < options_.batchBytes)) {
            bytes += queue_.front().Bytes();
            batch.push_back(std::move(queue_.front()));
            queue_.pop_front();
        }
        queuedBytes_ -= std::min(queuedBytes_, bytes);
        firstQueued_ = Clock::now();
        Send(batch, lock);
    }
}

bool OtlpExporter::Send(const std::vector<OtlpSpan>& batch, std::unique_lock<std::mutex>& lock) {
    if (!poster_) {
        poster_ = std::make_unique<HttpPoster>(url_);
    }
    lock.unlock();
    std::string body;
    body.reserve(batch.size() * 600);
    OtlpEncoder::AppendTraceRequest(body, batch);
    auto backoff = options_.firstBackoff;
    for (;;) {
        const auto timeout = std::min<std::chrono::milliseconds>(options_.requestTimeout, [&] {
            std::lock_guard<std::mutex> g(mutex_);
            if (finalDeadline_ == Clock::time_point::max()) {
                return options_.requestTimeout;
            }
            return std::max(std::chrono::milliseconds(1),
                            std::chrono::duration_cast<std::chrono::milliseconds>(finalDeadline_ - Clock::now()));
        }());
        const HttpPoster::Result r = poster_->Post("application/json", body, timeout);
        lock.lock();
        if (r.status >= 200 && r.status < 300) {
            counts_.exported += batch.size();
            ++counts_.requests;
            return true;
        }
        counts_.lastError = r.status == 0 ? r.error : "HTTP " + std::to_string(r.status) + " from " + url_.text;
        if (!Retryable(r.status)) {
            counts_.refused += batch.size();
            return false;
        }
        ++counts_.retries;
        auto wait = backoff;
        if (r.retryAfterSeconds >= 0) {
            wait = std::chrono::milliseconds(static_cast<long long>(r.retryAfterSeconds * 1000));
        }
        wait = std::min(wait, options_.maxBackoff);
        backoff = std::min(backoff * 2, options_.maxBackoff);
        const auto wakeAt = std::min(Clock::now() + wait, finalDeadline_);
        while (Clock::now() < wakeAt && !(stopping_ && Clock::now() >= finalDeadline_)) {
            wake_.wait_until(lock, std::min(wakeAt, finalDeadline_));
        }
        if (stopping_ && Clock::now() >= finalDeadline_) {
            counts_.notDelivered += batch.size();
            return false;
        }
        lock.unlock();
    }
}

void OtlpExporter::Finish(std::chrono::milliseconds limit) {
    if (!failed_) {
        try {
            builder_.CloseAll();
        } catch (...) {
            failed_ = true;
        }
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        finalDeadline_ = Clock::now() + limit;
        wake_.notify_all();
    }
    if (thread_.joinable()) {
        thread_.join();
    }
}

OtlpExporter::Counts OtlpExporter::GetCounts() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return counts_;
}

std::vector<std::string> OtlpExporter::SummaryLines() const {
    const Counts c = GetCounts();
    const auto& s = builder_.GetStats();
    std::vector<std::string> lines;
    lines.push_back("otlp: " + std::to_string(c.exported) + " spans exported to " + url_.text + " (" +
                    std::to_string(c.requests) + " requests, " + std::to_string(c.retries) + " retries), " +
                    std::to_string(c.dropped) + " dropped (export queue full), " + std::to_string(c.refused) +
                    " refused by the receiver, " + std::to_string(c.notDelivered) +
                    " not delivered by the exit deadline");
    std::string calls = "  " + std::to_string(s.calls) + " calls ended: " + std::to_string(s.exported) +
                        " became spans, " + std::to_string(s.leftOut) + " left out (under " +
                        Millis(options_.minDurationMs) + ", nothing captured)";
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

std::vector<std::string> OtlpExporter::DropLines() const {
    const Counts c = GetCounts();
    std::vector<std::string> lines;
    if (c.dropped + c.refused + c.notDelivered == 0) {
        return lines;
    }
    lines.push_back("otlp spans not exported: " + std::to_string(c.dropped) + " dropped (export queue full), " +
                    std::to_string(c.refused) + " refused by the receiver, " + std::to_string(c.notDelivered) +
                    " not delivered by the exit deadline");
    if (!c.lastError.empty()) {
        lines.push_back("last export error: " + DisplayText(c.lastError, 160));
    }
    return lines;
}

}  // namespace QuorixCollect
