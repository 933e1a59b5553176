#include "il/ILRewriter.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <new>

#include "platform/InterfaceIds.h"

namespace {

constexpr unsigned MaxNameLength = 1u << 16;
constexpr size_t MaxLocalSignatureSize = 4096;
// Local indices are 16-bit; the count stays below 0xFFFF, clear of the largest values.
constexpr uint32_t MaxLocalCount = 0xFFFF;

int64_t ReadSigned(const uint8_t* p, unsigned size) {
    switch (size) {
        case 1:
            return static_cast<int8_t>(p[0]);
        case 2:
            return static_cast<int16_t>(static_cast<uint16_t>(p[0] | (p[1] << 8)));
        case 4: {
            uint32_t v = 0;
            for (int i = 3; i >= 0; --i) v = (v << 8) | p[i];
            return static_cast<int32_t>(v);
        }
        case 8: {
            uint64_t v = 0;
            for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
            return static_cast<int64_t>(v);
        }
        default:
            return 0;
    }
}

void WriteLE(uint8_t* p, uint64_t v, unsigned size) {
    for (unsigned i = 0; i < size; ++i) {
        p[i] = static_cast<uint8_t>(v >> (8 * i));
    }
}

unsigned AddSaturating(unsigned a, unsigned b) {
    return a > std::numeric_limits<unsigned>::max() - b ? std::numeric_limits<unsigned>::max() : a + b;
}

bool IsBranch(uint32_t opcode) { return (ILFlagsOf(opcode) & ILFlagBranch) != 0; }

bool IsShortBranch(uint32_t opcode) { return ILFlagsOf(opcode) == (ILFlagBranch | 1); }

uint32_t LongFormOf(uint32_t shortBranch) {
    return shortBranch == CEE_LEAVE_S ? static_cast<uint32_t>(CEE_LEAVE) : shortBranch + (CEE_BR - CEE_BR_S);
}

bool IsKnownOpcode(uint32_t opcode) { return opcode <= CEE_LAST_IMPORTABLE || opcode == CEE_SWITCH_ARG; }

// Bytes of one encoded node: prefix and opcode byte(s), then its inline operand; a switch counts
// its 4-byte count here and each target as a CEE_SWITCH_ARG node of 4 bytes.
unsigned EncodedSize(uint32_t opcode) {
    if (opcode == CEE_SWITCH_ARG) {
        return 4;
    }
    const uint8_t flags = ILFlagsOf(opcode);
    const unsigned opcodeBytes = opcode >= 0x100 ? 2 : 1;
    return opcodeBytes + ((flags & ILFlagSwitch) ? 4 : (flags & ILOperandSizeMask));
}

}  // namespace

ILRewriter::ILRewriter(ICorProfilerInfo* info, ICorProfilerFunctionControl* control, ModuleID module, mdToken token)
    : moduleId(module), methodToken(token), profilerInfo(info), functionControl(control) {
    sentinel.next = &sentinel;
    sentinel.prev = &sentinel;
    sentinel.opcode = CEE_SENTINEL;
    sentinel.offset = 0;
    sentinel.operand = 0;
}

ILRewriter::~ILRewriter() {
    if (methodMalloc != nullptr) {
        methodMalloc->Release();
        methodMalloc = nullptr;
    }
    if (metaDataEmit != nullptr) {
        metaDataEmit->Release();
        metaDataEmit = nullptr;
    }
    if (metaDataImport != nullptr) {
        metaDataImport->Release();
        metaDataImport = nullptr;
    }
}

HRESULT ILRewriter::Initialize() {
    if (profilerInfo == nullptr) {
        return E_POINTER;
    }
    // A second call replaces the interfaces instead of leaking the first pair.
    if (metaDataEmit != nullptr) {
        metaDataEmit->Release();
        metaDataEmit = nullptr;
    }
    if (metaDataImport != nullptr) {
        metaDataImport->Release();
        metaDataImport = nullptr;
    }
    IUnknown* unknown = nullptr;
    HRESULT hr = profilerInfo->GetModuleMetaData(moduleId, ofRead | ofWrite, &IID_IMetaDataImport, &unknown);
    if (FAILED(hr)) {
        return hr;
    }
    // Resource-only modules answer with success and no interface.
    if (unknown == nullptr) {
        return E_FAIL;
    }
    metaDataImport = static_cast<IMetaDataImport*>(unknown);
    void* emit = nullptr;
    hr = metaDataImport->QueryInterface(&IID_IMetaDataEmit, &emit);
    if (FAILED(hr)) {
        return hr;
    }
    if (emit == nullptr) {
        return E_NOINTERFACE;
    }
    metaDataEmit = static_cast<IMetaDataEmit*>(emit);
    return S_OK;
}

void ILRewriter::InitializeTiny() {
    ResetList();
    importResult = S_OK;
    localVarSigToken = 0;
    maxStack = qx::il::TinyMaxStack;
    headerFlags = CorILMethod_TinyFormat;
    codeSize = 0;
    isTiny = true;
}

void ILRewriter::ResetList() {
    clauses.clear();
    offsetMap.clear();
    nodes.clear();
    sentinel.next = &sentinel;
    sentinel.prev = &sentinel;
    sentinel.offset = 0;
    instructionCount = 0;
}

HRESULT ILRewriter::Import() {
    if (profilerInfo == nullptr) {
        return E_POINTER;
    }
    LPCBYTE body = nullptr;
    ULONG size = 0;
    const HRESULT hr = profilerInfo->GetILFunctionBody(moduleId, methodToken, &body, &size);
    if (FAILED(hr)) {
        return hr;
    }
    if (body == nullptr) {
        return E_FAIL;
    }
    return ImportBody(body, size);
}

HRESULT ILRewriter::ImportBody(const uint8_t* body, size_t size) {
    IlMethodDecoder decoder;
    HRESULT hr = qx::il::DecodeMethodBody(body, size, &decoder, nullptr);
    if (FAILED(hr)) {
        ResetList();
        importResult = hr;
        return hr;
    }
    isTiny = false;
    localVarSigToken = decoder.header.localVarSigToken;
    maxStack = decoder.header.maxStack;
    headerFlags = decoder.header.flags & CorILMethod_InitLocals;
    hr = ImportIL(decoder.code, decoder.header.codeSize);
    if (FAILED(hr) || decoder.eh == nullptr) {
        return hr;
    }
    unsigned count = 0;
    if (!qx::il::ReadEHSection(decoder.eh, size - static_cast<size_t>(decoder.eh - body), &count)) {
        ResetList();
        importResult = COR_E_INVALIDPROGRAM;
        return importResult;
    }
    try {
        std::vector<IlEHClause> fatClauses(count);
        for (unsigned i = 0; i < count; ++i) {
            SectEH_EHClause(decoder.eh, i, &fatClauses[i]);
        }
        return ImportEH(fatClauses.data(), count);
    } catch (...) {
        ResetList();
        importResult = E_OUTOFMEMORY;
        return importResult;
    }
}

HRESULT ILRewriter::ImportIL(const uint8_t* code, uint32_t size) {
    HRESULT hr;
    try {
        hr = ImportCode(code, size);
    } catch (...) {
        hr = E_OUTOFMEMORY;
    }
    if (FAILED(hr)) {
        ResetList();
    }
    importResult = hr;
    return hr;
}

HRESULT ILRewriter::ImportCode(const uint8_t* code, uint32_t size) {
    ResetList();
    codeSize = size;
    if (code == nullptr && size > 0) {
        return E_POINTER;
    }
    offsetMap.assign(static_cast<size_t>(size) + 1, nullptr);
    offsetMap[size] = &sentinel;
    bool branches = false;
    uint32_t offset = 0;
    auto append = [this](uint32_t opcode, uint32_t at) -> ILInstruction* {
        ILInstruction* node = CreateNewILInstruction();
        if (node != nullptr) {
            node->opcode = opcode;
            node->offset = at;
            node->next = &sentinel;
            node->prev = sentinel.prev;
            sentinel.prev->next = node;
            sentinel.prev = node;
            maxStack = AddSaturating(maxStack, ILStackPushesOf(opcode));
        }
        return node;
    };
    while (offset < size) {
        const uint32_t start = offset;
        uint32_t opcode = code[offset++];
        if (opcode == 0xFE) {
            if (offset >= size) {
                return COR_E_INVALIDPROGRAM;
            }
            opcode = 0x100u + code[offset++];
        } else if (opcode >= 0xF8 && opcode <= 0xFD) {
            return COR_E_INVALIDPROGRAM;
        }
        if (opcode > CEE_LAST_IMPORTABLE) {
            return COR_E_INVALIDPROGRAM;
        }
        ILInstruction* node = append(opcode, start);
        if (node == nullptr) {
            return E_OUTOFMEMORY;
        }
        offsetMap[start] = node;
        const uint8_t flags = ILOpcodeFlags[opcode];
        if (flags & ILFlagSwitch) {
            if (size - offset < 4) {
                return COR_E_INVALIDPROGRAM;
            }
            const uint32_t count = static_cast<uint32_t>(ReadSigned(code + offset, 4));
            offset += 4;
            if (count > (size - offset) / 4) {
                return COR_E_INVALIDPROGRAM;
            }
            node->operand = count;
            const int64_t base = static_cast<int64_t>(offset) + 4 * static_cast<int64_t>(count);
            for (uint32_t i = 0; i < count; ++i) {
                ILInstruction* arg = append(CEE_SWITCH_ARG, offset);
                if (arg == nullptr) {
                    return E_OUTOFMEMORY;
                }
                arg->operand = base + ReadSigned(code + offset, 4);
                offset += 4;
            }
            branches = branches || count > 0;
            continue;
        }
        const unsigned operandSize = flags & ILOperandSizeMask;
        if (size - offset < operandSize) {
            return COR_E_INVALIDPROGRAM;
        }
        const int64_t value = ReadSigned(code + offset, operandSize);
        offset += operandSize;
        if (flags & ILFlagBranch) {
            node->operand = static_cast<int64_t>(offset) + value;
            branches = true;
        } else {
            node->operand = value;
        }
    }
    if (branches) {
        // A target that is not the start of an instruction (or the end of the code) would leave
        // a branch without a node, which no encoding can express.
        for (ILInstruction* node = sentinel.next; node != &sentinel; node = node->next) {
            if (!IsBranch(node->opcode)) {
                continue;
            }
            const int64_t target = node->operand;
            if (target < 0 || target > static_cast<int64_t>(size) ||
                offsetMap[static_cast<size_t>(target)] == nullptr) {
                return COR_E_INVALIDPROGRAM;
            }
            node->target = offsetMap[static_cast<size_t>(target)];
        }
    }
    return S_OK;
}

HRESULT ILRewriter::ImportEH(const IlEHClause* fatClauses, unsigned count) {
    HRESULT hr;
    try {
        hr = ImportClauses(fatClauses, count);
    } catch (...) {
        hr = E_OUTOFMEMORY;
    }
    if (FAILED(hr)) {
        // Installing the code without its clauses would change what the method does.
        ResetList();
    }
    importResult = hr;
    return hr;
}

HRESULT ILRewriter::ImportClauses(const IlEHClause* fatClauses, unsigned count) {
    if (FAILED(importResult)) {
        return importResult;
    }
    clauses.clear();
    if (count == 0) {
        return S_OK;
    }
    if (fatClauses == nullptr) {
        return E_POINTER;
    }
    // The sentinel stands for the end of the code, a valid end but never a valid start.
    auto at = [this](uint64_t offset) -> ILInstruction* {
        return offset < offsetMap.size() ? offsetMap[static_cast<size_t>(offset)] : nullptr;
    };
    auto startAt = [&](uint64_t offset) -> ILInstruction* {
        ILInstruction* node = at(offset);
        return node == &sentinel ? nullptr : node;
    };
    std::vector<EHClause> imported;
    imported.reserve(count);
    for (unsigned i = 0; i < count; ++i) {
        const IlEHClause& source = fatClauses[i];
        EHClause clause{};
        clause.flags = source.flags;
        clause.tryBegin = startAt(source.tryOffset);
        clause.tryEnd = at(uint64_t{source.tryOffset} + source.tryLength);
        clause.handlerBegin = startAt(source.handlerOffset);
        ILInstruction* afterHandler = at(uint64_t{source.handlerOffset} + source.handlerLength);
        if (clause.tryBegin == nullptr || clause.tryEnd == nullptr || clause.handlerBegin == nullptr ||
            afterHandler == nullptr || source.handlerLength == 0) {
            return COR_E_INVALIDPROGRAM;
        }
        clause.handlerEnd = afterHandler->prev;
        if (source.flags & COR_ILEXCEPTION_CLAUSE_FILTER) {
            clause.filter = startAt(source.filterOffset);
            if (clause.filter == nullptr) {
                return COR_E_INVALIDPROGRAM;
            }
        } else {
            clause.classToken = source.classToken;
        }
        imported.push_back(clause);
    }
    clauses.swap(imported);
    return S_OK;
}

ILInstruction* ILRewriter::GetILInstructionFromOffset(unsigned offset) const {
    return offset < offsetMap.size() ? offsetMap[offset] : nullptr;
}

ILInstruction* ILRewriter::CreateNewILInstruction() {
    try {
        ILInstruction& node = nodes.emplace_back();
        node = ILInstruction{};
        ++instructionCount;
        return &node;
    } catch (...) {
        return nullptr;
    }
}

void ILRewriter::InsertBefore(ILInstruction* where, ILInstruction* what) {
    if (where == nullptr || what == nullptr) {
        return;
    }
    what->next = where;
    what->prev = where->prev;
    where->prev->next = what;
    where->prev = what;
    maxStack = AddSaturating(maxStack, ILStackPushesOf(what->opcode));
}

void ILRewriter::InsertAfter(ILInstruction* where, ILInstruction* what) {
    if (where == nullptr || what == nullptr) {
        return;
    }
    what->prev = where;
    what->next = where->next;
    where->next->prev = what;
    where->next = what;
    maxStack = AddSaturating(maxStack, ILStackPushesOf(what->opcode));
}

// Whatever callers linked, the encoder only sees a well-formed list: known opcodes, switch
// counts that match their targets, branch and clause nodes that are in the list.
HRESULT ILRewriter::CheckList() const {
    std::vector<const ILInstruction*> members;
    members.reserve(nodes.size() + 1);
    members.push_back(&sentinel);
    size_t steps = 0;
    uint64_t pendingSwitchArgs = 0;
    for (const ILInstruction* node = sentinel.next; node != &sentinel; node = node->next) {
        if (node == nullptr || ++steps > nodes.size() || node->next == nullptr || node->next->prev != node) {
            return COR_E_INVALIDPROGRAM;
        }
        if (!IsKnownOpcode(node->opcode)) {
            return COR_E_INVALIDPROGRAM;
        }
        if (node->opcode == CEE_SWITCH_ARG) {
            if (pendingSwitchArgs == 0) {
                return COR_E_INVALIDPROGRAM;
            }
            --pendingSwitchArgs;
        } else if (pendingSwitchArgs != 0) {
            return COR_E_INVALIDPROGRAM;
        }
        if (node->opcode == CEE_SWITCH) {
            if (node->operand < 0 || node->operand > 0xFFFFFFFFll) {
                return COR_E_INVALIDPROGRAM;
            }
            pendingSwitchArgs = static_cast<uint64_t>(node->operand);
        }
        members.push_back(node);
    }
    if (pendingSwitchArgs != 0) {
        return COR_E_INVALIDPROGRAM;
    }
    std::sort(members.begin(), members.end());
    auto member = [&members](const ILInstruction* node) {
        return node != nullptr && std::binary_search(members.begin(), members.end(), node);
    };
    for (const ILInstruction* node = sentinel.next; node != &sentinel; node = node->next) {
        if (IsBranch(node->opcode) && !member(node->target)) {
            return COR_E_INVALIDPROGRAM;
        }
    }
    for (const EHClause& clause : clauses) {
        const bool filterOk = !(clause.flags & COR_ILEXCEPTION_CLAUSE_FILTER) || member(clause.filter);
        if (!member(clause.tryBegin) || !member(clause.tryEnd) || !member(clause.handlerBegin) ||
            !member(clause.handlerEnd) || !filterOk) {
            return COR_E_INVALIDPROGRAM;
        }
    }
    return S_OK;
}

HRESULT ILRewriter::EncodeCode() {
    // Lay out, widen every short branch whose displacement no longer fits, and lay out again.
    // Widening only ever lengthens the code, so distances only grow and each pass either widens
    // at least one of the finitely many short branches or is the last one.
    uint64_t total = 0;
    for (;;) {
        total = 0;
        for (ILInstruction* node = sentinel.next; node != &sentinel; node = node->next) {
            node->offset = static_cast<uint32_t>(total);
            total += EncodedSize(node->opcode);
            if (total > std::numeric_limits<int32_t>::max()) {
                return COR_E_INVALIDPROGRAM;
            }
        }
        sentinel.offset = static_cast<uint32_t>(total);
        bool widened = false;
        for (ILInstruction* node = sentinel.next; node != &sentinel; node = node->next) {
            if (!IsShortBranch(node->opcode)) {
                continue;
            }
            const int64_t displacement =
                static_cast<int64_t>(node->target->offset) - (static_cast<int64_t>(node->offset) + 2);
            if (displacement < -128 || displacement > 127) {
                node->opcode = LongFormOf(node->opcode);
                widened = true;
            }
        }
        if (!widened) {
            break;
        }
    }
    outBuffer.assign(static_cast<size_t>(total), 0);
    uint8_t* out = outBuffer.data();
    int64_t switchBase = 0;
    for (ILInstruction* node = sentinel.next; node != &sentinel; node = node->next) {
        size_t at = node->offset;
        const unsigned size = EncodedSize(node->opcode);
        if (at + size > outBuffer.size()) {
            return COR_E_INVALIDPROGRAM;
        }
        if (node->opcode == CEE_SWITCH_ARG) {
            WriteLE(out + at, static_cast<uint64_t>(static_cast<int64_t>(node->target->offset) - switchBase), 4);
            continue;
        }
        if (node->opcode >= 0x100) {
            out[at++] = 0xFE;
        }
        out[at++] = static_cast<uint8_t>(node->opcode);
        const uint8_t flags = ILOpcodeFlags[node->opcode];
        if (flags & ILFlagSwitch) {
            WriteLE(out + at, static_cast<uint64_t>(node->operand), 4);
            switchBase = static_cast<int64_t>(node->offset) + 5 + 4 * node->operand;
        } else if (flags & ILFlagBranch) {
            const unsigned operandSize = flags & ILOperandSizeMask;
            const int64_t displacement =
                static_cast<int64_t>(node->target->offset) - (static_cast<int64_t>(node->offset) + size);
            WriteLE(out + at, static_cast<uint64_t>(displacement), operandSize);
        } else {
            WriteLE(out + at, static_cast<uint64_t>(node->operand), flags & ILOperandSizeMask);
        }
    }
    codeSize = static_cast<uint32_t>(total);
    return S_OK;
}

HRESULT ILRewriter::EncodeBody(std::vector<uint8_t>& body) {
    if (FAILED(importResult)) {
        return importResult;
    }
    HRESULT hr = CheckList();
    if (FAILED(hr)) {
        return hr;
    }
    // No method body is empty: installing one would leave the method uncallable.
    if (sentinel.next == &sentinel) {
        return COR_E_INVALIDPROGRAM;
    }
    hr = EncodeCode();
    if (FAILED(hr)) {
        return hr;
    }
    if (isTiny) {
        if (codeSize > qx::il::TinyMaxCodeSize) {
            return E_FAIL;
        }
        body.assign(1 + outBuffer.size(), 0);
        body[0] = static_cast<uint8_t>((codeSize << 2) | CorILMethod_TinyFormat);
        std::copy(outBuffer.begin(), outBuffer.end(), body.begin() + 1);
        return S_OK;
    }
    const size_t count = clauses.size();
    if (count > (0xFFFFFFu - qx::il::SectionHeaderSize) / qx::il::FatClauseSize) {
        return COR_E_INVALIDPROGRAM;
    }
    std::vector<IlEHClause> encoded(count);
    for (size_t i = 0; i < count; ++i) {
        const EHClause& clause = clauses[i];
        const uint32_t tryOffset = clause.tryBegin->offset;
        const uint32_t handlerOffset = clause.handlerBegin->offset;
        const uint32_t afterHandler = clause.handlerEnd->next->offset;
        // Nodes linked in an order that turns a block inside out are a caller's error, not
        // something to encode as a wrapped-around length.
        if (clause.tryEnd->offset < tryOffset || afterHandler <= handlerOffset) {
            return COR_E_INVALIDPROGRAM;
        }
        encoded[i].flags = clause.flags;
        encoded[i].tryOffset = tryOffset;
        encoded[i].tryLength = clause.tryEnd->offset - tryOffset;
        encoded[i].handlerOffset = handlerOffset;
        encoded[i].handlerLength = afterHandler - handlerOffset;
        encoded[i].classToken =
            (clause.flags & COR_ILEXCEPTION_CLAUSE_FILTER) ? clause.filter->offset : clause.classToken;
    }
    const size_t padded = (outBuffer.size() + 3) & ~static_cast<size_t>(3);
    const size_t ehSize = count == 0 ? 0 : qx::il::FatClauseSize * count + qx::il::SectionHeaderSize;
    body.assign(qx::il::FatHeaderSize + padded + ehSize, 0);
    uint8_t* out = body.data();
    const uint32_t flags =
        (headerFlags & 0x0FF0u) | (count != 0 ? CorILMethod_MoreSects : 0u) | 0x3000u | CorILMethod_FatFormat;
    // The header has 16 bits for it; a wrapped value would understate the stack.
    const uint32_t stack = std::min<uint32_t>(maxStack, 0xFFFF);
    WriteLE(out, flags | (stack << 16), 4);
    WriteLE(out + 4, codeSize, 4);
    WriteLE(out + 8, localVarSigToken, 4);
    std::copy(outBuffer.begin(), outBuffer.end(), body.begin() + qx::il::FatHeaderSize);
    if (count != 0) {
        uint8_t* section = out + qx::il::FatHeaderSize + padded;
        section[0] = CorILMethod_Sect_EHTable | CorILMethod_Sect_FatFormat;
        WriteLE(section + 1, ehSize, 3);
        uint8_t* p = section + qx::il::SectionHeaderSize;
        for (const IlEHClause& clause : encoded) {
            WriteLE(p, clause.flags, 4);
            WriteLE(p + 4, clause.tryOffset, 4);
            WriteLE(p + 8, clause.tryLength, 4);
            WriteLE(p + 12, clause.handlerOffset, 4);
            WriteLE(p + 16, clause.handlerLength, 4);
            WriteLE(p + 20, clause.classToken, 4);
            p += qx::il::FatClauseSize;
        }
    }
    return S_OK;
}

HRESULT ILRewriter::Encode(std::vector<uint8_t>& body) {
    try {
        return EncodeBody(body);
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

HRESULT ILRewriter::Export() {
    std::vector<uint8_t> body;
    HRESULT hr = Encode(body);
    if (FAILED(hr)) {
        return hr;
    }
    if (body.size() > std::numeric_limits<ULONG>::max()) {
        return COR_E_INVALIDPROGRAM;
    }
    const unsigned size = static_cast<unsigned>(body.size());
    BYTE* memory = AllocateILMemory(size);
    if (memory == nullptr) {
        return E_OUTOFMEMORY;
    }
    std::memcpy(memory, body.data(), size);
    hr = SetILFunctionBody(size, memory);
    DeallocateILMemory(memory);
    return FAILED(hr) ? hr : S_OK;
}

BYTE* ILRewriter::AllocateILMemory(unsigned size) {
    if (functionControl != nullptr) {
        return new (std::nothrow) BYTE[size];
    }
    if (profilerInfo == nullptr) {
        return nullptr;
    }
    if (methodMalloc == nullptr) {
        IMethodMalloc* allocator = nullptr;
        if (FAILED(profilerInfo->GetILFunctionBodyAllocator(moduleId, &allocator)) || allocator == nullptr) {
            return nullptr;
        }
        methodMalloc = allocator;
    }
    return static_cast<BYTE*>(methodMalloc->Alloc(size));
}

HRESULT ILRewriter::SetILFunctionBody(unsigned size, BYTE* body) {
    if (body == nullptr) {
        return E_POINTER;
    }
    if (functionControl != nullptr) {
        return functionControl->SetILFunctionBody(size, body);
    }
    if (profilerInfo == nullptr) {
        return E_POINTER;
    }
    return profilerInfo->SetILFunctionBody(moduleId, methodToken, body);
}

// Memory from the runtime's allocator belongs to the runtime.
void ILRewriter::DeallocateILMemory(BYTE* body) {
    if (functionControl != nullptr) {
        delete[] body;
    }
}

unsigned ILRewriter::AddNewInt32Local() {
    static constexpr uint8_t int32Type = ELEMENT_TYPE_I4;
    return AddNewLocal(&int32Type, 1);
}

unsigned ILRewriter::AddNewLocal(const uint8_t* type, size_t typeLength) {
    if (metaDataImport == nullptr || metaDataEmit == nullptr || type == nullptr || typeLength == 0 ||
        typeLength >= MaxLocalSignatureSize) {
        return InvalidLocalIndex;
    }
    std::array<uint8_t, MaxLocalSignatureSize> signature{};
    size_t length = 0;
    uint32_t index = 0;
    signature[length++] = IMAGE_CEE_CS_CALLCONV_LOCAL_SIG;
    if (RidFromToken(localVarSigToken) == 0) {
        signature[length++] = 1;
    } else {
        PCCOR_SIGNATURE old = nullptr;
        ULONG oldLength = 0;
        if (FAILED(metaDataImport->GetSigFromToken(localVarSigToken, &old, &oldLength)) || old == nullptr ||
            oldLength < 2 || old[0] != IMAGE_CEE_CS_CALLCONV_LOCAL_SIG) {
            return InvalidLocalIndex;
        }
        size_t countBytes;
        const uint8_t first = old[1];
        if ((first & 0x80) == 0) {
            countBytes = 1;
            index = first;
        } else if ((first & 0xC0) == 0x80 && oldLength >= 3) {
            countBytes = 2;
            index = (static_cast<uint32_t>(first & 0x3F) << 8) | old[2];
        } else if ((first & 0xE0) == 0xC0 && oldLength >= 5) {
            countBytes = 4;
            index = (static_cast<uint32_t>(first & 0x1F) << 24) | (static_cast<uint32_t>(old[2]) << 16) |
                    (static_cast<uint32_t>(old[3]) << 8) | old[4];
        } else {
            return InvalidLocalIndex;
        }
        const uint32_t count = index + 1;
        if (count >= MaxLocalCount) {
            return InvalidLocalIndex;
        }
        if (count <= 0x7F) {
            signature[length++] = static_cast<uint8_t>(count);
        } else if (count <= 0x3FFF) {
            signature[length++] = static_cast<uint8_t>(0x80 | (count >> 8));
            signature[length++] = static_cast<uint8_t>(count);
        } else {
            signature[length++] = static_cast<uint8_t>(0xC0 | (count >> 24));
            signature[length++] = static_cast<uint8_t>(count >> 16);
            signature[length++] = static_cast<uint8_t>(count >> 8);
            signature[length++] = static_cast<uint8_t>(count);
        }
        const size_t types = oldLength - 1 - countBytes;
        if (length + types + typeLength > signature.size()) {
            return InvalidLocalIndex;
        }
        std::memcpy(signature.data() + length, old + 1 + countBytes, types);
        length += types;
    }
    if (length + typeLength > signature.size()) {
        return InvalidLocalIndex;
    }
    std::memcpy(signature.data() + length, type, typeLength);
    length += typeLength;
    mdSignature token = 0;
    if (FAILED(metaDataEmit->GetTokenFromSig(signature.data(), static_cast<ULONG>(length), &token))) {
        return InvalidLocalIndex;
    }
    localVarSigToken = token;
    return index;
}

WCHAR* ILRewriter::GetNameFromToken(mdToken token) {
    auto empty = [] { return new (std::nothrow) WCHAR[1]{}; };
    const mdToken type = TypeFromToken(token);
    if (metaDataImport == nullptr || (type != mdtMemberRef && type != mdtFieldDef)) {
        return empty();
    }
    auto query = [&](WCHAR* buffer, ULONG capacity, ULONG* length) {
        if (type == mdtMemberRef) {
            return metaDataImport->GetMemberRefProps(token, nullptr, buffer, capacity, length, nullptr, nullptr);
        }
        return metaDataImport->GetFieldProps(token, nullptr, buffer, capacity, length, nullptr, nullptr, nullptr,
                                             nullptr, nullptr, nullptr);
    };
    ULONG length = 0;
    if (FAILED(query(nullptr, 0, &length)) || length == 0 || length > MaxNameLength) {
        return empty();
    }
    WCHAR* name = new (std::nothrow) WCHAR[length + 1]{};
    if (name == nullptr) {
        return nullptr;
    }
    ULONG written = 0;
    if (FAILED(query(name, length, &written))) {
        delete[] name;
        return empty();
    }
    name[length] = 0;
    return name;
}

ILInstruction* ILRewriter::NewLDC(const void* value) {
    ILInstruction* node = CreateNewILInstruction();
    if (node != nullptr) {
        node->opcode = CEE_LDC_I8;
        node->operand = static_cast<int64_t>(reinterpret_cast<intptr_t>(value));
    }
    return node;
}
