// The span export's settings from the command line and the OpenTelemetry variables: which one
// wins, the endpoint rules, and one clear error for a malformed value that never shows a secret.

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>

#include "cli/OtlpSettings.h"

using namespace QuorixCollect;

namespace {

struct Env {
    std::map<std::string, std::string> values;
    EnvLookup Lookup() const {
        return [this](const char* name) -> const char* {
            auto it = values.find(name);
            return it == values.end() ? nullptr : it->second.c_str();
        };
    }
};

OtlpSettings Resolve(const OtlpGiven& given, const Env& env, bool ok = true) {
    OtlpSettings s;
    std::string error;
    EXPECT_EQ(ResolveOtlpSettings(given, env.Lookup(), s, error), ok) << error;
    return s;
}

std::string ErrorOf(const OtlpGiven& given, const Env& env) {
    OtlpSettings s;
    std::string error;
    EXPECT_FALSE(ResolveOtlpSettings(given, env.Lookup(), s, error));
    return error;
}

}  // namespace

TEST(OtlpSettings, EndpointsFromTheVariablesAndTheOption) {
    EXPECT_TRUE(Resolve({}, {}).url.empty());
    // The general endpoint is a base: the traces path goes after its own path.
    Env env{{{"OTEL_EXPORTER_OTLP_ENDPOINT", "https://otlp.example.com:4318"}}};
    OtlpSettings s = Resolve({}, env);
    EXPECT_EQ(s.url, "https://otlp.example.com:4318/v1/traces");
    EXPECT_TRUE(s.urlAsGiven);
    EXPECT_EQ(s.origin, "OTEL_EXPORTER_OTLP_ENDPOINT");
    env.values["OTEL_EXPORTER_OTLP_ENDPOINT"] = "http://gw/otlp/";
    EXPECT_EQ(Resolve({}, env).url, "http://gw/otlp/v1/traces");
    // The traces endpoint is used as given, and wins.
    env.values["OTEL_EXPORTER_OTLP_TRACES_ENDPOINT"] = "http://traces:9999";
    s = Resolve({}, env);
    EXPECT_EQ(s.url, "http://traces:9999");
    EXPECT_TRUE(s.urlAsGiven);
    // The option wins over both and keeps its own rule (no path: /v1/traces).
    OtlpGiven given;
    given.url = "http://127.0.0.1:4318";
    s = Resolve(given, env);
    EXPECT_EQ(s.url, "http://127.0.0.1:4318");
    EXPECT_FALSE(s.urlAsGiven);
    // An empty variable is unset; OTEL_TRACES_EXPORTER=none keeps the variables from exporting.
    EXPECT_TRUE(Resolve({}, Env{{{"OTEL_EXPORTER_OTLP_ENDPOINT", ""}}}).url.empty());
    env.values["OTEL_TRACES_EXPORTER"] = "none";
    EXPECT_TRUE(Resolve({}, env).url.empty());
    EXPECT_FALSE(Resolve(given, env).url.empty());
}

TEST(OtlpSettings, TracesVariablesWinOptionsWinMore) {
    Env env{{{"OTEL_EXPORTER_OTLP_ENDPOINT", "http://h:4318"},
             {"OTEL_EXPORTER_OTLP_PROTOCOL", "http/json"},
             {"OTEL_EXPORTER_OTLP_COMPRESSION", "gzip"},
             {"OTEL_EXPORTER_OTLP_TIMEOUT", "2500"},
             {"OTEL_EXPORTER_OTLP_HEADERS", "api-key=one, x-team = a%20b%2Cc ,Authorization=Basic%20eA=="},
             {"OTEL_EXPORTER_OTLP_TRACES_HEADERS", "API-KEY=two"},
             {"OTEL_SERVICE_NAME", "shop"},
             {"OTEL_RESOURCE_ATTRIBUTES", "service.name=ignored,deployment.environment.name=prod,team=a%3Db"}}};
    OtlpSettings s = Resolve({}, env);
    EXPECT_TRUE(s.json);
    EXPECT_TRUE(s.gzip);
    EXPECT_EQ(s.timeout.count(), 2500);
    EXPECT_EQ(s.headers, (HeaderList{{"api-key", "two"}, {"x-team", "a b,c"}, {"Authorization", "Basic eA=="}}));
    EXPECT_EQ(s.serviceName, "shop");
    EXPECT_EQ(s.resourceAttributes, (HeaderList{{"deployment.environment.name", "prod"}, {"team", "a=b"}}));

    env.values["OTEL_EXPORTER_OTLP_TRACES_PROTOCOL"] = "http/protobuf";
    env.values["OTEL_EXPORTER_OTLP_TRACES_COMPRESSION"] = "none";
    env.values["OTEL_EXPORTER_OTLP_TRACES_TIMEOUT"] = "700";
    env.values[RunHeadersVariable] = "x-team=from-run\n";
    s = Resolve({}, env);
    EXPECT_FALSE(s.json);
    EXPECT_FALSE(s.gzip);
    EXPECT_EQ(s.timeout.count(), 700);
    EXPECT_EQ(s.headers[1], (std::pair<std::string, std::string>{"x-team", "from-run"}));

    OtlpGiven given;
    given.protocol = "http/json";
    given.compression = "gzip";
    given.timeout = "9000";
    given.serviceName = "cli";
    given.headers = {"api-key=three", "X-Extra = v,with,commas"};
    s = Resolve(given, env);
    EXPECT_TRUE(s.json);
    EXPECT_TRUE(s.gzip);
    EXPECT_EQ(s.timeout.count(), 9000);
    EXPECT_EQ(s.serviceName, "cli");
    EXPECT_EQ(s.headers, (HeaderList{{"api-key", "three"},
                                     {"x-team", "from-run"},
                                     {"Authorization", "Basic eA=="},
                                     {"X-Extra", "v,with,commas"}}));
    // service.name in the resource attributes counts when nothing else names the service.
    EXPECT_EQ(Resolve({}, Env{{{"OTEL_EXPORTER_OTLP_ENDPOINT", "http://h"},
                               {"OTEL_RESOURCE_ATTRIBUTES", "service.name=from-attributes"}}})
                  .serviceName,
              "from-attributes");
}

TEST(OtlpSettings, MalformedValuesNameTheirSourceAndHideSecrets) {
    const Env base{{{"OTEL_EXPORTER_OTLP_ENDPOINT", "http://h:4318"}}};
    auto with = [&](const char* name, const char* value) {
        Env e = base;
        e.values[name] = value;
        return ErrorOf({}, e);
    };
    struct Case {
        const char* variable;
        const char* value;
        const char* says;
    };
    for (const Case& c : std::initializer_list<Case>{
             {"OTEL_EXPORTER_OTLP_HEADERS", "api-key=ok,SECRETVALUE", "entry 2 has no '='"},
             {"OTEL_EXPORTER_OTLP_TRACES_HEADERS", "bad name=SECRETVALUE", "entry 1 has a bad name"},
             {"OTEL_EXPORTER_OTLP_HEADERS", "k=SECRET%0d%0aVALUE", "line break"},
             {"OTEL_EXPORTER_OTLP_PROTOCOL", "grpc", "grpc is not supported"},
             {"OTEL_EXPORTER_OTLP_TRACES_PROTOCOL", "http/xml", "unknown protocol 'http/xml'"},
             {"OTEL_EXPORTER_OTLP_COMPRESSION", "zstd", "unknown compression"},
             {"OTEL_EXPORTER_OTLP_TIMEOUT", "10s", "bad timeout"},
             {"OTEL_EXPORTER_OTLP_ENDPOINT", "otlp.example.com:4318", "bad URL"},
             {"OTEL_EXPORTER_OTLP_TRACES_ENDPOINT", "http://user:pw@h/", "credentials"},
             {"OTEL_EXPORTER_OTLP_CERTIFICATE", "/nonexistent/ca.pem", "No such file"},
             {"OTEL_EXPORTER_OTLP_TRACES_CERTIFICATE", "/proc/version", "holds no PEM certificate"},
             {"OTEL_RESOURCE_ATTRIBUTES", "team", "entry 1 has no '='"}}) {
        const std::string error = with(c.variable, c.value);
        EXPECT_EQ(error.rfind(c.variable, 0), 0u) << error;
        EXPECT_NE(error.find(c.says), std::string::npos) << error;
        EXPECT_EQ(error.find("SECRET"), std::string::npos) << error;
    }
    OtlpGiven given;
    given.headers = {"SECRETVALUE"};
    const std::string error = ErrorOf(given, base);
    EXPECT_EQ(error.rfind("--otlp-header", 0), 0u) << error;
    EXPECT_EQ(error.find("SECRET"), std::string::npos) << error;
    // Without an endpoint nothing is exported, and the other variables are not looked at.
    EXPECT_TRUE(Resolve({}, Env{{{"OTEL_EXPORTER_OTLP_PROTOCOL", "grpc"}}}).url.empty());
}

TEST(OtlpSettings, TheCertificateFileIsReadOnce) {
    const std::string path = testing::TempDir() + "qx-ca-" + std::to_string(getpid()) + ".pem";
    {
        std::ofstream f(path);
        f << "-----BEGIN CERTIFICATE-----\nMIIB\n-----END CERTIFICATE-----\n";
    }
    OtlpGiven given;
    given.url = "https://h";
    given.certificate = path;
    const OtlpSettings s = Resolve(given, {});
    std::filesystem::remove(path);
    EXPECT_EQ(s.certificatePath, path);
    EXPECT_NE(s.caPem.find("MIIB"), std::string::npos);
}
