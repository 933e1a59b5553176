#pragma once

#include "support/FakeMetaDataCalls.h"

// The module emit interface: every method fails and is counted unless a test overrides it.
class FakeMetaDataEmit : public IMetaDataEmit, public FakeMetaDataCalls {
public:
    virtual ~FakeMetaDataEmit() = default;

    HRESULT QueryInterface(REFIID, void** ppvObject) override {
        Count("QueryInterface");
        *ppvObject = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return 1; }
    ULONG Release() override { return 1; }

    QX_IMETADATAEMIT_METHODS(QX_FAKE_METADATA_FAILS)
};
