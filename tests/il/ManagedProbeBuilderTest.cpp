#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "environment/SystemContext.h"
#include "environment/profiler_pal.h"
#include "il/ManagedProbeBuilder.h"
#include "mapping/LookupHelper.h"
#include "support/FakeMetaDataAssembly.h"
#include "support/FakeMetaDataEmit.h"
#include "support/FakeMetaDataImport.h"
#include "support/FakeProfilerInfo.h"

namespace {

using Journal = std::vector<std::string>;

std::string Hex(const void* bytes, ULONG size) {
    std::string text;
    for (ULONG i = 0; i < size; ++i) {
        char unit[4];
        std::snprintf(unit, sizeof(unit), i == 0 ? "%02x" : " %02x", static_cast<const BYTE*>(bytes)[i]);
        text += unit;
    }
    return text;
}

std::string Token(mdToken token) {
    char text[16];
    std::snprintf(text, sizeof(text), "%08x", token);
    return text;
}

std::string Text(const char16_t* text) { return text == nullptr ? "<null>" : W2A(text); }

std::string Metadata(const ASSEMBLYMETADATA* md) {
    if (md == nullptr) return "<no metadata>";
    char text[128];
    std::snprintf(text, sizeof(text), "%u.%u.%u.%u locale='%s' processors=%u os=%u", md->usMajorVersion,
                  md->usMinorVersion, md->usBuildNumber, md->usRevisionNumber, Text(md->szLocale).c_str(),
                  md->ulProcessor + (md->rProcessor != nullptr ? 1000 : 0), md->ulOS + (md->rOS != nullptr ? 1000 : 0));
    return text;
}

// Answers the lookups the builder makes with fixed tokens; each call is written to the journal
// with its arguments. `failing` names one call that answers E_FAIL instead.
class RecordingImport : public FakeMetaDataImport {
public:
    explicit RecordingImport(Journal& journal) : log(journal) {}

    HRESULT FindTypeDefByName(LPCWSTR name, mdToken enclosing, mdTypeDef* typeDef) override {
        Count("FindTypeDefByName");
        log.push_back("FindTypeDefByName(" + Text(name) + "," + Token(enclosing) + ")");
        if (Fails("FindTypeDefByName:" + Text(name))) return E_FAIL;
        *typeDef = types.at(Text(name));
        return S_OK;
    }
    HRESULT FindMethod(mdTypeDef type, LPCWSTR name, PCCOR_SIGNATURE sig, ULONG sigSize, mdMethodDef* method) override {
        Count("FindMethod");
        log.push_back("FindMethod(" + Token(type) + "," + Text(name) + "," + Hex(sig, sigSize) + ")");
        if (Fails("FindMethod:" + Text(name))) return E_FAIL;
        *method = methods.at(Text(name));
        return S_OK;
    }
    HRESULT FindMember(mdTypeDef type, LPCWSTR name, PCCOR_SIGNATURE sig, ULONG sigSize, mdToken* member) override {
        Count("FindMember");
        log.push_back("FindMember(" + Token(type) + "," + Text(name) + "," + Hex(sig, sigSize) + ")");
        if (Fails("FindMember")) return E_FAIL;
        *member = 0x06000777;
        return S_OK;
    }
    HRESULT GetMethodProps(mdMethodDef method, mdTypeDef*, WCHAR*, ULONG, ULONG*, DWORD*, PCCOR_SIGNATURE*, ULONG*,
                           ULONG* rva, DWORD*) override {
        Count("GetMethodProps");
        log.push_back("GetMethodProps(" + Token(method) + ")");
        if (Fails("GetMethodProps")) return E_FAIL;
        *rva = 0x2050;
        return S_OK;
    }

    std::string failing;
    std::map<std::string, mdTypeDef> types = {{"System.IntPtr", 0x02000011},
                                              {"System.AccessViolationException", 0x02000022},
                                              {"System.Security.SecuritySafeCriticalAttribute", 0x02000033},
                                              {"System.CompatibilitySwitches", 0x02000044}};
    std::map<std::string, mdMethodDef> methods = {
        {"op_Explicit", 0x06000101}, {".ctor", 0x06000202}, {"InitializeSwitches", 0x06000303}};

private:
    bool Fails(const std::string& call) const { return !failing.empty() && call.rfind(failing, 0) == 0; }
    Journal& log;
};

class RecordingEmit : public FakeMetaDataEmit {
public:
    explicit RecordingEmit(Journal& journal) : log(journal) {}

    HRESULT DefineModuleRef(LPCWSTR name, mdModuleRef* moduleRef) override {
        Count("DefineModuleRef");
        log.push_back("DefineModuleRef(" + Text(name) + ")");
        if (failing == "DefineModuleRef") return E_FAIL;
        *moduleRef = 0x1A000001;
        return S_OK;
    }
    HRESULT DefineMethod(mdTypeDef type, LPCWSTR name, DWORD flags, PCCOR_SIGNATURE sig, ULONG sigSize, ULONG rva,
                         DWORD implFlags, mdMethodDef* method) override {
        Count("DefineMethod");
        char numbers[64];
        std::snprintf(numbers, sizeof(numbers), "flags=%#x,rva=%#x,impl=%#x", flags, rva, implFlags);
        log.push_back("DefineMethod(" + Token(type) + "," + Text(name) + "," + Hex(sig, sigSize) + "," + numbers + ")");
        if (failing == "DefineMethod:" + Text(name)) return E_FAIL;
        *method = 0x06000900 + ++defined;
        return S_OK;
    }
    HRESULT DefinePinvokeMap(mdToken method, DWORD flags, LPCWSTR importName, mdModuleRef moduleRef) override {
        Count("DefinePinvokeMap");
        char numbers[32];
        std::snprintf(numbers, sizeof(numbers), "%#x", flags);
        log.push_back("DefinePinvokeMap(" + Token(method) + "," + numbers + "," + Text(importName) + "," +
                      Token(moduleRef) + ")");
        if (failing == "DefinePinvokeMap") return E_FAIL;
        return S_OK;
    }
    HRESULT DefineCustomAttribute(mdToken owner, mdToken constructor, const void* blob, ULONG blobSize,
                                  mdCustomAttribute* attribute) override {
        Count("DefineCustomAttribute");
        log.push_back("DefineCustomAttribute(" + Token(owner) + "," + Token(constructor) + "," +
                      (blob == nullptr ? "null" : "blob") + "," + std::to_string(blobSize) + ")");
        if (failing == "DefineCustomAttribute:" + Token(owner)) return E_FAIL;
        *attribute = 0x0C000001;
        return S_OK;
    }
    HRESULT DefineTypeRefByName(mdToken scope, LPCWSTR name, mdTypeRef* typeRef) override {
        Count("DefineTypeRefByName");
        log.push_back("DefineTypeRefByName(" + Token(scope) + "," + Text(name) + ")");
        if (failing == "DefineTypeRefByName") return E_FAIL;
        *typeRef = 0x01000055;
        return S_OK;
    }
    HRESULT DefineMemberRef(mdToken parent, LPCWSTR name, PCCOR_SIGNATURE sig, ULONG sigSize,
                            mdMemberRef* memberRef) override {
        Count("DefineMemberRef");
        log.push_back("DefineMemberRef(" + Token(parent) + "," + Text(name) + "," + Hex(sig, sigSize) + ")");
        if (failing == "DefineMemberRef:" + Text(name)) return E_FAIL;
        *memberRef = 0x0A000060 + ++references;
        return S_OK;
    }

    std::string failing;

private:
    Journal& log;
    mdToken defined = 0;
    mdToken references = 0;
};

class RecordingAssemblyEmit : public FakeMetaDataAssemblyEmit {
public:
    explicit RecordingAssemblyEmit(Journal& journal) : log(journal) {}

    HRESULT DefineAssemblyRef(const void* token, ULONG tokenSize, LPCWSTR name, const ASSEMBLYMETADATA* metadata,
                              const void* hash, ULONG hashSize, DWORD flags, mdAssemblyRef* reference) override {
        Count("DefineAssemblyRef");
        log.push_back("DefineAssemblyRef(" + Hex(token, tokenSize) + "," + Text(name) + "," + Metadata(metadata) + "," +
                      (hash == nullptr ? "nohash" : "hash") + std::to_string(hashSize) + "," + std::to_string(flags) +
                      ")");
        if (fail) return E_FAIL;
        *reference = 0x23000009;
        return S_OK;
    }

    bool fail = false;

private:
    Journal& log;
};

// Hands out the given reference names in batches as the runtime does; an empty name makes
// GetAssemblyRefProps fail.
class ListedAssemblyImport : public FakeMetaDataAssemblyImport {
public:
    explicit ListedAssemblyImport(std::vector<std::u16string> referenceNames) : names(std::move(referenceNames)) {}

    HRESULT EnumAssemblyRefs(HCORENUM* enumerator, mdAssemblyRef* references, ULONG max, ULONG* count) override {
        Count("EnumAssemblyRefs");
        *enumerator = &position;
        *count = 0;
        while (*count < max && position < names.size()) references[(*count)++] = 0x23000001 + position++;
        return *count > 0 ? S_OK : S_FALSE;
    }
    HRESULT GetAssemblyRefProps(mdAssemblyRef reference, const void**, ULONG*, WCHAR* name, ULONG capacity,
                                ULONG* length, ASSEMBLYMETADATA*, const void**, ULONG*, DWORD*) override {
        Count("GetAssemblyRefProps");
        const std::u16string& text = names.at(RidFromToken(reference) - 1);
        if (text.empty()) return E_FAIL;
        const size_t copied = text.size() < capacity ? text.size() : capacity - 1;
        text.copy(name, copied);
        name[copied] = 0;
        *length = static_cast<ULONG>(text.size() + 1);
        return S_OK;
    }
    void CloseEnum(HCORENUM enumerator) override {
        Count("CloseEnum");
        closedRight = enumerator == &position;
    }

    bool closedRight = false;

private:
    std::vector<std::u16string> names;
    size_t position = 0;
};

class ReJitInfo : public FakeProfilerInfo {
public:
    HRESULT RequestReJIT(ULONG count, ModuleID* modules, mdMethodDef* methods) override {
        Count("RequestReJIT");
        requested.assign(count, {});
        for (ULONG i = 0; i < count; ++i) requested[i] = {modules[i], methods[i]};
        return answer;
    }
    HRESULT answer = S_OK;
    std::vector<std::pair<ModuleID, mdMethodDef>> requested;
};

const std::string HelperToken = "4d 1e 7b 90 c2 35 a8 f6";
const std::string CoreLibToken = "b7 7a 5c 56 19 34 e0 89";

class ManagedProbeBuilderTest : public ::testing::Test {
protected:
    void TearDown() override {
        delete g_Context;
        g_Context = nullptr;
        delete g_Lookup;
        g_Lookup = nullptr;
    }

    HRESULT AddReferences(IMetaDataAssemblyImport* assemblyImport, mdMemberRef* enter, mdMemberRef* exit) {
        return builder.AddProbeMemberReferencesToModule(5, assemblyImport, &assemblyEmit, &emit, &import, enter, exit);
    }

    Journal journal;
    RecordingImport import{journal};
    RecordingEmit emit{journal};
    RecordingAssemblyEmit assemblyEmit{journal};
    ManagedProbeBuilder builder;
};

TEST_F(ManagedProbeBuilderTest, GlobalProbeFunctionsAreDefinedInOrderWithExactSignaturesAndFlags) {
    mdMethodDef opExplicit = 0, enterPInvoke = 0, exitPInvoke = 0, enterProbe = 0, exitProbe = 0;
    ASSERT_EQ(builder.AddGlobalProbeFunctions(&import, &emit, &opExplicit, &enterPInvoke, &exitPInvoke, &enterProbe,
                                              &exitProbe),
              S_OK);

    const Journal expected = {
        "FindTypeDefByName(System.IntPtr,00000000)",
        "FindMethod(02000011,op_Explicit,00 01 18 0a)",
        "FindTypeDefByName(System.AccessViolationException,00000000)",
        "FindMethod(02000022,.ctor,20 00 01)",
        "GetMethodProps(06000202)",
        "DefineModuleRef(QuorixProfilerr)",
        "DefineMethod(02000022,ManagedProbeEnterFunction,00 03 01 18 09 08,flags=0x2016,rva=0,impl=0x80)",
        "DefinePinvokeMap(06000901,0x301,ManagedProbeEnterFunction,1a000001)",
        "DefineMethod(02000022,ManagedProbeExitFunction,00 03 01 18 09 08,flags=0x2016,rva=0,impl=0x80)",
        "DefinePinvokeMap(06000902,0x301,ManagedProbeExitFunction,1a000001)",
        "FindTypeDefByName(System.Security.SecuritySafeCriticalAttribute,00000000)",
        "FindMember(02000033,.ctor,20 00 01)",
        "DefineMethod(02000022,QuorixProfilerEnterProbe32,00 03 01 0b 09 08,flags=0x16,rva=0x2050,impl=0x8)",
        "DefineCustomAttribute(06000903,06000777,null,0)",
        "DefineMethod(02000022,QuorixProfilerExitProbe32,00 03 01 0b 09 08,flags=0x16,rva=0x2050,impl=0x8)",
        "DefineCustomAttribute(06000904,06000777,null,0)",
    };
    EXPECT_EQ(journal, expected);
    EXPECT_EQ(opExplicit, 0x06000101u);
    EXPECT_EQ(enterPInvoke, 0x06000901u);
    EXPECT_EQ(exitPInvoke, 0x06000902u);
    EXPECT_EQ(enterProbe, 0x06000903u);
    EXPECT_EQ(exitProbe, 0x06000904u);
}

TEST_F(ManagedProbeBuilderTest, GlobalProbeFunctionsStopAtTheFirstFailingStepAndReturnIt) {
    struct Case {
        std::string importFailure;
        std::string emitFailure;
        std::string lastCall;
    };
    const Case cases[] = {
        {"FindTypeDefByName:System.IntPtr", "", "FindTypeDefByName(System.IntPtr,00000000)"},
        {"FindMethod:op_Explicit", "", "FindMethod(02000011,op_Explicit,00 01 18 0a)"},
        {"FindMethod:.ctor", "", "FindMethod(02000022,.ctor,20 00 01)"},
        {"GetMethodProps", "", "GetMethodProps(06000202)"},
        {"", "DefineModuleRef", "DefineModuleRef(QuorixProfilerr)"},
        // Probe bodies calling a missing P/Invoke method would be invalid code: reported, not ignored.
        {"", "DefineMethod:ManagedProbeEnterFunction",
         "DefineMethod(02000022,ManagedProbeEnterFunction,00 03 01 18 09 08,flags=0x2016,rva=0,impl=0x80)"},
        {"", "DefinePinvokeMap", "DefinePinvokeMap(06000901,0x301,ManagedProbeEnterFunction,1a000001)"},
        {"FindMember", "", "FindMember(02000033,.ctor,20 00 01)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.importFailure + c.emitFailure);
        journal.clear();
        import.failing = c.importFailure;
        emit.failing = c.emitFailure;
        mdMethodDef tokens[5] = {};
        EXPECT_EQ(
            builder.AddGlobalProbeFunctions(&import, &emit, &tokens[0], &tokens[1], &tokens[2], &tokens[3], &tokens[4]),
            E_FAIL);
        ASSERT_FALSE(journal.empty());
        EXPECT_EQ(journal.back(), c.lastCall);
    }
}

TEST_F(ManagedProbeBuilderTest, EitherManagedProbeFailingFailsTheOperation) {
    mdMethodDef tokens[5] = {};
    emit.failing = "DefineCustomAttribute:06000904";  // the exit probe's attribute
    EXPECT_EQ(
        builder.AddGlobalProbeFunctions(&import, &emit, &tokens[0], &tokens[1], &tokens[2], &tokens[3], &tokens[4]),
        E_FAIL);

    journal.clear();
    emit.failing = "DefineMethod:QuorixProfilerEnterProbe32";
    mdMethodDef more[5] = {};
    EXPECT_EQ(builder.AddGlobalProbeFunctions(&import, &emit, &more[0], &more[1], &more[2], &more[3], &more[4]),
              E_FAIL);
    // The exit probe is still defined, in the published order.
    EXPECT_EQ(journal.back().rfind("DefineCustomAttribute(", 0), 0u);
    EXPECT_EQ(emit.Calls("DefineMethod"), 8);
}

TEST_F(ManagedProbeBuilderTest, HelperReferenceIsAddedAndSwitchesInitialiserIsReJitted) {
    ReJitInfo info;
    g_Context = new SystemContext("/nonexistent/cmdline");
    g_Context->SetProfiler4Info(&info);

    mdMethodDef switches = 0;
    mdMemberRef initialize = 0;
    EXPECT_EQ(
        builder.InjectManagedProfilerReference(0x7f0012345678, &assemblyEmit, &import, &emit, &switches, &initialize),
        S_OK);
    const Journal expected = {
        "DefineAssemblyRef(" + HelperToken +
            ",QuorixManagedProfilerHelper,1.0.0.0 locale='' processors=0 os=0,nohash0,0)",
        "DefineTypeRefByName(23000009,QuorixManagedProfilerHelper.ProfilerManager)",
        "DefineMemberRef(01000055,Initialize,00 00 01)",
        "FindTypeDefByName(System.CompatibilitySwitches,00000000)",
        "FindMethod(02000044,InitializeSwitches,00 00 01)",
    };
    EXPECT_EQ(journal, expected);
    ASSERT_EQ(info.requested.size(), 1u);
    EXPECT_EQ(info.requested[0].first, 0x7f0012345678u);
    EXPECT_EQ(info.requested[0].second, 0x06000303u);
    EXPECT_EQ(switches, 0x06000303u);
    EXPECT_EQ(initialize, 0x0A000061u);
}

TEST_F(ManagedProbeBuilderTest, RefusedReJitStillFillsBothOutParameters) {
    ReJitInfo info;
    info.answer = E_FAIL;
    g_Context = new SystemContext("/nonexistent/cmdline");
    g_Context->SetProfiler4Info(&info);

    mdMethodDef switches = 0;
    mdMemberRef initialize = 0;
    EXPECT_EQ(builder.InjectManagedProfilerReference(1, &assemblyEmit, &import, &emit, &switches, &initialize), E_FAIL);
    EXPECT_EQ(info.Calls("RequestReJIT"), 1);
    EXPECT_EQ(switches, 0x06000303u);
    EXPECT_EQ(initialize, 0x0A000061u);

    // Without any info interface the request cannot be made; the tokens are still handed out.
    g_Context->SetProfiler4Info(nullptr);
    switches = initialize = 0;
    EXPECT_TRUE(
        FAILED(builder.InjectManagedProfilerReference(1, &assemblyEmit, &import, &emit, &switches, &initialize)));
    EXPECT_EQ(switches, 0x06000303u);
    EXPECT_EQ(initialize, 0x0A000062u);
}

TEST_F(ManagedProbeBuilderTest, HelperReferenceStopsAtTheFirstFailure) {
    ReJitInfo info;
    g_Context = new SystemContext("/nonexistent/cmdline");
    g_Context->SetProfiler4Info(&info);
    mdMethodDef switches = 0x1234;
    mdMemberRef initialize = 0x5678;

    assemblyEmit.fail = true;
    EXPECT_EQ(builder.InjectManagedProfilerReference(1, &assemblyEmit, &import, &emit, &switches, &initialize), E_FAIL);
    EXPECT_EQ(journal.size(), 1u);

    assemblyEmit.fail = false;
    journal.clear();
    import.failing = "FindTypeDefByName:System.CompatibilitySwitches";
    EXPECT_EQ(builder.InjectManagedProfilerReference(1, &assemblyEmit, &import, &emit, &switches, &initialize), E_FAIL);
    EXPECT_EQ(journal.size(), 4u);
    EXPECT_EQ(info.Calls("RequestReJIT"), 0);
    EXPECT_EQ(switches, 0x1234u);
    EXPECT_EQ(initialize, 0x5678u);
}

TEST_F(ManagedProbeBuilderTest, CoreLibraryReferenceSpelledInCapitalsIsFoundInALaterBatch) {
    std::vector<std::u16string> names(23, u"System.Runtime");
    names[21] = u"MSCORLIB";
    ListedAssemblyImport assemblyImport(names);
    mdMemberRef enter = 0, exit = 0;
    EXPECT_EQ(AddReferences(&assemblyImport, &enter, &exit), S_OK);
    const Journal expected = {
        "DefineTypeRefByName(23000016,System.AccessViolationException)",
        "DefineMemberRef(01000055,QuorixProfilerEnterProbe32,00 03 01 0b 09 08)",
        "DefineMemberRef(01000055,QuorixProfilerExitProbe32,00 03 01 0b 09 08)",
    };
    EXPECT_EQ(journal, expected);
    EXPECT_EQ(enter, 0x0A000061u);
    EXPECT_EQ(exit, 0x0A000062u);
    EXPECT_EQ(assemblyImport.Calls("EnumAssemblyRefs"), 2);
    EXPECT_EQ(assemblyImport.Calls("CloseEnum"), 1);
    EXPECT_TRUE(assemblyImport.closedRight);
}

TEST_F(ManagedProbeBuilderTest, ModuleWithoutCoreLibraryReferenceGetsOneNamedAfterTheRuntime) {
    for (bool netCore : {false, true}) {
        SCOPED_TRACE(netCore);
        delete g_Lookup;
        g_Lookup = new LookupHelper();
        if (netCore) g_Lookup->SetHasNetCoreLib();
        journal.clear();
        ListedAssemblyImport assemblyImport({u"System.Runtime", u"System.Console", u"corlib"});
        mdMemberRef enter = 0, exit = 0;
        EXPECT_EQ(AddReferences(&assemblyImport, &enter, &exit), S_OK);
        const std::string name = netCore ? "System.Private.CoreLib" : "mscorlib.dll";
        ASSERT_EQ(journal.size(), 4u);
        EXPECT_EQ(journal[0],
                  "DefineAssemblyRef(" + CoreLibToken + "," + name + ",4.0.0.0 locale='' processors=0 os=0,nohash0,0)");
        EXPECT_EQ(journal[1], "DefineTypeRefByName(23000009,System.AccessViolationException)");
        EXPECT_EQ(assemblyImport.Calls("GetAssemblyRefProps"), 3);
    }
}

TEST_F(ManagedProbeBuilderTest, FailingNameLookupEndsOnlyItsBatch) {
    std::vector<std::u16string> names(21, u"System.Runtime");
    names[1] = u"";
    names[5] = u"mscorlib";  // never read: the batch ended before it
    names[20] = u"mscorlib";
    ListedAssemblyImport assemblyImport(names);
    mdMemberRef enter = 0, exit = 0;
    EXPECT_EQ(AddReferences(&assemblyImport, &enter, &exit), S_OK);
    EXPECT_EQ(assemblyEmit.Calls("DefineAssemblyRef"), 0);
    EXPECT_EQ(journal.front(), "DefineTypeRefByName(23000015,System.AccessViolationException)");
    EXPECT_EQ(assemblyImport.Calls("GetAssemblyRefProps"), 3);
}

TEST_F(ManagedProbeBuilderTest, FailedCoreLibraryReferenceStopsTheOperation) {
    ListedAssemblyImport assemblyImport({u"System.Runtime"});
    assemblyEmit.fail = true;
    mdMemberRef enter = 0, exit = 0;
    EXPECT_EQ(AddReferences(&assemblyImport, &enter, &exit), E_FAIL);
    EXPECT_EQ(emit.Calls("DefineTypeRefByName"), 0);
    EXPECT_EQ(assemblyImport.Calls("CloseEnum"), 1);

    assemblyEmit.fail = false;
    emit.failing = "DefineMemberRef:QuorixProfilerEnterProbe32";
    EXPECT_EQ(AddReferences(&assemblyImport, &enter, &exit), E_FAIL);
    EXPECT_EQ(emit.Calls("DefineMemberRef"), 1);
}

TEST_F(ManagedProbeBuilderTest, MscorlibReferenceIsRecognisedByItsEndIgnoringCase) {
    ListedAssemblyImport assemblyImport(
        {u"System.Runtime", u"mscorlib", u"Other.MsCorLib", u"corlib", u"", u"mscorlib"});
    const mdAssemblyRef refs[] = {0x23000001, 0x23000002, 0x23000003, 0x23000004, 0x23000005, 0x23000006};
    mdAssemblyRef found = 0;

    EXPECT_TRUE(builder.HasMscorlibReference(&assemblyImport, refs, 2, &found));
    EXPECT_EQ(found, 0x23000002u);
    found = 0;
    EXPECT_TRUE(builder.HasMscorlibReference(&assemblyImport, refs + 2, 1, &found));
    EXPECT_EQ(found, 0x23000003u);
    found = 0;
    EXPECT_FALSE(builder.HasMscorlibReference(&assemblyImport, refs, 1, &found));
    EXPECT_FALSE(builder.HasMscorlibReference(&assemblyImport, refs + 3, 1, &found));
    // A failing lookup ends the search, even when a later reference would match.
    EXPECT_FALSE(builder.HasMscorlibReference(&assemblyImport, refs + 4, 2, &found));
    EXPECT_FALSE(builder.HasMscorlibReference(&assemblyImport, refs, 0, &found));
    EXPECT_EQ(found, 0u);
}

// A runtime that fills the name buffer to its end without a terminator must not make us read past it.
TEST_F(ManagedProbeBuilderTest, UnterminatedReferenceNameIsReadWithinItsBuffer) {
    class Unterminated : public FakeMetaDataAssemblyImport {
    public:
        HRESULT GetAssemblyRefProps(mdAssemblyRef, const void**, ULONG*, WCHAR* name, ULONG capacity, ULONG* length,
                                    ASSEMBLYMETADATA*, const void**, ULONG*, DWORD*) override {
            for (ULONG i = 0; i < capacity; ++i) name[i] = u'x';
            const char16_t tail[] = u"mscorlib";
            for (int i = 0; i < 8; ++i) name[capacity - 9 + i] = tail[i];
            *length = 100000;
            return S_OK;
        }
    } assemblyImport;
    const mdAssemblyRef ref = 0x23000001;
    mdAssemblyRef found = 0;
    EXPECT_TRUE(builder.HasMscorlibReference(&assemblyImport, &ref, 1, &found));
}

TEST(ModuleNameEndsWith, ComparesTheEndIgnoringCaseAndNeedsAShorterSuffix) {
    EXPECT_TRUE(ManagedProbeBuilder::ModuleNameEndsWith(u"/usr/share/dotnet/System.Private.CoreLib.dll",
                                                        u"system.private.corelib.DLL"));
    EXPECT_TRUE(ManagedProbeBuilder::ModuleNameEndsWith(u"C:\\Windows\\MSCORLIB.DLL", u"mscorlib.dll"));
    EXPECT_FALSE(ManagedProbeBuilder::ModuleNameEndsWith(u"mscorlib.dll", u"MSCORLIB.DLL"));
    EXPECT_FALSE(ManagedProbeBuilder::ModuleNameEndsWith(u"lib.dll", u"mscorlib.dll"));
    EXPECT_FALSE(ManagedProbeBuilder::ModuleNameEndsWith(u"app.dll", u"app.exe"));
    EXPECT_FALSE(ManagedProbeBuilder::ModuleNameEndsWith(u"app.dll", nullptr));
    EXPECT_FALSE(ManagedProbeBuilder::ModuleNameEndsWith(nullptr, u"dll"));
}

TEST(CompareIgnoreCase, FoldsAsciiAndLatinLettersOnly) {
    EXPECT_EQ(ManagedProbeBuilder::CompareIgnoreCase(u"MsCorLib", u"mscorlib"), 0);
    EXPECT_EQ(ManagedProbeBuilder::CompareIgnoreCase(u"\u00C9T\u00C9", u"\u00E9t\u00E9"), 0);
    EXPECT_NE(ManagedProbeBuilder::CompareIgnoreCase(u"\u00D7", u"\u00F7"), 0);
    EXPECT_NE(ManagedProbeBuilder::CompareIgnoreCase(u"[", u"{"), 0);
    EXPECT_LT(ManagedProbeBuilder::CompareIgnoreCase(u"abc", u"ABCD"), 0);
    EXPECT_GT(ManagedProbeBuilder::CompareIgnoreCase(u"b", u"A"), 0);
    EXPECT_EQ(ManagedProbeBuilder::CompareIgnoreCase(nullptr, nullptr), 0);
    EXPECT_LT(ManagedProbeBuilder::CompareIgnoreCase(nullptr, u""), 0);
}

}  // namespace
