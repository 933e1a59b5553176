#pragma once

#include <string>

#include "environment/profiler_pal.h"
#include "platform/MetaData.h"

// A metadata interface handed out by the runtime, released on every way out.
class MetaDataImportRef {
public:
    MetaDataImportRef() = default;
    MetaDataImportRef(const MetaDataImportRef&) = delete;
    MetaDataImportRef& operator=(const MetaDataImportRef&) = delete;
    ~MetaDataImportRef() {
        if (unknown != nullptr) unknown->Release();
    }
    IUnknown** Out() { return &unknown; }
    // The runtime hands out the interface asked for; its IUnknown part is at the same address.
    IMetaDataImport* Get() const { return static_cast<IMetaDataImport*>(unknown); }

private:
    IUnknown* unknown = nullptr;
};

// Closed before the import that made it is released (declare it after the import).
class MetaDataEnum {
public:
    explicit MetaDataEnum(IMetaDataImport* importValue) : import(importValue) {}
    MetaDataEnum(const MetaDataEnum&) = delete;
    MetaDataEnum& operator=(const MetaDataEnum&) = delete;
    ~MetaDataEnum() {
        if (handle != nullptr) import->CloseEnum(handle);
    }
    HCORENUM* Out() { return &handle; }

private:
    IMetaDataImport* import;
    HCORENUM handle = nullptr;
};

// False when the name cannot be converted (a lone surrogate from odd metadata).
inline bool NarrowName(const char16_t* text, std::string& out) noexcept {
    try {
        out = W2A(text);
        return true;
    } catch (...) {
        return false;
    }
}
