#pragma once

// The whole content of a file the collector wrote, as bytes; empty when it cannot be read.

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace CollectorTest {

inline std::string FileText(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

}  // namespace CollectorTest
