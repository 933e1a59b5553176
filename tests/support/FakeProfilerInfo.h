#pragma once

#include <map>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/InterfaceIds.h"
#include "platform/ProfilerInfo.h"

// The runtime's info object as tests see it: every method answers E_FAIL and is counted, so an
// unexpected call shows up as a failed expectation. Tests derive and override what they need.
// QueryInterface hands out this object for IUnknown and the info levels up to `level`.
class FakeProfilerInfo : public ICorProfilerInfo4 {
public:
    explicit FakeProfilerInfo(int level = 4) : infoLevel(level) {}
    virtual ~FakeProfilerInfo() = default;

    int Calls(const std::string& name) {
        std::lock_guard<std::mutex> lock(callsMutex);
        return calls[name];
    }

    HRESULT QueryInterface(REFIID riid, void** ppvObject) override {
        Count("QueryInterface");
        const GUID* levels[] = {&IID_ICorProfilerInfo, &IID_ICorProfilerInfo2, &IID_ICorProfilerInfo3,
                                &IID_ICorProfilerInfo4};
        bool known = IsEqualGUID(*riid, IID_IUnknown);
        for (int i = 0; i < infoLevel && i < 4; ++i) known = known || IsEqualGUID(*riid, *levels[i]);
        *ppvObject = known ? static_cast<ICorProfilerInfo4*>(this) : nullptr;
        return known ? S_OK : E_NOINTERFACE;
    }
    ULONG AddRef() override { return 1; }
    ULONG Release() override { return 1; }

#define QX_FAKE_FAILS(slot, ret, name, params) \
    ret name params override {                 \
        Count(#name);                          \
        return E_FAIL;                         \
    }
    QX_ICORPROFILERINFO_METHODS(QX_FAKE_FAILS)
    QX_ICORPROFILERINFO2_METHODS(QX_FAKE_FAILS)
    QX_ICORPROFILERINFO3_METHODS(QX_FAKE_FAILS)
    QX_ICORPROFILERINFO4_METHODS(QX_FAKE_FAILS)
#undef QX_FAKE_FAILS

protected:
    void Count(const char* name) {
        std::lock_guard<std::mutex> lock(callsMutex);
        // Looked up without making a string, so that counting allocates only once per name.
        const auto found = calls.find(std::string_view(name));
        if (found != calls.end())
            ++found->second;
        else
            calls.emplace(name, 1);
    }

private:
    int infoLevel;
    std::mutex callsMutex;
    std::map<std::string, int, std::less<>> calls;
};
