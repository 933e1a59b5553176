#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <deque>
#include <map>
#include <mutex>
#include <queue>
#include <string>

#include "environment/Configuration.h"
#include "platform/Export.h"

// Tag that starts every line of a level; published for diagnostic tools as well.
extern QX_EXPORT std::map<LogLevel, std::string> LogLevelMap;

// Where a line comes from. A line starts "[<pid>][<area>] " so that a reader can pick out one
// process and one part of it; the logger adds the process id.
class LogArea {
public:
    // Only a string literal, checked while compiling: a name that would break the "[...]" shape
    // of the line, or one made at run time, does not build.
    template <size_t Size>
    consteval LogArea(const char (&name)[Size]) : text(name), shape(Shape::Named) {
        if (Size < 2) throw "a log area needs a name";
        for (size_t i = 0; i + 1 < Size; ++i) {
            const char c = name[i];
            if (c == '[' || c == ']' || c == '%' || c < ' ' || c == 0x7f) throw "a log area is plain text";
        }
        if (name[Size - 1] != '\0') throw "a log area is a string literal";
    }

    // "[<pid>] text", and the text exactly as given: for lines whose wording is already relied
    // on elsewhere in that shape.
    static const LogArea ProcessIdOnly;
    static const LogArea Unprefixed;

    const char* Name() const { return text; }
    bool HasProcessId() const { return shape != Shape::Unprefixed; }

private:
    enum class Shape : uint8_t { Named, ProcessIdOnly, Unprefixed };
    constexpr LogArea(Shape fixed) : text(""), shape(fixed) {}

    const char* text;
    Shape shape;
};

inline constexpr LogArea LogArea::ProcessIdOnly{LogArea::Shape::ProcessIdOnly};
inline constexpr LogArea LogArea::Unprefixed{LogArea::Shape::Unprefixed};

// Formats on the caller's thread, writes on one background thread: a runtime thread never
// waits for the disk or the console. Never destroyed while the process runs.
class Logger {
public:
    Logger(LogLevel level, const std::string& folder, bool toConsole, uint64_t processId);
    // Stops the worker and waits for it before anything it uses goes away.
    ~Logger();

    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

    // Never throws and never does I/O: safe on a runtime thread inside a hook.
    void Log(LogLevel level, const char* format, ...) __attribute__((format(printf, 3, 4)));
    // The same behind the area's prefix; the prefix and the text share one line of at most
    // messageBufferSize - 1 characters.
    void LogFrom(LogLevel level, LogArea area, const char* format, ...) __attribute__((format(printf, 4, 5)));
    void Start();
    // Ends the worker after the line in hand; queued lines stay queued until the next Start.
    void Stop();
    // Waits until every queued line has been written; false when that did not happen in time.
    bool Flush(std::chrono::milliseconds timeout);
    void SendToConsole(const std::string& text);
    void SendToFile(const std::string& text);

    bool IsEnabled(LogLevel level) const {
        return logLevel != LogLevel::Nothing && static_cast<int8_t>(level) >= static_cast<int8_t>(logLevel);
    }
    bool HasFile() const { return logFile >= 0; }
    const std::string& GetFilePath() const { return filePath; }
    size_t QueuedLines();

    // <folder>/Profiler-log-<UTC %Y-%m-%d_%H-%M>-<pid>.log
    static std::string BuildFilePath(const std::string& folder, std::time_t now, uint64_t processId);

    static constexpr uint64_t maxQueuedLinesDefault = 10000;
    static constexpr size_t messageBufferSize = 4096;

private:
    static constexpr int lowestLevel = static_cast<int>(LogLevel::Everything);
    static constexpr int highestLevel = static_cast<int>(LogLevel::Nothing);

    void Write(LogLevel level, LogArea area, const char* format, va_list args) __attribute__((format(printf, 4, 0)));
    void Run();
    void OpenFile(const std::string& folder, uint64_t processId);
    void WriteBanner();
    const std::string& TagOf(LogLevel level) const;

    std::queue<std::string, std::deque<std::string>> lines;
    std::mutex linesMutex;
    std::condition_variable linesAvailable;
    // Signals Flush and Stop: the queue drained or the worker ended.
    std::condition_variable workerProgress;
    // Length of `lines` for the lock-free early drop in Log; changed only under linesMutex.
    std::atomic<size_t> queuedCount{0};
    uint64_t maxQueuedLines = maxQueuedLinesDefault;
    LogLevel logLevel;
    bool logToConsole;
    bool running = false;
    bool workerActive = false;
    bool writing = false;
    int logFile = -1;
    std::string filePath;
    // Own copy of the tags: the global table is destroyed at exit while runtime threads may still log.
    std::array<std::string, highestLevel - lowestLevel + 1> tags;
};

extern QX_EXPORT Logger* g_Logger;

// Logging from anywhere, also before the logger exists or after nothing else is left:
//     QX_LOG(LogLevel::Info, "Boot", "UDP uplink selected");  // "[<pid>][Boot] UDP uplink selected"
// The arguments are not evaluated unless the level is enabled.
#define QX_LOG(level, area, ...)                                   \
    do {                                                           \
        Logger* qxLogger_ = g_Logger;                              \
        if (qxLogger_ != nullptr && qxLogger_->IsEnabled(level))   \
            qxLogger_->LogFrom(level, LogArea(area), __VA_ARGS__); \
    } while (0)

// Straight to standard output: no tag, no line end, no queue, no level test.
void LogProfilerActivity(const char* format, ...) __attribute__((format(printf, 1, 2)));

inline constexpr const char* ProfilerVersionText = "2.3.0";
