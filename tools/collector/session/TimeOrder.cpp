#include "session/TimeOrder.h"

#include <algorithm>
#include <cstring>

#include "wire/WireFormat.h"

namespace QuorixCollect {

namespace {

constexpr size_t Prefix = sizeof(uint32_t) + sizeof(uint64_t);  // size, arrival number

template <typename T>
T Read(const uint8_t* at) {
    T value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

// The stamp a window before `ts`; stamps come from the wire, so near the bottom of the range it stays there.
int64_t Behind(int64_t ts, int64_t window) { return ts < INT64_MIN + window ? INT64_MIN : ts - window; }

// Min-heap order: the oldest stamp first, and of equal stamps the one read first.
bool Later(const auto& a, const auto& b) { return a.ts != b.ts ? a.ts > b.ts : a.seq > b.seq; }

}  // namespace

TimeOrder::TimeOrder(const Options& orderOptions, Deliver deliverTo)
    : options(orderOptions), deliver(std::move(deliverTo)) {}

bool TimeOrder::IsThreadCommand(uint8_t type) {
    switch (static_cast<CommandType>(type)) {
        case CommandType::BeginCall:
        case CommandType::EndCall:
        case CommandType::ExceptionRaised:
        case CommandType::UnwindCall:
        case CommandType::ThreadStarted:
        case CommandType::ThreadEnded:
        case CommandType::ExceptionDetails:
        case CommandType::SqlInformation:
        case CommandType::HttpRequestInformation:
            return true;
        default:
            return false;
    }
}

TimeOrder::Process* TimeOrder::ProcessOf(uint32_t pid) {
    if (lastProcess != nullptr && lastPid == pid) {
        return lastProcess;
    }
    auto it = processes.find(pid);
    if (it == processes.end()) {
        if (processes.size() >= options.maxProcesses) {
            return nullptr;
        }
        it = processes.emplace(pid, Process{}).first;
        it->second.pid = pid;
        it->second.window = options.windowNanos / 1000;  // at 1 MHz
    }
    lastPid = pid;
    lastProcess = &it->second;
    return lastProcess;
}

void TimeOrder::SetFrequency(uint32_t pid, uint64_t frequency) {
    Process* p = ProcessOf(pid);
    if (p == nullptr || frequency == 0) {
        return;
    }
    const long double ticks = static_cast<long double>(options.windowNanos) * frequency / 1e9L;
    p->window = ticks >= static_cast<long double>(INT64_MAX / 4) ? INT64_MAX / 4 : static_cast<int64_t>(ticks);
}

uint32_t TimeOrder::QueueOf(Process& p, uint32_t tid) {
    if (p.lastQueue != UINT32_MAX && p.lastTid == tid) {
        return p.lastQueue;
    }
    auto [it, added] = p.byTid.try_emplace(tid, static_cast<uint32_t>(p.queues.size()));
    if (added) {
        p.queues.emplace_back();
        p.queues.back().tid = tid;
    }
    p.lastTid = tid;
    p.lastQueue = it->second;
    return it->second;
}

void TimeOrder::Append(Process& p, uint32_t q, const uint8_t* message, size_t size, uint64_t seq) {
    Queue& queue = p.queues[q];
    const bool wasEmpty = queue.head == queue.data.size();
    const size_t at = queue.data.size();
    queue.data.resize(at + Prefix + size);
    uint8_t* out = queue.data.data() + at;
    const uint32_t size32 = static_cast<uint32_t>(size);
    std::memcpy(out, &size32, sizeof size32);
    std::memcpy(out + sizeof size32, &seq, sizeof seq);
    std::memcpy(out + Prefix, message, size);
    bytes += Prefix + size;
    ++p.held;
    ++stats.held;
    if (wasEmpty) {
        p.heap.push_back({Read<int64_t>(message + WireProtocol::TimestampOffset), seq, q});
        std::push_heap(p.heap.begin(), p.heap.end(), [](const Head& a, const Head& b) { return Later(a, b); });
    }
}

void TimeOrder::PopOne(Process& p) {
    std::pop_heap(p.heap.begin(), p.heap.end(), [](const Head& a, const Head& b) { return Later(a, b); });
    const uint32_t q = p.heap.back().queue;
    p.heap.pop_back();
    Queue& queue = p.queues[q];
    const uint8_t* at = queue.data.data() + queue.head;
    const uint32_t size = Read<uint32_t>(at);
    const uint64_t seq = Read<uint64_t>(at + sizeof(uint32_t));
    queue.head += Prefix + size;
    bytes -= Prefix + size;
    --p.held;
    if (seq < p.delivered) {
        ++stats.reordered;
    } else {
        p.delivered = seq;
    }
    // The message stays where it is until the next append or compaction of its queue.
    deliver(at + Prefix, size);
    if (queue.head == queue.data.size()) {
        queue.data.clear();
        queue.head = 0;
    } else {
        if (queue.head >= (size_t{64} << 10) && queue.head * 2 >= queue.data.size()) {
            queue.data.erase(queue.data.begin(), queue.data.begin() + static_cast<std::ptrdiff_t>(queue.head));
            queue.head = 0;
        }
        const uint8_t* next = queue.data.data() + queue.head;
        p.heap.push_back(
            {Read<int64_t>(next + Prefix + WireProtocol::TimestampOffset), Read<uint64_t>(next + sizeof(uint32_t)), q});
        std::push_heap(p.heap.begin(), p.heap.end(), [](const Head& a, const Head& b) { return Later(a, b); });
    }
}

void TimeOrder::Release(Process& p, int64_t upTo, bool all) {
    while (!p.heap.empty() && (all || p.heap.front().ts <= upTo)) {
        PopOne(p);
    }
    if (all) {
        // Threads come and go: a process that let go of everything starts its queues afresh.
        if (p.queues.size() > 64) {
            p.queues.clear();
            p.byTid.clear();
            p.lastQueue = UINT32_MAX;
        }
    }
}

void TimeOrder::Take(const uint8_t* message, size_t size, Clock::time_point now) {
    Process* p = size >= WireProtocol::HeaderSize && !delivering
                     ? ProcessOf(Read<uint32_t>(message + WireProtocol::PidOffset))
                     : nullptr;
    if (p == nullptr) {
        deliver(message, size);
        return;
    }
    delivering = true;
    const int64_t ts = Read<int64_t>(message + WireProtocol::TimestampOffset);
    const uint64_t seq = ++arrivals;
    p->lastTake = now;
    if (p->newest != INT64_MIN && ts < Behind(p->newest, p->window)) {
        ++stats.late;
    }
    if (ts > p->newest) {
        p->newest = ts;
    }
    Append(*p, QueueOf(*p, Read<uint32_t>(message + WireProtocol::TidOffset)), message, size, seq);
    Release(*p, Behind(p->newest, p->window), false);
    stats.peakBytes = std::max(stats.peakBytes, bytes);
    if (bytes > options.maxBytes) {
        Force();
    }
    delivering = false;
}

void TimeOrder::Force() {
    // The busiest process first gives up its oldest, then, if that is not enough, the others.
    if (lastProcess != nullptr) {
        while (bytes > options.maxBytes / 4 * 3 && !lastProcess->heap.empty()) {
            PopOne(*lastProcess);
            ++stats.forced;
        }
    }
    for (auto& [pid, p] : processes) {
        while (bytes > options.maxBytes / 4 * 3 && !p.heap.empty()) {
            PopOne(p);
            ++stats.forced;
        }
    }
}

void TimeOrder::ReleaseProcess(uint32_t pid) {
    if (processes.empty()) {
        return;
    }
    auto it = processes.find(pid);
    if (it != processes.end()) {
        delivering = true;
        Release(it->second, 0, true);
        delivering = false;
        processes.erase(it);
        lastProcess = nullptr;
    }
}

void TimeOrder::Tick(Clock::time_point now) {
    delivering = true;
    for (auto& [pid, p] : processes) {
        if (p.held != 0 && now - p.lastTake >= options.idle) {
            Release(p, 0, true);
        }
    }
    delivering = false;
}

void TimeOrder::ReleaseAll() {
    delivering = true;
    for (auto& [pid, p] : processes) {
        Release(p, 0, true);
    }
    delivering = false;
}

}  // namespace QuorixCollect
