#pragma once

// A method body as an editable list of instructions: import (from the runtime or from bytes),
// insert instructions, export with branch offsets, exception clauses and header recomputed.
// Without a profiler information interface the rewriter is a pure codec: ImportBody/ImportIL/
// ImportEH in, Encode out.

#include <cstdint>
#include <deque>
#include <vector>

#include "il/ILOpcodes.h"
#include "il/MethodFormat.h"
#include "platform/MetaData.h"
#include "platform/ProfilerInfo.h"

// One node of a circular doubly linked list whose sentinel has opcode CEE_SENTINEL.
struct ILInstruction {
    ILInstruction* next;
    ILInstruction* prev;
    uint32_t opcode;
    uint32_t offset;  // in the exported code, set by Encode/Export
    union {
        int64_t operand;        // immediate, sign-extended from its 1, 2, 4 or 8 bytes
        ILInstruction* target;  // branches and CEE_SWITCH_ARG; a switch keeps its count in operand
    };
};

struct EHClause {
    uint32_t flags;
    ILInstruction* tryBegin;
    ILInstruction* tryEnd;  // first instruction after the protected block
    ILInstruction* handlerBegin;
    ILInstruction* handlerEnd;  // last instruction of the handler
    ILInstruction* filter;      // filter clauses only
    mdToken classToken;         // other clauses
};

class ILRewriter {
public:
    // AddNewLocal's answer when no local could be added; every real index is below 0xFFFF.
    static constexpr unsigned InvalidLocalIndex = 0xFFFFFFFFu;

    // The two runtime interfaces are borrowed, not released; the allocator and the metadata
    // interfaces the rewriter obtains itself are released once, by the destructor.
    ILRewriter(ICorProfilerInfo* profilerInfo, ICorProfilerFunctionControl* functionControl, ModuleID moduleId,
               mdToken methodToken);
    virtual ~ILRewriter();

    ILRewriter(const ILRewriter&) = delete;
    ILRewriter& operator=(const ILRewriter&) = delete;

    // Opens the module's metadata for reading and writing (import and emit interfaces).
    HRESULT Initialize();
    // An empty body that exports with a tiny header.
    void InitializeTiny();
    // The method's current body from the runtime.
    HRESULT Import();
    // A whole body (header, code, exception section) of `size` readable bytes.
    HRESULT ImportBody(const uint8_t* body, size_t size);
    // Replaces the list by the instructions of `code`; malformed code gives COR_E_INVALIDPROGRAM
    // and an empty list.
    HRESULT ImportIL(const uint8_t* code, uint32_t codeSize);
    // Clauses in fat form against the imported code. A clause whose offsets are not instruction
    // boundaries of that code is rejected with COR_E_INVALIDPROGRAM.
    HRESULT ImportEH(const IlEHClause* clauses, unsigned count);

    // Node that started at this offset of the imported code; the sentinel at the code size.
    ILInstruction* GetILInstructionFromOffset(unsigned offset) const;
    // A zeroed node (a nop) owned by the rewriter; null when memory is short.
    ILInstruction* CreateNewILInstruction();
    void InsertBefore(ILInstruction* where, ILInstruction* what);
    void InsertAfter(ILInstruction* where, ILInstruction* what);
    ILInstruction* GetILList() { return &sentinel; }

    // Encodes the body and installs it (SetILFunctionBody).
    HRESULT Export();
    // Encodes the body into `body` without touching the runtime; the nodes receive their offsets.
    HRESULT Encode(std::vector<uint8_t>& body);

    BYTE* AllocateILMemory(unsigned size);
    HRESULT SetILFunctionBody(unsigned size, BYTE* body);
    void DeallocateILMemory(BYTE* body);

    // Index of a new local of the type encoded by `type` (one complete type signature, copied as
    // it is) appended to the local signature; InvalidLocalIndex on failure. Needs Initialize.
    unsigned AddNewLocal(const uint8_t* type, size_t typeLength);
    // AddNewLocal of an int32.
    unsigned AddNewInt32Local();
    // Name of a member reference or field as a new[]-allocated text; empty for other tokens or
    // failures, null only when memory is short. Needs Initialize.
    WCHAR* GetNameFromToken(mdToken token);
    // ldc.i8 of a native pointer value.
    ILInstruction* NewLDC(const void* value);

    ModuleID GetModuleID() const { return moduleId; }
    mdToken GetMethodToken() const { return methodToken; }
    unsigned GetMaxStack() const { return maxStack; }
    void SetMaxStack(unsigned value) { maxStack = value; }
    mdSignature GetLocalVarSigToken() const { return localVarSigToken; }
    void SetLocalVarSigToken(mdSignature token) { localVarSigToken = token; }
    uint32_t GetHeaderFlags() const { return headerFlags; }
    uint32_t GetCodeSize() const { return codeSize; }
    bool IsTiny() const { return isTiny; }
    unsigned GetEHCount() const { return static_cast<unsigned>(clauses.size()); }
    EHClause* GetEHClauses() { return clauses.data(); }
    unsigned GetInstructionCount() const { return instructionCount; }
    IMetaDataImport* GetMetaDataImport() const { return metaDataImport; }
    IMetaDataEmit* GetMetaDataEmit() const { return metaDataEmit; }

private:
    void ResetList();
    HRESULT ImportCode(const uint8_t* code, uint32_t size);
    HRESULT ImportClauses(const IlEHClause* fatClauses, unsigned count);
    HRESULT CheckList() const;
    HRESULT EncodeCode();
    HRESULT EncodeBody(std::vector<uint8_t>& body);

    ModuleID moduleId;
    mdToken methodToken;
    ICorProfilerInfo* profilerInfo;
    ICorProfilerFunctionControl* functionControl;
    mdSignature localVarSigToken = 0;
    unsigned maxStack = 0;
    uint32_t headerFlags = 0;
    uint32_t codeSize = 0;
    ILInstruction sentinel;
    std::vector<EHClause> clauses;
    std::vector<ILInstruction*> offsetMap;
    std::vector<uint8_t> outBuffer;  // code of the last encoding
    unsigned instructionCount = 0;
    bool isTiny = false;
    IMethodMalloc* methodMalloc = nullptr;
    IMetaDataImport* metaDataImport = nullptr;
    IMetaDataEmit* metaDataEmit = nullptr;
    std::deque<ILInstruction> nodes;
    // A failed import leaves a partial list that must never be installed as the method's body.
    HRESULT importResult = S_OK;
};
