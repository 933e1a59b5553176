#pragma once

#include <cstddef>
#include <string>

namespace QuorixCollect {

// Where JSON lines go in bulk: the session appends whole lines to `buffer` and calls Drain()
// once it holds `drainAt` bytes or more (and the owner drains the rest when it likes).
class JsonSink {
public:
    virtual ~JsonSink() = default;
    virtual void Drain() = 0;
    std::string buffer;
    size_t drainAt = 1 << 20;
};

}  // namespace QuorixCollect
