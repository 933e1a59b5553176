#include <gtest/gtest.h>

#include "cli/RunOptions.h"

using namespace QuorixCollect;

namespace {

bool Parse(std::vector<const char*> args, RunOptions& o, std::string& error) {
    args.insert(args.begin(), "quorix-run");
    return ParseRunOptions(static_cast<int>(args.size()), args.data(), o, error);
}

}  // namespace

TEST(RunOptions, OwnOptionsCollectorOptionsAndTheCommand) {
    RunOptions o;
    std::string error;
    ASSERT_TRUE(Parse({"--transport", "tcp", "--port", "4000", "--json", "out.jsonl", "--report", "r.html", "--no-tree",
                       "--tree-lines", "9", "--", "dotnet", "App.dll", "--report", "--"},
                      o, error))
        << error;
    EXPECT_EQ(o.transport, "tcp");
    EXPECT_EQ(o.engine, "probes");
    EXPECT_FALSE(o.engineGiven);
    EXPECT_EQ(o.port, 4000);
    EXPECT_EQ(o.json, "out.jsonl");
    // Everything after the first "--" belongs to the command, options of ours included.
    EXPECT_EQ(o.command, (std::vector<std::string>{"dotnet", "App.dll", "--report", "--"}));
    EXPECT_EQ(o.collectorArgs, (std::vector<std::string>{"--tree-lines", "9", "--report", "r.html", "--no-tree"}));

    ASSERT_TRUE(Parse({"--engine", "hooks", "--", "x"}, o, error)) << error;
    EXPECT_EQ(o.transport, "tcp");  // the default
    EXPECT_EQ(o.engine, "hooks");
    EXPECT_TRUE(o.engineGiven);

    ASSERT_TRUE(Parse({"--help"}, o, error));
    EXPECT_TRUE(o.help);

    for (std::vector<const char*> bad :
         std::vector<std::vector<const char*>>{{
                                                   "--",
                                               },
                                               {"dotnet"},
                                               {"--port", "0", "--", "x"},
                                               {"--port", "70000", "--", "x"},
                                               {"--transport", "file", "--", "x"},
                                               {"--engine", "Probes", "--", "x"},
                                               {"--transport", "tcp", "--multicast", "--", "x"},
                                               {"--bogus", "--", "x"},
                                               {"--report", "--", "x"}}) {
        EXPECT_FALSE(Parse(bad, o, error)) << bad[0];
        EXPECT_FALSE(error.empty());
    }
    const std::string help = RunUsage();
    for (const char* name : {"--transport",
                             "--engine",
                             "--port",
                             "--multicast",
                             "--json",
                             "--tree-lines",
                             "--no-tree",
                             "--quiet",
                             "--max-memory",
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
                             "125",
                             "--help",
                             "QUORIX_PROFILER_PATH"}) {
        EXPECT_NE(help.find(name), std::string::npos) << name;
    }
}

TEST(RunOptions, SpanExportOptionsArePassedOn) {
    RunOptions o;
    std::string error;
    ASSERT_TRUE(Parse({"--otlp", "http://127.0.0.1:4318", "--service-name", "shop", "--otlp-min-duration", "0", "--",
                       "dotnet", "App.dll"},
                      o, error))
        << error;
    EXPECT_EQ(o.collectorArgs, (std::vector<std::string>{"--otlp", "http://127.0.0.1:4318", "--service-name", "shop",
                                                         "--otlp-min-duration", "0"}));
    // Header values go by the environment, off the collector's command line.
    ASSERT_TRUE(
        Parse({"--otlp-protocol", "http/json", "--otlp-header", "a=1", "--otlp-header", "b=2,3", "--otlp-compression",
               "gzip", "--otlp-timeout", "500", "--otlp-certificate", "ca.pem", "--", "x"},
              o, error))
        << error;
    EXPECT_EQ(o.collectorArgs, (std::vector<std::string>{"--otlp-protocol", "http/json", "--otlp-compression", "gzip",
                                                         "--otlp-certificate", "ca.pem", "--otlp-timeout", "500"}));
    EXPECT_EQ(o.otlpHeaders, (std::vector<std::string>{"a=1", "b=2,3"}));
    for (std::vector<const char*> bad :
         std::vector<std::vector<const char*>>{{"--otlp", "--", "x"}, {"--service-name", "--", "x"}}) {
        EXPECT_FALSE(Parse(bad, o, error)) << bad[0];
    }
}
