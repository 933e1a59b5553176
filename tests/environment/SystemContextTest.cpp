#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <utility>
#include <fstream>
#include <string>
#include <vector>

#include "environment/SystemContext.h"

namespace {

bool IsBuildTool(std::vector<std::string> args) { return SystemContext::IsBuildToolCommandLine(args); }

}  // namespace

TEST(SystemContextTest, RecognisesBuildToolsFromTheCommandLine) {
    EXPECT_TRUE(IsBuildTool({"dotnet", "build"}));
    EXPECT_TRUE(IsBuildTool({"/usr/share/dotnet/dotnet", "run", "--project", "x"}));
    EXPECT_TRUE(IsBuildTool({"dotnet", "msbuild", "-getProperty:Version"}));
    EXPECT_TRUE(IsBuildTool({"/usr/share/dotnet/dotnet", "/usr/share/dotnet/sdk/10.0.401/MSBuild.dll", "/nodemode:1"}));
    EXPECT_TRUE(IsBuildTool({"dotnet", "exec", "--runtimeconfig", "a.json", "/sdk/Roslyn/bincore/csc.dll", "x.cs"}));
    EXPECT_TRUE(IsBuildTool({"dotnet", "/usr/share/dotnet/sdk/10.0.401/Roslyn/bincore/VBCSCompiler.dll"}));
    EXPECT_TRUE(IsBuildTool({"/usr/share/dotnet/dotnet", "/usr/share/dotnet/sdk/10.0.401/dotnet.dll", "build"}));
    EXPECT_TRUE(IsBuildTool({"/opt/build/MSBuild"}));

    EXPECT_FALSE(IsBuildTool({"dotnet", "app.dll"}));
    EXPECT_FALSE(IsBuildTool({"dotnet", "/home/me/MyBuild/bin/app.dll", "build"}));
    EXPECT_FALSE(IsBuildTool({"dotnet", "exec", "--depsfile", "d.json", "app.dll"}));
    EXPECT_FALSE(IsBuildTool({"./myapp", "build"}));
    EXPECT_FALSE(IsBuildTool({"dotnet", "/home/me/tools/dotnet.dll"}));  // not the SDK's driver
    EXPECT_FALSE(IsBuildTool({}));
}

TEST(SystemContextTest, StartsWithADefinedHostTypeAndNumbersFunctionsFrom101) {
    char path[] = "/tmp/qx-cmdline-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    const char cmdline[] = "dotnet\0app.dll\0";
    ASSERT_EQ(write(fd, cmdline, sizeof(cmdline) - 1), static_cast<ssize_t>(sizeof(cmdline) - 1));
    close(fd);

    SystemContext context{std::string(path)};
    EXPECT_EQ(context.GetHostType(), UNKNOWN);
    EXPECT_EQ(context.GetTicksPerSecond(), 1000000u);
    EXPECT_EQ(context.GetProcessId(), static_cast<uint32_t>(getpid()));
    EXPECT_EQ(context.GetNextFunctionMapSequenceNo(), 101u);
    EXPECT_EQ(context.GetNextFunctionMapSequenceNo(), 102u);
    EXPECT_EQ(context.GetManagedThreadId(), 0u);  // no info interface yet

    // Without the runtime's info interface the version cannot be known; the name still is.
    context.FetchProcessNameAndType();
    EXPECT_EQ(context.GetProcessName(), std::string("dotnet\0app.dll\0", 15));
    EXPECT_EQ(context.GetHostTypeText(), "UNKNOWN");
    EXPECT_EQ(context.GetRuntimeVersionText(), "");
    std::remove(path);

    SystemContext buildTool{std::string("/nonexistent/cmdline")};
    EXPECT_EQ(buildTool.GetHostType(), UNKNOWN);
}

TEST(SystemContextTest, OwinModuleIsRecognisedOnceAndCaseSensitively) {
    SystemContext context{std::string("/nonexistent/cmdline")};
    context.ReportModuleLoaded(1, "/app/microsoft.owin.hosting.dll");
    EXPECT_EQ(context.GetHostType(), UNKNOWN);
    context.ReportModuleLoaded(1, "/app/Microsoft.Owin.Hosting.dll");
    EXPECT_EQ(context.GetHostType(), OWIN_HOST);
    EXPECT_EQ(context.GetHostTypeText(), "UNKNOWN");
    EXPECT_TRUE(ends_with("abc", "bc"));
    EXPECT_FALSE(ends_with("c", "bc"));
}

TEST(SystemContextTest, ProcessNamesAreTheExecutableAndTheMainAssembly) {
    using Names = std::vector<std::string>;
    EXPECT_EQ(SystemContext::ProcessNames({"/usr/share/dotnet/dotnet", "/srv/shop/Shop.Api.dll", "--urls", "x"}),
              (Names{"dotnet", "Shop.Api"}));
    EXPECT_EQ(SystemContext::ProcessNames({"dotnet", "exec", "--depsfile", "d.json", "/srv/Worker.dll"}),
              (Names{"dotnet", "Worker"}));
    EXPECT_EQ(SystemContext::ProcessNames({"/srv/shop/Shop.Api", "Other.dll"}), (Names{"Shop.Api"}));
    EXPECT_EQ(SystemContext::ProcessNames({"dotnet", "--info"}), (Names{"dotnet"}));
    EXPECT_EQ(SystemContext::ProcessNames({}), Names{});
}

TEST(SystemContextTest, ExcludeWinsOverIncludeAndAnEmptyIncludeTakesEveryone) {
    const std::vector<std::string> names = {"dotnet", "Shop.Api"};
    std::string why;
    EXPECT_TRUE(SystemContext::IsChosenProcess(names, {}, {}, why));
    EXPECT_TRUE(SystemContext::IsChosenProcess(names, {"Shop.Api.dll"}, {}, why));
    EXPECT_EQ(why, "'Shop.Api' is in MORVEL_PROCESS_INCLUDE");
    EXPECT_FALSE(SystemContext::IsChosenProcess(names, {"Shop.Worker"}, {}, why));
    EXPECT_EQ(why, "none of (dotnet, Shop.Api) is in MORVEL_PROCESS_INCLUDE");
    EXPECT_FALSE(SystemContext::IsChosenProcess(names, {"Shop.Api"}, {"dotnet"}, why));
    EXPECT_EQ(why, "'dotnet' is in MORVEL_PROCESS_EXCLUDE");
    EXPECT_TRUE(SystemContext::IsChosenProcess(names, {}, {"Shop.Worker"}, why));
    // Names are compared whole and case-sensitively, as file names are.
    EXPECT_FALSE(SystemContext::IsChosenProcess(names, {"shop.api", "Shop"}, {}, why));
}

TEST(SystemContextTest, SettingsSkipAProcessWhenItIsBuilt) {
    char path[] = "/tmp/qx-cmdline-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    const char cmdline[] = "dotnet\0/srv/Helper.dll\0";
    ASSERT_EQ(write(fd, cmdline, sizeof(cmdline) - 1), static_cast<ssize_t>(sizeof(cmdline) - 1));
    close(fd);
    Configuration* saved = g_Configuration;
    Configuration settings;
    g_Configuration = &settings;
    EXPECT_FALSE(SystemContext{std::string(path)}.IsSkippedBySettings());
    settings.processExclude = {"Helper"};
    EXPECT_TRUE(SystemContext{std::string(path)}.IsSkippedBySettings());
    settings.processExclude.clear();
    settings.processInclude = {"Helper"};
    EXPECT_FALSE(SystemContext{std::string(path)}.IsSkippedBySettings());
    g_Configuration = saved;
    std::remove(path);
}

namespace {

// A folder laid out like a runtime install, removed with the test.
class FakeRuntimeFolder {
public:
    FakeRuntimeFolder() {
        char pattern[] = "/tmp/qx-runtime-XXXXXX";
        root = mkdtemp(pattern);
    }
    ~FakeRuntimeFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(root, ignored);
    }
    // Creates the folder (relative to the root) with the files given as name/content pairs;
    // returns the path of its libcoreclr.so.
    std::string Lay(const std::string& folder, const std::vector<std::pair<std::string, std::string>>& files) {
        const std::string path = root + "/" + folder;
        std::filesystem::create_directories(path);
        std::ofstream(path + "/libcoreclr.so") << "";
        for (const auto& [name, content] : files) std::ofstream(path + "/" + name) << content;
        return path + "/libcoreclr.so";
    }
    std::string root;
};

}  // namespace

TEST(SystemContextTest, CoreRuntimeVersionComesFromTheRuntimesFilesWhenTheCallCannotTell) {
    FakeRuntimeFolder runtime;
    // A shared install: the folder is named after the version.
    const std::string shared = runtime.Lay("dotnet/shared/Microsoft.NETCore.App/3.1.3", {});
    EXPECT_EQ(SystemContext::CoreRuntimeVersion(4, 0, 30319, shared), "3.1.3");
    const std::string preview = runtime.Lay("dotnet/shared/Microsoft.NETCore.App/3.0.0-preview8.19405.3", {});
    EXPECT_EQ(SystemContext::CoreRuntimeVersion(4, 0, 30319, preview), "3.0.0-preview8.19405.3");

    // Elsewhere the ".version" file (commit, then version) or a deps.json tells.
    const std::string versioned = runtime.Lay("app1", {{".version", "9a1b2c3d\n3.1.22\n"}});
    EXPECT_EQ(SystemContext::CoreRuntimeVersion(4, 0, 30319, versioned), "3.1.22");
    const std::string selfContained = runtime.Lay(
        "app2",
        {{"app2.deps.json",
          R"({"libraries": {"app2/1.0.0": {}, "runtimepack.Microsoft.NETCore.App.Runtime.linux-x64/2.1.30": {}}})"}});
    EXPECT_EQ(SystemContext::CoreRuntimeVersion(4, 0, 30319, selfContained), "2.1.30");

    // Nothing usable: the call's answer stays, as does every answer of a later runtime.
    const std::string bare = runtime.Lay("app3", {{".version", "only-one-line\n"}, {"x.deps.json", "{}"}});
    EXPECT_EQ(SystemContext::CoreRuntimeVersion(4, 0, 30319, bare), "4.0.30319");
    EXPECT_EQ(SystemContext::CoreRuntimeVersion(4, 0, 30319, ""), "4.0.30319");
    EXPECT_EQ(SystemContext::CoreRuntimeVersion(4, 0, 30319, runtime.root + "/missing/libcoreclr.so"), "4.0.30319");
    EXPECT_EQ(SystemContext::CoreRuntimeVersion(8, 0, 11, shared), "8.0.11");
    EXPECT_EQ(SystemContext::CoreRuntimeVersion(10, 0, 0, versioned), "10.0.0");

    // The loaded runtime, if any, is found by its file name; a test binary has none.
    EXPECT_EQ(SystemContext::LoadedCoreclrPath(), "");
}
