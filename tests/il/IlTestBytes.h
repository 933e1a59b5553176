#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "il/MethodFormat.h"

namespace iltest {

using Bytes = std::vector<uint8_t>;

inline void Put16(Bytes& b, uint32_t v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}

inline void Put32(Bytes& b, uint32_t v) {
    Put16(b, v);
    Put16(b, v >> 16);
}

inline uint32_t Get32(const uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

inline uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

// Code bytes written as a list, operands included: Code({0x2B, 0x01, 0x00, 0x2A}).
inline Bytes Code(std::initializer_list<int> bytes) {
    Bytes b;
    for (int v : bytes) b.push_back(static_cast<uint8_t>(v));
    return b;
}

inline Bytes TinyBody(const Bytes& code) {
    Bytes b{static_cast<uint8_t>((code.size() << 2) | 0x2)};
    b.insert(b.end(), code.begin(), code.end());
    return b;
}

enum class EHForm { Small, Fat };

// A fat body with its clauses in the chosen section form.
inline Bytes FatBody(const Bytes& code, const std::vector<IlEHClause>& clauses = {}, EHForm form = EHForm::Fat,
                     uint16_t maxStack = 4, uint32_t localSig = 0, uint32_t flags = 0) {
    Bytes b;
    const uint32_t word = (flags & 0x0FF0u) | (clauses.empty() ? 0u : 0x8u) | 0x3003u;
    Put16(b, word);
    Put16(b, maxStack);
    Put32(b, static_cast<uint32_t>(code.size()));
    Put32(b, localSig);
    b.insert(b.end(), code.begin(), code.end());
    if (clauses.empty()) return b;
    while (b.size() % 4 != 0) b.push_back(0);
    if (form == EHForm::Fat) {
        const uint32_t size = static_cast<uint32_t>(24 * clauses.size() + 4);
        b.push_back(0x41);
        b.push_back(static_cast<uint8_t>(size));
        b.push_back(static_cast<uint8_t>(size >> 8));
        b.push_back(static_cast<uint8_t>(size >> 16));
        for (const IlEHClause& c : clauses) {
            Put32(b, c.flags);
            Put32(b, c.tryOffset);
            Put32(b, c.tryLength);
            Put32(b, c.handlerOffset);
            Put32(b, c.handlerLength);
            Put32(b, c.classToken);
        }
    } else {
        b.push_back(0x01);
        b.push_back(static_cast<uint8_t>(12 * clauses.size() + 4));
        b.push_back(0);
        b.push_back(0);
        for (const IlEHClause& c : clauses) {
            Put16(b, c.flags);
            Put16(b, c.tryOffset);
            b.push_back(static_cast<uint8_t>(c.tryLength));
            Put16(b, c.handlerOffset);
            b.push_back(static_cast<uint8_t>(c.handlerLength));
            Put32(b, c.classToken);
        }
    }
    return b;
}

inline IlEHClause Clause(uint32_t flags, uint32_t tryOffset, uint32_t tryLength, uint32_t handlerOffset,
                         uint32_t handlerLength, uint32_t tokenOrFilter = 0) {
    IlEHClause c{};
    c.flags = flags;
    c.tryOffset = tryOffset;
    c.tryLength = tryLength;
    c.handlerOffset = handlerOffset;
    c.handlerLength = handlerLength;
    c.classToken = tokenOrFilter;
    return c;
}

// Bytes placed right before an inaccessible page, so that reading one byte past them faults
// instead of passing unnoticed.
class GuardedBytes {
public:
    explicit GuardedBytes(const Bytes& bytes) {
        const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        const size_t dataPages = (bytes.size() + page - 1) / page + 1;
        length = (dataPages + 1) * page;
        void* region = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (region == MAP_FAILED) {
            base = nullptr;
            return;
        }
        base = static_cast<uint8_t*>(region);
        mprotect(base + dataPages * page, page, PROT_NONE);
        data = base + dataPages * page - bytes.size();
        if (!bytes.empty()) std::memcpy(data, bytes.data(), bytes.size());
        size = bytes.size();
    }
    ~GuardedBytes() {
        if (base != nullptr) munmap(base, length);
    }
    GuardedBytes(const GuardedBytes&) = delete;
    GuardedBytes& operator=(const GuardedBytes&) = delete;

    const uint8_t* Data() const { return data; }
    size_t Size() const { return size; }

private:
    uint8_t* base = nullptr;
    uint8_t* data = nullptr;
    size_t size = 0;
    size_t length = 0;
};

}  // namespace iltest
