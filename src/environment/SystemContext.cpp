#include "environment/SystemContext.h"

#include <dirent.h>
#include <dlfcn.h>
#include <link.h>
#include <pthread.h>
#include <unistd.h>

#include <cctype>
#include <fstream>
#include <iterator>
#include <sstream>

#include "environment/Logger.h"

SystemContext* g_Context = nullptr;

const char* const OwinHostModuleName = "Microsoft.Owin.Hosting.dll";

bool ends_with(const std::string& text, const std::string& suffix) {
    return suffix.size() <= text.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

namespace {

std::string BaseName(const std::string& path) {
    auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Options of the host muxer that take a value before the application path ("dotnet exec ...").
bool HostOptionTakesValue(const std::string& option) {
    return option == "--runtimeconfig" || option == "--depsfile" || option == "--additionalprobingpath" ||
           option == "--additional-deps" || option == "--fx-version" || option == "--roll-forward" ||
           option == "--roll-forward-on-no-candidate-fx";
}

// "3.1.3", "3.1.0-preview1.19506.1": digits and dots first, then anything printable.
bool LooksLikeVersion(const std::string& text) {
    if (text.empty() || text.size() > 64 || !std::isdigit(static_cast<unsigned char>(text[0]))) return false;
    size_t dots = 0;
    size_t i = 0;
    for (; i < text.size() && (std::isdigit(static_cast<unsigned char>(text[i])) || text[i] == '.'); ++i)
        dots += text[i] == '.';
    if (dots < 2) return false;
    for (; i < text.size(); ++i)
        if (!std::isgraph(static_cast<unsigned char>(text[i])) || text[i] == '"' || text[i] == '/') return false;
    return true;
}

std::string Trimmed(const std::string& text) {
    const size_t begin = text.find_first_not_of(" \t\r\n");
    if (begin == std::string::npos) return std::string();
    return text.substr(begin, text.find_last_not_of(" \t\r\n") - begin + 1);
}

// The first bytes of a small file; runtime files of interest are a few KB to a few hundred.
std::string ReadHead(const std::string& path, size_t limit) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return std::string();
    std::string text(limit, '\0');
    file.read(text.data(), static_cast<std::streamsize>(limit));
    text.resize(static_cast<size_t>(file.gcount()));
    return text;
}

// The runtime pack or framework version a deps.json names, as "Microsoft.NETCore.App.Runtime.<rid>/<version>".
std::string VersionFromDeps(const std::string& text) {
    static const std::string marker = "Microsoft.NETCore.App.Runtime.";
    for (size_t at = text.find(marker); at != std::string::npos; at = text.find(marker, at + 1)) {
        const size_t slash = text.find('/', at + marker.size());
        const size_t quote = text.find('"', at + marker.size());
        if (slash == std::string::npos || quote == std::string::npos || slash > quote) continue;
        const std::string version = text.substr(slash + 1, quote - slash - 1);
        if (LooksLikeVersion(version)) return version;
    }
    return std::string();
}

}  // namespace

std::string SystemContext::CoreRuntimeVersion(uint16_t major, uint16_t minor, uint16_t build,
                                              const std::string& coreclrPath) {
    const std::string reported = std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(build);
    if (major != 4 || minor != 0 || coreclrPath.empty()) return reported;
    const size_t slash = coreclrPath.find_last_of('/');
    if (slash == std::string::npos) return reported;
    const std::string folder = coreclrPath.substr(0, slash);
    const std::string folderName = BaseName(folder);
    if (LooksLikeVersion(folderName)) return folderName;
    // A ".version" file: a commit on the first line, the version on the second.
    std::istringstream lines(ReadHead(folder + "/.version", 4096));
    std::string line;
    for (int number = 0; number < 2 && std::getline(lines, line); ++number) {
        line = Trimmed(line);
        if (number == 1 && LooksLikeVersion(line)) return line;
    }
    // A self-contained application: its deps.json names the runtime pack it was built with.
    if (DIR* directory = opendir(folder.c_str())) {
        std::string found;
        while (dirent* entry = readdir(directory)) {
            const std::string name = entry->d_name;
            if (!ends_with(name, ".deps.json")) continue;
            found = VersionFromDeps(ReadHead(folder + "/" + name, 1 << 20));
            if (!found.empty()) break;
        }
        closedir(directory);
        if (!found.empty()) return found;
    }
    return reported;
}

std::string SystemContext::LoadedCoreclrPath() {
    std::string path;
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void* data) {
            const char* name = info->dlpi_name;
            if (name != nullptr && ends_with(name, "/libcoreclr.so")) {
                *static_cast<std::string*>(data) = name;
                return 1;
            }
            return 0;
        },
        &path);
    return path;
}

SystemContext::SystemContext() { Construct("/proc/" + std::to_string(getpid()) + "/cmdline"); }

SystemContext::SystemContext(const std::string& path) { Construct(path); }

void SystemContext::Construct(const std::string& path) {
    cmdlinePath = path;
    ticksPerSecond = 1000000;
    processId = static_cast<uint32_t>(getpid());
    SetHostName();
    functionMapSequenceNo = 100;
    const std::vector<std::string> args = ReadCommandLine(cmdlinePath);
    hostType = IsBuildToolCommandLine(args) ? DOTNET_CORE_MSBUILD : UNKNOWN;
    if (g_Configuration != nullptr &&
        (!g_Configuration->processInclude.empty() || !g_Configuration->processExclude.empty()))
        skippedBySettings = !IsChosenProcess(ProcessNames(args), g_Configuration->processInclude,
                                             g_Configuration->processExclude, choiceReason);
    if (g_Configuration != nullptr && !g_Configuration->apiKey.empty())
        // Whether one is set is worth knowing; the key itself never goes into a log.
        QX_LOG(LogLevel::Info, "SystemContext", "An API key is configured (%zu characters)",
               g_Configuration->apiKey.size());
}

std::vector<std::string> SystemContext::ReadCommandLine(const std::string& path) {
    std::vector<std::string> args;
    std::ifstream file(path, std::ios::binary);
    if (!file) return args;
    std::string all((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    size_t start = 0;
    while (start < all.size()) {
        size_t end = all.find('\0', start);
        if (end == std::string::npos) end = all.size();
        args.push_back(all.substr(start, end - start));
        start = end + 1;
    }
    return args;
}

bool SystemContext::IsBuildToolCommandLine(const std::vector<std::string>& args) {
    if (args.empty()) return false;
    const std::string program = BaseName(args[0]);
    if (program == "MSBuild" || program == "csc" || program == "VBCSCompiler") return true;
    if (program != "dotnet") return false;

    // "dotnet app.dll ..." and "dotnet exec [options] app.dll" run an application; any other
    // first argument ("build", "msbuild", "run", "--info" ...) is the SDK driver itself.
    size_t i = 1;
    if (i < args.size() && args[i] == "exec") {
        ++i;
        while (i < args.size() && args[i].rfind("--", 0) == 0) i += HostOptionTakesValue(args[i]) ? 2 : 1;
    }
    if (i >= args.size()) return false;
    const std::string& app = args[i];
    if (!ends_with(app, ".dll") && !ends_with(app, ".exe")) return i == 1;
    const std::string name = BaseName(app);
    if (name == "MSBuild.dll" || name == "csc.dll" || name == "VBCSCompiler.dll") return true;
    // The SDK's own driver assembly, when started explicitly.
    return name == "dotnet.dll" && app.find("/sdk/") != std::string::npos;
}

std::vector<std::string> SystemContext::ProcessNames(const std::vector<std::string>& args) {
    std::vector<std::string> names;
    auto add = [&names](std::string name) {
        if (ends_with(name, ".dll") || ends_with(name, ".exe")) name.resize(name.size() - 4);
        if (!name.empty()) names.push_back(std::move(name));
    };
    if (args.empty()) return names;
    add(BaseName(args[0]));
    if (BaseName(args[0]) != "dotnet") return names;
    size_t i = 1;
    if (i < args.size() && args[i] == "exec") {
        ++i;
        while (i < args.size() && args[i].rfind("--", 0) == 0) i += HostOptionTakesValue(args[i]) ? 2 : 1;
    }
    if (i < args.size() && (ends_with(args[i], ".dll") || ends_with(args[i], ".exe"))) add(BaseName(args[i]));
    return names;
}

bool SystemContext::IsChosenProcess(const std::vector<std::string>& names, const std::vector<std::string>& include,
                                    const std::vector<std::string>& exclude, std::string& reason) {
    auto listed = [&names](const std::vector<std::string>& list) -> const std::string* {
        for (const std::string& entry : list) {
            std::string wanted = entry;
            if (ends_with(wanted, ".dll") || ends_with(wanted, ".exe")) wanted.resize(wanted.size() - 4);
            for (const std::string& name : names)
                if (name == wanted) return &name;
        }
        return nullptr;
    };
    std::string shown;
    for (const std::string& name : names) shown += (shown.empty() ? "" : ", ") + name;
    if (const std::string* name = listed(exclude)) {
        reason = "'" + *name + "' is in MORVEL_PROCESS_EXCLUDE";
        return false;
    }
    if (include.empty()) {
        reason = "none of (" + shown + ") is in MORVEL_PROCESS_EXCLUDE";
        return true;
    }
    if (const std::string* name = listed(include)) {
        reason = "'" + *name + "' is in MORVEL_PROCESS_INCLUDE";
        return true;
    }
    reason = "none of (" + shown + ") is in MORVEL_PROCESS_INCLUDE";
    return false;
}

void SystemContext::SetHostName() {
    char buffer[256] = {};
    if (gethostname(buffer, sizeof(buffer) - 1) == 0)
        hostName = buffer;
    else
        hostName.clear();
}

void SystemContext::SetProfiler2Info(ICorProfilerInfo2* info) {
    profilerInfo2 = info;
    if (info == nullptr) return;
    ULONG lengthOffset = 0, stringOffset = 0, bufOffset = 0;
    if (SUCCEEDED(info->GetStringLayout(&lengthOffset, &stringOffset, &bufOffset))) {
        bufferLengthOffset = lengthOffset;
        stringLengthOffset = stringOffset;
        bufferOffset = bufOffset;
        stringLayoutKnown = true;
    }
}

void SystemContext::CompleteStringLayout() {
    if (stringLayoutKnown || profilerInfo3 == nullptr) return;
    ULONG lengthOffset = 0, bufOffset = 0;
    if (SUCCEEDED(profilerInfo3->GetStringLayout2(&lengthOffset, &bufOffset))) {
        bufferLengthOffset = lengthOffset;
        stringLengthOffset = lengthOffset;
        bufferOffset = bufOffset;
        stringLayoutKnown = true;
    }
}

void SystemContext::FetchProcessNameAndType() {
    processName.clear();
    {
        std::ifstream file(cmdlinePath);
        if (file) std::getline(file, processName);
    }
    QX_LOG(LogLevel::Info, LogArea::Unprefixed, "[FetchProcessNameAndType] Process Name: %s", processName.c_str());
    QX_LOG(LogLevel::Info, LogArea::Unprefixed, "[FetchProcessNameAndType] Process Id: %u", processId);
    QX_LOG(LogLevel::Info, LogArea::Unprefixed, "[FetchProcessNameAndType] Fetching Modules for Process: %u",
           processId);

    if (g_Logger != nullptr && g_Logger->IsEnabled(LogLevel::Trace)) {
        // Handle deliberately not closed: closing the main program's handle is pointless.
        auto* head = static_cast<link_map*>(dlopen(nullptr, RTLD_NOW));
        if (head != nullptr && head->l_next != nullptr) {
            for (link_map* module = head->l_next->l_next; module != nullptr; module = module->l_next)
                QX_LOG(LogLevel::Trace, LogArea::Unprefixed, "  [Module] %s",
                       module->l_name != nullptr ? module->l_name : "");
        }
    }

    uint16_t major = 0, minor = 0, build = 0;
    COR_PRF_RUNTIME_TYPE runtimeType{};
    HRESULT hr = E_FAIL;
    if (profilerInfo4 != nullptr)
        hr = profilerInfo4->GetRuntimeInformation(nullptr, &runtimeType, &major, &minor, &build, nullptr, 0, nullptr,
                                                  nullptr);
    if (FAILED(hr)) {
        QX_LOG(LogLevel::Error, LogArea::Unprefixed, "[FetchProcessNameAndType] Unable to call GetRuntimeInformation");
    } else {
        if (runtimeType == COR_PRF_DESKTOP_CLR) {
            hostType = DOTNET_IIS;
            runtimeVersionText =
                "Framework " + std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(build);
        } else {
            hostType = DOTNET_CORE;
            runtimeVersionText = "CORE " + CoreRuntimeVersion(major, minor, build, LoadedCoreclrPath());
        }
    }
    SetHostTypeText();
    QX_LOG(LogLevel::Info, LogArea::Unprefixed, "[FetchProcessNameAndType] Host detected as %s", hostTypeText.c_str());
    QX_LOG(LogLevel::Info, LogArea::Unprefixed, "[FetchProcessNameAndType] Runtime version detected as %s",
           runtimeVersionText.c_str());
}

void SystemContext::SetHostTypeText() {
    const HostType configured = g_Configuration != nullptr ? g_Configuration->processType : UNKNOWN;
    const HostType effective = configured == UNKNOWN ? hostType : configured;
    if (effective == DOTNET_IIS)
        hostTypeText = "IIS_WORKER_PROCESS";
    else if (configured != UNKNOWN)
        hostTypeText = "DOTNET_CORE";
    else
        hostTypeText = hostType == DOTNET_CORE ? "DOTNET_CORE" : "UNKNOWN";
}

void SystemContext::ReportModuleLoaded(uint64_t, std::string moduleName) {
    if (hostType == OWIN_HOST) return;
    if (!ends_with(moduleName, OwinHostModuleName)) return;
    hostType = OWIN_HOST;
    SetHostTypeText();
    QX_LOG(LogLevel::Verbose, "ReportModuleLoaded", "OWIN hosting module detected, updating process type to %s",
           hostTypeText.c_str());
}

uint32_t SystemContext::GetNextFunctionMapSequenceNo() { return functionMapSequenceNo.fetch_add(1) + 1; }

uint64_t SystemContext::GetManagedThreadId() const {
    if (profilerInfo == nullptr) return 0;
    ThreadID id = 0;
    if (FAILED(profilerInfo->GetCurrentThreadID(&id))) return 0;
    return id;
}

int64_t SystemContext::GetProfilingThreadId() {
    return static_cast<int64_t>(static_cast<int32_t>(static_cast<uint32_t>(pthread_self())));
}
