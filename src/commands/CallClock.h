#pragma once

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
    static int64_t NowMicroseconds() noexcept;
    // The wall clock itself.
    static int64_t WallMicroseconds() noexcept;
    // Call from one thread only, every few hundred milliseconds or more.
    static void Calibrate() noexcept;
    // Whether time stamps now come from the counter.
    static bool UsesCounter() noexcept { return published.load(std::memory_order_acquire); }
    // For tests: forget the calibration and go back to the wall clock.
    static void Reset() noexcept;

private:
    static std::atomic<bool> published;
};
