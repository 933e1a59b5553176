#include <gtest/gtest.h>

#include <deque>
#include <random>

#include "il/ILRewriter.h"
#include "il/IlTestBytes.h"
#include "support/FakeMetaDataEmit.h"
#include "support/FakeMetaDataImport.h"
#include "support/FakeProfilerInfo.h"

using namespace iltest;

namespace {

constexpr ModuleID kModule = 0x7F001000;
constexpr mdMethodDef kMethod = 0x06000042;

ILInstruction* NewNode(ILRewriter& rewriter, uint32_t opcode, int64_t operand = 0) {
    ILInstruction* node = rewriter.CreateNewILInstruction();
    node->opcode = opcode;
    node->operand = operand;
    return node;
}

Bytes Encoded(ILRewriter& rewriter) {
    Bytes body;
    EXPECT_EQ(rewriter.Encode(body), S_OK);
    return body;
}

Bytes CodeOf(const Bytes& body) {
    IlMethodDecoder decoder;
    EXPECT_EQ(qx::il::DecodeMethodBody(body.data(), body.size(), &decoder, nullptr), S_OK);
    if (decoder.code == nullptr) return {};
    return Bytes(decoder.code, decoder.code + decoder.header.codeSize);
}

std::vector<IlEHClause> ClausesOf(const Bytes& body) {
    IlMethodDecoder decoder;
    EXPECT_EQ(qx::il::DecodeMethodBody(body.data(), body.size(), &decoder, nullptr), S_OK);
    std::vector<IlEHClause> clauses;
    unsigned count = 0;
    if (decoder.eh != nullptr &&
        qx::il::ReadEHSection(decoder.eh, body.size() - static_cast<size_t>(decoder.eh - body.data()), &count)) {
        for (unsigned i = 0; i < count; ++i) {
            IlEHClause clause;
            clauses.push_back(*SectEH_EHClause(decoder.eh, i, &clause));
        }
    }
    return clauses;
}

void ExpectClause(const IlEHClause& actual, const IlEHClause& expected) {
    EXPECT_EQ(actual.flags, expected.flags);
    EXPECT_EQ(actual.tryOffset, expected.tryOffset);
    EXPECT_EQ(actual.tryLength, expected.tryLength);
    EXPECT_EQ(actual.handlerOffset, expected.handlerOffset);
    EXPECT_EQ(actual.handlerLength, expected.handlerLength);
    EXPECT_EQ(actual.classToken, expected.classToken);
}

// ---------------------------------------------------------------------------------------------
// Runtime fakes.

class FakeMalloc : public IMethodMalloc {
public:
    virtual ~FakeMalloc() = default;
    HRESULT QueryInterface(REFIID, void** ppv) override {
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return static_cast<ULONG>(++references); }
    ULONG Release() override {
        ++releases;
        return static_cast<ULONG>(--references);
    }
    PVOID Alloc(ULONG cb) override {
        if (fail) return nullptr;
        blocks.emplace_back(cb, 0);
        return blocks.back().data();
    }

    bool fail = false;
    int references = 0;
    int releases = 0;
    std::deque<Bytes> blocks;
};

class FakeEmit : public FakeMetaDataEmit {
public:
    ULONG AddRef() override { return static_cast<ULONG>(++references); }
    ULONG Release() override { return static_cast<ULONG>(--references); }
    HRESULT GetTokenFromSig(PCCOR_SIGNATURE pvSig, ULONG cbSig, mdSignature* pmsig) override {
        Count("GetTokenFromSig");
        signature.assign(pvSig, pvSig + cbSig);
        *pmsig = 0x11000077;
        return tokenResult;
    }

    int references = 0;
    HRESULT tokenResult = S_OK;
    Bytes signature;
};

class FakeImport : public FakeMetaDataImport {
public:
    explicit FakeImport(FakeEmit* emitter) : emit(emitter) {}

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (IsEqualGUID(*riid, IID_IMetaDataEmit) && emit != nullptr) {
            emit->AddRef();
            *ppv = static_cast<IMetaDataEmit*>(emit);
            return S_OK;
        }
        return FakeMetaDataImport::QueryInterface(riid, ppv);
    }
    HRESULT GetSigFromToken(mdSignature token, PCCOR_SIGNATURE* ppvSig, ULONG* pcbSig) override {
        Count("GetSigFromToken");
        if (token != sigToken) return E_FAIL;
        *ppvSig = localSig.data();
        *pcbSig = static_cast<ULONG>(localSig.size());
        return S_OK;
    }
    HRESULT GetMemberRefProps(mdMemberRef, mdToken*, WCHAR* name, ULONG cch, ULONG* pch, PCCOR_SIGNATURE*,
                              ULONG*) override {
        Count("GetMemberRefProps");
        return Name(u"Invoke", name, cch, pch);
    }
    HRESULT GetFieldProps(mdFieldDef, mdTypeDef*, WCHAR* name, ULONG cch, ULONG* pch, DWORD*, PCCOR_SIGNATURE*, ULONG*,
                          DWORD*, UVCP_CONSTANT*, ULONG*) override {
        Count("GetFieldProps");
        return Name(u"_count", name, cch, pch);
    }

    FakeEmit* emit;
    mdSignature sigToken = 0x11000005;
    Bytes localSig;
    HRESULT nameResult = S_OK;

private:
    HRESULT Name(std::u16string_view text, WCHAR* buffer, ULONG cch, ULONG* pch) {
        if (FAILED(nameResult)) return nameResult;
        *pch = static_cast<ULONG>(text.size() + 1);
        if (buffer != nullptr && cch > 0) {
            const size_t n = std::min<size_t>(cch - 1, text.size());
            std::copy(text.begin(), text.begin() + static_cast<long>(n), buffer);
            buffer[n] = 0;
        }
        return S_OK;
    }
};

class BodyInfo : public FakeProfilerInfo {
public:
    HRESULT GetILFunctionBody(ModuleID module, mdMethodDef method, LPCBYTE* header, ULONG* size) override {
        Count("GetILFunctionBody");
        if (module != kModule || method != kMethod || FAILED(bodyResult))
            return FAILED(bodyResult) ? bodyResult : E_FAIL;
        *header = current.data();
        *size = static_cast<ULONG>(current.size());
        return S_OK;
    }
    HRESULT GetILFunctionBodyAllocator(ModuleID module, IMethodMalloc** ppMalloc) override {
        Count("GetILFunctionBodyAllocator");
        if (module != kModule) return E_FAIL;
        allocator.AddRef();
        *ppMalloc = &allocator;
        return S_OK;
    }
    HRESULT SetILFunctionBody(ModuleID module, mdMethodDef method, LPCBYTE body) override {
        Count("SetILFunctionBody");
        if (module != kModule || method != kMethod) return E_FAIL;
        installed = body;
        return setResult;
    }
    HRESULT GetModuleMetaData(ModuleID module, DWORD flags, REFIID riid, IUnknown** out) override {
        Count("GetModuleMetaData");
        openFlags = flags;
        if (module != kModule || !IsEqualGUID(*riid, IID_IMetaDataImport)) return E_FAIL;
        if (FAILED(metaDataResult) || metaDataResult == S_FALSE) {
            *out = nullptr;
            return metaDataResult;
        }
        import.AddRef();
        *out = static_cast<IMetaDataImport*>(&import);
        return S_OK;
    }

    Bytes current;
    HRESULT bodyResult = S_OK;
    HRESULT setResult = S_OK;
    HRESULT metaDataResult = S_OK;
    DWORD openFlags = 0xFFFFFFFF;
    LPCBYTE installed = nullptr;
    FakeMalloc allocator;
    FakeEmit emit;
    FakeImport import{&emit};
};

class FakeFunctionControl : public ICorProfilerFunctionControl {
public:
    virtual ~FakeFunctionControl() = default;
    HRESULT QueryInterface(REFIID, void** ppv) override {
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return 1; }
    ULONG Release() override { return 1; }
    HRESULT SetCodegenFlags(DWORD) override { return E_FAIL; }
    HRESULT SetILFunctionBody(ULONG size, LPCBYTE body) override {
        ++calls;
        installed.assign(body, body + size);
        return result;
    }
    HRESULT SetILInstrumentedCodeMap(ULONG, COR_IL_MAP*) override { return E_FAIL; }

    int calls = 0;
    HRESULT result = S_OK;
    Bytes installed;
};

}  // namespace

// ---------------------------------------------------------------------------------------------
// Codec.

TEST(ILRewriterTest, TinyBodyIsExportedFatWithTheStackCountedOnImport) {
    ILRewriter rewriter(nullptr, nullptr, 0, 0);
    ASSERT_EQ(rewriter.ImportBody(TinyBody(Code({0x00, 0x17, 0x25, 0x26, 0x26, 0x2A})).data(), 7), S_OK);
    EXPECT_EQ(rewriter.GetInstructionCount(), 6u);
    const Bytes body = Encoded(rewriter);
    // ldc.i4.1 pushes 1 and dup 2 on top of the tiny header's 8.
    const Bytes expected{0x03, 0x30, 11, 0, 6, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x17, 0x25, 0x26, 0x26, 0x2A, 0, 0};
    EXPECT_EQ(body, expected);
}

TEST(ILRewriterTest, TinyRewriterExportsOneHeaderByteAndRefusesLongCode) {
    ILRewriter rewriter(nullptr, nullptr, 0, 0);
    rewriter.InitializeTiny();
    EXPECT_EQ(rewriter.GetMaxStack(), 8u);
    EXPECT_TRUE(rewriter.IsTiny());
    for (uint32_t opcode : {CEE_NOP, CEE_NOP, CEE_LDC_I4_1, CEE_POP, CEE_RET}) {
        rewriter.InsertBefore(rewriter.GetILList(), NewNode(rewriter, opcode));
    }
    EXPECT_EQ(Encoded(rewriter), (Bytes{(5 << 2) | 2, 0x00, 0x00, 0x17, 0x26, 0x2A}));

    rewriter.InitializeTiny();
    for (int i = 0; i < 12; ++i) rewriter.InsertBefore(rewriter.GetILList(), NewNode(rewriter, CEE_LDC_I4, i));
    rewriter.InsertBefore(rewriter.GetILList(), NewNode(rewriter, CEE_NOP));
    rewriter.InsertBefore(rewriter.GetILList(), NewNode(rewriter, CEE_NOP));
    rewriter.InsertBefore(rewriter.GetILList(), NewNode(rewriter, CEE_RET));
    Bytes body;
    EXPECT_EQ(rewriter.Encode(body), S_OK) << "63 bytes still fit";
    EXPECT_EQ(body[0], (63 << 2) | 2);
    rewriter.InsertBefore(rewriter.GetILList()->prev, NewNode(rewriter, CEE_NOP));
    EXPECT_EQ(rewriter.Encode(body), E_FAIL);
}

TEST(ILRewriterTest, WidensShortBranchesThatNoLongerFitAndRecomputesEveryOffset) {
    // 0: nop  1: ldc.i4.0  2: brtrue.s -> 0  4: leave.s -> 6  6: br.s -> 8  8: ret
    const Bytes code = Code({0x00, 0x16, 0x2D, 0xFC, 0xDE, 0x00, 0x2B, 0x00, 0x2A});
    ILRewriter rewriter(nullptr, nullptr, 0, 0);
    ASSERT_EQ(rewriter.ImportIL(code.data(), static_cast<uint32_t>(code.size())), S_OK);
    EXPECT_EQ(Encoded(rewriter).size(), 12u + 12u) << "unchanged code keeps its size";

    ILInstruction* ldc = rewriter.GetILInstructionFromOffset(1);
    ILInstruction* leave = rewriter.GetILInstructionFromOffset(4);
    for (int i = 0; i < 130; ++i) {
        rewriter.InsertAfter(ldc, NewNode(rewriter, CEE_NOP));
        rewriter.InsertAfter(leave, NewNode(rewriter, CEE_NOP));
    }
    const Bytes out = CodeOf(Encoded(rewriter));
    ASSERT_EQ(out.size(), 275u);
    EXPECT_EQ(out[132], 0x3A) << "brtrue.s becomes brtrue";
    EXPECT_EQ(static_cast<int32_t>(Get32(&out[133])), -137);
    EXPECT_EQ(out[137], 0xDD) << "leave.s becomes leave";
    EXPECT_EQ(Get32(&out[138]), 130u);
    EXPECT_EQ(out[272], 0x2B) << "a short branch that still fits stays short";
    EXPECT_EQ(out[273], 0x00);
    EXPECT_EQ(out[274], 0x2A);
    EXPECT_EQ(rewriter.GetILInstructionFromOffset(8)->offset, 274u);
}

TEST(ILRewriterTest, WideningOneBranchCanPushAnotherOutOfRange) {
    // 0: nop  1: br.s -> ret  3..123: nop  124: br.s -> 0 (-126)  126: ret
    Bytes code{0x00, 0x2B, 123};
    code.insert(code.end(), 121, 0x00);
    code.insert(code.end(), {0x2B, 0x82, 0x2A});
    ILRewriter rewriter(nullptr, nullptr, 0, 0);
    ASSERT_EQ(rewriter.ImportIL(code.data(), static_cast<uint32_t>(code.size())), S_OK);
    ASSERT_EQ(rewriter.GetILInstructionFromOffset(124)->target, rewriter.GetILInstructionFromOffset(0));
    // Five nops before the ret push only the forward branch out of range; once it is widened,
    // the backward branch, which spans it, no longer fits either.
    for (int i = 0; i < 5; ++i)
        rewriter.InsertBefore(rewriter.GetILInstructionFromOffset(126), NewNode(rewriter, CEE_NOP));
    const Bytes out = CodeOf(Encoded(rewriter));
    ASSERT_EQ(out.size(), code.size() + 5 + 6);
    EXPECT_EQ(out[1], 0x38);
    EXPECT_EQ(static_cast<int32_t>(Get32(&out[2])), 131);
    EXPECT_EQ(out[127], 0x38);
    EXPECT_EQ(static_cast<int32_t>(Get32(&out[128])), -132);
    EXPECT_EQ(out[137], 0x2A);
}

TEST(ILRewriterTest, SwitchTargetsAreRelativeToTheEndOfTheSwitch) {
    // 0: ldarg.0  1: switch(3) -> 18, 19, 20  18: nop  19: nop  20: ret
    const Bytes code = Code({0x02, 0x45, 3, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 0x00, 0x00, 0x2A});
    ILRewriter rewriter(nullptr, nullptr, 0, 0);
    ASSERT_EQ(rewriter.ImportIL(code.data(), static_cast<uint32_t>(code.size())), S_OK);
    EXPECT_EQ(CodeOf(Encoded(rewriter)), code);

    rewriter.InsertBefore(rewriter.GetILInstructionFromOffset(1), NewNode(rewriter, CEE_NOP));
    rewriter.InsertBefore(rewriter.GetILInstructionFromOffset(19), NewNode(rewriter, CEE_NOP));
    const Bytes expected =
        Code({0x02, 0x00, 0x45, 3, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0, 0x00, 0x00, 0x00, 0x2A});
    EXPECT_EQ(CodeOf(Encoded(rewriter)), expected);
}

TEST(ILRewriterTest, InsertingRaisesMaxStackByThePushes) {
    ILRewriter rewriter(nullptr, nullptr, 0, 0);
    ASSERT_EQ(rewriter.ImportBody(FatBody(Code({0x00, 0x2A}), {}, EHForm::Fat, 2).data(), 14), S_OK);
    EXPECT_EQ(rewriter.GetMaxStack(), 2u);
    rewriter.InsertBefore(rewriter.GetILList()->next, NewNode(rewriter, CEE_CALL, 0x0A000001));
    EXPECT_EQ(rewriter.GetMaxStack(), 3u);
    rewriter.InsertAfter(rewriter.GetILList()->next, NewNode(rewriter, CEE_DUP));
    rewriter.InsertAfter(rewriter.GetILList()->next, NewNode(rewriter, CEE_POP));
    EXPECT_EQ(rewriter.GetMaxStack(), 5u);
}

TEST(ILRewriterTest, MaxStackIsClampedToTheHeaderField) {
    ILRewriter rewriter(nullptr, nullptr, 0, 0);
    ASSERT_EQ(rewriter.ImportBody(FatBody(Code({0x2A})).data(), 13), S_OK);
    rewriter.SetMaxStack(70000);
    EXPECT_EQ(Get16(Encoded(rewriter).data() + 2), 0xFFFFu);
}

TEST(ILRewriterTest, KeepsOnlyInitLocalsAndTheLocalSignature) {
    ILRewriter rewriter(nullptr, nullptr, 0, 0);
    const Bytes input = FatBody(Code({0x2A}), {}, EHForm::Fat, 1, 0x11000003, 0x10 | 0x40);
    ASSERT_EQ(rewriter.ImportBody(input.data(), input.size()), S_OK);
    const Bytes body = Encoded(rewriter);
    EXPECT_EQ(Get16(body.data()), 0x3013u);
    EXPECT_EQ(Get32(body.data() + 8), 0x11000003u);
}

TEST(ILRewriterTest, NewLdcCarriesAPointer) {
    ILRewriter rewriter(nullptr, nullptr, 0, 0);
    rewriter.InitializeTiny();
    const void* pointer = reinterpret_cast<const void*>(uintptr_t{0x1122334455667788});
    rewriter.InsertBefore(rewriter.GetILList(), rewriter.NewLDC(pointer));
    rewriter.InsertBefore(rewriter.GetILList(), NewNode(rewriter, CEE_RET));
    EXPECT_EQ(Encoded(rewriter), (Bytes{(10 << 2) | 2, 0x21, 0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11, 0x2A}));
}

TEST(ILRewriterTest, MalformedCodeIsRejectedAndNeverEncoded) {
    const std::vector<Bytes> cases{
        Code({0x20, 0x01, 0x02}),  // operand past the end
        Code({0x00, 0xFE}),        // prefix without second byte
        Code({0xF8}),              // reserved one-byte opcode
        Code({0xFD}),
        Code({0xFE, 0x26}),                       // two-byte opcode above the table
        Code({0x45, 0x02, 0, 0, 0, 0, 0, 0, 0}),  // switch count larger than its targets
        Code({0x45, 0xFF, 0xFF, 0xFF, 0xFF}),     // switch count far past the code
        Code({0x45, 0x01, 0}),                    // switch count cut short
        Code({0x2B, 0x01, 0x20, 1, 2, 3, 4}),     // branch into an operand
        Code({0x2B, 0x05, 0x2A}),                 // branch past the end
        Code({0x2B, 0x80, 0x2A}),                 // branch before the start
        Code({0x38, 0xFF, 0xFF, 0xFF, 0x7F}),
        Code({0x45, 0x01, 0, 0, 0, 0x10, 0, 0, 0, 0x2A}),  // switch target past the end
    };
    for (const Bytes& code : cases) {
        GuardedBytes guarded(code);
        ILRewriter rewriter(nullptr, nullptr, 0, 0);
        EXPECT_EQ(rewriter.ImportIL(guarded.Data(), static_cast<uint32_t>(guarded.Size())), COR_E_INVALIDPROGRAM)
            << testing::PrintToString(code);
        EXPECT_EQ(rewriter.GetILList()->next, rewriter.GetILList());
        Bytes body;
        EXPECT_EQ(rewriter.Encode(body), COR_E_INVALIDPROGRAM);
        EXPECT_TRUE(body.empty());
    }
}

TEST(ILRewriterTest, BranchToTheEndOfTheCodeIsKept) {
    const Bytes code = Code({0x2B, 0x01, 0x2A});
    ILRewriter rewriter(nullptr, nullptr, 0, 0);
    ASSERT_EQ(rewriter.ImportIL(code.data(), 3), S_OK);
    EXPECT_EQ(rewriter.GetILInstructionFromOffset(0)->target, rewriter.GetILList());
    EXPECT_EQ(CodeOf(Encoded(rewriter)), code);
}

// ---------------------------------------------------------------------------------------------
// Exception clauses.

namespace {

// 0: nop  1: leave.s -> 6  3: pop  4: leave.s -> 6  6: ret
const Bytes kTryCatch = Code({0x00, 0xDE, 0x03, 0x26, 0xDE, 0x00, 0x2A});

}  // namespace

TEST(ILRewriterTest, ClausesInSmallAndFatFormRoundTripAsFat) {
    for (EHForm form : {EHForm::Small, EHForm::Fat}) {
        const IlEHClause clause = Clause(0, 0, 3, 3, 3, 0x01000009);
        const Bytes input = FatBody(kTryCatch, {clause}, form);
        ILRewriter rewriter(nullptr, nullptr, 0, 0);
        ASSERT_EQ(rewriter.ImportBody(input.data(), input.size()), S_OK);
        ASSERT_EQ(rewriter.GetEHCount(), 1u);
        const EHClause& imported = rewriter.GetEHClauses()[0];
        EXPECT_EQ(imported.tryBegin, rewriter.GetILInstructionFromOffset(0));
        EXPECT_EQ(imported.tryEnd, rewriter.GetILInstructionFromOffset(3));
        EXPECT_EQ(imported.handlerBegin, rewriter.GetILInstructionFromOffset(3));
        EXPECT_EQ(imported.handlerEnd, rewriter.GetILInstructionFromOffset(4));
        const Bytes body = Encoded(rewriter);
        EXPECT_EQ(body[0] & 0x8, 0x8);
        EXPECT_EQ(body[20], 0x41);
        EXPECT_EQ(body.size(), 12u + 8u + 28u);
        ExpectClause(ClausesOf(body).at(0), clause);
    }
}

TEST(ILRewriterTest, ClausesFollowTheirInstructionsThroughInsertions) {
    const IlEHClause filter = Clause(1, 0, 3, 3, 3, 6);
    Bytes code = kTryCatch;
    code.back() = 0x00;                           // 6: nop (filter start)
    code.insert(code.end(), {0xFE, 0x11, 0x2A});  // 7: endfilter  9: ret
    const Bytes input = FatBody(code, {Clause(0, 0, 3, 3, 3, 0x01000009), filter});
    ILRewriter rewriter(nullptr, nullptr, 0, 0);
    ASSERT_EQ(rewriter.ImportBody(input.data(), input.size()), S_OK);
    rewriter.InsertBefore(rewriter.GetILList()->next, NewNode(rewriter, CEE_LDC_I4, 7));       // before the try
    rewriter.InsertAfter(rewriter.GetILInstructionFromOffset(3), NewNode(rewriter, CEE_NOP));  // inside the handler
    const std::vector<IlEHClause> clauses = ClausesOf(Encoded(rewriter));
    ASSERT_EQ(clauses.size(), 2u);
    ExpectClause(clauses[0], Clause(0, 5, 3, 8, 4, 0x01000009));
    ExpectClause(clauses[1], Clause(1, 5, 3, 8, 4, 12));
}

TEST(ILRewriterTest, ClausesOffInstructionBoundariesAreRejected) {
    const std::vector<IlEHClause> bad{
        Clause(0, 2, 1, 3, 3, 0),   // try starts inside leave.s
        Clause(0, 0, 2, 3, 3, 0),   // try ends inside leave.s
        Clause(0, 0, 3, 5, 1, 0),   // handler starts inside leave.s
        Clause(0, 0, 3, 3, 2, 0),   // handler ends inside leave.s
        Clause(0, 0, 3, 3, 0, 0),   // empty handler
        Clause(0, 0, 3, 7, 1, 0),   // handler at the end of the code
        Clause(0, 0, 30, 3, 3, 0),  // try past the end
        Clause(0, 0xFFFFFFF0, 0x20, 3, 3, 0),
        Clause(1, 0, 3, 3, 3, 2),  // filter inside leave.s
    };
    for (const IlEHClause& clause : bad) {
        const Bytes input = FatBody(kTryCatch, {Clause(0, 0, 3, 3, 3, 0x01000009), clause});
        ILRewriter rewriter(nullptr, nullptr, 0, 0);
        EXPECT_EQ(rewriter.ImportBody(input.data(), input.size()), COR_E_INVALIDPROGRAM)
            << clause.tryOffset << " " << clause.tryLength << " " << clause.handlerOffset << " "
            << clause.handlerLength;
        Bytes body;
        EXPECT_EQ(rewriter.Encode(body), COR_E_INVALIDPROGRAM) << "code without its clauses must not be encoded";
    }
}

// ---------------------------------------------------------------------------------------------
// Lists built by callers.

TEST(ILRewriterTest, RejectsListsNoEncodingCanExpress) {
    ILRewriter rewriter(nullptr, nullptr, 0, 0);
    Bytes body;
    EXPECT_EQ(rewriter.Encode(body), COR_E_INVALIDPROGRAM) << "empty";

    rewriter.InitializeTiny();
    ILInstruction* branch = NewNode(rewriter, CEE_BR_S);
    branch->target = NewNode(rewriter, CEE_RET);  // never linked
    rewriter.InsertBefore(rewriter.GetILList(), branch);
    EXPECT_EQ(rewriter.Encode(body), COR_E_INVALIDPROGRAM) << "target outside the list";
    branch->target = nullptr;
    EXPECT_EQ(rewriter.Encode(body), COR_E_INVALIDPROGRAM) << "no target";

    rewriter.InitializeTiny();
    rewriter.InsertBefore(rewriter.GetILList(), NewNode(rewriter, 0x200));
    EXPECT_EQ(rewriter.Encode(body), COR_E_INVALIDPROGRAM) << "unknown opcode";

    rewriter.InitializeTiny();
    ILInstruction* ret = NewNode(rewriter, CEE_RET);
    rewriter.InsertBefore(rewriter.GetILList(), NewNode(rewriter, CEE_SWITCH, 2));
    ILInstruction* arg = NewNode(rewriter, CEE_SWITCH_ARG);
    arg->target = ret;
    rewriter.InsertBefore(rewriter.GetILList(), arg);
    rewriter.InsertBefore(rewriter.GetILList(), ret);
    EXPECT_EQ(rewriter.Encode(body), COR_E_INVALIDPROGRAM) << "switch count without as many targets";
}

// ---------------------------------------------------------------------------------------------
// Through the runtime's interfaces.

TEST(ILRewriterTest, ImportsAndInstallsThroughTheBodyAllocator) {
    BodyInfo info;
    info.current = FatBody(kTryCatch, {Clause(0, 0, 3, 3, 3, 0x01000009)});
    {
        ILRewriter rewriter(&info, nullptr, kModule, kMethod);
        ASSERT_EQ(rewriter.Import(), S_OK);
        Bytes expected = Encoded(rewriter);
        ASSERT_EQ(rewriter.Export(), S_OK);
        ASSERT_EQ(info.allocator.blocks.size(), 1u);
        EXPECT_EQ(info.allocator.blocks[0], expected);
        EXPECT_EQ(info.installed, info.allocator.blocks[0].data());
        ASSERT_EQ(rewriter.Export(), S_OK);
        EXPECT_EQ(info.Calls("GetILFunctionBodyAllocator"), 1) << "the allocator is kept";
        EXPECT_EQ(info.allocator.references, 1);
    }
    EXPECT_EQ(info.allocator.references, 0);
    EXPECT_EQ(info.allocator.releases, 1);
}

TEST(ILRewriterTest, ReportsRuntimeFailuresAndInstallsNothingOnThem) {
    BodyInfo info;
    info.current = TinyBody(Code({0x2A}));
    {
        ILRewriter rewriter(&info, nullptr, kModule, kMethod);
        info.bodyResult = static_cast<HRESULT>(0x80131354u);
        EXPECT_EQ(rewriter.Import(), static_cast<HRESULT>(0x80131354u));
        info.bodyResult = S_OK;
        ASSERT_EQ(rewriter.Import(), S_OK);
        info.allocator.fail = true;
        EXPECT_EQ(rewriter.Export(), E_OUTOFMEMORY);
        EXPECT_EQ(info.Calls("SetILFunctionBody"), 0);
        info.allocator.fail = false;
        info.setResult = E_INVALIDARG;
        EXPECT_EQ(rewriter.Export(), E_INVALIDARG);
    }
    info.current = Code({0x0A, 0x2A});  // tiny header announcing one code byte too many
    ILRewriter rewriter(&info, nullptr, kModule, kMethod);
    EXPECT_EQ(rewriter.Import(), COR_E_INVALIDPROGRAM);
    EXPECT_EQ(rewriter.Export(), COR_E_INVALIDPROGRAM);
    EXPECT_EQ(info.Calls("SetILFunctionBody"), 1);
}

TEST(ILRewriterTest, InstallsThroughFunctionControlWithACopiedBuffer) {
    BodyInfo info;
    info.current = TinyBody(Code({0x00, 0x2A}));
    FakeFunctionControl control;
    ILRewriter rewriter(&info, &control, kModule, kMethod);
    ASSERT_EQ(rewriter.Import(), S_OK);
    const Bytes expected = Encoded(rewriter);
    ASSERT_EQ(rewriter.Export(), S_OK);
    EXPECT_EQ(control.installed, expected);
    EXPECT_EQ(info.Calls("GetILFunctionBodyAllocator"), 0);
    EXPECT_EQ(info.Calls("SetILFunctionBody"), 0);
    control.result = E_FAIL;
    EXPECT_EQ(rewriter.Export(), E_FAIL);
}

TEST(ILRewriterTest, OpensMetadataForWritingAndReleasesItOnce) {
    BodyInfo info;
    {
        ILRewriter rewriter(&info, nullptr, kModule, kMethod);
        ASSERT_EQ(rewriter.Initialize(), S_OK);
        EXPECT_EQ(info.openFlags, static_cast<DWORD>(ofRead | ofWrite));
        EXPECT_EQ(rewriter.GetMetaDataImport(), static_cast<IMetaDataImport*>(&info.import));
        EXPECT_EQ(rewriter.GetMetaDataEmit(), static_cast<IMetaDataEmit*>(&info.emit));
        ASSERT_EQ(rewriter.Initialize(), S_OK);
        EXPECT_EQ(info.import.References(), 1);
        EXPECT_EQ(info.emit.references, 1);
    }
    EXPECT_EQ(info.import.References(), 0);
    EXPECT_EQ(info.emit.references, 0);

    info.metaDataResult = S_FALSE;  // resource-only module: success without an interface
    ILRewriter resourceOnly(&info, nullptr, kModule, kMethod);
    EXPECT_TRUE(FAILED(resourceOnly.Initialize()));
    info.metaDataResult = static_cast<HRESULT>(0x8013137Au);
    ILRewriter dynamic(&info, nullptr, kModule, kMethod);
    EXPECT_EQ(dynamic.Initialize(), static_cast<HRESULT>(0x8013137Au));
}

TEST(ILRewriterTest, EmitFailureStillReleasesTheImportInterface) {
    BodyInfo info;
    info.import.emit = nullptr;
    {
        ILRewriter rewriter(&info, nullptr, kModule, kMethod);
        EXPECT_EQ(rewriter.Initialize(), E_NOINTERFACE);
    }
    EXPECT_EQ(info.import.References(), 0);
}

TEST(ILRewriterTest, AddsAnInt32LocalToAMethodWithoutLocals) {
    BodyInfo info;
    ILRewriter rewriter(&info, nullptr, kModule, kMethod);
    ASSERT_EQ(rewriter.Initialize(), S_OK);
    EXPECT_EQ(rewriter.AddNewInt32Local(), 0u);
    EXPECT_EQ(info.emit.signature, (Bytes{0x07, 0x01, 0x08}));
    EXPECT_EQ(rewriter.GetLocalVarSigToken(), 0x11000077u);
    EXPECT_EQ(info.import.Calls("GetSigFromToken"), 0);
}

TEST(ILRewriterTest, AddsAnInt32LocalAfterExistingOnes) {
    BodyInfo info;
    ILRewriter rewriter(&info, nullptr, kModule, kMethod);
    ASSERT_EQ(rewriter.Initialize(), S_OK);
    rewriter.SetLocalVarSigToken(info.import.sigToken);

    info.import.localSig = {0x07, 0x02, 0x0E, 0x1C};
    EXPECT_EQ(rewriter.AddNewInt32Local(), 2u);
    EXPECT_EQ(info.emit.signature, (Bytes{0x07, 0x03, 0x0E, 0x1C, 0x08}));

    // 127 locals: the count 128 needs two bytes.
    rewriter.SetLocalVarSigToken(info.import.sigToken);
    info.import.localSig = {0x07, 0x7F};
    info.import.localSig.insert(info.import.localSig.end(), 127, 0x08);
    EXPECT_EQ(rewriter.AddNewInt32Local(), 127u);
    ASSERT_EQ(info.emit.signature.size(), 1u + 2u + 127u + 1u);
    EXPECT_EQ(info.emit.signature[1], 0x80);
    EXPECT_EQ(info.emit.signature[2], 0x80);

    // 0x3FFF locals: the count 0x4000 needs four bytes.
    rewriter.SetLocalVarSigToken(info.import.sigToken);
    info.import.localSig = {0x07, 0xBF, 0xFF, 0x08};
    EXPECT_EQ(rewriter.AddNewInt32Local(), 0x3FFFu);
    EXPECT_EQ(info.emit.signature, (Bytes{0x07, 0xC0, 0x00, 0x40, 0x00, 0x08, 0x08}));
}

TEST(ILRewriterTest, AddingALocalFailsDistinctlyFromIndexZero) {
    BodyInfo info;
    ILRewriter rewriter(&info, nullptr, kModule, kMethod);
    EXPECT_EQ(rewriter.AddNewInt32Local(), ILRewriter::InvalidLocalIndex) << "no metadata opened";
    ASSERT_EQ(rewriter.Initialize(), S_OK);

    rewriter.SetLocalVarSigToken(0x11000099);  // unknown to the metadata
    EXPECT_EQ(rewriter.AddNewInt32Local(), ILRewriter::InvalidLocalIndex);

    rewriter.SetLocalVarSigToken(info.import.sigToken);
    info.import.localSig = {0x06, 0x01, 0x08};  // a field signature, not locals
    EXPECT_EQ(rewriter.AddNewInt32Local(), ILRewriter::InvalidLocalIndex);
    info.import.localSig = {0x07, 0x80};  // count cut short
    EXPECT_EQ(rewriter.AddNewInt32Local(), ILRewriter::InvalidLocalIndex);
    info.import.localSig = {0x07, 0xC0, 0x00, 0xFF, 0xFE};  // 0xFFFE locals: no 16-bit index left
    EXPECT_EQ(rewriter.AddNewInt32Local(), ILRewriter::InvalidLocalIndex);
    info.import.localSig = {0x07, 0x01};
    info.import.localSig.insert(info.import.localSig.end(), 4094, 0x08);  // would grow past 4096
    EXPECT_EQ(rewriter.AddNewInt32Local(), ILRewriter::InvalidLocalIndex);

    info.import.localSig = {0x07, 0x01, 0x08};
    info.emit.tokenResult = E_FAIL;
    EXPECT_EQ(rewriter.AddNewInt32Local(), ILRewriter::InvalidLocalIndex);
    EXPECT_EQ(rewriter.GetLocalVarSigToken(), info.import.sigToken) << "token unchanged on failure";
}

TEST(ILRewriterTest, NamesMemberReferencesAndFieldsOnly) {
    BodyInfo info;
    ILRewriter rewriter(&info, nullptr, kModule, kMethod);
    WCHAR* none = rewriter.GetNameFromToken(0x0A000001);
    ASSERT_NE(none, nullptr);
    EXPECT_EQ(none[0], 0) << "no metadata opened";
    delete[] none;

    ASSERT_EQ(rewriter.Initialize(), S_OK);
    WCHAR* member = rewriter.GetNameFromToken(0x0A000001);
    EXPECT_EQ(std::u16string(member), u"Invoke");
    delete[] member;
    WCHAR* field = rewriter.GetNameFromToken(0x04000003);
    EXPECT_EQ(std::u16string(field), u"_count");
    delete[] field;
    WCHAR* method = rewriter.GetNameFromToken(0x06000001);
    EXPECT_EQ(std::u16string(method), u"");
    delete[] method;
    info.import.nameResult = E_FAIL;
    WCHAR* failed = rewriter.GetNameFromToken(0x0A000001);
    EXPECT_EQ(std::u16string(failed), u"");
    delete[] failed;
}

// ---------------------------------------------------------------------------------------------
// Damaged bodies.

// Random bytes overwritten anywhere in valid bodies, which are also cut short: the import either
// fails or gives a list that encodes to a readable body, and it never reads outside the bytes.
TEST(ILRewriterTest, CorruptedBodiesNeverReadOutsideTheirBytes) {
    const Bytes switchCode = Code({0x02, 0x45, 3, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 0x00, 0x00, 0x2A});
    const Bytes twoByte = Code({0xFE, 0x0C, 0x34, 0x12, 0x21, 1, 2, 3, 4, 5, 6, 7, 8, 0xFE, 0x16, 5, 0, 0, 2, 0x2A});
    const std::vector<Bytes> samples{
        FatBody(kTryCatch, {Clause(0, 0, 3, 3, 3, 0x01000009)}, EHForm::Small),
        FatBody(kTryCatch, {Clause(1, 0, 3, 3, 3, 6)}, EHForm::Fat),
        FatBody(switchCode),
        TinyBody(twoByte),
    };
    std::mt19937 random(77);
    for (int round = 0; round < 2000; ++round) {
        Bytes body = samples[static_cast<size_t>(round) % samples.size()];
        const int flips = 1 + static_cast<int>(random() % 3);
        for (int k = 0; k < flips; ++k) body[random() % body.size()] = static_cast<uint8_t>(random());
        body.resize(body.size() - random() % 3);
        GuardedBytes guarded(body);
        ILRewriter rewriter(nullptr, nullptr, 0, 0);
        const HRESULT imported = rewriter.ImportBody(guarded.Data(), guarded.Size());
        Bytes out;
        const HRESULT encoded = rewriter.Encode(out);
        if (FAILED(imported)) {
            EXPECT_EQ(encoded, imported);
        } else if (SUCCEEDED(encoded)) {
            IlMethodDecoder decoder;
            EXPECT_EQ(qx::il::DecodeMethodBody(out.data(), out.size(), &decoder, nullptr), S_OK);
        }
    }
}
