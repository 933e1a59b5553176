#include "cli/AgentLocation.h"

#include <vector>

namespace QuorixCollect {

namespace {

constexpr const char* LibraryName = "libQuorixProfilerr.so";

}  // namespace

AgentLocation LocateAgentLibrary(const std::string& here, const char* given, const std::string& builtIn,
                                 const std::function<bool(const std::string&)>& isFile) {
    // A setting of the user's is taken as it is, even when wrong: silently loading another
    // library than the one asked for would be worse than the runtime's own complaint.
    if (given != nullptr && *given != '\0') {
        return {given, isFile(given)};
    }
    // An unpacked package keeps the library beside the tools or in ../lib; a build tree keeps it
    // at its top, two levels above the tools. The build tree's own path comes after the package
    // layouts, so a package made from a build never reaches back into it.
    std::vector<std::string> candidates{here + "/" + LibraryName, here + "/../lib/" + LibraryName};
    if (!builtIn.empty()) {
        candidates.push_back(builtIn);
    }
    candidates.push_back(here + "/../../" + LibraryName);
    for (const auto& candidate : candidates) {
        if (isFile(candidate)) {
            return {candidate, true};
        }
    }
    return {builtIn.empty() ? candidates.front() : builtIn, false};
}

}  // namespace QuorixCollect
