#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Strict reader of value records for tests: every length and count must agree with the bytes
// present, as the collector demands.
struct DecodedRecord {
    bool ok = false;
    size_t size = 0;  // the whole record, its length field included
    int type = -1;
    std::string name;
    std::string className;
    int elementType = -1;
    size_t declaredCount = 0;
    uint32_t stringBytes = 0;  // the byte count of String and LongString payloads
    std::vector<uint8_t> payload;
    std::vector<DecodedRecord> children;
};

inline uint32_t ReadLE(const std::vector<uint8_t>& bytes, size_t at, size_t width) {
    uint32_t value = 0;
    for (size_t i = 0; i < width; ++i) value |= static_cast<uint32_t>(bytes[at + i]) << (8 * i);
    return value;
}

inline DecodedRecord DecodeRecord(const std::vector<uint8_t>& bytes, size_t at = 0, size_t end = SIZE_MAX) {
    DecodedRecord record;
    if (end > bytes.size()) end = bytes.size();
    if (at + 4 > end) return record;
    const uint32_t length = ReadLE(bytes, at, 2);
    if (length > 32767 || at + 2 + length > end || length < 2) return record;
    record.size = 2 + length;
    const size_t recordEnd = at + record.size;
    record.type = bytes[at + 2];
    const size_t nameLength = bytes[at + 3];
    if (at + 4 + nameLength > recordEnd) return record;
    record.name.assign(bytes.begin() + static_cast<long>(at + 4),
                       bytes.begin() + static_cast<long>(at + 4 + nameLength));
    size_t p = at + 4 + nameLength;
    record.payload.assign(bytes.begin() + static_cast<long>(p), bytes.begin() + static_cast<long>(recordEnd));
    if (p == recordEnd) {
        record.ok = true;
        return record;
    }
    auto readChildren = [&](size_t from) {
        while (from < recordEnd) {
            DecodedRecord child = DecodeRecord(bytes, from, recordEnd);
            if (!child.ok) return false;
            from += child.size;
            record.children.push_back(child);
        }
        return record.children.size() == record.declaredCount;
    };
    const size_t rest = recordEnd - p;
    switch (record.type) {
        case 2:
        case 3:
            record.ok = rest == 1;
            break;
        case 4:
        case 5:
            record.ok = rest == 2;
            break;
        case 6:
        case 7:
        case 10:
            record.ok = rest == 4;
            break;
        case 8:
        case 9:
        case 11:
            record.ok = rest == 8;
            break;
        case 12:
            record.stringBytes = rest >= 2 ? ReadLE(bytes, p, 2) : 0;
            record.ok = rest >= 2 && record.stringBytes == rest - 2 && record.stringBytes % 2 == 0;
            break;
        case 19:
            record.stringBytes = rest >= 4 ? ReadLE(bytes, p, 4) : 0;
            record.ok = rest == 4 + 4096 && record.stringBytes > 8192;
            break;
        case 13:
        case 14: {
            if (rest < 3) break;
            const size_t classLength = ReadLE(bytes, p, 2);
            if (3 + classLength > rest) break;
            record.className.assign(bytes.begin() + static_cast<long>(p + 2),
                                    bytes.begin() + static_cast<long>(p + 2 + classLength));
            record.declaredCount = bytes[p + 2 + classLength];
            record.ok = readChildren(p + 3 + classLength);
            break;
        }
        case 15: {
            if (rest < 2) break;
            record.elementType = bytes[p];
            record.declaredCount = bytes[p + 1];
            if (record.elementType == 2 || record.elementType == 3)
                record.ok = rest - 2 == record.declaredCount;
            else if (record.elementType == 15)
                record.ok = readChildren(p + 2);
            else
                record.ok = rest == 2 && record.declaredCount == 0;
            break;
        }
        default:
            break;  // no other type carries a payload
    }
    return record;
}
