// The span export's HTTP client against receivers that misbehave: garbage, chunk sizes that
// overflow, endless bodies, slow drips, huge headers and odd Retry-After values. Every request
// ends by its deadline and keeps a bounded part of the answer; the exit deadline cuts a request
// in flight; the backoff keeps its floor whatever the receiver asks.

#include <zlib.h>

#include <gtest/gtest.h>

#include "ScriptedReceiver.h"
#include "spans/HttpPoster.h"
#include "spans/OtlpExporter.h"
#include "wire/WireFormat.h"

using namespace QuorixCollect;
using namespace CollectorTest;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

HttpTarget Target(const ScriptedReceiver& r) {
    HttpTarget t;
    std::string error;
    EXPECT_TRUE(ParseHttpUrl(r.Url(), "/v1/traces", t.url, error)) << error;
    t.userAgent = "quorix-collect/test";
    return t;
}

struct Timed {
    HttpPoster::Result result;
    milliseconds took;
};

Timed PostOnce(HttpPoster& poster, milliseconds timeout, const std::string& body = "{}") {
    const auto start = Clock::now();
    Timed t{poster.Post("application/x-protobuf", "", body, start + timeout), {}};
    t.took = std::chrono::duration_cast<milliseconds>(Clock::now() - start);
    return t;
}

std::string Gunzip(const std::string& in) {
    z_stream z{};
    inflateInit2(&z, 15 + 16);
    std::string out(in.size() * 20 + 1024, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
    z.avail_in = static_cast<uInt>(in.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    const int rc = inflate(&z, Z_FINISH);
    out.resize(rc == Z_STREAM_END ? z.total_out : 0);
    inflateEnd(&z);
    return out;
}

}  // namespace

TEST(HttpPoster, SendsItsHeadersKeepsTheConnectionAndReadsTheStatus) {
    ScriptedReceiver receiver([](int fd, const HttpRequest&, const std::atomic<bool>&) {
        return ScriptedReceiver::Send(fd, ScriptedReceiver::Answer(200));
    });
    HttpTarget target = Target(receiver);
    target.headers = {{"x-otlp-api-key", "s3cret"}, {"Authorization", "Basic dXNlcjpwYXNz"}};
    HttpPoster poster(target);
    const Timed first = PostOnce(poster, milliseconds(5000), "first");
    const auto second = poster.Post("application/json", "gzip", "second", Clock::now() + milliseconds(5000));
    EXPECT_EQ(first.result.status, 200) << first.result.error;
    EXPECT_EQ(second.status, 200) << second.error;
    EXPECT_EQ(first.result.body, "{}");
    const auto requests = receiver.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].head.rfind("POST /v1/traces HTTP/1.1\r\n", 0), 0u) << requests[0].head;
    EXPECT_EQ(requests[0].Header("User-Agent"), "quorix-collect/test");
    EXPECT_EQ(requests[0].Header("x-otlp-api-key"), "s3cret");
    EXPECT_EQ(requests[0].Header("Authorization"), "Basic dXNlcjpwYXNz");
    EXPECT_EQ(requests[0].Header("Content-Type"), "application/x-protobuf");
    EXPECT_EQ(requests[0].Header("Expect"), "");
    EXPECT_EQ(requests[0].body, "first");
    EXPECT_EQ(requests[1].Header("Content-Type"), "application/json");
    EXPECT_EQ(requests[1].Header("Content-Encoding"), "gzip");
    EXPECT_EQ(requests[1].body, "second");
}

TEST(HttpPoster, GarbageAndOverflowingChunkSizesEndWithinTheDeadline) {
    const std::vector<std::string> answers = {
        "\x16\x03\x01 not HTTP at all\r\n\r\n",
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nffffffffffffffff\r\n",
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n10000000000000000000\r\n",
        "HTTP/1.1 2x0 OK\r\nContent-Length: 2\r\n\r\n{}",
    };
    for (const auto& head : answers) {
        ScriptedReceiver receiver([&](int fd, const HttpRequest&, const std::atomic<bool>& stop) {
            ScriptedReceiver::Send(fd, head);
            ScriptedReceiver::Forever(fd, "0123456789abcdef", stop);
            return false;
        });
        HttpPoster poster(Target(receiver));
        const Timed t = PostOnce(poster, milliseconds(3000));
        EXPECT_LT(t.took, milliseconds(2500)) << head;
        // A garbled status line is no answer; a good one with a broken body is, and the body
        // kept is bounded.
        EXPECT_LE(t.result.body.size(), 64u * 1024) << head;
        if (head.find("HTTP/1.1 200") == 0) {
            EXPECT_EQ(t.result.status, 200) << head;
        } else {
            EXPECT_EQ(t.result.status, 0) << head;
            EXPECT_FALSE(t.result.error.empty());
        }
    }
}

TEST(HttpPoster, EndlessBodiesAreReadOnlyAsFarAsTheStatus) {
    for (const int status : {200, 400}) {
        ScriptedReceiver receiver([&](int fd, const HttpRequest&, const std::atomic<bool>& stop) {
            ScriptedReceiver::Send(
                fd, "HTTP/1.1 " + std::to_string(status) + " X\r\nContent-Length: 99999999999999\r\n\r\n");
            ScriptedReceiver::Forever(fd, std::string(65536, 'x'), stop);
            return false;
        });
        HttpPoster poster(Target(receiver));
        const Timed t = PostOnce(poster, milliseconds(5000));
        EXPECT_EQ(t.result.status, status) << t.result.error;
        EXPECT_EQ(t.result.body.size(), 64u * 1024);
        EXPECT_LT(t.took, milliseconds(2000));
    }
}

TEST(HttpPoster, SlowDripsAndHugeHeadersEndByTheDeadline) {
    struct Case {
        std::string start, piece;
        milliseconds pause;
    };
    const std::vector<Case> cases = {
        {"", "H", milliseconds(50)},                                             // the status line, a byte at a time
        {"HTTP/1.1 200 OK\r\n", "X-Pad: aaaaaaaaaaaaaaaaaaaaaaaa\r\n", {}},      // headers without end
        {"HTTP/1.1 200 OK\r\nX-Long: ", std::string(4096, 'a'), {}},             // one header line without end
        {"HTTP/1.1 100 Continue\r\n\r\n", "HTTP/1.1 100 Continue\r\n\r\n", {}},  // interim answers without end
    };
    for (const auto& c : cases) {
        ScriptedReceiver receiver([&](int fd, const HttpRequest&, const std::atomic<bool>& stop) {
            ScriptedReceiver::Send(fd, c.start);
            ScriptedReceiver::Forever(fd, c.piece, stop, c.pause);
            return false;
        });
        HttpPoster poster(Target(receiver));
        const Timed t = PostOnce(poster, milliseconds(1500));
        EXPECT_EQ(t.result.status, 0) << c.piece;
        EXPECT_FALSE(t.result.error.empty());
        EXPECT_LT(t.took, milliseconds(2500)) << c.piece << ": " << t.result.error;
    }
}

TEST(HttpPoster, TheExitDeadlineCutsARequestInFlight) {
    ScriptedReceiver receiver([](int fd, const HttpRequest&, const std::atomic<bool>& stop) {
        ScriptedReceiver::Silent(fd, stop);
        return false;
    });
    HttpPoster poster(Target(receiver));
    std::thread exit([&] {
        std::this_thread::sleep_for(milliseconds(300));
        poster.LimitTo(Clock::now() + milliseconds(200));
    });
    const Timed t = PostOnce(poster, milliseconds(10000));
    exit.join();
    EXPECT_EQ(t.result.status, 0);
    EXPECT_GE(t.took, milliseconds(450));
    EXPECT_LT(t.took, milliseconds(1500)) << t.result.error;
}

TEST(RetryAfter, SecondsDatesAndNonsense) {
    const auto now = std::chrono::system_clock::from_time_t(1445412480);  // Wed, 21 Oct 2015 07:28:00 GMT
    EXPECT_EQ(HttpPoster::ParseRetryAfter(" 120 ", now), 120);
    EXPECT_EQ(HttpPoster::ParseRetryAfter("0", now), 0);
    EXPECT_EQ(HttpPoster::ParseRetryAfter("99999999999999999999", now), 1e12);
    EXPECT_EQ(HttpPoster::ParseRetryAfter("Wed, 21 Oct 2015 07:28:30 GMT", now), 30);
    EXPECT_EQ(HttpPoster::ParseRetryAfter("Tue, 20 Oct 2015 07:28:00 GMT", now), 0);
    for (const char* bad : {"", "1e999", "-5", "1.5", "+3", "soon", "0x10", "12 s"}) {
        EXPECT_EQ(HttpPoster::ParseRetryAfter(bad, now), -1) << bad;
    }

    OtlpExporter::Options o;
    o.firstBackoff = milliseconds(250);
    o.maxBackoff = milliseconds(10000);
    o.maxRetryAfter = milliseconds(30000);
    // Between half and all of the doubled backoff.
    EXPECT_EQ(OtlpExporter::RetryPause(o, 0, -1, 0.0), milliseconds(125));
    EXPECT_EQ(OtlpExporter::RetryPause(o, 0, -1, 1.0), milliseconds(250));
    EXPECT_EQ(OtlpExporter::RetryPause(o, 3, -1, 1.0), milliseconds(2000));
    EXPECT_EQ(OtlpExporter::RetryPause(o, 1000, -1, 1.0), milliseconds(10000));
    // Retry-After lengthens the pause, within bounds; zero keeps the backoff's floor.
    EXPECT_EQ(OtlpExporter::RetryPause(o, 0, 0, 0.0), milliseconds(125));
    EXPECT_EQ(OtlpExporter::RetryPause(o, 0, 20, 0.0), milliseconds(20000));
    EXPECT_EQ(OtlpExporter::RetryPause(o, 0, 1e12, 0.0), milliseconds(30000));
}

namespace {

OtlpExporter::Options Fast(const ScriptedReceiver& r) {
    OtlpExporter::Options o;
    o.url = r.Url();
    o.serviceName = "svc";
    o.minDurationMs = 0;
    o.batchSpans = 4;
    o.batchAge = milliseconds(20);
    o.firstBackoff = milliseconds(40);
    o.maxBackoff = milliseconds(400);
    o.maxRetryAfter = milliseconds(300);
    return o;
}

void Feed(OtlpExporter& e, int calls) {
    for (int i = 0; i < calls; ++i) {
        DecodedCommand c;
        c.pid = 42;
        c.tid = 7;
        c.functionId = 1;
        c.type = static_cast<uint8_t>(CommandType::BeginCall);
        c.ts = 10 * i;
        e.OnCommand(c);
        c.type = static_cast<uint8_t>(CommandType::EndCall);
        c.ts = 10 * i + 5;
        e.OnCommand(c);
    }
}

std::string_view Name(uint32_t, uint32_t) { return "Shop.A::Run"; }

}  // namespace

TEST(HostileReceiver, RetryAfterZeroOrHugeKeepsTheBackoff) {
    for (const std::string value : {"0", "99999999999999999999", "1e999", "-1"}) {
        ScriptedReceiver receiver([&](int fd, const HttpRequest&, const std::atomic<bool>&) {
            return ScriptedReceiver::Send(fd, ScriptedReceiver::Answer(503, "Retry-After: " + value + "\r\n"));
        });
        OtlpExporter e(Fast(receiver), Name);
        std::string error;
        ASSERT_TRUE(e.Start(error)) << error;
        Feed(e, 4);
        std::this_thread::sleep_for(milliseconds(1000));
        const auto start = Clock::now();
        e.Finish(milliseconds(200));
        EXPECT_LT(Clock::now() - start, milliseconds(1000)) << value;
        // 40 ms doubling (at least half of it each time), or 300 ms for a huge value: a handful
        // of requests in that second, not thousands.
        EXPECT_GE(receiver.Count(), 2u) << value;
        EXPECT_LE(receiver.Count(), 12u) << value;
        const auto c = e.GetCounts();
        EXPECT_EQ(c.notDelivered, 4u) << value;
        EXPECT_NE(c.lastError.find("HTTP 503"), std::string::npos) << c.lastError;
    }
}

TEST(HostileReceiver, ASilentReceiverHoldsTheExitForTheExitDeadlineOnly) {
    ScriptedReceiver receiver([](int fd, const HttpRequest&, const std::atomic<bool>& stop) {
        ScriptedReceiver::Silent(fd, stop);
        return false;
    });
    OtlpExporter::Options o = Fast(receiver);
    o.requestTimeout = milliseconds(10000);
    OtlpExporter e(o, Name);
    std::string error;
    ASSERT_TRUE(e.Start(error));
    Feed(e, 4);
    for (int i = 0; i < 200 && receiver.Count() == 0; ++i) {
        std::this_thread::sleep_for(milliseconds(10));
    }
    ASSERT_EQ(receiver.Count(), 1u);  // the request is in flight
    const auto start = Clock::now();
    e.Finish(milliseconds(300));
    const auto took = Clock::now() - start;
    EXPECT_LT(took, milliseconds(1300));
    EXPECT_EQ(e.GetCounts().notDelivered, 4u);
}

TEST(HostileReceiver, GzipBodiesDecompressToTheRequest) {
    ScriptedReceiver receiver([](int fd, const HttpRequest&, const std::atomic<bool>&) {
        return ScriptedReceiver::Send(fd, ScriptedReceiver::Answer(200));
    });
    OtlpExporter::Options o = Fast(receiver);
    o.gzip = true;
    o.protocol = OtlpExporter::Protocol::Json;
    o.headers = {{"x-api-key", "never-shown"}};
    OtlpExporter e(o, Name);
    std::string error;
    ASSERT_TRUE(e.Start(error));
    Feed(e, 4);
    e.Finish(milliseconds(3000));
    const auto requests = receiver.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].Header("Content-Encoding"), "gzip");
    EXPECT_EQ(requests[0].Header("Content-Type"), "application/json");
    EXPECT_EQ(requests[0].Header("x-api-key"), "never-shown");
    const std::string json = Gunzip(requests[0].body);
    EXPECT_NE(json.find("\"name\":\"Shop.A::Run\""), std::string::npos) << json;
    const auto c = e.GetCounts();
    EXPECT_EQ(c.exported, 4u);
    EXPECT_EQ(c.bytesSent, requests[0].body.size());
    EXPECT_EQ(c.bytesEncoded, json.size());
    for (const auto& line : e.SummaryLines()) {
        EXPECT_EQ(line.find("never-shown"), std::string::npos) << line;
    }
}
