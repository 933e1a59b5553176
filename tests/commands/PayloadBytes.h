#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "commands/CommandBase.h"

// The command's payload as a vector, for byte-wise comparison.
inline std::vector<uint8_t> Serialize(CommandBase& command) {
    const int16_t length = command.GetPayloadLength();
    std::unique_ptr<uint8_t[]> payload(command.GetPayload());
    return std::vector<uint8_t>(payload.get(), payload.get() + length);
}

inline std::vector<uint8_t> Bytes(std::initializer_list<int> values) {
    std::vector<uint8_t> bytes;
    for (int value : values) bytes.push_back(static_cast<uint8_t>(value));
    return bytes;
}

inline std::vector<uint8_t> Bytes(const std::string& text) { return std::vector<uint8_t>(text.begin(), text.end()); }

inline std::vector<uint8_t> Slice(const std::vector<uint8_t>& bytes, size_t offset, size_t length) {
    return std::vector<uint8_t>(bytes.begin() + static_cast<long>(offset),
                                bytes.begin() + static_cast<long>(offset + length));
}

inline uint64_t ReadLittleEndian(const std::vector<uint8_t>& bytes, size_t offset, size_t length) {
    uint64_t value = 0;
    for (size_t i = 0; i < length; ++i) value |= static_cast<uint64_t>(bytes[offset + i]) << (8 * i);
    return value;
}
