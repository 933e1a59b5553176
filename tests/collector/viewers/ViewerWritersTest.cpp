#include <gtest/gtest.h>

#include "viewers/ChromeTraceWriter.h"
#include "session/CollectorSession.h"
#include "viewers/FoldedWriter.h"
#include "report/ReportWriter.h"
#include "viewers/SpeedscopeWriter.h"
#include "viewers/ViewerFiles.h"
#include "wire/WireFormat.h"

using namespace QuorixCollect;

namespace {

DecodedCommand Command(CommandType type, uint32_t tid, int64_t ts, uint32_t functionId = 0) {
    DecodedCommand c;
    c.type = static_cast<uint8_t>(type);
    c.pid = 1;
    c.tid = tid;
    c.ts = ts;
    c.functionId = functionId;
    return c;
}

void Name(ViewerRecorder& r, uint32_t functionId, const std::string& cls, const std::string& method) {
    DecodedCommand c = Command(CommandType::MethodInfo, 0, 0, functionId);
    c.className = cls;
    c.methodName = method;
    r.OnCommand(c);
}

size_t Count(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++n;
    }
    return n;
}

// A outer call with a nested one whose begin the clock puts before its caller's.
void OddClockRun(ViewerRecorder& r) {
    Name(r, 1, "App.Outer", "Run");
    Name(r, 2, "App.Inner", "Step");
    r.OnCommand(Command(CommandType::BeginCall, 7, 100, 1));
    r.OnCommand(Command(CommandType::BeginCall, 7, 90, 2));
    r.OnCommand(Command(CommandType::EndCall, 7, 140, 2));
    r.OnCommand(Command(CommandType::EndCall, 7, 200, 1));
    r.Finish();
}

}  // namespace

TEST(ViewerWriters, SpeedscopeEventsNestEvenWhenTheClockDoesNot) {
    ViewerRecorder r;
    OddClockRun(r);
    const std::string doc = SpeedscopeWriter::Write(r);
    EXPECT_NE(doc.find("\"frames\":[{\"name\":\"App.Outer::Run\"},{\"name\":\"App.Inner::Step\"}]"), std::string::npos)
        << doc;
    EXPECT_NE(doc.find("\"unit\":\"microseconds\",\"startValue\":10,\"endValue\":110"), std::string::npos) << doc;
    // Times count from the earliest stamp; the inner call starts with its caller, never before it.
    EXPECT_NE(doc.find("{\"type\":\"O\",\"frame\":0,\"at\":10},\n{\"type\":\"O\",\"frame\":1,\"at\":10},\n"
                       "{\"type\":\"C\",\"frame\":1,\"at\":50},\n{\"type\":\"C\",\"frame\":0,\"at\":110}"),
              std::string::npos)
        << doc;
}

TEST(ViewerWriters, ChromeTraceCarriesValuesMarksAndNames) {
    ViewerRecorder r;
    Name(r, 1, "Db.Command", "Execute");
    DecodedCommand begin = Command(CommandType::BeginCall, 7, 10, 1);
    ValueRecord sql;
    sql.name = "cmdText";
    sql.type = static_cast<uint8_t>(ValueType::String);
    sql.hasPayload = true;
    sql.text = "SELECT \"x\" FROM t";
    begin.args.push_back(sql);
    r.OnCommand(begin);
    DecodedCommand end = Command(CommandType::EndCall, 7, 30, 1);
    r.OnCommand(end);
    r.OnCommand(Command(CommandType::BeginCall, 7, 40, 1));
    r.OnCommand(Command(CommandType::ProcessEnded, 0, 50));
    r.Finish();
    const std::string doc = ChromeTraceWriter::Write(r);
    EXPECT_NE(doc.find("\"name\":\"process_name\",\"ph\":\"M\",\"pid\":1"), std::string::npos) << doc;
    EXPECT_NE(doc.find("\"name\":\"thread_name\",\"ph\":\"M\",\"pid\":1,\"tid\":7,\"args\":{\"name\":\"thread 7\"}"),
              std::string::npos)
        << doc;
    EXPECT_NE(doc.find("\"args\":{\"cmdText\":\"SELECT \\\"x\\\" FROM t\"}"), std::string::npos) << doc;
    EXPECT_NE(doc.find("\"dur\":10,\"pid\":1,\"tid\":7,\"args\":{\"openAtEnd\":true}"), std::string::npos) << doc;
    EXPECT_NE(doc.find("\"otherData\":{\"exporter\":\"quorix-collect\",\"calls\":2,"), std::string::npos);
}

TEST(ViewerWriters, FoldedLinesHoldEachStackOwnTime) {
    ViewerRecorder r;
    Name(r, 1, "A", "Run;x");
    Name(r, 2, "B", "Step");
    for (int i = 0; i < 2; ++i) {
        const int64_t t = i * 1000;
        r.OnCommand(Command(CommandType::BeginCall, 7 + i, t, 1));
        r.OnCommand(Command(CommandType::BeginCall, 7 + i, t + 10, 2));
        r.OnCommand(Command(CommandType::EndCall, 7 + i, t + 30, 2));
        r.OnCommand(Command(CommandType::EndCall, 7 + i, t + 100, 1));
    }
    r.Finish();
    // Two threads, one aggregate; ';' inside a name must not split it.
    EXPECT_EQ(FoldedWriter::Write(r), "A::Run,x 160\nA::Run,x;B::Step 40\n");
}

TEST(ViewerWriters, DropLinesKeepOnlyWhatWasLost) {
    LossLedger ledger;
    ledger.Add("commands", "decoded", 10, Severity::None);
    ledger.Add(std::string(LossLine::Malformed), "truncated", 0);
    ledger.Add(std::string(LossLine::Kernel), "datagrams", 0);
    ledger.Add(std::string(LossLine::Kernel), "datagrams", 12);
    ledger.Add("agent drops", "commands (queue full)", 5);
    ledger.Add(std::string(LossLine::MemoryBound), "calls not kept in the call tree", 3);
    ledger.Add(std::string(LossLine::Malformed), "bad length field", 2);
    ledger.Add(std::string(LossLine::BadValues), "records", 0);
    const std::vector<std::string> lines = DropLines(ledger);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], "malformed messages: 2");
    EXPECT_EQ(lines[1], "kernel drops: 12");
    EXPECT_EQ(lines[2], "agent drops: 5 commands (queue full)");
    EXPECT_EQ(lines[3], "left out (memory bound): 3 calls not kept in the call tree");
}

TEST(ViewerWriters, ReportIsOnePageThatNoTextCanBreakOutOf) {
    if (!ReportWriter::MissingAssets().empty()) {
        GTEST_SKIP() << "browser libraries not built in: " << ReportWriter::MissingAssets();
    }
    ViewerRecorder r;
    Name(r, 1, "Evil</script><script>alert(1)</script>", "Run");
    r.OnCommand(Command(CommandType::BeginCall, 7, 0, 1));
    r.OnCommand(Command(CommandType::EndCall, 7, 10, 1));
    r.Finish();
    CollectorSession session(CollectorSession::Options{}, nullptr);
    RunSummary summary;
    summary.dropLines = {"kernel drops: 3"};
    const std::string page = ReportWriter::Write(r, session, summary);
    // The libraries, the data and the page's four scripts: seven elements, each closed once.
    EXPECT_EQ(Count(page, "<script"), 7u);
    EXPECT_EQ(Count(page, "</script>"), 7u);
    EXPECT_NE(page.find("Evil\\u003c/script>"), std::string::npos);
    EXPECT_NE(page.find("Content-Security-Policy"), std::string::npos);
    EXPECT_EQ(page.find("QX:"), std::string::npos);
    EXPECT_NE(page.find("\"drops\":[\"kernel drops: 3\"]"), std::string::npos);
    EXPECT_EQ(Count(page, "http://"), Count(page, "http://www.w3.org/"));
}

// Every call and stack the page does not draw is in its drops box, next to what the stages lost;
// the requests are a value of the data like any other.
TEST(ViewerWriters, ReportCountsWhatThePageLeavesOut) {
    ViewerRecorder::Limits limits;
    limits.keptCalls = 15000;
    ViewerRecorder r(limits);
    const uint32_t functions = ReportWriter::MaxFlameNodes + 10;
    int64_t t = 0;
    for (uint32_t f = 1; f <= functions + 1; ++f) {
        Name(r, f, "App.C" + std::to_string(f), "Run");
    }
    // Each root call its own stack, all of different lengths; the last one takes no time.
    for (uint32_t f = 1; f <= functions + 1; ++f) {
        const int64_t length = f <= functions ? f : 0;
        r.OnCommand(Command(CommandType::BeginCall, 7, t, f));
        r.OnCommand(Command(CommandType::EndCall, 7, t + length, f));
        t += length + 1;
    }
    r.Finish();
    CollectorSession session(CollectorSession::Options{}, nullptr);
    RunSummary summary;
    summary.dropLines = {"kernel drops: 3"};
    summary.requestsJson = "[{\"id\":1},\n{\"id\":2}]";
    const std::string data = ReportWriter::Data(r, session, summary);
    const std::string kept = std::to_string(limits.keptCalls - ReportWriter::MaxTimelineCalls);
    const std::string notKept = std::to_string(functions + 1 - limits.keptCalls);
    EXPECT_NE(data.find("\"drops\":[\"kernel drops: 3\",\"report left out: " + kept +
                        " calls kept but not drawn in the timeline (it draws the longest 10000), " + notKept +
                        " calls not kept with their times for the timeline (--viewer-calls), 10 flame graph stacks "
                        "not drawn (their time stays in their callers)\"]"),
              std::string::npos)
        << data.substr(0, 2000);
    EXPECT_NE(data.find("\"requests\":[{\"id\":1},\n{\"id\":2}],\"comparison\":null,\"flameNodes\":"),
              std::string::npos);
    EXPECT_NE(data.find("\"flameShown\":" + std::to_string(ReportWriter::MaxFlameNodes) + ","), std::string::npos);
}

TEST(ViewerWriters, ReportOfASmallRunLeavesNothingOut) {
    ViewerRecorder r;
    OddClockRun(r);
    CollectorSession session(CollectorSession::Options{}, nullptr);
    const std::string data = ReportWriter::Data(r, session, RunSummary{});
    EXPECT_NE(data.find("\"drops\":[]"), std::string::npos) << data;
    EXPECT_NE(data.find("\"requests\":[],\"comparison\":null,\"flameNodes\":2,\"flameShown\":2,"), std::string::npos)
        << data;
}
