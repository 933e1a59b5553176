#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <sstream>

#include "session/CollectorSession.h"
#include "wire/StreamReassembler.h"
#include "WireBytes.h"

using namespace QuorixCollect;
using namespace CollectorTest;

namespace {

struct Collected {
    std::vector<Bytes> messages;
    std::vector<size_t> drops;

    void Feed(StreamReassembler& r, const Bytes& b) {
        r.Feed(
            b.data(), b.size(), [this](const uint8_t* d, size_t n) { messages.emplace_back(d, d + n); },
            [this](size_t n) { drops.push_back(n); });
    }
};

Bytes SampleStream() {
    return Concat({Command(9), MethodInfo(101, "A.B", "C"), BeginCall(101, {Record(6, "count", {5, 0, 0, 0})}),
                   EndCall(101), Command(10)});
}

CollectorSession MakeSession(std::vector<std::string>& lines) {
    return CollectorSession(CollectorSession::Options{}, [&lines](const std::string& l) { lines.push_back(l); });
}

}  // namespace

TEST(StreamReassembler, SplitsAtEveryPossibleBoundary) {
    const Bytes stream = SampleStream();
    for (size_t chunk = 1; chunk <= stream.size(); ++chunk) {
        StreamReassembler r;
        Collected c;
        for (size_t i = 0; i < stream.size(); i += chunk) {
            c.Feed(r, Bytes(stream.begin() + i, stream.begin() + std::min(stream.size(), i + chunk)));
        }
        ASSERT_EQ(c.messages.size(), 5u) << "chunk " << chunk;
        EXPECT_EQ(c.messages[1], MethodInfo(101, "A.B", "C"));
        EXPECT_TRUE(c.drops.empty());
        EXPECT_EQ(r.Pending(), 0u);
    }
}

TEST(StreamReassembler, DropsTheBufferWhenOutOfStep) {
    StreamReassembler r;
    Collected c;
    // A length below the header size.
    Bytes garbage = {0x05, 0x00, 0x09, 0xAA, 0xBB};
    c.Feed(r, Concat({Command(9), garbage}));
    EXPECT_EQ(c.messages.size(), 1u);
    ASSERT_EQ(c.drops.size(), 1u);
    EXPECT_EQ(c.drops[0], garbage.size());
    EXPECT_EQ(r.Pending(), 0u);

    // An unknown type drops the rest of that read, then the stream goes on.
    c.Feed(r, Concat({Command(6), Command(9)}));
    EXPECT_EQ(c.drops.size(), 2u);
    c.Feed(r, Command(10));
    EXPECT_EQ(c.messages.size(), 2u);

    // A partial command waits for its rest.
    const Bytes info = MethodInfo(1, "X", "Y");
    c.Feed(r, Bytes(info.begin(), info.begin() + 2));
    EXPECT_EQ(r.Pending(), 2u);
    c.Feed(r, Bytes(info.begin() + 2, info.end()));
    EXPECT_EQ(c.messages.back(), info);
}

TEST(CollectorSession, ResolvesNamesAndCountsCommands) {
    std::vector<std::string> lines;
    CollectorSession s = MakeSession(lines);
    const Bytes stream = SampleStream();
    s.OnStreamData(1, stream.data(), stream.size());
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_NE(lines[2].find(R"("functionId":101,"function":"A.B::C")"), std::string::npos) << lines[2];
    EXPECT_NE(lines[3].find(R"("function":"A.B::C","tailCall":false,"returnValue":null)"), std::string::npos);
    EXPECT_EQ(s.TotalCommands(), 5u);
    EXPECT_EQ(s.CommandCount(1), 1u);
    EXPECT_EQ(s.MalformedCount(), 0u);

    // Names are per process: another pid with the same id has no name.
    const Bytes other = Command(1, Builder().U32(101).U64(0).U8(0).bytes, 999, 7);
    s.OnDatagram(other.data(), other.size());
    EXPECT_EQ(lines.back().find("\"function\""), std::string::npos);
}

TEST(CollectorSession, MalformedInputIsCountedNotFatal) {
    std::vector<std::string> lines;
    CollectorSession s = MakeSession(lines);
    const Bytes good = Command(9);
    const Bytes shortOne(good.begin(), good.begin() + 5);
    s.OnDatagram(shortOne.data(), shortOne.size());
    Bytes wrongLength = Command(7);
    wrongLength[0] = 30;
    s.OnDatagram(wrongLength.data(), wrongLength.size());
    const Bytes unknown = Command(50);
    s.OnDatagram(unknown.data(), unknown.size());
    const Bytes badBody = Command(4, {1, 2, 3});
    s.OnDatagram(badBody.data(), badBody.size());
    s.OnOversizedDatagram();
    const Bytes badArg = BeginCall(3, {Record(6, "x", {1})});
    s.OnDatagram(badArg.data(), badArg.size());

    EXPECT_EQ(s.MalformedCount(), 5u);
    EXPECT_EQ(s.MalformedCount("truncated"), 2u);
    EXPECT_EQ(s.MalformedCount("unknown type"), 1u);
    EXPECT_EQ(s.MalformedCount("bad body"), 1u);
    EXPECT_EQ(s.BadValueRecords(), 1u);
    ASSERT_EQ(lines.size(), 1u);  // only the begin-call with its bad argument is a command
    EXPECT_NE(lines[0].find("\"badValueRecords\":1"), std::string::npos);

    // A stream closed in the middle of a command.
    s.OnStreamData(5, good.data(), 10);
    s.OnStreamClosed(5);
    EXPECT_EQ(s.MalformedCount("truncated"), 3u);
    const std::string summary = s.RenderSummary({});
    EXPECT_NE(summary.find("malformed messages: 6"), std::string::npos) << summary;
    EXPECT_NE(summary.find("bad value records: 1"), std::string::npos);
}

TEST(CollectorSession, EachConnectionHasItsOwnBuffer) {
    std::vector<std::string> lines;
    CollectorSession s = MakeSession(lines);
    const Bytes a = MethodInfo(1, "A", "a");
    const Bytes b = MethodInfo(2, "B", "b");
    s.OnStreamData(1, a.data(), 7);
    s.OnStreamData(2, b.data(), 9);
    s.OnStreamData(1, a.data() + 7, a.size() - 7);
    s.OnStreamData(2, b.data() + 9, b.size() - 9);
    EXPECT_EQ(lines.size(), 2u);
    EXPECT_EQ(s.MalformedCount(), 0u);
}

TEST(CollectorSession, UntilEndedWaitsForEveryAnnouncedProcess) {
    std::vector<std::string> lines;
    CollectorSession s = MakeSession(lines);
    auto send = [&s](const Bytes& b) { s.OnDatagram(b.data(), b.size()); };
    EXPECT_FALSE(s.AllProcessesEnded());
    send(Command(9, {}, 1));
    send(Command(12, Builder().Text16(".NET 8").Text16("DOTNET_CORE").Text16("secret").bytes, 2));  // start missed
    send(Command(10, {}, 1));
    EXPECT_FALSE(s.AllProcessesEnded());
    send(Command(10, {}, 2));
    EXPECT_TRUE(s.AllProcessesEnded());
    // A pid that starts again is open again.
    send(Command(9, {}, 1));
    EXPECT_FALSE(s.AllProcessesEnded());

    const std::string summary = s.RenderSummary({});
    EXPECT_NE(summary.find("pid 2  runtime \".NET 8\"  host DOTNET_CORE"), std::string::npos) << summary;
    // The key itself never reaches the terminal.
    EXPECT_EQ(summary.find("secret"), std::string::npos);
    EXPECT_NE(summary.find("api key set"), std::string::npos);
}

TEST(CollectorSession, RandomInputNeverBreaksTheOutput) {
    std::vector<std::string> lines;
    CollectorSession s = MakeSession(lines);
    std::mt19937 rng(1234);
    const Bytes seed = Concat(
        {SampleStream(), BeginCall(7, {Record(14, "o",
                                              Builder()
                                                  .Text16("C\xFF")
                                                  .U8(1)
                                                  .Raw(Record(12, "s", Builder().U16(2).Raw(Utf16(u"\x01")).bytes))
                                                  .bytes)})});
    for (int round = 0; round < 3000; ++round) {
        Bytes b = seed;
        // Mutate a few bytes, sometimes cut.
        for (int k = 0; k < 1 + static_cast<int>(rng() % 4); ++k) {
            b[rng() % b.size()] = static_cast<uint8_t>(rng());
        }
        if (rng() % 4 == 0) {
            b.resize(rng() % b.size());
        }
        s.OnStreamData(round % 3, b.data(), b.size());
        s.OnDatagram(b.data(), b.size());
    }
    for (const auto& line : lines) {
        ASSERT_TRUE(JsonChecker::Valid(line)) << line;
    }
    EXPECT_GT(s.MalformedCount(), 0u);
    EXPECT_GT(lines.size(), 0u);
    EXPECT_FALSE(s.RenderSummary({}).empty());
}

TEST(StreamReassembler, WholeCommandsComeStraightFromTheReadAndOnlyASplitOneIsCopied) {
    const Bytes stream = Concat({SampleStream(), SampleStream()});
    const size_t cut = stream.size() / 2 + 7;  // inside a command
    StreamReassembler r;
    std::vector<const uint8_t*> where;
    std::vector<size_t> sizes;
    auto feed = [&](const uint8_t* d, size_t n) {
        r.Feed(
            d, n,
            [&](const uint8_t* m, size_t len) {
                where.push_back(m);
                sizes.push_back(len);
            },
            [](size_t) { FAIL() << "nothing is out of step"; });
    };
    feed(stream.data(), cut);
    const size_t before = where.size();
    EXPECT_LT(r.Pending(), MethodInfo(101, "A.B", "C").size());
    feed(stream.data() + cut, stream.size() - cut);
    ASSERT_EQ(where.size(), 10u);
    size_t copied = 0;
    for (size_t i = 0; i < where.size(); ++i) {
        const bool inRead = where[i] >= stream.data() && where[i] < stream.data() + stream.size();
        copied += inRead ? 0 : 1;
    }
    EXPECT_EQ(copied, 1u);  // the one command split by the cut
    EXPECT_GT(before, 0u);
    EXPECT_EQ(r.Pending(), 0u);
}

TEST(CollectorSession, DecodeRateLineIsParseableAndNeedsTwoMessages) {
    std::vector<std::string> lines;
    CollectorSession s = MakeSession(lines);
    const auto t0 = CollectorSession::Clock::now();
    const Bytes one = Command(9);
    s.ReadStarted(t0);
    s.OnDatagram(one.data(), one.size());
    s.ReadFinished(t0 + std::chrono::milliseconds(1));
    EXPECT_EQ(s.RenderSummary({}).find("decode rate"), std::string::npos);

    // 1 + 2999 messages between the first read's start and the last read's end: 2 seconds.
    Bytes many;
    for (int i = 0; i < 2999; ++i) {
        const Bytes b = BeginCall(1);
        many.insert(many.end(), b.begin(), b.end());
    }
    s.ReadStarted(t0 + std::chrono::milliseconds(1500));
    s.OnStreamData(1, many.data(), many.size());
    s.ReadFinished(t0 + std::chrono::seconds(2));
    // A read that decodes nothing does not move the end.
    s.ReadStarted(t0 + std::chrono::seconds(5));
    s.ReadFinished(t0 + std::chrono::seconds(6));
    EXPECT_NE(s.RenderSummary({}).find("\n  decode rate: 1500 messages/s\n"), std::string::npos) << s.RenderSummary({});
}

TEST(CollectorSession, HalfReceivedCommandTimesOutAndTheStreamGoesOn) {
    std::vector<std::string> lines;
    CollectorSession s = MakeSession(lines);
    const Bytes info = MethodInfo(1, "X", "Y");
    s.OnStreamData(3, info.data(), 10);
    EXPECT_EQ(s.StreamPending(3), 10u);
    s.OnStreamTimedOut(3, 30);
    EXPECT_EQ(s.StreamPending(3), 0u);
    EXPECT_EQ(s.MalformedCount("timed out"), 1u);
    EXPECT_EQ(s.DroppedStreamBytes(), 10u);
    // A writer that comes back later starts on a command boundary and is understood.
    s.OnStreamData(3, info.data(), info.size());
    EXPECT_EQ(lines.size(), 1u);
    s.OnStreamTimedOut(3, 30);  // nothing pending: nothing counted
    EXPECT_EQ(s.MalformedCount(), 1u);
    EXPECT_NE(s.RenderSummary({}).find("timed out: 10 bytes of a command dropped after 30 s"), std::string::npos);
}

TEST(CollectorSession, JsonLinesGoToTheSinkInBulk) {
    struct Sink : JsonSink {
        void Drain() override {
            ++drains;
            text += buffer;
            buffer.clear();
        }
        int drains = 0;
        std::string text;
    } sink;
    sink.drainAt = 4096;
    CollectorSession s(CollectorSession::Options{}, nullptr);
    s.SetJsonSink(&sink);
    const Bytes stream = SampleStream();
    for (int i = 0; i < 100; ++i) {
        s.OnStreamData(1, stream.data(), stream.size());
    }
    sink.Drain();
    EXPECT_GT(sink.drains, 5);
    EXPECT_LT(sink.drains, 100);
    std::vector<std::string> lines;
    std::stringstream ss(sink.text);
    for (std::string line; std::getline(ss, line);) {
        ASSERT_TRUE(JsonChecker::Valid(line)) << line;
        lines.push_back(line);
    }
    ASSERT_EQ(lines.size(), 500u);
    EXPECT_NE(lines[2].find(R"("functionId":101,"function":"A.B::C")"), std::string::npos) << lines[2];
}

TEST(CollectorSession, ManyHugeMethodNamesStayWithinTheNamesShare) {
    // 20,000 names of 32 KB would be 650 MB; names get a quarter of the bound.
    CollectorSession::Options options;
    options.maxMemory = 64u << 20;
    CollectorSession s(options, nullptr);
    const std::string cls(16000, 'C');
    std::string method(16000, 'm');
    for (uint32_t f = 0; f < 20000; ++f) {
        memcpy(method.data(), &f, sizeof f);  // every name different
        const Bytes info = MethodInfo(f, cls, method);
        s.OnDatagram(info.data(), info.size());
    }
    EXPECT_EQ(s.TotalCommands(), 20000u);
    EXPECT_LE(s.MemoryUsed(), options.maxMemory / 4);
    // The first names are whole, later ones cut, and once even those do not fit they are counted.
    EXPECT_EQ(s.FunctionName(4711, 0).size(), cls.size() + 2 + method.size());
    EXPECT_GT(s.NamesCut(), 0u);
    EXPECT_EQ(s.FunctionName(4711, 19999).size(), CollectorSession::CutNameBytes);
    EXPECT_EQ(s.FunctionName(4711, 19999).substr(CollectorSession::CutNameBytes - 3), "...");
    EXPECT_EQ(s.NamesNotKept(), 0u);
    const std::string summary = s.RenderSummary({});
    EXPECT_NE(summary.find("left out (memory bound): " + std::to_string(s.NamesCut()) +
                           " function names stored cut to 256 bytes"),
              std::string::npos)
        << summary;

    // A bound too small for even the short names: they are counted, never stored.
    CollectorSession::Options tiny;
    tiny.maxMemory = 1u << 20;
    CollectorSession t(tiny, nullptr);
    for (uint32_t f = 0; f < 20000; ++f) {
        const Bytes info = MethodInfo(f, cls, "M");
        t.OnDatagram(info.data(), info.size());
    }
    EXPECT_LE(t.MemoryUsed(), tiny.maxMemory / 4);
    EXPECT_GT(t.NamesNotKept(), 0u);
    // Every name is stored whole, stored cut, or counted.
    uint64_t whole = 0;
    uint64_t cut = 0;
    for (uint32_t f = 0; f < 20000; ++f) {
        const std::string_view name = t.FunctionName(4711, f);
        whole += name.size() == cls.size() + 3 ? 1 : 0;
        cut += name.size() == CollectorSession::CutNameBytes ? 1 : 0;
    }
    EXPECT_GT(whole, 0u);
    EXPECT_EQ(cut, t.NamesCut());
    EXPECT_EQ(whole + cut + t.NamesNotKept(), 20000u);
}

TEST(CollectorSession, AgentDeliveryReportsShowPerProcessWhatWasDroppedAndWhy) {
    std::vector<std::string> lines;
    CollectorSession s = MakeSession(lines);
    auto report = [](bool final, uint64_t sent, uint64_t queue, uint64_t failed, uint64_t pipe) {
        return Command(20, Builder().U8(final ? 1 : 0).U64(sent).U64(queue).U64(failed).U64(pipe).bytes);
    };
    const Bytes stream = Concat({Command(9), report(false, 10, 1, 2, 3), Command(9, {}, 5000)});
    s.OnStreamData(1, stream.data(), stream.size());
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_NE(lines[1].find(R"("name":"DeliveryStatistics")"), std::string::npos) << lines[1];
    EXPECT_NE(
        lines[1].find(R"("final":false,"sent":10,"droppedQueueFull":1,"droppedSendFailed":2,"droppedPipeFull":3)"),
        std::string::npos)
        << lines[1];
    std::string summary = s.RenderSummary({});
    EXPECT_NE(summary.find("agent delivery (last report, not final): 10 messages sent, 6 dropped (1 queue full, 2 send "
                           "failed, 3 pipe full)"),
              std::string::npos)
        << summary;

    // The latest report counts; a process without reports has no line.
    const Bytes last = report(true, 20, 0, 0, 0);
    s.OnStreamData(1, last.data(), last.size());
    summary = s.RenderSummary({});
    EXPECT_NE(summary.find("agent delivery: 20 messages sent, 0 dropped\n"), std::string::npos) << summary;
    EXPECT_EQ(summary.find("agent delivery", summary.find("pid 5000")), std::string::npos);
    EXPECT_EQ(s.MalformedCount(), 0u);

    // A report that is cut short is a bad body, not a crash.
    Bytes cut = report(true, 1, 1, 1, 1);
    cut.resize(cut.size() - 4);
    cut[0] = static_cast<uint8_t>(cut.size());
    s.OnDatagram(cut.data(), cut.size());
    EXPECT_EQ(s.MalformedCount("bad body"), 1u);
}
