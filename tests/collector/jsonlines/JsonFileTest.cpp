// The JSON file's writer thread: lines in order, a bounded hand-over that makes the reading side
// wait instead of growing, everything out at the end, and a failing file that stops only itself.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "jsonlines/JsonFile.h"
#include "FileText.h"

using namespace QuorixCollect;

namespace {

namespace fs = std::filesystem;

std::string Line(int i) { return "{\"type\":1,\"n\":" + std::to_string(i) + "}\n"; }

// Appends lines the way the session does: drained once the buffer reaches drainAt.
std::string Feed(JsonFile& file, int from, int to) {
    std::string expected;
    for (int i = from; i < to; ++i) {
        file.buffer += Line(i);
        expected += Line(i);
        if (file.buffer.size() >= file.drainAt) {
            file.Drain();
        }
    }
    return expected;
}

class JsonFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/qx-jsonfile-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }
    std::string dir;
};

}  // namespace

TEST_F(JsonFileTest, LinesArriveInOrderAndCompleteAtClose) {
    const std::string path = dir + "/out.jsonl";
    std::string expected;
    {
        JsonFile file;
        std::string error;
        ASSERT_TRUE(file.Open(path, error)) << error;
        expected = Feed(file, 0, 200000);
        file.Drain();
        expected += Feed(file, 200000, 200003);  // a few lines left in the buffer at the end
        file.Close();
        EXPECT_FALSE(file.Failed());
    }
    EXPECT_EQ(CollectorTest::FileText(path), expected);
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(JsonFileTest, KeptBlockGoesOutWhenNothingFollows) {
    const std::string path = dir + "/out.jsonl";
    JsonFile::Options options;
    options.quiet = std::chrono::milliseconds(5);
    JsonFile file(options);
    std::string error;
    ASSERT_TRUE(file.Open(path, error)) << error;
    // One large hand-over, as under load: its last partial block may be kept for the next one.
    const std::string expected = Feed(file, 0, 40000);
    file.Drain();
    // Nothing follows: the writer must complete the file by itself, without Close.
    for (int i = 0; i < 2000 && CollectorTest::FileText(path).size() != expected.size(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(CollectorTest::FileText(path), expected);
    file.Close();
}

TEST_F(JsonFileTest, SlowReaderMakesDrainWaitInsteadOfGrowing) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_GE(fcntl(fds[1], F_SETPIPE_SZ, 4096), 0);
    JsonFile::Options options;
    options.inFlight = 2;
    JsonFile file(options);
    file.drainAt = 64 * 1024;
    file.Attach(fds[1], true);
    std::atomic<bool> reading{false};
    std::string received;
    std::thread reader([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        reading = true;
        char chunk[65536];
        ssize_t n;
        while ((n = read(fds[0], chunk, sizeof chunk)) > 0) {
            received.append(chunk, static_cast<size_t>(n));
        }
    });
    // The first buffer stalls the writer on the full pipe, the second waits behind it; the third
    // finds both places taken and may be handed over only once the reader empties the pipe.
    std::string expected;
    for (const char c : {'a', 'b', 'c'}) {
        file.buffer.assign(256 * 1024, c);
        expected += file.buffer;
        file.Drain();
        EXPECT_TRUE(file.buffer.empty());
    }
    EXPECT_TRUE(reading);
    file.buffer = "tail\n";
    expected += file.buffer;
    file.Close();  // closes the pipe: the reader sees its end
    reader.join();
    EXPECT_EQ(received, expected);
    EXPECT_FALSE(file.Failed());
    close(fds[0]);
}

TEST_F(JsonFileTest, WriteErrorStopsTheFileOnceAndNeverHangs) {
    const int full = open("/dev/full", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(full, 0);
    JsonFile file;
    file.Attach(full, true);
    testing::internal::CaptureStderr();
    Feed(file, 0, 100000);  // many drains after the first failure
    file.Drain();
    file.Close();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(file.Failed());
    EXPECT_EQ(err, "quorix-collect: writing JSON output failed (No space left on device); JSON output stopped\n");
}

TEST_F(JsonFileTest, ClosedReaderIsAnErrorNotASignal) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    close(fds[0]);
    // The collector ignores SIGPIPE; so does this test, as the program would.
    struct sigaction ignore {
    }, previous{};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &previous);
    JsonFile file;
    file.Attach(fds[1], true);
    testing::internal::CaptureStderr();
    Feed(file, 0, 1000);
    file.Close();
    const std::string err = testing::internal::GetCapturedStderr();
    sigaction(SIGPIPE, &previous, nullptr);
    EXPECT_TRUE(file.Failed());
    EXPECT_NE(err.find("Broken pipe"), std::string::npos) << err;
}

TEST_F(JsonFileTest, MissingFolderIsRefusedAtOpen) {
    JsonFile file;
    std::string error;
    EXPECT_FALSE(file.Open(dir + "/no/such/out.jsonl", error));
    EXPECT_NE(error.find("cannot open JSON output"), std::string::npos);
    file.Close();
}
