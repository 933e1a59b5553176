// Losses are counters: whatever a stage can raise is printed in the summary and listed in the
// report, both rendered from the same counters.

#include <gtest/gtest.h>

#include "WireBytes.h"
#include "losses/LossLedger.h"
#include "session/CollectorSession.h"
#include "viewers/ViewerFiles.h"

using namespace QuorixCollect;
using namespace CollectorTest;

namespace {

bool Contains(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// Every counter that reports something shows on its line, in the summary and in the report.
void ExpectEveryCounterReachesSummaryAndReport(const LossLedger& ledger, const std::string& summary) {
    const std::vector<std::string> report = DropLines(ledger);
    for (const LossCounter& c : ledger.Counters()) {
        if (c.severity == Severity::None || (c.known && c.count == 0)) {
            continue;
        }
        const std::string line = RenderLossLine(ledger, c.line);
        EXPECT_NE(summary.find(line + "\n"), std::string::npos) << c.line << " / " << c.name << "\n" << summary;
        EXPECT_TRUE(Contains(report, line)) << c.line << " / " << c.name;
    }
}

}  // namespace

TEST(Losses, EverySessionAndTransportCounterReachesTheSummaryAndTheReport) {
    CollectorSession::Options options;
    options.maxProcesses = 2;
    options.treeLimits.maxNodes = 1;
    options.maxMemory = 64 * 1024;  // names do not fit
    CollectorSession s(options, nullptr);
    const std::string longName(10000, 'N');
    const Bytes stream = Concat({
        Command(20, Builder().U8(0).U64(90).U64(3).U64(2).U64(1).bytes),
        MethodInfo(101, longName, "Run"),
        BeginCall(101, {Record(6, "count", {1, 0})}),  // a value record cut short
        BeginCall(102),
        BeginCall(103),
        EndCall(103),
    });
    s.OnStreamData(1, stream.data(), stream.size());
    const Bytes truncated = Command(9);
    s.OnDatagram(truncated.data(), truncated.size() - 1);
    const Bytes garbage = {0x05, 0x00, 0x09, 0xAA, 0xBB};
    s.OnStreamData(2, garbage.data(), garbage.size());

    CollectorSession::SummaryOptions summary;
    summary.transportLosses.Add(std::string(LossLine::Kernel), "datagrams", 7);
    LossLedger ledger;
    s.PublishLosses(ledger, summary.transportLosses);
    const std::string text = s.RenderSummary(summary);
    // The stages raised what this test set out to raise.
    for (const std::string_view line :
         {LossLine::Malformed, LossLine::BadValues, LossLine::Kernel, LossLine::MemoryBound}) {
        EXPECT_TRUE(ledger.Reports(line)) << line;
    }
    EXPECT_TRUE(ledger.Reports(std::string(LossLine::AgentPrefix) + "4711"));
    ExpectEveryCounterReachesSummaryAndReport(ledger, text);
    EXPECT_NE(text.find("      agent delivery (last report, not final): 90 messages sent, 6 dropped (3 queue full, "
                        "2 send failed, 1 pipe full)\n"),
              std::string::npos)
        << text;
}

TEST(Losses, ViewerBoundsReachTheirSummaryLineAndTheReport) {
    CallMatcher matcher;
    ViewerOutputs outputs;
    outputs.maxBytes = 1;  // every bound at its floor
    ViewerFiles files(outputs, matcher);
    DecodedCommand c;
    c.pid = 5;
    for (uint32_t i = 0; i < 64; ++i) {
        c.type = static_cast<uint8_t>(CommandType::BeginCall);
        c.functionId = i;
        c.tid = 1;
        c.ts = i;
        matcher.OnCommand(c);
        files.OnCommand(c);
        c.type = static_cast<uint8_t>(CommandType::ExceptionRaised);
        matcher.OnCommand(c);
    }
    files.Finish();
    CollectorSession session(CollectorSession::Options{}, nullptr);
    std::vector<std::string> errors;
    ASSERT_TRUE(files.WriteAll(session, RunSummary{}, errors));
    LossLedger ledger;
    files.PublishLosses(ledger);
    ASSERT_TRUE(ledger.Reports(LossLine::Viewers));
    std::string text;
    for (const auto& line : files.SummaryLines()) {
        text += "  " + line + "\n";
    }
    ExpectEveryCounterReachesSummaryAndReport(ledger, text);
}

TEST(Losses, AnUnknownCountIsReportedAndZeroesAreNot) {
    LossLedger ledger;
    ledger.AddUnknown(std::string(LossLine::Kernel), "datagrams");
    ledger.Add(std::string(LossLine::Spans), "dropped (export queue full)", 0);
    ledger.Note(std::string(LossLine::Spans), "last export error: refused");
    EXPECT_EQ(DropLines(ledger), std::vector<std::string>{"kernel drops: unknown"});
    ledger.Add(std::string(LossLine::Spans), "refused by the receiver", 4);
    EXPECT_EQ(DropLines(ledger), (std::vector<std::string>{"kernel drops: unknown",
                                                           "otlp spans not exported: 0 dropped (export queue full), 4 "
                                                           "refused by the receiver, 0 not delivered by the exit "
                                                           "deadline",
                                                           "last export error: refused"}));
}
