#include "uplink/FailureLog.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "environment/ErrnoKeeper.h"
#include "environment/Logger.h"
#include "uplink/AgentUplink.h"

FailureLog::FailureLog(MonotonicClock clock) : now(clock != nullptr ? clock : &AgentUplink::MonotonicNow) {}

bool FailureLog::Report(const char* format, ...) {
    ErrnoKeeper keeper;
    char text[MaxText];
    va_list args;
    va_start(args, format);
    const int written = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (written < 0) text[0] = '\0';

    const int64_t at = now();
    const bool same = failing && std::strcmp(text, last) == 0;
    if (same && at - lastLogged < RepeatInterval) {
        ++repeats;
        return false;
    }
    if (same && repeats > 0) {
        QX_LOG(LogLevel::Error, LogArea::Unprefixed, "%s (%llu more times since the last report)", text,
               static_cast<unsigned long long>(repeats));
    } else {
        QX_LOG(LogLevel::Error, LogArea::Unprefixed, "%s", text);
    }
    std::memcpy(last, text, sizeof text);
    failing = true;
    lastLogged = at;
    repeats = 0;
    return true;
}
