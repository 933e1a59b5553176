#include "viewers/ViewerFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "files/OutputFile.h"
#include "viewers/ChromeTraceWriter.h"
#include "viewers/FoldedWriter.h"
#include "report/ReportWriter.h"
#include "viewers/SpeedscopeWriter.h"

namespace QuorixCollect {

std::vector<uint32_t> AllCalls(const ViewerRecorder& recorder) {
    std::vector<uint32_t> all(recorder.Calls().size());
    for (uint32_t i = 0; i < all.size(); ++i) {
        all[i] = i;
    }
    return all;
}

std::vector<PlacedCall> PlaceCalls(const ViewerRecorder& recorder, const std::vector<uint32_t>& indexes) {
    const auto& calls = recorder.Calls();
    const auto& threads = recorder.Threads();
    std::vector<PlacedCall> placed;
    placed.reserve(indexes.size());
    std::vector<size_t> open;  // indexes into `placed`
    uint32_t thread = UINT32_MAX;
    double last = 0;
    for (uint32_t index : indexes) {
        const ViewerRecorder::Call& c = calls[index];
        if (c.thread != thread) {
            open.clear();
            thread = c.thread;
            last = -INFINITY;
        }
        const uint32_t run = threads[c.thread].run;
        // Whatever ended before this call began is closed first, in order.
        while (!open.empty() && placed[open.back()].call->lastSeq < c.seq) {
            PlacedCall& done = placed[open.back()];
            done.end = std::max(done.end, last);
            last = done.end;
            open.pop_back();
        }
        PlacedCall p{&c, std::max(recorder.Micros(run, c.begin), last), recorder.Micros(run, c.end)};
        if (!open.empty()) {
            // Never beyond the caller's end, whatever the clocks said.
            p.begin = std::min(p.begin, placed[open.back()].end);
            p.end = std::min(p.end, placed[open.back()].end);
        }
        last = p.begin;
        p.end = std::max(p.end, p.begin);
        placed.push_back(p);
        open.push_back(placed.size() - 1);
    }
    return placed;
}

std::string RunLabel(const ViewerRecorder& recorder, uint32_t run) {
    const auto& r = recorder.Runs()[run];
    std::string label = "pid " + std::to_string(r.pid);
    if (r.ordinal != 0) {
        label += " (run " + std::to_string(r.ordinal + 1) + ")";
    }
    return label;
}

uint32_t RunNumber(const ViewerRecorder& recorder, uint32_t run) {
    const auto& r = recorder.Runs()[run];
    // Linux pids stay below 2^22; later runs of a pid get numbers no process can have.
    return r.ordinal == 0 ? r.pid : 0x40000000u + run;
}

std::string ThreadLabel(const ViewerRecorder& recorder, uint32_t thread) {
    const auto& t = recorder.Threads()[thread];
    return "thread " + std::to_string(t.tid) + " (" + RunLabel(recorder, t.run) + ")";
}

void ForEachArg(std::string_view args, const std::function<void(std::string_view, std::string_view)>& fn) {
    while (!args.empty()) {
        const size_t end = args.find(ViewerRecorder::ArgSeparator);
        const std::string_view part = args.substr(0, end);
        const size_t eq = part.find('=');
        if (eq == std::string_view::npos) {
            fn("value", part);
        } else {
            fn(part.substr(0, eq), part.substr(eq + 1));
        }
        if (end == std::string_view::npos) {
            break;
        }
        args.remove_prefix(end + 1);
    }
}

std::string ArgsDisplay(std::string_view args) {
    std::string out;
    for (char ch : args) {
        if (ch == ViewerRecorder::ArgSeparator) {
            out += ", ";
        } else {
            out += ch;
        }
    }
    return out;
}

namespace {

ViewerRecorder::Limits LimitsFor(const ViewerOutputs& outputs) {
    ViewerRecorder::Limits limits;
    limits.keptCalls = outputs.keptCalls;
    return limits.ScaledTo(outputs.maxBytes);
}

std::string Size(size_t bytes) {
    char buf[32];
    snprintf(buf, sizeof buf, "%.1f MiB", static_cast<double>(bytes) / (1024.0 * 1024.0));
    return buf;
}

}  // namespace

size_t ViewerOutputs::BoundBytes() const { return std::min(LimitsFor(*this).WorstCaseBytes(), maxBytes); }

void ViewerFiles::PublishLosses(LossLedger& ledger) const {
    const auto stats = recorder.GetStats();
    const std::string line(LossLine::Viewers);
    ledger.Add(line, "calls counted in their caller (stack limit)", stats.flameMerged, Severity::Cut);
    ledger.Add(line, "calls without a kept name", stats.framesNotKept, Severity::Cut);
    ledger.Add(line, "captured calls beyond the table's rows", stats.capturedNotKept);
    ledger.Add(line, "exceptions beyond the list", stats.exceptionsNotKept);
    ledger.Add(line, "calls beyond the depth limit", stats.tooDeep);
    ledger.Add(line, "commands of threads beyond the limit", stats.threadsNotKept);
}

ViewerFiles::ViewerFiles(const ViewerOutputs& chosen, CallMatcher& calls, const ExceptionTable* exceptions)
    : outputs(chosen), recorder(LimitsFor(chosen), calls) {
    recorder.SetExceptionTable(exceptions);
}

bool ViewerFiles::WriteAll(const CollectorSession& session, const RunSummary& summary,
                           std::vector<std::string>& errors) {
    const auto started = std::chrono::steady_clock::now();
    recorder.Finish();
    bool ok = true;
    auto write = [&](const std::string& path, const char* what, const std::function<std::string()>& make) {
        if (path.empty()) {
            return;
        }
        std::string error;
        const std::string text = make();
        if (!WriteTextFile(path, text, error)) {
            errors.push_back(std::string(what) + ": " + error);
            ok = false;
            return;
        }
        lines.push_back(std::string(what) + ": " + path + " (" + Size(text.size()) + ")");
    };
    write(outputs.speedscope, "speedscope", [&] { return SpeedscopeWriter::Write(recorder); });
    write(outputs.chromeTrace, "chrome trace", [&] { return ChromeTraceWriter::Write(recorder); });
    write(outputs.folded, "folded stacks", [&] { return FoldedWriter::Write(recorder); });
    write(outputs.report, "report", [&] { return ReportWriter::Write(recorder, session, summary); });

    const auto stats = recorder.GetStats();
    std::string line = "viewer data: " + std::to_string(stats.calls) + " calls, " +
                       std::to_string(recorder.Calls().size()) + " kept with their times";
    if (stats.callsNotKept != 0) {
        char buf[96];
        snprintf(buf, sizeof buf, " (%llu shorter ones left out, the longest of them %.0f us)",
                 static_cast<unsigned long long>(stats.callsNotKept), stats.longestLeftOutMicros);
        line += buf;
    }
    char took[48];
    snprintf(took, sizeof took, ", files written in %.2f s",
             std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
    line += ", " + std::to_string(recorder.Flame().size() - 1) + " flame graph stacks, held " +
            Size(recorder.BytesHeld()) + took;
    lines.insert(lines.begin(), line);
    LossLedger bounds;
    PublishLosses(bounds);
    if (bounds.Reports(LossLine::Viewers)) {
        lines.insert(lines.begin() + 1, RenderLossLine(bounds, LossLine::Viewers));
    }
    return ok;
}

}  // namespace QuorixCollect
