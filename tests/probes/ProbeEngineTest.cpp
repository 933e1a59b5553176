#include "probes/ProbeEngine.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "environment/Configuration.h"
#include "mapping/FunctionMapper.h"
#include "mapping/MappingTestSupport.h"
#include "support/FakeMetaDataAssembly.h"
#include "support/FakeMetaDataEmit.h"
#include "support/FakeMetaDataImport.h"
#include "support/FakeProfilerInfo.h"

namespace {

constexpr ModuleID Module = 0x7000;
constexpr COR_SIGNATURE StaticVoid[] = {0x00, 0x00, 0x01};

void Copy(const std::u16string& text, WCHAR* buffer, ULONG capacity, ULONG* length) {
    if (length != nullptr) *length = static_cast<ULONG>(text.size() + 1);
    if (buffer == nullptr || capacity == 0) return;
    const size_t n = std::min<size_t>(text.size(), capacity - 1);
    std::copy_n(text.data(), n, buffer);
    buffer[n] = 0;
}

// A module's type and method tables; enumerations hand out everything in one batch.
class ModuleImport : public FakeMetaDataImport {
public:
    struct Type {
        std::string name;
        std::vector<mdMethodDef> methods;
    };
    struct Method {
        mdTypeDef owner;
        std::string name;
        ULONG rva = 0x2050;
        DWORD attributes = 0x16;  // public static
        DWORD implementation = 0;
    };

    HRESULT QueryInterface(REFIID riid, void** out) override {
        *out = nullptr;
        if (emit != nullptr) {
            if (IsEqualGUID(*riid, IID_IMetaDataEmit)) *out = emit;
            if (IsEqualGUID(*riid, IID_IMetaDataAssemblyImport)) *out = &assemblyImport;
            if (IsEqualGUID(*riid, IID_IMetaDataAssemblyEmit)) *out = &assemblyEmit;
            if (*out != nullptr) return S_OK;
        }
        return FakeMetaDataImport::QueryInterface(riid, out);
    }
    void CloseEnum(HCORENUM) override {}
    HRESULT EnumTypeDefs(HCORENUM* cursor, mdTypeDef* tokens, ULONG max, ULONG* count) override {
        return Enumerate(cursor, TypeTokens(), tokens, max, count);
    }
    HRESULT EnumMethods(HCORENUM* cursor, mdTypeDef type, mdMethodDef* tokens, ULONG max, ULONG* count) override {
        ++methodEnumerations[type];
        return Enumerate(cursor, types.at(type).methods, tokens, max, count);
    }
    HRESULT EnumInterfaceImpls(HCORENUM* cursor, mdTypeDef, mdInterfaceImpl*, ULONG, ULONG* count) override {
        *count = 0;
        return S_FALSE;
    }
    HRESULT GetTypeDefProps(mdTypeDef type, LPWSTR name, ULONG capacity, ULONG* length, DWORD* flags,
                            mdToken* extends) override {
        auto found = types.find(type);
        if (found == types.end()) return E_FAIL;
        Copy(U16(found->second.name), name, capacity, length);
        if (flags != nullptr) *flags = 1;  // public, not nested
        if (extends != nullptr) *extends = 0;
        return S_OK;
    }
    HRESULT GetMethodProps(mdMethodDef token, mdTypeDef* owner, LPWSTR name, ULONG capacity, ULONG* length,
                           DWORD* attributes, PCCOR_SIGNATURE* signature, ULONG* signatureLength, ULONG* rva,
                           DWORD* implementation) override {
        auto found = methods.find(token);
        if (found == methods.end()) return E_FAIL;
        const Method& m = found->second;
        if (owner != nullptr) *owner = m.owner;
        Copy(U16(m.name), name, capacity, length);
        if (attributes != nullptr) *attributes = m.attributes;
        if (signature != nullptr) *signature = StaticVoid;
        if (signatureLength != nullptr) *signatureLength = sizeof(StaticVoid);
        if (rva != nullptr) *rva = m.rva;
        if (implementation != nullptr) *implementation = m.implementation;
        return S_OK;
    }
    HRESULT GetCustomAttributeByName(mdToken, LPCWSTR, const void**, ULONG*) override { return S_FALSE; }
    HRESULT FindTypeDefByName(LPCWSTR, mdToken, mdTypeDef* token) override {
        *token = 0x02000100;
        return S_OK;
    }

    void AddType(mdTypeDef type, const std::string& name) { types[type].name = name; }
    Method& AddMethod(mdTypeDef type, mdMethodDef token, const std::string& name) {
        types[type].methods.push_back(token);
        Method& method = methods[token];
        method.owner = type;
        method.name = name;
        return method;
    }

    std::map<mdTypeDef, Type> types;
    std::map<mdMethodDef, Method> methods;
    std::map<mdTypeDef, int> methodEnumerations;
    IMetaDataEmit* emit = nullptr;
    FakeMetaDataAssemblyImport assemblyImport;
    FakeMetaDataAssemblyEmit assemblyEmit;

private:
    std::vector<mdToken> TypeTokens() const {
        std::vector<mdToken> tokens;
        for (const auto& entry : types) tokens.push_back(entry.first);
        return tokens;
    }
    static HRESULT Enumerate(HCORENUM* cursor, const std::vector<mdToken>& all, mdToken* out, ULONG max, ULONG* count) {
        // The cursor counts batches: everything comes in the first.
        auto& round = reinterpret_cast<uintptr_t&>(*cursor);
        *count = 0;
        if (round++ != 0) return S_FALSE;
        for (mdToken token : all)
            if (*count < max) out[(*count)++] = token;
        return *count != 0 ? S_OK : S_FALSE;
    }
};

class SignatureEmit : public FakeMetaDataEmit {
public:
    HRESULT GetTokenFromSig(PCCOR_SIGNATURE, ULONG, mdSignature* token) override {
        *token = 0x11000000 | ++made;
        return S_OK;
    }
    int made = 0;
};

class RuntimeInfo : public FakeProfilerInfo {
public:
    HRESULT GetRuntimeInformation(USHORT*, COR_PRF_RUNTIME_TYPE* type, USHORT* major, USHORT* minor, USHORT*, USHORT*,
                                  ULONG, ULONG*, WCHAR*) override {
        if (failRuntimeInformation) return E_FAIL;
        *type = runtimeType;
        *major = majorVersion;
        *minor = 0;
        return S_OK;
    }
    HRESULT GetModuleInfo2(ModuleID, LPCBYTE*, ULONG capacity, ULONG* length, WCHAR* name, AssemblyID*,
                           DWORD* flags) override {
        Copy(moduleName, name, capacity, length);
        *flags = moduleFlags;
        return S_OK;
    }
    HRESULT GetModuleMetaData(ModuleID, DWORD, REFIID, IUnknown** out) override {
        ++metadataOpened;
        import->AddRef();
        *out = import;
        return S_OK;
    }
    HRESULT RequestReJIT(ULONG count, ModuleID* modules, mdMethodDef* methodIds) override {
        for (ULONG i = 0; i < count; ++i) rejit.emplace_back(modules[i], methodIds[i]);
        return S_OK;
    }

    COR_PRF_RUNTIME_TYPE runtimeType = COR_PRF_CORE_CLR;
    USHORT majorVersion = 10;
    bool failRuntimeInformation = false;
    std::u16string moduleName = u"/app/Shop.dll";
    DWORD moduleFlags = COR_PRF_MODULE_DISK;
    ModuleImport* import = nullptr;
    int metadataOpened = 0;
    std::vector<std::pair<ModuleID, mdMethodDef>> rejit;
};

class ProbeEngineTest : public ::testing::Test {
protected:
    ProbeEngineTest() : mapper(&lookup, [this] { return ++sequence; }) {
        previous = g_Configuration;
        g_Configuration = &configuration;
        info.import = &import;
    }
    ~ProbeEngineTest() override { g_Configuration = previous; }

    ProbeEngine Engine() { return ProbeEngine(&info, mapper, lookup, targets, nullptr); }
    // The mapper's metadata and the module's tables describe the same method.
    void Add(mdTypeDef type, mdMethodDef token, const std::string& className, const std::string& method) {
        import.AddType(type, className);
        import.AddMethod(type, token, method);
        lookup.Add(token, className, method).token = token;
    }

    Configuration configuration{[](const char*) -> const char* { return nullptr; }};
    Configuration* previous = nullptr;
    FakeLookupHelper lookup;
    std::atomic<uint64_t> sequence{100};
    FunctionMapper mapper;
    ModuleImport import;
    SignatureEmit emit;
    RuntimeInfo info;
    ProbeTargets targets{};
};

TEST(ProbeEngineMask, AsksForNothingThatCostsTheProcessItsPrecompiledOrOptimisedCode) {
    constexpr uint32_t Costly = COR_PRF_MONITOR_ENTERLEAVE | COR_PRF_MONITOR_CODE_TRANSITIONS |
                                COR_PRF_USE_PROFILE_IMAGES | COR_PRF_DISABLE_ALL_NGEN_IMAGES |
                                COR_PRF_DISABLE_OPTIMIZATIONS | COR_PRF_DISABLE_INLINING;
    EXPECT_EQ(ProbeEngine::EventMask & Costly, 0u);
    // Modules, re-JIT and precompiled-code searches drive the engine; threads and exceptions the stream.
    for (uint32_t needed : {COR_PRF_MONITOR_MODULE_LOADS, COR_PRF_ENABLE_REJIT, COR_PRF_MONITOR_CACHE_SEARCHES,
                            COR_PRF_MONITOR_THREADS, COR_PRF_MONITOR_EXCEPTIONS})
        EXPECT_NE(ProbeEngine::EventMask & needed, 0u) << needed;
}

TEST_F(ProbeEngineTest, RunsOnCoreRuntimesFromReleaseSixOnly) {
    std::string why;
    EXPECT_TRUE(ProbeEngine::Supports(&info, why));
    info.majorVersion = 6;
    EXPECT_TRUE(ProbeEngine::Supports(&info, why));
    // Releases before 5 report 4; 5 lacks calls without a GC transition from function pointers.
    for (USHORT major : {4, 5}) {
        info.majorVersion = major;
        EXPECT_FALSE(ProbeEngine::Supports(&info, why));
        EXPECT_NE(why.find("older than 6"), std::string::npos) << why;
    }
    info.majorVersion = 10;
    info.runtimeType = COR_PRF_DESKTOP_CLR;
    EXPECT_FALSE(ProbeEngine::Supports(&info, why));
    info.failRuntimeInformation = true;
    EXPECT_FALSE(ProbeEngine::Supports(&info, why));
    EXPECT_FALSE(ProbeEngine::Supports(nullptr, why));
}

TEST_F(ProbeEngineTest, ALoadedModuleHasItsTracedMethodsRecompiledWithProbes) {
    import.emit = &emit;
    info.moduleName = u"/usr/share/dotnet/shared/Microsoft.NETCore.App/10.0.12/System.Private.CoreLib.dll";
    Add(0x02000002, 0x06000010, "Shop.Orders", "Place");
    Add(0x02000002, 0x06000011, "Shop.Orders", "get_Total");  // accessors are not traced
    Add(0x02000003, 0x06000020, "System.Text.StringBuilder", "Append");
    Add(0x02000004, 0x06000030, "Shop.Abstract", "Run");
    import.methods[0x06000030].attributes |= mdAbstract;
    import.methods[0x06000030].rva = 0;
    Add(0x02000005, 0x06000040, "Shop.Native", "Call");
    import.methods[0x06000040].implementation = 0x1000;  // internal call

    ProbeEngine engine = Engine();
    engine.ModuleLoaded(Module);
    EXPECT_EQ(info.rejit, (std::vector<std::pair<ModuleID, mdMethodDef>>{{Module, 0x06000010}}));
    EXPECT_EQ(engine.TargetCount(), 1u);
    // A class no rule could trace is passed over without reading its methods.
    EXPECT_EQ(import.methodEnumerations[0x02000003], 0);
    const FunctionInfo* record = mapper.GetFunctionInfoByModuleAndMethod(0x7000, 0x06000010);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->GetName(), "Shop.Orders::Place");
    EXPECT_EQ(mapper.GetFunctionInfoByModuleAndMethod(0x7000, 0x06000030), nullptr) << "no body to probe";
    EXPECT_EQ(mapper.GetFunctionInfoByModuleAndMethod(0x7000, 0x06000040), nullptr) << "no IL to probe";
    EXPECT_GT(emit.made, 0) << "the calli signatures";
    EXPECT_TRUE(engine.MayUsePrecompiledCode(0x1234)) << "no inliners known";
}

TEST_F(ProbeEngineTest, ModulesWithoutReadableMetadataOrMadeAtRunTimeAreLeftAlone) {
    Add(0x02000002, 0x06000010, "Shop.Orders", "Place");
    for (DWORD flags : std::vector<DWORD>{COR_PRF_MODULE_DYNAMIC, COR_PRF_MODULE_COLLECTIBLE | COR_PRF_MODULE_DISK,
                                          COR_PRF_MODULE_RESOURCE}) {
        info.moduleFlags = flags;
        ProbeEngine engine = Engine();
        engine.ModuleLoaded(Module);
        EXPECT_EQ(info.metadataOpened, 0) << flags;
    }
    EXPECT_TRUE(info.rejit.empty());

    // Without an emit interface no probe metadata can be added: nothing is asked of the runtime.
    info.moduleFlags = COR_PRF_MODULE_DISK;
    ProbeEngine engine = Engine();
    engine.ModuleLoaded(Module);
    EXPECT_TRUE(info.rejit.empty());
    EXPECT_EQ(engine.TargetCount(), 0u);
    EXPECT_EQ(import.References(), 1) << "only the reference the lookups keep";
}

TEST_F(ProbeEngineTest, ABodyIsOnlyGivenToMethodsTheEngineChose) {
    ProbeEngine engine = Engine();
    EXPECT_EQ(engine.GetReJITParameters(Module, 0x06000010, nullptr), S_OK);
    EXPECT_EQ(info.Calls("GetILFunctionBody"), 0);
}

}  // namespace
