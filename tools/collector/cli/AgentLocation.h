#pragma once

#include <functional>
#include <string>

namespace QuorixCollect {

// Where quorix-run takes the agent library from. `here` is the folder of quorix-run itself,
// `given` the QUORIX_PROFILER_PATH setting (null when unset), `builtIn` the build tree's library
// as the build compiled it in (empty outside a build).
struct AgentLocation {
    std::string path;
    bool found = false;  // false: no candidate is a file, `path` is the first one tried
};

AgentLocation LocateAgentLibrary(const std::string& here, const char* given, const std::string& builtIn,
                                 const std::function<bool(const std::string&)>& isFile);

}  // namespace QuorixCollect
