#include "environment/Configuration.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "EnvironmentGuard.h"

namespace {

class ConfigurationTest : public ::testing::Test {
protected:
    EnvironmentGuard environment{AllAgentVariables()};
};

TEST_F(ConfigurationTest, NothingSetGivesTheDefaults) {
    Configuration configuration;
    EXPECT_EQ(configuration.networkMode, Uplink::Udp);
    EXPECT_EQ(configuration.wireCommandPort, 2799);
    EXPECT_FALSE(configuration.useMulticast);
    EXPECT_TRUE(configuration.enableCorrelation);
    EXPECT_EQ(configuration.apiKey, "");
    EXPECT_EQ(configuration.processType, UNKNOWN);
    EXPECT_EQ(configuration.errorLogFolder, "");
    EXPECT_EQ(configuration.logLevel, LogLevel::Nothing);
    EXPECT_FALSE(configuration.logToConsole);
    EXPECT_FALSE(configuration.captureSecrets);
    EXPECT_EQ(configuration.traceEngine, TraceEngine::Hooks);
    EXPECT_EQ(configuration.processId, static_cast<uint64_t>(getpid()));
}

TEST_F(ConfigurationTest, EveryVariableReachesItsField) {
    environment.Set("MORVEL_NETWORK_MODE", "NamedPipe");
    environment.Set("MORVEL_WIRE_COMMAND_PORT", "4000");
    environment.Set("MORVEL_USE_MULTICAST", "true");
    environment.Set("MORVEL_ENABLE_CORRELATION", "0");
    environment.Set("MORVEL_API_KEY", "key-123");
    environment.Set("MORVEL_PROCESS_TYPE", "OWIN_HOST");
    environment.Set("MORVEL_ERROR_LOG_FOLDER", "/var/tmp/logs");
    environment.Set("MORVEL_DEBUG_LOGLEVEL", "Warning");
    environment.Set("MORVEL_DEBUG_LOGTOCONSOLE", "1");
    environment.Set("MORVEL_CAPTURE_SECRETS", "true");
    environment.Set("MORVEL_TRACE_ENGINE", "probes");
    Configuration configuration;
    EXPECT_EQ(configuration.networkMode, Uplink::NamedPipe);
    EXPECT_EQ(configuration.wireCommandPort, 4000);
    EXPECT_TRUE(configuration.useMulticast);
    EXPECT_FALSE(configuration.enableCorrelation);
    EXPECT_EQ(configuration.apiKey, "key-123");
    EXPECT_EQ(configuration.processType, OWIN_HOST);
    EXPECT_EQ(configuration.errorLogFolder, "/var/tmp/logs");
    EXPECT_EQ(configuration.logLevel, LogLevel::Warning);
    EXPECT_TRUE(configuration.logToConsole);
    EXPECT_TRUE(configuration.captureSecrets);
    EXPECT_EQ(configuration.traceEngine, TraceEngine::Probes);
}

TEST_F(ConfigurationTest, TraceEngineAcceptsOnlyItsTwoExactNames) {
    for (const char* text : {"Probes", "probe", "probes ", "", "hooks2"}) {
        environment.Set("MORVEL_TRACE_ENGINE", text);
        EXPECT_EQ(Configuration().traceEngine, TraceEngine::Hooks) << "value '" << text << "'";
    }
    environment.Set("MORVEL_TRACE_ENGINE", "hooks");
    EXPECT_EQ(Configuration().traceEngine, TraceEngine::Hooks);
}

TEST_F(ConfigurationTest, PortAcceptsOnlyAWholeNumberInRange) {
    const std::vector<std::pair<const char*, uint16_t>> cases = {
        {"0", 2799},      {"65536", 2799}, {"-1", 2799},
        {"12ab", 2799},   {"", 2799},      {" ", 2799},
        {"3000 ", 2799},  {"abc", 2799},   {"99999999999999999999", 2799},
        {"65535", 65535}, {"1", 1},        {" 3000", 3000},
        {"+3000", 3000},
    };
    for (const auto& [text, expected] : cases) {
        environment.Set("MORVEL_WIRE_COMMAND_PORT", text);
        EXPECT_EQ(Configuration().wireCommandPort, expected) << "value '" << text << "'";
        EXPECT_EQ(Configuration::GetEnvironmentVariableAsUShort("MORVEL_WIRE_COMMAND_PORT", 7),
                  expected == 2799 ? 7 : expected)
            << "value '" << text << "'";
    }
}

TEST_F(ConfigurationTest, NetworkModeNeedsTheExactText) {
    const std::vector<std::pair<const char*, Uplink::NetworkMode>> cases = {
        {"Udp", Uplink::Udp},   {"Tcp", Uplink::Tcp}, {"NamedPipe", Uplink::NamedPipe},
        {"File", Uplink::File}, {"tcp", Uplink::Udp}, {"Tcp ", Uplink::Udp},
        {"TcpX", Uplink::Udp},  {"", Uplink::Udp},    {"Named", Uplink::Udp},
    };
    for (const auto& [text, expected] : cases) {
        environment.Set("MORVEL_NETWORK_MODE", text);
        EXPECT_EQ(Configuration().networkMode, expected) << "value '" << text << "'";
    }
    environment.Set("MORVEL_NETWORK_MODE", "bogus");
    EXPECT_EQ(Configuration::GetEnvironmentVariableAsNetworkMode("MORVEL_NETWORK_MODE", Uplink::Tcp), Uplink::Tcp);
}

TEST_F(ConfigurationTest, BoolLooksAtPrefixesAndFirstCharacter) {
    const std::vector<std::pair<const char*, bool>> multicast = {
        {"1", true},    {"true", true}, {"trueish", true}, {"17", true},   {"TRUE", false},
        {"yes", false}, {"0", false},   {"", false},       {"tru", false},
    };
    for (const auto& [text, expected] : multicast) {
        environment.Set("MORVEL_USE_MULTICAST", text);
        EXPECT_EQ(Configuration().useMulticast, expected) << "value '" << text << "'";
    }
    const std::vector<std::pair<const char*, bool>> correlation = {
        {"0", false},  {"false", false}, {"falsehood", false}, {"05", false},  {"no", true},
        {"off", true}, {"FALSE", true},  {"", true},           {"fals", true},
    };
    for (const auto& [text, expected] : correlation) {
        environment.Set("MORVEL_ENABLE_CORRELATION", text);
        EXPECT_EQ(Configuration().enableCorrelation, expected) << "value '" << text << "'";
    }
}

TEST_F(ConfigurationTest, LogLevelTextsAndTheTraceAlias) {
    const std::vector<std::pair<const char*, LogLevel>> cases = {
        {"Everything", LogLevel::Everything},
        {"Verbose", LogLevel::Everything},
        {"Trace", LogLevel::Everything},
        {"Debug", LogLevel::Debug},
        {"Info", LogLevel::Info},
        {"Warning", LogLevel::Warning},
        {"Error", LogLevel::Error},
        {"Critical", LogLevel::Critical},
        {"Nothing", LogLevel::Nothing},
        {"trace", LogLevel::Nothing},
        {"Info ", LogLevel::Nothing},
        {"2", LogLevel::Nothing},
        {"", LogLevel::Nothing},
    };
    for (const auto& [text, expected] : cases) {
        environment.Set("MORVEL_DEBUG_LOGLEVEL", text);
        EXPECT_EQ(Configuration().logLevel, expected) << "value '" << text << "'";
    }
}

TEST_F(ConfigurationTest, HostTypeNeverAcceptsTheBuildEngine) {
    const std::vector<std::pair<const char*, HostType>> cases = {
        {"DOTNET", DOTNET},
        {"DOTNET_IIS", DOTNET_IIS},
        {"DOTNET_CORE", DOTNET_CORE},
        {"OWIN_HOST", OWIN_HOST},
        {"DOTNET_CORE_MSBUILD", UNKNOWN},
        {"UNKNOWN", UNKNOWN},
        {"dotnet", UNKNOWN},
        {"DOTNET_", UNKNOWN},
        {"", UNKNOWN},
    };
    for (const auto& [text, expected] : cases) {
        environment.Set("MORVEL_PROCESS_TYPE", text);
        EXPECT_EQ(Configuration().processType, expected) << "value '" << text << "'";
    }
}

TEST_F(ConfigurationTest, StringsKeepTheValueEvenWhenEmpty) {
    environment.Set("MORVEL_API_KEY", "");
    EXPECT_EQ(Configuration().apiKey, "");
    EXPECT_EQ(Configuration::GetEnvironmentVariableAsString("MORVEL_API_KEY", "fallback"), "");
    environment.Set("MORVEL_API_KEY", " spaced key ");
    EXPECT_EQ(Configuration().apiKey, " spaced key ");
    environment.Unset("MORVEL_API_KEY");
    EXPECT_EQ(Configuration::GetEnvironmentVariableAsString("MORVEL_API_KEY", "fallback"), "fallback");
}

TEST_F(ConfigurationTest, ProcessListsSplitOnCommasSemicolonsAndSpaces) {
    EXPECT_TRUE(Configuration().processInclude.empty());
    environment.Set("MORVEL_PROCESS_INCLUDE", " Shop.Api, Worker.dll;;dotnet\tTool ,");
    environment.Set("MORVEL_PROCESS_EXCLUDE", "");
    Configuration configuration;
    EXPECT_EQ(configuration.processInclude, (std::vector<std::string>{"Shop.Api", "Worker.dll", "dotnet", "Tool"}));
    EXPECT_TRUE(configuration.processExclude.empty());
}

TEST_F(ConfigurationTest, IntegerNeedsAWholeNumberThatFits) {
    const char* name = "MORVEL_STARTUP_PERIOD";
    EXPECT_EQ(Configuration::GetEnvironmentVariableAsInt(name, -7), -7);
    const std::vector<std::pair<const char*, int32_t>> cases = {
        {"42", 42},
        {" 7", 7},
        {"-3", -3},
        {"0", 0},
        {"2147483647", 2147483647},
        {"-2147483648", INT32_MIN},
        {"12ab", -7},
        {"", -7},
        {"abc", -7},
        {"5 ", -7},
        {"2147483648", -7},
        {"4294967301", -7},
        {"99999999999999999999", -7},
    };
    for (const auto& [text, expected] : cases) {
        environment.Set(name, text);
        EXPECT_EQ(Configuration::GetEnvironmentVariableAsInt(name, -7), expected) << "value '" << text << "'";
    }
}

TEST_F(ConfigurationTest, InstanceIsOneObjectReadOnce) {
    Configuration* first = Configuration::Instance();
    environment.Set("MORVEL_WIRE_COMMAND_PORT", "1234");
    EXPECT_EQ(Configuration::Instance(), first);
    EXPECT_NE(Configuration::Instance()->wireCommandPort, 1234);
    EXPECT_EQ(Configuration::GetProcessId(), static_cast<uint64_t>(getpid()));
}

TEST(ConfigurationReaderTest, EveryDeclaredSettingIsAskedForOnceAndNothingElse) {
    std::vector<std::string> asked;
    const char overrides[] = "/etc/overrides.txt";
    const Configuration configuration([&](const char* name) -> const char* {
        asked.emplace_back(name);
        if (std::string(name) == "MORVEL_STARTUP_PERIOD") return "5s";
        if (std::string(name) == "MORVEL_USER_OVERRIDES_FILE") return overrides;
        if (std::string(name) == "MORVEL_WIRE_COMMAND_PORT") return "4100";
        return nullptr;
    });
    std::vector<std::string> declared;
    for (const SettingDeclaration& setting : Configuration::Declarations()) declared.emplace_back(setting.variable);
    EXPECT_EQ(asked, declared);
    EXPECT_EQ(std::set<std::string>(declared.begin(), declared.end()).size(), declared.size()) << "declared twice";
    for (const std::string& name : declared) EXPECT_EQ(name.rfind("MORVEL_", 0), 0u) << name;

    EXPECT_EQ(configuration.wireCommandPort, 4100);
    // Leading digits, as the start-up period has always been read.
    EXPECT_EQ(configuration.startupPeriodSeconds, 5);
    // The reader's own text, which the live-blacklist refresh keeps using.
    EXPECT_EQ(configuration.userOverridesFile, overrides);
    EXPECT_EQ(configuration.networkMode, Uplink::Udp);
}

TEST(ConfigurationReaderTest, AStartupPeriodTooLargeForItsFieldIsTheLongestOneNotAShortOne) {
    const Configuration configuration([](const char* name) -> const char* {
        return std::string(name) == "MORVEL_STARTUP_PERIOD" ? "4294967297" : nullptr;
    });
    EXPECT_EQ(configuration.startupPeriodSeconds, INT32_MAX);
}

TEST(ConfigurationReaderTest, StartupPeriodAndOverridesFileDefaultToUnset) {
    const Configuration configuration([](const char*) -> const char* { return nullptr; });
    EXPECT_EQ(configuration.startupPeriodSeconds, 0);
    EXPECT_EQ(configuration.userOverridesFile, nullptr);
    EXPECT_TRUE(configuration.processInclude.empty());
    EXPECT_FALSE(configuration.reportDelivery);
}

// The README's settings table is what users read: one unbroken table, every declared variable
// once with the default declared for it, and nothing else.
TEST(ConfigurationReaderTest, ReadmeTableListsExactlyTheDeclaredSettings) {
    std::ifstream readme(std::string(QX_SOURCE_DIR) + "/README.md");
    ASSERT_TRUE(readme.is_open());
    std::string line;
    while (std::getline(readme, line) && line != "## Settings (environment variables)") {}
    while (std::getline(readme, line) && line.rfind("| Variable ", 0) != 0) {}
    ASSERT_TRUE(std::getline(readme, line)) << "the table has its separator row";
    std::map<std::string, std::string> listed;
    size_t rows = 0;
    while (std::getline(readme, line) && line.rfind("|", 0) == 0) {
        std::vector<std::string> cells;
        std::stringstream row(line.substr(1));
        std::string cell;
        while (std::getline(row, cell, '|')) {
            const size_t first = cell.find_first_not_of(' ');
            const size_t last = cell.find_last_not_of(' ');
            cells.push_back(first == std::string::npos ? "" : cell.substr(first, last - first + 1));
        }
        ASSERT_GE(cells.size(), 3u) << line;
        std::string name = cells[0];
        name.erase(std::remove(name.begin(), name.end(), '`'), name.end());
        listed[name] = cells[1];
        ++rows;
    }
    std::map<std::string, std::string> declared;
    for (const SettingDeclaration& setting : Configuration::Declarations())
        declared[setting.variable] = setting.defaultShown;
    EXPECT_EQ(listed, declared);
    EXPECT_EQ(rows, declared.size()) << "a variable listed twice";
    // A row of the table further down would belong to no table at all.
    while (std::getline(readme, line) && line.rfind("## ", 0) != 0)
        EXPECT_NE(line.rfind("| `MORVEL_", 0), 0u) << "outside the table: " << line;
}

TEST(ConfigurationConstantsTest, MulticastGroupIsInNetworkByteOrder) {
    EXPECT_EQ(MULTICAST_IP_ADDRESS, inet_addr("239.100.15.215"));
}

}  // namespace
