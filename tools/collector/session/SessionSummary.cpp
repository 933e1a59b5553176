#include <sys/resource.h>

#include <cmath>
#include <cstdio>

#include "session/CollectorSession.h"
#include "text/TextEncoding.h"
#include "wire/WireFormat.h"

// The session's summary text and its loss counters.

namespace QuorixCollect {

namespace {

std::string Mebibytes(size_t bytes) {
    char buf[32];
    snprintf(buf, sizeof buf, "%.1f MiB", static_cast<double>(bytes) / (1024.0 * 1024.0));
    return buf;
}

}  // namespace

void CollectorSession::PublishLosses(LossLedger& ledger, const LossLedger& transport) const {
    for (const auto& [pid, p] : processes) {
        if (!p.hasDelivery) {
            continue;
        }
        const std::string line = std::string(LossLine::AgentPrefix) + std::to_string(pid);
        ledger.Add(line, std::string(LossLine::Sent), p.delivery.sent, Severity::None);
        ledger.Add(line, std::string(LossLine::NotFinal), p.delivery.final ? 0 : 1, Severity::None);
        ledger.Add(line, "queue full", p.delivery.queueFull);
        ledger.Add(line, "send failed", p.delivery.sendFailed);
        ledger.Add(line, "pipe full", p.delivery.pipeFull);
    }
    const std::string malformedLine(LossLine::Malformed);
    for (const auto& [reason, n] : malformedByReason) {
        ledger.Add(malformedLine, reason, n);
    }
    ledger.Add(malformedLine, std::string(LossLine::StreamBytes), droppedStreamBytes);
    ledger.Add(std::string(LossLine::BadValues), "records", badValueRecords);
    ledger.Append(transport);
    const std::string bound(LossLine::MemoryBound);
    const auto stats = tree.GetStats();
    ledger.Add(bound, "function names stored cut to 256 bytes", namesCut, Severity::Cut);
    ledger.Add(bound, "function names not kept", droppedNames);
    ledger.Add(bound, "argument or return values not kept", stats.valuesNotKept);
    ledger.Add(bound, "calls not kept in the call tree", stats.droppedNodes);
    ledger.Add(bound, "commands of threads beyond the limit", stats.droppedThreads);
    ledger.Add(bound, "exception details not kept", exceptions.NotKept());
}

void CollectorSession::RenderProcesses(std::string& out, const LossLedger& ledger) const {
    out += "  processes: " + std::to_string(processes.size());
    if (droppedProcesses != 0) {
        out += " (+" + std::to_string(droppedProcesses) + " commands of processes beyond the limit)";
    }
    out += "\n";
    for (const auto& [pid, p] : processes) {
        std::string line = "    pid " + std::to_string(pid);
        line += "  runtime " + (p.runtime.empty() ? std::string("?") : "\"" + DisplayText(p.runtime, 80) + "\"");
        line += "  host " + (p.host.empty() ? std::string("?") : DisplayText(p.host, 40));
        line += "  agent " + (p.version.empty() ? std::string("?") : DisplayText(p.version, 40));
        if (p.frequency != 0) {
            line += "  frequency " + std::to_string(p.frequency);
        }
        line += p.hasApiKey ? "  api key set" : "";
        line += p.ended ? "  ended" : (p.started ? "  running" : "  start not seen");
        line += "  (" + std::to_string(p.commands) + " commands)";
        out += line + "\n";
        if (p.hasDelivery) {
            out += "      " + RenderLossLine(ledger, std::string(LossLine::AgentPrefix) + std::to_string(pid)) + "\n";
        }
    }
}

void CollectorSession::RenderCounts(std::string& out) const {
    out += "  commands: " + std::to_string(totalCommands) + "\n";
    size_t count = 0;
    const uint8_t* types = KnownCommandTypes(count);
    std::string counts;
    for (size_t i = 0; i < count; ++i) {
        if (byType[types[i]] == 0) {
            continue;
        }
        if (!counts.empty()) {
            counts += ", ";
        }
        counts += std::string(CommandTypeName(types[i])) + " " + std::to_string(byType[types[i]]);
    }
    if (!counts.empty()) {
        out += "    " + counts + "\n";
    }
    const double rate = DecodeRate();
    if (rate >= 0) {
        out += "  decode rate: " + std::to_string(std::llround(rate)) + " messages/s\n";
    }
    if (order && (order->GetStats().late != 0 || order->GetStats().forced != 0)) {
        // Not lost, but requests may not have been joined across these.
        out += "  time order: " + std::to_string(order->GetStats().late) + " commands read more than " +
               std::to_string(options.order.windowNanos / 1000000) + " ms after newer ones of other threads, " +
               std::to_string(order->GetStats().forced) + " let go early (bound); applied as read\n";
    }
}

void CollectorSession::RenderDecodeLosses(std::string& out, const LossLedger& ledger,
                                          const SummaryOptions& summary) const {
    out += "  " + RenderLossLine(ledger, LossLine::Malformed) + "\n";
    std::string reasons;
    for (const LossCounter* c : ledger.Of(LossLine::Malformed)) {
        if (c->name != LossLine::StreamBytes) {
            reasons += (reasons.empty() ? "" : ", ") + c->name + " " + std::to_string(c->count);
        }
    }
    if (!reasons.empty()) {
        out += "    " + reasons + "\n";
    }
    out += "  " + RenderLossLine(ledger, LossLine::BadValues) + "\n";
    for (const auto& sample : malformedSamples) {
        out += "    e.g. " + DisplayText(sample, 120) + "\n";
    }
    for (const auto& line : summary.transportLosses.Lines()) {
        out += "  " + RenderLossLine(ledger, line) + "\n";
    }
}

void CollectorSession::RenderMemory(std::string& out, const LossLedger& ledger, const SummaryOptions& summary) const {
    // What the memory bound cost, so that a missing name or entry is never a mystery.
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    out += "  memory: " + Mebibytes(MemoryUsed()) + " held (names, values, trees), bound " +
           Mebibytes(summary.memoryBound != 0 ? summary.memoryBound : options.maxMemory) + ", peak resident " +
           Mebibytes(static_cast<size_t>(usage.ru_maxrss) * 1024) + "\n";
    if (ledger.Reports(LossLine::MemoryBound)) {
        out += "  " + RenderLossLine(ledger, LossLine::MemoryBound) + "\n";
    }
}

void CollectorSession::RenderTrees(std::string& out, const SummaryOptions& summary) const {
    const auto stats = tree.GetStats();
    out += "  call trees: " + std::to_string(tree.ThreadCount()) + " threads";
    out += ", " + std::to_string(stats.orphanEnds) + " ends without begin";
    out += ", " + std::to_string(stats.missingEnds) + " frames without end";
    out += ", " + std::to_string(tree.EntryCount()) + " entries";
    out += "\n";
    CallTreeBuilder::RenderOptions render;
    render.maxLines = summary.treeLines;
    render.functionName = [this](uint32_t pid, uint32_t functionId) {
        const std::string_view name = FunctionName(pid, functionId);
        return name.data() != nullptr ? DisplayText(name, 160) : "function#" + std::to_string(functionId);
    };
    render.exceptionText = [this](uint32_t pid, uint64_t exceptionId) {
        const uint32_t handle = exceptions.Find(pid, exceptionId);
        return handle == ExceptionTable::None ? std::string() : DisplayText(exceptions.Describe(handle), 160);
    };
    render.microsPerTick = [this](uint32_t pid) {
        auto it = processes.find(pid);
        if (it == processes.end() || it->second.frequency == 0) {
            return 1.0;
        }
        return 1e6 / static_cast<double>(it->second.frequency);
    };
    out += tree.Render(render);
}

std::string CollectorSession::RenderSummary(const SummaryOptions& summary) const {
    LossLedger ledger;
    PublishLosses(ledger, summary.transportLosses);
    std::string out = "quorix-collect summary\n";
    for (const auto& line : summary.transportLines) {
        out += "  " + line + "\n";
    }
    RenderProcesses(out, ledger);
    RenderCounts(out);
    RenderDecodeLosses(out, ledger, summary);
    for (const auto& line : summary.exportLines) {
        out += "  " + line + "\n";
    }
    RenderMemory(out, ledger, summary);
    if (options.buildTree && summary.tree) {
        RenderTrees(out, summary);
    }
    return out;
}

}  // namespace QuorixCollect
