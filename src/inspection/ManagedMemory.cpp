#include "inspection/ManagedMemory.h"

#include <cstring>

#include "environment/SystemContext.h"

namespace {

// A one-dimensional array: its class, then its length (4 bytes and padding), then the elements.
constexpr uintptr_t VectorLengthOffset = sizeof(uintptr_t);
constexpr uintptr_t VectorDataOffset = 2 * sizeof(uintptr_t);

uintptr_t ReadWord(uintptr_t address) {
    uintptr_t value = 0;
    std::memcpy(&value, reinterpret_cast<const void*>(address), sizeof(value));
    return value;
}

}  // namespace

namespace ManagedMemory {

ClassID ClassOf(uintptr_t reference) {
    if (reference == 0) return 0;
    const SystemContext* context = g_Context;
    ICorProfilerInfo* info = context == nullptr ? nullptr : context->GetProfilerInfo();
    ClassID classId = 0;
    const HRESULT hr = info == nullptr ? OutsideCallback : info->GetClassFromObject(reference, &classId);
    if (SUCCEEDED(hr)) return classId;
    return hr == OutsideCallback ? ReadWord(reference) : 0;
}

bool VectorOf(uintptr_t reference, uint32_t& length, uintptr_t& data) {
    if (reference == 0) return false;
    const SystemContext* context = g_Context;
    ICorProfilerInfo2* info = context == nullptr ? nullptr : context->GetProfiler2Info();
    ULONG32 size = 0;
    int lowerBound = 0;
    BYTE* elements = nullptr;
    const HRESULT hr =
        info == nullptr ? OutsideCallback : info->GetArrayObjectInfo(reference, 1, &size, &lowerBound, &elements);
    if (SUCCEEDED(hr)) {
        length = size;
        data = reinterpret_cast<uintptr_t>(elements);
        return elements != nullptr;
    }
    if (hr != OutsideCallback) return false;
    uint32_t count = 0;
    std::memcpy(&count, reinterpret_cast<const void*>(reference + VectorLengthOffset), sizeof(count));
    length = count;
    data = reference + VectorDataOffset;
    return true;
}

}  // namespace ManagedMemory
