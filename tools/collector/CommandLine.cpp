#include "CommandLine.h"

#include <CLI/CLI.hpp>

#include <vector>

namespace QuorixCollect {

bool ParseCommandLine(CLI::App& app, const char* const* argv, int end, bool& help, std::string& error)
{
    try {
        // CLI11 wants the arguments last to first.
        std::vector<std::string> args;
        for (int i = end - 1; i >= 1; --i) {
            args.emplace_back(argv[i]);
        }
        app.parse(args);
    } catch (const CLI::CallForHelp&) {
        help = true;
    } catch (const CLI::ParseError& e) {
        error = e.what();
        return false;
    }
    return true;
}

}  // namespace QuorixCollect
