#include "il/MethodFormat.h"

#include <cstring>
#include <limits>

namespace {

uint16_t Read16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

uint32_t Read24(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16);
}

uint32_t Read32(const uint8_t* p) { return Read24(p) | (static_cast<uint32_t>(p[3]) << 24); }

void Write16(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

void Write32(uint8_t* p, uint32_t v) {
    Write16(p, v);
    Write16(p + 2, v >> 16);
}

size_t Align4(size_t v) { return (v + 3) & ~static_cast<size_t>(3); }

// Sections are aligned relative to the header, which the format requires to be 4-byte aligned
// itself, so this equals the absolute alignment for every valid body.
struct Section {
    size_t at;
    uint8_t kind;
    size_t dataSize;  // the section header included
};

// False for a section header outside the bytes or a size that could not even hold the header
// (such a size would also make a chain of sections loop on the same spot).
bool ReadSectionAt(const uint8_t* body, size_t size, size_t at, Section* section) {
    if (at > size || size - at < qx::il::SectionHeaderSize) {
        return false;
    }
    section->at = at;
    section->kind = body[at];
    section->dataSize = (section->kind & CorILMethod_Sect_FatFormat) ? Read24(body + at + 1) : body[at + 1];
    return section->dataSize >= qx::il::SectionHeaderSize && section->dataSize <= size - at;
}

bool IsEHSection(uint8_t kind) { return (kind & CorILMethod_Sect_KindMask) == CorILMethod_Sect_EHTable; }

HRESULT Decode(const uint8_t* body, size_t size, IlMethodDecoder* decoder, size_t* onDiskSize) {
    *decoder = IlMethodDecoder{};
    if (onDiskSize != nullptr) {
        *onDiskSize = 0;
    }
    if (body == nullptr || size < 1) {
        return COR_E_INVALIDPROGRAM;
    }
    IlMethodDecoder result{};
    size_t end = 0;
    if ((body[0] & 0x3) == CorILMethod_TinyFormat) {
        result.header.flags = CorILMethod_TinyFormat;
        result.header.maxStack = qx::il::TinyMaxStack;
        result.header.codeSize = body[0] >> 2;
        if (result.header.codeSize > size - 1) {
            return COR_E_INVALIDPROGRAM;
        }
        result.code = body + 1;
        end = 1 + result.header.codeSize;
    } else if ((body[0] & 0x3) == CorILMethod_FatFormat) {
        if (size < qx::il::FatHeaderSize) {
            return COR_E_INVALIDPROGRAM;
        }
        const uint16_t word = Read16(body);
        result.header.flags = word & 0x0FFFu;
        result.header.size = word >> 12;
        result.header.maxStack = Read16(body + 2);
        result.header.codeSize = Read32(body + 4);
        result.header.localVarSigToken = Read32(body + 8);
        const size_t codeStart = 4u * result.header.size;
        if (codeStart < qx::il::FatHeaderSize || codeStart > size || result.header.codeSize > size - codeStart) {
            return COR_E_INVALIDPROGRAM;
        }
        result.code = body + codeStart;
        end = codeStart + result.header.codeSize;
        if (result.header.flags & CorILMethod_MoreSects) {
            // Every section is looked at, so a malformed one anywhere in the chain is noticed and
            // an exception table that is not the first section is still found.
            size_t at = Align4(end);
            const uint8_t* first = nullptr;
            bool takeNext = false;
            for (;;) {
                Section section;
                if (!ReadSectionAt(body, size, at, &section)) {
                    return COR_E_INVALIDPROGRAM;
                }
                if (first == nullptr) {
                    first = body + at;
                }
                if (takeNext) {
                    result.sect = body + at;
                    takeNext = false;
                }
                if (IsEHSection(section.kind) && result.eh == nullptr) {
                    result.eh = body + at;
                    takeNext = true;
                }
                end = at + section.dataSize;
                if (!(section.kind & CorILMethod_Sect_MoreSects)) {
                    break;
                }
                at = Align4(end);
            }
            if (result.eh == nullptr) {
                result.sect = first;
            }
        }
    } else {
        return COR_E_INVALIDPROGRAM;
    }
    *decoder = result;
    if (onDiskSize != nullptr) {
        *onDiskSize = end;
    }
    return S_OK;
}

bool TinyFits(const IlMethodFat* header, BOOL moreSections) {
    return header->maxStack <= qx::il::TinyMaxStack &&
           (header->flags & ~static_cast<uint32_t>(CorILMethod_FormatMask)) == 0 && header->localVarSigToken == 0 &&
           header->codeSize <= qx::il::TinyMaxCodeSize && !moreSections;
}

bool SmallFits(const IlEHClause& clause) {
    return clause.flags <= 0xFFFF && clause.tryOffset <= 0xFFFF && clause.tryLength <= 0xFF &&
           clause.handlerOffset <= 0xFFFF && clause.handlerLength <= 0xFF;
}

}  // namespace

namespace qx::il {

HRESULT DecodeMethodBody(const uint8_t* body, size_t size, IlMethodDecoder* decoder, size_t* onDiskSize) {
    if (decoder == nullptr) {
        return E_POINTER;
    }
    return Decode(body, size, decoder, onDiskSize);
}

bool ReadEHSection(const uint8_t* section, size_t available, unsigned* clauseCount) {
    Section header;
    if (section == nullptr || !ReadSectionAt(section, available, 0, &header) || !IsEHSection(header.kind)) {
        return false;
    }
    // Whole clauses only: a size that is not header + n clauses must not let the last clause
    // run past the section.
    const size_t clauseSize = (header.kind & CorILMethod_Sect_FatFormat) ? FatClauseSize : SmallClauseSize;
    *clauseCount = static_cast<unsigned>((header.dataSize - SectionHeaderSize) / clauseSize);
    return true;
}

}  // namespace qx::il

extern "C" {

// The caller vouches for the bytes; nothing tells how many there are.
void DecoderInit(IlMethodDecoder* decoder, const uint8_t* header) {
    if (decoder == nullptr) {
        return;
    }
    Decode(header, std::numeric_limits<size_t>::max(), decoder, nullptr);
}

unsigned DecoderGetOnDiskSize(const IlMethodDecoder* decoder, const uint8_t* header) {
    if (decoder == nullptr || decoder->code == nullptr || header == nullptr || decoder->code < header) {
        return 0;
    }
    size_t end = static_cast<size_t>(decoder->code - header) + decoder->header.codeSize;
    if ((header[0] & 0x3) == CorILMethod_FatFormat && (decoder->header.flags & CorILMethod_MoreSects)) {
        size_t at = Align4(end);
        Section section;
        while (ReadSectionAt(header, std::numeric_limits<size_t>::max(), at, &section)) {
            end = at + section.dataSize;
            if (!(section.kind & CorILMethod_Sect_MoreSects)) {
                break;
            }
            at = Align4(end);
        }
    }
    return static_cast<unsigned>(end);
}

unsigned IlmethodSize(const IlMethodFat* header, BOOL moreSections) {
    if (header == nullptr) {
        return 0;
    }
    return TinyFits(header, moreSections) ? qx::il::TinyHeaderSize : qx::il::FatHeaderSize;
}

// `size` is the room the caller made; a header that does not fit in it is not written (0).
unsigned IlmethodEmit(unsigned size, const IlMethodFat* header, BOOL moreSections, uint8_t* out) {
    if (header == nullptr || out == nullptr) {
        return 0;
    }
    if (size >= qx::il::FatHeaderSize) {
        uint32_t flags = (header->flags & 0x0FF8u) | CorILMethod_FatFormat;
        flags =
            moreSections ? (flags | CorILMethod_MoreSects) : (flags & ~static_cast<uint32_t>(CorILMethod_MoreSects));
        Write16(out, flags | (3u << 12));
        Write16(out + 2, header->maxStack);
        Write32(out + 4, header->codeSize);
        Write32(out + 8, header->localVarSigToken);
        return qx::il::FatHeaderSize;
    }
    if (size >= qx::il::TinyHeaderSize && TinyFits(header, moreSections)) {
        out[0] = static_cast<uint8_t>((header->codeSize << 2) | CorILMethod_TinyFormat);
        return qx::il::TinyHeaderSize;
    }
    return 0;
}

const IlEHClause* SectEH_EHClause(const uint8_t* section, unsigned index, IlEHClause* buffer) {
    if (section == nullptr) {
        return nullptr;
    }
    if (section[0] & CorILMethod_Sect_FatFormat) {
        const uint8_t* clause =
            section + qx::il::SectionHeaderSize + static_cast<size_t>(index) * qx::il::FatClauseSize;
        if (buffer == nullptr) {
            return reinterpret_cast<const IlEHClause*>(clause);
        }
        std::memcpy(buffer, clause, sizeof(IlEHClause));
        return buffer;
    }
    if (buffer == nullptr) {
        return nullptr;
    }
    const uint8_t* clause = section + qx::il::SectionHeaderSize + static_cast<size_t>(index) * qx::il::SmallClauseSize;
    buffer->flags = Read16(clause);
    buffer->tryOffset = Read16(clause + 2);
    buffer->tryLength = clause[4];
    buffer->handlerOffset = Read16(clause + 5);
    buffer->handlerLength = clause[7];
    buffer->classToken = Read32(clause + 8);
    return buffer;
}

unsigned SectEH_SizeWithCode(unsigned ehCount) {
    return ehCount == 0 ? 0 : qx::il::FatClauseSize * ehCount + qx::il::SectionHeaderSize;
}

unsigned SectEH_SizeWorst(unsigned ehCount) { return SectEH_SizeWithCode(ehCount); }

unsigned SectEH_SizeExact(unsigned ehCount, const IlEHClause* clauses) {
    if (ehCount == 0) {
        return 0;
    }
    const uint64_t small = uint64_t{qx::il::SmallClauseSize} * ehCount + qx::il::SectionHeaderSize;
    bool fitsSmall = small < 255 && clauses != nullptr;
    for (unsigned i = 0; fitsSmall && i < ehCount; ++i) {
        fitsSmall = SmallFits(clauses[i]);
    }
    return fitsSmall ? static_cast<unsigned>(small) : SectEH_SizeWorst(ehCount);
}

unsigned SectEH_Emit(unsigned size, unsigned ehCount, const IlEHClause* clauses, BOOL moreSections, uint8_t* out,
                     uint32_t* ehTypeOffsets) {
    if (ehCount == 0 || clauses == nullptr) {
        return 0;
    }
    if (ehTypeOffsets != nullptr) {
        for (unsigned i = 0; i < ehCount; ++i) {
            ehTypeOffsets[i] = 0xFFFFFFFFu;
        }
    }
    const unsigned exact = SectEH_SizeExact(ehCount, clauses);
    // A fat section's data size has three bytes; `size` is the room the caller made.
    if (out == nullptr || size < exact || exact > 0xFFFFFFu) {
        return 0;
    }
    const bool fat = exact != qx::il::SmallClauseSize * ehCount + qx::il::SectionHeaderSize;
    uint8_t kind = CorILMethod_Sect_EHTable;
    if (fat) {
        kind |= CorILMethod_Sect_FatFormat;
    }
    if (moreSections) {
        kind |= CorILMethod_Sect_MoreSects;
    }
    out[0] = kind;
    if (fat) {
        out[1] = static_cast<uint8_t>(exact);
        out[2] = static_cast<uint8_t>(exact >> 8);
        out[3] = static_cast<uint8_t>(exact >> 16);
    } else {
        out[1] = static_cast<uint8_t>(exact);
        out[2] = 0;
        out[3] = 0;
    }
    uint8_t* p = out + qx::il::SectionHeaderSize;
    for (unsigned i = 0; i < ehCount; ++i) {
        const IlEHClause& clause = clauses[i];
        if (fat) {
            Write32(p, clause.flags);
            Write32(p + 4, clause.tryOffset);
            Write32(p + 8, clause.tryLength);
            Write32(p + 12, clause.handlerOffset);
            Write32(p + 16, clause.handlerLength);
            Write32(p + 20, clause.classToken);
        } else {
            Write16(p, clause.flags);
            Write16(p + 2, clause.tryOffset);
            p[4] = static_cast<uint8_t>(clause.tryLength);
            Write16(p + 5, clause.handlerOffset);
            p[7] = static_cast<uint8_t>(clause.handlerLength);
            Write32(p + 8, clause.classToken);
        }
        const unsigned tokenField = fat ? 20 : 8;
        if (ehTypeOffsets != nullptr && clause.classToken == 0) {
            ehTypeOffsets[i] = static_cast<unsigned>(p - out) + tokenField;
        }
        p += fat ? qx::il::FatClauseSize : qx::il::SmallClauseSize;
    }
    return exact;
}

}  // extern "C"
