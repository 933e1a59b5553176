#pragma once

#include "support/FakeMetaDataCalls.h"

// The assembly emit and import interfaces: every method fails and is counted unless a test
// overrides it.
class FakeMetaDataAssemblyEmit : public IMetaDataAssemblyEmit, public FakeMetaDataCalls {
public:
    virtual ~FakeMetaDataAssemblyEmit() = default;

    HRESULT QueryInterface(REFIID, void** ppvObject) override {
        Count("QueryInterface");
        *ppvObject = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return 1; }
    ULONG Release() override { return 1; }

    QX_IMETADATAASSEMBLYEMIT_METHODS(QX_FAKE_METADATA_FAILS)
};

// CloseEnum returns nothing; it is only counted.
class FakeMetaDataAssemblyImport : public IMetaDataAssemblyImport, public FakeMetaDataCalls {
public:
    virtual ~FakeMetaDataAssemblyImport() = default;

    HRESULT QueryInterface(REFIID, void** ppvObject) override {
        Count("QueryInterface");
        *ppvObject = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return 1; }
    ULONG Release() override { return 1; }

#define QX_FAKE_ASSEMBLY_IMPORT(slot, ret, name, params) QX_FAKE_ASSEMBLY_IMPORT_##ret(name, params)
#define QX_FAKE_ASSEMBLY_IMPORT_HRESULT(name, params) QX_FAKE_METADATA_FAILS(0, HRESULT, name, params)
#define QX_FAKE_ASSEMBLY_IMPORT_void(name, params) \
    void name params override { Count(#name); }
    QX_IMETADATAASSEMBLYIMPORT_METHODS(QX_FAKE_ASSEMBLY_IMPORT)
#undef QX_FAKE_ASSEMBLY_IMPORT_void
#undef QX_FAKE_ASSEMBLY_IMPORT_HRESULT
#undef QX_FAKE_ASSEMBLY_IMPORT
};
