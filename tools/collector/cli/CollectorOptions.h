#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "cli/OtlpSettings.h"

namespace QuorixCollect {

enum class Transport { Udp, Tcp, Pipe };

constexpr uint16_t DefaultPort = 2799;
// Backslashes are ordinary characters here: the FIFO lives in the working directory under this name.
constexpr const char* DefaultPipeName = "\\\\.\\pipe\\QuorixAgent_v1";
constexpr const char* MulticastGroup = "239.100.15.215";
// Below this the I/O buffers alone would not leave room for anything else.
constexpr size_t MinMemoryMiB = 32;

struct CollectorOptions {
    Transport transport = Transport::Udp;
    uint32_t port = DefaultPort;  // 0: any free port (written to the ready file)
    bool multicast = false;
    std::string pipePath = DefaultPipeName;
    std::string jsonPath;  // empty: no JSON; "-": standard output
    std::string readyFile;
    double durationSeconds = 0;  // 0: until stopped
    bool untilEnded = false;
    bool quiet = false;
    bool summaryToStdout = false;
    bool tree = true;
    size_t treeLines = 400;  // 0: no limit
    size_t maxMemoryBytes = size_t{512} << 20;
    double idleTimeoutSeconds = 30;  // 0: connections never time out
    size_t maxConnections = 256;
    // Viewer files and the report; empty: not written.
    std::string speedscopePath;
    std::string chromeTracePath;
    std::string foldedPath;
    std::string reportPath;
    size_t viewerCalls = 50000;  // longest calls kept with their times for the viewers
    OtlpSettings otlp;           // otlp.url empty: no span export
    double otlpMinDurationMs = 1;
    // Requests: where they go, and what makes a finding.
    std::string requestsPath;  // empty: not written; "-": standard output
    size_t nPlusOne = 5;
    double slowSqlMs = 100;
    double slowRequestMs = 500;
    uint16_t livePort = 0;     // 0: no live view
    std::string baselinePath;  // empty: no comparison
    bool help = false;
};

// The agent's reading of its port variable: base-10, 1..65535, nothing after the number;
// anything else gives the default, so that both sides agree on the same port.
uint16_t PortFromEnvironmentText(const char* text);

// Parses the command line; `envPort` is MORVEL_WIRE_COMMAND_PORT (or null), `env` gives the
// OpenTelemetry variables (none when empty). On failure returns false with a message in `error`.
bool ParseCollectorOptions(int argc, const char* const* argv, const char* envPort, CollectorOptions& options,
                           std::string& error, const EnvLookup& env = {});

// The --help text, listing every option.
const char* CollectorUsage();

}  // namespace QuorixCollect
