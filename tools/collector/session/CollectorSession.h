#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "calltree/CallTree.h"
#include "jsonlines/JsonSink.h"
#include "losses/LossLedger.h"
#include "matcher/CallMatcher.h"
#include "wire/CommandDecoder.h"
#include "memory/MemoryBudget.h"
#include "session/CommandObserver.h"
#include "session/ExceptionTable.h"
#include "session/NameTable.h"
#include "session/TimeOrder.h"
#include "transport/ReceivedBytes.h"
#include "wire/StreamReassembler.h"

namespace QuorixCollect {

struct ProcessInfo {
    uint32_t pid = 0;
    std::string runtime;
    std::string host;
    std::string version;
    bool hasApiKey = false;
    uint64_t frequency = 0;
    bool started = false;  // process-started command seen
    bool ended = false;    // process-ended command seen
    bool open = false;     // announced and not yet ended
    uint64_t commands = 0;
    // The agent's latest delivery report, when it sends them.
    bool hasDelivery = false;
    DecodedCommand::Delivery delivery;
    std::unique_ptr<NameTable> names;
};

// Everything the collector does with bytes once a transport has received them: framing checks,
// decoding, JSON lines, function names, process bookkeeping, call trees and the summary.
// Independent of sockets so that it can be driven by tests.
class CollectorSession final : public ReceivedBytes {
public:
    // One line at a time, for tests and small tools; the collector itself uses a JsonSink.
    using LineSink = std::function<void(const std::string& jsonLine)>;

    static constexpr size_t DefaultMaxMemory = size_t{512} << 20;
    // Names longer than this are stored cut once names have used half of their share.
    static constexpr size_t CutNameBytes = 256;
    // Texts of the process list are for display only.
    static constexpr size_t MaxProcessText = 256;

    struct Options {
        bool buildTree = true;
        // Bound of names, values and call trees together (bytes); I/O buffers come on top of
        // this (the collector subtracts them from --max-memory before it gets here).
        size_t maxMemory = DefaultMaxMemory;
        size_t maxProcesses = 4096;
        CallMatcher::Limits callLimits;      // shared by the tree, the viewer files and the spans
        CallTreeBuilder::Limits treeLimits;  // maxBytes is set from maxMemory
        // Threads' commands put back into time order before they are matched (the collector
        // turns it on; off, each command is applied as it is read).
        bool timeOrder = false;
        TimeOrder::Options order;  // maxBytes is capped at a sixteenth of maxMemory
    };

    struct SummaryOptions {
        bool tree = true;
        size_t treeLines = 400;  // 0: no limit
        std::vector<std::string> transportLines;
        // What the transport knows was lost (e.g. kernel drops), printed after the counts.
        LossLedger transportLosses;
        // Lines of what was exported elsewhere (e.g. spans), printed after the loss lines.
        std::vector<std::string> exportLines;
        size_t memoryBound = 0;  // the --max-memory figure to report; 0: the session's own
    };

    CollectorSession(const Options& sessionOptions, LineSink lineSink);
    ~CollectorSession() override;

    // JSON lines in bulk instead of one call per line.
    void SetJsonSink(JsonSink* bulkSink) { json = bulkSink; }
    // Another consumer of the decoded commands (viewer files, the report, exporters), called in
    // the order added.
    void AddObserver(CommandObserver* observer) { observers.push_back(observer); }
    // Where calls are matched once for the tree and for every other consumer of calls.
    CallMatcher& Matcher() { return matcher; }
    const CallMatcher& Matcher() const { return matcher; }

    // Stamps around each read of the transport, for the decode rate.
    void ReadStarted(Clock::time_point now) override;
    void ReadFinished(Clock::time_point now) override;

    // One datagram is one command.
    void OnDatagram(const uint8_t* data, size_t size) override;
    // A datagram larger than the receive buffer: counted, not decoded.
    void OnOversizedDatagram() override;
    // Bytes of a stream connection (TCP or FIFO); commands may be split across calls.
    void OnStreamData(uint64_t connection, const uint8_t* data, size_t size) override;
    void OnStreamClosed(uint64_t connection) override;
    // Bytes of a command still incomplete on the connection.
    size_t StreamPending(uint64_t connection) const override;
    // The rest of a partial command did not come in time: its bytes are dropped and counted.
    void OnStreamTimedOut(uint64_t connection, double seconds) override;
    // One complete message as framed by the transport.
    void OnMessage(const uint8_t* data, size_t size);
    // Lets go of commands held for time order once their process has gone quiet.
    void Tick(Clock::time_point now) {
        if (order) order->Tick(now);
    }
    // Applies every command still held for time order; before the matcher finishes.
    void ReleaseHeld() {
        if (order) order->ReleaseAll();
    }
    const TimeOrder* Order() const { return order.get(); }

    // True once a process has ended and no announced process is still open.
    bool AllProcessesEnded() const;

    uint64_t TotalCommands() const { return totalCommands; }
    uint64_t CommandCount(uint8_t type) const { return byType[type]; }
    uint64_t MalformedCount() const { return malformed; }
    uint64_t MalformedCount(const std::string& reason) const;
    uint64_t BadValueRecords() const { return badValueRecords; }
    uint64_t DroppedStreamBytes() const { return droppedStreamBytes; }
    uint64_t NamesCut() const { return namesCut; }
    uint64_t NamesNotKept() const { return droppedNames; }
    // Messages per second between the first and the last read, or -1 when not measurable.
    double DecodeRate() const;
    const std::map<uint32_t, ProcessInfo>& Processes() const { return processes; }
    const CallTreeBuilder& Tree() const { return tree; }
    // "Class::Method" for a function announced by a method-info command; a null view when none.
    std::string_view FunctionName(uint32_t pid, uint32_t functionId) const;
    // What the agent said about each exception (its type and message), for every display of one.
    const ExceptionTable& Exceptions() const { return exceptions; }
    // Bytes of names, values and trees, and their bound.
    size_t MemoryUsed() const;
    size_t MemoryLimit() const { return options.maxMemory; }

    // The session's counters of what was lost, cut or left out, with the transport's among them
    // in the order the summary shows them.
    void PublishLosses(LossLedger& ledger, const LossLedger& transport = {}) const;
    std::string RenderSummary(const SummaryOptions& summary) const;

private:
    void RenderProcesses(std::string& out, const LossLedger& ledger) const;
    void RenderCounts(std::string& out) const;
    void RenderDecodeLosses(std::string& out, const LossLedger& ledger, const SummaryOptions& summary) const;
    void RenderMemory(std::string& out, const LossLedger& ledger, const SummaryOptions& summary) const;
    void RenderTrees(std::string& out, const SummaryOptions& summary) const;
    void Malformed(const char* reason, const std::string& detail);
    void Decode(const uint8_t* data, size_t size);
    void Apply(const DecodedCommand& command);
    void ApplyAnnouncement(const DecodedCommand& command, ProcessInfo* process);
    void StoreName(ProcessInfo* process, const DecodedCommand& command);
    ProcessInfo* Process(uint32_t pid);
    NameTable::Name LookUpName(uint32_t pid, uint32_t functionId) const;
    void WriteJson(const DecodedCommand& command);

    Options options;
    LineSink sink;
    JsonSink* json = nullptr;
    std::vector<CommandObserver*> observers;
    std::string jsonLine;
    DecodedCommand command;
    std::string nameText;

    uint64_t totalCommands = 0;
    uint64_t byType[256] = {};
    uint64_t malformed = 0;
    std::map<std::string, uint64_t> malformedByReason;
    std::vector<std::string> malformedSamples;
    uint64_t badValueRecords = 0;
    uint64_t droppedStreamBytes = 0;
    uint64_t droppedProcesses = 0;
    uint64_t droppedNames = 0;
    uint64_t namesCut = 0;
    uint64_t streamTimeouts = 0;

    MemoryBudget namesBudget;
    ExceptionTable exceptions;
    std::map<uint32_t, ProcessInfo> processes;
    uint32_t lastPid = 0;
    ProcessInfo* lastProcess = nullptr;
    std::unordered_map<uint64_t, StreamReassembler> streams;
    bool anyEnded = false;
    size_t openProcesses = 0;
    CallMatcher matcher;
    CallTreeBuilder tree;
    std::unique_ptr<TimeOrder> order;

    bool anyRead = false;
    Clock::time_point readStart{};
    Clock::time_point firstRead{};
    Clock::time_point lastRead{};
    uint64_t commandsAtReadStart = 0;
};

}  // namespace QuorixCollect
