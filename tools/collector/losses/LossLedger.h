#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace QuorixCollect {

// How much a counter tells of something missing: None counts what went well (messages sent),
// Cut what was kept in part (a name shortened), Lost what is gone.
enum class Severity : uint8_t { None, Cut, Lost };

struct LossCounter {
    std::string line;  // the summary line it is shown on, e.g. "kernel drops"
    std::string name;  // what it counts, as that line words it
    uint64_t count = 0;
    Severity severity = Severity::Lost;
    bool known = true;  // false: the stage cannot tell how many (the system did not say)
};

// What every stage dropped, cut or left out, as named counters. The summary, the report's list
// of losses and the span export's line are all rendered from these, never from each other's text.
class LossLedger {
public:
    void Add(std::string line, std::string name, uint64_t count, Severity severity = Severity::Lost);
    void AddUnknown(std::string line, std::string name);
    // A detail listed after the line whenever that line reports a loss (the last export error).
    void Note(std::string line, std::string text);
    void Append(const LossLedger& other);

    const std::vector<LossCounter>& Counters() const { return counters; }
    // Counters of one line, in the order added.
    std::vector<const LossCounter*> Of(std::string_view line) const;
    uint64_t Count(std::string_view line, std::string_view name) const;
    bool Has(std::string_view line) const;
    // True when a counter of the line is Cut or Lost and not zero (or not known).
    bool Reports(std::string_view line) const;
    // Lines in the order their first counter was added.
    std::vector<std::string> Lines() const;

private:
    std::vector<LossCounter> counters;
    std::vector<std::pair<std::string, std::string>> notes;
    friend std::vector<std::string> DropLines(const LossLedger& ledger);
};

// Names of the lines the stages publish on.
namespace LossLine {
constexpr std::string_view Malformed = "malformed messages";
constexpr std::string_view BadValues = "bad value records";
constexpr std::string_view Kernel = "kernel drops";
constexpr std::string_view MemoryBound = "left out (memory bound)";
constexpr std::string_view Viewers = "viewer data left out";
constexpr std::string_view Spans = "otlp spans not exported";
constexpr std::string_view AgentPrefix = "agent delivery of pid ";
// Counter names with a meaning of their own on their line.
constexpr std::string_view StreamBytes = "stream bytes dropped";
constexpr std::string_view Sent = "messages sent";
constexpr std::string_view NotFinal = "last report, not final";
}  // namespace LossLine

// One line as the summary prints it (without its indentation).
std::string RenderLossLine(const LossLedger& ledger, std::string_view line);
// The words of the span export's losses, shared by its summary line and the report.
std::string SpanLossText(const LossLedger& ledger);
// What the report lists as dropped or left out: every line that reports a loss, then its notes.
std::vector<std::string> DropLines(const LossLedger& ledger);

}  // namespace QuorixCollect
