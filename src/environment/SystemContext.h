#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "environment/Configuration.h"
#include "platform/ProfilerInfo.h"

// Facts about the profiled process that log lines and commands carry. Built at start-up,
// completed once the runtime's info interfaces are known, then only read.
class SystemContext {
public:
    SystemContext();
    // Reads the command line from the given file instead of this process's own (tests).
    explicit SystemContext(const std::string& cmdlinePath);

    void FetchProcessNameAndType();
    void SetHostTypeText();
    void SetHostName();
    void ReportModuleLoaded(uint64_t moduleId, std::string moduleName);
    uint32_t GetNextFunctionMapSequenceNo();

    uint64_t GetTicksPerSecond() const { return ticksPerSecond; }
    uint32_t GetProcessId() const { return processId; }
    HostType GetHostType() const { return hostType; }
    uint32_t GetBufferLengthOffset() const { return bufferLengthOffset; }
    uint32_t GetStringLengthOffset() const { return stringLengthOffset; }
    uint32_t GetBufferOffset() const { return bufferOffset; }
    bool HasStringLayout() const { return stringLayoutKnown; }
    std::string GetProcessName() const { return processName; }
    std::string GetHostTypeText() const { return hostTypeText; }
    std::string GetHostName() const { return hostName; }
    std::string GetRuntimeVersionText() const { return runtimeVersionText; }

    ICorProfilerInfo* GetProfilerInfo() const { return profilerInfo; }
    ICorProfilerInfo2* GetProfiler2Info() const { return profilerInfo2; }
    ICorProfilerInfo3* GetProfiler3Info() const { return profilerInfo3; }
    ICorProfilerInfo4* GetProfiler4Info() const { return profilerInfo4; }
    void SetProfilerInfo(ICorProfilerInfo* info) { profilerInfo = info; }
    void SetProfiler2Info(ICorProfilerInfo2* info);
    void SetProfiler3Info(ICorProfilerInfo3* info) { profilerInfo3 = info; }
    void SetProfiler4Info(ICorProfilerInfo4* info) { profilerInfo4 = info; }
    // When the older layout query was refused, asks the newer one; without either, string
    // contents are never read.
    void CompleteStringLayout();

    uint64_t GetManagedThreadId() const;
    static int64_t GetProfilingThreadId();

    // The build tools (the SDK's command-line driver, the build engine and its worker nodes,
    // the compiler and its server) must be left alone; they are recognised from the command line.
    static bool IsBuildToolCommandLine(const std::vector<std::string>& args);
    static std::vector<std::string> ReadCommandLine(const std::string& path);

    // The names a process is chosen by: the executable's file name and, when the host runs an
    // assembly ("dotnet app.dll"), the assembly's; both without a .dll or .exe ending.
    static std::vector<std::string> ProcessNames(const std::vector<std::string>& args);
    // Whether the include and exclude lists let the process be profiled; `reason` says why not
    // (or which name was included) for the log.
    static bool IsChosenProcess(const std::vector<std::string>& names, const std::vector<std::string>& include,
                                const std::vector<std::string>& exclude, std::string& reason);
    // Skipped by the include/exclude settings: left alone exactly like a build tool.
    bool IsSkippedBySettings() const { return skippedBySettings; }
    const std::string& GetChoiceReason() const { return choiceReason; }
    // The version text of a CoreCLR runtime. Before 5.0 the runtime's information call answers
    // 4.0.30319 whatever the release: then the runtime's own files tell, beside `coreclrPath`
    // (its directory is named after the version in a shared install; a `.version` file or a
    // deps.json names it otherwise). Later runtimes are taken at their word.
    static std::string CoreRuntimeVersion(uint16_t major, uint16_t minor, uint16_t build,
                                          const std::string& coreclrPath);
    // Path of the loaded runtime library, or empty.
    static std::string LoadedCoreclrPath();

private:
    void Construct(const std::string& cmdlinePath);

    uint64_t ticksPerSecond = 1000000;
    uint32_t processId = 0;
    uint32_t bufferLengthOffset = 0;
    uint32_t stringLengthOffset = 0;
    uint32_t bufferOffset = 0;
    bool stringLayoutKnown = false;
    std::atomic<uint32_t> functionMapSequenceNo{100};
    std::string processName;
    HostType hostType = UNKNOWN;
    std::string hostTypeText;
    std::string hostName;
    std::string runtimeVersionText;
    std::string cmdlinePath;
    bool skippedBySettings = false;
    std::string choiceReason;
    ICorProfilerInfo* profilerInfo = nullptr;
    ICorProfilerInfo2* profilerInfo2 = nullptr;
    ICorProfilerInfo3* profilerInfo3 = nullptr;
    ICorProfilerInfo4* profilerInfo4 = nullptr;
};

extern const char* const OwinHostModuleName;

bool ends_with(const std::string& text, const std::string& suffix);

extern QX_EXPORT SystemContext* g_Context;
