#include "CollectorSession.h"

#include "JsonWriter.h"
#include "TextUtil.h"
#include "ValueRecord.h"
#include "WireFormat.h"

namespace QuorixCollect {

namespace {

constexpr size_t MaxMalformedSamples = 5;
constexpr size_t MaxArgsText = 200;
constexpr size_t MaxValueText = 60;

uint64_t NameKey(uint32_t pid, uint32_t functionId)
{
    return (static_cast<uint64_t>(pid) << 32) | functionId;
}

std::string FormatArgs(const std::vector<ValueRecord>& args)
{
    std::string out;
    for (const auto& a : args) {
        if (!out.empty()) {
            out += ", ";
        }
        if (out.size() > MaxArgsText) {
            out += "...";
            break;
        }
        out += DisplayText(a.name, 40);
        out += '=';
        out += FormatValue(a, MaxValueText);
    }
    return out;
}

} // namespace

CollectorSession::CollectorSession(const Options& options, LineSink sink)
    : options_(options), sink_(std::move(sink)), tree_(options.treeLimits)
{
}

void CollectorSession::Malformed(const std::string& reason, const std::string& detail)
{
    ++malformed_;
    ++malformedByReason_[reason];
    if (malformedSamples_.size() < MaxMalformedSamples) {
        malformedSamples_.push_back(detail.empty() ? reason : reason + ": " + detail);
    }
}

uint64_t CollectorSession::MalformedCount(const std::string& reason) const
{
    auto it = malformedByReason_.find(reason);
    return it == malformedByReason_.end() ? 0 : it->second;
}

void CollectorSession::OnDatagram(const uint8_t* data, size_t size)
{
    OnMessage(data, size);
}

void CollectorSession::OnOversizedDatagram()
{
    Malformed("oversized datagram", "");
}

void CollectorSession::OnStreamData(uint64_t connection, const uint8_t* data, size_t size)
{
    auto it = streams_.find(connection);
    if (it == streams_.end()) {
        it = streams_.emplace(connection, StreamReassembler{}).first;
    }
    it->second.Feed(
        data, size, [this](const uint8_t* message, size_t length) { OnMessage(message, length); },
        [this](size_t dropped) {
            droppedStreamBytes_ += dropped;
            Malformed("stream out of step", std::to_string(dropped) + " buffered bytes dropped");
        });
}

void CollectorSession::OnStreamClosed(uint64_t connection)
{
    auto it = streams_.find(connection);
    if (it == streams_.end()) {
        return;
    }
    if (it->second.Pending() != 0) {
        droppedStreamBytes_ += it->second.Pending();
        Malformed("truncated", std::to_string(it->second.Pending()) + " bytes left when the connection closed");
    }
    streams_.erase(it);
}

void CollectorSession::OnMessage(const uint8_t* data, size_t size)
{
    DecodedCommand command;
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

ProcessInfo* CollectorSession::Process(uint32_t pid)
{
    auto it = processes_.find(pid);
    if (it != processes_.end()) {
        return &it->second;
    }
    if (processes_.size() >= options_.maxProcesses) {
        ++droppedProcesses_;
        return nullptr;
    }
    ProcessInfo& info = processes_[pid];
    info.pid = pid;
    return &info;
}

const std::string* CollectorSession::FunctionName(uint32_t pid, uint32_t functionId) const
{
    auto it = names_.find(NameKey(pid, functionId));
    return it == names_.end() ? nullptr : &it->second;
}

void CollectorSession::Apply(const DecodedCommand& c)
{
    ++totalCommands_;
    ++byType_[c.type];
    if (c.badValueRecords != 0) {
        badValueRecords_ += c.badValueRecords;
        if (malformedSamples_.size() < MaxMalformedSamples) {
            malformedSamples_.push_back("bad value record in " + std::string(CommandTypeName(c.type)) +
                                        " of pid " + std::to_string(c.pid));
        }
    }

    ProcessInfo* process = Process(c.pid);
    const auto type = static_cast<CommandType>(c.type);
    if (process != nullptr) {
        ++process->commands;
        const bool announcing = type == CommandType::ProcessStarted || type == CommandType::ProcessFrequency ||
                                type == CommandType::ProcessType || type == CommandType::ProfilerVersion;
        if (type == CommandType::ProcessStarted && process->ended) {
            // The pid came back as a new process: its function ids start over.
            for (auto it = names_.begin(); it != names_.end();) {
                it = (it->first >> 32) == c.pid ? names_.erase(it) : std::next(it);
            }
            const uint64_t commands = process->commands;
            *process = ProcessInfo{};
            process->pid = c.pid;
            process->commands = commands;
        }
        if (type == CommandType::ProcessStarted) {
            process->started = true;
        }
        // Open from the first announcement, even when the start itself was missed.
        if (announcing && !process->ended && !process->open) {
            process->open = true;
            ++openProcesses_;
        }
    }

    switch (type) {
    case CommandType::MethodInfo: {
        const uint64_t key = NameKey(c.pid, c.functionId);
        if (names_.size() < options_.maxFunctionNames || names_.count(key) != 0) {
            names_[key] = c.className + "::" + c.methodName;
        } else {
            ++droppedNames_;
        }
        break;
    }
    case CommandType::BeginCall:
        if (options_.buildTree) {
            tree_.Begin(c.pid, c.tid, c.ts, c.functionId, FormatArgs(c.args));
        }
        break;
    case CommandType::EndCall:
        if (options_.buildTree) {
            tree_.End(c.pid, c.tid, c.ts, c.functionId, c.tailCall,
                      c.hasReturnValue ? FormatValue(c.returnValue, MaxValueText) : std::string());
        }
        break;
    case CommandType::UnwindCall:
        if (options_.buildTree) {
            tree_.Unwind(c.pid, c.tid, c.ts, c.functionId);
        }
        break;
    case CommandType::ExceptionRaised:
        if (options_.buildTree) {
            tree_.Exception(c.pid, c.tid, c.ts, c.exceptionId);
        }
        break;
    case CommandType::ProcessFrequency:
        if (process != nullptr) {
            process->frequency = c.frequency;
        }
        break;
    case CommandType::ProcessType:
        if (process != nullptr) {
            process->runtime = c.runtime;
            process->host = c.host;
            process->hasApiKey = !c.apiKey.empty();
        }
        break;
    case CommandType::ProfilerVersion:
        if (process != nullptr) {
            process->version = c.version;
        }
        break;
    case CommandType::ProcessEnded:
        anyEnded_ = true;
        if (process != nullptr && !process->ended) {
            process->ended = true;
            if (process->open) {
                process->open = false;
                --openProcesses_;
            }
        }
        break;
    default: break;
    }

    if (sink_) {
        const bool call = type == CommandType::BeginCall || type == CommandType::EndCall || type == CommandType::UnwindCall;
        sink_(CommandToJson(c, call ? FunctionName(c.pid, c.functionId) : nullptr));
    }
}

bool CollectorSession::AllProcessesEnded() const
{
    return anyEnded_ && openProcesses_ == 0;
}

std::string CollectorSession::RenderSummary(const SummaryOptions& options) const
{
    std::string out = "quorix-collect summary\n";
    for (const auto& line : options.transportLines) {
        out += "  " + line + "\n";
    }
    out += "  processes: " + std::to_string(processes_.size());
    if (droppedProcesses_ != 0) {
        out += " (+" + std::to_string(droppedProcesses_) + " commands of processes beyond the limit)";
    }
    out += "\n";
    for (const auto& [pid, p] : processes_) {
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
    }

    out += "  commands: " + std::to_string(totalCommands_) + "\n";
    size_t count = 0;
    const uint8_t* types = KnownCommandTypes(count);
    std::string counts;
    for (size_t i = 0; i < count; ++i) {
        if (byType_[types[i]] == 0) {
            continue;
        }
        if (!counts.empty()) {
            counts += ", ";
        }
        counts += std::string(CommandTypeName(types[i])) + " " + std::to_string(byType_[types[i]]);
    }
    if (!counts.empty()) {
        out += "    " + counts + "\n";
    }

    out += "  malformed messages: " + std::to_string(malformed_);
    if (droppedStreamBytes_ != 0) {
        out += " (" + std::to_string(droppedStreamBytes_) + " stream bytes dropped)";
    }
    out += "\n";
    if (!malformedByReason_.empty()) {
        std::string reasons;
        for (const auto& [reason, n] : malformedByReason_) {
            reasons += (reasons.empty() ? "" : ", ") + reason + " " + std::to_string(n);
        }
        out += "    " + reasons + "\n";
    }
    out += "  bad value records: " + std::to_string(badValueRecords_) + "\n";
    for (const auto& sample : malformedSamples_) {
        out += "    e.g. " + DisplayText(sample, 120) + "\n";
    }
    if (droppedNames_ != 0) {
        out += "  function names not kept (limit): " + std::to_string(droppedNames_) + "\n";
    }

    if (!options_.buildTree || !options.tree) {
        return out;
    }
    const auto& stats = tree_.GetStats();
    out += "  call trees: " + std::to_string(tree_.ThreadCount()) + " threads";
    out += ", " + std::to_string(stats.orphanEnds) + " ends without begin";
    out += ", " + std::to_string(stats.missingEnds) + " frames without end";
    if (stats.droppedNodes != 0 || stats.droppedThreads != 0) {
        out += ", " + std::to_string(stats.droppedNodes) + " entries and " + std::to_string(stats.droppedThreads) +
               " threads not kept (memory limit)";
    }
    out += "\n";
    CallTreeBuilder::RenderOptions render;
    render.maxLines = options.treeLines;
    render.functionName = [this](uint32_t pid, uint32_t functionId) {
        const std::string* name = FunctionName(pid, functionId);
        return name != nullptr ? DisplayText(*name, 160) : "function#" + std::to_string(functionId);
    };
    render.microsPerTick = [this](uint32_t pid) {
        auto it = processes_.find(pid);
        if (it == processes_.end() || it->second.frequency == 0) {
            return 1.0;
        }
        return 1e6 / static_cast<double>(it->second.frequency);
    };
    out += tree_.Render(render);
    return out;
}

} // namespace QuorixCollect
