#include "StreamReassembler.h"

#include <cstring>

#include "WireFormat.h"

namespace QuorixCollect {

void StreamReassembler::Feed(const uint8_t* data, size_t size, const MessageSink& onMessage, const DropSink& onDrop)
{
    buffer_.insert(buffer_.end(), data, data + size);
    size_t pos = 0;
    while (buffer_.size() - pos >= 3) {
        const uint8_t* at = buffer_.data() + pos;
        const auto length = static_cast<int16_t>(static_cast<uint16_t>(at[0] | (at[1] << 8)));
        if (length < static_cast<int16_t>(HeaderSize) || !IsKnownCommandType(at[2])) {
            onDrop(buffer_.size() - pos);
            buffer_.clear();
            return;
        }
        const auto need = static_cast<size_t>(length);
        if (buffer_.size() - pos < need) {
            break;
        }
        onMessage(at, need);
        pos += need;
    }
    if (pos != 0) {
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(pos));
    }
}

} // namespace QuorixCollect
