#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "losses/LossLedger.h"
#include "session/CollectorSession.h"
#include "viewers/ViewerRecorder.h"

namespace QuorixCollect {

// Files for viewers and the report; empty paths are not written.
struct ViewerOutputs {
    std::string speedscope;
    std::string chromeTrace;
    std::string folded;
    std::string report;
    size_t keptCalls = 50000;
    size_t maxBytes = SIZE_MAX;  // the recorder's limits shrink to fit

    // What the recorder may hold at most with these settings.
    size_t BoundBytes() const;

    bool Any() const { return !speedscope.empty() || !chromeTrace.empty() || !folded.empty() || !report.empty(); }
};

// What the report says about the run besides the calls; filled from the session and the
// transport when the collector stops.
struct RunSummary {
    double seconds = 0;       // how long the collector listened
    std::string transport;    // "tcp 127.0.0.1:2799"
    std::string summaryText;  // the text summary without call trees
    // Lines about anything lost or left out on the way (decoder, transport, agent, bounds),
    // rendered from the stages' loss counters.
    std::vector<std::string> dropLines;
    // The requests, as a JSON array of their --requests objects; empty when none were kept.
    std::string requestsJson;
    // The comparison with an earlier run (JSON object); empty when there is none.
    std::string comparisonJson;
};

// A kept call with times in microseconds from the run's origin, clamped so that every call lies
// inside its caller and times never go backwards on a thread.
struct PlacedCall {
    const ViewerRecorder::Call* call;
    double begin;
    double end;
};

// Places the kept calls whose indexes are given (ascending, so sorted by thread and sequence).
std::vector<PlacedCall> PlaceCalls(const ViewerRecorder& recorder, const std::vector<uint32_t>& indexes);
// Every kept call.
std::vector<uint32_t> AllCalls(const ViewerRecorder& recorder);
// "pid 4242" or "pid 4242 (run 2)" when the pid came back.
std::string RunLabel(const ViewerRecorder& recorder, uint32_t run);
// Chrome and the report group tracks by a number: the pid, or beyond any real pid for a pid that came back.
uint32_t RunNumber(const ViewerRecorder& recorder, uint32_t run);
std::string ThreadLabel(const ViewerRecorder& recorder, uint32_t thread);
// Splits the argument text of a call into its "name=value" parts.
void ForEachArg(std::string_view args, const std::function<void(std::string_view name, std::string_view value)>& fn);
// The argument text as people read it: "a=1, b=2".
std::string ArgsDisplay(std::string_view args);

// Feeds the recorder from the session and writes the requested files when the collector stops.
class ViewerFiles final : public CommandObserver {
public:
    // Calls come from `calls` (the session's matcher); OnCommand brings names and processes; the
    // exceptions' details come from `exceptions` (the session's) when given.
    ViewerFiles(const ViewerOutputs& chosen, CallMatcher& calls, const ExceptionTable* exceptions = nullptr);

    void OnCommand(const DecodedCommand& command) override { recorder.OnCommand(command); }
    const ViewerRecorder& Recorder() const { return recorder; }

    // Closes what is still open (once, for every consumer of calls) so that counts are final.
    void Finish() { recorder.Finish(); }
    // What the recorder's bounds left out.
    void PublishLosses(LossLedger& ledger) const;
    // Writes every requested file; failures are reported in `errors`, one line each.
    bool WriteAll(const CollectorSession& session, const RunSummary& summary, std::vector<std::string>& errors);
    // Lines for the text summary: what was written and what the bounds left out.
    std::vector<std::string> SummaryLines() const { return lines; }

private:
    ViewerOutputs outputs;
    ViewerRecorder recorder;
    std::vector<std::string> lines;
};

}  // namespace QuorixCollect
