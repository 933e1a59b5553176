// Requests from matched calls: joining the pieces of an async request across threads, when a
// request is over, what its calls' values tell of it, the findings, and one trace per request.

#include <map>
#include <memory>

#include <gtest/gtest.h>

#include "requests/RequestFindings.h"
#include "requests/RequestJson.h"
#include "requests/RequestTracker.h"
#include "spans/OtlpSpanBuilder.h"
#include "wire/WireFormat.h"

using namespace QuorixCollect;

namespace {

constexpr const char* Entry = "Microsoft.AspNetCore.Hosting.HostingApplication::ProcessRequestAsync";
constexpr const char* Protocol = "Microsoft.AspNetCore.Server.Kestrel.Core.Internal.Http.HttpProtocol::";
constexpr const char* Dispatch = "System.Threading.ThreadPoolWorkQueue::Dispatch";
constexpr const char* AddContinuation = "System.Threading.Tasks.Task::AddTaskContinuation";
constexpr const char* Finish = "System.Threading.Tasks.Task::FinishContinuations";

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

ValueRecord Address(const std::string& name, uint64_t value) {
    return Int(name, static_cast<int64_t>(value), ValueType::Int64);
}

struct Collected : RequestSink {
    void RequestEnded(const Request& r) override { requests.push_back(r); }
    std::vector<Request> requests;
};

// Drives a matcher, a request tracker and (optionally) a span builder with calls of named
// functions; time stamps in microseconds.
class Traffic {
public:
    explicit Traffic(RequestTracker::Options o = {}) {
        auto lookup = [this](uint32_t, uint32_t id) {
            auto it = names.find(id);
            return it == names.end() ? std::string_view{} : std::string_view(it->second);
        };
        tracker = std::make_unique<RequestTracker>(o, lookup, matcher);
        tracker->UseExceptions(&exceptions);
        matcher.AddListener(tracker.get());
        tracker->AddSink(&out);
        OtlpSpanBuilder::Options so;
        so.minDurationUs = 0;
        so.serviceName = "svc";
        spans = std::make_unique<OtlpSpanBuilder>(
            so, lookup, [this](OtlpSpan&& s) { sent.push_back(std::move(s)); }, nullptr, &matcher);
        matcher.AddListener(spans.get());
        spans->UseRequests(tracker.get());
        spans->SetExceptionTable(&exceptions);
        tracker->AddSink(spans.get());
        Send(Base(CommandType::ProcessStarted, 0, 0));
    }
    uint32_t Id(const std::string& name) {
        for (const auto& [id, n] : names) {
            if (n == name) return id;
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
        Send(c);
    }
    void End(const std::string& f, int64_t ts, uint32_t tid = 7, const ValueRecord* returned = nullptr) {
        DecodedCommand c = Base(CommandType::EndCall, ts, tid);
        c.functionId = Id(f);
        if (returned != nullptr) {
            c.hasReturnValue = true;
            c.returnValue = *returned;
        }
        Send(c);
    }
    void Returns(const std::string& f, int64_t ts, ValueRecord v, uint32_t tid = 7) { End(f, ts, tid, &v); }
    void Call(const std::string& f, int64_t ts, std::vector<ValueRecord> args = {}, uint32_t tid = 7,
              uint64_t instance = 0) {
        Begin(f, ts, std::move(args), tid, instance);
        End(f, ts + 1, tid);
    }
    void Unwind(const std::string& f, int64_t ts, uint32_t tid = 7) {
        DecodedCommand c = Base(CommandType::UnwindCall, ts, tid);
        c.functionId = Id(f);
        Send(c);
    }
    void Raise(int64_t ts, uint64_t id, uint32_t tid = 7) {
        DecodedCommand c = Base(CommandType::ExceptionRaised, ts, tid);
        c.exceptionId = id;
        Send(c);
    }
    void Details(uint64_t id, const std::string& type, const std::string& message) {
        DecodedCommand c = Base(CommandType::ExceptionDetails, 0, 7);
        c.exceptionId = id;
        c.texts[0] = type;
        c.texts[1] = message;
        Send(c);
        exceptions.Record(c);
    }
    void Stop() {
        matcher.Finish();
        tracker->Finish();
    }
    const OtlpSpan* Span(const std::string& name) const {
        for (const auto& s : sent) {
            if (s.name == name) return &s;
        }
        return nullptr;
    }

    std::map<uint32_t, std::string> names;
    CallMatcher matcher;
    ExceptionTable exceptions;
    std::unique_ptr<RequestTracker> tracker;
    std::unique_ptr<OtlpSpanBuilder> spans;
    Collected out;
    std::vector<OtlpSpan> sent;

private:
    void Send(const DecodedCommand& c) { matcher.OnCommand(c); }
    static DecodedCommand Base(CommandType type, int64_t ts, uint32_t tid) {
        DecodedCommand c;
        c.type = static_cast<uint8_t>(type);
        c.pid = 42;
        c.tid = tid;
        c.ts = ts;
        return c;
    }
};

constexpr uint64_t Box = 0x7000100;   // the handler's state machine box, its task
constexpr uint64_t Io = 0x7000200;    // what the handler awaits
constexpr uint64_t Conn = 0x7000300;  // the host's connection object
constexpr uint64_t Cmd = 0x7000400;   // a database command

// A request whose handler awaits once: the first part on thread 7, the rest on thread 8 after
// `gap` microseconds, with a statement and the status.
void AwaitingRequest(Traffic& run, int64_t t0, int64_t gap, uint64_t box = Box, uint32_t second = 8) {
    run.Begin(Entry, t0);
    run.Begin(std::string(Protocol) + "get_Path", t0 + 1, {}, 7, Conn);
    run.Returns(std::string(Protocol) + "get_Path", t0 + 2, Text("returnValue", "/orders/3"));
    run.Begin("Shop.Api::Get:[AsyncStateMachine]", t0 + 3);
    run.Begin("Shop.Api+<Get>d__1::MoveNext", t0 + 4, {Address("AsyncTaskId", 0)});
    run.Call(AddContinuation, t0 + 5, {Address("tc", box)}, 7, Io);
    run.End("Shop.Api+<Get>d__1::MoveNext", t0 + 7);
    run.Returns("Shop.Api::Get:[AsyncStateMachine]", t0 + 8, Address("returnValue", box));
    run.End(Entry, t0 + 9);
    const int64_t t1 = t0 + gap;
    run.Begin(Dispatch, t1, {}, second);
    run.Begin(Finish, t1 + 1, {}, second, Io);
    run.Begin("Shop.Api+<Get>d__1::MoveNext", t1 + 2, {Address("AsyncTaskId", box)}, second);
    run.Call("Npgsql.NpgsqlCommand::.ctor", t1 + 3, {Text("cmdText", "SELECT * FROM orders WHERE id = @id")}, second,
             Cmd);
    run.Begin("Npgsql.NpgsqlCommand::ExecuteReader", t1 + 5, {}, second, Cmd);
    run.End("Npgsql.NpgsqlCommand::ExecuteReader", t1 + 905, second);
    run.Call(std::string(Protocol) + "set_StatusCode", t1 + 910, {Int("value", 200)}, second, Conn);
    run.End("Shop.Api+<Get>d__1::MoveNext", t1 + 920, second);
    run.End(Finish, t1 + 921, second);
}

TEST(Requests, AnAsyncRequestJoinsItsContinuationOnAnotherThreadAndWaitsForIt) {
    Traffic run;
    // Another thread keeps the app's clock going while the request waits for 300 ms.
    AwaitingRequest(run, 1000, 300000);
    EXPECT_TRUE(run.out.requests.empty()) << "handed over while its handler still waited";
    run.Call("Shop.Other::Tick", 400000, {}, 9);
    ASSERT_EQ(run.out.requests.size(), 1u);
    const Request& r = run.out.requests[0];
    EXPECT_EQ(r.kind, "http");
    EXPECT_EQ(r.path, "/orders/3");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.threads, (std::vector<uint32_t>{7, 8}));
    EXPECT_GE(r.continuations, 1u);
    EXPECT_NEAR(r.DurationMs(), 300.92, 0.01);
    ASSERT_EQ(r.sql.size(), 1u);
    EXPECT_EQ(r.sql[0].text, "SELECT * FROM orders WHERE id = @id");
    EXPECT_EQ(r.sql[0].system, "postgresql");
    EXPECT_EQ(r.sql[0].tid, 8u);
    EXPECT_NEAR(static_cast<double>(r.sql[0].endNs - r.sql[0].startNs) / 1e6, 0.9, 1e-6);
    EXPECT_TRUE(r.complete);
    // The pool's loop is nobody's: it shows in no request's calls.
    for (const auto& c : r.calls) EXPECT_NE(c.name, Dispatch);
}

TEST(Requests, TwoRequestsOnOnePoolThreadStayApartAndTheHostsStatusFindsItsRequest) {
    Traffic run;
    AwaitingRequest(run, 1000, 100, Box, 8);
    AwaitingRequest(run, 2000, 100, Box + 0x1000, 8);
    // The host writes the second one's status itself, after the app's task, outside the request.
    run.Begin("Kestrel+<ProcessRequests>d__1::MoveNext", 5000, {}, 9);
    run.Call(std::string(Protocol) + "set_StatusCode", 5001, {Int("value", 503)}, 9, Conn);
    run.End("Kestrel+<ProcessRequests>d__1::MoveNext", 5002, 9);
    run.Stop();
    ASSERT_EQ(run.out.requests.size(), 2u);
    EXPECT_EQ(run.out.requests[0].sql.size(), 1u);
    EXPECT_EQ(run.out.requests[1].sql.size(), 1u);
    EXPECT_EQ(run.out.requests[1].status, 503);
    EXPECT_TRUE(run.out.requests[1].Failed());
}

TEST(Requests, AnExceptionIsShownOnceWithWhatLeftTheRequest) {
    Traffic run;
    run.Begin(Entry, 0);
    run.Begin(std::string(Protocol) + "get_Path", 1, {}, 7, Conn);
    run.Returns(std::string(Protocol) + "get_Path", 1, Text("returnValue", "/fail"));
    run.Begin("Shop.Api::Fail", 2);
    run.Begin("Shop.Rules::Check", 3);
    run.Raise(4, 0xE1);
    run.Details(0xE1, "System.InvalidOperationException", "order refused");
    run.Unwind("Shop.Rules::Check", 5);
    run.Unwind("Shop.Api::Fail", 6);
    run.End(Entry, 7);
    // Rethrown where the host awaits the app: nothing inside caught it.
    run.Begin("Kestrel+<ProcessRequests>d__1::MoveNext", 8, {}, 7);
    run.Raise(9, 0xE1);
    run.Call(std::string(Protocol) + "set_StatusCode", 10, {Int("value", 500)}, 7, Conn);
    run.End("Kestrel+<ProcessRequests>d__1::MoveNext", 11, 7);
    run.Stop();
    ASSERT_EQ(run.out.requests.size(), 1u);
    const Request& r = run.out.requests[0];
    ASSERT_EQ(r.exceptions.size(), 1u);
    const RequestException& e = r.exceptions[0];
    EXPECT_EQ(e.type, "System.InvalidOperationException");
    EXPECT_EQ(e.message, "order refused");
    EXPECT_EQ(e.thrownIn, "Shop.Rules::Check");
    EXPECT_EQ(e.stack, (std::vector<std::string>{Entry, "Shop.Api::Fail", "Shop.Rules::Check"}));
    EXPECT_TRUE(e.leftRequest);
    EXPECT_EQ(r.status, 500);
    ASSERT_FALSE(r.findings.empty());
    EXPECT_EQ(r.findings.back().name, "failed");
    // OTLP: the request's span is the trace's root, named and with its status and exception.
    const OtlpSpan* span = run.Span("HTTP /fail");
    ASSERT_NE(span, nullptr);
    EXPECT_EQ(span->parentSpanId, 0u);
    EXPECT_TRUE(span->error);
    ASSERT_EQ(span->events.size(), 1u);
    EXPECT_EQ(span->events[0].attributes[0].text, "System.InvalidOperationException");
}

TEST(Requests, ACaughtExceptionNamesTheFrameThatWentOn) {
    Traffic run;
    run.Begin(Entry, 0);
    run.Begin("Shop.Api::Try", 1);
    run.Begin("Shop.Rules::Check", 2);
    run.Raise(3, 0xE2);
    run.Unwind("Shop.Rules::Check", 4);
    run.Call("Shop.Api::Fallback", 5);
    run.End("Shop.Api::Try", 7);
    run.End(Entry, 8);
    run.Stop();
    ASSERT_EQ(run.out.requests.size(), 1u);
    ASSERT_EQ(run.out.requests[0].exceptions.size(), 1u);
    EXPECT_EQ(run.out.requests[0].exceptions[0].caughtBy, "Shop.Api::Try");
    EXPECT_FALSE(run.out.requests[0].exceptions[0].leftRequest);
    EXPECT_FALSE(run.out.requests[0].Failed());
}

TEST(Requests, EveryPieceOfARequestIsOneTraceUnderTheRequestsSpan) {
    Traffic run;
    AwaitingRequest(run, 1000, 300000);
    run.Stop();
    ASSERT_EQ(run.out.requests.size(), 1u);
    const Request& r = run.out.requests[0];
    const OtlpSpan* root = run.Span("HTTP /orders/3");
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->kind, 2);
    EXPECT_EQ(root->spanId, r.spanId);
    const OtlpSpan* entry = run.Span(Entry);
    const OtlpSpan* resumed = nullptr;
    for (const auto& s : run.sent) {
        if (s.name == "Shop.Api+<Get>d__1::MoveNext" && s.startNs > entry->startNs + 1000000) resumed = &s;
    }
    ASSERT_NE(entry, nullptr);
    ASSERT_NE(resumed, nullptr);
    for (const OtlpSpan* s : {entry, resumed}) {
        EXPECT_EQ(s->parentSpanId, r.spanId) << s->name;
        EXPECT_EQ(0, memcmp(s->traceId, r.traceId, 16)) << s->name;
    }
    const OtlpSpan* statement = run.Span("SELECT");
    ASSERT_NE(statement, nullptr);
    EXPECT_EQ(statement->kind, 3);
    EXPECT_EQ(statement->parentSpanId, r.spanId);
}

TEST(Requests, OutsideWebAppsEachRootCallIsARequestOfKindTrace) {
    Traffic run;
    run.Begin("Tool.Program::Main", 0);
    run.Call("Tool.Program::Work", 1);
    run.End("Tool.Program::Main", 10);
    run.Begin(Dispatch, 20, {}, 8);
    run.Call("Tool.Jobs::Run", 21, {}, 8);
    run.End(Dispatch, 30, 8);
    run.Stop();
    ASSERT_EQ(run.out.requests.size(), 2u);
    EXPECT_EQ(run.out.requests[0].kind, "trace");
    EXPECT_EQ(run.out.requests[0].name, "Tool.Program::Main");
    EXPECT_EQ(run.out.requests[1].name, "Tool.Jobs::Run");
}

TEST(Requests, InAWebAppTheHostsRootCallsAreNoRequests) {
    Traffic run;
    run.Begin("Web.Program::Main", 0);
    run.Call("Web.Startup::Configure", 1);
    AwaitingRequest(run, 100, 50);
    run.Stop();
    ASSERT_EQ(run.out.requests.size(), 1u);
    EXPECT_EQ(run.out.requests[0].kind, "http");
    EXPECT_EQ(run.tracker->GetStats().tracesDropped, 1u);
}

TEST(Requests, TooManyOpenAtOnceAreCountedNotKept) {
    RequestTracker::Options o;
    o.maxLive = 2;
    Traffic run(o);
    for (int i = 0; i < 3; ++i) run.Begin(Entry, i, {}, 7 + i);
    EXPECT_EQ(run.tracker->GetStats().notTracked, 1u);
    EXPECT_EQ(run.tracker->LiveCount(), 2u);
}

TEST(RequestFindings, ShapesTakeOutLiteralsParametersAndListLengths) {
    EXPECT_EQ(SqlShape("SELECT * FROM t WHERE id = 42 AND name = 'o''k'"), "select * from t where id = ? and name = ?");
    EXPECT_EQ(SqlShape("select *\n  from t where id = @id;"), "select * from t where id = ?");
    EXPECT_EQ(SqlShape("SELECT x::int FROM t1 WHERE a IN ($1, $2,$3)"), "select x::int from t1 where a in (?)");
}

TEST(RequestFindings, EachRuleAndTheCopyReadyStatement) {
    Request r;
    r.kind = "http";
    r.startNs = 0;
    r.endNs = 600'000'000;
    for (int i = 0; i < 6; ++i) {
        SqlStatement s;
        s.text = "SELECT name FROM items WHERE id = @id";
        s.parameters = {{"@id", std::to_string(i % 5), false, false}};
        s.startNs = i * 1'000'000;
        s.endNs = s.startNs + (i == 3 ? 150'000'000 : 1'000'000);
        r.sql.push_back(s);
    }
    FindIn(r, FindingRules{});
    std::vector<std::string> names;
    for (const auto& f : r.findings) names.push_back(f.name);
    EXPECT_EQ(names, (std::vector<std::string>{"n_plus_one", "duplicate", "slow_sql", "slow_request"}));
    EXPECT_EQ(r.sql[0].findings, (std::vector<std::string>{"n_plus_one", "duplicate"}));
    EXPECT_EQ(r.sql[3].findings, (std::vector<std::string>{"n_plus_one", "slow_sql"}));
    EXPECT_NE(r.findings[0].text.find("ran 6 times"), std::string::npos) << r.findings[0].text;

    SqlStatement s;
    s.text = "UPDATE t SET a = @a, b = :b WHERE c = $1 AND d = '@literal'";
    s.parameters = {{"@a", "it's", false, true}, {"b", "", true, false}, {"", "7", false, false}};
    EXPECT_EQ(InlineParameters(s), "UPDATE t SET a = 'it''s', b = NULL WHERE c = 7 AND d = '@literal'");
}

TEST(RequestJson, OneObjectWithTheFieldsTheReaderExpects) {
    Request r;
    r.id = 3;
    r.kind = "http";
    r.method = "GET";
    r.path = "/orders/42/lines/0f8fad5b-d9cb-469f-a165-70867728950e";
    r.status = 404;
    r.startNs = 1'796'000'000'000'000'000ULL;
    r.endNs = r.startNs + 2'500'000;
    r.exceptions.push_back({});
    r.exceptions[0].type = "X\"Y";
    std::string out;
    AppendRequestJson(out, r);
    EXPECT_EQ(r.Endpoint(), "GET /orders/{id}/lines/{id}");
    for (const char* part : {"\"id\":3,", "\"status\":404,", "\"durationMs\":2.5,", "\"route\":null,",
                             "\"endpoint\":\"GET /orders/{id}/lines/{id}\"", "\"type\":\"X\\\"Y\"", "\"message\":null",
                             "\"start\":\"2026-", "\"findings\":[]"}) {
        EXPECT_NE(out.find(part), std::string::npos) << part << " in " << out;
    }
    EXPECT_EQ(out.front(), '{');
    EXPECT_EQ(out.back(), '}');
}

}  // namespace
