#include "profiler/CorProfiler.h"

#include <new>

#include "environment/ErrorBoundary.h"
#include "environment/Logger.h"
#include "platform/InterfaceIds.h"
#include "profiler/HookStubs.h"
#include "profiler/ProfilerImpl.h"

const GUID CLSID_QuorixProfiler = {0x76CAC89D, 0x4E69, 0x48F9, {0xBD, 0x88, 0x36, 0x86, 0xBB, 0xD6, 0xCD, 0x7F}};

// Built at library load, before the runtime makes any call; never destroyed.
ProfilerImpl* g_ProfilerImpl = new ProfilerImpl();

namespace {

template <typename Object>
ULONG Increment(std::atomic<int32_t>& count) {
    return static_cast<ULONG>(count.fetch_add(1, std::memory_order_relaxed) + 1);
}

template <typename Object>
ULONG Decrement(Object* object, std::atomic<int32_t>& count) {
    const int32_t left = count.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0) delete object;
    return static_cast<ULONG>(left);
}

}  // namespace

extern "C" HRESULT DllGetClassObject(REFCLSID rclsid, REFIID, void** ppv) {
    if (ppv == nullptr) return E_FAIL;
    if (rclsid == nullptr || !IsEqualGUID(*rclsid, CLSID_QuorixProfiler)) return E_FAIL;
    auto* factory = new (std::nothrow) ClassFactory();
    if (factory == nullptr) return E_OUTOFMEMORY;
    *ppv = factory;
    return S_OK;
}

HRESULT ClassFactory::QueryInterface(REFIID riid, void** ppvObject) {
    if (ppvObject == nullptr) return E_FAIL;
    if (riid != nullptr && (IsEqualGUID(*riid, IID_IUnknown) || IsEqualGUID(*riid, IID_IClassFactory))) {
        *ppvObject = this;
        AddRef();
        return S_OK;
    }
    *ppvObject = nullptr;
    return E_NOINTERFACE;
}

ULONG ClassFactory::AddRef() { return Increment<ClassFactory>(refCount); }

ULONG ClassFactory::Release() { return Decrement(this, refCount); }

HRESULT ClassFactory::CreateInstance(IUnknown*, REFIID riid, void** ppvObject) {
    if (riid == nullptr || !IsEqualGUID(*riid, IID_ICorProfilerCallback2)) return E_NOINTERFACE;
    if (ppvObject == nullptr) return S_OK;
    // The whole start-up runs inside the constructor; it cannot let anything escape.
    auto* profiler = new (std::nothrow) CorProfiler();
    if (profiler == nullptr) return E_OUTOFMEMORY;
    *ppvObject = static_cast<ICorProfilerCallback2*>(profiler);
    return S_OK;
}

HRESULT ClassFactory::LockServer(BOOL) { return S_OK; }

CorProfiler::CorProfiler() {
    RunGuarded("FinalConstruct", [] { g_ProfilerImpl->FinalConstruct(); });
}

CorProfiler::~CorProfiler() {
    RunGuarded("FinalRelease", [] { g_ProfilerImpl->FinalRelease(); });
}

HRESULT CorProfiler::QueryInterface(REFIID riid, void** ppvObject) {
    if (ppvObject == nullptr) return E_FAIL;
    if (riid != nullptr &&
        (IsEqualGUID(*riid, IID_ICorProfilerCallback4) || IsEqualGUID(*riid, IID_ICorProfilerCallback3) ||
         IsEqualGUID(*riid, IID_ICorProfilerCallback2) || IsEqualGUID(*riid, IID_ICorProfilerCallback) ||
         IsEqualGUID(*riid, IID_IUnknown))) {
        *ppvObject = static_cast<ICorProfilerCallback4*>(this);
        AddRef();
        return S_OK;
    }
    *ppvObject = nullptr;
    return E_NOINTERFACE;
}

ULONG CorProfiler::AddRef() { return Increment<CorProfiler>(refCount); }

ULONG CorProfiler::Release() { return Decrement(this, refCount); }

HRESULT CorProfiler::Initialize(IUnknown* pICorProfilerInfoUnk) {
    HRESULT result = E_FAIL;
    RunGuarded("Initialize", [&] {
        result =
            g_ProfilerImpl->Initialize(pICorProfilerInfoUnk, reinterpret_cast<void*>(&EnterNaked),
                                       reinterpret_cast<void*>(&LeaveNaked), reinterpret_cast<void*>(&TailcallNaked));
    });
    return result;
}

// This runtime calls Shutdown at process end but never releases the callback object, so the
// end of the process is announced here; the destructor's call then finds it done.
HRESULT CorProfiler::Shutdown() {
    RunGuarded("Shutdown", [] { g_ProfilerImpl->FinalRelease(); });
    return S_OK;
}

HRESULT CorProfiler::JITInlining(FunctionID callerId, FunctionID calleeId, BOOL* pfShouldInline) {
    RunGuarded("JITInlining", [&] { g_ProfilerImpl->JITInlining(callerId, calleeId, pfShouldInline); });
    return S_OK;
}

HRESULT CorProfiler::ExceptionThrown(ObjectID thrownObjectId) {
    RunGuarded("ExceptionRaised", [&] { g_ProfilerImpl->ExceptionRaised(thrownObjectId); });
    return S_OK;
}

HRESULT CorProfiler::ExceptionUnwindFunctionEnter(FunctionID functionId) {
    RunGuarded("ExceptionUnwind", [&] { g_ProfilerImpl->ExceptionUnwindStarted(functionId); });
    return S_OK;
}

HRESULT CorProfiler::ExceptionUnwindFunctionLeave() {
    RunGuarded("ExceptionUnwind", [] { g_ProfilerImpl->ExceptionUnwindFinished(); });
    return S_OK;
}

HRESULT CorProfiler::ExceptionCatcherEnter(FunctionID functionId, ObjectID) {
    RunGuarded("ExceptionCaught", [&] { g_ProfilerImpl->ExceptionCaught(functionId); });
    return S_OK;
}

HRESULT CorProfiler::ModuleLoadFinished(ModuleID moduleId, HRESULT hrStatus) {
    if (SUCCEEDED(hrStatus)) RunGuarded("ModuleLoadFinished", [&] { g_ProfilerImpl->ModuleLoaded(moduleId); });
    return S_OK;
}

HRESULT CorProfiler::JITCachedFunctionSearchStarted(FunctionID functionId, BOOL* pbUseCachedFunction) {
    // Using the precompiled code (the runtime's own default) is the safe answer whatever goes wrong.
    bool use = true;
    RunGuarded("JITCachedFunctionSearchStarted", [&] { use = g_ProfilerImpl->MayUsePrecompiledCode(functionId); });
    if (!use && pbUseCachedFunction != nullptr) *pbUseCachedFunction = 0;
    return S_OK;
}

HRESULT CorProfiler::GetReJITParameters(ModuleID moduleId, mdMethodDef methodId,
                                        ICorProfilerFunctionControl* pFunctionControl) {
    HRESULT result = S_OK;
    RunGuarded("GetReJITParameters",
               [&] { result = g_ProfilerImpl->GetReJITParameters(moduleId, methodId, pFunctionControl); });
    return result;
}

HRESULT CorProfiler::ReJITError(ModuleID moduleId, mdMethodDef methodId, FunctionID, HRESULT hrStatus) {
    RunGuarded("ReJITError", [&] { g_ProfilerImpl->ReJITError(moduleId, methodId, hrStatus); });
    return S_OK;
}

HRESULT CorProfiler::ThreadCreated(ThreadID threadId) {
    RunGuarded("ThreadCreated", [&] { g_ProfilerImpl->ThreadStart(threadId); });
    return S_OK;
}

HRESULT CorProfiler::ThreadDestroyed(ThreadID threadId) {
    RunGuarded("ThreadDestroyed", [&] { g_ProfilerImpl->ThreadEnded(threadId); });
    return S_OK;
}

HRESULT CorProfiler::ThreadAssignedToOSThread(ThreadID managedThreadId, DWORD osThreadId) {
    RunGuarded("ThreadAssignedToOSThread",
               [&] { g_ProfilerImpl->ThreadMapped(managedThreadId, static_cast<uint64_t>(osThreadId)); });
    return S_OK;
}
