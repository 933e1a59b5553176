#pragma once

#include <atomic>
#include <new>

#include "platform/ComTypes.h"
#include "platform/InterfaceIds.h"
#include "platform/ProfilerCallback.h"

// The callback object of a test-only profiler: every callback answers S_OK unless the profiler
// overrides it; reference counted, deleted at the last release.
class TestProfilerCallbacks : public ICorProfilerCallback3 {
public:
#define QX_TEST_DEFAULT_CALLBACK(slot, ret, name, params) \
    ret name params override { return S_OK; }
    QX_ICORPROFILERCALLBACK_METHODS(QX_TEST_DEFAULT_CALLBACK)
    QX_ICORPROFILERCALLBACK2_METHODS(QX_TEST_DEFAULT_CALLBACK)
    QX_ICORPROFILERCALLBACK3_METHODS(QX_TEST_DEFAULT_CALLBACK)
#undef QX_TEST_DEFAULT_CALLBACK

    virtual ~TestProfilerCallbacks() = default;

    HRESULT QueryInterface(REFIID riid, void** ppvObject) override {
        if (ppvObject == nullptr) return E_POINTER;
        if (riid != nullptr &&
            (IsEqualGUID(*riid, IID_IUnknown) || IsEqualGUID(*riid, IID_ICorProfilerCallback) ||
             IsEqualGUID(*riid, IID_ICorProfilerCallback2) || IsEqualGUID(*riid, IID_ICorProfilerCallback3))) {
            *ppvObject = static_cast<ICorProfilerCallback3*>(this);
            AddRef();
            return S_OK;
        }
        *ppvObject = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return static_cast<ULONG>(++references); }
    ULONG Release() override {
        const int left = --references;
        if (left == 0) delete this;
        return static_cast<ULONG>(left);
    }

private:
    std::atomic<int> references{1};
};

// The class factory of the test-only profilers (the IL rewriting one, the benchmark's floor):
// the runtime asks DllGetClassObject for it and has it create the profiler object.
template <typename Profiler>
class TestProfilerFactory final : public IClassFactory {
public:
    virtual ~TestProfilerFactory() = default;

    HRESULT QueryInterface(REFIID riid, void** ppvObject) override {
        if (ppvObject == nullptr) return E_POINTER;
        if (riid != nullptr && (IsEqualGUID(*riid, IID_IUnknown) || IsEqualGUID(*riid, IID_IClassFactory))) {
            *ppvObject = this;
            AddRef();
            return S_OK;
        }
        *ppvObject = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return static_cast<ULONG>(++references); }
    ULONG Release() override {
        const int left = --references;
        if (left == 0) delete this;
        return static_cast<ULONG>(left);
    }
    HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppvObject) override {
        if (ppvObject == nullptr) return E_POINTER;
        *ppvObject = nullptr;
        if (outer != nullptr) return CLASS_E_NOAGGREGATION;
        auto* profiler = new (std::nothrow) Profiler();
        if (profiler == nullptr) return E_OUTOFMEMORY;
        const HRESULT hr = profiler->QueryInterface(riid, ppvObject);
        profiler->Release();
        return hr;
    }
    HRESULT LockServer(BOOL) override { return S_OK; }

    // What DllGetClassObject answers for the profiler's class id.
    static HRESULT GetClassObject(const GUID& clsid, REFCLSID rclsid, REFIID riid, void** ppv) {
        if (ppv == nullptr) return E_POINTER;
        *ppv = nullptr;
        if (rclsid == nullptr || !IsEqualGUID(*rclsid, clsid)) return CLASS_E_CLASSNOTAVAILABLE;
        auto* factory = new (std::nothrow) TestProfilerFactory();
        if (factory == nullptr) return E_OUTOFMEMORY;
        const HRESULT hr = factory->QueryInterface(riid, ppv);
        factory->Release();
        return hr;
    }

private:
    std::atomic<int> references{1};
};
