#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "environment/Logger.h"
#include "il/ManagedProbeHandler.h"
#include "support/FakeMetaDataEmit.h"
#include "support/FakeMetaDataImport.h"
#include "support/FakeProfilerInfo.h"

namespace {

constexpr ModuleID Module = 0x00007F12345678A0;
constexpr mdMethodDef Method = 0x06000012;
constexpr mdToken EnterProbe = 0x0A000001;
constexpr mdToken ExitProbe = 0x0A000002;
constexpr mdSignature OldLocals = 0x11000005;
constexpr mdSignature NewLocals = 0x11000042;

std::vector<uint8_t> FatBody(const std::vector<uint8_t>& code, uint16_t maxStack, mdSignature locals,
                             const std::vector<IlEHClause>& clauses = {}) {
    std::vector<uint8_t> body;
    auto put = [&body](uint64_t value, int bytes) {
        for (int i = 0; i < bytes; ++i) body.push_back(static_cast<uint8_t>(value >> (8 * i)));
    };
    put(0x3003 | 0x10 | (clauses.empty() ? 0 : 0x8), 2);
    put(maxStack, 2);
    put(code.size(), 4);
    put(locals, 4);
    body.insert(body.end(), code.begin(), code.end());
    if (!clauses.empty()) {
        while (body.size() % 4 != 0) body.push_back(0);
        put(0x41 | ((24 * clauses.size() + 4) << 8), 4);
        for (const IlEHClause& clause : clauses) {
            put(clause.flags, 4);
            put(clause.tryOffset, 4);
            put(clause.tryLength, 4);
            put(clause.handlerOffset, 4);
            put(clause.handlerLength, 4);
            put(clause.classToken, 4);
        }
    }
    return body;
}

class Allocator : public IMethodMalloc {
public:
    virtual ~Allocator() = default;
    HRESULT QueryInterface(REFIID, void** out) override {
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return 1; }
    ULONG Release() override { return 1; }
    PVOID Alloc(ULONG cb) override {
        blocks.emplace_back(cb, 0xCD);
        return blocks.back().data();
    }
    std::deque<std::vector<uint8_t>> blocks;
};

class ModuleEmit : public FakeMetaDataEmit {
public:
    HRESULT GetTokenFromSig(PCCOR_SIGNATURE sig, ULONG size, mdSignature* token) override {
        Count("GetTokenFromSig");
        signature.assign(sig, sig + size);
        if (fail) return E_FAIL;
        *token = NewLocals;
        return S_OK;
    }
    std::vector<uint8_t> signature;
    bool fail = false;
};

class ModuleImport : public FakeMetaDataImport {
public:
    HRESULT QueryInterface(REFIID riid, void** out) override {
        if (IsEqualGUID(*riid, IID_IMetaDataEmit)) {
            Count("QueryInterface");
            *out = static_cast<IMetaDataEmit*>(&emit);
            return S_OK;
        }
        return FakeMetaDataImport::QueryInterface(riid, out);
    }
    HRESULT GetSigFromToken(mdSignature token, PCCOR_SIGNATURE* sig, ULONG* size) override {
        Count("GetSigFromToken");
        if (token != OldLocals) return E_FAIL;
        *sig = locals.data();
        *size = static_cast<ULONG>(locals.size());
        return S_OK;
    }
    std::vector<uint8_t> locals = {0x07, 0x01, 0x0E};  // one string local
    ModuleEmit emit;
};

// The runtime side of one method: its current body, the module's metadata and allocator, and
// the body installed in the end.
class MethodRuntime : public FakeProfilerInfo {
public:
    HRESULT GetModuleMetaData(ModuleID module, DWORD flags, REFIID riid, IUnknown** out) override {
        Count("GetModuleMetaData");
        if (metadataAnswer != S_OK || module != Module || flags != (ofRead | ofWrite) ||
            !IsEqualGUID(*riid, IID_IMetaDataImport))
            return metadataAnswer != S_OK ? metadataAnswer : E_INVALIDARG;
        import.AddRef();
        *out = static_cast<IMetaDataImport*>(&import);
        return S_OK;
    }
    HRESULT GetILFunctionBody(ModuleID module, mdMethodDef method, LPCBYTE* body, ULONG* size) override {
        Count("GetILFunctionBody");
        if (module != Module || method != Method) return E_INVALIDARG;
        *body = original.data();
        *size = static_cast<ULONG>(original.size());
        return S_OK;
    }
    HRESULT GetILFunctionBodyAllocator(ModuleID module, IMethodMalloc** out) override {
        Count("GetILFunctionBodyAllocator");
        if (module != Module) return E_INVALIDARG;
        *out = &allocator;
        return S_OK;
    }
    HRESULT SetILFunctionBody(ModuleID module, mdMethodDef method, LPCBYTE body) override {
        Count("SetILFunctionBody");
        if (module != Module || method != Method || allocator.blocks.empty() || body != allocator.blocks.back().data())
            return E_INVALIDARG;
        installed = allocator.blocks.back();
        return S_OK;
    }

    std::vector<uint8_t> original;
    std::vector<uint8_t> installed;
    HRESULT metadataAnswer = S_OK;
    ModuleImport import;
    Allocator allocator;
};

struct Decoded {
    uint32_t opcode;
    int64_t operand;
    uint32_t offset;
    int64_t target;  // offset of the branch target, -1 for other instructions
};

// The installed body read back with the rewriter's own decoder.
class InstalledBody {
public:
    explicit InstalledBody(const std::vector<uint8_t>& body) : reader(nullptr, nullptr, 0, 0) {
        result = reader.ImportBody(body.data(), body.size());
        for (ILInstruction* node = reader.GetILList()->next; node != reader.GetILList(); node = node->next) {
            const bool branch = (ILFlagsOf(node->opcode) & ILFlagBranch) != 0;
            instructions.push_back({node->opcode, branch ? 0 : node->operand, node->offset,
                                    branch ? static_cast<int64_t>(node->target->offset) : -1});
        }
        const uint8_t* header = body.data();
        fat = (header[0] & 0x3) == 0x3;
        if (fat) maxStack = header[2] | (header[3] << 8);
    }

    std::vector<uint32_t> Opcodes() const {
        std::vector<uint32_t> opcodes;
        for (const Decoded& d : instructions) opcodes.push_back(d.opcode);
        return opcodes;
    }
    size_t IndexAt(uint32_t offset) const {
        for (size_t i = 0; i < instructions.size(); ++i)
            if (instructions[i].offset == offset) return i;
        return instructions.size();
    }

    ILRewriter reader;
    HRESULT result;
    std::vector<Decoded> instructions;
    bool fat = false;
    unsigned maxStack = 0;
};

std::vector<uint32_t> ProbeOpcodes() { return {CEE_LDC_I8, CEE_LDC_I4, CEE_LDC_I4, CEE_STLOC, CEE_LDLOC, CEE_CALL}; }

// The six instructions at `first` are a probe call of `probe` with the given local.
void ExpectProbeAt(const InstalledBody& body, size_t first, mdToken probe, int32_t number, unsigned local) {
    ASSERT_LE(first + 6, body.instructions.size());
    const Decoded* p = &body.instructions[first];
    std::vector<uint32_t> opcodes;
    for (int i = 0; i < 6; ++i) opcodes.push_back(p[i].opcode);
    EXPECT_EQ(opcodes, ProbeOpcodes());
    EXPECT_EQ(static_cast<uint64_t>(p[0].operand), Module) << "the whole 64-bit module id is passed";
    EXPECT_EQ(p[1].operand, static_cast<int32_t>(Method));
    EXPECT_EQ(p[2].operand, number);
    EXPECT_EQ(p[3].operand, local);
    EXPECT_EQ(p[4].operand, local);
    EXPECT_EQ(p[5].operand, static_cast<int32_t>(probe));
}

class ManagedProbeRewriterTest : public ::testing::Test {
protected:
    HRESULT Instrument(int32_t number = 3) {
        ManagedProbeRewriter rewriter(&runtime, nullptr, Module, Method);
        return rewriter.AddManagedProbeCallsToMethod(EnterProbe, ExitProbe, number);
    }

    MethodRuntime runtime;
};

TEST_F(ManagedProbeRewriterTest, TwoReturnsGetOneEntryAndTwoExitProbes) {
    // ldarg.0; brfalse.s L; ldc.i4.1; ret; L: ldc.i4.0; ret
    const std::vector<uint8_t> code = {0x02, 0x2C, 0x02, 0x17, 0x2A, 0x16, 0x2A};
    runtime.original = FatBody(code, 2, OldLocals);
    ASSERT_EQ(Instrument(), S_OK);

    InstalledBody body(runtime.installed);
    ASSERT_EQ(body.result, S_OK);
    EXPECT_EQ(body.reader.GetCodeSize(), code.size() + 3 * ManagedProbeRewriter::ProbeSequenceBytes + 2);
    EXPECT_EQ(body.reader.GetLocalVarSigToken(), NewLocals);
    // The int32 local is appended to the existing one and so has index 1.
    EXPECT_EQ(runtime.import.emit.signature, (std::vector<uint8_t>{0x07, 0x02, 0x0E, 0x08}));
    ExpectProbeAt(body, 0, EnterProbe, 3, 1);
    const std::vector<uint32_t> opcodes = body.Opcodes();
    const std::vector<uint32_t> rest(opcodes.begin() + 6, opcodes.end());
    std::vector<uint32_t> expected = {CEE_LDARG_0, CEE_BRFALSE_S, CEE_LDC_I4_1, CEE_NOP};
    for (uint32_t op : ProbeOpcodes()) expected.push_back(op);
    expected.insert(expected.end(), {CEE_RET, CEE_LDC_I4_0, CEE_NOP});
    for (uint32_t op : ProbeOpcodes()) expected.push_back(op);
    expected.push_back(CEE_RET);
    EXPECT_EQ(rest, expected);
    ExpectProbeAt(body, 10, ExitProbe, 3, 1);
    ExpectProbeAt(body, 19, ExitProbe, 3, 1);
    // The branch still reaches ldc.i4.0.
    const Decoded& branch = body.instructions[7];
    EXPECT_EQ(body.instructions[body.IndexAt(static_cast<uint32_t>(branch.target))].opcode, CEE_LDC_I4_0);
    // 2 + 3 pushes counted on import, 5 per probe.
    EXPECT_EQ(body.maxStack, 2u + 3u + 15u);
    EXPECT_EQ(runtime.Calls("SetILFunctionBody"), 1);
    EXPECT_EQ(runtime.import.References(), 0) << "the metadata interface is given back";
}

TEST_F(ManagedProbeRewriterTest, BranchToAReturnPassesThroughTheExitProbe) {
    // ldarg.0; brtrue.s R; ldnull; pop; R: ret -- a method without locals gets a new signature.
    runtime.original = FatBody({0x02, 0x2D, 0x02, 0x14, 0x26, 0x2A}, 1, 0);
    ASSERT_EQ(Instrument(1), S_OK);
    EXPECT_EQ(runtime.import.emit.signature, (std::vector<uint8_t>{0x07, 0x01, 0x08}));
    EXPECT_EQ(runtime.import.Calls("GetSigFromToken"), 0);

    InstalledBody body(runtime.installed);
    ASSERT_EQ(body.result, S_OK);
    ExpectProbeAt(body, 0, EnterProbe, 1, 0);
    const Decoded& branch = body.instructions[7];
    ASSERT_EQ(branch.opcode, CEE_BRTRUE_S);
    const size_t target = body.IndexAt(static_cast<uint32_t>(branch.target));
    ASSERT_LT(target + 7, body.instructions.size());
    EXPECT_EQ(body.instructions[target].opcode, CEE_NOP);
    ExpectProbeAt(body, target + 1, ExitProbe, 1, 0);
    EXPECT_EQ(body.instructions[target + 7].opcode, CEE_RET);
}

TEST_F(ManagedProbeRewriterTest, ShortBranchOverFourReturnsIsWidened) {
    // br.s END; 4 x (ldc.i4.0; ret); END: ldc.i4.1; ret
    runtime.original = FatBody({0x2B, 0x08, 0x16, 0x2A, 0x16, 0x2A, 0x16, 0x2A, 0x16, 0x2A, 0x17, 0x2A}, 1, 0);
    ASSERT_EQ(Instrument(), S_OK);
    InstalledBody body(runtime.installed);
    ASSERT_EQ(body.result, S_OK);
    const Decoded& branch = body.instructions[6];
    EXPECT_EQ(branch.opcode, CEE_BR);
    EXPECT_EQ(body.instructions[body.IndexAt(static_cast<uint32_t>(branch.target))].opcode, CEE_LDC_I4_1);
    EXPECT_EQ(body.reader.GetCodeSize(), 12u + 6 * ManagedProbeRewriter::ProbeSequenceBytes + 5 + 3);
}

TEST_F(ManagedProbeRewriterTest, TailCallKeepsItsReturnAdjacent) {
    // ldarg.0; tail. call 0x06000001; ret
    runtime.original = FatBody({0x02, 0xFE, 0x14, 0x28, 0x01, 0x00, 0x00, 0x06, 0x2A}, 1, 0);
    ASSERT_EQ(Instrument(), S_OK);
    InstalledBody body(runtime.installed);
    ASSERT_EQ(body.result, S_OK);
    std::vector<uint32_t> expected = ProbeOpcodes();
    expected.insert(expected.end(), {CEE_LDARG_0, CEE_NOP});
    for (uint32_t op : ProbeOpcodes()) expected.push_back(op);
    expected.insert(expected.end(), {CEE_TAILCALL, CEE_CALL, CEE_RET});
    EXPECT_EQ(body.Opcodes(), expected);
    ExpectProbeAt(body, 8, ExitProbe, 3, 0);
}

TEST_F(ManagedProbeRewriterTest, EntryProbeRunsBeforeAProtectedBlockAtTheStart) {
    // try { nop; leave.s L } catch { pop; leave.s L } L: ret
    IlEHClause clause{};
    clause.flags = COR_ILEXCEPTION_CLAUSE_NONE;
    clause.tryOffset = 0;
    clause.tryLength = 3;
    clause.handlerOffset = 3;
    clause.handlerLength = 3;
    clause.classToken = 0x01000007;
    runtime.original = FatBody({0x00, 0xDE, 0x03, 0x26, 0xDE, 0x00, 0x2A}, 1, 0, {clause});
    ASSERT_EQ(Instrument(), S_OK);
    InstalledBody body(runtime.installed);
    ASSERT_EQ(body.result, S_OK);
    ASSERT_EQ(body.reader.GetEHCount(), 1u);
    const EHClause& moved = body.reader.GetEHClauses()[0];
    const uint32_t probe = ManagedProbeRewriter::ProbeSequenceBytes;
    EXPECT_EQ(moved.tryBegin->offset, probe);
    EXPECT_EQ(moved.handlerBegin->offset, probe + 3);
    EXPECT_EQ(moved.handlerEnd->next->offset, probe + 6);
    EXPECT_EQ(moved.classToken, 0x01000007u);
    // Both leaves end at the nop that leads into the exit probe.
    for (size_t i : {7u, 9u}) {
        ASSERT_EQ(body.instructions[i].opcode, CEE_LEAVE_S);
        EXPECT_EQ(body.instructions[i].target, probe + 6);
    }
}

TEST_F(ManagedProbeRewriterTest, MethodWithoutReturnIsLeftAlone) {
    runtime.original = FatBody({0x14, 0x7A}, 1, 0);  // ldnull; throw
    EXPECT_EQ(Instrument(), E_FAIL);
    EXPECT_EQ(runtime.Calls("SetILFunctionBody"), 0);
    EXPECT_EQ(runtime.import.emit.Calls("GetTokenFromSig"), 0) << "no local is added for nothing";
}

TEST_F(ManagedProbeRewriterTest, ProbeNumberZeroInstallsTheBodyAsRead) {
    const std::vector<uint8_t> code = {0x02, 0x2C, 0x02, 0x17, 0x2A, 0x16, 0x2A};
    runtime.original = FatBody(code, 2, OldLocals);
    ASSERT_EQ(Instrument(0), S_OK);
    InstalledBody body(runtime.installed);
    ASSERT_EQ(body.result, S_OK);
    EXPECT_EQ(body.reader.GetCodeSize(), code.size());
    ASSERT_GE(runtime.installed.size(), 12 + code.size());
    EXPECT_EQ(std::vector<uint8_t>(runtime.installed.begin() + 12, runtime.installed.begin() + 12 + code.size()), code);
    EXPECT_EQ(body.reader.GetLocalVarSigToken(), OldLocals);
    EXPECT_EQ(runtime.import.emit.Calls("GetTokenFromSig"), 0);
}

TEST_F(ManagedProbeRewriterTest, RuntimeFailuresAreReturnedAndNothingIsInstalled) {
    runtime.original = FatBody({0x2A}, 1, 0);
    runtime.metadataAnswer = static_cast<HRESULT>(0x80131130u);
    EXPECT_EQ(Instrument(), static_cast<HRESULT>(0x80131130u));
    EXPECT_EQ(runtime.Calls("GetILFunctionBody"), 0);

    runtime.metadataAnswer = S_OK;
    runtime.import.emit.fail = true;  // the local cannot be added
    EXPECT_EQ(Instrument(), E_FAIL);

    runtime.import.emit.fail = false;
    runtime.original = {0x2A};  // not a method header at all
    EXPECT_EQ(Instrument(), COR_E_INVALIDPROGRAM);
    EXPECT_EQ(runtime.Calls("SetILFunctionBody"), 0);
    EXPECT_EQ(runtime.import.References(), 0);
}

TEST_F(ManagedProbeRewriterTest, ProbeMethodBodyIsTheTinyPInvokeCall) {
    ManagedProbeRewriter rewriter(&runtime, nullptr, Module, Method);
    ASSERT_EQ(rewriter.AddPInvokeCallToMethod(0x06000101, 0x06000901), S_OK);
    const std::vector<uint8_t> expected = {(17 << 2) | 2, 0x00, 0x02, 0x6E, 0x28, 0x01, 0x01, 0x00, 0x06,
                                           0x03,          0x04, 0x28, 0x01, 0x09, 0x00, 0x06, 0x00, 0x2A};
    EXPECT_EQ(runtime.installed, expected);
    EXPECT_EQ(rewriter.GetMaxStack(), 14u);
    EXPECT_EQ(runtime.Calls("GetILFunctionBody"), 0);
}

TEST_F(ManagedProbeRewriterTest, HelperCallIsInsertedAtTheStart) {
    runtime.original = {(3 << 2) | 2, 0x17, 0x26, 0x2A};  // tiny: ldc.i4.1; pop; ret
    ManagedProbeRewriter rewriter(&runtime, nullptr, Module, Method);
    ASSERT_EQ(rewriter.AddManagedHelperCallToMethod(0x0A000077), S_OK);
    InstalledBody body(runtime.installed);
    ASSERT_EQ(body.result, S_OK);
    EXPECT_TRUE(body.fat);
    EXPECT_EQ(body.Opcodes(), (std::vector<uint32_t>{CEE_CALL, CEE_LDC_I4_1, CEE_POP, CEE_RET}));
    EXPECT_EQ(body.instructions[0].operand, 0x0A000077);
    EXPECT_EQ(body.maxStack, 8u + 1u + 1u);
}

// Each exported entry point is called from managed code; nothing may escape and errno is kept.
TEST(ManagedProbeEntryPoints, TestCallbackLogsOneInfoLineEndingWithTheValue) {
    const std::string folder =
        (std::filesystem::temp_directory_path() / ("qx-probe-log-" + std::to_string(getpid()))).string();
    std::filesystem::remove_all(folder);
    Logger* saved = g_Logger;
    auto* logger = new Logger(LogLevel::Info, folder, false, static_cast<uint64_t>(getpid()));
    logger->Start();
    g_Logger = logger;

    errno = 1234;
    ManagedProbeTestCallback(7);
    ManagedProbeEnterFunction(0x1234, 0x06000001, 1);
    ManagedProbeExitFunction(0x1234, 0x06000001, 1);
    UnmanagedInspectObject(nullptr);
    EXPECT_EQ(errno, 1234);

    ASSERT_TRUE(logger->Flush(std::chrono::seconds(5)));
    const std::string path = logger->GetFilePath();
    g_Logger = saved;
    delete logger;

    std::ifstream file(path);
    std::string line;
    std::vector<std::string> matches;
    while (std::getline(file, line))
        if (line.find("ManagedProbeTestCallback") != std::string::npos) matches.push_back(line);
    std::filesystem::remove_all(folder);
    ASSERT_EQ(matches.size(), 1u);
    const std::string expected =
        "[" + std::to_string(getpid()) + "][______ManagedProbeTestCallback______] Callback -> 7";
    EXPECT_NE(matches[0].find(expected), std::string::npos) << matches[0];
    EXPECT_EQ(matches[0].substr(matches[0].size() - expected.size()), expected);
}

}  // namespace
