#pragma once

// The callback interfaces the runtime calls on the agent, levels 1 to 4. Each level appends its
// methods to the previous one; an object answering a level must implement every slot up to it.

#include "platform/ProfilerTypes.h"

struct ICorProfilerFunctionControl;

// Slots 3-71.
#define QX_ICORPROFILERCALLBACK_METHODS(X)                                                                             \
    X(3, HRESULT, Initialize, (IUnknown * pICorProfilerInfoUnk))                                                       \
    X(4, HRESULT, Shutdown, ())                                                                                        \
    X(5, HRESULT, AppDomainCreationStarted, (AppDomainID appDomainId))                                                 \
    X(6, HRESULT, AppDomainCreationFinished, (AppDomainID appDomainId, HRESULT hrStatus))                              \
    X(7, HRESULT, AppDomainShutdownStarted, (AppDomainID appDomainId))                                                 \
    X(8, HRESULT, AppDomainShutdownFinished, (AppDomainID appDomainId, HRESULT hrStatus))                              \
    X(9, HRESULT, AssemblyLoadStarted, (AssemblyID assemblyId))                                                        \
    X(10, HRESULT, AssemblyLoadFinished, (AssemblyID assemblyId, HRESULT hrStatus))                                    \
    X(11, HRESULT, AssemblyUnloadStarted, (AssemblyID assemblyId))                                                     \
    X(12, HRESULT, AssemblyUnloadFinished, (AssemblyID assemblyId, HRESULT hrStatus))                                  \
    X(13, HRESULT, ModuleLoadStarted, (ModuleID moduleId))                                                             \
    X(14, HRESULT, ModuleLoadFinished, (ModuleID moduleId, HRESULT hrStatus))                                          \
    X(15, HRESULT, ModuleUnloadStarted, (ModuleID moduleId))                                                           \
    X(16, HRESULT, ModuleUnloadFinished, (ModuleID moduleId, HRESULT hrStatus))                                        \
    X(17, HRESULT, ModuleAttachedToAssembly, (ModuleID moduleId, AssemblyID assemblyId))                               \
    X(18, HRESULT, ClassLoadStarted, (ClassID classId))                                                                \
    X(19, HRESULT, ClassLoadFinished, (ClassID classId, HRESULT hrStatus))                                             \
    X(20, HRESULT, ClassUnloadStarted, (ClassID classId))                                                              \
    X(21, HRESULT, ClassUnloadFinished, (ClassID classId, HRESULT hrStatus))                                           \
    X(22, HRESULT, FunctionUnloadStarted, (FunctionID functionId))                                                     \
    X(23, HRESULT, JITCompilationStarted, (FunctionID functionId, BOOL fIsSafeToBlock))                                \
    X(24, HRESULT, JITCompilationFinished, (FunctionID functionId, HRESULT hrStatus, BOOL fIsSafeToBlock))             \
    X(25, HRESULT, JITCachedFunctionSearchStarted, (FunctionID functionId, BOOL * pbUseCachedFunction))                \
    X(26, HRESULT, JITCachedFunctionSearchFinished, (FunctionID functionId, COR_PRF_JIT_CACHE result))                 \
    X(27, HRESULT, JITFunctionPitched, (FunctionID functionId))                                                        \
    X(28, HRESULT, JITInlining, (FunctionID callerId, FunctionID calleeId, BOOL * pfShouldInline))                     \
    X(29, HRESULT, ThreadCreated, (ThreadID threadId))                                                                 \
    X(30, HRESULT, ThreadDestroyed, (ThreadID threadId))                                                               \
    X(31, HRESULT, ThreadAssignedToOSThread, (ThreadID managedThreadId, DWORD osThreadId))                             \
    X(32, HRESULT, RemotingClientInvocationStarted, ())                                                                \
    X(33, HRESULT, RemotingClientSendingMessage, (GUID * pCookie, BOOL fIsAsync))                                      \
    X(34, HRESULT, RemotingClientReceivingReply, (GUID * pCookie, BOOL fIsAsync))                                      \
    X(35, HRESULT, RemotingClientInvocationFinished, ())                                                               \
    X(36, HRESULT, RemotingServerReceivingMessage, (GUID * pCookie, BOOL fIsAsync))                                    \
    X(37, HRESULT, RemotingServerInvocationStarted, ())                                                                \
    X(38, HRESULT, RemotingServerInvocationReturned, ())                                                               \
    X(39, HRESULT, RemotingServerSendingReply, (GUID * pCookie, BOOL fIsAsync))                                        \
    X(40, HRESULT, UnmanagedToManagedTransition, (FunctionID functionId, COR_PRF_TRANSITION_REASON reason))            \
    X(41, HRESULT, ManagedToUnmanagedTransition, (FunctionID functionId, COR_PRF_TRANSITION_REASON reason))            \
    X(42, HRESULT, RuntimeSuspendStarted, (COR_PRF_SUSPEND_REASON suspendReason))                                      \
    X(43, HRESULT, RuntimeSuspendFinished, ())                                                                         \
    X(44, HRESULT, RuntimeSuspendAborted, ())                                                                          \
    X(45, HRESULT, RuntimeResumeStarted, ())                                                                           \
    X(46, HRESULT, RuntimeResumeFinished, ())                                                                          \
    X(47, HRESULT, RuntimeThreadSuspended, (ThreadID threadId))                                                        \
    X(48, HRESULT, RuntimeThreadResumed, (ThreadID threadId))                                                          \
    X(49, HRESULT, MovedReferences,                                                                                    \
      (ULONG cMovedObjectIDRanges, ObjectID * oldObjectIDRangeStart, ObjectID * newObjectIDRangeStart,                 \
       ULONG * cObjectIDRangeLength))                                                                                  \
    X(50, HRESULT, ObjectAllocated, (ObjectID objectId, ClassID classId))                                              \
    X(51, HRESULT, ObjectsAllocatedByClass, (ULONG cClassCount, ClassID * classIds, ULONG * cObjects))                 \
    X(52, HRESULT, ObjectReferences, (ObjectID objectId, ClassID classId, ULONG cObjectRefs, ObjectID * objectRefIds)) \
    X(53, HRESULT, RootReferences, (ULONG cRootRefs, ObjectID * rootRefIds))                                           \
    X(54, HRESULT, ExceptionThrown, (ObjectID thrownObjectId))                                                         \
    X(55, HRESULT, ExceptionSearchFunctionEnter, (FunctionID functionId))                                              \
    X(56, HRESULT, ExceptionSearchFunctionLeave, ())                                                                   \
    X(57, HRESULT, ExceptionSearchFilterEnter, (FunctionID functionId))                                                \
    X(58, HRESULT, ExceptionSearchFilterLeave, ())                                                                     \
    X(59, HRESULT, ExceptionSearchCatcherFound, (FunctionID functionId))                                               \
    X(60, HRESULT, ExceptionOSHandlerEnter, (UINT_PTR unused))                                                         \
    X(61, HRESULT, ExceptionOSHandlerLeave, (UINT_PTR unused))                                                         \
    X(62, HRESULT, ExceptionUnwindFunctionEnter, (FunctionID functionId))                                              \
    X(63, HRESULT, ExceptionUnwindFunctionLeave, ())                                                                   \
    X(64, HRESULT, ExceptionUnwindFinallyEnter, (FunctionID functionId))                                               \
    X(65, HRESULT, ExceptionUnwindFinallyLeave, ())                                                                    \
    X(66, HRESULT, ExceptionCatcherEnter, (FunctionID functionId, ObjectID objectId))                                  \
    X(67, HRESULT, ExceptionCatcherLeave, ())                                                                          \
    X(68, HRESULT, COMClassicVTableCreated,                                                                            \
      (ClassID wrappedClassId, REFGUID implementedIID, void* pVTable, ULONG cSlots))                                   \
    X(69, HRESULT, COMClassicVTableDestroyed, (ClassID wrappedClassId, REFGUID implementedIID, void* pVTable))         \
    X(70, HRESULT, ExceptionCLRCatcherFound, ())                                                                       \
    X(71, HRESULT, ExceptionCLRCatcherExecute, ())

struct ICorProfilerCallback : IUnknown {
    QX_ICORPROFILERCALLBACK_METHODS(QX_COM_PURE_VIRTUAL)

protected:
    ~ICorProfilerCallback() = default;
};
QX_COM_LAYOUT(ICorProfilerCallback, IUnknown, QX_ICORPROFILERCALLBACK_METHODS, 72);

// Slots 72-79. The thread name is not NUL-terminated.
#define QX_ICORPROFILERCALLBACK2_METHODS(X)                                                                           \
    X(72, HRESULT, ThreadNameChanged, (ThreadID threadId, ULONG cchName, WCHAR * name))                               \
    X(73, HRESULT, GarbageCollectionStarted, (int cGenerations, BOOL* generationCollected, COR_PRF_GC_REASON reason)) \
    X(74, HRESULT, SurvivingReferences,                                                                               \
      (ULONG cSurvivingObjectIDRanges, ObjectID * objectIDRangeStart, ULONG * cObjectIDRangeLength))                  \
    X(75, HRESULT, GarbageCollectionFinished, ())                                                                     \
    X(76, HRESULT, FinalizeableObjectQueued, (DWORD finalizerFlags, ObjectID objectID))                               \
    X(77, HRESULT, RootReferences2,                                                                                   \
      (ULONG cRootRefs, ObjectID * rootRefIds, COR_PRF_GC_ROOT_KIND * rootKinds, COR_PRF_GC_ROOT_FLAGS * rootFlags,   \
       UINT_PTR * rootIds))                                                                                           \
    X(78, HRESULT, HandleCreated, (GCHandleID handleId, ObjectID initialObjectId))                                    \
    X(79, HRESULT, HandleDestroyed, (GCHandleID handleId))

struct ICorProfilerCallback2 : ICorProfilerCallback {
    QX_ICORPROFILERCALLBACK2_METHODS(QX_COM_PURE_VIRTUAL)

protected:
    ~ICorProfilerCallback2() = default;
};
QX_COM_LAYOUT(ICorProfilerCallback2, ICorProfilerCallback, QX_ICORPROFILERCALLBACK2_METHODS, 80);

// Slots 80-82.
#define QX_ICORPROFILERCALLBACK3_METHODS(X)                                                                      \
    X(80, HRESULT, InitializeForAttach, (IUnknown * pCorProfilerInfoUnk, void* pvClientData, UINT cbClientData)) \
    X(81, HRESULT, ProfilerAttachComplete, ())                                                                   \
    X(82, HRESULT, ProfilerDetachSucceeded, ())

struct ICorProfilerCallback3 : ICorProfilerCallback2 {
    QX_ICORPROFILERCALLBACK3_METHODS(QX_COM_PURE_VIRTUAL)

protected:
    ~ICorProfilerCallback3() = default;
};
QX_COM_LAYOUT(ICorProfilerCallback3, ICorProfilerCallback2, QX_ICORPROFILERCALLBACK3_METHODS, 83);

// Slots 83-88.
#define QX_ICORPROFILERCALLBACK4_METHODS(X)                                                                        \
    X(83, HRESULT, ReJITCompilationStarted, (FunctionID functionId, ReJITID rejitId, BOOL fIsSafeToBlock))         \
    X(84, HRESULT, GetReJITParameters,                                                                             \
      (ModuleID moduleId, mdMethodDef methodId, ICorProfilerFunctionControl * pFunctionControl))                   \
    X(85, HRESULT, ReJITCompilationFinished,                                                                       \
      (FunctionID functionId, ReJITID rejitId, HRESULT hrStatus, BOOL fIsSafeToBlock))                             \
    X(86, HRESULT, ReJITError, (ModuleID moduleId, mdMethodDef methodId, FunctionID functionId, HRESULT hrStatus)) \
    X(87, HRESULT, MovedReferences2,                                                                               \
      (ULONG cMovedObjectIDRanges, ObjectID * oldObjectIDRangeStart, ObjectID * newObjectIDRangeStart,             \
       SIZE_T * cObjectIDRangeLength))                                                                             \
    X(88, HRESULT, SurvivingReferences2,                                                                           \
      (ULONG cSurvivingObjectIDRanges, ObjectID * objectIDRangeStart, SIZE_T * cObjectIDRangeLength))

struct ICorProfilerCallback4 : ICorProfilerCallback3 {
    QX_ICORPROFILERCALLBACK4_METHODS(QX_COM_PURE_VIRTUAL)

protected:
    ~ICorProfilerCallback4() = default;
};
QX_COM_LAYOUT(ICorProfilerCallback4, ICorProfilerCallback3, QX_ICORPROFILERCALLBACK4_METHODS, 89);
