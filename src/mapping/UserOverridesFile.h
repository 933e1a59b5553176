#pragma once

#include <cstddef>
#include <string>
#include <vector>

// Reads the user overrides file as lines, never blocking and never reading without bound:
// only a regular file is read (a FIFO would block), at most MaxFileBytes of it, and lines
// longer than MaxLineBytes are dropped. A trailing carriage return is removed so that a file
// written with CR LF line ends means the same as one with LF.
class UserOverridesFile {
public:
    static constexpr size_t MaxFileBytes = 1u << 20;
    static constexpr size_t MaxLineBytes = 64u << 10;

    enum class Status { Read, OpenFailed, NotRegularFile };

    struct Contents {
        Status status = Status::OpenFailed;
        // errno of the failed open or read.
        int error = 0;
        std::vector<std::string> lines;
        // The file went on past MaxFileBytes; its tail (and a line cut by the cap) was ignored.
        bool truncated = false;
        // A read failed part way; the lines before it are kept.
        bool readFailed = false;
        size_t longLinesSkipped = 0;
    };

    static Contents Read(const char* path);
};
