#include "environment/Logger.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <stdexcept>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "environment/ErrorBoundary.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr uint64_t testProcessId = 4711;

std::vector<std::string> ReadLines(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> result;
    for (std::string line; std::getline(in, line);) result.push_back(line);
    return result;
}

std::string ReadAll(const std::string& path) {
    std::ifstream in(path);
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

class LoggerTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "qx-logger-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        root = pattern;
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }

    std::unique_ptr<Logger> Make(LogLevel level, const std::string& folder, bool console = false,
                                 uint64_t pid = testProcessId) {
        return std::make_unique<Logger>(level, folder, console, pid);
    }

    fs::path root;
};

TEST(LoggerFileNameTest, UsesUtcMinuteAndProcessId) {
    std::tm when{};
    when.tm_year = 2024 - 1900;
    when.tm_mon = 2;
    when.tm_mday = 5;
    when.tm_hour = 14;
    when.tm_min = 7;
    when.tm_sec = 59;
    const std::time_t stamp = timegm(&when);
    EXPECT_EQ(Logger::BuildFilePath("/logs", stamp, 4711), "/logs/Profiler-log-2024-03-05_14-07-4711.log");
    EXPECT_EQ(Logger::BuildFilePath("rel/dir", stamp, 4712), "rel/dir/Profiler-log-2024-03-05_14-07-4712.log");
}

TEST_F(LoggerTest, LevelNothingCreatesNothingAndQueuesNothing) {
    const fs::path folder = root / "never";
    auto logger = Make(LogLevel::Nothing, folder.string(), true);
    EXPECT_FALSE(fs::exists(folder));
    EXPECT_FALSE(logger->HasFile());
    testing::internal::CaptureStdout();
    logger->Log(LogLevel::Critical, "dropped %d", 1);
    logger->Log(LogLevel::Nothing, "dropped %d", 2);
    EXPECT_EQ(logger->QueuedLines(), 0u);
    EXPECT_TRUE(logger->Flush(0ms)) << "nothing is pending";
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_FALSE(logger->IsEnabled(LogLevel::Critical));
}

TEST_F(LoggerTest, CreatesNestedFolderAndStartsWithTheBanner) {
    const fs::path folder = root / "a" / "b" / "c";
    auto logger = Make(LogLevel::Info, folder.string());
    ASSERT_TRUE(logger->HasFile());
    EXPECT_TRUE(fs::is_directory(folder));
    const fs::path file(logger->GetFilePath());
    EXPECT_EQ(file.parent_path(), folder);
    EXPECT_EQ(file.filename().string().rfind("Profiler-log-", 0), 0u);
    EXPECT_TRUE(file.filename().string().ends_with("-4711.log"));

    struct stat info {};
    ASSERT_EQ(stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0007, 0u) << "no access for others";

    logger->Log(LogLevel::Info, "[%lu][Boot] UDP uplink selected", 42ul);
    ASSERT_TRUE(logger->Flush(5s));
    const auto lines = ReadLines(file);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "Logger::Logger - Logger initialized (LogLevel: 2, LogToConsole: false, LogToFile: true)");
    EXPECT_EQ(lines[1], "Profiler Version: 2.3.0");
    EXPECT_EQ(lines[2], "[    INFO] [42][Boot] UDP uplink selected");
}

TEST_F(LoggerTest, EverythingWritesAllLevelsWithTheirTags) {
    auto logger = Make(LogLevel::Everything, root.string());
    ASSERT_TRUE(logger->HasFile());
    const LogLevel levels[] = {LogLevel::Everything, LogLevel::Verbose, LogLevel::Trace, LogLevel::Debug,
                               LogLevel::Info,       LogLevel::Warning, LogLevel::Error, LogLevel::Critical};
    for (LogLevel level : levels) logger->Log(level, "level %d", static_cast<int>(level));
    ASSERT_TRUE(logger->Flush(5s));
    const std::vector<std::string> expected = {
        "Logger::Logger - Logger initialized (LogLevel: -2, LogToConsole: false, LogToFile: true)",
        "Profiler Version: 2.3.0",
        "[   TRACE] level -2",
        "[   TRACE] level -1",
        "[   TRACE] level 0",
        "[   DEBUG] level 1",
        "[    INFO] level 2",
        "[ WARNING] level 3",
        "[   ERROR] level 4",
        "[CRITICAL] level 5",
    };
    EXPECT_EQ(ReadLines(logger->GetFilePath()), expected);
}

TEST_F(LoggerTest, LinesBelowTheLevelAreDropped) {
    auto logger = Make(LogLevel::Info, root.string());
    EXPECT_FALSE(logger->IsEnabled(LogLevel::Debug));
    EXPECT_TRUE(logger->IsEnabled(LogLevel::Error));
    logger->Log(LogLevel::Debug, "quiet");
    logger->Log(LogLevel::Trace, "quiet");
    EXPECT_EQ(logger->QueuedLines(), 0u);
    logger->Log(LogLevel::Error, "loud %s", "error");
    ASSERT_TRUE(logger->Flush(5s));
    const auto lines = ReadLines(logger->GetFilePath());
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[2], "[   ERROR] loud error");
}

TEST_F(LoggerTest, LongMessagesAreCutTo4095Characters) {
    auto logger = Make(LogLevel::Info, root.string());
    const std::string longText(5000, 'x');
    logger->Log(LogLevel::Info, "%s", longText.c_str());
    const std::string exact(4095, 'y');
    logger->Log(LogLevel::Info, "%s", exact.c_str());
    ASSERT_TRUE(logger->Flush(5s));
    const auto lines = ReadLines(logger->GetFilePath());
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[2], "[    INFO] " + std::string(4095, 'x'));
    EXPECT_EQ(lines[3], "[    INFO] " + exact);
}

TEST_F(LoggerTest, QueueHoldsAtMostTenThousandLines) {
    auto logger = Make(LogLevel::Info, root.string());
    logger->Stop();
    for (int i = 0; i < 10000; ++i) logger->Log(LogLevel::Info, "line %d", i);
    EXPECT_EQ(logger->QueuedLines(), 10000u);
    logger->Log(LogLevel::Critical, "one too many");
    EXPECT_EQ(logger->QueuedLines(), 10000u);
    EXPECT_FALSE(logger->Flush(0ms));

    logger->Start();
    ASSERT_TRUE(logger->Flush(30s));
    EXPECT_EQ(logger->QueuedLines(), 0u);
    const auto lines = ReadLines(logger->GetFilePath());
    ASSERT_EQ(lines.size(), 10002u);
    EXPECT_EQ(lines[2], "[    INFO] line 0");
    EXPECT_EQ(lines.back(), "[    INFO] line 9999");
    // Room again once drained.
    logger->Log(LogLevel::Info, "after");
    ASSERT_TRUE(logger->Flush(5s));
    EXPECT_EQ(ReadLines(logger->GetFilePath()).back(), "[    INFO] after");
}

TEST_F(LoggerTest, SameProcessInTheSameMinuteAppends) {
    // The name has minute resolution: retry if the clock crosses a minute between the two loggers.
    for (int attempt = 0; attempt < 3; ++attempt) {
        std::string firstPath;
        {
            auto first = Make(LogLevel::Info, root.string());
            first->Log(LogLevel::Info, "first run");
            ASSERT_TRUE(first->Flush(5s));
            firstPath = first->GetFilePath();
        }
        auto second = Make(LogLevel::Info, root.string());
        second->Log(LogLevel::Info, "second run");
        ASSERT_TRUE(second->Flush(5s));
        if (second->GetFilePath() != firstPath) {
            fs::remove_all(root);
            fs::create_directories(root);
            continue;
        }
        const auto lines = ReadLines(firstPath);
        ASSERT_EQ(lines.size(), 6u);
        EXPECT_EQ(lines[2], "[    INFO] first run");
        EXPECT_EQ(lines[3].rfind("Logger::Logger", 0), 0u);
        EXPECT_EQ(lines[5], "[    INFO] second run");
        return;
    }
    FAIL() << "clock kept crossing minute boundaries";
}

TEST_F(LoggerTest, RefusesToFollowALinkPlantedAtTheLogPath) {
    const fs::path victim = root / "victim";
    std::ofstream(victim) << "precious\n";
    // Plant links for this minute and the next, in case the clock moves on meanwhile.
    const std::time_t now = std::time(nullptr);
    for (std::time_t when : {now, now + 60}) {
        fs::create_symlink(victim, Logger::BuildFilePath(root.string(), when, testProcessId));
    }
    auto logger = Make(LogLevel::Info, root.string());
    if (logger->HasFile()) {
        EXPECT_FALSE(fs::is_symlink(logger->GetFilePath())) << "only a later minute may have a file";
    }
    logger->Log(LogLevel::Info, "must not reach the victim");
    ASSERT_TRUE(logger->Flush(5s));
    EXPECT_EQ(ReadAll(victim.string()), "precious\n");
}

TEST_F(LoggerTest, FifoPlantedAtTheLogPathNeitherBlocksNorReceivesTheLog) {
    // FIFOs for this minute and the next: a blocking open would wait for a reader forever.
    std::vector<std::string> planted;
    const std::time_t now = std::time(nullptr);
    for (std::time_t when : {now, now + 60}) {
        planted.push_back(Logger::BuildFilePath(root.string(), when, testProcessId));
        ASSERT_EQ(mkfifo(planted.back().c_str(), 0666), 0);
    }
    std::promise<std::unique_ptr<Logger>> made;
    std::future<std::unique_ptr<Logger>> logger = made.get_future();
    testing::internal::CaptureStdout();
    std::thread starter([&] { made.set_value(Make(LogLevel::Info, root.string(), true)); });
    const bool prompt = logger.wait_for(5s) == std::future_status::ready;
    if (!prompt) {
        // Release the stuck open so that the test can end.
        for (const std::string& fifo : planted) ::close(::open(fifo.c_str(), O_RDONLY | O_NONBLOCK));
    }
    starter.join();
    std::unique_ptr<Logger> started = logger.get();
    started->Log(LogLevel::Warning, "still %s", "alive");
    ASSERT_TRUE(started->Flush(5s));
    const std::string output = testing::internal::GetCapturedStdout();
    ASSERT_TRUE(prompt) << "the logger hung opening a FIFO";
    if (started->HasFile()) {
        EXPECT_EQ(planted.end(), std::find(planted.begin(), planted.end(), started->GetFilePath()));
    } else {
        EXPECT_NE(output.find("LogToFile: false"), std::string::npos) << output;
        EXPECT_NE(output.find("[   ERROR] Unable to open log file " + planted[0] + " - "), std::string::npos) << output;
    }
    EXPECT_NE(output.find("[ WARNING] still alive\n"), std::string::npos) << output;
}

TEST_F(LoggerTest, FileOfAnotherUserAtTheLogPathIsLeftAlone) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to give the file away";
    const std::time_t now = std::time(nullptr);
    std::vector<std::string> planted;
    for (std::time_t when : {now, now + 60}) {
        planted.push_back(Logger::BuildFilePath(root.string(), when, testProcessId));
        std::ofstream(planted.back()) << "theirs\n";
        ASSERT_EQ(::chown(planted.back().c_str(), 65534, 65534), 0);
        ASSERT_EQ(::chmod(planted.back().c_str(), 0666), 0);
    }
    auto logger = Make(LogLevel::Info, root.string());
    logger->Log(LogLevel::Info, "not for them");
    ASSERT_TRUE(logger->Flush(5s));
    for (const std::string& file : planted) EXPECT_EQ(ReadAll(file), "theirs\n");
}

TEST_F(LoggerTest, FolderThatCannotBeCreatedIsReportedAndLoggingGoesOn) {
    const fs::path blocker = root / "plain-file";
    std::ofstream(blocker) << "x";
    testing::internal::CaptureStdout();
    auto logger = Make(LogLevel::Info, (blocker / "sub").string(), true);
    logger->Log(LogLevel::Warning, "still %s", "alive");
    const bool flushed = logger->Flush(5s);
    const std::string output = testing::internal::GetCapturedStdout();
    ASSERT_TRUE(flushed);
    EXPECT_FALSE(logger->HasFile());
    EXPECT_NE(output.find("Logger::Logger - Logger initialized (LogLevel: 2, LogToConsole: true, LogToFile: false)\n"
                          "Profiler Version: 2.3.0\n"),
              std::string::npos)
        << output;
    EXPECT_NE(output.find("[   ERROR] Exception while trying to open log file: "), std::string::npos) << output;
    EXPECT_NE(output.find("[ WARNING] still alive\n"), std::string::npos) << output;
}

TEST_F(LoggerTest, ConcurrentCallersLoseNoLineAndNeverInterleave) {
    auto logger = Make(LogLevel::Info, root.string());
    constexpr int threads = 4;
    constexpr int perThread = 500;
    std::vector<std::thread> callers;
    for (int t = 0; t < threads; ++t) {
        callers.emplace_back([&logger, t] {
            for (int i = 0; i < perThread; ++i) logger->Log(LogLevel::Info, "thread %d line %d end", t, i);
        });
    }
    for (auto& caller : callers) caller.join();
    ASSERT_TRUE(logger->Flush(10s));
    const auto lines = ReadLines(logger->GetFilePath());
    ASSERT_EQ(lines.size(), 2u + threads * perThread);
    std::vector<int> next(threads, 0);
    for (size_t i = 2; i < lines.size(); ++i) {
        int t = -1;
        int n = -1;
        ASSERT_EQ(sscanf(lines[i].c_str(), "[    INFO] thread %d line %d end", &t, &n), 2) << lines[i];
        ASSERT_TRUE(t >= 0 && t < threads);
        EXPECT_EQ(n, next[t]++) << "each caller's lines stay in order";
    }
}

TEST_F(LoggerTest, LogLeavesErrnoAsItWas) {
    auto logger = Make(LogLevel::Info, root.string());
    errno = EAGAIN;
    logger->Log(LogLevel::Info, "keeps errno");
    EXPECT_EQ(errno, EAGAIN);
    errno = ENOENT;
    logger->Log(LogLevel::Debug, "filtered");
    EXPECT_EQ(errno, ENOENT);
}

TEST_F(LoggerTest, DestroyingWhileTheWorkerIsBusyIsSafe) {
    for (int round = 0; round < 20; ++round) {
        auto logger = Make(LogLevel::Info, root.string());
        for (int i = 0; i < 200; ++i) logger->Log(LogLevel::Info, "round %d line %d", round, i);
        logger.reset();
    }
    SUCCEED();
}

TEST_F(LoggerTest, MacroSkipsWhenNoLoggerExists) {
    Logger* saved = g_Logger;
    g_Logger = nullptr;
    int evaluated = 0;
    QX_LOG(LogLevel::Critical, "Test", "%d", ++evaluated);
    QX_LOG(LogLevel::Critical, LogArea::ProcessIdOnly, "%d", ++evaluated);
    EXPECT_EQ(evaluated, 0);

    auto logger = Make(LogLevel::Warning, root.string());
    g_Logger = logger.get();
    QX_LOG(LogLevel::Info, "Test", "%d", ++evaluated);
    EXPECT_EQ(evaluated, 0) << "arguments of a disabled level are not evaluated";
    EXPECT_EQ(logger->QueuedLines(), 0u);
    QX_LOG(LogLevel::Warning, "Test", "via macro %d", ++evaluated);
    EXPECT_EQ(evaluated, 1);
    g_Logger = saved;
    ASSERT_TRUE(logger->Flush(5s));
    EXPECT_EQ(ReadLines(logger->GetFilePath()).back(),
              "[ WARNING] [" + std::to_string(getpid()) + "][Test] via macro 1");
}

TEST_F(LoggerTest, AreaDecidesThePrefix) {
    auto logger = Make(LogLevel::Info, root.string());
    const std::string pid = std::to_string(getpid());
    logger->LogFrom(LogLevel::Info, "Boot", "UDP uplink selected");
    logger->LogFrom(LogLevel::Error, "VariableInfo::ParseType", "Exception: %s", "broken");
    logger->LogFrom(LogLevel::Info, LogArea::ProcessIdOnly, "Mapping %s::%s", "Shop.Order", "Place");
    logger->LogFrom(LogLevel::Info, LogArea::Unprefixed, "RelayWorker [Start] Run");
    logger->LogFrom(LogLevel::Info, "Empty", "%s", "");
    logger->LogFrom(LogLevel::Debug, "Boot", "below the level");
    ASSERT_TRUE(logger->Flush(5s));
    const auto lines = ReadLines(logger->GetFilePath());
    const std::vector<std::string> expected = {
        "[    INFO] [" + pid + "][Boot] UDP uplink selected",
        "[   ERROR] [" + pid + "][VariableInfo::ParseType] Exception: broken",
        "[    INFO] [" + pid + "] Mapping Shop.Order::Place",
        "[    INFO] RelayWorker [Start] Run",
        "[    INFO] [" + pid + "][Empty] ",
    };
    ASSERT_EQ(lines.size(), 2u + expected.size());
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 2, lines.end()), expected);
}

TEST_F(LoggerTest, PrefixCountsTowardsTheLineLimit) {
    auto logger = Make(LogLevel::Info, root.string());
    const std::string prefix = "[" + std::to_string(getpid()) + "][Long] ";
    const std::string longText(5000, 'z');
    logger->LogFrom(LogLevel::Info, "Long", "%s", longText.c_str());
    ASSERT_TRUE(logger->Flush(5s));
    const auto lines = ReadLines(logger->GetFilePath());
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[2], "[    INFO] " + prefix + std::string(Logger::messageBufferSize - 1 - prefix.size(), 'z'));
}

TEST_F(LoggerTest, UnhandledExceptionsAreLoggedWithTheOperationAsArea) {
    auto logger = Make(LogLevel::Info, root.string());
    Logger* saved = g_Logger;
    g_Logger = logger.get();
    RunGuarded("Enter", [] { throw "stack broken"; });
    RunGuarded("ThreadCreated", [] { throw std::runtime_error("no memory"); });
    g_Logger = saved;
    ASSERT_TRUE(logger->Flush(5s));
    const auto lines = ReadLines(logger->GetFilePath());
    const std::string pid = std::to_string(getpid());
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[2], "[   ERROR] [" + pid + "][Enter] Unhandled Exception: stack broken");
    EXPECT_EQ(lines[3], "[   ERROR] [" + pid + "][ThreadCreated] Unhandled Exception: no memory");
}

}  // namespace
