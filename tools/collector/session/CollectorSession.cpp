#include "session/CollectorSession.h"

#include <cstdio>
#include <cstring>

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

bool IsCall(CommandType type) {
    return type == CommandType::BeginCall || type == CommandType::EndCall || type == CommandType::UnwindCall;
}

}  // namespace

CollectorSession::CollectorSession(const Options& sessionOptions, LineSink lineSink)
    : options(sessionOptions),
      sink(std::move(lineSink)),
      namesBudget(sessionOptions.maxMemory / 4),
      // Out of what names and trees leave over.
      exceptions(sessionOptions.maxMemory / 32),
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
    if (options.timeOrder) {
        TimeOrder::Options orderOptions = options.order;
        orderOptions.maxBytes = std::min(orderOptions.maxBytes, options.maxMemory / 16);
        order =
            std::make_unique<TimeOrder>(orderOptions, [this](const uint8_t* data, size_t size) { Decode(data, size); });
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
    if (order && size >= HeaderSize) {
        const uint8_t type = data[WireProtocol::TypeOffset];
        if (TimeOrder::IsThreadCommand(type)) {
            order->Take(data, size, readStart);
            return;
        }
        // A process's start and end, and its delivery reports (which count what came before
        // them), follow everything it sent before them.
        if (type == static_cast<uint8_t>(CommandType::ProcessEnded) ||
            type == static_cast<uint8_t>(CommandType::ProcessStarted) ||
            type == static_cast<uint8_t>(CommandType::DeliveryStatistics)) {
            uint32_t pid;
            memcpy(&pid, data + WireProtocol::PidOffset, sizeof pid);
            order->ReleaseProcess(pid);
        }
    }
    Decode(data, size);
}

void CollectorSession::Decode(const uint8_t* data, size_t size) {
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

size_t CollectorSession::MemoryUsed() const { return namesBudget.Used() + tree.BytesUsed() + exceptions.BytesUsed(); }

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
            if (order) order->SetFrequency(c.pid, c.frequency);
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
        case CommandType::ExceptionDetails:
            // Before the consumers see the command, so that they find what it says.
            exceptions.Record(c);
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

}  // namespace QuorixCollect
