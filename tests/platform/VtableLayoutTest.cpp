// Run-time proof of the interface layouts: a call made the way the runtime makes it (load entry N
// of the object's vtable, call it with `this` first) must land on the method the published table
// names for slot N. A slip here would send the host into the wrong function.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <type_traits>

#include "platform/ComTypes.h"
#include "platform/MetaData.h"
#include "platform/ProfilerCallback.h"
#include "platform/ProfilerInfo.h"

namespace {

struct CallLog {
    std::size_t calledSlot = SIZE_MAX;
    const char* calledName = "";
};

template <class R>
R NeutralResult() {
    if constexpr (std::is_void_v<R>) {
        return;
    } else {
        return R{};
    }
}

// Every override records which listed entry it is.
#define QX_RECORD(slot, ret, name, params) \
    ret name params override {             \
        log.calledSlot = slot;             \
        log.calledName = #name;            \
        return NeutralResult<ret>();       \
    }

class CallbackRecorder final : public ICorProfilerCallback4 {
public:
    using Interface = ICorProfilerCallback4;
    QX_IUNKNOWN_METHODS(QX_RECORD)
    QX_ICORPROFILERCALLBACK_METHODS(QX_RECORD)
    QX_ICORPROFILERCALLBACK2_METHODS(QX_RECORD)
    QX_ICORPROFILERCALLBACK3_METHODS(QX_RECORD)
    QX_ICORPROFILERCALLBACK4_METHODS(QX_RECORD)
    CallLog log;
};

class InfoRecorder final : public ICorProfilerInfo6 {
public:
    using Interface = ICorProfilerInfo6;
    QX_IUNKNOWN_METHODS(QX_RECORD)
    QX_ICORPROFILERINFO_METHODS(QX_RECORD)
    QX_ICORPROFILERINFO2_METHODS(QX_RECORD)
    QX_ICORPROFILERINFO3_METHODS(QX_RECORD)
    QX_ICORPROFILERINFO4_METHODS(QX_RECORD)
    QX_ICORPROFILERINFO5_METHODS(QX_RECORD)
    QX_ICORPROFILERINFO6_METHODS(QX_RECORD)
    CallLog log;
};

class ImportRecorder final : public IMetaDataImport2 {
public:
    using Interface = IMetaDataImport2;
    QX_IUNKNOWN_METHODS(QX_RECORD)
    QX_IMETADATAIMPORT_METHODS(QX_RECORD)
    QX_IMETADATAIMPORT2_METHODS(QX_RECORD)
    CallLog log;
};

class EmitRecorder final : public IMetaDataEmit2 {
public:
    using Interface = IMetaDataEmit2;
    QX_IUNKNOWN_METHODS(QX_RECORD)
    QX_IMETADATAEMIT_METHODS(QX_RECORD)
    QX_IMETADATAEMIT2_METHODS(QX_RECORD)
    CallLog log;
};

#define QX_SIMPLE_RECORDER(Recorder, Iface, METHODS) \
    class Recorder final : public Iface {            \
    public:                                          \
        using Interface = Iface;                     \
        QX_IUNKNOWN_METHODS(QX_RECORD)               \
        METHODS(QX_RECORD)                           \
        CallLog log;                                 \
    }

QX_SIMPLE_RECORDER(AssemblyImportRecorder, IMetaDataAssemblyImport, QX_IMETADATAASSEMBLYIMPORT_METHODS);
QX_SIMPLE_RECORDER(AssemblyEmitRecorder, IMetaDataAssemblyEmit, QX_IMETADATAASSEMBLYEMIT_METHODS);
QX_SIMPLE_RECORDER(ClassFactoryRecorder, IClassFactory, QX_ICLASSFACTORY_METHODS);
QX_SIMPLE_RECORDER(MethodMallocRecorder, IMethodMalloc, QX_IMETHODMALLOC_METHODS);
QX_SIMPLE_RECORDER(FunctionControlRecorder, ICorProfilerFunctionControl, QX_ICORPROFILERFUNCTIONCONTROL_METHODS);
QX_SIMPLE_RECORDER(ObjectEnumRecorder, ICorProfilerObjectEnum, QX_ICORPROFILEROBJECTENUM_METHODS);
QX_SIMPLE_RECORDER(FunctionEnumRecorder, ICorProfilerFunctionEnum, QX_ICORPROFILERFUNCTIONENUM_METHODS);
QX_SIMPLE_RECORDER(ModuleEnumRecorder, ICorProfilerModuleEnum, QX_ICORPROFILERMODULEENUM_METHODS);
QX_SIMPLE_RECORDER(ThreadEnumRecorder, ICorProfilerThreadEnum, QX_ICORPROFILERTHREADENUM_METHODS);
QX_SIMPLE_RECORDER(MethodEnumRecorder, ICorProfilerMethodEnum, QX_ICORPROFILERMETHODENUM_METHODS);

// Loads entry `slot` of the object's vtable and calls it as the runtime would: a plain function
// taking the interface pointer first, every argument zero. Returns the name the callee recorded.
template <class Recorder, class C, class R, class... A>
const char* CallThroughSlot(Recorder& recorder, std::size_t slot, R (C::*)(A...)) {
    if (slot >= qx::com::Layout<typename Recorder::Interface>::length) {
        return "(beyond the vtable)";
    }
    C* object = &recorder;
    void* const* vtable = nullptr;
    std::memcpy(&vtable, static_cast<const void*>(object), sizeof vtable);
    R (*entry)(C*, A...) = nullptr;
    std::memcpy(&entry, &vtable[slot], sizeof entry);
    recorder.log = CallLog{};
    entry(object, A{}...);
    return recorder.log.calledName;
}

// The compiler's own idea of the slot: under the Itanium C++ ABI a pointer to a virtual member
// function holds 1 + the byte offset of its vtable entry.
template <class M>
std::size_t VirtualSlotOf(M method) {
    static_assert(sizeof(M) == 2 * sizeof(std::uintptr_t));
    std::uintptr_t raw[2];
    std::memcpy(raw, &method, sizeof raw);
    if ((raw[0] & 1) == 0) {
        return SIZE_MAX;
    }
    return (raw[0] - 1) / sizeof(void*);
}

template <class Recorder, class C, class R, class... A>
void ExpectListedSlot(Recorder& recorder, std::size_t slot, R (C::*method)(A...), const char* name) {
    SCOPED_TRACE(name);
    ASSERT_EQ(VirtualSlotOf(method), slot);
    EXPECT_STREQ(CallThroughSlot(recorder, slot, method), name);
    EXPECT_EQ(recorder.log.calledSlot, slot);
}

#define QX_EXPECT_LISTED(slot, ret, name, params) ExpectListedSlot(recorder, slot, &Iface::name, #name);

// Every listed entry of every interface, inherited ones included, sits at its listed slot.
TEST(VtableLayout, EveryListedMethodOfTheCallbacksSitsAtItsSlot) {
    CallbackRecorder recorder;
    using Iface = ICorProfilerCallback4;
    QX_IUNKNOWN_METHODS(QX_EXPECT_LISTED)
    QX_ICORPROFILERCALLBACK_METHODS(QX_EXPECT_LISTED)
    QX_ICORPROFILERCALLBACK2_METHODS(QX_EXPECT_LISTED)
    QX_ICORPROFILERCALLBACK3_METHODS(QX_EXPECT_LISTED)
    QX_ICORPROFILERCALLBACK4_METHODS(QX_EXPECT_LISTED)
}

TEST(VtableLayout, EveryListedMethodOfTheInfoInterfacesSitsAtItsSlot) {
    InfoRecorder recorder;
    using Iface = ICorProfilerInfo6;
    QX_IUNKNOWN_METHODS(QX_EXPECT_LISTED)
    QX_ICORPROFILERINFO_METHODS(QX_EXPECT_LISTED)
    QX_ICORPROFILERINFO2_METHODS(QX_EXPECT_LISTED)
    QX_ICORPROFILERINFO3_METHODS(QX_EXPECT_LISTED)
    QX_ICORPROFILERINFO4_METHODS(QX_EXPECT_LISTED)
    QX_ICORPROFILERINFO5_METHODS(QX_EXPECT_LISTED)
    QX_ICORPROFILERINFO6_METHODS(QX_EXPECT_LISTED)
}

TEST(VtableLayout, EveryListedMethodOfTheMetaDataInterfacesSitsAtItsSlot) {
    {
        ImportRecorder recorder;
        using Iface = IMetaDataImport2;
        QX_IUNKNOWN_METHODS(QX_EXPECT_LISTED)
        QX_IMETADATAIMPORT_METHODS(QX_EXPECT_LISTED)
        QX_IMETADATAIMPORT2_METHODS(QX_EXPECT_LISTED)
    }
    {
        EmitRecorder recorder;
        using Iface = IMetaDataEmit2;
        QX_IUNKNOWN_METHODS(QX_EXPECT_LISTED)
        QX_IMETADATAEMIT_METHODS(QX_EXPECT_LISTED)
        QX_IMETADATAEMIT2_METHODS(QX_EXPECT_LISTED)
    }
    {
        AssemblyImportRecorder recorder;
        using Iface = IMetaDataAssemblyImport;
        QX_IUNKNOWN_METHODS(QX_EXPECT_LISTED)
        QX_IMETADATAASSEMBLYIMPORT_METHODS(QX_EXPECT_LISTED)
    }
    {
        AssemblyEmitRecorder recorder;
        using Iface = IMetaDataAssemblyEmit;
        QX_IUNKNOWN_METHODS(QX_EXPECT_LISTED)
        QX_IMETADATAASSEMBLYEMIT_METHODS(QX_EXPECT_LISTED)
    }
}

TEST(VtableLayout, EveryListedMethodOfTheSmallInterfacesSitsAtItsSlot) {
#define QX_CHECK_SMALL(Recorder, Iface_, METHODS) \
    {                                             \
        Recorder recorder;                        \
        using Iface = Iface_;                     \
        QX_IUNKNOWN_METHODS(QX_EXPECT_LISTED)     \
        METHODS(QX_EXPECT_LISTED)                 \
    }
    QX_CHECK_SMALL(ClassFactoryRecorder, IClassFactory, QX_ICLASSFACTORY_METHODS)
    QX_CHECK_SMALL(MethodMallocRecorder, IMethodMalloc, QX_IMETHODMALLOC_METHODS)
    QX_CHECK_SMALL(FunctionControlRecorder, ICorProfilerFunctionControl, QX_ICORPROFILERFUNCTIONCONTROL_METHODS)
    QX_CHECK_SMALL(ObjectEnumRecorder, ICorProfilerObjectEnum, QX_ICORPROFILEROBJECTENUM_METHODS)
    QX_CHECK_SMALL(FunctionEnumRecorder, ICorProfilerFunctionEnum, QX_ICORPROFILERFUNCTIONENUM_METHODS)
    QX_CHECK_SMALL(ModuleEnumRecorder, ICorProfilerModuleEnum, QX_ICORPROFILERMODULEENUM_METHODS)
    QX_CHECK_SMALL(ThreadEnumRecorder, ICorProfilerThreadEnum, QX_ICORPROFILERTHREADENUM_METHODS)
    QX_CHECK_SMALL(MethodEnumRecorder, ICorProfilerMethodEnum, QX_ICORPROFILERMETHODENUM_METHODS)
#undef QX_CHECK_SMALL
}

// ---------------------------------------------------------------------------------------------
// The slots the agent calls or implements, written out independently of the headers: slot number,
// name and signature as the published table gives them, in its notation.

using HR = int32_t;
using i32 = int32_t;
using u8 = uint8_t;
using u16 = uint16_t;
using u32 = uint32_t;
using u64 = uint64_t;
using char16 = char16_t;

template <class Iface, class Signature>
struct MemberOf;
template <class Iface, class R, class... A>
struct MemberOf<Iface, R(A...)> {
    using type = R (Iface::*)(A...);
};

#define EXPECT_PUBLISHED_SLOT(recorder, Iface, slotNumber, Method, ...)                                              \
    do {                                                                                                             \
        static_assert(std::is_same_v<decltype(&Iface::Method), MemberOf<Iface, __VA_ARGS__>::type>,                  \
                      #Iface "::" #Method " differs from the published signature");                                  \
        EXPECT_STREQ(CallThroughSlot(recorder, slotNumber, &Iface::Method), #Method) << #Iface " slot " #slotNumber; \
    } while (0)

TEST(VtableLayout, CallbackSlotsMatchThePublishedTable) {
    CallbackRecorder r;
    EXPECT_PUBLISHED_SLOT(r, IUnknown, 0, QueryInterface, HR(const GUID*, void**));
    EXPECT_PUBLISHED_SLOT(r, IUnknown, 1, AddRef, u32());
    EXPECT_PUBLISHED_SLOT(r, IUnknown, 2, Release, u32());
    EXPECT_PUBLISHED_SLOT(r, ICorProfilerCallback, 3, Initialize, HR(IUnknown*));
    EXPECT_PUBLISHED_SLOT(r, ICorProfilerCallback, 4, Shutdown, HR());
    EXPECT_PUBLISHED_SLOT(r, ICorProfilerCallback, 25, JITCachedFunctionSearchStarted, HR(u64, i32*));
    EXPECT_PUBLISHED_SLOT(r, ICorProfilerCallback, 28, JITInlining, HR(u64, u64, i32*));
    EXPECT_PUBLISHED_SLOT(r, ICorProfilerCallback, 29, ThreadCreated, HR(u64));
    EXPECT_PUBLISHED_SLOT(r, ICorProfilerCallback, 30, ThreadDestroyed, HR(u64));
    EXPECT_PUBLISHED_SLOT(r, ICorProfilerCallback, 31, ThreadAssignedToOSThread, HR(u64, u32));
    EXPECT_PUBLISHED_SLOT(r, ICorProfilerCallback, 54, ExceptionThrown, HR(u64));
    EXPECT_PUBLISHED_SLOT(r, ICorProfilerCallback, 62, ExceptionUnwindFunctionEnter, HR(u64));
    EXPECT_PUBLISHED_SLOT(r, ICorProfilerCallback, 66, ExceptionCatcherEnter, HR(u64, u64));
    EXPECT_PUBLISHED_SLOT(r, ICorProfilerCallback, 71, ExceptionCLRCatcherExecute, HR());
    EXPECT_PUBLISHED_SLOT(r, ICorProfilerCallback2, 72, ThreadNameChanged, HR(u64, u32, char16*));
    EXPECT_PUBLISHED_SLOT(r, ICorProfilerCallback2, 79, HandleDestroyed, HR(u64));
    EXPECT_PUBLISHED_SLOT(r, ICorProfilerCallback3, 80, InitializeForAttach, HR(IUnknown*, void*, u32));
    EXPECT_PUBLISHED_SLOT(r, ICorProfilerCallback3, 82, ProfilerDetachSucceeded, HR());
    EXPECT_PUBLISHED_SLOT(r, ICorProfilerCallback, 14, ModuleLoadFinished, HR(u64, HR));
    EXPECT_PUBLISHED_SLOT(r, ICorProfilerCallback4, 84, GetReJITParameters, HR(u64, u32, ICorProfilerFunctionControl*));
    EXPECT_PUBLISHED_SLOT(r, ICorProfilerCallback4, 86, ReJITError, HR(u64, u32, u64, HR));
    EXPECT_PUBLISHED_SLOT(r, ICorProfilerCallback4, 88, SurvivingReferences2, HR(u32, u64*, u64*));
}

TEST(VtableLayout, InfoSlotsMatchThePublishedTable) {
    InfoRecorder r;
    EXPECT_PUBLISHED_SLOT(r, ICorProfilerInfo, 13, GetCurrentThreadID, HR(u64*));
    EXPECT_PUBLISHED_SLOT(r, ICorProfilerInfo, 14, GetClassIDInfo, HR(u64, u64*, u32*));
    EXPECT_PUBLISHED_SLOT(r, ICorProfilerInfo, 15, GetFunctionInfo, HR(u64, u64*, u64*, u32*));
    EXPECT_PUBLISHED_SLOT(r, ICorProfilerInfo, 16, SetEventMask, HR(u32));
    EXPECT_PUBLISHED_SLOT(r, ICorProfilerInfo, 17, SetEnterLeaveFunctionHooks,
                          HR(FunctionEnter*, FunctionLeave*, FunctionTailcall*));
    EXPECT_PUBLISHED_SLOT(r, ICorProfilerInfo, 18, SetFunctionIDMapper, HR(FunctionIDMapper*));
    EXPECT_PUBLISHED_SLOT(r, ICorProfilerInfo, 19, GetTokenAndMetaDataFromFunction,
                          HR(u64, const GUID*, IUnknown**, u32*));
    EXPECT_PUBLISHED_SLOT(r, ICorProfilerInfo, 20, GetModuleInfo, HR(u64, const u8**, u32, u32*, char16*, u64*));
    EXPECT_PUBLISHED_SLOT(r, ICorProfilerInfo, 21, GetModuleMetaData, HR(u64, u32, const GUID*, IUnknown**));
    EXPECT_PUBLISHED_SLOT(r, ICorProfilerInfo, 22, GetILFunctionBody, HR(u64, u32, const u8**, u32*));
    EXPECT_PUBLISHED_SLOT(r, ICorProfilerInfo, 23, GetILFunctionBodyAllocator, HR(u64, IMethodMalloc**));
    EXPECT_PUBLISHED_SLOT(r, ICorProfilerInfo, 24, SetILFunctionBody, HR(u64, u32, const u8*));
    EXPECT_PUBLISHED_SLOT(r, ICorProfilerInfo2, 37, SetEnterLeaveFunctionHooks2,
                          HR(FunctionEnter2*, FunctionLeave2*, FunctionTailcall2*));
    EXPECT_PUBLISHED_SLOT(r, ICorProfilerInfo2, 38, GetFunctionInfo2, HR(u64, u64, u64*, u64*, u32*, u32, u32*, u64*));
    EXPECT_PUBLISHED_SLOT(r, ICorProfilerInfo2, 39, GetStringLayout, HR(u32*, u32*, u32*));
    EXPECT_PUBLISHED_SLOT(r, ICorProfilerInfo2, 40, GetClassLayout, HR(u64, COR_FIELD_OFFSET*, u32, u32*, u32*));
    // Kept although obsolete: everything after it would shift without it.
    EXPECT_PUBLISHED_SLOT(r, ICorProfilerInfo2, 45, EnumModuleFrozenObjects, HR(u64, ICorProfilerObjectEnum**));
    EXPECT_PUBLISHED_SLOT(r, ICorProfilerInfo2, 46, GetArrayObjectInfo, HR(u64, u32, u32*, i32*, u8**));
    EXPECT_PUBLISHED_SLOT(r, ICorProfilerInfo3, 60, GetStringLayout2, HR(u32*, u32*));
    EXPECT_PUBLISHED_SLOT(r, ICorProfilerInfo3, 67, GetRuntimeInformation,
                          HR(u16*, COR_PRF_RUNTIME_TYPE*, u16*, u16*, u16*, u16*, u32, u32*, char16*));
    EXPECT_PUBLISHED_SLOT(r, ICorProfilerInfo3, 70, GetModuleInfo2,
                          HR(u64, const u8**, u32, u32*, char16*, u64*, u32*));
    EXPECT_PUBLISHED_SLOT(r, ICorProfilerInfo4, 73, RequestReJIT, HR(u32, u64*, u32*));
    EXPECT_PUBLISHED_SLOT(r, ICorProfilerInfo4, 80, GetObjectSize2, HR(u64, u64*));
    EXPECT_PUBLISHED_SLOT(r, ICorProfilerInfo6, 83, EnumNgenModuleMethodsInliningThisMethod,
                          HR(u64, u64, u32, i32*, ICorProfilerMethodEnum**));
}

TEST(VtableLayout, MetaDataSlotsMatchThePublishedTable) {
    ImportRecorder import;
    EXPECT_PUBLISHED_SLOT(import, IMetaDataImport, 3, CloseEnum, void(void*));
    EXPECT_PUBLISHED_SLOT(import, IMetaDataImport, 7, EnumInterfaceImpls, HR(void**, u32, u32*, u32, u32*));
    EXPECT_PUBLISHED_SLOT(import, IMetaDataImport, 9, FindTypeDefByName, HR(const char16*, u32, u32*));
    EXPECT_PUBLISHED_SLOT(import, IMetaDataImport, 11, GetModuleFromScope, HR(u32*));
    EXPECT_PUBLISHED_SLOT(import, IMetaDataImport, 12, GetTypeDefProps, HR(u32, char16*, u32, u32*, u32*, u32*));
    EXPECT_PUBLISHED_SLOT(import, IMetaDataImport, 13, GetInterfaceImplProps, HR(u32, u32*, u32*));
    EXPECT_PUBLISHED_SLOT(import, IMetaDataImport, 14, GetTypeRefProps, HR(u32, u32*, char16*, u32, u32*));
    EXPECT_PUBLISHED_SLOT(import, IMetaDataImport, 26, FindMember, HR(u32, const char16*, const u8*, u32, u32*));
    EXPECT_PUBLISHED_SLOT(import, IMetaDataImport, 27, FindMethod, HR(u32, const char16*, const u8*, u32, u32*));
    EXPECT_PUBLISHED_SLOT(import, IMetaDataImport, 30, GetMethodProps,
                          HR(u32, u32*, char16*, u32, u32*, u32*, const u8**, u32*, u32*, u32*));
    EXPECT_PUBLISHED_SLOT(import, IMetaDataImport, 31, GetMemberRefProps,
                          HR(u32, u32*, char16*, u32, u32*, const u8**, u32*));
    EXPECT_PUBLISHED_SLOT(import, IMetaDataImport, 41, GetSigFromToken, HR(u32, const u8**, u32*));
    EXPECT_PUBLISHED_SLOT(import, IMetaDataImport, 55, FindTypeRef, HR(u32, const char16*, u32*));
    EXPECT_PUBLISHED_SLOT(import, IMetaDataImport, 60, GetCustomAttributeByName,
                          HR(u32, const char16*, const void**, u32*));
    EXPECT_PUBLISHED_SLOT(import, IMetaDataImport, 61, IsValidToken, i32(u32));
    EXPECT_PUBLISHED_SLOT(import, IMetaDataImport, 62, GetNestedClassProps, HR(u32, u32*));
    EXPECT_PUBLISHED_SLOT(import, IMetaDataImport2, 72, EnumMethodSpecs, HR(void**, u32, u32*, u32, u32*));

    EmitRecorder emit;
    EXPECT_PUBLISHED_SLOT(emit, IMetaDataEmit, 10, DefineMethod,
                          HR(u32, const char16*, u32, const u8*, u32, u32, u32, u32*));
    EXPECT_PUBLISHED_SLOT(emit, IMetaDataEmit, 12, DefineTypeRefByName, HR(u32, const char16*, u32*));
    EXPECT_PUBLISHED_SLOT(emit, IMetaDataEmit, 14, DefineMemberRef, HR(u32, const char16*, const u8*, u32, u32*));
    EXPECT_PUBLISHED_SLOT(emit, IMetaDataEmit, 22, SetRVA, HR(u32, u32));
    EXPECT_PUBLISHED_SLOT(emit, IMetaDataEmit, 23, GetTokenFromSig, HR(const u8*, u32, u32*));
    EXPECT_PUBLISHED_SLOT(emit, IMetaDataEmit, 24, DefineModuleRef, HR(const char16*, u32*));
    EXPECT_PUBLISHED_SLOT(emit, IMetaDataEmit, 34, DefinePinvokeMap, HR(u32, u32, const char16*, u32));
    EXPECT_PUBLISHED_SLOT(emit, IMetaDataEmit, 37, DefineCustomAttribute, HR(u32, u32, const void*, u32, u32*));
    EXPECT_PUBLISHED_SLOT(emit, IMetaDataEmit2, 59, ResetENCLog, HR());

    AssemblyImportRecorder assemblyImport;
    EXPECT_PUBLISHED_SLOT(assemblyImport, IMetaDataAssemblyImport, 3, GetAssemblyProps,
                          HR(u32, const void**, u32*, u32*, char16*, u32, u32*, ASSEMBLYMETADATA*, u32*));
    EXPECT_PUBLISHED_SLOT(assemblyImport, IMetaDataAssemblyImport, 4, GetAssemblyRefProps,
                          HR(u32, const void**, u32*, char16*, u32, u32*, ASSEMBLYMETADATA*, const void**, u32*, u32*));
    EXPECT_PUBLISHED_SLOT(assemblyImport, IMetaDataAssemblyImport, 8, EnumAssemblyRefs, HR(void**, u32*, u32, u32*));
    EXPECT_PUBLISHED_SLOT(assemblyImport, IMetaDataAssemblyImport, 15, CloseEnum, void(void*));

    AssemblyEmitRecorder assemblyEmit;
    EXPECT_PUBLISHED_SLOT(assemblyEmit, IMetaDataAssemblyEmit, 4, DefineAssemblyRef,
                          HR(const void*, u32, const char16*, const ASSEMBLYMETADATA*, const void*, u32, u32, u32*));
}

TEST(VtableLayout, HelperInterfaceSlotsMatchThePublishedTable) {
    ClassFactoryRecorder factory;
    EXPECT_PUBLISHED_SLOT(factory, IClassFactory, 3, CreateInstance, HR(IUnknown*, const GUID*, void**));
    EXPECT_PUBLISHED_SLOT(factory, IClassFactory, 4, LockServer, HR(i32));

    MethodMallocRecorder allocator;
    EXPECT_PUBLISHED_SLOT(allocator, IMethodMalloc, 3, Alloc, void*(u32));

    FunctionControlRecorder control;
    EXPECT_PUBLISHED_SLOT(control, ICorProfilerFunctionControl, 4, SetILFunctionBody, HR(u32, const u8*));

    ModuleEnumRecorder modules;
    EXPECT_PUBLISHED_SLOT(modules, ICorProfilerModuleEnum, 7, Next, HR(u32, u64*, u32*));
}

// Hooks are plain functions the runtime calls with exactly these arguments.
static_assert(std::is_same_v<FunctionEnter2, void(u64, u64, u64, COR_PRF_FUNCTION_ARGUMENT_INFO*)>);
static_assert(std::is_same_v<FunctionLeave2, void(u64, u64, u64, COR_PRF_FUNCTION_ARGUMENT_RANGE*)>);
static_assert(std::is_same_v<FunctionTailcall2, void(u64, u64, u64)>);
static_assert(std::is_same_v<FunctionIDMapper, u64(u64, i32*)>);
static_assert(std::is_same_v<FunctionIDMapper2, u64(u64, void*, i32*)>);
static_assert(std::is_same_v<FunctionEnter, void(u64)>);
static_assert(std::is_same_v<StackSnapshotCallback, HR(u64, u64, u64, u32, u8*, void*)>);

}  // namespace
