#pragma once

#include <cstddef>
#include <cstdint>

#include "protocol/WireProtocol.h"

namespace QuorixCollect {

// The protocol's numbers are declared once, for the agent and the collector alike.
using WireProtocol::HeaderSize;
using WireProtocol::MaxCommandLength;
using CommandType = WireProtocol::CommandType;

// Name of a command type, or nullptr when the number is not part of the protocol.
const char* CommandTypeName(uint8_t type);

// Inline because the stream framer asks for every command.
inline bool IsKnownCommandType(uint8_t type) {
    // Types 1-5, 7-14, 20 and 21 as bits, then the three information commands.
    if (type < 64) {
        return ((0x307FBEull >> type) & 1) != 0;
    }
    return type == 100 || type == 101 || type == 104;
}

// All known type numbers in ascending order (for stable summaries).
const uint8_t* KnownCommandTypes(size_t& count);

using ValueType = WireProtocol::ValueType;

// Short type text ("int", "string", ...); "unknown" outside the table.
const char* ValueTypeName(uint8_t type);

// Fixed payload width of a scalar value type, 0 for everything else.
size_t ScalarWidth(uint8_t type);

}  // namespace QuorixCollect
