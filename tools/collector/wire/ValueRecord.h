#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "wire/ByteReader.h"

namespace QuorixCollect {

// One captured value as it arrives inside a begin-call or end-call command.
struct ValueRecord {
    std::string name;
    uint8_t type = 1;  // ValueType; header-only records have hasPayload == false
    bool hasPayload = false;

    uint64_t scalarBits = 0;            // Boolean .. Double: the raw little-endian bytes
    std::string text;                   // String, LongString: UTF-8
    uint32_t fullLengthUnits = 0;       // LongString: length of the whole text in UTF-16 units
    std::string className;              // Struct, Object
    uint8_t elementType = 0;            // Array
    std::vector<uint8_t> elements;      // Array of Boolean or Byte
    std::vector<ValueRecord> children;  // Struct/Object fields, Array of Array elements

    std::string error;  // set when the record's content is not a valid value record
};

enum class RecordStatus {
    Ok,          // decoded
    Bad,         // the record's length fits, its content does not: `error` says why
    DoesNotFit,  // the length field runs past the enclosing bytes: the container is broken
};

// Decodes one record (its 2-byte length field first) from `reader`. On Ok and Bad the reader
// stands after the record; `badCount` is increased for every record (nested ones included)
// that is left with an error.
RecordStatus DecodeValueRecord(ByteReader& reader, ValueRecord& out, uint32_t& badCount);

// Short human text of a value for the call tree ("5", "\"abc\"", "null", "X{a=1}").
std::string FormatValue(const ValueRecord& value, size_t maxChars = 80);

}  // namespace QuorixCollect
