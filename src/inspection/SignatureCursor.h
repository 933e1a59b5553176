#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/MetaDataTypes.h"

// Walks a metadata signature blob without ever reading past its end. The offset names the next
// byte to read. A failed read exhausts the cursor: nothing after a malformed encoding can be
// trusted, so every later read fails too instead of misreading. A default cursor is "null".
class SignatureCursor {
public:
    SignatureCursor() = default;
    SignatureCursor(const uint8_t* signature, size_t signatureLength, size_t startOffset = 0)
        : blob(signature),
          length(signature == nullptr ? 0 : signatureLength),
          offset(startOffset <= length ? startOffset : length) {}

    bool IsNull() const { return blob == nullptr; }
    size_t GetOffset() const { return offset; }
    size_t Remaining() const { return length - offset; }

    bool PeekByte(uint8_t& value) const;
    bool ReadByte(uint8_t& value);
    bool Skip(size_t count);
    // ECMA-335 compressed unsigned integer (1, 2 or 4 bytes).
    bool ReadCompressed(uint32_t& value);
    // A TypeDefOrRef coded index turned into a token (TypeDef, TypeRef, TypeSpec, BaseType).
    bool ReadTypeDefOrRef(mdToken& token);
    // One complete type encoding.
    bool SkipType();
    // The rest of a type encoding whose leading element type has already been read.
    bool SkipTypeAfter(uint32_t elementType);
    // For a caller that found the encoding malformed itself.
    void Exhaust() { offset = length; }

private:
    static constexpr int MaxNesting = 64;

    bool SkipTypeAt(int depth);
    bool SkipTypeAfterAt(uint32_t elementType, int depth);
    bool SkipMethodSignature(int depth);
    bool Fail() {
        offset = length;
        return false;
    }

    const uint8_t* blob = nullptr;
    size_t length = 0;
    size_t offset = 0;
};
