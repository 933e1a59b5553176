#pragma once

#include <x86intrin.h>

#include <atomic>
#include <cstdint>

// The time stamp of every command: microseconds since the Unix epoch, as the wall clock gives.
// Reading the wall clock costs tens of nanoseconds, twice per traced call; where the processor's
// time-stamp counter is invariant and the kernel itself keeps time with it, the counter is read
// instead and scaled to the wall clock. One thread (the relay's) calibrates the scale now and
// then, following the wall clock smoothly; until it has, and wherever the counter cannot be
// trusted, the wall clock is read.
class CallClock {
public:
    // Inline: it is read twice on every traced call.
    static int64_t NowMicroseconds() noexcept {
        if (!published.load(std::memory_order_relaxed)) return WallMicroseconds();
        const uint32_t before = sequence.load(std::memory_order_acquire);
        const uint64_t ticks = __rdtsc();
        const uint64_t base = baseTicks.load(std::memory_order_relaxed);
        const int64_t micros = baseMicros.load(std::memory_order_relaxed);
        const uint64_t perTick = scale.load(std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_acquire);
        if ((before & 1) != 0 || sequence.load(std::memory_order_relaxed) != before) return WallMicroseconds();
        return Map(ticks, base, micros, perTick);
    }
    // The wall clock itself.
    static int64_t WallMicroseconds() noexcept;
    // Call from one thread only, every few hundred milliseconds or more.
    static void Calibrate() noexcept;
    // Whether time stamps now come from the counter.
    static bool UsesCounter() noexcept { return published.load(std::memory_order_acquire); }
    // For tests: forget the calibration and go back to the wall clock.
    static void Reset() noexcept;

private:
    static constexpr int Shift = 40;  // scale: microseconds per tick in 2^-40 units

    static int64_t Map(uint64_t ticks, uint64_t base, int64_t micros, uint64_t perTick) noexcept {
        __extension__ typedef unsigned __int128 Wide;  // the product of ticks and scale needs 128 bits
        // A counter a little behind the base (another core) maps to the base.
        const uint64_t elapsed = ticks > base ? ticks - base : 0;
        return micros + static_cast<int64_t>((static_cast<Wide>(elapsed) * perTick) >> Shift);
    }
    static void Publish(uint64_t ticks, int64_t micros, uint64_t perTick) noexcept;

    static std::atomic<bool> published;
    // Published with a sequence count: odd while the calibrating thread changes the fields.
    static std::atomic<uint32_t> sequence;
    static std::atomic<uint64_t> baseTicks;
    static std::atomic<int64_t> baseMicros;
    static std::atomic<uint64_t> scale;
};
