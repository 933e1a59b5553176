#include "commands/CallClock.h"

#include <sys/time.h>
#include <time.h>
#include <x86intrin.h>

#include <cstdio>
#include <cstring>
#include <mutex>

std::atomic<bool> CallClock::published{false};
std::atomic<uint32_t> CallClock::sequence{0};
std::atomic<uint64_t> CallClock::baseTicks{0};
std::atomic<int64_t> CallClock::baseMicros{0};
std::atomic<uint64_t> CallClock::scale{0};

namespace {

// A wall clock further off than this was set, not drifting: follow it at once.
constexpr int64_t StepMicroseconds = 1000;
// At most this much of an offset is made up per second, so the stamps never run backwards.
constexpr int64_t SlewMicrosecondsPerSecond = 500;

// The calibrating thread's own state.
enum class State { Unknown, Unusable, Measuring, Running };
State state = State::Unknown;
std::mutex calibrationMutex;
uint64_t firstTicks = 0;
int64_t firstNanos = 0;

bool FileHas(const char* path, const char* word) {
    FILE* file = std::fopen(path, "r");
    if (file == nullptr) return false;
    char line[4096];
    bool found = false;
    while (!found && std::fgets(line, sizeof(line), file) != nullptr) found = std::strstr(line, word) != nullptr;
    std::fclose(file);
    return found;
}

// Trusted where the kernel itself keeps time with an invariant counter: directly ("tsc"), or
// through the hypervisor's clock ("kvm-clock"), which scales the same counter and is kept in step
// across virtual processors; there the counter costs less than half of a wall-clock read.
bool CounterUsable() {
    const char* source = "/sys/devices/system/clocksource/clocksource0/current_clocksource";
    return (FileHas(source, "tsc") || FileHas(source, "kvm-clock")) && FileHas("/proc/cpuinfo", "constant_tsc") &&
           FileHas("/proc/cpuinfo", "nonstop_tsc");
}

// A counter reading and the wall clock at the same moment (the counter read on both sides).
void Sample(uint64_t& ticks, int64_t& nanos) {
    timespec now{};
    const uint64_t before = __rdtsc();
    clock_gettime(CLOCK_REALTIME, &now);
    const uint64_t after = __rdtsc();
    ticks = before + (after - before) / 2;
    nanos = static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

}  // namespace

void CallClock::Publish(uint64_t ticks, int64_t micros, uint64_t perTick) noexcept {
    const uint32_t start = sequence.load(std::memory_order_relaxed);
    sequence.store(start + 1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    baseTicks.store(ticks, std::memory_order_relaxed);
    baseMicros.store(micros, std::memory_order_relaxed);
    scale.store(perTick, std::memory_order_relaxed);
    sequence.store(start + 2, std::memory_order_release);
}

int64_t CallClock::WallMicroseconds() noexcept {
    timeval now{};
    gettimeofday(&now, nullptr);
    return static_cast<int64_t>(static_cast<double>(now.tv_sec) * 1000.0 * 1000.0) + now.tv_usec;
}

void CallClock::Calibrate() noexcept {
    // One calibrating thread is the rule; a second one (two relays in one process) just waits its turn.
    std::unique_lock<std::mutex> lock(calibrationMutex, std::try_to_lock);
    if (!lock.owns_lock() || state == State::Unusable) return;
    if (state == State::Unknown) {
        if (!CounterUsable()) {
            state = State::Unusable;
            return;
        }
        Sample(firstTicks, firstNanos);
        state = State::Measuring;
        return;
    }
    uint64_t ticks;
    int64_t nanos;
    Sample(ticks, nanos);
    // 20 ms of base already give the rate to a few parts per million; the slew limit makes up what
    // the longer bases of later calibrations correct.
    if (ticks <= firstTicks || nanos - firstNanos < 20000000) return;  // too short a base yet
    // Ticks per second over everything seen so far: the longer, the finer.
    const double ticksPerSecond =
        static_cast<double>(ticks - firstTicks) * 1e9 / static_cast<double>(nanos - firstNanos);
    if (ticksPerSecond < 1e6) {
        state = State::Unusable;
        published.store(false, std::memory_order_release);
        return;
    }
    const int64_t wall = nanos / 1000;
    int64_t start = wall;
    int64_t correction = 0;
    if (state == State::Running) {
        const int64_t mapped = Map(ticks, baseTicks.load(std::memory_order_relaxed),
                                   baseMicros.load(std::memory_order_relaxed), scale.load(std::memory_order_relaxed));
        const int64_t offset = wall - mapped;
        if (offset < StepMicroseconds && offset > -StepMicroseconds) {
            // Continue where the stamps are and make the offset up over the next second.
            start = mapped;
            correction = offset > SlewMicrosecondsPerSecond    ? SlewMicrosecondsPerSecond
                         : offset < -SlewMicrosecondsPerSecond ? -SlewMicrosecondsPerSecond
                                                               : offset;
        }
    }
    const double microsPerTick = (1e6 + static_cast<double>(correction)) / ticksPerSecond;
    Publish(ticks, start, static_cast<uint64_t>(microsPerTick * static_cast<double>(uint64_t{1} << Shift)));
    state = State::Running;
    published.store(true, std::memory_order_release);
}

void CallClock::Reset() noexcept {
    std::lock_guard<std::mutex> lock(calibrationMutex);
    published.store(false, std::memory_order_release);
    state = State::Unknown;
}
