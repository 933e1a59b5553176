#include <gtest/gtest.h>

#include <set>

#include "cli/AgentLocation.h"

using namespace QuorixCollect;

namespace {

const std::string BuildTree = "/src/build/libQuorixProfilerr.so";

AgentLocation Locate(const std::set<std::string>& files, const char* given = nullptr,
                     const std::string& builtIn = BuildTree) {
    return LocateAgentLibrary("/opt/q/bin", given, builtIn, [&](const std::string& p) { return files.count(p) > 0; });
}

}  // namespace

TEST(AgentLocation, PackageLayoutsComeBeforeTheBuildTree) {
    // Both package layouts present with the build tree: beside the tool wins, then ../lib.
    const std::set<std::string> all{"/opt/q/bin/libQuorixProfilerr.so", "/opt/q/bin/../lib/libQuorixProfilerr.so",
                                    BuildTree};
    EXPECT_EQ(Locate(all).path, "/opt/q/bin/libQuorixProfilerr.so");
    const auto lib = Locate({"/opt/q/bin/../lib/libQuorixProfilerr.so", BuildTree});
    EXPECT_EQ(lib.path, "/opt/q/bin/../lib/libQuorixProfilerr.so");
    EXPECT_TRUE(lib.found);
    // A build tree as today: nothing beside the tools.
    EXPECT_EQ(Locate({BuildTree}).path, BuildTree);
    // Tools copied out of a build without the compiled-in path: the build's own layout.
    EXPECT_EQ(Locate({"/opt/q/bin/../../libQuorixProfilerr.so"}, nullptr, "").path,
              "/opt/q/bin/../../libQuorixProfilerr.so");
}

TEST(AgentLocation, TheUsersSettingWinsEvenWhenMissing) {
    const auto given = Locate({BuildTree}, "/elsewhere/agent.so");
    EXPECT_EQ(given.path, "/elsewhere/agent.so");
    EXPECT_FALSE(given.found);
    // Set but empty counts as unset.
    EXPECT_EQ(Locate({BuildTree}, "").path, BuildTree);
}

TEST(AgentLocation, NothingFoundNamesThePathTheWarningShows) {
    const auto none = Locate({});
    EXPECT_FALSE(none.found);
    EXPECT_EQ(none.path, BuildTree);
    EXPECT_EQ(Locate({}, nullptr, "").path, "/opt/q/bin/libQuorixProfilerr.so");
}
