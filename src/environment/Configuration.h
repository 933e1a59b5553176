#pragma once

#include <cstdint>
#include <functional>
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

// How calls are reported: the runtime's enter/leave hooks, or probes put into each traced method's IL.
enum class TraceEngine : int32_t {
    Hooks = 0,
    Probes = 1,
};

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

// The one way settings are read: the text of a variable, or null when it is unset. Tests hand
// the configuration their own; the agent reads the process environment.
using SettingReader = std::function<const char*(const char*)>;

// A setting as Settings.def declares it, for whatever lists the settings (a test compares the
// README with these).
struct SettingDeclaration {
    const char* variable;
    const char* type;
    const char* defaultShown;
    const char* meaning;
};

class Configuration {
public:
    // Built on first call and never freed: detached threads may read it during exit.
    static Configuration* Instance();

    // Reads every setting once, from the process environment or from the reader given.
    Configuration();
    explicit Configuration(const SettingReader& reader);

    void DiscoverEnvironmentSettings(const SettingReader& reader = ProcessEnvironment());

    static const SettingReader& ProcessEnvironment();
    static const std::vector<SettingDeclaration>& Declarations();

    // What each kind of setting accepts; anything else gives the default.
    static LogLevel ReadLogLevel(const SettingReader& reader, const char* name, LogLevel defaultValue);
    static Uplink::NetworkMode ReadNetworkMode(const SettingReader& reader, const char* name,
                                               Uplink::NetworkMode defaultValue);
    static uint16_t ReadUShort(const SettingReader& reader, const char* name, uint16_t defaultValue);
    // `hooks` or `probes`, exact.
    static TraceEngine ReadTraceEngine(const SettingReader& reader, const char* name, TraceEngine defaultValue);
    static bool ReadBool(const SettingReader& reader, const char* name, bool defaultValue);
    static std::string ReadString(const SettingReader& reader, const char* name, const std::string& defaultValue);
    static HostType ReadHostType(const SettingReader& reader, const char* name, HostType defaultValue);
    static int32_t ReadInt(const SettingReader& reader, const char* name, int32_t defaultValue);
    // Leading base-10 digits taken as a 32-bit number, as strtol reads them.
    static int32_t ReadSeconds(const SettingReader& reader, const char* name, int32_t defaultValue);
    static const char* ReadRawText(const SettingReader& reader, const char* name, const char* defaultValue);
    // Names separated by commas, semicolons or white space; empty entries are dropped.
    static std::vector<std::string> ReadNameList(const SettingReader& reader, const char* name,
                                                 const std::vector<std::string>& defaultValue);

    // The same, from the process environment.
    static LogLevel GetEnvironmentVariableAsLogLevel(const char* name, LogLevel defaultValue);
    static Uplink::NetworkMode GetEnvironmentVariableAsNetworkMode(const char* name, Uplink::NetworkMode defaultValue);
    static uint16_t GetEnvironmentVariableAsUShort(const char* name, uint16_t defaultValue);
    static bool GetEnvironmentVariableAsBool(const char* name, bool defaultValue);
    static std::string GetEnvironmentVariableAsString(const char* name, const std::string& defaultValue);
    static HostType GetEnvironmentVariableAsHostType(const char* name, HostType defaultValue);
    static int32_t GetEnvironmentVariableAsInt(const char* name, int32_t defaultValue);
    static std::vector<std::string> GetEnvironmentVariableAsNameList(const char* name);

    static uint64_t GetProcessId();

#define QX_SETTING(member, variable, type, reader, value, shown, meaning) type member = value;
#include "environment/Settings.def"
#undef QX_SETTING

    uint64_t processId = 0;
};

extern QX_EXPORT Configuration* g_Configuration;
