#include <gtest/gtest.h>

#include "report/ReportWriter.h"
#include "session/CollectorSession.h"
#include "session/ExceptionTable.h"
#include "viewers/ChromeTraceWriter.h"
#include "viewers/ViewerFiles.h"
#include "WireBytes.h"

using namespace QuorixCollect;
using namespace CollectorTest;

namespace {

DecodedCommand Decoded(const Bytes& b) {
    DecodedCommand c;
    EXPECT_EQ(DecodeCommand(b.data(), b.size(), c).status, DecodeStatus::Ok);
    return c;
}

// Raised in Shop.Orders::Validate on thread 7, then unwound from it: the calls of one raise.
Bytes Raise(uint64_t id, const Bytes& details, int64_t ts) {
    return Concat({BeginCall(101, {}, 7, ts), Exception(id, 7, ts + 1), details, Unwind(101, 7, ts + 2)});
}

}  // namespace

TEST(ExceptionTable, LatestDetailsPerProcessAndIdWhileEarlierHandlesStay) {
    ExceptionTable table;
    table.Record(Decoded(ExceptionDetails(0x55, "System.InvalidOperationException", "Order 7 has no lines")));
    const uint32_t first = table.Find(4711, 0x55);
    ASSERT_NE(first, ExceptionTable::None);
    EXPECT_EQ(table.Describe(first), "System.InvalidOperationException: Order 7 has no lines");
    EXPECT_EQ(table.Find(4712, 0x55), ExceptionTable::None);  // another process
    EXPECT_EQ(table.Find(4711, 0x56), ExceptionTable::None);

    // A later exception at the same address: the key finds it, the first handle still says the first.
    table.Record(Decoded(ExceptionDetails(0x55, "Shop.Refused`1", "", ExceptionMessageNull)));
    const uint32_t second = table.Find(4711, 0x55);
    EXPECT_NE(second, first);
    EXPECT_EQ(table.Describe(second), "Shop.Refused`1");
    EXPECT_EQ(table.Describe(first), "System.InvalidOperationException: Order 7 has no lines");

    // The same details again are kept once; a cut message and an unnamed class read as such.
    table.Record(Decoded(ExceptionDetails(0x99, "Shop.Refused`1", "", ExceptionMessageNull)));
    EXPECT_EQ(table.Find(4711, 0x99), second);
    table.Record(Decoded(ExceptionDetails(0x77, "", "start of it", ExceptionMessageCut)));
    EXPECT_EQ(table.Describe(table.Find(4711, 0x77)), "?: start of it...");
    EXPECT_EQ(table.Describe(ExceptionTable::None), "");
    EXPECT_EQ(table.NotKept(), 0u);
}

TEST(ExceptionTable, BoundedInBytes) {
    ExceptionTable table(64 * 1024);
    for (uint64_t id = 0; id < 5000; ++id) {
        table.Record(Decoded(ExceptionDetails(8 * id, "E", "message " + std::to_string(id) + std::string(40, 'x'))));
    }
    EXPECT_LE(table.BytesUsed(), 64u * 1024);
    EXPECT_GT(table.NotKept(), 0u);
    EXPECT_NE(table.Find(4711, 0), ExceptionTable::None);  // what came first was kept
    EXPECT_EQ(table.Find(4711, 8 * 4999), ExceptionTable::None);
}

TEST(ExceptionTable, TheSummaryTreeShowsTypeAndMessage) {
    CollectorSession s(CollectorSession::Options{}, nullptr);
    const Bytes stream = Concat({
        Command(11, Builder().U64(1000000).bytes),
        MethodInfo(101, "Shop.Orders", "Validate"),
        Raise(0x55, ExceptionDetails(0x55, "System.InvalidOperationException", "line\none"), 1000),
        BeginCall(101, {}, 7, 2000),
        Exception(0x66, 7, 2001),  // an agent that does not send details
        Unwind(101, 7, 2002),
    });
    s.OnStreamData(1, stream.data(), stream.size());
    const std::string summary = s.RenderSummary({});
    EXPECT_NE(summary.find("! exception 0x55 System.InvalidOperationException: line\\x0aone\n"), std::string::npos)
        << summary;
    EXPECT_NE(summary.find("! exception 0x66\n"), std::string::npos) << summary;
    EXPECT_NE(summary.find(", ExceptionDetails 1\n"), std::string::npos) << summary;
}

TEST(ExceptionTable, TheReportAndTheTraceShowEachRaiseWithItsOwnDetails) {
    CollectorSession session(CollectorSession::Options{}, nullptr);
    ViewerOutputs outputs;
    outputs.report = "unused";
    ViewerFiles viewers(outputs, session.Matcher(), &session.Exceptions());
    session.AddObserver(&viewers);
    // The runtime put the second exception where the first had been.
    const Bytes stream = Concat({
        MethodInfo(101, "Shop.Orders", "Validate"),
        Raise(0x55, ExceptionDetails(0x55, "Shop.First", "no <lines>"), 1000),
        Raise(0x55, ExceptionDetails(0x55, "Shop.Second", "", ExceptionMessageNull), 2000),
        Raise(0x77, Bytes{}, 3000),
    });
    session.OnStreamData(1, stream.data(), stream.size());
    viewers.Finish();
    const std::string data = ReportWriter::Data(viewers.Recorder(), session, RunSummary{});
    const size_t first = data.find(R"("type":"Shop.First","message":"no <lines>","messageCut":false)");
    const size_t second = data.find(R"("type":"Shop.Second","message":null,"messageCut":false)");
    const size_t none =
        data.find(R"("id":"0x77","raisedIn":"Shop.Orders::Validate","unwound":1,"type":"","message":null)");
    EXPECT_NE(first, std::string::npos) << data;
    EXPECT_NE(second, std::string::npos) << data;
    EXPECT_NE(none, std::string::npos) << data;
    EXPECT_LT(first, second);
    const std::string trace = ChromeTraceWriter::Write(viewers.Recorder());
    EXPECT_NE(trace.find(R"("exceptionType":"Shop.First","message":"no <lines>")"), std::string::npos) << trace;
    EXPECT_NE(trace.find(R"("exceptionType":"Shop.Second"})"), std::string::npos) << trace;
}
