#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "environment/Logger.h"

// A fresh folder under /tmp, removed with everything in it at the end of the test.
class TempFolder {
public:
    TempFolder() {
        char pattern[] = "/tmp/qx-uplink-XXXXXX";
        const char* made = mkdtemp(pattern);
        path = made != nullptr ? made : "";
    }
    ~TempFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    std::string Path(const std::string& name) const { return path + "/" + name; }
    const std::string& Root() const { return path; }

private:
    std::string path;
};

// Routes the agent's log into a file of a temp folder for the life of the object.
class LogCapture {
public:
    LogCapture() : logger(std::make_unique<Logger>(LogLevel::Info, folder.Root(), false, 1)) {
        previous = g_Logger;
        g_Logger = logger.get();
    }
    ~LogCapture() {
        g_Logger = previous;
        logger.reset();
    }
    std::string Text() {
        logger->Flush(std::chrono::seconds(5));
        std::ifstream file(logger->GetFilePath());
        std::stringstream content;
        content << file.rdbuf();
        return content.str();
    }
    size_t Count(const std::string& needle) {
        const std::string text = Text();
        size_t count = 0;
        for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++count;
        return count;
    }

private:
    TempFolder folder;
    std::unique_ptr<Logger> logger;
    Logger* previous = nullptr;
};

// Polls until the condition holds or a generous deadline passes; tests never depend on timing.
inline bool WaitUntil(const std::function<bool()>& condition,
                      std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// A minimal well-formed message: 16-bit little-endian length, then filler bytes.
inline std::vector<uint8_t> Message(size_t length, uint8_t fill) {
    std::vector<uint8_t> bytes(length, fill);
    bytes[0] = static_cast<uint8_t>(length & 0xFF);
    bytes[1] = static_cast<uint8_t>(length >> 8);
    return bytes;
}

// Splits a received stream into messages by their length fields; false when it does not split cleanly.
inline bool SplitMessages(const std::vector<uint8_t>& stream, std::vector<std::vector<uint8_t>>& messages) {
    size_t offset = 0;
    while (offset < stream.size()) {
        if (stream.size() - offset < 2) return false;
        const size_t length = stream[offset] | (static_cast<size_t>(stream[offset + 1]) << 8);
        if (length < 2 || stream.size() - offset < length) return false;
        messages.emplace_back(stream.begin() + static_cast<long>(offset),
                              stream.begin() + static_cast<long>(offset + length));
        offset += length;
    }
    return true;
}
