#pragma once

// Method bodies in the standard format: a tiny or fat header, the code, and optional extra
// sections after the code (4-byte aligned), of which the exception-handling table is the one we
// read and write. The exported helpers keep their plain C names for managed and native callers
// alike; the bounded decoder below is what the rewriter uses on bodies handed over by the runtime.

#include <cstddef>
#include <cstdint>

#include "platform/ComTypes.h"
#include "platform/Export.h"
#include "platform/MetaDataTypes.h"

extern "C" {

// The fat header in its standard packed layout, the same 12 bytes a method body starts with,
// so native callers pass what they already have. A tiny header reads as flags 2, size 0,
// max stack 8.
struct IlMethodFat {
    uint32_t flags : 12;  // format bits included
    uint32_t size : 4;    // header size in 4-byte units (3 for a fat header, 0 for tiny)
    uint32_t maxStack : 16;
    uint32_t codeSize;
    mdSignature localVarSigToken;
};
static_assert(sizeof(IlMethodFat) == 12, "the standard fat header is 12 bytes");
static_assert(alignof(IlMethodFat) == 4);

struct IlMethodDecoder {
    IlMethodFat header;
    const uint8_t* code;  // null for an undecodable header
    const uint8_t* eh;    // the exception-handling section, or null
    const uint8_t* sect;  // the extra section after it (the first one when there is no
                          // exception section), or null
};

// A clause in fat form, exactly the 24 bytes a fat section holds.
struct IlEHClause {
    uint32_t flags;
    uint32_t tryOffset;
    uint32_t tryLength;
    uint32_t handlerOffset;
    uint32_t handlerLength;
    union {
        mdToken classToken;
        uint32_t filterOffset;  // when flags has COR_ILEXCEPTION_CLAUSE_FILTER
    };
};
static_assert(sizeof(IlEHClause) == 24);

QX_EXPORT void DecoderInit(IlMethodDecoder* decoder, const uint8_t* header);
QX_EXPORT unsigned DecoderGetOnDiskSize(const IlMethodDecoder* decoder, const uint8_t* header);
QX_EXPORT unsigned IlmethodSize(const IlMethodFat* header, BOOL moreSections);
QX_EXPORT unsigned IlmethodEmit(unsigned size, const IlMethodFat* header, BOOL moreSections, uint8_t* out);
QX_EXPORT const IlEHClause* SectEH_EHClause(const uint8_t* section, unsigned index, IlEHClause* buffer);
QX_EXPORT unsigned SectEH_SizeWithCode(unsigned ehCount);
QX_EXPORT unsigned SectEH_SizeWorst(unsigned ehCount);
QX_EXPORT unsigned SectEH_SizeExact(unsigned ehCount, const IlEHClause* clauses);
QX_EXPORT unsigned SectEH_Emit(unsigned size, unsigned ehCount, const IlEHClause* clauses, BOOL moreSections,
                               uint8_t* out, uint32_t* ehTypeOffsets);

}  // extern "C"

namespace qx::il {

inline constexpr unsigned TinyHeaderSize = 1;
inline constexpr unsigned FatHeaderSize = 12;
inline constexpr unsigned SectionHeaderSize = 4;
inline constexpr unsigned SmallClauseSize = 12;
inline constexpr unsigned FatClauseSize = 24;
inline constexpr uint32_t TinyMaxCodeSize = 63;
inline constexpr uint32_t TinyMaxStack = 8;

// Decodes a body of `size` readable bytes; every field it looks at, the code and the extra
// sections included, must lie inside them. Anything else leaves the decoder all zero and gives
// COR_E_INVALIDPROGRAM. On success `onDiskSize` (when given) receives the bytes the body spans.
HRESULT DecodeMethodBody(const uint8_t* body, size_t size, IlMethodDecoder* decoder, size_t* onDiskSize);

// Number of clauses of an exception section and the size of its data; false for a section that
// is not an exception table or is shorter than its header says, within `available` bytes.
bool ReadEHSection(const uint8_t* section, size_t available, unsigned* clauseCount);

}  // namespace qx::il
