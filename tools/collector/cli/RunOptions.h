#pragma once

#include <string>
#include <vector>

namespace QuorixCollect {

// The command line of quorix-run: its own options, the collector options it passes on, and the
// command to run after "--".
struct RunOptions {
    // TCP: the fastest of the three on one host, and nothing is lost (UDP drops what the
    // socket buffer cannot hold). The agent's own default stays UDP.
    std::string transport = "tcp";
    std::string engine = "probes";  // how the agent traces calls: probes or hooks
    bool engineGiven = false;
    int port = 0;  // 0: from MORVEL_WIRE_COMMAND_PORT, else 2799
    bool multicast = false;
    std::string json;
    std::vector<std::string> collectorArgs;  // passed on as given
    std::vector<std::string> otlpHeaders;    // passed on in the collector's environment, not its command line
    std::vector<std::string> command;
    bool help = false;
};

// On failure returns false with a message in `error`.
bool ParseRunOptions(int argc, const char* const* argv, RunOptions& options, std::string& error);

// The --help text, listing every option.
const char* RunUsage();

}  // namespace QuorixCollect
