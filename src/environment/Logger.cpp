#include "environment/Logger.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <thread>

#include "environment/ErrnoKeeper.h"

// Built before anything else in the library so that the logger created at load finds it filled.
std::map<LogLevel, std::string> LogLevelMap __attribute__((init_priority(101))) = {
    {LogLevel::Nothing, "n/a"},         {LogLevel::Everything, "[   TRACE] "}, {LogLevel::Verbose, "[   TRACE] "},
    {LogLevel::Trace, "[   TRACE] "},   {LogLevel::Debug, "[   DEBUG] "},      {LogLevel::Info, "[    INFO] "},
    {LogLevel::Warning, "[ WARNING] "}, {LogLevel::Error, "[   ERROR] "},      {LogLevel::Critical, "[CRITICAL] "},
};

Logger* g_Logger = nullptr;

namespace {

std::atomic<pid_t> cachedProcessId{0};

void ForgetProcessId() { cachedProcessId.store(0, std::memory_order_relaxed); }

// Never destroyed: late lines at process exit may still ask for it.
const std::string& noTag = *new std::string();

// Cached: lines are written from inside the runtime's hooks. Safe at any moment of the process's life.
unsigned long ProcessId() {
    pid_t pid = cachedProcessId.load(std::memory_order_relaxed);
    if (pid == 0) {
        // A forked child must not report its parent's id.
        static const bool forgetOnFork = pthread_atfork(nullptr, nullptr, &ForgetProcessId) == 0;
        (void)forgetOnFork;
        pid = getpid();
        cachedProcessId.store(pid, std::memory_order_relaxed);
    }
    return static_cast<unsigned long>(pid);
}

}  // namespace

void LogProfilerActivity(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
}

Logger::Logger(LogLevel level, const std::string& folder, bool toConsole, uint64_t processId)
    : logLevel(level), logToConsole(toConsole) {
    // Built at library load: nothing may escape into the host's start-up.
    try {
        for (const auto& [tagLevel, tag] : LogLevelMap) {
            const int index = static_cast<int>(tagLevel);
            if (index >= lowestLevel && index <= highestLevel) tags[index - lowestLevel] = tag;
        }
    } catch (...) {}
    if (logLevel == LogLevel::Nothing) return;

    if (!folder.empty()) OpenFile(folder, processId);
    WriteBanner();
    Start();
}

Logger::~Logger() {
    Stop();
    if (logFile >= 0) {
        ::close(logFile);
        logFile = -1;
    }
}

std::string Logger::BuildFilePath(const std::string& folder, std::time_t now, uint64_t processId) {
    std::tm utc{};
    gmtime_r(&now, &utc);
    char stamp[64];
    const size_t length = std::strftime(stamp, sizeof stamp, "%Y-%m-%d_%H-%M", &utc);
    return folder + "/Profiler-log-" + std::string(stamp, length) + "-" + std::to_string(processId) + ".log";
}

void Logger::OpenFile(const std::string& folder, uint64_t processId) {
    try {
        namespace fs = std::filesystem;
        const fs::path folderPath(folder);
        if (!fs::exists(fs::status(folderPath))) fs::create_directories(folderPath);
        if (!fs::exists(fs::status(folderPath))) return;

        std::string path = BuildFilePath(folder, std::time(nullptr), processId);
        // The folder may be shared with other users: never follow a planted link, never write
        // into anything but a regular file of our own, and keep the log away from child
        // processes. Non-blocking, so that a FIFO planted at the name cannot hold the host's
        // start-up in open(); the file itself is then written blocking.
        int fd;
        do {
            fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0640);
        } while (fd < 0 && errno == EINTR);
        if (fd < 0) {
            char reason[128];
            Log(LogLevel::Error, "Unable to open log file %s - %s", path.c_str(),
                strerror_r(errno, reason, sizeof reason));
            return;
        }
        struct stat info {};
        const int flags = ::fcntl(fd, F_GETFL);
        if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::geteuid() || flags < 0 ||
            ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
            ::close(fd);
            Log(LogLevel::Error, "Unable to open log file %s - %s", path.c_str(),
                "not a regular file owned by this user");
            return;
        }
        logFile = fd;
        filePath = std::move(path);
    } catch (const std::exception& e) {
        Log(LogLevel::Error, "Exception while trying to open log file: %s", e.what());
    } catch (...) {
        Log(LogLevel::Error, "Exception while trying to open log file: %s", "unknown error");
    }
}

void Logger::WriteBanner() {
    try {
        const std::string header =
            "Logger::Logger - Logger initialized (LogLevel: " + std::to_string(static_cast<int>(logLevel)) +
            ", LogToConsole: " + (logToConsole ? "true" : "false") + ", LogToFile: " + (HasFile() ? "true" : "false") +
            ")\n";
        const std::string version = std::string("Profiler Version: ") + ProfilerVersionText + "\n";
        for (const std::string* text : {&header, &version}) {
            SendToConsole(*text);
            SendToFile(*text);
        }
    } catch (...) {}
}

const std::string& Logger::TagOf(LogLevel level) const {
    const int index = static_cast<int>(level);
    if (index < lowestLevel || index > highestLevel) return noTag;
    return tags[index - lowestLevel];
}

void Logger::Log(LogLevel level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    Write(level, LogArea::Unprefixed, format, args);
    va_end(args);
}

void Logger::LogFrom(LogLevel level, LogArea area, const char* format, ...) {
    va_list args;
    va_start(args, format);
    Write(level, area, format, args);
    va_end(args);
}

void Logger::Write(LogLevel level, LogArea area, const char* format, va_list args) {
    if (!IsEnabled(level) || format == nullptr) return;
    // Called inside the runtime's hooks, which must find errno as they left it.
    ErrnoKeeper keeper;
    try {
        // Cheap early drop; the bound is enforced exactly under the lock below.
        if (queuedCount.load(std::memory_order_relaxed) >= maxQueuedLines) return;

        char message[messageBufferSize];
        size_t prefixLength = 0;
        if (area.HasProcessId()) {
            const char* name = area.Name();
            const int written = name[0] == '\0'
                                    ? std::snprintf(message, sizeof message, "[%lu] ", ProcessId())
                                    : std::snprintf(message, sizeof message, "[%lu][%s] ", ProcessId(), name);
            if (written > 0) prefixLength = std::min(static_cast<size_t>(written), sizeof message - 1);
        }
        const int formatted = std::vsnprintf(message + prefixLength, sizeof message - prefixLength, format, args);
        if (formatted < 0) message[prefixLength] = '\0';
        const size_t length = ::strnlen(message, sizeof message - 1);

        const std::string& tag = TagOf(level);
        std::string line;
        line.reserve(tag.size() + length + 1);
        line += tag;
        line.append(message, length);
        line += '\n';
        bool queued = false;
        {
            std::lock_guard<std::mutex> lock(linesMutex);
            if (lines.size() < maxQueuedLines) {
                lines.push(std::move(line));
                queuedCount.store(lines.size(), std::memory_order_relaxed);
                queued = true;
            }
        }
        if (queued) linesAvailable.notify_one();
    } catch (...) {
        // Out of memory or a broken lock: the line is lost, the caller is not.
    }
}

size_t Logger::QueuedLines() {
    std::lock_guard<std::mutex> lock(linesMutex);
    return lines.size();
}

void Logger::Start() {
    {
        std::lock_guard<std::mutex> lock(linesMutex);
        if (workerActive) return;
        running = true;
        workerActive = true;
    }
    try {
        std::thread([this] { Run(); }).detach();
    } catch (const std::exception& e) {
        {
            std::lock_guard<std::mutex> lock(linesMutex);
            running = false;
            workerActive = false;
        }
        try {
            const std::string text =
                std::string("Exception while trying to initialize logger queue: ") + e.what() + "\n";
            SendToConsole(text);
            SendToFile(text);
        } catch (...) {}
    }
}

void Logger::Stop() {
    std::unique_lock<std::mutex> lock(linesMutex);
    running = false;
    linesAvailable.notify_all();
    workerProgress.wait(lock, [this] { return !workerActive; });
}

bool Logger::Flush(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(linesMutex);
    return workerProgress.wait_for(lock, timeout, [this] { return (lines.empty() && !writing) || !workerActive; }) &&
           lines.empty() && !writing;
}

void Logger::Run() {
    // The host's signals belong to the host's threads.
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    pthread_setname_np(pthread_self(), "qx-logger");

    std::unique_lock<std::mutex> lock(linesMutex);
    while (running) {
        linesAvailable.wait(lock, [this] { return !lines.empty() || !running; });
        if (!running) break;
        std::string line = std::move(lines.front());
        lines.pop();
        queuedCount.store(lines.size(), std::memory_order_relaxed);
        writing = true;
        lock.unlock();
        if (!line.empty()) {
            SendToConsole(line);
            SendToFile(line);
        }
        lock.lock();
        writing = false;
        if (lines.empty()) workerProgress.notify_all();
    }
    workerActive = false;
    // Notified under the lock: Stop may destroy this object as soon as it can take the lock.
    workerProgress.notify_all();
}

void Logger::SendToConsole(const std::string& text) {
    if (!logToConsole) return;
    std::fwrite(text.data(), 1, text.size(), stdout);
}

void Logger::SendToFile(const std::string& text) {
    if (logFile < 0) return;
    const char* data = text.data();
    size_t left = text.size();
    while (left > 0) {
        const ssize_t written = ::write(logFile, data, left);
        if (written < 0) {
            if (errno == EINTR) continue;
            return;
        }
        data += written;
        left -= static_cast<size_t>(written);
    }
}
