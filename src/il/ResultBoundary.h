#pragma once

#include <new>

#include "platform/ComTypes.h"

// The IL code runs inside runtime callbacks: whatever it throws becomes a result code, a failure
// to allocate E_OUTOFMEMORY, anything else E_FAIL.
template <typename Body>
HRESULT Contained(Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_FAIL;
    }
}
