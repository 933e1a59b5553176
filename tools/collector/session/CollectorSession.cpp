#include "session/CollectorSession.h"

#include <sys/resource.h>

#include <cmath>
#include <cstdio>

#include "jsonlines/JsonLines.h"
#include "text/TextEncoding.h"
#include "wire/ValueRecord.h"
#include "wire/WireFormat.h"

namespace QuorixCollect {

namespace {

constexpr size_t MaxMalformedSamples = 5;
// At most `max` bytes of `text`, not splitting a UTF-8 sequence.
std::string_view Prefix(std::string_view text, size_t max) {
    if (text.size() <= max) {
        return text;
    }
    size_t cut = max;
    while (cut > 0 && (static_cast<uint8_t>(text[cut]) & 0xC0) == 0x80) {
        --cut;
    }
    return text.substr(0, cut);
}

std::string Mebibytes(size_t bytes) {
    char buf[32];
    snprintf(buf, sizeof buf, "%.1f MiB", static_cast<double>(bytes) / (1024.0 * 1024.0));
    return buf;
}

bool IsCall(CommandType type) {
    return type == CommandType::BeginCall || type == CommandType::EndCall || type == CommandType::UnwindCall;
}

}  // namespace

NameTable::Name NameTable::Find(uint32_t functionId) const {
    const uint32_t i =
        index.Find(IndexTable::Mix(functionId), [&](uint32_t k) { return entries[k].functionId == functionId; });
    if (i == IndexTable::NotFound) {
        return {{}, false};
    }
    return {entries[i].name, entries[i].jsonSafe};
}

bool NameTable::Store(uint32_t functionId, std::string_view name) {
    const uint64_t hash = IndexTable::Mix(functionId);
    const uint32_t i = index.Find(hash, [&](uint32_t k) { return entries[k].functionId == functionId; });
    if (i != IndexTable::NotFound) {
        if (entries[i].name == name) {
            return true;
        }
        const std::string_view stored = arena.Store(name);
        if (stored.data() == nullptr) {
            return false;
        }
        entries[i].name = stored;
        entries[i].jsonSafe = IsJsonSafe(stored);
        return true;
    }
    if (!MakeRoom(entries, budget)) {
        return false;
    }
    const std::string_view stored = arena.Store(name);
    if (stored.data() == nullptr || !index.Insert(hash, static_cast<uint32_t>(entries.size()))) {
        return false;
    }
    entries.push_back({functionId, IsJsonSafe(stored), stored});
    return true;
}

void NameTable::Clear() {
    arena.Clear();
    index.Clear();
    ReleaseAll(entries, budget);
}

CollectorSession::CollectorSession(const Options& sessionOptions, LineSink lineSink)
    : options(sessionOptions),
      sink(std::move(lineSink)),
      namesBudget(sessionOptions.maxMemory / 4),
      matcher(sessionOptions.callLimits),
      tree(
          [&] {
              // Names get a quarter of the bound, call trees with their values five eighths; the
              // rest covers the process list and the hash tables' slack.
              CallTreeBuilder::Limits limits = sessionOptions.treeLimits;
              limits.maxBytes = std::min(limits.maxBytes, sessionOptions.maxMemory / 8 * 5);
              return limits;
          }(),
          matcher) {
    if (!options.buildTree) {
        // Nothing to match for unless another consumer of calls attaches.
        matcher.RemoveListener(&tree);
    }
}

CollectorSession::~CollectorSession() = default;

void CollectorSession::ReadStarted(Clock::time_point now) {
    readStart = now;
    commandsAtReadStart = totalCommands;
}

void CollectorSession::ReadFinished(Clock::time_point now) {
    if (totalCommands == commandsAtReadStart) {
        return;
    }
    if (!anyRead) {
        anyRead = true;
        firstRead = readStart;
    }
    lastRead = now;
}

double CollectorSession::DecodeRate() const {
    if (totalCommands < 2 || !anyRead) {
        return -1;
    }
    const double seconds = std::chrono::duration<double>(lastRead - firstRead).count();
    return seconds > 0 ? static_cast<double>(totalCommands) / seconds : -1;
}

void CollectorSession::Malformed(const char* reason, const std::string& detail) {
    ++malformed;
    ++malformedByReason[reason];
    if (malformedSamples.size() < MaxMalformedSamples) {
        malformedSamples.push_back(detail.empty() ? std::string(reason) : std::string(reason) + ": " + detail);
    }
}

uint64_t CollectorSession::MalformedCount(const std::string& reason) const {
    auto it = malformedByReason.find(reason);
    return it == malformedByReason.end() ? 0 : it->second;
}

void CollectorSession::OnDatagram(const uint8_t* data, size_t size) { OnMessage(data, size); }

void CollectorSession::OnOversizedDatagram() { Malformed("oversized datagram", ""); }

void CollectorSession::OnStreamData(uint64_t connection, const uint8_t* data, size_t size) {
    auto it = streams.find(connection);
    if (it == streams.end()) {
        it = streams.emplace(connection, StreamReassembler{}).first;
    }
    it->second.Feed(
        data, size, [this](const uint8_t* message, size_t length) { OnMessage(message, length); },
        [this](size_t dropped) {
            droppedStreamBytes += dropped;
            Malformed("stream out of step", std::to_string(dropped) + " buffered bytes dropped");
        });
}

void CollectorSession::OnStreamClosed(uint64_t connection) {
    auto it = streams.find(connection);
    if (it == streams.end()) {
        return;
    }
    if (it->second.Pending() != 0) {
        droppedStreamBytes += it->second.Pending();
        Malformed("truncated", std::to_string(it->second.Pending()) + " bytes left when the connection closed");
    }
    streams.erase(it);
}

size_t CollectorSession::StreamPending(uint64_t connection) const {
    auto it = streams.find(connection);
    return it == streams.end() ? 0 : it->second.Pending();
}

void CollectorSession::OnStreamTimedOut(uint64_t connection, double seconds) {
    auto it = streams.find(connection);
    if (it == streams.end() || it->second.Pending() == 0) {
        return;
    }
    const size_t pending = it->second.Pending();
    droppedStreamBytes += pending;
    ++streamTimeouts;
    char detail[96];
    snprintf(detail, sizeof detail, "%zu bytes of a command dropped after %.0f s without its rest", pending, seconds);
    Malformed("timed out", detail);
    it->second.Clear();
}

void CollectorSession::OnMessage(const uint8_t* data, size_t size) {
    if (DecodePlainCall(data, size, command)) {
        Apply(command);
        return;
    }
    const DecodeResult result = DecodeCommand(data, size, command);
    if (result.status != DecodeStatus::Ok) {
        std::string detail = result.detail;
        if (size >= 3 && result.status != DecodeStatus::UnknownType) {
            detail = "type " + std::to_string(data[2]) + ", " + detail;
        }
        Malformed(DecodeStatusText(result.status), detail);
        return;
    }
    Apply(command);
}

ProcessInfo* CollectorSession::Process(uint32_t pid) {
    if (lastProcess != nullptr && lastPid == pid) {
        return lastProcess;
    }
    auto it = processes.find(pid);
    if (it == processes.end()) {
        if (processes.size() >= options.maxProcesses) {
            ++droppedProcesses;
            return nullptr;
        }
        it = processes.emplace(pid, ProcessInfo{}).first;
        it->second.pid = pid;
    }
    lastPid = pid;
    lastProcess = &it->second;
    return lastProcess;
}

std::string_view CollectorSession::FunctionName(uint32_t pid, uint32_t functionId) const {
    return LookUpName(pid, functionId).text;
}

NameTable::Name CollectorSession::LookUpName(uint32_t pid, uint32_t functionId) const {
    const ProcessInfo* process = nullptr;
    if (lastProcess != nullptr && lastPid == pid) {
        process = lastProcess;
    } else {
        auto it = processes.find(pid);
        process = it == processes.end() ? nullptr : &it->second;
    }
    if (process == nullptr || !process->names) {
        return {{}, false};
    }
    return process->names->Find(functionId);
}

size_t CollectorSession::MemoryUsed() const { return namesBudget.Used() + tree.BytesUsed(); }

void CollectorSession::StoreName(ProcessInfo* process, const DecodedCommand& c) {
    if (process == nullptr) {
        ++droppedNames;
        return;
    }
    if (!process->names) {
        process->names = std::make_unique<NameTable>(namesBudget);
    }
    std::string& name = nameText;
    name.clear();
    name += c.className;
    name += "::";
    name += c.methodName;
    // Past half of their share, names are kept short so that many more of them fit.
    bool cut = false;
    if (name.size() > CutNameBytes && namesBudget.Used() >= namesBudget.Limit() / 2) {
        name.resize(Prefix(name, CutNameBytes - 3).size());
        name += "...";
        cut = true;
    }
    if (!process->names->Store(c.functionId, name)) {
        ++droppedNames;
    } else if (cut) {
        ++namesCut;
    }
}

void CollectorSession::ApplyAnnouncement(const DecodedCommand& c, ProcessInfo* process) {
    const auto type = static_cast<CommandType>(c.type);
    if (type == CommandType::ProcessStarted && process->ended) {
        // The pid came back as a new process: its function ids start over.
        const uint64_t commands = process->commands;
        *process = ProcessInfo{};
        process->pid = c.pid;
        process->commands = commands;
    }
    if (type == CommandType::ProcessStarted) {
        process->started = true;
    }
    // Open from the first announcement, even when the start itself was missed.
    if (!process->ended && !process->open) {
        process->open = true;
        ++openProcesses;
    }
    switch (type) {
        case CommandType::ProcessFrequency:
            process->frequency = c.frequency;
            break;
        case CommandType::ProcessType:
            process->runtime = Prefix(c.runtime, MaxProcessText);
            process->host = Prefix(c.host, MaxProcessText);
            process->hasApiKey = !c.apiKey.empty();
            break;
        case CommandType::ProfilerVersion:
            process->version = Prefix(c.version, MaxProcessText);
            break;
        default:
            break;
    }
}

void CollectorSession::Apply(const DecodedCommand& c) {
    ++totalCommands;
    ++byType[c.type];
    if (c.badValueRecords != 0) {
        badValueRecords += c.badValueRecords;
        if (malformedSamples.size() < MaxMalformedSamples) {
            malformedSamples.push_back("bad value record in " + std::string(CommandTypeName(c.type)) + " of pid " +
                                       std::to_string(c.pid));
        }
    }

    ProcessInfo* process = Process(c.pid);
    const auto type = static_cast<CommandType>(c.type);
    if (process != nullptr) {
        ++process->commands;
        if (type == CommandType::ProcessStarted || type == CommandType::ProcessFrequency ||
            type == CommandType::ProcessType || type == CommandType::ProfilerVersion) {
            ApplyAnnouncement(c, process);
        }
    }

    switch (type) {
        case CommandType::MethodInfo:
            StoreName(process, c);
            break;
        case CommandType::DeliveryStatistics:
            // Counts since the start of the agent: the latest report says it all.
            if (process != nullptr) {
                process->hasDelivery = true;
                process->delivery = c.delivery;
            }
            break;
        case CommandType::ProcessEnded:
            anyEnded = true;
            if (process != nullptr && !process->ended) {
                process->ended = true;
                if (process->open) {
                    process->open = false;
                    --openProcesses;
                }
            }
            break;
        default:
            break;
    }

    if (matcher.HasListeners()) {
        matcher.OnCommand(c);
    }
    if (json != nullptr || sink) {
        WriteJson(c);
    }
    for (CommandObserver* observer : observers) {
        observer->OnCommand(c);
    }
}

void CollectorSession::WriteJson(const DecodedCommand& c) {
    NameTable::Name name{{}, false};
    const std::string_view* named = nullptr;
    if (IsCall(static_cast<CommandType>(c.type))) {
        name = LookUpName(c.pid, c.functionId);
        if (name.text.data() != nullptr) {
            named = &name.text;
        }
    }
    if (json != nullptr) {
        AppendCommandJson(json->buffer, c, named, name.jsonSafe);
        json->buffer.push_back('\n');
        if (json->buffer.size() >= json->drainAt) {
            json->Drain();
        }
    }
    if (sink) {
        jsonLine.clear();
        AppendCommandJson(jsonLine, c, named, name.jsonSafe);
        sink(jsonLine);
    }
}

bool CollectorSession::AllProcessesEnded() const { return anyEnded && openProcesses == 0; }

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
}

std::string CollectorSession::RenderSummary(const SummaryOptions& summary) const {
    LossLedger ledger;
    PublishLosses(ledger, summary.transportLosses);
    std::string out = "quorix-collect summary\n";
    for (const auto& line : summary.transportLines) {
        out += "  " + line + "\n";
    }
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
    for (const auto& line : summary.exportLines) {
        out += "  " + line + "\n";
    }

    // What the memory bound cost, so that a missing name or entry is never a mystery.
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    out += "  memory: " + Mebibytes(MemoryUsed()) + " held (names, values, trees), bound " +
           Mebibytes(summary.memoryBound != 0 ? summary.memoryBound : options.maxMemory) + ", peak resident " +
           Mebibytes(static_cast<size_t>(usage.ru_maxrss) * 1024) + "\n";
    if (ledger.Reports(LossLine::MemoryBound)) {
        out += "  " + RenderLossLine(ledger, LossLine::MemoryBound) + "\n";
    }

    if (!options.buildTree || !summary.tree) {
        return out;
    }
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
    render.microsPerTick = [this](uint32_t pid) {
        auto it = processes.find(pid);
        if (it == processes.end() || it->second.frequency == 0) {
            return 1.0;
        }
        return 1e6 / static_cast<double>(it->second.frequency);
    };
    out += tree.Render(render);
    return out;
}

}  // namespace QuorixCollect
