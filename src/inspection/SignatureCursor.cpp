#include "inspection/SignatureCursor.h"

bool SignatureCursor::PeekByte(uint8_t& value) const {
    if (offset >= length) return false;
    value = blob[offset];
    return true;
}

bool SignatureCursor::ReadByte(uint8_t& value) {
    if (!PeekByte(value)) return Fail();
    ++offset;
    return true;
}

bool SignatureCursor::Skip(size_t count) {
    if (count > Remaining()) return Fail();
    offset += count;
    return true;
}

bool SignatureCursor::ReadCompressed(uint32_t& value) {
    uint8_t first = 0;
    if (!PeekByte(first)) return Fail();
    size_t size = 0;
    if ((first & 0x80) == 0) {
        size = 1;
    } else if ((first & 0xC0) == 0x80) {
        size = 2;
    } else if ((first & 0xE0) == 0xC0) {
        size = 4;
    } else {
        return Fail();
    }
    if (size > Remaining()) return Fail();
    const uint8_t* at = blob + offset;
    switch (size) {
        case 1:
            value = first;
            break;
        case 2:
            value = (static_cast<uint32_t>(first & 0x3F) << 8) | at[1];
            break;
        default:
            value = (static_cast<uint32_t>(first & 0x1F) << 24) | (static_cast<uint32_t>(at[1]) << 16) |
                    (static_cast<uint32_t>(at[2]) << 8) | at[3];
            break;
    }
    offset += size;
    return true;
}

bool SignatureCursor::ReadTypeDefOrRef(mdToken& token) {
    static constexpr mdToken tables[] = {mdtTypeDef, mdtTypeRef, mdtTypeSpec, mdtBaseType};
    uint32_t coded = 0;
    if (!ReadCompressed(coded)) return false;
    token = TokenFromRid(coded >> 2, tables[coded & 3]);
    return true;
}

bool SignatureCursor::SkipType() { return SkipTypeAt(0); }

bool SignatureCursor::SkipTypeAfter(uint32_t elementType) { return SkipTypeAfterAt(elementType, 0); }

bool SignatureCursor::SkipTypeAt(int depth) {
    uint32_t elementType = 0;
    if (!ReadCompressed(elementType)) return false;
    return SkipTypeAfterAt(elementType, depth);
}

bool SignatureCursor::SkipTypeAfterAt(uint32_t elementType, int depth) {
    if (depth > MaxNesting) return Fail();
    uint32_t number = 0;
    mdToken token = 0;
    switch (elementType) {
        case ELEMENT_TYPE_VOID:
        case ELEMENT_TYPE_BOOLEAN:
        case ELEMENT_TYPE_CHAR:
        case ELEMENT_TYPE_I1:
        case ELEMENT_TYPE_U1:
        case ELEMENT_TYPE_I2:
        case ELEMENT_TYPE_U2:
        case ELEMENT_TYPE_I4:
        case ELEMENT_TYPE_U4:
        case ELEMENT_TYPE_I8:
        case ELEMENT_TYPE_U8:
        case ELEMENT_TYPE_R4:
        case ELEMENT_TYPE_R8:
        case ELEMENT_TYPE_STRING:
        case ELEMENT_TYPE_TYPEDBYREF:
        case ELEMENT_TYPE_I:
        case ELEMENT_TYPE_U:
        case ELEMENT_TYPE_OBJECT:
            return true;
        case ELEMENT_TYPE_PTR:
        case ELEMENT_TYPE_BYREF:
        case ELEMENT_TYPE_SZARRAY:
        case ELEMENT_TYPE_PINNED:
        case ELEMENT_TYPE_SENTINEL:
            return SkipTypeAt(depth + 1);
        case ELEMENT_TYPE_VALUETYPE:
        case ELEMENT_TYPE_CLASS:
            return ReadTypeDefOrRef(token);
        case ELEMENT_TYPE_CMOD_REQD:
        case ELEMENT_TYPE_CMOD_OPT:
            return ReadTypeDefOrRef(token) && SkipTypeAt(depth + 1);
        case ELEMENT_TYPE_VAR:
        case ELEMENT_TYPE_MVAR:
            return ReadCompressed(number);
        case ELEMENT_TYPE_GENERICINST: {
            uint8_t kind = 0;
            if (!ReadByte(kind)) return false;
            if (kind != ELEMENT_TYPE_CLASS && kind != ELEMENT_TYPE_VALUETYPE) return Fail();
            if (!ReadTypeDefOrRef(token) || !ReadCompressed(number)) return false;
            // Each argument takes at least one byte, so a bogus count ends at the blob's end.
            for (uint32_t i = 0; i < number; ++i)
                if (!SkipTypeAt(depth + 1)) return false;
            return true;
        }
        case ELEMENT_TYPE_ARRAY: {
            uint32_t rank = 0;
            if (!SkipTypeAt(depth + 1) || !ReadCompressed(rank)) return false;
            for (int list = 0; list < 2; ++list) {  // sizes, then lower bounds
                if (!ReadCompressed(number)) return false;
                uint32_t item = 0;
                for (uint32_t i = 0; i < number; ++i)
                    if (!ReadCompressed(item)) return false;
            }
            return true;
        }
        case ELEMENT_TYPE_FNPTR:
            return SkipMethodSignature(depth + 1);
        default:
            return Fail();
    }
}

bool SignatureCursor::SkipMethodSignature(int depth) {
    uint8_t convention = 0;
    uint32_t number = 0;
    if (!ReadByte(convention)) return false;
    if ((convention & IMAGE_CEE_CS_CALLCONV_GENERIC) != 0 && !ReadCompressed(number)) return false;
    uint32_t parameters = 0;
    if (!ReadCompressed(parameters)) return false;
    // The return type, then the parameters.
    for (uint64_t i = 0; i <= parameters; ++i)
        if (!SkipTypeAt(depth)) return false;
    return true;
}
