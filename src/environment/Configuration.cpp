#include "environment/Configuration.h"

#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

static_assert(std::endian::native == std::endian::little, "network byte order below assumes x86-64");

// 239.100.15.215, first octet in the lowest byte. A constant rather than inet_addr at load, so
// that no unit's initialisation depends on this one having run.
const uint32_t MULTICAST_IP_ADDRESS = 239u | (100u << 8) | (15u << 16) | (215u << 24);

const char* userOverridesEnvironmentValueRaw = nullptr;

Configuration* g_Configuration = nullptr;

namespace {

// Base-10 number filling the whole text; false when there are no digits, trailing characters
// or the value does not fit a long.
bool ParseWholeNumber(const char* text, long& value) {
    errno = 0;
    char* end = nullptr;
    const long parsed = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno == ERANGE) return false;
    value = parsed;
    return true;
}

}  // namespace

Configuration* Configuration::Instance() {
    // Deliberately never freed: detached agent threads and late runtime calls may still read the
    // settings while static objects are being destroyed at exit.
    static Configuration* const instance = new Configuration();
    return instance;
}

Configuration::Configuration() : Configuration(ProcessEnvironment()) {}

Configuration::Configuration(const SettingReader& reader) { DiscoverEnvironmentSettings(reader); }

void Configuration::DiscoverEnvironmentSettings(const SettingReader& reader) {
#define QX_SETTING(member, variable, type, reader_, value, shown, meaning) \
    member = Read##reader_(reader, variable, value);
#include "environment/Settings.def"
#undef QX_SETTING
    processId = GetProcessId();
}

const SettingReader& Configuration::ProcessEnvironment() {
    static const SettingReader environment = [](const char* name) -> const char* { return std::getenv(name); };
    return environment;
}

const std::vector<SettingDeclaration>& Configuration::Declarations() {
    static const std::vector<SettingDeclaration> declarations = {
#define QX_SETTING(member, variable, type, reader, value, shown, meaning) {variable, #type, shown, meaning},
#include "environment/Settings.def"
#undef QX_SETTING
    };
    return declarations;
}

LogLevel Configuration::ReadLogLevel(const SettingReader& reader, const char* name, LogLevel defaultValue) {
    const char* value = reader(name);
    if (value == nullptr) return defaultValue;
    static constexpr struct {
        const char* text;
        LogLevel level;
    } accepted[] = {
        {"Everything", LogLevel::Everything}, {"Verbose", LogLevel::Everything}, {"Trace", LogLevel::Everything},
        {"Debug", LogLevel::Debug},           {"Info", LogLevel::Info},          {"Warning", LogLevel::Warning},
        {"Error", LogLevel::Error},           {"Critical", LogLevel::Critical},  {"Nothing", LogLevel::Nothing},
    };
    for (const auto& entry : accepted) {
        if (std::strcmp(value, entry.text) == 0) return entry.level;
    }
    return defaultValue;
}

Uplink::NetworkMode Configuration::ReadNetworkMode(const SettingReader& reader, const char* name,
                                                   Uplink::NetworkMode defaultValue) {
    const char* value = reader(name);
    if (value == nullptr) return defaultValue;
    if (std::strcmp(value, "Udp") == 0) return Uplink::Udp;
    if (std::strcmp(value, "File") == 0) return Uplink::File;
    if (std::strcmp(value, "Tcp") == 0) return Uplink::Tcp;
    if (std::strcmp(value, "NamedPipe") == 0) return Uplink::NamedPipe;
    return defaultValue;
}

TraceEngine Configuration::ReadTraceEngine(const SettingReader& reader, const char* name, TraceEngine defaultValue) {
    const char* value = reader(name);
    if (value == nullptr) return defaultValue;
    if (std::strcmp(value, "hooks") == 0) return TraceEngine::Hooks;
    if (std::strcmp(value, "probes") == 0) return TraceEngine::Probes;
    return defaultValue;
}

uint16_t Configuration::ReadUShort(const SettingReader& reader, const char* name, uint16_t defaultValue) {
    const char* value = reader(name);
    long number = 0;
    if (value == nullptr || !ParseWholeNumber(value, number)) return defaultValue;
    if (number < 1 || number > 65535) return defaultValue;
    return static_cast<uint16_t>(number);
}

bool Configuration::ReadBool(const SettingReader& reader, const char* name, bool defaultValue) {
    const char* value = reader(name);
    if (value == nullptr) return defaultValue;
    if (std::strncmp(value, "true", 4) == 0 || value[0] == '1') return true;
    if (std::strncmp(value, "false", 5) == 0 || value[0] == '0') return false;
    return defaultValue;
}

std::string Configuration::ReadString(const SettingReader& reader, const char* name, const std::string& defaultValue) {
    const char* value = reader(name);
    return value == nullptr ? defaultValue : std::string(value);
}

HostType Configuration::ReadHostType(const SettingReader& reader, const char* name, HostType defaultValue) {
    const char* value = reader(name);
    if (value == nullptr) return defaultValue;
    // The build engine is never declared by a setting, only by detection.
    if (std::strcmp(value, "DOTNET_IIS") == 0) return DOTNET_IIS;
    if (std::strcmp(value, "DOTNET") == 0) return DOTNET;
    if (std::strcmp(value, "DOTNET_CORE") == 0) return DOTNET_CORE;
    if (std::strcmp(value, "OWIN_HOST") == 0) return OWIN_HOST;
    return defaultValue;
}

int32_t Configuration::ReadInt(const SettingReader& reader, const char* name, int32_t defaultValue) {
    const char* value = reader(name);
    long number = 0;
    if (value == nullptr || !ParseWholeNumber(value, number)) return defaultValue;
    // A value that does not fit is as malformed as one with trailing letters; wrapping it
    // would silently turn a huge number into a small or negative one.
    if (number < INT32_MIN || number > INT32_MAX) return defaultValue;
    return static_cast<int32_t>(number);
}

int32_t Configuration::ReadSeconds(const SettingReader& reader, const char* name, int32_t defaultValue) {
    const char* value = reader(name);
    if (value == nullptr) return defaultValue;
    // Out of range stays at the nearest end rather than wrapping round to a small number.
    const long seconds = std::strtol(value, nullptr, 10);
    return static_cast<int32_t>(std::clamp<long>(seconds, INT32_MIN, INT32_MAX));
}

const char* Configuration::ReadRawText(const SettingReader& reader, const char* name, const char* defaultValue) {
    const char* value = reader(name);
    return value == nullptr ? defaultValue : value;
}

std::vector<std::string> Configuration::ReadNameList(const SettingReader& reader, const char* name,
                                                     const std::vector<std::string>& defaultValue) {
    const char* value = reader(name);
    if (value == nullptr) return defaultValue;
    std::vector<std::string> names;
    std::string current;
    for (const char* c = value;; ++c) {
        const bool separator =
            *c == '\0' || *c == ',' || *c == ';' || *c == ' ' || *c == '\t' || *c == '\n' || *c == '\r';
        if (!separator) {
            current.push_back(*c);
            continue;
        }
        if (!current.empty()) names.push_back(std::move(current));
        current.clear();
        if (*c == '\0') break;
    }
    return names;
}

LogLevel Configuration::GetEnvironmentVariableAsLogLevel(const char* name, LogLevel defaultValue) {
    return ReadLogLevel(ProcessEnvironment(), name, defaultValue);
}

Uplink::NetworkMode Configuration::GetEnvironmentVariableAsNetworkMode(const char* name,
                                                                       Uplink::NetworkMode defaultValue) {
    return ReadNetworkMode(ProcessEnvironment(), name, defaultValue);
}

uint16_t Configuration::GetEnvironmentVariableAsUShort(const char* name, uint16_t defaultValue) {
    return ReadUShort(ProcessEnvironment(), name, defaultValue);
}

bool Configuration::GetEnvironmentVariableAsBool(const char* name, bool defaultValue) {
    return ReadBool(ProcessEnvironment(), name, defaultValue);
}

std::string Configuration::GetEnvironmentVariableAsString(const char* name, const std::string& defaultValue) {
    return ReadString(ProcessEnvironment(), name, defaultValue);
}

HostType Configuration::GetEnvironmentVariableAsHostType(const char* name, HostType defaultValue) {
    return ReadHostType(ProcessEnvironment(), name, defaultValue);
}

int32_t Configuration::GetEnvironmentVariableAsInt(const char* name, int32_t defaultValue) {
    return ReadInt(ProcessEnvironment(), name, defaultValue);
}

std::vector<std::string> Configuration::GetEnvironmentVariableAsNameList(const char* name) {
    return ReadNameList(ProcessEnvironment(), name, {});
}

uint64_t Configuration::GetProcessId() { return static_cast<uint64_t>(static_cast<int64_t>(::getpid())); }
