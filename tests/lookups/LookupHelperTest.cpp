#include "mapping/LookupHelper.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "environment/SystemContext.h"
#include "environment/profiler_pal.h"
#include "mapping/ModuleInfo.h"
#include "support/FakeMetaDataImport.h"
#include "support/FakeProfilerInfo.h"
#include "threads/ThreadExecutionTracker.h"

namespace {

constexpr size_t N = LookupHelper::NameBufferLength;
const std::u16string DoNotProfile = u"Corvanine.Quorix4Net.Attributes.DoNotProfileAttribute";

// A module's metadata held in maps: methods, types, type references, interface rows and
// custom attributes. Whatever is not described answers as the runtime does for a missing row.
class ScriptedImport : public FakeMetaDataImport {
public:
    struct Type {
        std::u16string name;
        DWORD flags = tdPublic;
        mdTypeDef enclosing = mdTypeDefNil;
    };
    struct Method {
        mdTypeDef owner;
        std::u16string name;
    };

    std::map<mdMethodDef, Method> methods;
    std::map<mdTypeDef, Type> types;
    std::map<mdTypeRef, std::u16string> typeRefs;
    std::set<std::pair<mdToken, std::u16string>> attributes;
    std::map<mdTypeDef, std::vector<mdToken>> interfaces;  // implementing type -> interface tokens
    std::set<mdToken> failingTypeDefs;
    std::set<mdInterfaceImpl> failingImpls;
    std::vector<ULONG> batches;     // rows handed out per EnumInterfaceImpls call
    std::vector<ULONG> capacities;  // buffer lengths the caller claimed
    std::vector<mdToken> typeDefReads;
    bool throwFromMethodProps = false;

    HRESULT GetMethodProps(mdMethodDef mb, mdTypeDef* pClass, WCHAR* szMethod, ULONG cchMethod, ULONG* pchMethod,
                           DWORD*, PCCOR_SIGNATURE*, ULONG*, ULONG*, DWORD*) override {
        Count("GetMethodProps");
        if (throwFromMethodProps) throw std::runtime_error("metadata exploded");
        auto found = methods.find(mb);
        if (found == methods.end()) return CLDB_E_RECORD_NOTFOUND;
        if (pClass != nullptr) *pClass = found->second.owner;
        return CopyName(found->second.name, szMethod, cchMethod, pchMethod);
    }

    HRESULT GetTypeDefProps(mdTypeDef td, WCHAR* szTypeDef, ULONG cchTypeDef, ULONG* pchTypeDef, DWORD* pdwTypeDefFlags,
                            mdToken*) override {
        Count("GetTypeDefProps");
        typeDefReads.push_back(td);
        auto found = types.find(td);
        if (found == types.end() || failingTypeDefs.count(td) != 0) return CLDB_E_RECORD_NOTFOUND;
        if (pdwTypeDefFlags != nullptr) *pdwTypeDefFlags = found->second.flags;
        return CopyName(found->second.name, szTypeDef, cchTypeDef, pchTypeDef);
    }

    HRESULT GetNestedClassProps(mdTypeDef nested, mdTypeDef* enclosing) override {
        Count("GetNestedClassProps");
        auto found = types.find(nested);
        if (found == types.end() || found->second.enclosing == mdTypeDefNil) return CLDB_E_RECORD_NOTFOUND;
        *enclosing = found->second.enclosing;
        return S_OK;
    }

    HRESULT GetCustomAttributeByName(mdToken owner, LPCWSTR name, const void**, ULONG*) override {
        Count("GetCustomAttributeByName");
        return attributes.count({owner, std::u16string(name)}) != 0 ? S_OK : S_FALSE;
    }

    HRESULT GetTypeRefProps(mdTypeRef tr, mdToken* scope, WCHAR* szName, ULONG cchName, ULONG* pchName) override {
        Count("GetTypeRefProps");
        auto found = typeRefs.find(tr);
        if (found == typeRefs.end()) return CLDB_E_RECORD_NOTFOUND;
        if (scope != nullptr) *scope = 0x23000001;
        return CopyName(found->second, szName, cchName, pchName);
    }

    HRESULT EnumInterfaceImpls(HCORENUM* phEnum, mdTypeDef td, mdInterfaceImpl* rImpls, ULONG cMax,
                               ULONG* pcImpls) override {
        Count("EnumInterfaceImpls");
        if (*phEnum == nullptr) *phEnum = new Cursor{td, 0};
        auto* cursor = static_cast<Cursor*>(*phEnum);
        const std::vector<mdToken>& rows = interfaces[cursor->type];
        ULONG count = 0;
        while (count < cMax && cursor->next < rows.size()) {
            rImpls[count++] = ImplToken(cursor->type, cursor->next++);
        }
        *pcImpls = count;
        batches.push_back(count);
        return count != 0 ? S_OK : S_FALSE;
    }

    void CloseEnum(HCORENUM hEnum) override {
        Count("CloseEnum");
        delete static_cast<Cursor*>(hEnum);
    }

    HRESULT GetInterfaceImplProps(mdInterfaceImpl impl, mdTypeDef* pClass, mdToken* ptkIface) override {
        Count("GetInterfaceImplProps");
        if (failingImpls.count(impl) != 0) return CLDB_E_RECORD_NOTFOUND;
        const mdTypeDef type = TokenFromRid((RidFromToken(impl) >> 12), mdtTypeDef);
        *pClass = type;
        *ptkIface = interfaces[type].at((RidFromToken(impl) & 0xFFF) - 1);
        return S_OK;
    }

    // Row numbers of the interface table encode the type and the position (enough for tests).
    static mdInterfaceImpl ImplToken(mdTypeDef type, size_t index) {
        return TokenFromRid((RidFromToken(type) << 12) | static_cast<RID>(index + 1), mdtInterfaceImpl);
    }

private:
    struct Cursor {
        mdTypeDef type;
        size_t next;
    };

    // Like the runtime: copies what fits, reports the full length with its terminator, and
    // signals a cut with a success code.
    HRESULT CopyName(const std::u16string& name, WCHAR* buffer, ULONG capacity, ULONG* length) {
        capacities.push_back(capacity);
        if (length != nullptr) *length = static_cast<ULONG>(name.size() + 1);
        if (buffer == nullptr || capacity == 0) return S_OK;
        if (name.size() + 1 <= capacity) {
            std::copy(name.begin(), name.end(), buffer);
            buffer[name.size()] = u'\0';
            return S_OK;
        }
        // Filled to the last unit, no terminator: the worst a caller can get back.
        std::copy(name.begin(), name.begin() + capacity, buffer);
        return CLDB_S_TRUNCATION;
    }
};

// Hands out the import for IID_IMetaDataImport as the runtime does: one added reference per call.
class MetadataInfo : public FakeProfilerInfo {
public:
    explicit MetadataInfo(ScriptedImport& importValue) : import(importValue) {}

    std::map<FunctionID, mdMethodDef> functions;
    HRESULT tokenResult = S_OK;
    bool functionInfoFails = false;
    static constexpr ModuleID Module = 0x7f0012340000;

    HRESULT GetTokenAndMetaDataFromFunction(FunctionID functionId, REFIID riid, IUnknown** ppImport,
                                            mdToken* pToken) override {
        Count("GetTokenAndMetaDataFromFunction");
        auto found = functions.find(functionId);
        if (FAILED(tokenResult)) return tokenResult;
        if (found == functions.end()) return E_INVALIDARG;
        if (!IsEqualGUID(*riid, IID_IMetaDataImport)) return E_NOINTERFACE;
        import.AddRef();
        *ppImport = static_cast<IMetaDataImport*>(&import);
        *pToken = found->second;
        return S_OK;
    }

    HRESULT GetFunctionInfo(FunctionID functionId, ClassID* pClassId, ModuleID* pModuleId, mdToken* pToken) override {
        Count("GetFunctionInfo");
        auto found = functions.find(functionId);
        if (functionInfoFails || found == functions.end()) return E_FAIL;
        *pClassId = 0x1111;
        *pModuleId = Module;
        *pToken = found->second;
        return S_OK;
    }

private:
    ScriptedImport& import;
};

struct Names {
    char16_t enclosing[N] = {};
    char16_t type[N] = {};
    char16_t method[N] = {};
    bool doNotProfile = false;
    ModuleID module = 0;
    mdToken token = 0;
    std::string Enclosing() const { return W2A(enclosing); }
    std::string Type() const { return W2A(type); }
    std::string Method() const { return W2A(method); }
};

constexpr mdTypeDef Outer = 0x02000002;
constexpr mdTypeDef Middle = 0x02000003;
constexpr mdTypeDef Inner = 0x02000004;
constexpr mdTypeDef Plain = 0x02000005;
constexpr mdMethodDef PlainRun = 0x06000010;
constexpr mdMethodDef InnerRun = 0x06000011;
constexpr mdMethodDef MiddleRun = 0x06000012;

class LookupHelperTest : public ::testing::Test {
protected:
    LookupHelperTest() {
        import.types[Outer] = {u"Shop.Orders.OrderService", tdPublic, mdTypeDefNil};
        import.types[Middle] = {u"Worker", tdNestedPrivate, Outer};
        import.types[Inner] = {u"Step", tdNestedPublic, Middle};
        import.types[Plain] = {u"Shop.Orders.Repository", tdPublic | tdSealed, mdTypeDefNil};
        import.methods[PlainRun] = {Plain, u"Save"};
        import.methods[InnerRun] = {Inner, u"Run"};
        import.methods[MiddleRun] = {Middle, u"Start"};
        info.functions = {{1, PlainRun}, {2, InnerRun}, {3, MiddleRun}};
    }

    HRESULT Lookup(FunctionID function, Names& names, bool withFlag = true) {
        return lookup.GetMethodNameByFunctionId(function, names.enclosing, names.type, names.method,
                                                withFlag ? &names.doNotProfile : nullptr, &names.module, &names.token);
    }

    // Every reference handed out came back, and exactly as often as it was handed out.
    void ExpectImportsReleased() {
        EXPECT_EQ(import.References(), 0);
        EXPECT_EQ(import.Calls("Release"), import.Calls("AddRef"));
    }

    ScriptedImport import;
    MetadataInfo info{import};
    LookupHelper lookup{&info};
};

TEST_F(LookupHelperTest, TopLevelTypeGivesQualifiedClassNameAndNoEnclosingName) {
    Names names;
    EXPECT_EQ(Lookup(1, names), S_OK);
    EXPECT_EQ(names.Type(), "Shop.Orders.Repository");
    EXPECT_EQ(names.Method(), "Save");
    EXPECT_EQ(names.Enclosing(), "");
    EXPECT_FALSE(names.doNotProfile);
    EXPECT_EQ(names.module, MetadataInfo::Module);
    EXPECT_EQ(names.token, PlainRun);
    EXPECT_EQ(import.Calls("GetNestedClassProps"), 0);
    for (ULONG capacity : import.capacities) EXPECT_EQ(capacity, N);
    ExpectImportsReleased();
    EXPECT_EQ(import.Calls("Release"), 1);
}

TEST_F(LookupHelperTest, NestedTypeGivesBareNameAndOneLevelOfEnclosingName) {
    Names middle;
    EXPECT_EQ(Lookup(3, middle), S_OK);
    EXPECT_EQ(middle.Type(), "Worker");
    EXPECT_EQ(middle.Enclosing(), "Shop.Orders.OrderService");

    Names inner;  // two deep: only the middle type's bare name
    EXPECT_EQ(Lookup(2, inner), S_OK);
    EXPECT_EQ(inner.Type(), "Step");
    EXPECT_EQ(inner.Enclosing(), "Worker");
    EXPECT_EQ(inner.Method(), "Run");
    ExpectImportsReleased();
}

TEST_F(LookupHelperTest, FailureReadingTheEnclosingTypeFailsTheWholeCall) {
    import.failingTypeDefs.insert(Outer);
    Names names;
    EXPECT_EQ(Lookup(3, names), CLDB_E_RECORD_NOTFOUND);
    EXPECT_EQ(names.Type(), "Worker");
    EXPECT_EQ(names.Method(), "Start");
    EXPECT_EQ(names.Enclosing(), "");

    import.types[Middle].enclosing = mdTypeDefNil;  // the nesting row itself cannot be read
    Names again;
    EXPECT_EQ(Lookup(3, again), CLDB_E_RECORD_NOTFOUND);
    EXPECT_EQ(again.Type(), "Worker");
    ExpectImportsReleased();
}

TEST_F(LookupHelperTest, DoNotProfileOnMethodOrClassSetsTheFlag) {
    Names none;
    EXPECT_EQ(Lookup(1, none), S_OK);
    EXPECT_FALSE(none.doNotProfile);

    import.attributes.insert({Plain, DoNotProfile});
    Names onClass;
    EXPECT_EQ(Lookup(1, onClass), S_OK);
    EXPECT_TRUE(onClass.doNotProfile);

    import.attributes.clear();
    import.attributes.insert({InnerRun, DoNotProfile});
    Names onMethod;
    EXPECT_EQ(Lookup(2, onMethod), S_OK);
    EXPECT_TRUE(onMethod.doNotProfile);

    Names withoutFlag;  // the flag is optional
    EXPECT_EQ(Lookup(2, withoutFlag, false), S_OK);
    EXPECT_FALSE(withoutFlag.doNotProfile);

    import.attributes.insert({InnerRun, u"Corvanine.Quorix4Net.Attributes.SomethingElse"});
    import.attributes.erase({InnerRun, DoNotProfile});
    Names other;
    EXPECT_EQ(Lookup(2, other), S_OK);
    EXPECT_FALSE(other.doNotProfile);
    ExpectImportsReleased();
}

TEST_F(LookupHelperTest, EarlyFailuresReturnTheFailingResultAndReleaseTheImport) {
    Names unknown;
    EXPECT_EQ(Lookup(99, unknown), E_INVALIDARG);  // no import handed out
    EXPECT_EQ(unknown.Method(), "");
    EXPECT_EQ(import.Calls("Release"), 0);

    import.methods.erase(PlainRun);
    Names noMethod;
    EXPECT_EQ(Lookup(1, noMethod), CLDB_E_RECORD_NOTFOUND);
    EXPECT_EQ(import.Calls("GetTypeDefProps"), 0);
    EXPECT_EQ(import.Calls("Release"), 1);

    import.failingTypeDefs.insert(Inner);
    Names noType;
    EXPECT_EQ(Lookup(2, noType), CLDB_E_RECORD_NOTFOUND);
    EXPECT_EQ(noType.Method(), "Run");
    EXPECT_EQ(import.Calls("GetNestedClassProps"), 0);
    EXPECT_EQ(import.References(), 0);
    EXPECT_EQ(import.Calls("Release"), 2);
}

TEST_F(LookupHelperTest, FunctionInfoFailureStillNamesTheMethodFromTheImportToken) {
    info.functionInfoFails = true;
    Names names;
    names.module = 123;
    EXPECT_EQ(Lookup(1, names), S_OK);
    EXPECT_EQ(names.Method(), "Save");
    EXPECT_EQ(names.module, 0u);
    EXPECT_EQ(names.token, PlainRun);
    ExpectImportsReleased();
}

TEST_F(LookupHelperTest, NamesFillingTheWholeBufferComeBackTerminated) {
    import.methods[PlainRun].name = std::u16string(N + 20, u'm');
    import.types[Plain].name = std::u16string(N, u'c');
    Names names;
    EXPECT_TRUE(SUCCEEDED(Lookup(1, names)));
    EXPECT_EQ(names.Method(), std::string(N - 1, 'm'));
    EXPECT_EQ(names.Type(), std::string(N - 1, 'c'));
    ExpectImportsReleased();
}

TEST_F(LookupHelperTest, WithoutAnInfoInterfaceEverythingFailsQuietly) {
    SystemContext* saved = g_Context;
    g_Context = nullptr;
    LookupHelper detached;
    Names names;
    EXPECT_EQ(
        detached.GetMethodNameByFunctionId(1, names.enclosing, names.type, names.method, nullptr, nullptr, nullptr),
        E_FAIL);
    bool found = false;
    EXPECT_EQ(detached.GetImplementedInterfacesFunctionId(1, "System.IDisposable", &found), E_FAIL);
    EXPECT_EQ(detached.GetCustomAttributeByFunctionId(1, DoNotProfile.c_str(), &found), E_FAIL);
    EXPECT_FALSE(found);
    g_Context = saved;

    EXPECT_EQ(lookup.GetMethodNameByFunctionId(1, nullptr, names.type, names.method, nullptr, nullptr, nullptr),
              E_POINTER);
    EXPECT_EQ(info.Calls("GetTokenAndMetaDataFromFunction"), 0);
}

TEST_F(LookupHelperTest, AnExceptionFromTheRuntimeSideIsContainedAndTheImportReleased) {
    import.throwFromMethodProps = true;
    Names names;
    EXPECT_EQ(Lookup(1, names), E_FAIL);
    bool found = false;
    EXPECT_EQ(lookup.GetImplementedInterfacesFunctionId(1, "X.Y", &found), E_FAIL);
    EXPECT_EQ(lookup.GetCustomAttributeByFunctionId(1, DoNotProfile.c_str(), &found), E_FAIL);
    EXPECT_EQ(import.References(), 0);
    EXPECT_EQ(import.Calls("Release"), 3);
}

class InterfaceLookupTest : public LookupHelperTest {
protected:
    InterfaceLookupTest() {
        // 23 interfaces of the same module; the one searched for is last, in the third batch.
        for (RID row = 0x20; row < 0x20 + 23; ++row) {
            const mdTypeDef iface = TokenFromRid(row, mdtTypeDef);
            import.types[iface] = {u"Shop.Contracts.IContract" + Digits(row), tdInterface | tdPublic, mdTypeDefNil};
            import.interfaces[Plain].push_back(iface);
        }
    }
    static std::u16string Digits(unsigned value) {
        std::u16string text;
        for (char c : std::to_string(value)) text.push_back(static_cast<char16_t>(c));
        return text;
    }
    bool Implements(const std::string& name, HRESULT expected = S_OK) {
        bool found = false;
        EXPECT_EQ(lookup.GetImplementedInterfacesFunctionId(1, name, &found), expected);
        return found;
    }
};

TEST_F(InterfaceLookupTest, MoreThanTenInterfacesAreSearchedInBatches) {
    EXPECT_TRUE(Implements("Shop.Contracts.IContract" + std::to_string(0x20 + 22)));
    EXPECT_EQ(import.batches, (std::vector<ULONG>{10, 10, 3, 0}));
    EXPECT_EQ(import.Calls("CloseEnum"), 1);
    EXPECT_EQ(import.Calls("GetInterfaceImplProps"), 23);
    ExpectImportsReleased();

    EXPECT_FALSE(Implements("Shop.Contracts.IMissing"));
    EXPECT_FALSE(Implements("Shop.Contracts.IContract"));  // a prefix is not a match
    EXPECT_EQ(import.Calls("CloseEnum"), 3);
    ExpectImportsReleased();
}

TEST_F(InterfaceLookupTest, FoundIsNeverClearedAndTheEnumerationRunsToTheEnd) {
    bool found = true;
    EXPECT_EQ(lookup.GetImplementedInterfacesFunctionId(1, "Shop.Contracts.IMissing", &found), S_OK);
    EXPECT_TRUE(found);

    import.batches.clear();
    EXPECT_TRUE(Implements("Shop.Contracts.IContract" + std::to_string(0x20)));  // the first row
    EXPECT_EQ(import.batches.size(), 4u);
}

TEST_F(InterfaceLookupTest, ReferencedInterfacesAreReadAsTypeReferences) {
    const mdTypeRef disposable = 0x01000007;
    import.typeRefs[disposable] = u"System.IDisposable";
    import.interfaces[Plain].push_back(disposable);
    import.types[TokenFromRid(RidFromToken(disposable), mdtTypeDef)] = {u"Shop.Unrelated", tdPublic, mdTypeDefNil};

    EXPECT_TRUE(Implements("System.IDisposable"));
    EXPECT_EQ(import.Calls("GetTypeRefProps"), 1);
    // A reference token is never read as a definition of the same row number.
    EXPECT_EQ(std::count(import.typeDefReads.begin(), import.typeDefReads.end(),
                         TokenFromRid(RidFromToken(disposable), mdtTypeDef)),
              0);
    EXPECT_FALSE(Implements("Shop.Unrelated"));
    ExpectImportsReleased();
}

TEST_F(InterfaceLookupTest, UnreadableRowsAndOddNamesAreSkipped) {
    const mdTypeRef broken = 0x01000008;
    const mdTypeRef surrogate = 0x01000009;
    const mdTypeRef longName = 0x0100000A;
    import.typeRefs[surrogate] = std::u16string(u"System.I") + char16_t(0xD800);
    import.typeRefs[longName] = u"System." + std::u16string(N, u'L');
    import.interfaces[Plain].insert(import.interfaces[Plain].begin(), {broken, surrogate, longName});
    import.failingImpls.insert(ScriptedImport::ImplToken(Plain, 3));  // the first contract row
    import.failingTypeDefs.insert(TokenFromRid(0x21, mdtTypeDef));    // the second contract row

    EXPECT_FALSE(Implements("Shop.Contracts.IContract" + std::to_string(0x20)));
    EXPECT_FALSE(Implements("Shop.Contracts.IContract" + std::to_string(0x21)));
    EXPECT_FALSE(Implements("System." + std::string(N - 8, 'L')));
    EXPECT_TRUE(Implements("Shop.Contracts.IContract" + std::to_string(0x22)));
    ExpectImportsReleased();
}

TEST_F(InterfaceLookupTest, FailureToReadTheClassEndsTheSearchBeforeEnumerating) {
    import.failingTypeDefs.insert(Plain);
    EXPECT_FALSE(Implements("Shop.Contracts.IContract32", CLDB_E_RECORD_NOTFOUND));
    EXPECT_EQ(import.Calls("EnumInterfaceImpls"), 0);
    EXPECT_EQ(import.Calls("CloseEnum"), 0);

    import.methods.erase(PlainRun);
    EXPECT_FALSE(Implements("Shop.Contracts.IContract32", CLDB_E_RECORD_NOTFOUND));

    info.tokenResult = CORPROF_E_FUNCTION_NOT_COMPILED;
    EXPECT_FALSE(Implements("Shop.Contracts.IContract32", CORPROF_E_FUNCTION_NOT_COMPILED));
    EXPECT_EQ(import.References(), 0);
    EXPECT_EQ(import.Calls("Release"), 2);
}

TEST_F(LookupHelperTest, CustomAttributeIsFoundOnMethodOrClass) {
    const std::u16string marker = u"Shop.TracedAttribute";
    bool found = false;
    EXPECT_EQ(lookup.GetCustomAttributeByFunctionId(1, marker.c_str(), &found), S_FALSE);
    EXPECT_FALSE(found);

    import.attributes.insert({Plain, marker});
    EXPECT_EQ(lookup.GetCustomAttributeByFunctionId(1, marker.c_str(), &found), S_OK);
    EXPECT_TRUE(found);

    import.attributes.clear();
    import.attributes.insert({PlainRun, marker});
    bool onMethod = false;
    EXPECT_EQ(lookup.GetCustomAttributeByFunctionId(1, marker.c_str(), &onMethod), S_FALSE);  // the class query
    EXPECT_TRUE(onMethod);

    import.methods.erase(PlainRun);
    bool noType = false;
    EXPECT_EQ(lookup.GetCustomAttributeByFunctionId(1, marker.c_str(), &noType), CLDB_E_RECORD_NOTFOUND);
    EXPECT_TRUE(noType);  // the method's own attribute was still seen
    ExpectImportsReleased();
}

TEST(LookupRegistryTest, FirstModuleRecordStaysAndEveryRegistrationIsListed) {
    LookupHelper lookup(nullptr);
    ModuleInfo first(0x10, "First.dll");
    ModuleInfo second(0x10, "Second.dll");
    ModuleInfo other(0x20, "Other.dll");
    lookup.RegisterModule(&first);
    lookup.RegisterModule(&second);
    lookup.RegisterModule(&other);
    lookup.RegisterModule(nullptr);
    EXPECT_EQ(lookup.GetModuleInfoById(0x10), &first);
    EXPECT_EQ(lookup.GetModuleInfoById(0x20)->GetName(), "Other.dll");
    EXPECT_EQ(lookup.GetModuleInfoById(0x30), nullptr);
    EXPECT_EQ(lookup.GetModuleIds(), (std::vector<ModuleID>{0x10, 0x10, 0x20}));
    EXPECT_EQ(lookup.GetClassInfoByTypeDef(0x10, Plain), nullptr);
    EXPECT_EQ(lookup.GetClassInfoByTypeRef(0x10, 0x01000001), nullptr);
    EXPECT_FALSE(lookup.HasNetCoreLib());
    lookup.SetHasNetCoreLib();
    EXPECT_TRUE(lookup.HasNetCoreLib());
}

TEST(LookupRegistryTest, OneTrackerPerThreadIdEvenUnderConcurrentRequests) {
    LookupHelper lookup(nullptr);
    constexpr int Threads = 6;
    constexpr uint64_t Ids = 50;
    std::vector<std::vector<ThreadExecutionTracker*>> seen(Threads, std::vector<ThreadExecutionTracker*>(Ids));
    std::vector<std::thread> threads;
    for (int t = 0; t < Threads; ++t) {
        threads.emplace_back([&, t] {
            for (uint64_t id = 0; id < Ids; ++id) seen[t][id] = lookup.GetThreadExecutionTracker(id | (1ull << 63));
        });
    }
    for (auto& thread : threads) thread.join();

    EXPECT_EQ(lookup.TrackerCount(), Ids);
    for (uint64_t id = 0; id < Ids; ++id) {
        ASSERT_NE(seen[0][id], nullptr);
        EXPECT_EQ(seen[0][id]->GetThreadId(), id | (1ull << 63));
        for (int t = 1; t < Threads; ++t) EXPECT_EQ(seen[t][id], seen[0][id]);
    }
    // A reused id gets the tracker, and what it remembers, of the earlier thread.
    seen[0][3]->DisableFunction(101);
    EXPECT_TRUE(lookup.GetThreadExecutionTracker(3 | (1ull << 63))->IsDisabled(101));
    EXPECT_FALSE(lookup.GetThreadExecutionTracker(4 | (1ull << 63))->IsDisabled(101));
    EXPECT_EQ(lookup.TrackerCount(), Ids);
}

}  // namespace
