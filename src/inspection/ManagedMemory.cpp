#include "inspection/ManagedMemory.h"

#include "environment/SystemContext.h"

namespace {

// A one-dimensional array: its class, then its length (4 bytes and padding), then the elements.
constexpr uintptr_t VectorLengthOffset = sizeof(uintptr_t);
constexpr uintptr_t VectorDataOffset = 2 * sizeof(uintptr_t);

}  // namespace

namespace ManagedMemory {

ClassID ClassOf(uintptr_t reference) {
    if (reference == 0) return 0;
    const SystemContext* context = g_Context;
    ICorProfilerInfo* info = context == nullptr ? nullptr : context->GetProfilerInfo();
    ClassID classId = 0;
    const HRESULT hr = info == nullptr ? OutsideCallback : info->GetClassFromObject(reference, &classId);
    if (SUCCEEDED(hr)) return classId;
    return hr == OutsideCallback ? ReadPointer(reference) : 0;
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
    length = Read<uint32_t>(AsAddress(reference + VectorLengthOffset));
    data = reference + VectorDataOffset;
    return true;
}

StringState StringUnitsAt(const void* firstChar, uint32_t& units) {
    const SystemContext* context = g_Context;
    if (context == nullptr || !context->HasStringLayout()) return StringState::NoLayout;
    const uintptr_t chars = reinterpret_cast<uintptr_t>(firstChar);
    if (!IsPlausibleAddress(chars) || chars < context->GetBufferOffset()) return StringState::Malformed;
    const uintptr_t object = chars - context->GetBufferOffset();
    if (!IsPlausibleAddress(object)) return StringState::Malformed;
    const int32_t length = ReadInt32(object + context->GetStringLengthOffset());
    if (!IsPlausibleStringLength(length)) return StringState::Malformed;
    units = static_cast<uint32_t>(length);
    return StringState::Known;
}

}  // namespace ManagedMemory
