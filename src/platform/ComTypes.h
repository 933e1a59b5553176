#pragma once

// Scalar types, GUID, result codes and the two root interfaces of the runtime's COM-style ABI,
// as the runtime's platform layer defines them on Linux x86-64. Widths matter more than names:
// ULONG and DWORD are 32-bit here (not `unsigned long`), BOOL is a 4-byte int and the runtime's
// text is UTF-16.

#include <cstddef>
#include <cstdint>

#include "platform/ComLayout.h"

using HRESULT = int32_t;
using BOOL = int32_t;
using LONG = int32_t;
using ULONG = uint32_t;
using DWORD = uint32_t;
using UINT = uint32_t;
using ULONG32 = uint32_t;
using SHORT = int16_t;
using USHORT = uint16_t;
using WORD = uint16_t;
using BYTE = uint8_t;
using LONG64 = int64_t;
using ULONG64 = uint64_t;
using UINT_PTR = uintptr_t;
using ULONG_PTR = uintptr_t;
using SIZE_T = size_t;
using WCHAR = char16_t;
using LPWSTR = WCHAR*;
using LPCWSTR = const WCHAR*;
using LPCBYTE = const BYTE*;
using PVOID = void*;
using HANDLE = void*;

#ifndef TRUE
inline constexpr BOOL TRUE = 1;
#endif
#ifndef FALSE
inline constexpr BOOL FALSE = 0;
#endif

static_assert(sizeof(ULONG) == 4 && sizeof(DWORD) == 4 && sizeof(BOOL) == 4);
static_assert(sizeof(WCHAR) == 2 && sizeof(UINT_PTR) == 8 && sizeof(SIZE_T) == 8);

struct GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
};
static_assert(sizeof(GUID) == 16 && alignof(GUID) == 4);

using IID = GUID;
using CLSID = GUID;
// The runtime passes these by C++ reference, which is a pointer in the ABI. A GUID by value
// would travel in two registers and shift every later argument.
using REFIID = const GUID*;
using REFGUID = const GUID*;
using REFCLSID = const GUID*;

// Compares all 16 bytes, as the runtime does.
constexpr bool IsEqualGUID(const GUID& a, const GUID& b) {
    if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) {
        return false;
    }
    for (int i = 0; i < 8; ++i) {
        if (a.Data4[i] != b.Data4[i]) {
            return false;
        }
    }
    return true;
}

constexpr bool operator==(const GUID& a, const GUID& b) { return IsEqualGUID(a, b); }

// Result codes are negative when they fail; the explicit conversions keep the sign right.
constexpr bool SUCCEEDED(HRESULT hr) { return hr >= 0; }
constexpr bool FAILED(HRESULT hr) { return hr < 0; }

inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_NOTIMPL = static_cast<HRESULT>(0x80004001u);
inline constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002u);
inline constexpr HRESULT E_POINTER = static_cast<HRESULT>(0x80004003u);
inline constexpr HRESULT E_ABORT = static_cast<HRESULT>(0x80004004u);
inline constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005u);
inline constexpr HRESULT E_UNEXPECTED = static_cast<HRESULT>(0x8000FFFFu);
inline constexpr HRESULT E_PENDING = static_cast<HRESULT>(0x8000000Au);
inline constexpr HRESULT E_ACCESSDENIED = static_cast<HRESULT>(0x80070005u);
inline constexpr HRESULT E_HANDLE = static_cast<HRESULT>(0x80070006u);
inline constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000Eu);
inline constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057u);
inline constexpr HRESULT CLASS_E_NOAGGREGATION = static_cast<HRESULT>(0x80040110u);
inline constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = static_cast<HRESULT>(0x80040111u);

inline constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;

constexpr HRESULT HRESULT_FROM_WIN32(DWORD error) {
    return static_cast<HRESULT>(error) <= 0 ? static_cast<HRESULT>(error)
                                            : static_cast<HRESULT>((error & 0xFFFFu) | 0x80070000u);
}

// ---------------------------------------------------------------------------------------------
// IUnknown (vtable length 3). Interfaces have no virtual destructor, which would add two vtable
// entries; the protected non-virtual one adds none and keeps objects from being deleted through
// an interface pointer (they go by Release).

#define QX_IUNKNOWN_METHODS(X)                                     \
    X(0, HRESULT, QueryInterface, (REFIID riid, void** ppvObject)) \
    X(1, ULONG, AddRef, ())                                        \
    X(2, ULONG, Release, ())

struct IUnknown {
    QX_IUNKNOWN_METHODS(QX_COM_PURE_VIRTUAL)

protected:
    ~IUnknown() = default;
};
QX_COM_LAYOUT(IUnknown, void, QX_IUNKNOWN_METHODS, 3);

// IClassFactory (vtable length 5).

#define QX_ICLASSFACTORY_METHODS(X)                                                      \
    X(3, HRESULT, CreateInstance, (IUnknown * pUnkOuter, REFIID riid, void** ppvObject)) \
    X(4, HRESULT, LockServer, (BOOL fLock))

struct IClassFactory : IUnknown {
    QX_ICLASSFACTORY_METHODS(QX_COM_PURE_VIRTUAL)

protected:
    ~IClassFactory() = default;
};
QX_COM_LAYOUT(IClassFactory, IUnknown, QX_ICLASSFACTORY_METHODS, 5);
