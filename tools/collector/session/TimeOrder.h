#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <unordered_map>
#include <vector>

namespace QuorixCollect {

// Puts the commands of a process's threads back into the order of their time stamps before
// anything matches them. The agent sends each thread's commands in order but hands over one
// thread's batch after another's, so a continuation on one thread can be read before the call
// on another thread that queued it, although it ran later. Each thread's commands are held for
// a short window of the app's clock and let go oldest first across threads; a thread's own order
// is never changed. What falls behind the window, or waits while the app is idle, is let go as
// it is: late, but never lost.
class TimeOrder {
public:
    using Clock = std::chrono::steady_clock;
    using Deliver = std::function<void(const uint8_t* message, size_t size)>;

    struct Options {
        int64_t windowNanos = 50'000'000;  // how far behind the newest stamp a command is held
        // A process that sent nothing for this long has all it holds let go.
        Clock::duration idle = std::chrono::milliseconds(50);
        size_t maxBytes = size_t{32} << 20;  // held by all processes together; beyond it the oldest go
        size_t maxProcesses = 4096;          // held apart; commands of more pass as they come
    };
    struct Stats {
        uint64_t held = 0;       // commands that waited for others
        uint64_t reordered = 0;  // let go before a command that was read earlier
        uint64_t late = 0;       // read after commands of other threads newer than them by more than the window
        uint64_t forced = 0;     // let go early because the bytes held reached their bound
        size_t peakBytes = 0;
    };

    TimeOrder(const Options& orderOptions, Deliver deliver);

    // Whether a command of this type belongs to one thread's sequence and may be held.
    static bool IsThreadCommand(uint8_t type);

    // Takes a whole command with at least a header; it is delivered now or later, exactly once.
    void Take(const uint8_t* message, size_t size, Clock::time_point now);
    // Ticks per second of a process's clock, from its announcement (1 MHz until then).
    void SetFrequency(uint32_t pid, uint64_t frequency);
    // Delivers everything held for a process, in order, and forgets it: before its end or its
    // next start.
    void ReleaseProcess(uint32_t pid);
    // Delivers what waited long enough by our own clock, for processes that went quiet.
    void Tick(Clock::time_point now);
    // Delivers everything held; when collection stops.
    void ReleaseAll();

    size_t BytesHeld() const { return bytes; }
    const Stats& GetStats() const { return stats; }

private:
    struct Queue {
        uint32_t tid = 0;
        std::vector<uint8_t> data;  // messages, each after its 4-byte size
        size_t head = 0;
    };
    struct Head {
        int64_t ts;
        uint64_t seq;
        uint32_t queue;
    };
    struct Process {
        uint32_t pid = 0;
        int64_t newest = INT64_MIN;
        int64_t window = 50'000;
        uint64_t delivered = 0;  // arrival number of the newest command let go
        Clock::time_point lastTake{};
        std::vector<Queue> queues;
        std::unordered_map<uint32_t, uint32_t> byTid;
        uint32_t lastTid = 0;
        uint32_t lastQueue = UINT32_MAX;
        std::vector<Head> heap;  // the first waiting command of each queue that holds any
        size_t held = 0;
    };

    Process* ProcessOf(uint32_t pid);
    uint32_t QueueOf(Process& p, uint32_t tid);
    void Append(Process& p, uint32_t q, const uint8_t* message, size_t size, uint64_t seq);
    void Release(Process& p, int64_t upTo, bool all);
    void PopOne(Process& p);
    void Force();

    Options options;
    Deliver deliver;
    Stats stats;
    std::unordered_map<uint32_t, Process> processes;
    uint32_t lastPid = 0;
    Process* lastProcess = nullptr;
    uint64_t arrivals = 0;
    size_t bytes = 0;
    bool delivering = false;
};

}  // namespace QuorixCollect
