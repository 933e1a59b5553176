#pragma once

#include <cstddef>
#include <cstdint>

// What a transport that keeps failing says: the first failure is logged at `Error` at once, and so
// is a failure different from the last one logged; the same one again at most once per interval,
// with how often it happened meanwhile. A success ends the spell, so that the next failure is
// news again. Without it a FIFO without a reader logs on every pass of the relay, hundreds of
// lines a second. Used by one thread at a time (the relay's).
class FailureLog {
public:
    using MonotonicClock = int64_t (*)();
    static constexpr int64_t RepeatInterval = 60000000000LL;  // 60 s in ns

    // The clock (ns) is replaceable for tests; null: the monotonic clock.
    explicit FailureLog(MonotonicClock clock = nullptr);

    // True when the line was logged.
    bool Report(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void Succeeded() { failing = false; }
    bool IsFailing() const { return failing; }

private:
    static constexpr size_t MaxText = 512;

    MonotonicClock now;
    bool failing = false;
    int64_t lastLogged = 0;
    uint64_t repeats = 0;
    char last[MaxText] = {};
};
