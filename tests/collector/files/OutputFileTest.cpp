// Output files carry captured values and API keys: owner-only, and never someone else's file.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "files/OutputFile.h"
#include "FileText.h"

using namespace QuorixCollect;

namespace {

namespace fs = std::filesystem;

class OutputFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/qx-output-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }
    static mode_t Mode(const fs::path& p) {
        struct stat st {};
        EXPECT_EQ(lstat(p.c_str(), &st), 0);
        return st.st_mode & 07777;
    }
    fs::path dir;
};

}  // namespace

TEST_F(OutputFileTest, NewFilesAreOwnerOnlyAndOldOnesNarrowedAndRewritten) {
    const mode_t previous = umask(0);
    std::string error;
    const bool fresh = WriteTextFile((dir / "new.html").string(), "report", error);
    umask(previous);
    ASSERT_TRUE(fresh) << error;
    EXPECT_EQ(Mode(dir / "new.html"), 0600u);

    const fs::path old = dir / "old.json";
    { std::ofstream(old) << "a much longer earlier content that must not survive"; }
    ASSERT_EQ(chmod(old.c_str(), 0666), 0);
    ASSERT_TRUE(WriteTextFile(old.string(), "short", error)) << error;
    EXPECT_EQ(Mode(old), 0600u);
    EXPECT_EQ(CollectorTest::FileText(old), "short");

    // Devices are written as they are.
    std::string reason;
    const int null = OpenOutputFile("/dev/null", reason);
    EXPECT_GE(null, 0) << reason;
    EXPECT_EQ(fcntl(null, F_GETFL) & O_NONBLOCK, 0);
    close(null);
}

TEST_F(OutputFileTest, ALinkOrAnotherUsersFileIsRefusedAndLeftAsItWas) {
    const fs::path victim = dir / "victim";
    { std::ofstream(victim) << "keep"; }
    ASSERT_EQ(chmod(victim.c_str(), 0644), 0);
    fs::create_symlink(victim, dir / "out.json");
    std::string error;
    EXPECT_FALSE(WriteTextFile((dir / "out.json").string(), "secrets", error));
    EXPECT_NE(error.find("symbolic link"), std::string::npos) << error;
    EXPECT_EQ(CollectorTest::FileText(victim), "keep");
    EXPECT_EQ(Mode(victim), 0644u);
    // A dangling link is not followed to create its target either.
    fs::create_symlink(dir / "nowhere", dir / "dangling");
    EXPECT_FALSE(WriteTextFile((dir / "dangling").string(), "secrets", error));
    EXPECT_FALSE(fs::exists(dir / "nowhere"));

    if (geteuid() == 0) {
        ASSERT_EQ(chown(victim.c_str(), 65534, 65534), 0);
        EXPECT_FALSE(WriteTextFile(victim.string(), "secrets", error));
        EXPECT_NE(error.find("another user"), std::string::npos) << error;
        EXPECT_EQ(CollectorTest::FileText(victim), "keep");
        EXPECT_EQ(Mode(victim), 0644u);
    }
}

TEST_F(OutputFileTest, AFifoWithoutAReaderFailsAtOnce) {
    const fs::path fifo = dir / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // A blocking open would wait here for a reader that never comes.
    std::string reason;
    EXPECT_EQ(OpenOutputFile(fifo.string(), reason), -1);
    EXPECT_FALSE(reason.empty());
}
