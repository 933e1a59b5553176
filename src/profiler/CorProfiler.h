#pragma once

#include <atomic>
#include <cstdint>

#include "platform/ComTypes.h"
#include "platform/Export.h"
#include "platform/ProfilerCallback.h"

// Every callback answers S_OK and does nothing unless a subclass says otherwise; generated from
// the interface lists so that no slot can be missed or misplaced.
class CallbackDefaults : public ICorProfilerCallback4 {
public:
#define QX_DEFAULT_CALLBACK(slot, ret, name, params) \
    ret name params override { return S_OK; }
    QX_ICORPROFILERCALLBACK_METHODS(QX_DEFAULT_CALLBACK)
    QX_ICORPROFILERCALLBACK2_METHODS(QX_DEFAULT_CALLBACK)
    QX_ICORPROFILERCALLBACK3_METHODS(QX_DEFAULT_CALLBACK)
    QX_ICORPROFILERCALLBACK4_METHODS(QX_DEFAULT_CALLBACK)
#undef QX_DEFAULT_CALLBACK

    virtual ~CallbackDefaults() = default;
};

// The callback object the runtime creates: it forwards start-up, the thread notifications, the
// probe engine's module and re-JIT events and its own end to the process-wide ProfilerImpl.
class CorProfiler final : public CallbackDefaults {
public:
    CorProfiler();
    ~CorProfiler() override;

    HRESULT QueryInterface(REFIID riid, void** ppvObject) override;
    ULONG AddRef() override;
    ULONG Release() override;

    HRESULT Initialize(IUnknown* pICorProfilerInfoUnk) override;
    HRESULT Shutdown() override;
    HRESULT JITInlining(FunctionID callerId, FunctionID calleeId, BOOL* pfShouldInline) override;
    HRESULT ExceptionThrown(ObjectID thrownObjectId) override;
    HRESULT ExceptionUnwindFunctionEnter(FunctionID functionId) override;
    HRESULT ExceptionUnwindFunctionLeave() override;
    HRESULT ExceptionCatcherEnter(FunctionID functionId, ObjectID objectId) override;
    HRESULT ModuleLoadFinished(ModuleID moduleId, HRESULT hrStatus) override;
    HRESULT JITCachedFunctionSearchStarted(FunctionID functionId, BOOL* pbUseCachedFunction) override;
    HRESULT GetReJITParameters(ModuleID moduleId, mdMethodDef methodId,
                               ICorProfilerFunctionControl* pFunctionControl) override;
    HRESULT ReJITError(ModuleID moduleId, mdMethodDef methodId, FunctionID functionId, HRESULT hrStatus) override;
    HRESULT ThreadCreated(ThreadID threadId) override;
    HRESULT ThreadDestroyed(ThreadID threadId) override;
    HRESULT ThreadAssignedToOSThread(ThreadID managedThreadId, DWORD osThreadId) override;

private:
    std::atomic<int32_t> refCount{1};
};

class ClassFactory final : public IClassFactory {
public:
    ClassFactory() = default;
    virtual ~ClassFactory() = default;

    HRESULT QueryInterface(REFIID riid, void** ppvObject) override;
    ULONG AddRef() override;
    ULONG Release() override;
    HRESULT CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) override;
    HRESULT LockServer(BOOL fLock) override;

private:
    std::atomic<int32_t> refCount{1};
};

// {76CAC89D-4E69-48F9-BD88-3686BBD6CD7F}: the id under which the runtime is told to load us.
extern const GUID CLSID_QuorixProfiler;

extern "C" QX_EXPORT HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv);
