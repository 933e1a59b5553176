#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "CallTree.h"
#include "CommandDecoder.h"
#include "StreamReassembler.h"

namespace QuorixCollect {

struct ProcessInfo {
    uint32_t pid = 0;
    std::string runtime;
    std::string host;
    std::string version;
    bool hasApiKey = false;
    uint64_t frequency = 0;
    bool started = false; // process-started command seen
    bool ended = false;   // process-ended command seen
    bool open = false;    // announced and not yet ended
    uint64_t commands = 0;
};

// Everything the collector does with bytes once a transport has received them: framing checks,
// decoding, JSON lines, function names, process bookkeeping, call trees and the summary.
// Independent of sockets so that it can be driven by tests.
class CollectorSession {
public:
    using LineSink = std::function<void(const std::string& jsonLine)>;

    struct Options {
        bool buildTree = true;
        size_t maxFunctionNames = 500000;
        size_t maxProcesses = 4096;
        size_t maxConnections = 256;
        CallTreeBuilder::Limits treeLimits;
    };

    struct SummaryOptions {
        bool tree = true;
        size_t treeLines = 400; // 0: no limit
        std::vector<std::string> transportLines;
    };

    CollectorSession(const Options& options, LineSink sink);

    // One datagram is one command.
    void OnDatagram(const uint8_t* data, size_t size);
    // A datagram larger than the receive buffer: counted, not decoded.
    void OnOversizedDatagram();
    // Bytes of a stream connection (TCP or FIFO); commands may be split across calls.
    void OnStreamData(uint64_t connection, const uint8_t* data, size_t size);
    void OnStreamClosed(uint64_t connection);
    // One complete message as framed by the transport.
    void OnMessage(const uint8_t* data, size_t size);

    // True once a process has ended and no announced process is still open.
    bool AllProcessesEnded() const;

    uint64_t TotalCommands() const { return totalCommands_; }
    uint64_t CommandCount(uint8_t type) const { return byType_[type]; }
    uint64_t MalformedCount() const { return malformed_; }
    uint64_t MalformedCount(const std::string& reason) const;
    uint64_t BadValueRecords() const { return badValueRecords_; }
    uint64_t DroppedStreamBytes() const { return droppedStreamBytes_; }
    const std::map<uint32_t, ProcessInfo>& Processes() const { return processes_; }
    const CallTreeBuilder& Tree() const { return tree_; }
    // "Class::Method" for a function announced by a method-info command, or nullptr.
    const std::string* FunctionName(uint32_t pid, uint32_t functionId) const;

    std::string RenderSummary(const SummaryOptions& options) const;

private:
    void Malformed(const std::string& reason, const std::string& detail);
    void Apply(const DecodedCommand& command);
    ProcessInfo* Process(uint32_t pid);

    Options options_;
    LineSink sink_;
    uint64_t totalCommands_ = 0;
    uint64_t byType_[256] = {};
    uint64_t malformed_ = 0;
    std::map<std::string, uint64_t> malformedByReason_;
    std::vector<std::string> malformedSamples_;
    uint64_t badValueRecords_ = 0;
    uint64_t droppedStreamBytes_ = 0;
    uint64_t droppedProcesses_ = 0;
    uint64_t droppedNames_ = 0;
    std::map<uint32_t, ProcessInfo> processes_;
    std::unordered_map<uint64_t, std::string> names_;
    std::unordered_map<uint64_t, StreamReassembler> streams_;
    bool anyEnded_ = false;
    size_t openProcesses_ = 0;
    CallTreeBuilder tree_;
};

} // namespace QuorixCollect
