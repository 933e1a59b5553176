#pragma once

#include <string>

namespace QuorixCollect {

// Opens an output file for writing from its start: captured values and API keys go into it, so
// a new file is the owner's only, an existing one of ours is narrowed to that, and a symbolic
// link or another user's file is refused. A FIFO or device (/dev/null) is written as it is.
// The descriptor, or -1 with the reason.
int OpenOutputFile(const std::string& path, std::string& reason);
// Writes the whole file through OpenOutputFile.
bool WriteTextFile(const std::string& path, const std::string& text, std::string& error);

}  // namespace QuorixCollect
