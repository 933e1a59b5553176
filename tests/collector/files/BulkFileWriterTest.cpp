// Direct writes cover whole blocks only: whatever the sizes handed in, the file must read back
// as the stream, at the end and after every quiet moment.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "files/BulkFileWriter.h"
#include "FileText.h"

using namespace QuorixCollect;

namespace {

namespace fs = std::filesystem;

std::string Stream(size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string text(size, ' ');
    for (char& c : text) {
        c = static_cast<char>('a' + random() % 26);
    }
    return text;
}

class BulkFileWriterTest : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        std::string pattern = std::string(GetParam()) + "/qx-bulk-XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir = pattern;
        path = dir + "/out";
        fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ASSERT_GE(fd, 0);
    }
    void TearDown() override {
        close(fd);
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }
    std::string dir;
    std::string path;
    int fd = -1;
};

}  // namespace

// A disk's file system and tmpfs: older kernels refuse direct writes on tmpfs, newer take them.
INSTANTIATE_TEST_SUITE_P(FileSystems, BulkFileWriterTest, ::testing::Values("/tmp", "/dev/shm"));

TEST_P(BulkFileWriterTest, AnySizesReadBackAsTheStream) {
    const std::string text = Stream(3 * 1024 * 1024 + 123, 7);
    std::mt19937 random(11);
    BulkFileWriter writer(fd, true, 256 * 1024);
    size_t at = 0;
    size_t checks = 0;
    while (at < text.size()) {
        // Single bytes, blocks and more than the stage holds.
        const size_t sizes[] = {1, BulkFileWriter::Block, BulkFileWriter::Block + 1, 70000, 600000};
        const size_t n = std::min(sizes[random() % 5], text.size() - at);
        ASSERT_EQ(writer.Write(text.data() + at, n), 0);
        at += n;
        if (random() % 4 == 0) {
            // After a flush the file holds everything written so far, no more.
            ASSERT_EQ(writer.Flush(), 0);
            ASSERT_EQ(CollectorTest::FileText(path), text.substr(0, at));
            ++checks;
        }
    }
    ASSERT_EQ(writer.Flush(), 0);
    EXPECT_FALSE(writer.TailPending());
    EXPECT_EQ(CollectorTest::FileText(path), text);
    EXPECT_GT(checks, 0u);
}

TEST_P(BulkFileWriterTest, SmallWritesAreInTheFileAtOnce) {
    BulkFileWriter writer(fd, true, 256 * 1024);
    ASSERT_EQ(writer.Write("{\"a\":1}\n", 8), 0);
    EXPECT_FALSE(writer.TailPending());
    EXPECT_EQ(CollectorTest::FileText(path), "{\"a\":1}\n");
    const std::string big = Stream(200 * 1024 + 5, 3);
    ASSERT_EQ(writer.Write(big.data(), big.size()), 0);
    // A large write may keep its last partial block for the next one, never more.
    EXPECT_GE(CollectorTest::FileText(path).size() + BulkFileWriter::Block, big.size() + 8);
    ASSERT_EQ(writer.Flush(), 0);
    EXPECT_EQ(CollectorTest::FileText(path), "{\"a\":1}\n" + big);
}

TEST(BulkFileWriter, NotDirectWhereOffsetsCannotBeTrusted) {
    char pattern[] = "/tmp/qx-bulk-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string path = std::string(pattern) + "/out";
    // Append mode would put positional writes at the end; a pipe has no offsets at all.
    const int appending = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    ASSERT_GE(appending, 0);
    ASSERT_EQ(write(appending, "head\n", 5), 5);
    {
        BulkFileWriter writer(appending, true, 64 * 1024);
        EXPECT_FALSE(writer.Direct());
        const std::string text = Stream(100000, 5);
        ASSERT_EQ(writer.Write(text.data(), text.size()), 0);
        EXPECT_EQ(CollectorTest::FileText(path), "head\n" + text);
    }
    close(appending);
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    {
        BulkFileWriter writer(pipeFds[1], true, 64 * 1024);
        EXPECT_FALSE(writer.Direct());
        ASSERT_EQ(writer.Write("x", 1), 0);
        char c = 0;
        ASSERT_EQ(read(pipeFds[0], &c, 1), 1);
        EXPECT_EQ(c, 'x');
    }
    close(pipeFds[0]);
    close(pipeFds[1]);
    std::error_code ignored;
    fs::remove_all(pattern, ignored);
}

TEST(BulkFileWriter, FullDeviceReportsItsError) {
    const int full = open("/dev/full", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(full, 0);
    BulkFileWriter writer(full, true, 64 * 1024);
    const std::string text = Stream(10000, 1);
    EXPECT_EQ(writer.Write(text.data(), text.size()), ENOSPC);
    close(full);
}
