#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace QuorixCollect {

// Cuts one connection's byte stream into commands by their length field. Commands follow each
// other without separators, so a length below the header size or an unknown type means the
// stream is out of step: the buffered bytes are dropped and reading goes on with the next bytes.
// The buffer never holds more than one command plus one read.
class StreamReassembler {
public:
    using MessageSink = std::function<void(const uint8_t* data, size_t size)>;
    using DropSink = std::function<void(size_t droppedBytes)>;

    void Feed(const uint8_t* data, size_t size, const MessageSink& onMessage, const DropSink& onDrop);

    // Bytes of an incomplete command still waiting for the rest.
    size_t Pending() const { return buffer_.size(); }
    void Clear() { buffer_.clear(); }

private:
    std::vector<uint8_t> buffer_;
};

} // namespace QuorixCollect
