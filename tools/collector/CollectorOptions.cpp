#include "CollectorOptions.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace QuorixCollect {

namespace {

bool ParseUnsigned(const char* text, unsigned long long max, unsigned long long& out)
{
    if (text == nullptr || *text == '\0' || *text == '-' || *text == '+' || *text == ' ') {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    const unsigned long long v = strtoull(text, &end, 10);
    if (errno != 0 || *end != '\0' || v > max) {
        return false;
    }
    out = v;
    return true;
}

} // namespace

uint16_t PortFromEnvironmentText(const char* text)
{
    if (text == nullptr) {
        return DefaultPort;
    }
    errno = 0;
    char* end = nullptr;
    const long v = strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno != 0 || v < 1 || v > 65535) {
        return DefaultPort;
    }
    return static_cast<uint16_t>(v);
}

bool ParseCollectorOptions(int argc, const char* const* argv, const char* envPort, CollectorOptions& o,
                           std::string& error)
{
    o = CollectorOptions{};
    o.port = PortFromEnvironmentText(envPort);
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](const char*& out) {
            if (i + 1 >= argc) {
                error = "option " + arg + " needs a value";
                return false;
            }
            out = argv[++i];
            return true;
        };
        const char* v = nullptr;
        unsigned long long n = 0;
        if (arg == "--help" || arg == "-h") {
            o.help = true;
        } else if (arg == "--transport") {
            if (!value(v)) {
                return false;
            }
            if (strcmp(v, "udp") == 0) {
                o.transport = Transport::Udp;
            } else if (strcmp(v, "tcp") == 0) {
                o.transport = Transport::Tcp;
            } else if (strcmp(v, "pipe") == 0) {
                o.transport = Transport::Pipe;
            } else {
                error = std::string("unknown transport '") + v + "' (udp, tcp or pipe)";
                return false;
            }
        } else if (arg == "--port") {
            if (!value(v)) {
                return false;
            }
            if (!ParseUnsigned(v, 65535, n)) {
                error = std::string("bad port '") + v + "' (0 to 65535)";
                return false;
            }
            o.port = static_cast<uint32_t>(n);
        } else if (arg == "--multicast") {
            o.multicast = true;
        } else if (arg == "--pipe") {
            if (!value(v)) {
                return false;
            }
            if (*v == '\0') {
                error = "empty pipe path";
                return false;
            }
            o.pipePath = v;
        } else if (arg == "--json") {
            if (!value(v)) {
                return false;
            }
            if (*v == '\0') {
                error = "empty JSON output path";
                return false;
            }
            o.jsonPath = v;
        } else if (arg == "--ready-file") {
            if (!value(v)) {
                return false;
            }
            o.readyFile = v;
        } else if (arg == "--duration") {
            if (!value(v)) {
                return false;
            }
            char* end = nullptr;
            errno = 0;
            const double d = strtod(v, &end);
            if (end == v || *end != '\0' || errno != 0 || !std::isfinite(d) || d <= 0 || d > 31536000) {
                error = std::string("bad duration '") + v + "' (seconds, above 0)";
                return false;
            }
            o.durationSeconds = d;
        } else if (arg == "--until-ended") {
            o.untilEnded = true;
        } else if (arg == "--quiet") {
            o.quiet = true;
        } else if (arg == "--summary-stdout") {
            o.summaryToStdout = true;
        } else if (arg == "--no-tree") {
            o.tree = false;
        } else if (arg == "--tree-lines") {
            if (!value(v)) {
                return false;
            }
            if (!ParseUnsigned(v, 100000000, n)) {
                error = std::string("bad line count '") + v + "'";
                return false;
            }
            o.treeLines = static_cast<size_t>(n);
        } else if (arg == "--max-memory") {
            if (!value(v)) {
                return false;
            }
            if (!ParseUnsigned(v, 1024 * 1024, n) || n < MinMemoryMiB) {
                error = std::string("bad memory bound '") + v + "' (MiB, at least " + std::to_string(MinMemoryMiB) + ")";
                return false;
            }
            o.maxMemoryBytes = static_cast<size_t>(n) << 20;
        } else if (arg == "--idle-timeout") {
            if (!value(v)) {
                return false;
            }
            char* end = nullptr;
            errno = 0;
            const double d = strtod(v, &end);
            if (end == v || *end != '\0' || errno != 0 || !std::isfinite(d) || d < 0 || d > 31536000) {
                error = std::string("bad idle timeout '") + v + "' (seconds, 0 = never)";
                return false;
            }
            o.idleTimeoutSeconds = d;
        } else if (arg == "--max-connections") {
            if (!value(v)) {
                return false;
            }
            if (!ParseUnsigned(v, 4096, n) || n == 0) {
                error = std::string("bad connection limit '") + v + "' (1 to 4096)";
                return false;
            }
            o.maxConnections = static_cast<size_t>(n);
        } else if (arg == "--otlp") {
            if (!value(v)) {
                return false;
            }
            if (*v == '\0') {
                error = "empty --otlp URL";
                return false;
            }
            o.otlpUrl = v;
        } else if (arg == "--service-name") {
            if (!value(v)) {
                return false;
            }
            o.serviceName = v;
        } else if (arg == "--otlp-min-duration") {
            if (!value(v)) {
                return false;
            }
            char* end = nullptr;
            errno = 0;
            const double d = strtod(v, &end);
            if (end == v || *end != '\0' || errno != 0 || !std::isfinite(d) || d < 0 || d > 3600000) {
                error = std::string("bad --otlp-min-duration '") + v + "' (milliseconds, 0 or more)";
                return false;
            }
            o.otlpMinDurationMs = d;
        } else {
            error = "unknown option '" + arg + "'";
            return false;
        }
    }
    if (o.multicast && o.transport != Transport::Udp) {
        error = "--multicast only applies to the udp transport";
        return false;
    }
    if (o.port == 0 && o.transport != Transport::Pipe && o.multicast) {
        error = "--multicast needs a fixed port";
        return false;
    }
    return true;
}

const char* CollectorUsage()
{
    return "usage: quorix-collect [options]\n"
           "Receives the agent's commands and writes them as JSON lines, then prints a summary.\n"
           "  --transport udp|tcp|pipe  how the agent sends (default udp)\n"
           "  --port N                  UDP/TCP port (default MORVEL_WIRE_COMMAND_PORT or 2799;\n"
           "                            0 picks a free port, written to the ready file)\n"
           "  --multicast               join 239.100.15.215 (udp only)\n"
           "  --pipe PATH               FIFO path (default \\\\.\\pipe\\QuorixAgent_v1 in the working directory)\n"
           "  --json FILE|-             write one JSON object per command to FILE or standard output\n"
           "  --ready-file FILE         create FILE once listening (it holds the port)\n"
           "  --duration S              stop after S seconds\n"
           "  --until-ended             stop once a process has ended and no announced process is open\n"
           "  --summary-stdout          print the summary to standard output instead of standard error\n"
           "  --tree-lines N            at most N lines of call tree (default 400, 0 = no limit)\n"
           "  --no-tree                 no call tree in the summary\n"
           "  --max-memory MB           bound of names, values and call trees together, in MiB (default 512);\n"
           "                            what does not fit is counted in the summary\n"
           "  --idle-timeout S          close a TCP connection after S seconds without a byte, and drop a\n"
           "                            half-received command after as long (default 30, 0 = never)\n"
           "  --max-connections N       simultaneous TCP connections (default 256); a new one closes the\n"
           "                            connection silent the longest\n"
           "  --otlp URL                also send the calls as OTLP spans (HTTP/JSON) to URL, e.g.\n"
           "                            http://127.0.0.1:4318 (the path defaults to /v1/traces)\n"
           "  --service-name NAME       service.name of the spans (default: the process's name)\n"
           "  --otlp-min-duration MS    calls shorter than this are not sent unless they carry captured\n"
           "                            values or an exception (default 1, 0 = every call)\n"
           "  --quiet                   no progress messages\n"
           "Stops on SIGINT or SIGTERM.\n";
}

} // namespace QuorixCollect
