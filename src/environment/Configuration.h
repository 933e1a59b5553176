#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/Export.h"

enum class LogLevel : int8_t {
    Everything = -2,
    Verbose = -1,
    Trace = 0,
    Debug = 1,
    Info = 2,
    Warning = 3,
    Error = 4,
    Critical = 5,
    Nothing = 20,
};

namespace Uplink {
enum NetworkMode : int32_t {
    Udp = 0,
    Tcp = 1,
    NamedPipe = 2,
    File = 3,
};
}

enum HostType : int32_t {
    DOTNET = 0,
    DOTNET_IIS = 1,
    DOTNET_CORE = 2,
    OWIN_HOST = 3,
    DOTNET_CORE_MSBUILD = 4,
    UNKNOWN = 5,
};

// 239.100.15.215 in network byte order: the group used when multicast is on.
extern const uint32_t MULTICAST_IP_ADDRESS;

// Raw environment text of MORVEL_USER_OVERRIDES_FILE (not a copy), null when unset. Set by the
// start-up parse, read by the live-blacklist refresh; published for diagnostic tools.
extern "C" QX_EXPORT const char* userOverridesEnvironmentValueRaw;

class Configuration {
public:
    // Built on first call and never freed: detached threads may read it during exit.
    static Configuration* Instance();

    Configuration();

    void DiscoverEnvironmentSettings();

    static LogLevel GetEnvironmentVariableAsLogLevel(const char* name, LogLevel defaultValue);
    static Uplink::NetworkMode GetEnvironmentVariableAsNetworkMode(const char* name, Uplink::NetworkMode defaultValue);
    static uint16_t GetEnvironmentVariableAsUShort(const char* name, uint16_t defaultValue);
    static bool GetEnvironmentVariableAsBool(const char* name, bool defaultValue);
    static std::string GetEnvironmentVariableAsString(const char* name, const std::string& defaultValue);
    static HostType GetEnvironmentVariableAsHostType(const char* name, HostType defaultValue);
    static int32_t GetEnvironmentVariableAsInt(const char* name, int32_t defaultValue);
    // Names separated by commas, semicolons or white space; empty entries are dropped.
    static std::vector<std::string> GetEnvironmentVariableAsNameList(const char* name);

    static uint64_t GetProcessId();

    Uplink::NetworkMode networkMode = Uplink::Udp;
    uint16_t wireCommandPort = 2799;
    bool useMulticast = false;
    bool enableCorrelation = true;
    std::string apiKey;
    HostType processType = UNKNOWN;
    std::string errorLogFolder;
    LogLevel logLevel = LogLevel::Nothing;
    bool logToConsole = false;
    // Delivery statistics for the collector: a command type other collectors do not know.
    bool reportDelivery = false;
    // Executable or main-assembly names of the processes to profile (empty: all) and to skip.
    std::vector<std::string> processInclude;
    std::vector<std::string> processExclude;
    // Captured values keep their passwords and other secrets instead of a mask.
    bool captureSecrets = false;
    uint64_t processId = 0;
};

extern QX_EXPORT Configuration* g_Configuration;
