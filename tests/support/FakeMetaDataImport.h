#pragma once

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <type_traits>

#include "platform/InterfaceIds.h"
#include "platform/MetaData.h"

// The runtime's metadata import as tests see it: every method answers E_FAIL (CloseEnum and
// IsValidToken do nothing and answer FALSE) and is counted, so an unexpected call shows up as a
// failed expectation. Tests derive and override what they need. The object belongs to the test;
// AddRef and Release only count, so a test can check that every reference it handed out came back.
class FakeMetaDataImport : public IMetaDataImport2 {
public:
    FakeMetaDataImport() = default;
    virtual ~FakeMetaDataImport() = default;

    int Calls(const std::string& name) {
        std::lock_guard<std::mutex> lock(callsMutex);
        return calls[name];
    }
    // References handed out and not yet given back.
    int References() const { return references.load(); }

    HRESULT QueryInterface(REFIID riid, void** ppvObject) override {
        Count("QueryInterface");
        const bool known = IsEqualGUID(*riid, IID_IUnknown) || IsEqualGUID(*riid, IID_IMetaDataImport) ||
                           IsEqualGUID(*riid, IID_IMetaDataImport2);
        *ppvObject = known ? static_cast<IMetaDataImport2*>(this) : nullptr;
        if (known) AddRef();
        return known ? S_OK : E_NOINTERFACE;
    }
    ULONG AddRef() override {
        Count("AddRef");
        return static_cast<ULONG>(++references);
    }
    ULONG Release() override {
        Count("Release");
        return static_cast<ULONG>(--references);
    }

#define QX_FAKE_FAILS(slot, ret, name, params) \
    ret name params override {                 \
        Count(#name);                          \
        return FakeAnswer<ret>(#name);         \
    }
    QX_IMETADATAIMPORT_METHODS(QX_FAKE_FAILS)
    QX_IMETADATAIMPORT2_METHODS(QX_FAKE_FAILS)
#undef QX_FAKE_FAILS

protected:
    void Count(const char* name) {
        std::lock_guard<std::mutex> lock(callsMutex);
        ++calls[name];
    }

private:
    // BOOL and HRESULT are the same type, so the one BOOL method is told apart by its name.
    template <class Ret>
    static Ret FakeAnswer(std::string_view name) {
        if constexpr (std::is_void_v<Ret>) {
            return;
        } else {
            return name == "IsValidToken" ? Ret{0} : static_cast<Ret>(E_FAIL);
        }
    }

    std::atomic<int> references{0};
    std::mutex callsMutex;
    std::map<std::string, int> calls;
};
