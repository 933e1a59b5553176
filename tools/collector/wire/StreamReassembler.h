#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "wire/WireFormat.h"

namespace QuorixCollect {

// Cuts one connection's byte stream into commands by their length field. Commands follow each
// other without separators, so a length below the header size or an unknown type means the
// stream is out of step: the buffered bytes and the rest of that read are dropped and reading
// goes on with the next read. Whole commands are handed out straight from the caller's bytes;
// only a command split across reads is copied, so the buffer never holds more than one command.
class StreamReassembler {
public:
    // onMessage(const uint8_t* data, size_t size) for every whole command, in order;
    // onDrop(size_t bytes) when the stream is out of step.
    template <typename OnMessage, typename OnDrop>
    void Feed(const uint8_t* data, size_t size, OnMessage&& onMessage, OnDrop&& onDrop) {
        if (!pending.empty()) {
            while (pending.size() < 3 && size > 0) {
                pending.push_back(*data++);
                --size;
            }
            if (pending.size() < 3) {
                return;
            }
            const size_t need = Needed(pending.data());
            if (need == 0) {
                onDrop(pending.size() + size);
                pending.clear();
                return;
            }
            const size_t take = need - pending.size() < size ? need - pending.size() : size;
            pending.insert(pending.end(), data, data + take);
            data += take;
            size -= take;
            if (pending.size() < need) {
                return;
            }
            onMessage(static_cast<const uint8_t*>(pending.data()), need);
            pending.clear();
        }
        while (size >= 3) {
            const size_t need = Needed(data);
            if (need == 0) {
                onDrop(size);
                return;
            }
            if (size < need) {
                break;
            }
            onMessage(data, need);
            data += need;
            size -= need;
        }
        pending.assign(data, data + size);
    }

    // Bytes of an incomplete command still waiting for the rest.
    size_t Pending() const { return pending.size(); }
    void Clear() { pending.clear(); }

private:
    // Length of the command starting at `at` (3 bytes readable), 0 when it cannot be one.
    static size_t Needed(const uint8_t* at) {
        const auto length = static_cast<int16_t>(static_cast<uint16_t>(at[0] | (at[1] << 8)));
        if (length < static_cast<int16_t>(HeaderSize) || !IsKnownCommandType(at[2])) {
            return 0;
        }
        return static_cast<size_t>(length);
    }

    std::vector<uint8_t> pending;
};

}  // namespace QuorixCollect
