#include <gtest/gtest.h>

#include <random>

#include "CollectorSession.h"
#include "StreamReassembler.h"
#include "WireBytes.h"

using namespace QuorixCollect;
using namespace CollectorTest;

namespace {

struct Collected {
    std::vector<Bytes> messages;
    std::vector<size_t> drops;

    void Feed(StreamReassembler& r, const Bytes& b)
    {
        r.Feed(
            b.data(), b.size(), [this](const uint8_t* d, size_t n) { messages.emplace_back(d, d + n); },
            [this](size_t n) { drops.push_back(n); });
    }
};

Bytes SampleStream()
{
    return Concat({Command(9), MethodInfo(101, "A.B", "C"), BeginCall(101, {Record(6, "count", {5, 0, 0, 0})}),
                   EndCall(101), Command(10)});
}

CollectorSession MakeSession(std::vector<std::string>& lines)
{
    return CollectorSession(CollectorSession::Options{}, [&lines](const std::string& l) { lines.push_back(l); });
}

} // namespace

TEST(StreamReassembler, SplitsAtEveryPossibleBoundary)
{
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

TEST(StreamReassembler, DropsTheBufferWhenOutOfStep)
{
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

TEST(CollectorSession, ResolvesNamesAndCountsCommands)
{
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

TEST(CollectorSession, MalformedInputIsCountedNotFatal)
{
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
    ASSERT_EQ(lines.size(), 1u); // only the begin-call with its bad argument is a command
    EXPECT_NE(lines[0].find("\"badValueRecords\":1"), std::string::npos);

    // A stream closed in the middle of a command.
    s.OnStreamData(5, good.data(), 10);
    s.OnStreamClosed(5);
    EXPECT_EQ(s.MalformedCount("truncated"), 3u);
    const std::string summary = s.RenderSummary({});
    EXPECT_NE(summary.find("malformed messages: 6"), std::string::npos) << summary;
    EXPECT_NE(summary.find("bad value records: 1"), std::string::npos);
}

TEST(CollectorSession, EachConnectionHasItsOwnBuffer)
{
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

TEST(CollectorSession, UntilEndedWaitsForEveryAnnouncedProcess)
{
    std::vector<std::string> lines;
    CollectorSession s = MakeSession(lines);
    auto send = [&s](const Bytes& b) { s.OnDatagram(b.data(), b.size()); };
    EXPECT_FALSE(s.AllProcessesEnded());
    send(Command(9, {}, 1));
    send(Command(12, Builder().Text16(".NET 8").Text16("DOTNET_CORE").Text16("secret").bytes, 2)); // start missed
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

TEST(CollectorSession, RandomInputNeverBreaksTheOutput)
{
    std::vector<std::string> lines;
    CollectorSession s = MakeSession(lines);
    std::mt19937 rng(1234);
    const Bytes seed = Concat({SampleStream(), BeginCall(7, {Record(14, "o", Builder().Text16("C\xFF").U8(1).Raw(Record(12, "s", Builder().U16(2).Raw(Utf16(u"\x01")).bytes)).bytes)})});
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
