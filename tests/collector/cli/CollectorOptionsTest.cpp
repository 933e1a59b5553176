#include <gtest/gtest.h>

#include "cli/CollectorOptions.h"

using namespace QuorixCollect;

namespace {

bool Parse(std::vector<const char*> args, CollectorOptions& o, std::string& error, const char* env = nullptr) {
    args.insert(args.begin(), "quorix-collect");
    return ParseCollectorOptions(static_cast<int>(args.size()), args.data(), env, o, error);
}

}  // namespace

TEST(CollectorOptions, PortFromEnvironmentFollowsTheAgent) {
    EXPECT_EQ(PortFromEnvironmentText(nullptr), 2799);
    for (const char* bad : {"0", "65536", "-1", "12ab", "", "3000 "}) {
        EXPECT_EQ(PortFromEnvironmentText(bad), 2799) << bad;
    }
    EXPECT_EQ(PortFromEnvironmentText("65535"), 65535);
    EXPECT_EQ(PortFromEnvironmentText(" 3000"), 3000);
}

TEST(CollectorOptions, Parsing) {
    CollectorOptions o;
    std::string error;
    ASSERT_TRUE(Parse({}, o, error, "4000"));
    EXPECT_EQ(o.transport, Transport::Udp);
    EXPECT_EQ(o.port, 4000u);
    EXPECT_EQ(o.pipePath, std::string("\\\\.\\pipe\\QuorixAgent_v1"));
    EXPECT_EQ(o.pipePath.size(), 23u);

    ASSERT_TRUE(Parse({"--transport", "tcp", "--port", "5000", "--json", "-", "--duration", "1.5", "--until-ended",
                       "--tree-lines", "10", "--no-tree", "--quiet", "--summary-stdout"},
                      o, error, "4000"));
    EXPECT_EQ(o.transport, Transport::Tcp);
    EXPECT_EQ(o.port, 5000u);
    EXPECT_EQ(o.jsonPath, "-");
    EXPECT_DOUBLE_EQ(o.durationSeconds, 1.5);
    EXPECT_TRUE(o.untilEnded && o.quiet && o.summaryToStdout && !o.tree);
    EXPECT_EQ(o.treeLines, 10u);

    for (std::vector<const char*> bad : std::vector<std::vector<const char*>>{{"--transport", "file"},
                                                                              {"--port", "65536"},
                                                                              {"--port", "-1"},
                                                                              {"--port"},
                                                                              {"--duration", "0"},
                                                                              {"--duration", "nan"},
                                                                              {"--transport", "tcp", "--multicast"},
                                                                              {"--bogus"},
                                                                              {"--json", ""}}) {
        EXPECT_FALSE(Parse(bad, o, error)) << bad[0];
        EXPECT_FALSE(error.empty());
    }
}

TEST(CollectorOptions, BoundsAndTimeouts) {
    CollectorOptions o;
    std::string error;
    ASSERT_TRUE(Parse({}, o, error));
    EXPECT_EQ(o.maxMemoryBytes, size_t{512} << 20);
    EXPECT_DOUBLE_EQ(o.idleTimeoutSeconds, 30);
    EXPECT_EQ(o.maxConnections, 256u);

    ASSERT_TRUE(Parse({"--max-memory", "64", "--idle-timeout", "0", "--max-connections", "1"}, o, error)) << error;
    EXPECT_EQ(o.maxMemoryBytes, size_t{64} << 20);
    EXPECT_DOUBLE_EQ(o.idleTimeoutSeconds, 0);
    EXPECT_EQ(o.maxConnections, 1u);

    for (std::vector<const char*> bad : std::vector<std::vector<const char*>>{{"--max-memory", "31"},
                                                                              {"--max-memory", "-1"},
                                                                              {"--max-memory", "1e3"},
                                                                              {"--max-memory"},
                                                                              {"--idle-timeout", "-1"},
                                                                              {"--idle-timeout", "inf"},
                                                                              {"--max-connections", "0"},
                                                                              {"--max-connections", "5000"}}) {
        EXPECT_FALSE(Parse(bad, o, error)) << bad[0] << " " << (bad.size() > 1 ? bad[1] : "");
        EXPECT_FALSE(error.empty());
    }
}

TEST(CollectorOptions, SpanExport) {
    CollectorOptions o;
    std::string error;
    ASSERT_TRUE(Parse({}, o, error));
    EXPECT_TRUE(o.otlp.url.empty());
    EXPECT_EQ(o.otlpMinDurationMs, 1);
    ASSERT_TRUE(
        Parse({"--otlp", "http://127.0.0.1:4318", "--service-name", "shop", "--otlp-min-duration", "0.5"}, o, error))
        << error;
    EXPECT_EQ(o.otlp.url, "http://127.0.0.1:4318");
    EXPECT_EQ(o.otlp.serviceName, "shop");
    EXPECT_FALSE(o.otlp.json);  // protobuf unless asked otherwise
    EXPECT_FALSE(o.otlp.gzip);
    EXPECT_EQ(o.otlpMinDurationMs, 0.5);
    ASSERT_TRUE(Parse({"--otlp-min-duration", "0"}, o, error));
    EXPECT_EQ(o.otlpMinDurationMs, 0);
    for (const auto& bad : std::vector<std::vector<const char*>>{{"--otlp"},
                                                                 {"--otlp", ""},
                                                                 {"--otlp-min-duration", "-1"},
                                                                 {"--otlp-min-duration", "1ms"},
                                                                 {"--otlp-min-duration", "nan"},
                                                                 {"--service-name"},
                                                                 {"--otlp", "http://h:1", "--otlp-protocol", "grpc"},
                                                                 {"--otlp", "http://h:1", "--otlp-protocol", ""},
                                                                 {"--otlp", "http://h:1", "--otlp-header", "k"},
                                                                 {"--otlp", "http://h:1", "--otlp-timeout", "0"}}) {
        EXPECT_FALSE(Parse(bad, o, error)) << bad[0];
    }
}

TEST(CollectorOptions, ViewerFilesAndHelp) {
    CollectorOptions o;
    std::string error;
    ASSERT_TRUE(Parse({"--speedscope", "a.json", "--chrome-trace", "b.json", "--folded", "c.txt", "--report", "d.html",
                       "--viewer-calls", "5000", "--port=4001", "--port", "4002"},
                      o, error))
        << error;
    EXPECT_EQ(o.speedscopePath, "a.json");
    EXPECT_EQ(o.chromeTracePath, "b.json");
    EXPECT_EQ(o.foldedPath, "c.txt");
    EXPECT_EQ(o.reportPath, "d.html");
    EXPECT_EQ(o.viewerCalls, 5000u);
    EXPECT_EQ(o.port, 4002u);  // the last one counts, as before
    ASSERT_TRUE(Parse({"--help"}, o, error));
    EXPECT_TRUE(o.help);

    for (std::vector<const char*> bad : std::vector<std::vector<const char*>>{
             {"--report", ""}, {"--viewer-calls", "0"}, {"--viewer-calls", "x"}, {"--folded"}, {"positional"}}) {
        EXPECT_FALSE(Parse(bad, o, error)) << bad[0];
        EXPECT_FALSE(error.empty());
    }
    // Every option is in the help text.
    const std::string help = CollectorUsage();
    for (const char* name : {"--transport",
                             "--port",
                             "--multicast",
                             "--pipe",
                             "--json",
                             "--ready-file",
                             "--duration",
                             "--until-ended",
                             "--summary-stdout",
                             "--tree-lines",
                             "--no-tree",
                             "--max-memory",
                             "--idle-timeout",
                             "--max-connections",
                             "--quiet",
                             "--speedscope",
                             "--chrome-trace",
                             "--folded",
                             "--report",
                             "--viewer-calls",
                             "--otlp",
                             "--service-name",
                             "--otlp-min-duration",
                             "--otlp-protocol",
                             "--otlp-header",
                             "--otlp-compression",
                             "--otlp-certificate",
                             "--otlp-timeout",
                             "OTEL_EXPORTER_OTLP_ENDPOINT",
                             "--help"}) {
        EXPECT_NE(help.find(name), std::string::npos) << name;
    }
}
