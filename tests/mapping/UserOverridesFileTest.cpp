#include "mapping/UserOverridesFile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <list>

#include "environment/Configuration.h"
#include "mapping/FunctionMapper.h"
#include "mapping/MappingTestSupport.h"

namespace {

using Lines = std::vector<std::string>;

TEST(UserOverridesFileTest, SplitsOnLineFeedsKeepingBlanksAndDroppingACarriageReturn) {
    TempFolder folder;
    const auto contents = UserOverridesFile::Read(folder.Write("a", "+One\r\n\n  two \r\nlast").c_str());
    EXPECT_EQ(contents.status, UserOverridesFile::Status::Read);
    EXPECT_EQ(contents.lines, (Lines{"+One", "", "  two ", "last"}));
    EXPECT_EQ(UserOverridesFile::Read(folder.Write("b", "x\n").c_str()).lines, Lines{"x"});
    EXPECT_TRUE(UserOverridesFile::Read(folder.Write("c", "").c_str()).lines.empty());
}

TEST(UserOverridesFileTest, RefusesWhatIsMissingOrNotARegularFileWithoutBlocking) {
    TempFolder folder;
    EXPECT_EQ(UserOverridesFile::Read(folder.File("missing").c_str()).status, UserOverridesFile::Status::OpenFailed);
    EXPECT_EQ(UserOverridesFile::Read(nullptr).status, UserOverridesFile::Status::OpenFailed);
    const std::string fifo = folder.File("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // A FIFO without a writer would block a plain open for ever.
    EXPECT_EQ(UserOverridesFile::Read(fifo.c_str()).status, UserOverridesFile::Status::NotRegularFile);
    EXPECT_EQ(UserOverridesFile::Read(folder.File("").c_str()).status, UserOverridesFile::Status::NotRegularFile)
        << "a directory";
}

TEST(UserOverridesFileTest, BoundsLineLengthAndFileSize) {
    TempFolder folder;
    const std::string longLine(UserOverridesFile::MaxLineBytes + 1, 'a');
    const std::string fitting(UserOverridesFile::MaxLineBytes, 'b');
    const std::string file = folder.Write("long", "-A.B\n" + longLine + "\n" + fitting + "\n+C.D");
    auto contents = UserOverridesFile::Read(file.c_str());
    EXPECT_EQ(contents.longLinesSkipped, 1u);
    EXPECT_EQ(contents.lines, (Lines{"-A.B", fitting, "+C.D"}));

    // Short lines up to the cap, then a line cut by it, then more that is never read.
    std::string big;
    while (big.size() + 9 <= UserOverridesFile::MaxFileBytes) big += "-Ns.Abcd\n";
    const size_t whole = big.size() / 9;
    big += "-Ns.Cut-by-the-cap\n-Ns.Beyond\n";
    contents = UserOverridesFile::Read(folder.Write("big", big).c_str());
    EXPECT_TRUE(contents.truncated);
    ASSERT_EQ(contents.lines.size(), whole);
    EXPECT_EQ(contents.lines.back(), "-Ns.Abcd");

    const std::string exact(UserOverridesFile::MaxFileBytes, 'x');
    contents = UserOverridesFile::Read(folder.Write("exact", exact).c_str());
    EXPECT_FALSE(contents.truncated) << "a file of exactly the cap is whole";
    EXPECT_EQ(contents.longLinesSkipped, 1u);
}

class OverridesTest : public ::testing::Test {
protected:
    OverridesTest() : mapper(&lookup, [this] { return ++sequence; }) {
        previous = g_Configuration;
        g_Configuration = &configuration;
    }
    ~OverridesTest() override {
        userOverridesEnvironmentValueRaw = nullptr;
        g_Configuration = previous;
    }

    // The setting is read once at load; a test points it at its own file instead.
    void PointAt(const std::string& path) {
        paths.push_back(path);
        configuration.userOverridesFile = paths.back().c_str();
    }

    std::string UseFile(const std::string& contents) {
        const std::string path = folder.Write("overrides.txt", contents);
        PointAt(path);
        return path;
    }
    void Rewrite(const std::string& contents) { folder.Write("overrides.txt", contents); }
    const FunctionInfo* MapTraced(FunctionID id, const std::string& className, const std::string& method,
                                  const std::string& enclosing = "") {
        mapper.AddMonitoredFunction(className, method, "", InspectionType::RawValue, nullptr);
        lookup.Add(id, className, method, enclosing);
        EXPECT_TRUE(mapper.Map(id).second);
        return mapper.GetFunctionInfoByOriginalId(id);
    }

    Configuration configuration{[](const char*) -> const char* { return nullptr; }};
    Configuration* previous = nullptr;
    std::list<std::string> paths;  // the setting keeps a pointer into one of these
    TempFolder folder;
    FakeLookupHelper lookup;
    std::atomic<uint64_t> sequence{100};
    FunctionMapper mapper;
    LogCapture log;
};

TEST_F(OverridesTest, StartupSortsEveryLineFormIntoItsList) {
    UseFile("+MyApp.Api\n-MyApp.Internal\nL-MyApp.Jobs::Poll\nMyApp.Legacy\n");
    mapper.UpdateBlacklistsWhitelistsOnStartup();
    EXPECT_EQ(mapper.GetUserWhitelist(), Lines{"MyApp.Api"});
    EXPECT_EQ(mapper.GetUserBlacklist(), (Lines{"MyApp.Internal", "MyApp.Legacy"}));
    EXPECT_EQ(mapper.GetLiveBlacklist(), std::unordered_set<std::string>{"MyApp.Jobs::Poll"});
    EXPECT_EQ(log.Matching("Attempting parse of user overrides file: ").size(), 1u);
    EXPECT_EQ(log.Matching("[Init] Applying user defined whitelist entry: MyApp.Api").size(), 1u);
    EXPECT_EQ(log.Matching("[Init] Applying user defined blacklist entry: MyApp.Legacy").size(), 1u);
    EXPECT_EQ(log.Matching("[Init] Applying live blacklist entry: MyApp.Jobs::Poll").size(), 1u);
    EXPECT_EQ(log.Matching("[Init] After parsing the user defined overrides file, there are 1 whitelist, 2 blacklist "
                           "entries (user), 1 blacklist entries (live)")
                  .size(),
              1u);
    EXPECT_NE(userOverridesEnvironmentValueRaw, nullptr);
}

TEST_F(OverridesTest, StartupDropsShortLinesAndBareLinesStartingWithL) {
    UseFile("Lucene.Net.\nL-ab\nL-a\n+ab\n\nabc\nabcd\r\n+X.Y\r\n");
    mapper.UpdateBlacklistsWhitelistsOnStartup();
    EXPECT_EQ(mapper.GetLiveBlacklist(), std::unordered_set<std::string>{"ab"});
    EXPECT_EQ(mapper.GetUserBlacklist(), Lines{"abcd"}) << "the carriage return is not part of the entry";
    EXPECT_EQ(mapper.GetUserWhitelist(), Lines{"X.Y"});
    EXPECT_EQ(log.Matching("due to length restriction").size(), 4u);
    EXPECT_EQ(log.Matching("Lucene").size(), 0u) << "dropped silently";

    // The refresh takes the short live line the start-up refused.
    mapper.UpdateLiveBlacklists();
    EXPECT_EQ(mapper.GetLiveBlacklist(), (std::unordered_set<std::string>{"ab", "a"}));
    EXPECT_EQ(log.Matching("[LiveBlacklists] Applying 'live' blacklist entry: ").size(), 1u) << "only the new one";
}

TEST_F(OverridesTest, MissingVariableOrFileChangesNothing) {
    mapper.UpdateLiveBlacklists();
    EXPECT_EQ(log.Matching("[LiveBlacklists] 'MORVEL_USER_OVERRIDES_FILE' has not been set, unable to update "
                           "'live' blacklists")
                  .size(),
              1u);
    mapper.UpdateBlacklistsWhitelistsOnStartup();
    EXPECT_EQ(log.Matching("[Init] 'MORVEL_USER_OVERRIDES_FILE' has not been set, unable to parse "
                           "whitelist/blacklist overrides")
                  .size(),
              1u);
    EXPECT_EQ(userOverridesEnvironmentValueRaw, nullptr);

    PointAt(folder.File("absent.txt"));
    mapper.UpdateBlacklistsWhitelistsOnStartup();
    mapper.UpdateLiveBlacklists();
    EXPECT_EQ(log.Matching("[Init] Failed to open user overrides file: " + folder.File("absent.txt")).size(), 1u);
    EXPECT_EQ(log.Matching("[LiveBlacklists] Failed to open 'live' blacklists file: ").size(), 1u);
    EXPECT_TRUE(mapper.GetUserBlacklist().empty());
    EXPECT_TRUE(mapper.GetLiveBlacklist().empty());
}

TEST_F(OverridesTest, AFifoIsRefusedInsteadOfBlockingTheRuntimeThread) {
    const std::string fifo = folder.File("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    PointAt(fifo);
    mapper.UpdateBlacklistsWhitelistsOnStartup();
    mapper.UpdateLiveBlacklists();
    EXPECT_EQ(log.Matching("not a regular file").size(), 2u);
}

TEST_F(OverridesTest, OversizedInputIsBoundedAndReported) {
    UseFile("-" + std::string(UserOverridesFile::MaxLineBytes + 10, 'x') + "\n-MyApp.Kept\n");
    mapper.UpdateBlacklistsWhitelistsOnStartup();
    EXPECT_EQ(mapper.GetUserBlacklist(), Lines{"MyApp.Kept"});
    EXPECT_EQ(log.Matching("Ignored 1 lines of").size(), 1u);
}

TEST_F(OverridesTest, LiveEntriesSuppressCallsFromTheRefreshOnAndNeverGoAway) {
    UseFile("+Nothing.Here\n");
    mapper.UpdateBlacklistsWhitelistsOnStartup();
    const FunctionInfo* poll = MapTraced(0x10, "MyApp.Jobs", "Poll");
    const FunctionInfo* nested = MapTraced(0x18, "Inner", "Run", "MyApp.Outer");
    ASSERT_NE(poll, nullptr);
    ASSERT_NE(nested, nullptr);
    EXPECT_FALSE(mapper.IsBlacklisted(poll));
    EXPECT_FALSE(mapper.IsBlacklisted(nullptr));

    Rewrite("L-MyApp.Jobs::Poll\nL-Inner::Run\n+Ignored.At.Refresh\n");
    mapper.UpdateLiveBlacklists();
    EXPECT_TRUE(mapper.IsBlacklisted(poll));
    EXPECT_FALSE(mapper.IsBlacklisted(nested)) << "live entries compare with the full class name";
    EXPECT_EQ(mapper.GetUserWhitelist(), Lines{"Nothing.Here"}) << "the refresh reads live entries only";
    EXPECT_EQ(log.Matching("there are 2 'live' blacklist entries").size(), 1u);

    Rewrite("L-MyApp.Outer+Inner::Run\nL-\n");
    mapper.UpdateLiveBlacklists();
    EXPECT_TRUE(mapper.IsBlacklisted(nested));
    EXPECT_TRUE(mapper.IsBlacklisted(poll)) << "a removed line keeps its entry";
    EXPECT_EQ(mapper.GetLiveBlacklist().size(), 4u);
}

TEST_F(OverridesTest, RefreshIsSafeWhileHooksAskConcurrently) {
    UseFile("");
    mapper.UpdateBlacklistsWhitelistsOnStartup();
    const FunctionInfo* poll = MapTraced(0x10, "MyApp.Jobs", "Poll");
    std::atomic<bool> stop{false};
    std::atomic<bool> seen{false};
    std::thread reader([&] {
        while (!stop) seen = mapper.IsBlacklisted(poll) || seen;
    });
    for (int round = 0; round < 30; ++round) {
        std::string contents;
        for (int entry = 0; entry <= round; ++entry) contents += "L-Entry" + std::to_string(entry) + "\n";
        if (round == 20) contents += "L-MyApp.Jobs::Poll\n";
        Rewrite(contents);
        mapper.UpdateLiveBlacklists();
    }
    stop = true;
    reader.join();
    EXPECT_TRUE(mapper.IsBlacklisted(poll));
    EXPECT_EQ(mapper.GetLiveBlacklist().size(), 31u);
}

}  // namespace
