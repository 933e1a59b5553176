#pragma once

// A second, deliberately separate reading of method bodies and instructions, used to judge what
// the rewriter writes. It shares no table or code with src/il: operand sizes come from opcode
// ranges written out here, headers and sections are parsed again from the bytes.

#include <cstdint>
#include <string>
#include <vector>

namespace iltest {

enum class OperandKind { None, Short, Int16, Int32, Int64, ShortBranch, LongBranch, Switch };

struct RefInstruction {
    uint32_t offset;
    uint32_t size;
    uint32_t opcode;  // 0xFE-prefixed ones as 0xFE00 | second byte
    OperandKind kind;
    int64_t operand;
    std::vector<int64_t> targets;  // absolute offsets
};

struct RefClause {
    uint32_t flags, tryOffset, tryLength, handlerOffset, handlerLength, tokenOrFilter;
    bool operator==(const RefClause&) const = default;
};

struct RefBody {
    bool fat = false;
    uint32_t flags = 0;
    uint32_t maxStack = 0;
    uint32_t localSig = 0;
    std::vector<uint8_t> code;
    std::vector<RefClause> clauses;
    size_t totalSize = 0;
};

inline uint32_t RefLE(const uint8_t* p, unsigned n) {
    uint32_t v = 0;
    for (unsigned i = 0; i < n; ++i) v |= static_cast<uint32_t>(p[i]) << (8 * i);
    return v;
}

inline OperandKind RefOperandKind(uint32_t opcode) {
    if (opcode >= 0xFE00) {
        const uint32_t b = opcode & 0xFF;
        if (b == 0x06 || b == 0x07 || b == 0x15 || b == 0x16 || b == 0x1C) return OperandKind::Int32;
        if (b >= 0x09 && b <= 0x0E) return OperandKind::Int16;
        if (b == 0x12 || b == 0x19) return OperandKind::Short;
        return OperandKind::None;
    }
    const uint32_t b = opcode;
    if ((b >= 0x0E && b <= 0x13) || b == 0x1F) return OperandKind::Short;
    if (b == 0x21 || b == 0x23) return OperandKind::Int64;
    if (b == 0x20 || b == 0x22 || (b >= 0x27 && b <= 0x29) || (b >= 0x6F && b <= 0x75) || b == 0x79 ||
        (b >= 0x7B && b <= 0x81) || b == 0x8C || b == 0x8D || b == 0x8F || (b >= 0xA3 && b <= 0xA5) || b == 0xC2 ||
        b == 0xC6 || b == 0xD0)
        return OperandKind::Int32;
    if ((b >= 0x2B && b <= 0x37) || b == 0xDE) return OperandKind::ShortBranch;
    if ((b >= 0x38 && b <= 0x44) || b == 0xDD) return OperandKind::LongBranch;
    if (b == 0x45) return OperandKind::Switch;
    return OperandKind::None;
}

inline bool RefDecodeCode(const std::vector<uint8_t>& code, std::vector<RefInstruction>* out, std::string* error) {
    out->clear();
    const size_t n = code.size();
    size_t at = 0;
    while (at < n) {
        RefInstruction ins{};
        ins.offset = static_cast<uint32_t>(at);
        uint32_t op = code[at++];
        if (op == 0xFE) {
            if (at >= n) return *error = "prefix at the end", false;
            op = 0xFE00 | code[at++];
            if ((op & 0xFF) > 0x1E) return *error = "unknown two-byte opcode", false;
        } else if (op >= 0xF8) {
            return *error = "reserved opcode", false;
        }
        ins.opcode = op;
        ins.kind = RefOperandKind(op);
        auto need = [&](size_t bytes) { return n - at >= bytes; };
        switch (ins.kind) {
            case OperandKind::None:
                break;
            case OperandKind::Short:
                if (!need(1)) return *error = "cut operand", false;
                ins.operand = static_cast<int8_t>(code[at]);
                at += 1;
                break;
            case OperandKind::Int16:
                if (!need(2)) return *error = "cut operand", false;
                ins.operand = static_cast<int16_t>(RefLE(&code[at], 2));
                at += 2;
                break;
            case OperandKind::Int32:
                if (!need(4)) return *error = "cut operand", false;
                ins.operand = static_cast<int32_t>(RefLE(&code[at], 4));
                at += 4;
                break;
            case OperandKind::Int64:
                if (!need(8)) return *error = "cut operand", false;
                ins.operand =
                    static_cast<int64_t>(RefLE(&code[at], 4) | (static_cast<uint64_t>(RefLE(&code[at + 4], 4)) << 32));
                at += 8;
                break;
            case OperandKind::ShortBranch:
                if (!need(1)) return *error = "cut operand", false;
                ins.targets.push_back(static_cast<int64_t>(at + 1) + static_cast<int8_t>(code[at]));
                at += 1;
                break;
            case OperandKind::LongBranch:
                if (!need(4)) return *error = "cut operand", false;
                ins.targets.push_back(static_cast<int64_t>(at + 4) + static_cast<int32_t>(RefLE(&code[at], 4)));
                at += 4;
                break;
            case OperandKind::Switch: {
                if (!need(4)) return *error = "cut switch", false;
                const uint32_t count = RefLE(&code[at], 4);
                at += 4;
                if ((n - at) / 4 < count) return *error = "cut switch", false;
                const size_t base = at + 4 * static_cast<size_t>(count);
                ins.operand = count;
                for (uint32_t i = 0; i < count; ++i) {
                    ins.targets.push_back(static_cast<int64_t>(base) + static_cast<int32_t>(RefLE(&code[at], 4)));
                    at += 4;
                }
                break;
            }
        }
        ins.size = static_cast<uint32_t>(at - ins.offset);
        out->push_back(std::move(ins));
    }
    return true;
}

inline bool RefParseBody(const uint8_t* p, size_t available, RefBody* body, std::string* error) {
    *body = RefBody{};
    if (available < 1) return *error = "empty", false;
    if ((p[0] & 3) == 2) {
        const size_t size = p[0] >> 2;
        if (available < 1 + size) return *error = "tiny body cut", false;
        body->maxStack = 8;
        body->code.assign(p + 1, p + 1 + size);
        body->totalSize = 1 + size;
        return true;
    }
    if ((p[0] & 3) != 3 || available < 12) return *error = "bad header", false;
    body->fat = true;
    const uint32_t word = RefLE(p, 2);
    body->flags = word & 0xFFF;
    const size_t headerSize = 4 * (word >> 12);
    body->maxStack = RefLE(p + 2, 2);
    const uint32_t codeSize = RefLE(p + 4, 4);
    body->localSig = RefLE(p + 8, 4);
    if (headerSize < 12 || available < headerSize || available - headerSize < codeSize)
        return *error = "fat body cut", false;
    body->code.assign(p + headerSize, p + headerSize + codeSize);
    size_t end = headerSize + codeSize;
    bool more = (body->flags & 0x8) != 0;
    bool ehSeen = false;
    while (more) {
        const size_t at = (end + 3) & ~static_cast<size_t>(3);
        if (available < at + 4) return *error = "section header cut", false;
        const uint8_t kind = p[at];
        const bool fatSection = (kind & 0x40) != 0;
        const size_t dataSize = fatSection ? RefLE(p + at + 1, 3) : p[at + 1];
        if (dataSize < 4 || available - at < dataSize) return *error = "section cut", false;
        if ((kind & 0x3F) == 1 && !ehSeen) {
            ehSeen = true;
            const size_t clauseSize = fatSection ? 24 : 12;
            const size_t count = (dataSize - 4) / clauseSize;
            for (size_t i = 0; i < count; ++i) {
                const uint8_t* c = p + at + 4 + i * clauseSize;
                RefClause clause;
                if (fatSection) {
                    clause = {RefLE(c, 4),      RefLE(c + 4, 4),  RefLE(c + 8, 4),
                              RefLE(c + 12, 4), RefLE(c + 16, 4), RefLE(c + 20, 4)};
                } else {
                    clause = {RefLE(c, 2), RefLE(c + 2, 2), c[4], RefLE(c + 5, 2), c[7], RefLE(c + 8, 4)};
                }
                body->clauses.push_back(clause);
            }
        }
        end = at + dataSize;
        more = (kind & 0x80) != 0;
    }
    body->totalSize = end;
    return true;
}

}  // namespace iltest
