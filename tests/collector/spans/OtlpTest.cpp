// Span export: URL and secret handling, the mapping of captured values to attributes, which
// calls become spans and how they nest, the OTLP/JSON form, and delivery to a receiver that
// refuses, is busy or is down.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "spans/HttpPoster.h"
#include "spans/OtlpConventions.h"
#include "spans/OtlpEncoder.h"
#include "spans/OtlpExporter.h"
#include "spans/OtlpSpanBuilder.h"
#include "wire/WireFormat.h"

using namespace QuorixCollect;

namespace {

ValueRecord Text(const std::string& name, const std::string& text) {
    ValueRecord v;
    v.name = name;
    v.type = static_cast<uint8_t>(ValueType::String);
    v.hasPayload = true;
    v.text = text;
    return v;
}

ValueRecord Int(const std::string& name, int64_t value, ValueType type = ValueType::Int32) {
    ValueRecord v;
    v.name = name;
    v.type = static_cast<uint8_t>(type);
    v.hasPayload = true;
    v.scalarBits = static_cast<uint64_t>(value);
    return v;
}

ValueRecord Object(const std::string& name, std::vector<ValueRecord> fields) {
    ValueRecord v;
    v.name = name;
    v.type = static_cast<uint8_t>(ValueType::Object);
    v.hasPayload = true;
    v.children = std::move(fields);
    return v;
}

std::map<std::string, std::string> Flat(const std::vector<OtlpAttribute>& list) {
    std::map<std::string, std::string> out;
    for (const auto& a : list) {
        switch (a.kind) {
            case OtlpAttribute::Kind::String:
                out[a.key] = a.text;
                break;
            case OtlpAttribute::Kind::Int:
                out[a.key] = std::to_string(a.number);
                break;
            case OtlpAttribute::Kind::Double:
                out[a.key] = std::to_string(a.real);
                break;
            case OtlpAttribute::Kind::Bool:
                out[a.key] = a.flag ? "true" : "false";
                break;
        }
    }
    return out;
}

// Drives a span builder with calls of named functions; time stamps in microseconds.
class Calls {
public:
    explicit Calls(int64_t minUs = 1000, size_t maxFrames = 1000000) {
        OtlpSpanBuilder::Options o;
        o.minDurationUs = minUs;
        o.maxFrames = maxFrames;
        o.serviceName = "svc";
        builder = std::make_unique<OtlpSpanBuilder>(
            o,
            [this](uint32_t, uint32_t id) {
                auto it = names.find(id);
                return it == names.end() ? std::string_view{} : std::string_view(it->second);
            },
            [this](OtlpSpan&& s) { spans.push_back(std::move(s)); });
    }
    uint32_t Id(const std::string& name) {
        for (const auto& [id, n] : names) {
            if (n == name) {
                return id;
            }
        }
        const uint32_t id = static_cast<uint32_t>(names.size() + 1);
        names[id] = name;
        return id;
    }
    void Begin(const std::string& f, int64_t ts, std::vector<ValueRecord> args = {}, uint32_t tid = 7,
               uint64_t instance = 0) {
        DecodedCommand c = Base(CommandType::BeginCall, ts, tid);
        c.functionId = Id(f);
        c.instanceId = instance;
        c.args = std::move(args);
        builder->OnCommand(c);
    }
    void End(const std::string& f, int64_t ts, uint32_t tid = 7) {
        DecodedCommand c = Base(CommandType::EndCall, ts, tid);
        c.functionId = Id(f);
        builder->OnCommand(c);
    }
    void Unwind(const std::string& f, int64_t ts, uint32_t tid = 7) {
        DecodedCommand c = Base(CommandType::UnwindCall, ts, tid);
        c.functionId = Id(f);
        builder->OnCommand(c);
    }
    void Raise(int64_t ts, uint64_t id, uint32_t tid = 7) {
        DecodedCommand c = Base(CommandType::ExceptionRaised, ts, tid);
        c.exceptionId = id;
        builder->OnCommand(c);
    }
    // What the agent says of the exception just raised, as the session keeps it and the matcher tells.
    void Detail(int64_t ts, uint64_t id, const std::string& type, const std::string& message, uint16_t flags = 0) {
        DecodedCommand c = Base(CommandType::ExceptionDetails, ts, 7);
        c.exceptionId = id;
        c.texts[0] = type;
        c.texts[1] = message;
        c.shortValue = flags;
        exceptions.Record(c);
        builder->SetExceptionTable(&exceptions);
        builder->OnCommand(c);
    }
    const OtlpSpan* Span(const std::string& name, size_t nth = 0) const {
        for (const auto& s : spans) {
            if (s.name == name && nth-- == 0) {
                return &s;
            }
        }
        return nullptr;
    }

    std::map<uint32_t, std::string> names;
    std::vector<OtlpSpan> spans;
    ExceptionTable exceptions;
    std::unique_ptr<OtlpSpanBuilder> builder;

private:
    static DecodedCommand Base(CommandType type, int64_t ts, uint32_t tid) {
        DecodedCommand c;
        c.type = static_cast<uint8_t>(type);
        c.pid = 42;
        c.tid = tid;
        c.ts = ts;
        return c;
    }
};

}  // namespace

TEST(OtlpUrl, HostPortAndPath) {
    HttpUrl u;
    std::string error;
    ASSERT_TRUE(ParseHttpUrl("http://127.0.0.1:4318", "/v1/traces", u, error));
    EXPECT_EQ(u.host, "127.0.0.1");
    EXPECT_EQ(u.port, 4318);
    EXPECT_EQ(u.path, "/v1/traces");
    ASSERT_TRUE(ParseHttpUrl("http://otel-collector/custom/traces", "/v1/traces", u, error));
    EXPECT_EQ(u.host, "otel-collector");
    EXPECT_EQ(u.port, 80);
    EXPECT_EQ(u.path, "/custom/traces");
    ASSERT_TRUE(ParseHttpUrl("http://[::1]:4318/", "/v1/traces", u, error));
    EXPECT_EQ(u.host, "::1");
    EXPECT_EQ(u.path, "/v1/traces");
    ASSERT_TRUE(ParseHttpUrl("https://otlp.example.com/api/traces?x=1", "/v1/traces", u, error));
    EXPECT_TRUE(u.https);
    EXPECT_EQ(u.port, 443);
    EXPECT_EQ(u.path, "/api/traces?x=1");
    EXPECT_EQ(u.Full(), "https://otlp.example.com:443/api/traces?x=1");
    ASSERT_TRUE(ParseHttpUrl("HTTP://[::1]:4318", "/", u, error));
    EXPECT_EQ(u.path, "/");
    EXPECT_EQ(u.Full(), "http://[::1]:4318/");
    for (const char* bad : {"ftp://h", "http://", "http://h:0", "http://h:70000", "http://h:x/",
                            "http://user:pw@h:4318", "127.0.0.1:4318", "http://h /x", "https://:443"}) {
        EXPECT_FALSE(ParseHttpUrl(bad, "/v1/traces", u, error)) << bad;
        EXPECT_FALSE(error.empty());
    }
}

TEST(OtlpConventions, SecretsAreMaskedAndTheRestKept) {
    EXPECT_EQ(MaskSecrets("Host=db;Port=5432;Username=qx;Password=s3cret;Database=shop"),
              "Host=db;Port=5432;Username=qx;Password=***;Database=shop");
    EXPECT_EQ(MaskSecrets("Server=x;User ID=a;PWD=p;"), "Server=x;User ID=a;PWD=***;");
    EXPECT_EQ(MaskSecrets("redis:6379,password=hunter2,ssl=false"), "redis:6379,password=***,ssl=false");
    EXPECT_EQ(MaskSecrets("http://bob:pw@example.test/a?token=abc&x=1"), "http://***@example.test/a?token=***&x=1");
    EXPECT_EQ(MaskSecrets("SELECT * FROM t WHERE a = 1"), "SELECT * FROM t WHERE a = 1");
}

TEST(OtlpConventions, CapturedValuesGetSemanticNames) {
    std::vector<OtlpAttribute> a;
    EXPECT_TRUE(
        MapCapturedValue("Npgsql.NpgsqlCommand", "set_CommandText", Text("value", "SELECT 1"), false, a).meaningful);
    EXPECT_EQ(Flat(a)["db.system.name"], "postgresql");
    EXPECT_EQ(Flat(a)["db.query.text"], "SELECT 1");

    a.clear();
    MapCapturedValue("MySqlConnector.MySqlConnection", ".ctor",
                     Text("connectionString", "Server=127.0.0.1;Port=3307;User ID=qx;Password=pw;Database=shop"), false,
                     a);
    auto f = Flat(a);
    EXPECT_EQ(f["db.system.name"], "mysql");
    EXPECT_EQ(f["server.address"], "127.0.0.1");
    EXPECT_EQ(f["server.port"], "3307");
    EXPECT_EQ(f["db.namespace"], "shop");
    EXPECT_EQ(f["quorix.db.connection_string"].find("pw;"), std::string::npos);

    a.clear();
    MapCapturedValue("StackExchange.Redis.RedisDatabase", "StringSet",
                     Object("key", {Text("Key1", ""), Text("Key2", "cart:7")}), false, a);
    f = Flat(a);
    EXPECT_EQ(f["db.system.name"], "redis");
    EXPECT_EQ(f["db.operation.name"], "StringSet");
    EXPECT_EQ(f["quorix.redis.key"], "cart:7");

    a.clear();
    MapCapturedValue("System.Net.Http.HttpClient", "PrepareRequestMessage",
                     Object("request", {Text("Uri", "http://shop.test:8080/items/7?colour=blue")}), false, a);
    f = Flat(a);
    EXPECT_EQ(f["url.full"], "http://shop.test:8080/items/7?colour=blue");
    EXPECT_EQ(f["server.address"], "shop.test");
    EXPECT_EQ(f["server.port"], "8080");

    a.clear();
    const char* kestrel = "Microsoft.AspNetCore.Server.Kestrel.Core.Internal.Http.HttpProtocol";
    EXPECT_TRUE(MapCapturedValue(kestrel, "set_Method", Int("value", 3), false, a).meaningful);
    EXPECT_FALSE(MapCapturedValue(kestrel, "set_Method", Int("value", 255), false, a).meaningful);
    MapCapturedValue(kestrel, "get_Path", Text("returnValue", "/orders/7"), true, a);
    MapCapturedValue("Microsoft.AspNetCore.Server.Kestrel.Core.Internal.Http.ReasonPhrases", "ToStatusBytes",
                     Int("statusCode", 404), false, a);
    f = Flat(a);
    EXPECT_EQ(f["http.request.method"], "POST");
    EXPECT_EQ(f["url.path"], "/orders/7");
    EXPECT_EQ(f["http.response.status_code"], "404");
    EXPECT_TRUE(IsRequestAttribute("url.path"));
    EXPECT_FALSE(IsRequestAttribute("db.query.text"));

    // Correlation bookkeeping and object addresses are no reason for a span of their own.
    a.clear();
    EXPECT_FALSE(MapCapturedValue("System.Threading.Tasks.Task", "AddTaskContinuation",
                                  Int("tc", 139934288225224, ValueType::Int64), false, a)
                     .meaningful);
    EXPECT_EQ(Flat(a)["quorix.arg.tc"], "139934288225224");
    EXPECT_FALSE(MapCapturedValue("Shop.Orders+<Run>d__1", "MoveNext", Int("AsyncState", -1), false, a).meaningful);
    EXPECT_EQ(Flat(a).count("quorix.arg.AsyncState"), 0u);
    EXPECT_TRUE(MapCapturedValue("Shop.Catalog", "Find", Text("name", "lamp"), false, a).meaningful);
    EXPECT_EQ(Flat(a)["quorix.arg.name"], "lamp");
}

TEST(OtlpSpans, ShortCallsAreLeftOutAndLongOnesNest) {
    Calls t;
    t.Begin("Shop.Api::Handle", 0);
    t.Begin("Shop.Api::Check", 10);
    t.End("Shop.Api::Check", 20);  // 10 us: left out
    t.Begin("Shop.Data::Load", 100);
    t.End("Shop.Data::Load", 2100);  // 2 ms: a span
    t.End("Shop.Api::Handle", 5000);
    ASSERT_EQ(t.spans.size(), 2u);
    const OtlpSpan* root = t.Span("Shop.Api::Handle");
    const OtlpSpan* load = t.Span("Shop.Data::Load");
    ASSERT_TRUE(root && load);
    EXPECT_EQ(root->parentSpanId, 0u);
    EXPECT_EQ(load->parentSpanId, root->spanId);
    EXPECT_EQ(memcmp(root->traceId, load->traceId, 16), 0);
    EXPECT_EQ(load->startNs, 100000u);
    EXPECT_EQ(load->endNs, 2100000u);
    auto f = Flat(load->attributes);
    EXPECT_EQ(f["code.function.name"], "Shop.Data.Load");
    EXPECT_EQ(f["code.namespace"], "Shop.Data");
    EXPECT_EQ(f["thread.id"], "7");
    EXPECT_EQ(Flat(root->resource->attributes)["service.name"], "svc");
    EXPECT_EQ(t.builder->GetStats().leftOut, 1u);
    EXPECT_EQ(t.builder->GetStats().exported, 2u);

    // The next root call of the thread is a trace of its own (the span vector may move: keep a copy).
    uint8_t firstTrace[16];
    memcpy(firstTrace, root->traceId, 16);
    t.Begin("Shop.Api::Handle", 6000);
    t.End("Shop.Api::Handle", 8000);
    ASSERT_EQ(t.spans.size(), 3u);
    EXPECT_NE(memcmp(t.spans[2].traceId, firstTrace, 16), 0);
}

TEST(OtlpSpans, CapturedValuesKeepAShortCallAndItsAncestors) {
    Calls t;
    t.Begin("Shop.Api::Handle", 0);
    t.Begin("Shop.Data::Query", 10);
    t.Begin("Npgsql.NpgsqlCommand::set_CommandText", 11, {Text("value", "SELECT 1")});
    t.End("Npgsql.NpgsqlCommand::set_CommandText", 12);
    t.End("Shop.Data::Query", 20);
    t.Begin("Shop.Data::Other", 30);
    t.End("Shop.Data::Other", 31);
    t.End("Shop.Api::Handle", 40);
    ASSERT_EQ(t.spans.size(), 3u);  // the SQL call, its caller, the root; not Other
    const OtlpSpan* sql = t.Span("Npgsql.NpgsqlCommand::set_CommandText");
    ASSERT_TRUE(sql);
    EXPECT_EQ(Flat(sql->attributes)["db.query.text"], "SELECT 1");
    EXPECT_EQ(sql->parentSpanId, t.Span("Shop.Data::Query")->spanId);
    EXPECT_EQ(t.Span("Shop.Data::Query")->parentSpanId, t.Span("Shop.Api::Handle")->spanId);
    EXPECT_EQ(t.Span("Shop.Data::Other"), nullptr);
}

TEST(OtlpSpans, TheCallThatRunsACommandGetsItsText) {
    Calls t;
    const uint64_t command = 0x7f0012345678;
    t.Begin("Shop.Data::Load", 0);
    t.Begin("Npgsql.NpgsqlCommand::.ctor", 10, {Text("cmdText", "SELECT name FROM items")}, 7, command);
    t.End("Npgsql.NpgsqlCommand::.ctor", 11);
    t.Begin("System.Data.Common.DbCommand::ExecuteReader", 20, {}, 7, command);
    t.Begin("Npgsql.NpgsqlCommand::ExecuteDbDataReader", 21, {}, 7, command);
    t.End("Npgsql.NpgsqlCommand::ExecuteDbDataReader", 30);
    t.End("System.Data.Common.DbCommand::ExecuteReader", 31);
    t.Begin("Npgsql.NpgsqlCommand::ExecuteScalar", 40, {}, 7, 0x99);  // another command: no text known
    t.End("Npgsql.NpgsqlCommand::ExecuteScalar", 41);
    t.End("Shop.Data::Load", 50);
    const OtlpSpan* execute = t.Span("System.Data.Common.DbCommand::ExecuteReader");
    ASSERT_TRUE(execute);  // short, but it ran a query
    EXPECT_EQ(Flat(execute->attributes)["db.query.text"], "SELECT name FROM items");
    EXPECT_EQ(Flat(execute->attributes)["db.system.name"], "postgresql");
    EXPECT_EQ(t.Span("Npgsql.NpgsqlCommand::ExecuteDbDataReader"), nullptr);
    EXPECT_EQ(t.Span("Npgsql.NpgsqlCommand::ExecuteScalar"), nullptr);
}

TEST(OtlpSpans, ExceptionsMarkTheCallsTheyLeave) {
    Calls t;
    t.Begin("Shop.Api::Handle", 0);
    t.Begin("Shop.Orders::Process", 10);
    t.Begin("Shop.Orders::Validate", 20);
    t.Raise(25, 0xabc);
    t.Unwind("Shop.Orders::Validate", 30);
    t.Unwind("Shop.Orders::Process", 40);
    t.End("Shop.Api::Handle", 50);  // caught here
    ASSERT_EQ(t.spans.size(), 3u);
    const OtlpSpan* validate = t.Span("Shop.Orders::Validate");
    const OtlpSpan* process = t.Span("Shop.Orders::Process");
    const OtlpSpan* handle = t.Span("Shop.Api::Handle");
    ASSERT_TRUE(validate && process && handle);
    EXPECT_TRUE(validate->error);
    EXPECT_TRUE(process->error);
    EXPECT_FALSE(handle->error);
    ASSERT_EQ(validate->events.size(), 1u);
    EXPECT_EQ(validate->events[0].name, "exception");
    EXPECT_EQ(validate->events[0].timeNs, 25000u);
    EXPECT_EQ(Flat(validate->events[0].attributes)["quorix.exception.id"], "0xabc");
    ASSERT_EQ(process->events.size(), 1u);
    EXPECT_EQ(process->events[0].timeNs, 40000u);
    EXPECT_NE(process->statusMessage.find("0xabc"), std::string::npos);
    EXPECT_TRUE(handle->events.empty());
}

TEST(OtlpSpans, ExceptionEventsCarryTypeAndMessageOnceTheAgentSentThem) {
    Calls t;
    t.Begin("Shop.Api::Handle", 0);
    t.Begin("Shop.Orders::Validate", 20);
    t.Raise(25, 0xabc);
    t.Detail(25, 0xabc, "System.InvalidOperationException", "no lines; Password=hunter2", ExceptionMessageCut);
    t.Unwind("Shop.Orders::Validate", 30);
    t.Raise(35, 0xdef);  // raised where it is caught, with no message
    t.Detail(35, 0xdef, "Shop.Refused`1", "", ExceptionMessageNull);
    t.Unwind("Shop.Api::Handle", 40);
    const OtlpSpan* validate = t.Span("Shop.Orders::Validate");
    const OtlpSpan* handle = t.Span("Shop.Api::Handle");
    ASSERT_TRUE(validate && handle);
    ASSERT_EQ(validate->events.size(), 1u);
    auto raised = Flat(validate->events[0].attributes);
    EXPECT_EQ(raised["exception.type"], "System.InvalidOperationException");
    // Masked once more on the way out, as captured texts are.
    EXPECT_EQ(raised["exception.message"], "no lines; Password=***...");
    EXPECT_EQ(raised["quorix.exception.id"], "0xabc");
    ASSERT_EQ(handle->events.size(), 1u);
    auto own = Flat(handle->events[0].attributes);
    EXPECT_EQ(own["exception.type"], "Shop.Refused`1");
    EXPECT_EQ(own["exception.message"], "exception raised");  // none of its own
}

TEST(OtlpSpans, PoolDispatchIsNoSpanAndRequestsBeginTraces) {
    Calls t;
    t.Begin("System.Threading.ThreadPoolWorkQueue::Dispatch", 0);
    t.Begin("System.Threading.ExecutionContext::RunFromThreadPoolDispatchLoop", 1);
    t.Begin("Shop.Jobs::First", 2);
    t.End("Shop.Jobs::First", 3000);
    t.End("System.Threading.ExecutionContext::RunFromThreadPoolDispatchLoop", 3001);
    t.Begin("Kestrel.Connection::ProcessRequests", 3100);
    const std::string setMethod = "Microsoft.AspNetCore.Server.Kestrel.Core.Internal.Http.HttpProtocol::set_Method";
    t.Begin(setMethod, 3110, {Int("value", 0)});
    t.End(setMethod, 3111);
    t.Begin("Microsoft.AspNetCore.Hosting.HostingApplication::ProcessRequestAsync", 3200);
    t.Begin("Microsoft.AspNetCore.Server.Kestrel.Core.Internal.Http.HttpProtocol::get_Path", 3210);
    DecodedCommand end;
    end.type = static_cast<uint8_t>(CommandType::EndCall);
    end.pid = 42;
    end.tid = 7;
    end.ts = 3211;
    end.functionId = t.Id("Microsoft.AspNetCore.Server.Kestrel.Core.Internal.Http.HttpProtocol::get_Path");
    end.hasReturnValue = true;
    end.returnValue = Text("returnValue", "/orders/7");
    t.builder->OnCommand(end);
    t.End("Microsoft.AspNetCore.Hosting.HostingApplication::ProcessRequestAsync", 5000);
    t.End("Kestrel.Connection::ProcessRequests", 6000);
    t.End("System.Threading.ThreadPoolWorkQueue::Dispatch", 7000);

    EXPECT_EQ(t.Span("System.Threading.ThreadPoolWorkQueue::Dispatch"), nullptr);
    EXPECT_EQ(t.builder->GetStats().dispatchers, 2u);
    const OtlpSpan* first = t.Span("Shop.Jobs::First");
    const OtlpSpan* connection = t.Span("Kestrel.Connection::ProcessRequests");
    const OtlpSpan* request = t.Span("Microsoft.AspNetCore.Hosting.HostingApplication::ProcessRequestAsync");
    const OtlpSpan* path = t.Span("Microsoft.AspNetCore.Server.Kestrel.Core.Internal.Http.HttpProtocol::get_Path");
    ASSERT_TRUE(first && connection && request && path);
    EXPECT_EQ(first->parentSpanId, 0u);
    EXPECT_EQ(connection->parentSpanId, 0u);
    EXPECT_NE(memcmp(first->traceId, connection->traceId, 16), 0);
    // The request is a trace of its own, and its root carries the request's path.
    EXPECT_EQ(request->parentSpanId, 0u);
    EXPECT_NE(memcmp(request->traceId, connection->traceId, 16), 0);
    EXPECT_EQ(path->parentSpanId, request->spanId);
    EXPECT_EQ(Flat(request->attributes)["url.path"], "/orders/7");
    // The method was read before the request was handed to the app.
    EXPECT_EQ(Flat(request->attributes)["http.request.method"], "GET");
    EXPECT_EQ(Flat(t.Span(setMethod)->attributes)["http.request.method"], "GET");
    EXPECT_EQ(t.Span(setMethod)->parentSpanId, connection->spanId);
}

TEST(OtlpSpans, MissingEndsThreadEndsAndOtherClocks) {
    Calls t(0);
    t.Begin("Shop.A::Outer", 0);
    t.Begin("Shop.A::Inner", 10);
    t.End("Shop.A::Outer", 50);  // Inner's end never came
    ASSERT_EQ(t.spans.size(), 2u);
    EXPECT_EQ(Flat(t.Span("Shop.A::Inner")->attributes)["quorix.unfinished"], "true");
    EXPECT_EQ(t.Span("Shop.A::Inner")->endNs, 50000u);
    t.End("Shop.A::Nothing", 60);  // an end without begin changes nothing
    EXPECT_EQ(t.spans.size(), 2u);

    t.Begin("Shop.A::Open", 100, {}, 8);
    DecodedCommand ended;
    ended.type = static_cast<uint8_t>(CommandType::ThreadEnded);
    ended.pid = 42;
    ended.tid = 8;
    ended.ts = 300;
    t.builder->OnCommand(ended);
    ASSERT_TRUE(t.Span("Shop.A::Open"));
    EXPECT_EQ(t.Span("Shop.A::Open")->endNs, 300000u);
    EXPECT_EQ(t.builder->GetStats().unfinished, 2u);

    // A clock of 10 MHz: ticks of 100 ns.
    DecodedCommand frequency;
    frequency.type = static_cast<uint8_t>(CommandType::ProcessFrequency);
    frequency.pid = 42;
    frequency.frequency = 10000000;
    t.builder->OnCommand(frequency);
    t.Begin("Shop.A::Fast", 1000);
    t.End("Shop.A::Fast", 1500);
    EXPECT_EQ(t.Span("Shop.A::Fast")->startNs, 100000u);
    EXPECT_EQ(t.Span("Shop.A::Fast")->endNs, 150000u);
}

TEST(OtlpSpans, FramesBeyondTheBoundAreMatchedButNotTracked) {
    Calls t(0, 3);
    for (int i = 0; i < 5; ++i) {
        t.Begin("Shop.Deep::F" + std::to_string(i), i);
    }
    for (int i = 4; i >= 0; --i) {
        t.End("Shop.Deep::F" + std::to_string(i), 100 - i);
    }
    ASSERT_EQ(t.spans.size(), 3u);
    EXPECT_EQ(t.builder->GetStats().notTracked, 2u);
    EXPECT_EQ(t.builder->GetStats().unfinished, 0u);
    EXPECT_EQ(t.Span("Shop.Deep::F2")->parentSpanId, t.Span("Shop.Deep::F1")->spanId);
    EXPECT_EQ(t.Span("Shop.Deep::F0")->endNs, 100000u);
    // The frames are reused: a second thread finds none left, the first keeps going.
    t.Begin("Shop.Deep::G", 200, {}, 9);
    t.End("Shop.Deep::G", 300, 9);
    EXPECT_EQ(t.Span("Shop.Deep::G"), nullptr);
    t.Begin("Shop.Deep::H", 400);
    t.End("Shop.Deep::H", 500);
    EXPECT_NE(t.Span("Shop.Deep::H"), nullptr);
}

TEST(OtlpSpans, ServiceNameFromTheCommandLine) {
    using B = OtlpSpanBuilder;
    EXPECT_EQ(B::ServiceNameFromCommandLine(std::string("dotnet\0/srv/app/Shop.Api.dll\0--urls\0", 37)), "Shop.Api");
    EXPECT_EQ(B::ServiceNameFromCommandLine(std::string("/usr/share/dotnet/dotnet\0exec\0x/Tool.dll\0", 41)), "Tool");
    EXPECT_EQ(B::ServiceNameFromCommandLine(std::string("/opt/shop/ShopHost\0--port\0", 26)), "ShopHost");
    EXPECT_EQ(B::ServiceNameFromCommandLine(""), "");
}

TEST(OtlpEncoder, JsonFormOfSpansGroupedByProcess) {
    auto one = std::make_shared<OtlpResource>();
    one->attributes.push_back(OtlpAttribute::String("service.name", "a\"b"));
    auto two = std::make_shared<OtlpResource>();
    two->attributes.push_back(OtlpAttribute::Int("process.pid", 9));
    std::vector<OtlpSpan> spans(3);
    for (size_t i = 0; i < spans.size(); ++i) {
        spans[i].resource = i == 1 ? two : one;
        spans[i].traceId[15] = 0xAB;
        spans[i].spanId = 0x0102030405060708ull + i;
        spans[i].name = "S" + std::to_string(i);
        spans[i].startNs = 1796730927758271400ull;
        spans[i].endNs = 1796730927758271401ull;
    }
    spans[2].parentSpanId = spans[0].spanId;
    spans[2].error = true;
    spans[2].statusMessage = "left";
    spans[2].attributes.push_back(OtlpAttribute::Bool("b", true));
    spans[2].attributes.push_back(OtlpAttribute::Double("d", 0.5));
    spans[2].events.push_back({5, "exception", {OtlpAttribute::String("exception.message", "x")}});
    std::string out;
    OtlpEncoder::AppendTraceRequest(out, spans);
    EXPECT_EQ(out.rfind("{\"resourceSpans\":[{\"resource\":{\"attributes\":[{\"key\":\"service.name\",\"value\":{"
                        "\"stringValue\":\"a\\\"b\"}}]}",
                        0),
              0u)
        << out;
    EXPECT_NE(out.find("\"traceId\":\"000000000000000000000000000000ab\",\"spanId\":\"0102030405060708\""),
              std::string::npos);
    EXPECT_NE(out.find("\"parentSpanId\":\"0102030405060708\",\"name\":\"S2\""), std::string::npos);
    EXPECT_NE(out.find("\"startTimeUnixNano\":\"1796730927758271400\""), std::string::npos);
    EXPECT_NE(out.find("{\"key\":\"process.pid\",\"value\":{\"intValue\":\"9\"}}"), std::string::npos);
    EXPECT_NE(
        out.find("{\"key\":\"b\",\"value\":{\"boolValue\":true}},{\"key\":\"d\",\"value\":{\"doubleValue\":0.5}}"),
        std::string::npos);
    EXPECT_NE(out.find("\"events\":[{\"timeUnixNano\":\"5\",\"name\":\"exception\""), std::string::npos);
    EXPECT_NE(out.find("\"status\":{\"code\":2,\"message\":\"left\"}"), std::string::npos);
    // Two processes, two resource entries; S0 and S2 share the first.
    size_t count = 0;
    for (size_t at = out.find("\"resource\":"); at != std::string::npos; at = out.find("\"resource\":", at + 1)) {
        ++count;
    }
    EXPECT_EQ(count, 2u);
    EXPECT_LT(out.find("\"S2\""), out.find("\"S1\""));
}

namespace {

// A receiver on 127.0.0.1 that answers each request with the next status of its script (the
// last one repeats), kept alive, and remembers the bodies.
class FakeReceiver {
public:
    explicit FakeReceiver(std::vector<int> replies, uint16_t requestedPort = 0) : script(std::move(replies)) {
        fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(requestedPort);
        EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        listen(fd, 8);
        socklen_t len = sizeof a;
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
        thread = std::thread([this] { Serve(); });
    }
    ~FakeReceiver() {
        stop = true;
        shutdown(fd, SHUT_RDWR);
        const int connection = client.load();
        if (connection >= 0) {
            shutdown(connection, SHUT_RDWR);  // a kept-alive connection would hold the loop in recv
        }
        thread.join();
        close(fd);
    }
    uint16_t Port() const { return port; }
    std::vector<std::string> Bodies() {
        std::lock_guard<std::mutex> lock(mutex);
        return bodies;
    }

private:
    void Serve() {
        while (!stop) {
            const int c = accept(fd, nullptr, nullptr);
            if (c < 0) {
                return;
            }
            client = c;
            if (stop) {
                shutdown(c, SHUT_RDWR);
            }
            std::string in;
            char buf[65536];
            for (;;) {
                const size_t head = in.find("\r\n\r\n");
                if (head != std::string::npos) {
                    const size_t cl = in.find("Content-Length: ");
                    const size_t length = static_cast<size_t>(atoll(in.c_str() + cl + 16));
                    if (in.size() >= head + 4 + length) {
                        const int status = script[std::min(served, script.size() - 1)];
                        ++served;
                        {
                            std::lock_guard<std::mutex> lock(mutex);
                            bodies.push_back(in.substr(head + 4, length));
                        }
                        const std::string answer = "HTTP/1.1 " + std::to_string(status) +
                                                   " X\r\nContent-Length: 2\r\nRetry-After: 0\r\n\r\n{}";
                        send(c, answer.data(), answer.size(), MSG_NOSIGNAL);
                        in.erase(0, head + 4 + length);
                        continue;
                    }
                }
                const ssize_t n = recv(c, buf, sizeof buf, 0);
                if (n <= 0) {
                    break;
                }
                in.append(buf, static_cast<size_t>(n));
            }
            client = -1;
            close(c);
        }
    }

    std::vector<int> script;
    size_t served = 0;
    int fd = -1;
    uint16_t port = 0;
    std::atomic<bool> stop{false};
    std::atomic<int> client{-1};
    std::mutex mutex;
    std::vector<std::string> bodies;
    std::thread thread;
};

OtlpExporter::Options FastOptions(uint16_t port) {
    OtlpExporter::Options o;
    o.url = "http://127.0.0.1:" + std::to_string(port);
    o.serviceName = "svc";
    o.minDurationMs = 0;
    o.batchSpans = 4;
    o.batchAge = std::chrono::milliseconds(20);
    o.firstBackoff = std::chrono::milliseconds(10);
    o.maxBackoff = std::chrono::milliseconds(50);
    o.requestTimeout = std::chrono::milliseconds(2000);
    return o;
}

void FeedCalls(OtlpExporter& e, int count, int64_t ts = 0) {
    for (int i = 0; i < count; ++i) {
        DecodedCommand c;
        c.pid = 42;
        c.tid = 7;
        c.functionId = 1;
        c.type = static_cast<uint8_t>(CommandType::BeginCall);
        c.ts = ts + 10 * i;
        e.OnCommand(c);
        c.type = static_cast<uint8_t>(CommandType::EndCall);
        c.ts = ts + 10 * i + 5;
        e.OnCommand(c);
    }
}

std::string_view Name(uint32_t, uint32_t) { return "Shop.A::Run"; }

}  // namespace

TEST(OtlpExporter, RetriesWhenBusyAndCountsWhatWasRefused) {
    FakeReceiver receiver({503, 429, 200, 400});
    OtlpExporter e(FastOptions(receiver.Port()), Name);
    std::string error;
    ASSERT_TRUE(e.Start(error)) << error;
    FeedCalls(e, 4);  // one batch: 503, 429, then accepted
    for (int i = 0; i < 200 && e.GetCounts().exported < 4; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    FeedCalls(e, 4, 1000);  // the next batch is refused for good
    e.Finish(std::chrono::milliseconds(3000));
    const auto c = e.GetCounts();
    EXPECT_EQ(c.exported, 4u);
    EXPECT_EQ(c.retries, 2u);
    EXPECT_EQ(c.refused, 4u);
    EXPECT_EQ(c.requests, 1u);
    EXPECT_NE(c.lastError.find("HTTP 400"), std::string::npos);
    const auto bodies = receiver.Bodies();
    ASSERT_EQ(bodies.size(), 4u);
    EXPECT_EQ(bodies[0], bodies[2]);  // the same batch again
    EXPECT_NE(bodies[0].find("Shop.A::Run"), std::string::npos);
    const auto lines = e.SummaryLines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_NE(lines[0].find("4 spans exported"), std::string::npos) << lines[0];
    // The report lists the refused spans among what was lost, with the receiver's answer.
    const auto drops = e.DropLines();
    ASSERT_EQ(drops.size(), 2u);
    EXPECT_NE(drops[0].find("4 refused"), std::string::npos) << drops[0];
    EXPECT_NE(drops[1].find("HTTP 400"), std::string::npos) << drops[1];
}

TEST(OtlpExporter, AReceiverThatComesLaterGetsTheBatches) {
    uint16_t port = 0;
    {
        FakeReceiver probe({200});
        port = probe.Port();  // free again once the probe is gone
    }
    OtlpExporter e(FastOptions(port), Name);
    std::string error;
    ASSERT_TRUE(e.Start(error));
    FeedCalls(e, 4);
    std::this_thread::sleep_for(std::chrono::milliseconds(150));  // some attempts fail
    FakeReceiver receiver({200}, port);
    FeedCalls(e, 4, 1000);
    e.Finish(std::chrono::milliseconds(3000));
    const auto c = e.GetCounts();
    EXPECT_GT(c.retries, 0u);
    EXPECT_EQ(c.exported, 8u);
    EXPECT_EQ(c.notDelivered + c.dropped + c.refused, 0u);
    EXPECT_TRUE(e.DropLines().empty());  // retries that succeeded lost nothing
}

TEST(OtlpExporter, ABoundedQueueDropsAndTheExitDeadlineHolds) {
    uint16_t port = 0;
    {
        FakeReceiver probe({200});
        port = probe.Port();
    }
    OtlpExporter::Options o = FastOptions(port);
    o.queueSpans = 10;
    OtlpExporter e(o, Name);
    std::string error;
    ASSERT_TRUE(e.Start(error));
    FeedCalls(e, 100);  // nobody listens: at most the queue and one batch in hand are kept
    const auto start = std::chrono::steady_clock::now();
    e.Finish(std::chrono::milliseconds(300));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    const auto c = e.GetCounts();
    EXPECT_EQ(c.exported, 0u);
    EXPECT_GE(c.dropped, 100u - 10u - 4u);
    EXPECT_EQ(c.dropped + c.notDelivered, 100u);
    EXPECT_NE(c.lastError.find("connect"), std::string::npos) << c.lastError;
}
