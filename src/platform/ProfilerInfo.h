#pragma once

// The info interfaces the runtime hands to the agent (levels 1 to 4, all on one runtime object),
// and the small helper interfaces they return.

#include "platform/ProfilerTypes.h"

struct IMethodMalloc;
struct ICorProfilerObjectEnum;
struct ICorProfilerFunctionEnum;
struct ICorProfilerModuleEnum;
struct ICorProfilerThreadEnum;

// Slots 3-35.
#define QX_ICORPROFILERINFO_METHODS(X)                                                                        \
    X(3, HRESULT, GetClassFromObject, (ObjectID objectId, ClassID * pClassId))                                \
    X(4, HRESULT, GetClassFromToken, (ModuleID moduleId, mdTypeDef typeDef, ClassID * pClassId))              \
    X(5, HRESULT, GetCodeInfo, (FunctionID functionId, LPCBYTE * pStart, ULONG * pcSize))                     \
    X(6, HRESULT, GetEventMask, (DWORD * pdwEvents))                                                          \
    X(7, HRESULT, GetFunctionFromIP, (LPCBYTE ip, FunctionID * pFunctionId))                                  \
    X(8, HRESULT, GetFunctionFromToken, (ModuleID moduleId, mdToken token, FunctionID * pFunctionId))         \
    X(9, HRESULT, GetHandleFromThread, (ThreadID threadId, HANDLE * phThread))                                \
    X(10, HRESULT, GetObjectSize, (ObjectID objectId, ULONG * pcSize))                                        \
    X(11, HRESULT, IsArrayClass,                                                                              \
      (ClassID classId, CorElementType * pBaseElemType, ClassID * pBaseClassId, ULONG * pcRank))              \
    X(12, HRESULT, GetThreadInfo, (ThreadID threadId, DWORD * pdwWin32ThreadId))                              \
    X(13, HRESULT, GetCurrentThreadID, (ThreadID * pThreadId))                                                \
    X(14, HRESULT, GetClassIDInfo, (ClassID classId, ModuleID * pModuleId, mdTypeDef * pTypeDefToken))        \
    X(15, HRESULT, GetFunctionInfo,                                                                           \
      (FunctionID functionId, ClassID * pClassId, ModuleID * pModuleId, mdToken * pToken))                    \
    X(16, HRESULT, SetEventMask, (DWORD dwEvents))                                                            \
    X(17, HRESULT, SetEnterLeaveFunctionHooks,                                                                \
      (FunctionEnter * pFuncEnter, FunctionLeave * pFuncLeave, FunctionTailcall * pFuncTailcall))             \
    X(18, HRESULT, SetFunctionIDMapper, (FunctionIDMapper * pFunc))                                           \
    X(19, HRESULT, GetTokenAndMetaDataFromFunction,                                                           \
      (FunctionID functionId, REFIID riid, IUnknown * *ppImport, mdToken * pToken))                           \
    X(20, HRESULT, GetModuleInfo,                                                                             \
      (ModuleID moduleId, LPCBYTE * ppBaseLoadAddress, ULONG cchName, ULONG * pcchName, WCHAR * szName,       \
       AssemblyID * pAssemblyId))                                                                             \
    X(21, HRESULT, GetModuleMetaData, (ModuleID moduleId, DWORD dwOpenFlags, REFIID riid, IUnknown * *ppOut)) \
    X(22, HRESULT, GetILFunctionBody,                                                                         \
      (ModuleID moduleId, mdMethodDef methodId, LPCBYTE * ppMethodHeader, ULONG * pcbMethodSize))             \
    X(23, HRESULT, GetILFunctionBodyAllocator, (ModuleID moduleId, IMethodMalloc * *ppMalloc))                \
    X(24, HRESULT, SetILFunctionBody, (ModuleID moduleId, mdMethodDef methodid, LPCBYTE pbNewILMethodHeader)) \
    X(25, HRESULT, GetAppDomainInfo,                                                                          \
      (AppDomainID appDomainId, ULONG cchName, ULONG * pcchName, WCHAR * szName, ProcessID * pProcessId))     \
    X(26, HRESULT, GetAssemblyInfo,                                                                           \
      (AssemblyID assemblyId, ULONG cchName, ULONG * pcchName, WCHAR * szName, AppDomainID * pAppDomainId,    \
       ModuleID * pModuleId))                                                                                 \
    X(27, HRESULT, SetFunctionReJIT, (FunctionID functionId))                                                 \
    X(28, HRESULT, ForceGC, ())                                                                               \
    X(29, HRESULT, SetILInstrumentedCodeMap,                                                                  \
      (FunctionID functionId, BOOL fStartJit, ULONG cILMapEntries, COR_IL_MAP * rgILMapEntries))              \
    X(30, HRESULT, GetInprocInspectionInterface, (IUnknown * *ppicd))                                         \
    X(31, HRESULT, GetInprocInspectionIThisThread, (IUnknown * *ppicd))                                       \
    X(32, HRESULT, GetThreadContext, (ThreadID threadId, ContextID * pContextId))                             \
    X(33, HRESULT, BeginInprocDebugging, (BOOL fThisThreadOnly, DWORD * pdwProfilerContext))                  \
    X(34, HRESULT, EndInprocDebugging, (DWORD dwProfilerContext))                                             \
    X(35, HRESULT, GetILToNativeMapping,                                                                      \
      (FunctionID functionId, ULONG32 cMap, ULONG32 * pcMap, COR_DEBUG_IL_TO_NATIVE_MAP * map))

struct ICorProfilerInfo : IUnknown {
    QX_ICORPROFILERINFO_METHODS(QX_COM_PURE_VIRTUAL)

protected:
    ~ICorProfilerInfo() = default;
};
QX_COM_LAYOUT(ICorProfilerInfo, IUnknown, QX_ICORPROFILERINFO_METHODS, 36);

// Slots 36-56.
#define QX_ICORPROFILERINFO2_METHODS(X)                                                                                \
    X(36, HRESULT, DoStackSnapshot,                                                                                    \
      (ThreadID thread, StackSnapshotCallback * callback, ULONG32 infoFlags, void* clientData, BYTE* context,          \
       ULONG32 contextSize))                                                                                           \
    X(37, HRESULT, SetEnterLeaveFunctionHooks2,                                                                        \
      (FunctionEnter2 * pFuncEnter, FunctionLeave2 * pFuncLeave, FunctionTailcall2 * pFuncTailcall))                   \
    X(38, HRESULT, GetFunctionInfo2,                                                                                   \
      (FunctionID funcId, COR_PRF_FRAME_INFO frameInfo, ClassID * pClassId, ModuleID * pModuleId, mdToken * pToken,    \
       ULONG32 cTypeArgs, ULONG32 * pcTypeArgs, ClassID * typeArgs))                                                   \
    X(39, HRESULT, GetStringLayout, (ULONG * pBufferLengthOffset, ULONG * pStringLengthOffset, ULONG * pBufferOffset)) \
    X(40, HRESULT, GetClassLayout,                                                                                     \
      (ClassID classID, COR_FIELD_OFFSET * rFieldOffset, ULONG cFieldOffset, ULONG * pcFieldOffset,                    \
       ULONG * pulClassSize))                                                                                          \
    X(41, HRESULT, GetClassIDInfo2,                                                                                    \
      (ClassID classId, ModuleID * pModuleId, mdTypeDef * pTypeDefToken, ClassID * pParentClassId,                     \
       ULONG32 cNumTypeArgs, ULONG32 * pcNumTypeArgs, ClassID * typeArgs))                                             \
    X(42, HRESULT, GetCodeInfo2,                                                                                       \
      (FunctionID functionID, ULONG32 cCodeInfos, ULONG32 * pcCodeInfos, COR_PRF_CODE_INFO * codeInfos))               \
    X(43, HRESULT, GetClassFromTokenAndTypeArgs,                                                                       \
      (ModuleID moduleID, mdTypeDef typeDef, ULONG32 cTypeArgs, ClassID * typeArgs, ClassID * pClassID))               \
    X(44, HRESULT, GetFunctionFromTokenAndTypeArgs,                                                                    \
      (ModuleID moduleID, mdMethodDef funcDef, ClassID classId, ULONG32 cTypeArgs, ClassID * typeArgs,                 \
       FunctionID * pFunctionID))                                                                                      \
    X(45, HRESULT, EnumModuleFrozenObjects, (ModuleID moduleID, ICorProfilerObjectEnum * *ppEnum))                     \
    X(46, HRESULT, GetArrayObjectInfo,                                                                                 \
      (ObjectID objectId, ULONG32 cDimensions, ULONG32 * pDimensionSizes, int* pDimensionLowerBounds, BYTE** ppData))  \
    X(47, HRESULT, GetBoxClassLayout, (ClassID classId, ULONG32 * pBufferOffset))                                      \
    X(48, HRESULT, GetThreadAppDomain, (ThreadID threadId, AppDomainID * pAppDomainId))                                \
    X(49, HRESULT, GetRVAStaticAddress, (ClassID classId, mdFieldDef fieldToken, void** ppAddress))                    \
    X(50, HRESULT, GetAppDomainStaticAddress,                                                                          \
      (ClassID classId, mdFieldDef fieldToken, AppDomainID appDomainId, void** ppAddress))                             \
    X(51, HRESULT, GetThreadStaticAddress,                                                                             \
      (ClassID classId, mdFieldDef fieldToken, ThreadID threadId, void** ppAddress))                                   \
    X(52, HRESULT, GetContextStaticAddress,                                                                            \
      (ClassID classId, mdFieldDef fieldToken, ContextID contextId, void** ppAddress))                                 \
    X(53, HRESULT, GetStaticFieldInfo, (ClassID classId, mdFieldDef fieldToken, COR_PRF_STATIC_TYPE * pFieldInfo))     \
    X(54, HRESULT, GetGenerationBounds,                                                                                \
      (ULONG cObjectRanges, ULONG * pcObjectRanges, COR_PRF_GC_GENERATION_RANGE * ranges))                             \
    X(55, HRESULT, GetObjectGeneration, (ObjectID objectId, COR_PRF_GC_GENERATION_RANGE * range))                      \
    X(56, HRESULT, GetNotifiedExceptionClauseInfo, (COR_PRF_EX_CLAUSE_INFO * pinfo))

struct ICorProfilerInfo2 : ICorProfilerInfo {
    QX_ICORPROFILERINFO2_METHODS(QX_COM_PURE_VIRTUAL)

protected:
    ~ICorProfilerInfo2() = default;
};
QX_COM_LAYOUT(ICorProfilerInfo2, ICorProfilerInfo, QX_ICORPROFILERINFO2_METHODS, 57);

// Slots 57-70.
#define QX_ICORPROFILERINFO3_METHODS(X)                                                                              \
    X(57, HRESULT, EnumJITedFunctions, (ICorProfilerFunctionEnum * *ppEnum))                                         \
    X(58, HRESULT, RequestProfilerDetach, (DWORD dwExpectedCompletionMilliseconds))                                  \
    X(59, HRESULT, SetFunctionIDMapper2, (FunctionIDMapper2 * pFunc, void* clientData))                              \
    X(60, HRESULT, GetStringLayout2, (ULONG * pStringLengthOffset, ULONG * pBufferOffset))                           \
    X(61, HRESULT, SetEnterLeaveFunctionHooks3,                                                                      \
      (FunctionEnter3 * pFuncEnter3, FunctionLeave3 * pFuncLeave3, FunctionTailcall3 * pFuncTailcall3))              \
    X(62, HRESULT, SetEnterLeaveFunctionHooks3WithInfo,                                                              \
      (FunctionEnter3WithInfo * pFuncEnter3WithInfo, FunctionLeave3WithInfo * pFuncLeave3WithInfo,                   \
       FunctionTailcall3WithInfo * pFuncTailcall3WithInfo))                                                          \
    X(63, HRESULT, GetFunctionEnter3Info,                                                                            \
      (FunctionID functionId, COR_PRF_ELT_INFO eltInfo, COR_PRF_FRAME_INFO * pFrameInfo, ULONG * pcbArgumentInfo,    \
       COR_PRF_FUNCTION_ARGUMENT_INFO * pArgumentInfo))                                                              \
    X(64, HRESULT, GetFunctionLeave3Info,                                                                            \
      (FunctionID functionId, COR_PRF_ELT_INFO eltInfo, COR_PRF_FRAME_INFO * pFrameInfo,                             \
       COR_PRF_FUNCTION_ARGUMENT_RANGE * pRetvalRange))                                                              \
    X(65, HRESULT, GetFunctionTailcall3Info,                                                                         \
      (FunctionID functionId, COR_PRF_ELT_INFO eltInfo, COR_PRF_FRAME_INFO * pFrameInfo))                            \
    X(66, HRESULT, EnumModules, (ICorProfilerModuleEnum * *ppEnum))                                                  \
    X(67, HRESULT, GetRuntimeInformation,                                                                            \
      (USHORT * pClrInstanceId, COR_PRF_RUNTIME_TYPE * pRuntimeType, USHORT * pMajorVersion, USHORT * pMinorVersion, \
       USHORT * pBuildNumber, USHORT * pQFEVersion, ULONG cchVersionString, ULONG * pcchVersionString,               \
       WCHAR * szVersionString))                                                                                     \
    X(68, HRESULT, GetThreadStaticAddress2,                                                                          \
      (ClassID classId, mdFieldDef fieldToken, AppDomainID appDomainId, ThreadID threadId, void** ppAddress))        \
    X(69, HRESULT, GetAppDomainsContainingModule,                                                                    \
      (ModuleID moduleId, ULONG32 cAppDomainIds, ULONG32 * pcAppDomainIds, AppDomainID * appDomainIds))              \
    X(70, HRESULT, GetModuleInfo2,                                                                                   \
      (ModuleID moduleId, LPCBYTE * ppBaseLoadAddress, ULONG cchName, ULONG * pcchName, WCHAR * szName,              \
       AssemblyID * pAssemblyId, DWORD * pdwModuleFlags))

struct ICorProfilerInfo3 : ICorProfilerInfo2 {
    QX_ICORPROFILERINFO3_METHODS(QX_COM_PURE_VIRTUAL)

protected:
    ~ICorProfilerInfo3() = default;
};
QX_COM_LAYOUT(ICorProfilerInfo3, ICorProfilerInfo2, QX_ICORPROFILERINFO3_METHODS, 71);

// Slots 71-80.
#define QX_ICORPROFILERINFO4_METHODS(X)                                                                                \
    X(71, HRESULT, EnumThreads, (ICorProfilerThreadEnum * *ppEnum))                                                    \
    X(72, HRESULT, InitializeCurrentThread, ())                                                                        \
    X(73, HRESULT, RequestReJIT, (ULONG cFunctions, ModuleID * moduleIds, mdMethodDef * methodIds))                    \
    X(74, HRESULT, RequestRevert, (ULONG cFunctions, ModuleID * moduleIds, mdMethodDef * methodIds, HRESULT * status)) \
    X(75, HRESULT, GetCodeInfo3,                                                                                       \
      (FunctionID functionID, ReJITID reJitId, ULONG32 cCodeInfos, ULONG32 * pcCodeInfos,                              \
       COR_PRF_CODE_INFO * codeInfos))                                                                                 \
    X(76, HRESULT, GetFunctionFromIP2, (LPCBYTE ip, FunctionID * pFunctionId, ReJITID * pReJitId))                     \
    X(77, HRESULT, GetReJITIDs, (FunctionID functionId, ULONG cReJitIds, ULONG * pcReJitIds, ReJITID * reJitIds))      \
    X(78, HRESULT, GetILToNativeMapping2,                                                                              \
      (FunctionID functionId, ReJITID reJitId, ULONG32 cMap, ULONG32 * pcMap, COR_DEBUG_IL_TO_NATIVE_MAP * map))       \
    X(79, HRESULT, EnumJITedFunctions2, (ICorProfilerFunctionEnum * *ppEnum))                                          \
    X(80, HRESULT, GetObjectSize2, (ObjectID objectId, SIZE_T * pcSize))

struct ICorProfilerInfo4 : ICorProfilerInfo3 {
    QX_ICORPROFILERINFO4_METHODS(QX_COM_PURE_VIRTUAL)

protected:
    ~ICorProfilerInfo4() = default;
};
QX_COM_LAYOUT(ICorProfilerInfo4, ICorProfilerInfo3, QX_ICORPROFILERINFO4_METHODS, 81);

struct ICorProfilerMethodEnum;

// Slots 81-82.
#define QX_ICORPROFILERINFO5_METHODS(X)                                          \
    X(81, HRESULT, GetEventMask2, (DWORD * pdwEventsLow, DWORD * pdwEventsHigh)) \
    X(82, HRESULT, SetEventMask2, (DWORD dwEventsLow, DWORD dwEventsHigh))

struct ICorProfilerInfo5 : ICorProfilerInfo4 {
    QX_ICORPROFILERINFO5_METHODS(QX_COM_PURE_VIRTUAL)

protected:
    ~ICorProfilerInfo5() = default;
};
QX_COM_LAYOUT(ICorProfilerInfo5, ICorProfilerInfo4, QX_ICORPROFILERINFO5_METHODS, 83);

// Slot 83: the methods of a precompiled module that have another method's body inlined.
#define QX_ICORPROFILERINFO6_METHODS(X)                                                                         \
    X(83, HRESULT, EnumNgenModuleMethodsInliningThisMethod,                                                     \
      (ModuleID inlinersModuleId, ModuleID inlineeModuleId, mdMethodDef inlineeMethodId, BOOL * incompleteData, \
       ICorProfilerMethodEnum * *ppEnum))

struct ICorProfilerInfo6 : ICorProfilerInfo5 {
    QX_ICORPROFILERINFO6_METHODS(QX_COM_PURE_VIRTUAL)

protected:
    ~ICorProfilerInfo6() = default;
};
QX_COM_LAYOUT(ICorProfilerInfo6, ICorProfilerInfo5, QX_ICORPROFILERINFO6_METHODS, 84);

// ---------------------------------------------------------------------------------------------
// Helper interfaces.

// The module's allocator for method bodies installed with ICorProfilerInfo::SetILFunctionBody;
// such memory belongs to the runtime and is never freed by the agent.
#define QX_IMETHODMALLOC_METHODS(X) X(3, PVOID, Alloc, (ULONG cb))

struct IMethodMalloc : IUnknown {
    QX_IMETHODMALLOC_METHODS(QX_COM_PURE_VIRTUAL)

protected:
    ~IMethodMalloc() = default;
};
QX_COM_LAYOUT(IMethodMalloc, IUnknown, QX_IMETHODMALLOC_METHODS, 4);

// Handed to ICorProfilerCallback4::GetReJITParameters; SetILFunctionBody here copies the buffer.
#define QX_ICORPROFILERFUNCTIONCONTROL_METHODS(X)                                              \
    X(3, HRESULT, SetCodegenFlags, (DWORD flags))                                              \
    X(4, HRESULT, SetILFunctionBody, (ULONG cbNewILMethodHeader, LPCBYTE pbNewILMethodHeader)) \
    X(5, HRESULT, SetILInstrumentedCodeMap, (ULONG cILMapEntries, COR_IL_MAP * rgILMapEntries))

struct ICorProfilerFunctionControl : IUnknown {
    QX_ICORPROFILERFUNCTIONCONTROL_METHODS(QX_COM_PURE_VIRTUAL)

protected:
    ~ICorProfilerFunctionControl() = default;
};
QX_COM_LAYOUT(ICorProfilerFunctionControl, IUnknown, QX_ICORPROFILERFUNCTIONCONTROL_METHODS, 6);

// The four enumerators share one shape and differ in the element type and in Clone's result.
#define QX_PROFILER_ENUM_METHODS(X, Enum, Element) \
    X(3, HRESULT, Skip, (ULONG celt))              \
    X(4, HRESULT, Reset, ())                       \
    X(5, HRESULT, Clone, (Enum * *ppEnum))         \
    X(6, HRESULT, GetCount, (ULONG * pcelt))       \
    X(7, HRESULT, Next, (ULONG celt, Element * elements, ULONG * pceltFetched))

#define QX_ICORPROFILEROBJECTENUM_METHODS(X) QX_PROFILER_ENUM_METHODS(X, ICorProfilerObjectEnum, ObjectID)
#define QX_ICORPROFILERFUNCTIONENUM_METHODS(X) QX_PROFILER_ENUM_METHODS(X, ICorProfilerFunctionEnum, COR_PRF_FUNCTION)
#define QX_ICORPROFILERMODULEENUM_METHODS(X) QX_PROFILER_ENUM_METHODS(X, ICorProfilerModuleEnum, ModuleID)
#define QX_ICORPROFILERTHREADENUM_METHODS(X) QX_PROFILER_ENUM_METHODS(X, ICorProfilerThreadEnum, ThreadID)
#define QX_ICORPROFILERMETHODENUM_METHODS(X) QX_PROFILER_ENUM_METHODS(X, ICorProfilerMethodEnum, COR_PRF_METHOD)

struct ICorProfilerObjectEnum : IUnknown {
    QX_ICORPROFILEROBJECTENUM_METHODS(QX_COM_PURE_VIRTUAL)

protected:
    ~ICorProfilerObjectEnum() = default;
};
QX_COM_LAYOUT(ICorProfilerObjectEnum, IUnknown, QX_ICORPROFILEROBJECTENUM_METHODS, 8);

struct ICorProfilerFunctionEnum : IUnknown {
    QX_ICORPROFILERFUNCTIONENUM_METHODS(QX_COM_PURE_VIRTUAL)

protected:
    ~ICorProfilerFunctionEnum() = default;
};
QX_COM_LAYOUT(ICorProfilerFunctionEnum, IUnknown, QX_ICORPROFILERFUNCTIONENUM_METHODS, 8);

struct ICorProfilerModuleEnum : IUnknown {
    QX_ICORPROFILERMODULEENUM_METHODS(QX_COM_PURE_VIRTUAL)

protected:
    ~ICorProfilerModuleEnum() = default;
};
QX_COM_LAYOUT(ICorProfilerModuleEnum, IUnknown, QX_ICORPROFILERMODULEENUM_METHODS, 8);

struct ICorProfilerThreadEnum : IUnknown {
    QX_ICORPROFILERTHREADENUM_METHODS(QX_COM_PURE_VIRTUAL)

protected:
    ~ICorProfilerThreadEnum() = default;
};
QX_COM_LAYOUT(ICorProfilerThreadEnum, IUnknown, QX_ICORPROFILERTHREADENUM_METHODS, 8);

struct ICorProfilerMethodEnum : IUnknown {
    QX_ICORPROFILERMETHODENUM_METHODS(QX_COM_PURE_VIRTUAL)

protected:
    ~ICorProfilerMethodEnum() = default;
};
QX_COM_LAYOUT(ICorProfilerMethodEnum, IUnknown, QX_ICORPROFILERMETHODENUM_METHODS, 8);
