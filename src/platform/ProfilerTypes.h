#pragma once

// Identifiers, structs, enumerations, hook signatures and result codes of the runtime's
// profiling interface.

#include "platform/ComTypes.h"
#include "platform/MetaDataTypes.h"

// Opaque 64-bit values issued by the runtime. An ObjectID is the object's current address and is
// valid only until the next collection; a ThreadID is the runtime's own thread, not the OS tid.
using FunctionID = UINT_PTR;
using ClassID = UINT_PTR;
using ModuleID = UINT_PTR;
using AssemblyID = UINT_PTR;
using AppDomainID = UINT_PTR;
using ObjectID = UINT_PTR;
using ThreadID = UINT_PTR;
using ContextID = UINT_PTR;
using ProcessID = UINT_PTR;
using GCHandleID = UINT_PTR;
using ReJITID = UINT_PTR;
// Valid only while the hook that received it runs; never dereferenced, only handed back.
using COR_PRF_FRAME_INFO = UINT_PTR;
using COR_PRF_ELT_INFO = UINT_PTR;

union FunctionIDOrClientID {
    FunctionID functionID;
    UINT_PTR clientID;
};
static_assert(sizeof(FunctionIDOrClientID) == 8);

// ---------------------------------------------------------------------------------------------
// Event mask (SetEventMask / GetEventMask).

enum COR_PRF_MONITOR : uint32_t {
    COR_PRF_MONITOR_NONE = 0x00000000,
    COR_PRF_MONITOR_FUNCTION_UNLOADS = 0x00000001,
    COR_PRF_MONITOR_CLASS_LOADS = 0x00000002,
    COR_PRF_MONITOR_MODULE_LOADS = 0x00000004,
    COR_PRF_MONITOR_ASSEMBLY_LOADS = 0x00000008,
    COR_PRF_MONITOR_APPDOMAIN_LOADS = 0x00000010,
    COR_PRF_MONITOR_JIT_COMPILATION = 0x00000020,
    COR_PRF_MONITOR_EXCEPTIONS = 0x00000040,
    COR_PRF_MONITOR_GC = 0x00000080,
    COR_PRF_MONITOR_OBJECT_ALLOCATED = 0x00000100,
    COR_PRF_MONITOR_THREADS = 0x00000200,
    COR_PRF_MONITOR_REMOTING = 0x00000400,
    COR_PRF_MONITOR_CODE_TRANSITIONS = 0x00000800,
    COR_PRF_MONITOR_ENTERLEAVE = 0x00001000,
    COR_PRF_MONITOR_CCW = 0x00002000,
    COR_PRF_MONITOR_REMOTING_COOKIE = 0x00004400,
    COR_PRF_MONITOR_REMOTING_ASYNC = 0x00008400,
    COR_PRF_MONITOR_SUSPENDS = 0x00010000,
    COR_PRF_MONITOR_CACHE_SEARCHES = 0x00020000,
    COR_PRF_ENABLE_REJIT = 0x00040000,
    COR_PRF_ENABLE_INPROC_DEBUGGING = 0x00080000,
    COR_PRF_ENABLE_JIT_MAPS = 0x00100000,
    COR_PRF_DISABLE_INLINING = 0x00200000,
    COR_PRF_DISABLE_OPTIMIZATIONS = 0x00400000,
    COR_PRF_ENABLE_OBJECT_ALLOCATED = 0x00800000,
    COR_PRF_MONITOR_CLR_EXCEPTIONS = 0x01000000,
    COR_PRF_ENABLE_FUNCTION_ARGS = 0x02000000,
    COR_PRF_ENABLE_FUNCTION_RETVAL = 0x04000000,
    COR_PRF_ENABLE_FRAME_INFO = 0x08000000,
    COR_PRF_ENABLE_STACK_SNAPSHOT = 0x10000000,
    COR_PRF_USE_PROFILE_IMAGES = 0x20000000,
    COR_PRF_DISABLE_TRANSPARENCY_CHECKS_UNDER_FULL_TRUST = 0x40000000,
    COR_PRF_DISABLE_ALL_NGEN_IMAGES = 0x80000000,
    COR_PRF_MONITOR_ALL = 0x0107FFFF,
    COR_PRF_ALL = 0x8FFFFFFF,
    COR_PRF_REQUIRE_PROFILE_IMAGE =
        COR_PRF_USE_PROFILE_IMAGES | COR_PRF_MONITOR_CODE_TRANSITIONS | COR_PRF_MONITOR_ENTERLEAVE,
    // May only be set inside Initialize.
    COR_PRF_MONITOR_IMMUTABLE =
        COR_PRF_MONITOR_CODE_TRANSITIONS | COR_PRF_MONITOR_REMOTING | COR_PRF_MONITOR_REMOTING_COOKIE |
        COR_PRF_MONITOR_REMOTING_ASYNC | COR_PRF_ENABLE_INPROC_DEBUGGING | COR_PRF_ENABLE_JIT_MAPS |
        COR_PRF_ENABLE_OBJECT_ALLOCATED | COR_PRF_ENABLE_FUNCTION_ARGS | COR_PRF_ENABLE_FUNCTION_RETVAL |
        COR_PRF_ENABLE_FRAME_INFO | COR_PRF_USE_PROFILE_IMAGES | COR_PRF_DISABLE_TRANSPARENCY_CHECKS_UNDER_FULL_TRUST |
        COR_PRF_DISABLE_ALL_NGEN_IMAGES,
};

// High word of the event mask (ICorProfilerInfo5 and later).
enum COR_PRF_HIGH_MONITOR : uint32_t {
    COR_PRF_HIGH_MONITOR_NONE = 0x0,
    COR_PRF_HIGH_ADD_ASSEMBLY_REFERENCES = 0x1,
    COR_PRF_HIGH_IN_MEMORY_SYMBOLS_UPDATED = 0x2,
    COR_PRF_HIGH_MONITOR_DYNAMIC_FUNCTION_UNLOADS = 0x4,
    COR_PRF_HIGH_DISABLE_TIERED_COMPILATION = 0x8,
    COR_PRF_HIGH_BASIC_GC = 0x10,
    COR_PRF_HIGH_MONITOR_GC_MOVED_OBJECTS = 0x20,
    COR_PRF_HIGH_MONITOR_LARGEOBJECT_ALLOCATED = 0x40,
    COR_PRF_HIGH_MONITOR_EVENT_PIPE = 0x80,
    COR_PRF_HIGH_MONITOR_PINNEDOBJECT_ALLOCATED = 0x100,
};

// ---------------------------------------------------------------------------------------------
// Other enumerations; every one is four bytes when passed.

enum COR_PRF_RUNTIME_TYPE : uint32_t {
    COR_PRF_DESKTOP_CLR = 1,
    COR_PRF_CORE_CLR = 2,
};

enum COR_PRF_JIT_CACHE : uint32_t {
    COR_PRF_CACHED_FUNCTION_FOUND = 0,
    COR_PRF_CACHED_FUNCTION_NOT_FOUND = 1,
};

enum COR_PRF_TRANSITION_REASON : uint32_t {
    COR_PRF_TRANSITION_CALL = 0,
    COR_PRF_TRANSITION_RETURN = 1,
};

enum COR_PRF_SUSPEND_REASON : uint32_t {
    COR_PRF_SUSPEND_OTHER = 0,
    COR_PRF_SUSPEND_FOR_GC = 1,
    COR_PRF_SUSPEND_FOR_APPDOMAIN_SHUTDOWN = 2,
    COR_PRF_SUSPEND_FOR_CODE_PITCHING = 3,
    COR_PRF_SUSPEND_FOR_SHUTDOWN = 4,
    COR_PRF_SUSPEND_FOR_INPROC_DEBUGGER = 6,
    COR_PRF_SUSPEND_FOR_GC_PREP = 7,
    COR_PRF_SUSPEND_FOR_REJIT = 8,
    COR_PRF_SUSPEND_FOR_PROFILER = 9,
};

enum COR_PRF_GC_REASON : uint32_t {
    COR_PRF_GC_OTHER = 0,
    COR_PRF_GC_INDUCED = 1,
};

enum COR_PRF_GC_GENERATION : uint32_t {
    COR_PRF_GC_GEN_0 = 0,
    COR_PRF_GC_GEN_1 = 1,
    COR_PRF_GC_GEN_2 = 2,
    COR_PRF_GC_LARGE_OBJECT_HEAP = 3,
    COR_PRF_GC_PINNED_OBJECT_HEAP = 4,
};

enum COR_PRF_GC_ROOT_KIND : uint32_t {
    COR_PRF_GC_ROOT_OTHER = 0,
    COR_PRF_GC_ROOT_STACK = 1,
    COR_PRF_GC_ROOT_FINALIZER = 2,
    COR_PRF_GC_ROOT_HANDLE = 3,
};

enum COR_PRF_GC_ROOT_FLAGS : uint32_t {
    COR_PRF_GC_ROOT_PINNING = 0x1,
    COR_PRF_GC_ROOT_WEAKREF = 0x2,
    COR_PRF_GC_ROOT_INTERIOR = 0x4,
    COR_PRF_GC_ROOT_REFCOUNTED = 0x8,
};

enum COR_PRF_STATIC_TYPE : uint32_t {
    COR_PRF_FIELD_NOT_A_STATIC = 0,
    COR_PRF_FIELD_CONTEXT_STATIC = 0x1,
    COR_PRF_FIELD_RVA_STATIC = 0x2,
    COR_PRF_FIELD_THREAD_STATIC = 0x4,
    COR_PRF_FIELD_APP_DOMAIN_STATIC = 0x8,
};

enum COR_PRF_MODULE_FLAGS : uint32_t {
    COR_PRF_MODULE_NONE = 0,
    COR_PRF_MODULE_DISK = 0x1,
    COR_PRF_MODULE_NGEN = 0x2,
    COR_PRF_MODULE_DYNAMIC = 0x4,
    COR_PRF_MODULE_COLLECTIBLE = 0x8,
    COR_PRF_MODULE_RESOURCE = 0x10,
    COR_PRF_MODULE_FLAT_LAYOUT = 0x20,
    COR_PRF_MODULE_WINDOWS_RUNTIME = 0x40,
};

enum COR_PRF_CODEGEN_FLAGS : uint32_t {
    COR_PRF_CODEGEN_DISABLE_INLINING = 0x1,
    COR_PRF_CODEGEN_DISABLE_ALL_OPTIMIZATIONS = 0x2,
};

enum COR_PRF_SNAPSHOT_INFO : uint32_t {
    COR_PRF_SNAPSHOT_DEFAULT = 0,
    COR_PRF_SNAPSHOT_REGISTER_CONTEXT = 1,
    COR_PRF_SNAPSHOT_X86_OPTIMIZED = 2,
};

// Sentinel class and module ids.
inline constexpr UINT_PTR PROFILER_PARENT_UNKNOWN = 0xFFFFFFFD;
inline constexpr UINT_PTR PROFILER_GLOBAL_CLASS = 0xFFFFFFFE;
inline constexpr UINT_PTR PROFILER_GLOBAL_MODULE = 0xFFFFFFFF;

// Sentinel IL offsets in IL-to-native maps.
inline constexpr ULONG32 NO_MAPPING = 0xFFFFFFFF;
inline constexpr ULONG32 PROLOG = 0xFFFFFFFE;
inline constexpr ULONG32 EPILOG = 0xFFFFFFFD;

// ---------------------------------------------------------------------------------------------
// Structs.

// One argument's memory during an enter or leave hook.
struct COR_PRF_FUNCTION_ARGUMENT_RANGE {
    UINT_PTR startAddress;
    ULONG length;
};
static_assert(sizeof(COR_PRF_FUNCTION_ARGUMENT_RANGE) == 16);
static_assert(alignof(COR_PRF_FUNCTION_ARGUMENT_RANGE) == 8);
static_assert(offsetof(COR_PRF_FUNCTION_ARGUMENT_RANGE, length) == 8);

// Variable length: numRanges entries start at `ranges`; range 0 is `this` for instance methods.
// Walk it by numRanges, never by sizeof.
struct COR_PRF_FUNCTION_ARGUMENT_INFO {
    ULONG numRanges;
    ULONG totalArgumentSize;
    COR_PRF_FUNCTION_ARGUMENT_RANGE ranges[1];
};
static_assert(sizeof(COR_PRF_FUNCTION_ARGUMENT_INFO) == 24);
static_assert(alignof(COR_PRF_FUNCTION_ARGUMENT_INFO) == 8);
static_assert(offsetof(COR_PRF_FUNCTION_ARGUMENT_INFO, totalArgumentSize) == 4);
static_assert(offsetof(COR_PRF_FUNCTION_ARGUMENT_INFO, ranges) == 8);

struct COR_PRF_CODE_INFO {
    UINT_PTR startAddress;
    SIZE_T size;
};
static_assert(sizeof(COR_PRF_CODE_INFO) == 16 && alignof(COR_PRF_CODE_INFO) == 8);

struct COR_DEBUG_IL_TO_NATIVE_MAP {
    ULONG32 ilOffset;
    ULONG32 nativeStartOffset;
    ULONG32 nativeEndOffset;
};
static_assert(sizeof(COR_DEBUG_IL_TO_NATIVE_MAP) == 12 && alignof(COR_DEBUG_IL_TO_NATIVE_MAP) == 4);

struct COR_IL_MAP {
    ULONG32 oldOffset;
    ULONG32 newOffset;
    BOOL fAccurate;
};
static_assert(sizeof(COR_IL_MAP) == 12 && alignof(COR_IL_MAP) == 4);
static_assert(offsetof(COR_IL_MAP, fAccurate) == 8);

struct COR_PRF_GC_GENERATION_RANGE {
    COR_PRF_GC_GENERATION generation;
    ObjectID rangeStart;
    UINT_PTR rangeLength;
    UINT_PTR rangeLengthReserved;
};
static_assert(sizeof(COR_PRF_GC_GENERATION_RANGE) == 32 && alignof(COR_PRF_GC_GENERATION_RANGE) == 8);
static_assert(offsetof(COR_PRF_GC_GENERATION_RANGE, rangeStart) == 8);
static_assert(offsetof(COR_PRF_GC_GENERATION_RANGE, rangeLengthReserved) == 24);

struct COR_PRF_EX_CLAUSE_INFO {
    uint32_t clauseType;  // a four-byte enumeration
    UINT_PTR programCounter;
    UINT_PTR framePointer;
    UINT_PTR shadowStackPointer;
};
static_assert(sizeof(COR_PRF_EX_CLAUSE_INFO) == 32 && alignof(COR_PRF_EX_CLAUSE_INFO) == 8);
static_assert(offsetof(COR_PRF_EX_CLAUSE_INFO, programCounter) == 8);
static_assert(offsetof(COR_PRF_EX_CLAUSE_INFO, shadowStackPointer) == 24);

struct COR_PRF_FUNCTION {
    FunctionID functionId;
    ReJITID reJitId;
};
static_assert(sizeof(COR_PRF_FUNCTION) == 16 && alignof(COR_PRF_FUNCTION) == 8);

// A method definition of a module, as the inliner enumeration hands it out.
struct COR_PRF_METHOD {
    ModuleID moduleId;
    mdMethodDef methodId;
};
static_assert(sizeof(COR_PRF_METHOD) == 16 && alignof(COR_PRF_METHOD) == 8);

// ---------------------------------------------------------------------------------------------
// Hook and callback function types; the interfaces take pointers to them. All are plain
// System V calls.

using FunctionEnter = void(FunctionID funcId);
using FunctionLeave = void(FunctionID funcId);
using FunctionTailcall = void(FunctionID funcId);

// clientData is what the mapper returned for the function (the FunctionID without a mapper).
// frameInfo, argumentInfo and retvalRange are 0/null unless the matching event flags are set.
using FunctionEnter2 = void(FunctionID funcId, UINT_PTR clientData, COR_PRF_FRAME_INFO frameInfo,
                            COR_PRF_FUNCTION_ARGUMENT_INFO* argumentInfo);
using FunctionLeave2 = void(FunctionID funcId, UINT_PTR clientData, COR_PRF_FRAME_INFO frameInfo,
                            COR_PRF_FUNCTION_ARGUMENT_RANGE* retvalRange);
using FunctionTailcall2 = void(FunctionID funcId, UINT_PTR clientData, COR_PRF_FRAME_INFO frameInfo);

// Must write *pbHookFunction and answer the same non-zero value for the same function every time.
using FunctionIDMapper = UINT_PTR(FunctionID funcId, BOOL* pbHookFunction);
using FunctionIDMapper2 = UINT_PTR(FunctionID funcId, void* clientData, BOOL* pbHookFunction);

using FunctionEnter3 = void(FunctionIDOrClientID functionIDOrClientID);
using FunctionLeave3 = void(FunctionIDOrClientID functionIDOrClientID);
using FunctionTailcall3 = void(FunctionIDOrClientID functionIDOrClientID);
using FunctionEnter3WithInfo = void(FunctionIDOrClientID functionIDOrClientID, COR_PRF_ELT_INFO eltInfo);
using FunctionLeave3WithInfo = void(FunctionIDOrClientID functionIDOrClientID, COR_PRF_ELT_INFO eltInfo);
using FunctionTailcall3WithInfo = void(FunctionIDOrClientID functionIDOrClientID, COR_PRF_ELT_INFO eltInfo);

using StackSnapshotCallback = HRESULT(FunctionID funcId, UINT_PTR ip, COR_PRF_FRAME_INFO frameInfo, ULONG32 contextSize,
                                      BYTE context[], void* clientData);

// ---------------------------------------------------------------------------------------------
// Profiling result codes.

inline constexpr HRESULT CORPROF_E_FUNCTION_NOT_COMPILED = static_cast<HRESULT>(0x80131350u);
inline constexpr HRESULT CORPROF_E_DATAINCOMPLETE = static_cast<HRESULT>(0x80131351u);
inline constexpr HRESULT CORPROF_E_FUNCTION_NOT_IL = static_cast<HRESULT>(0x80131354u);
inline constexpr HRESULT CORPROF_E_NOT_MANAGED_THREAD = static_cast<HRESULT>(0x80131355u);
inline constexpr HRESULT CORPROF_E_CALL_ONLY_FROM_INIT = static_cast<HRESULT>(0x80131356u);
inline constexpr HRESULT CORPROF_E_NOT_YET_AVAILABLE = static_cast<HRESULT>(0x8013135Bu);
inline constexpr HRESULT CORPROF_E_TYPE_IS_PARAMETERIZED = static_cast<HRESULT>(0x8013135Cu);
inline constexpr HRESULT CORPROF_E_FUNCTION_IS_PARAMETERIZED = static_cast<HRESULT>(0x8013135Du);
inline constexpr HRESULT CORPROF_E_STACKSNAPSHOT_INVALID_TGT_THREAD = static_cast<HRESULT>(0x8013135Eu);
inline constexpr HRESULT CORPROF_E_STACKSNAPSHOT_UNMANAGED_CTX = static_cast<HRESULT>(0x8013135Fu);
inline constexpr HRESULT CORPROF_E_STACKSNAPSHOT_UNSAFE = static_cast<HRESULT>(0x80131360u);
inline constexpr HRESULT CORPROF_E_STACKSNAPSHOT_ABORTED = static_cast<HRESULT>(0x80131361u);
inline constexpr HRESULT CORPROF_E_LITERALS_HAVE_NO_ADDRESS = static_cast<HRESULT>(0x80131362u);
inline constexpr HRESULT CORPROF_E_UNSUPPORTED_CALL_SEQUENCE = static_cast<HRESULT>(0x80131363u);
inline constexpr HRESULT CORPROF_E_ASYNCHRONOUS_UNSAFE = static_cast<HRESULT>(0x80131364u);
inline constexpr HRESULT CORPROF_E_CLASSID_IS_ARRAY = static_cast<HRESULT>(0x80131365u);
inline constexpr HRESULT CORPROF_E_CLASSID_IS_COMPOSITE = static_cast<HRESULT>(0x80131366u);
inline constexpr HRESULT CORPROF_E_PROFILER_DETACHING = static_cast<HRESULT>(0x80131367u);
inline constexpr HRESULT CORPROF_E_PROFILER_NOT_ATTACHABLE = static_cast<HRESULT>(0x80131368u);
inline constexpr HRESULT CORPROF_E_PROFILER_ALREADY_ACTIVE = static_cast<HRESULT>(0x8013136Au);
inline constexpr HRESULT CORPROF_E_CALLBACK3_REQUIRED = static_cast<HRESULT>(0x8013136Eu);
inline constexpr HRESULT CORPROF_E_UNSUPPORTED_FOR_ATTACHING_PROFILER = static_cast<HRESULT>(0x8013136Fu);
inline constexpr HRESULT CORPROF_E_IRREVERSIBLE_INSTRUMENTATION_PRESENT = static_cast<HRESULT>(0x80131370u);
inline constexpr HRESULT CORPROF_E_RUNTIME_UNINITIALIZED = static_cast<HRESULT>(0x80131371u);
inline constexpr HRESULT CORPROF_E_IMMUTABLE_FLAGS_SET = static_cast<HRESULT>(0x80131372u);
inline constexpr HRESULT CORPROF_E_PROFILER_NOT_YET_INITIALIZED = static_cast<HRESULT>(0x80131373u);
inline constexpr HRESULT CORPROF_E_INCONSISTENT_WITH_FLAGS = static_cast<HRESULT>(0x80131374u);
inline constexpr HRESULT CORPROF_E_PROFILER_CANCEL_ACTIVATION = static_cast<HRESULT>(0x80131375u);
inline constexpr HRESULT CORPROF_E_CONCURRENT_GC_NOT_PROFILABLE = static_cast<HRESULT>(0x80131376u);
inline constexpr HRESULT CORPROF_E_DEBUGGING_DISABLED = static_cast<HRESULT>(0x80131378u);
inline constexpr HRESULT CORPROF_E_TIMEOUT_WAITING_FOR_CONCURRENT_GC = static_cast<HRESULT>(0x80131379u);
inline constexpr HRESULT CORPROF_E_MODULE_IS_DYNAMIC = static_cast<HRESULT>(0x8013137Au);
inline constexpr HRESULT CORPROF_E_CALLBACK4_REQUIRED = static_cast<HRESULT>(0x8013137Bu);
inline constexpr HRESULT CORPROF_E_REJIT_NOT_ENABLED = static_cast<HRESULT>(0x8013137Cu);
inline constexpr HRESULT CORPROF_E_FUNCTION_IS_COLLECTIBLE = static_cast<HRESULT>(0x8013137Eu);
inline constexpr HRESULT CORPROF_E_CALLBACK6_REQUIRED = static_cast<HRESULT>(0x80131380u);
inline constexpr HRESULT CORPROF_E_CALLBACK7_REQUIRED = static_cast<HRESULT>(0x80131382u);
inline constexpr HRESULT CORPROF_E_REJIT_INLINING_DISABLED = static_cast<HRESULT>(0x80131383u);
inline constexpr HRESULT CORPROF_E_SUSPENSION_IN_PROGRESS = static_cast<HRESULT>(0x80131388u);
inline constexpr HRESULT CORPROF_E_NOT_GC_OBJECT = static_cast<HRESULT>(0x80131389u);
