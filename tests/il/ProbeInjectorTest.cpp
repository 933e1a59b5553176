#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "il/IlTestBytes.h"
#include "il/ProbeInjector.h"
#include "support/FakeMetaDataAssembly.h"
#include "support/FakeMetaDataEmit.h"
#include "support/FakeMetaDataImport.h"
#include "support/FakeProfilerInfo.h"

using namespace iltest;

namespace {

constexpr ModuleID kModule = 0x7F0020003000;
constexpr mdMethodDef kMethod = 0x06000021;
constexpr uint32_t kId = 0x1234;
constexpr mdSignature kLocals = 0x11000005;
constexpr mdSignature kIdSig = 0x11000020;
constexpr mdSignature kValueSig = 0x11000021;
constexpr ProbeModuleTokens kTokens{0x01000010, 0x01000011, kIdSig, kValueSig, kValueSig};

void Enter(uint32_t) {}
void Leave(uint32_t) {}
void Tailcall(uint32_t) {}
void EnterArguments(const ProbeArgumentRange*, uint32_t, uint32_t) {}
void LeaveValue(const void*, uint32_t, uint32_t) {}
constexpr ProbeTargets kTargets{Enter, Leave, Tailcall, EnterArguments, LeaveValue};

int64_t Address(const void* target) { return static_cast<int64_t>(reinterpret_cast<intptr_t>(target)); }
int64_t Address(void (*target)(uint32_t)) { return Address(reinterpret_cast<const void*>(target)); }

// One decoded instruction; a branch's operand is its target's offset.
struct Op {
    uint32_t opcode;
    int64_t operand;
    bool operator==(const Op& other) const { return opcode == other.opcode && operand == other.operand; }
};
using Ops = std::vector<Op>;

std::ostream& operator<<(std::ostream& out, const Op& op) {
    return out << "{0x" << std::hex << op.opcode << ", " << std::dec << op.operand << "}";
}

Bytes operator+(Bytes left, const Bytes& right) {
    left.insert(left.end(), right.begin(), right.end());
    return left;
}

// The expected list is a braced expression, which the assertion macros would split at its commas.
#define EXPECT_OPS(actual, ...) EXPECT_EQ(actual, (__VA_ARGS__))

Ops operator+(Ops left, const Ops& right) {
    left.insert(left.end(), right.begin(), right.end());
    return left;
}

// ldc.i4 id; ldc.i8 target; conv.i; calli signature: 20 bytes.
Ops IdProbe(void (*target)(uint32_t), uint32_t id = kId) {
    return {{CEE_LDC_I4, id}, {CEE_LDC_I8, Address(target)}, {CEE_CONV_I, 0}, {CEE_CALLI, kIdSig}};
}
constexpr uint32_t kIdProbeSize = 20;

Ops Call(const void* target, mdSignature signature = kValueSig) {
    return {{CEE_LDC_I4, kId}, {CEE_LDC_I8, Address(target)}, {CEE_CONV_I, 0}, {CEE_CALLI, signature}};
}

struct Decoded {
    Ops ops;
    std::vector<uint32_t> offsets;
    IlMethodFat header{};
    std::vector<IlEHClause> clauses;
};

Decoded Decode(const Bytes& body) {
    Decoded decoded;
    IlMethodDecoder decoder;
    EXPECT_EQ(qx::il::DecodeMethodBody(body.data(), body.size(), &decoder, nullptr), S_OK);
    decoded.header = decoder.header;
    ILRewriter reader(nullptr, nullptr, 0, 0);
    EXPECT_EQ(reader.ImportBody(body.data(), body.size()), S_OK);
    for (ILInstruction* node = reader.GetILList()->next; node != reader.GetILList(); node = node->next) {
        const bool branch = (ILFlagsOf(node->opcode) & ILFlagBranch) != 0;
        decoded.ops.push_back({node->opcode, branch ? static_cast<int64_t>(node->target->offset) : node->operand});
        decoded.offsets.push_back(node->offset);
    }
    unsigned count = 0;
    if (decoder.eh != nullptr &&
        qx::il::ReadEHSection(decoder.eh, body.size() - static_cast<size_t>(decoder.eh - body.data()), &count)) {
        for (unsigned i = 0; i < count; ++i) {
            IlEHClause clause;
            decoded.clauses.push_back(*SectEH_EHClause(decoder.eh, i, &clause));
        }
    }
    return decoded;
}

// ---------------------------------------------------------------------------------------------
// Metadata fakes.

class Emit : public FakeMetaDataEmit {
public:
    HRESULT GetTokenFromSig(PCCOR_SIGNATURE sig, ULONG length, mdSignature* token) override {
        Count("GetTokenFromSig");
        signatures.emplace_back(sig, sig + length);
        *token = 0x11000040 + static_cast<mdSignature>(signatures.size());
        return signatureResult;
    }
    HRESULT GetTokenFromTypeSpec(PCCOR_SIGNATURE sig, ULONG length, mdTypeSpec* token) override {
        Count("GetTokenFromTypeSpec");
        typeSpecs.emplace_back(sig, sig + length);
        *token = 0x1B000000 + static_cast<mdTypeSpec>(typeSpecs.size());
        return S_OK;
    }
    HRESULT DefineTypeRefByName(mdToken scope, LPCWSTR name, mdTypeRef* token) override {
        Count("DefineTypeRefByName");
        definedRefs.push_back({scope, name});
        *token = 0x01000012 + static_cast<mdTypeRef>(definedRefs.size());
        return defineResult;
    }

    std::vector<Bytes> signatures;
    std::vector<Bytes> typeSpecs;
    std::vector<std::pair<mdToken, std::u16string>> definedRefs;
    HRESULT signatureResult = S_OK;
    HRESULT defineResult = S_OK;
};

class Import : public FakeMetaDataImport {
public:
    explicit Import(Emit* emitter) : emit(emitter) {}
    HRESULT QueryInterface(REFIID riid, void** out) override {
        if (IsEqualGUID(*riid, IID_IMetaDataEmit)) {
            *out = static_cast<IMetaDataEmit*>(emit);
            return S_OK;
        }
        return FakeMetaDataImport::QueryInterface(riid, out);
    }
    HRESULT GetSigFromToken(mdSignature token, PCCOR_SIGNATURE* sig, ULONG* length) override {
        Count("GetSigFromToken");
        if (token != kLocals) return E_FAIL;
        *sig = locals.data();
        *length = static_cast<ULONG>(locals.size());
        return S_OK;
    }
    HRESULT FindTypeRef(mdToken scope, LPCWSTR name, mdTypeRef* token) override {
        Count("FindTypeRef");
        for (const auto& [refScope, refName, ref] : typeRefs) {
            if (refScope == scope && refName == name) {
                *token = ref;
                return S_OK;
            }
        }
        return CLDB_E_RECORD_NOTFOUND;
    }
    HRESULT FindTypeDefByName(LPCWSTR name, mdToken, mdTypeDef* token) override {
        Count("FindTypeDefByName");
        const std::u16string text(name);
        if (text == u"System.Runtime.CompilerServices.CallConvCdecl")
            *token = 0x02000040;
        else if (text == u"System.Runtime.CompilerServices.CallConvSuppressGCTransition")
            *token = 0x02000041;
        else
            return CLDB_E_RECORD_NOTFOUND;
        return S_OK;
    }

    Emit* emit;
    Bytes locals{0x07, 0x02, 0x08, 0x0E};
    std::vector<std::tuple<mdToken, std::u16string, mdTypeRef>> typeRefs;
};

class Info : public FakeProfilerInfo {
public:
    HRESULT GetModuleMetaData(ModuleID, DWORD, REFIID, IUnknown** out) override {
        *out = static_cast<IMetaDataImport*>(&import);
        return S_OK;
    }
    Emit emit;
    Import import{&emit};
};

class AssemblyImport : public FakeMetaDataAssemblyImport {
public:
    HRESULT EnumAssemblyRefs(HCORENUM* enumerator, mdAssemblyRef* refs, ULONG max, ULONG* count) override {
        Count("EnumAssemblyRefs");
        if (*enumerator == nullptr) position = 0;
        size_t& next = position;
        *enumerator = &position;
        *count = 0;
        while (next < names.size() && *count < max) refs[(*count)++] = 0x23000001 + static_cast<mdToken>(next++);
        return *count == 0 ? S_FALSE : S_OK;
    }
    HRESULT GetAssemblyRefProps(mdAssemblyRef ref, const void**, ULONG*, WCHAR* name, ULONG capacity, ULONG* length,
                                ASSEMBLYMETADATA*, const void**, ULONG*, DWORD*) override {
        Count("GetAssemblyRefProps");
        const std::u16string& text = names.at(RidFromToken(ref) - 1);
        const size_t n = std::min<size_t>(capacity - 1, text.size());
        std::copy(text.begin(), text.begin() + static_cast<long>(n), name);
        name[n] = 0;
        *length = static_cast<ULONG>(text.size() + 1);
        return S_OK;
    }

    std::vector<std::u16string> names;
    size_t position = 0;
};

class AssemblyEmit : public FakeMetaDataAssemblyEmit {
public:
    HRESULT DefineAssemblyRef(const void* key, ULONG keyLength, LPCWSTR name, const ASSEMBLYMETADATA* metadata,
                              const void*, ULONG, DWORD, mdAssemblyRef* ref) override {
        Count("DefineAssemblyRef");
        publicKeyToken.assign(static_cast<const uint8_t*>(key), static_cast<const uint8_t*>(key) + keyLength);
        definedName = name;
        major = metadata->usMajorVersion;
        *ref = 0x23000009;
        return S_OK;
    }
    Bytes publicKeyToken;
    std::u16string definedName;
    int major = -1;
};

// A body imported into a rewriter whose metadata is the fakes'.
struct Method {
    explicit Method(const Bytes& body) : rewriter(&info, nullptr, kModule, kMethod) {
        EXPECT_EQ(rewriter.Initialize(), S_OK);
        EXPECT_EQ(rewriter.ImportBody(body.data(), body.size()), S_OK);
        stackBefore = rewriter.GetMaxStack();
    }
    HRESULT Inject(const ProbeRequest& request, const ProbeTargets& targets = kTargets) {
        return ProbeInjector::Inject(rewriter, kTokens, targets, request);
    }
    Decoded Encoded() {
        Bytes body;
        EXPECT_EQ(rewriter.Encode(body), S_OK);
        return Decode(body);
    }

    Info info;
    ILRewriter rewriter;
    unsigned stackBefore = 0;
};

ProbeRequest Plain() {
    ProbeRequest request;
    request.recordId = kId;
    return request;
}

ProbeRequest Monitored(const Bytes& signature) {
    ProbeRequest request = Plain();
    request.passValues = true;
    request.signature = signature.data();
    request.signatureLength = static_cast<ULONG>(signature.size());
    return request;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Plain probes.

TEST(ProbeInjectorTest, TinyVoidBodyGetsEnterAndLeaveAndComesOutFat) {
    Method method(TinyBody(Code({0x00, 0x2A})));  // nop; ret
    ASSERT_EQ(method.Inject(Plain()), S_OK);
    const Decoded out = method.Encoded();
    EXPECT_OPS(out.ops, IdProbe(Enter) + Ops{{CEE_NOP, 0}, {CEE_NOP, 0}} + IdProbe(Leave) + Ops{{CEE_RET, 0}});
    EXPECT_EQ(out.header.maxStack, method.stackBefore + 2);
    EXPECT_EQ(out.header.localVarSigToken, 0u);
    EXPECT_EQ(method.info.emit.Calls("GetTokenFromSig"), 0) << "plain probes need no metadata";
}

// 0: ldarg.0; ldc.i4.1; sub; dup; starg.s 0; brtrue.s 0; ldc.i4.7; ret
TEST(ProbeInjectorTest, LoopBackToOffsetZeroSkipsTheEnterProbeAndTheValueStaysUnderTheLeaveProbe) {
    Method method(FatBody(Code({0x02, 0x17, 0x59, 0x25, 0x10, 0x00, 0x2D, 0xF8, 0x1D, 0x2A})));
    ASSERT_EQ(method.Inject(Plain()), S_OK);
    const Decoded out = method.Encoded();
    const uint32_t loop = kIdProbeSize;
    EXPECT_OPS(out.ops, IdProbe(Enter) +
                            Ops{{CEE_LDARG_0, 0},
                                {CEE_LDC_I4_1, 0},
                                {CEE_SUB, 0},
                                {CEE_DUP, 0},
                                {CEE_STARG_S, 0},
                                {CEE_BRTRUE_S, loop},
                                {CEE_LDC_I4_7, 0},
                                {CEE_NOP, 0}} +
                            IdProbe(Leave) + Ops{{CEE_RET, 0}});
    EXPECT_EQ(out.offsets[4], loop) << "the loop starts at the original first instruction";
}

// ldarg.0; switch (L0..L5); br.s R; Lk: ldc.i4.k; ret; ... R: ldc.i4.m1; ret. Switch targets and
// branches to a ret's instruction keep reaching it through its leave probe, and the br.s over six
// probed returns no longer fits in a byte.
TEST(ProbeInjectorTest, SwitchAndBranchesToReturnsGoThroughTheLeaveProbesAndShortBranchesWiden) {
    Bytes code = Code({0x02, 0x45, 6, 0, 0, 0});
    for (int k = 1; k <= 6; ++k) Put32(code, static_cast<uint32_t>(2 * k));  // relative to 30
    code = code + Code({0x2B, 12});                                          // 30: br.s 44
    for (int k = 0; k < 6; ++k) code = code + Code({0x16 + k, 0x2A});        // 32 + 2k
    code = code + Code({0x15, 0x2A});                                        // 44
    Method method(FatBody(code));
    ASSERT_EQ(method.Inject(Plain()), S_OK);
    const Decoded out = method.Encoded();
    ASSERT_EQ(out.ops.size(), 4u + 2u + 6u + 1u + 7u * 7u);
    // enter(20) ldarg.0(1) switch(29) br(5) = 55 for L0; each probed return block is 2 + 20 + 1.
    for (uint32_t k = 0; k < 6; ++k) EXPECT_EQ(out.ops[6 + k], (Op{CEE_SWITCH_ARG, 55 + 23 * k})) << k;
    EXPECT_EQ(out.ops[12], (Op{CEE_BR, 55 + 23 * 6})) << "widened";
    EXPECT_OPS(Ops(out.ops.begin() + 13, out.ops.begin() + 20),
               Ops{{CEE_LDC_I4_0, 0}, {CEE_NOP, 0}} + IdProbe(Leave) + Ops{{CEE_RET, 0}});
    EXPECT_EQ(out.offsets.back() + 1, 55u + 23u * 7u);
}

// try { nop; leave.s R } finally { nop; endfinally } R: ret — the try starts at offset 0, and
// the leave to the ret reaches the leave probe outside the protected blocks.
TEST(ProbeInjectorTest, TryFinallyAtOffsetZeroStaysAfterTheEnterProbe) {
    const Bytes code = Code({0x00, 0xDE, 0x02, 0x00, 0xDC, 0x2A});
    Method method(FatBody(code, {Clause(COR_ILEXCEPTION_CLAUSE_FINALLY, 0, 3, 3, 2)}));
    ASSERT_EQ(method.Inject(Plain()), S_OK);
    const Decoded out = method.Encoded();
    const uint32_t start = kIdProbeSize;
    EXPECT_OPS(out.ops,
               IdProbe(Enter) +
                   Ops{{CEE_NOP, 0}, {CEE_LEAVE_S, start + 5}, {CEE_NOP, 0}, {CEE_ENDFINALLY, 0}, {CEE_NOP, 0}} +
                   IdProbe(Leave) + Ops{{CEE_RET, 0}});
    ASSERT_EQ(out.clauses.size(), 1u);
    EXPECT_EQ(out.clauses[0].tryOffset, start);
    EXPECT_EQ(out.clauses[0].tryLength, 3u);
    EXPECT_EQ(out.clauses[0].handlerOffset, start + 3);
    EXPECT_EQ(out.clauses[0].handlerLength, 2u);
}

// try { ldarg.0; stloc.0; leave.s R } catch { pop; ldc.i4.m1; stloc.0; leave.s R } R: ldloc.0; ret
TEST(ProbeInjectorTest, TryCatchAtOffsetZeroKeepsItsClauseShape) {
    const Bytes code = Code({0x02, 0x0A, 0xDE, 0x05, 0x26, 0x15, 0x0A, 0xDE, 0x00, 0x06, 0x2A});
    Method method(FatBody(code, {Clause(COR_ILEXCEPTION_CLAUSE_NONE, 0, 4, 4, 5, 0x01000007)}, EHForm::Small));
    ASSERT_EQ(method.Inject(Plain()), S_OK);
    const Decoded out = method.Encoded();
    ASSERT_EQ(out.clauses.size(), 1u);
    EXPECT_EQ(out.clauses[0].tryOffset, kIdProbeSize);
    EXPECT_EQ(out.clauses[0].tryLength, 4u);
    EXPECT_EQ(out.clauses[0].handlerOffset, kIdProbeSize + 4);
    EXPECT_EQ(out.clauses[0].handlerLength, 5u);
    EXPECT_EQ(out.clauses[0].classToken, 0x01000007u);
    EXPECT_EQ(out.ops[6], (Op{CEE_LEAVE_S, kIdProbeSize + 9}));
    EXPECT_EQ(out.ops[10], (Op{CEE_LEAVE_S, kIdProbeSize + 9}));
    EXPECT_OPS(Ops(out.ops.begin() + 11, out.ops.end()),
               Ops{{CEE_LDLOC_0, 0}, {CEE_NOP, 0}} + IdProbe(Leave) + Ops{{CEE_RET, 0}});
}

TEST(ProbeInjectorTest, MethodThatOnlyThrowsGetsTheEnterProbeOnly) {
    Method method(TinyBody(Code({0x14, 0x7A})));  // ldnull; throw
    ASSERT_EQ(method.Inject(Plain()), S_OK);
    EXPECT_OPS(method.Encoded().ops, IdProbe(Enter) + Ops{{CEE_LDNULL, 0}, {CEE_THROW, 0}});
}

// ---------------------------------------------------------------------------------------------
// Tail calls.

// ldarg.0; brtrue.s R; tail. call X; R: ret — the tail call reports instead of leaving, the
// branch to its ret gets a leave probe of its own.
TEST(ProbeInjectorTest, TailCallGetsItsProbeBeforeThePrefixAndItsRetNoLeaveProbe) {
    const Bytes code = Code({0x02, 0x2D, 0x07, 0xFE, 0x14, 0x28, 0x01, 0x00, 0x00, 0x0A, 0x2A});
    Method method(FatBody(code));
    ASSERT_EQ(method.Inject(Plain()), S_OK);
    const Decoded out = method.Encoded();
    // enter(20) ldarg.0(1) brtrue.s(2) nop(1) probe(20) tail.(2) call(5) ret(1)
    const uint32_t block = 20 + 1 + 2 + 1 + 20 + 2 + 5 + 1;
    EXPECT_OPS(out.ops, IdProbe(Enter) + Ops{{CEE_LDARG_0, 0}, {CEE_BRTRUE_S, block}, {CEE_NOP, 0}} +
                            IdProbe(Tailcall) + Ops{{CEE_TAILCALL, 0}, {CEE_CALL, 0x0A000001}, {CEE_RET, 0}} +
                            IdProbe(Leave) + Ops{{CEE_RET, 0}});
}

TEST(ProbeInjectorTest, JmpIsReportedAsATailCall) {
    Method method(TinyBody(Code({0x27, 0x02, 0x00, 0x00, 0x06})));
    ASSERT_EQ(method.Inject(Plain()), S_OK);
    EXPECT_OPS(method.Encoded().ops,
               IdProbe(Enter) + Ops{{CEE_NOP, 0}} + IdProbe(Tailcall) + Ops{{CEE_JMP, 0x06000002}});

    Method untargeted(TinyBody(Code({0x27, 0x02, 0x00, 0x00, 0x06})));
    ProbeTargets targets = kTargets;
    targets.tailcall = nullptr;
    EXPECT_EQ(untargeted.Inject(Plain(), targets), E_INVALIDARG);
}

// ---------------------------------------------------------------------------------------------
// Monitored methods.

Ops Range(uint32_t index, const Ops& size) {
    Ops ops{{CEE_DUP, 0}};
    if (index != 0) {
        ops = ops + Ops{{CEE_LDC_I4_S, 16 * index}, {CEE_ADD, 0}};
    }
    const int64_t lengthAt = 16 * index + 8;
    return ops + Ops{{CEE_LDARGA_S, index}, {CEE_CONV_U, 0}, {CEE_STIND_I, 0}, {CEE_DUP, 0}} +
           (lengthAt == 8 ? Ops{{CEE_LDC_I4_8, 0}} : Ops{{CEE_LDC_I4_S, lengthAt}}) + Ops{{CEE_ADD, 0}} + size +
           Ops{{CEE_STIND_I4, 0}};
}

// int32 C::M<T>(string, modopt(X) int32, Point, !!0, List<int>, KeyValuePair<int, !!0>, int32&)
TEST(ProbeInjectorTest, MonitoredInstanceMethodPassesEveryArgumentWithItsSizeAndTheReturnValue) {
    const Bytes signature{0x30, 0x01, 0x07,                                   // instance generic, 1 type, 7 parameters
                          0x08,                                               // returns int32
                          0x0E,                                               // string
                          0x20, 0x09, 0x08,                                   // modopt(TypeRef 2) int32
                          0x11, 0x15,                                         // valuetype TypeRef 5
                          0x1E, 0x00,                                         // !!0
                          0x15, 0x12, 0x18, 0x01, 0x08,                       // List<int32> (class TypeRef 6)
                          0x15, 0x11, 0x1C, 0x02, 0x08, 0x1E, 0x00,           // KeyValuePair<int32, !!0>
                          0x10, 0x08};                                        // ref int32
    Method method(FatBody(Code({0x17, 0x2A}), {}, EHForm::Fat, 1, kLocals));  // ldc.i4.1; ret
    ASSERT_EQ(method.Inject(Monitored(signature)), S_OK);
    const Decoded out = method.Encoded();

    const Ops c8{{CEE_LDC_I4_8, 0}}, c4{{CEE_LDC_I4_4, 0}};
    const Ops enter = Ops{{CEE_LDC_I4, 8 * 16}, {CEE_CONV_U, 0}, {CEE_LOCALLOC, 0}} + Range(0, c8) + Range(1, c8) +
                      Range(2, c4) + Range(3, {{CEE_SIZEOF, 0x01000005}}) + Range(4, {{CEE_SIZEOF, 0x1B000001}}) +
                      Range(5, c8) + Range(6, {{CEE_SIZEOF, 0x1B000002}}) + Range(7, c8) + Ops{{CEE_LDC_I4_8, 0}} +
                      Call(reinterpret_cast<const void*>(EnterArguments));
    const Ops leave = Ops{{CEE_STLOC_S, 2}, {CEE_LDLOCA_S, 2}, {CEE_CONV_U, 0}, {CEE_LDC_I4_4, 0}} +
                      Call(reinterpret_cast<const void*>(LeaveValue)) + Ops{{CEE_LDLOC_S, 2}};
    EXPECT_OPS(out.ops, enter + Ops{{CEE_LDC_I4_1, 0}, {CEE_NOP, 0}} + leave + Ops{{CEE_RET, 0}});

    EXPECT_EQ(method.info.emit.typeSpecs,
              (std::vector<Bytes>{{0x1E, 0x00}, {0x15, 0x11, 0x1C, 0x02, 0x08, 0x1E, 0x00}}));
    // The return value's local follows the two there were.
    ASSERT_EQ(method.info.emit.signatures.size(), 1u);
    EXPECT_EQ(method.info.emit.signatures[0], (Bytes{0x07, 0x03, 0x08, 0x0E, 0x08}));
    EXPECT_EQ(out.header.localVarSigToken, 0x11000041u);
    EXPECT_EQ(out.header.maxStack, method.stackBefore + 4);
}

// valuetype Point M() and void M(): the value's size comes from the type; a void method passes a
// null address of length 0, and zero arguments a null block.
TEST(ProbeInjectorTest, MonitoredStaticMethodsWithoutArgumentsOrValue) {
    Method point(FatBody(Code({0x06, 0x2A}), {}, EHForm::Fat, 1, kLocals));  // ldloc.0; ret
    point.info.import.locals = {0x07, 0x01, 0x11, 0x15};
    const Bytes pointSignature{0x00, 0x00, 0x20, 0x09, 0x11, 0x15};
    ASSERT_EQ(point.Inject(Monitored(pointSignature)), S_OK);
    const Ops none = Ops{{CEE_LDC_I4_0, 0}, {CEE_CONV_U, 0}, {CEE_LDC_I4_0, 0}};
    EXPECT_OPS(point.Encoded().ops, none + Call(reinterpret_cast<const void*>(EnterArguments)) +
                                        Ops{{CEE_LDLOC_0, 0},
                                            {CEE_NOP, 0},
                                            {CEE_STLOC_S, 1},
                                            {CEE_LDLOCA_S, 1},
                                            {CEE_CONV_U, 0},
                                            {CEE_SIZEOF, 0x01000005}} +
                                        Call(reinterpret_cast<const void*>(LeaveValue)) +
                                        Ops{{CEE_LDLOC_S, 1}, {CEE_RET, 0}});
    // Leading modifiers belong to the signature, not to the local.
    EXPECT_EQ(point.info.emit.signatures.at(0), (Bytes{0x07, 0x02, 0x11, 0x15, 0x11, 0x15}));

    Method empty(TinyBody(Code({0x2A})));
    const Bytes voidSignature{0x00, 0x00, 0x01};
    ASSERT_EQ(empty.Inject(Monitored(voidSignature)), S_OK);
    EXPECT_OPS(empty.Encoded().ops, none + Call(reinterpret_cast<const void*>(EnterArguments)) + Ops{{CEE_NOP, 0}} +
                                        none + Call(reinterpret_cast<const void*>(LeaveValue)) + Ops{{CEE_RET, 0}});
    EXPECT_EQ(empty.info.emit.Calls("GetTokenFromSig"), 0) << "no local for a void method";
}

// ---------------------------------------------------------------------------------------------
// Failures leave the body as it was.

TEST(ProbeInjectorTest, FailuresChangeNothing) {
    const Bytes body = FatBody(Code({0x02, 0x2D, 0x01, 0x2A, 0x17, 0x26, 0x2A}), {}, EHForm::Fat, 2, kLocals);
    auto unchanged = [&](const char* what, HRESULT expected, auto&& setUp) {
        Method method(body);
        Bytes before;
        ASSERT_EQ(method.rewriter.Encode(before), S_OK);
        ProbeRequest request = Plain();
        ProbeTargets targets = kTargets;
        Bytes signature;
        setUp(method, request, targets, signature);
        if (!signature.empty()) {
            request.signature = signature.data();
            request.signatureLength = static_cast<ULONG>(signature.size());
        }
        EXPECT_EQ(method.Inject(request, targets), expected) << what;
        Bytes after;
        ASSERT_EQ(method.rewriter.Encode(after), S_OK);
        EXPECT_EQ(after, before) << what;
    };
    using R = ProbeRequest&;
    using T = ProbeTargets&;
    using S = Bytes&;
    unchanged("cut-short signature", META_E_BAD_SIGNATURE, [](Method&, R r, T, S s) {
        r.passValues = true;
        s = {0x20, 0x02, 0x08, 0x11};
    });
    unchanged("field signature", META_E_BAD_SIGNATURE, [](Method&, R r, T, S s) {
        r.passValues = true;
        s = {0x06, 0x08};
    });
    unchanged("unknown element type", META_E_BAD_SIGNATURE, [](Method&, R r, T, S s) {
        r.passValues = true;
        s = {0x00, 0x01, 0x01, 0x22};
    });
    unchanged("no signature", E_INVALIDARG, [](Method&, R r, T, S) { r.passValues = true; });
    unchanged("no room for another local", E_FAIL, [](Method& m, R r, T, S s) {
        r.passValues = true;
        s = {0x00, 0x00, 0x08};
        m.info.import.locals = {0x07, 0xC0, 0x00, 0xFF, 0xFE};
    });
    unchanged("local signature not stored", E_FAIL, [](Method& m, R r, T, S s) {
        r.passValues = true;
        s = {0x00, 0x00, 0x08};
        m.info.emit.signatureResult = E_FAIL;
    });
    unchanged("no leave target", E_INVALIDARG, [](Method&, R, T t, S) { t.leave = nullptr; });

    ILRewriter nothing(nullptr, nullptr, 0, 0);
    EXPECT_EQ(ProbeInjector::Inject(nothing, kTokens, kTargets, Plain()), COR_E_INVALIDPROGRAM);
}

// ---------------------------------------------------------------------------------------------
// Module preparation.

struct Module {
    HRESULT Prepare(bool coreLibrary = false) {
        return ProbeInjector::PrepareModule(&import, &emit, &assemblyImport, &assemblyEmit, coreLibrary, tokens);
    }
    Emit emit;
    Import import{&emit};
    AssemblyImport assemblyImport;
    AssemblyEmit assemblyEmit;
    ProbeModuleTokens tokens;
};

TEST(ProbeInjectorTest, PreparesReferencesThroughTheModulesCoreLibraryFacade) {
    Module module;
    module.assemblyImport.names = {u"System.Console", u"SYSTEM.RUNTIME", u"System.Collections"};
    // The first type is referenced already, the second is not.
    module.import.typeRefs.emplace_back(0x23000002, u"System.Runtime.CompilerServices.CallConvCdecl", 0x01000012);
    ASSERT_EQ(module.Prepare(), S_OK);
    EXPECT_EQ(module.tokens.callConvCdecl, 0x01000012u);
    ASSERT_EQ(module.emit.definedRefs.size(), 1u);
    EXPECT_EQ(module.emit.definedRefs[0].first, 0x23000002u);
    EXPECT_EQ(module.emit.definedRefs[0].second, u"System.Runtime.CompilerServices.CallConvSuppressGCTransition");
    EXPECT_EQ(module.tokens.callConvSuppressGCTransition, 0x01000013u);
    EXPECT_EQ(module.assemblyEmit.Calls("DefineAssemblyRef"), 0);
    EXPECT_EQ(module.assemblyImport.Calls("CloseEnum"), 1);

    // unmanaged, count, modopt(TypeRef 0x12) modopt(TypeRef 0x13) void, parameters.
    ASSERT_EQ(module.emit.signatures.size(), 2u);
    EXPECT_EQ(module.emit.signatures[0], (Bytes{0x09, 0x01, 0x20, 0x49, 0x20, 0x4D, 0x01, 0x09}));
    EXPECT_EQ(module.emit.signatures[1], (Bytes{0x09, 0x03, 0x20, 0x49, 0x20, 0x4D, 0x01, 0x18, 0x09, 0x09}));
    EXPECT_EQ(module.tokens.idSignature, 0x11000041u);
    EXPECT_EQ(module.tokens.argumentsSignature, 0x11000042u);
    EXPECT_EQ(module.tokens.valueSignature, 0x11000042u);
}

TEST(ProbeInjectorTest, PrefersTheCoreLibraryItselfAndDefinesAReferenceWhenThereIsNone) {
    Module facade;
    facade.assemblyImport.names = {u"netstandard", u"System.Private.CoreLib", u"System.Runtime"};
    ASSERT_EQ(facade.Prepare(), S_OK);
    EXPECT_EQ(facade.emit.definedRefs.at(0).first, 0x23000002u);

    // netstandard and mscorlib do not forward the calling conventions: a library that refers to the
    // core library only through them gets a reference of its own.
    for (const std::vector<std::u16string>& names :
         std::vector<std::vector<std::u16string>>{{u"Other"}, {u"netstandard"}, {u"mscorlib", u"Other"}}) {
        Module bare;
        bare.assemblyImport.names = names;
        ASSERT_EQ(bare.Prepare(), S_OK);
        EXPECT_EQ(bare.assemblyEmit.definedName, u"System.Private.CoreLib");
        EXPECT_EQ(bare.assemblyEmit.publicKeyToken, (Bytes{0x7c, 0xec, 0x85, 0xd7, 0xbe, 0xa7, 0x79, 0x8e}));
        EXPECT_EQ(bare.assemblyEmit.major, 4);
        ASSERT_EQ(bare.emit.definedRefs.size(), 2u);
        EXPECT_EQ(bare.emit.definedRefs[0].first, 0x23000009u);
        EXPECT_EQ(bare.emit.definedRefs[1].first, 0x23000009u);
    }
}

TEST(ProbeInjectorTest, CoreLibraryUsesItsOwnTypeDefinitions) {
    Module module;
    ASSERT_EQ(module.Prepare(true), S_OK);
    EXPECT_EQ(module.tokens.callConvCdecl, 0x02000040u);
    EXPECT_EQ(module.tokens.callConvSuppressGCTransition, 0x02000041u);
    // TypeDef rows 0x40 and 0x41 code as 0x100 and 0x104, two bytes each.
    EXPECT_EQ(module.emit.signatures.at(0), (Bytes{0x09, 0x01, 0x20, 0x81, 0x00, 0x20, 0x81, 0x04, 0x01, 0x09}));
    EXPECT_EQ(module.assemblyImport.Calls("EnumAssemblyRefs"), 0);
    EXPECT_EQ(module.emit.Calls("DefineTypeRefByName"), 0);
}

TEST(ProbeInjectorTest, PreparationFailuresLeaveTheTokensAlone) {
    Module module;
    module.assemblyImport.names = {u"System.Runtime"};
    module.emit.defineResult = E_FAIL;
    EXPECT_EQ(module.Prepare(), E_FAIL);
    EXPECT_EQ(module.tokens.callConvCdecl, 0u);
    module.emit.defineResult = S_OK;
    module.emit.signatureResult = static_cast<HRESULT>(0x80131130u);
    EXPECT_EQ(module.Prepare(), static_cast<HRESULT>(0x80131130u));
    EXPECT_EQ(module.tokens.idSignature, 0u);
    EXPECT_EQ(ProbeInjector::PrepareModule(&module.import, &module.emit, nullptr, nullptr, false, module.tokens),
              E_POINTER);
}
