#pragma once

#include <cstdint>
#include <cstring>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "environment/SystemContext.h"
#include "support/FakeProfilerInfo.h"

// Managed objects laid out as the runtime lays them out on x64 (method table pointer, then for a
// string the 32-bit length at 8 and the characters at 12), and a g_Context that knows that
// layout and answers array queries from this heap. Restores the previous g_Context when done.
class FakeManagedHeap : public FakeProfilerInfo {
public:
    static constexpr ULONG StringLengthOffset = 8;
    static constexpr ULONG BufferOffset = 12;

    explicit FakeManagedHeap(bool knowsStringLayout = true, bool offersArrays = true)
        : layoutKnown(knowsStringLayout), arraysKnown(offersArrays), context("/dev/null"), previous(g_Context) {
        context.SetProfiler2Info(this);
        g_Context = &context;
    }
    ~FakeManagedHeap() override { g_Context = previous; }

    HRESULT GetStringLayout(ULONG* bufferLengthOffset, ULONG* stringLengthOffset, ULONG* bufferOffset) override {
        Count("GetStringLayout");
        if (!layoutKnown) return E_FAIL;
        *bufferLengthOffset = StringLengthOffset;
        *stringLengthOffset = StringLengthOffset;
        *bufferOffset = BufferOffset;
        return S_OK;
    }

    HRESULT GetArrayObjectInfo(ObjectID objectId, ULONG32 dimensions, ULONG32* sizes, int* lowerBounds,
                               BYTE** data) override {
        Count("GetArrayObjectInfo");
        auto found = arrays.find(objectId);
        if (!arraysKnown || dimensions != 1 || found == arrays.end()) return E_FAIL;
        sizes[0] = found->second.size;
        lowerBounds[0] = 0;
        *data = found->second.data;
        return S_OK;
    }

    // A string whose header claims `headerLength` units (the text's own length by default).
    uintptr_t NewString(const std::u16string& text, std::optional<int32_t> headerLength = std::nullopt) {
        uint8_t* object = Allocate(BufferOffset + 2 * (text.size() + 1));
        const int32_t length = headerLength.value_or(static_cast<int32_t>(text.size()));
        std::memcpy(object + StringLengthOffset, &length, sizeof(length));
        std::memcpy(object + BufferOffset, text.data(), 2 * text.size());
        return reinterpret_cast<uintptr_t>(object);
    }

    uintptr_t NewByteArray(size_t length, uint8_t first = 0) {
        uint8_t* object = Allocate(16 + length);
        for (size_t i = 0; i < length; ++i) object[16 + i] = static_cast<uint8_t>(first + i);
        return Register(object, static_cast<ULONG32>(length), object + 16);
    }

    uintptr_t NewReferenceArray(const std::vector<uintptr_t>& references) {
        uint8_t* object = Allocate(16 + 8 * references.size());
        std::memcpy(object + 16, references.data(), 8 * references.size());
        return Register(object, static_cast<ULONG32>(references.size()), object + 16);
    }

    SystemContext& Context() { return context; }

private:
    struct ArrayObject {
        ULONG32 size;
        BYTE* data;
    };

    uint8_t* Allocate(size_t bytes) {
        blocks.emplace_back((bytes + 7) / 8 + 1, 0);
        return reinterpret_cast<uint8_t*>(blocks.back().data());
    }

    uintptr_t Register(uint8_t* object, ULONG32 size, BYTE* data) {
        const auto reference = reinterpret_cast<uintptr_t>(object);
        arrays[reference] = ArrayObject{size, data};
        return reference;
    }

    bool layoutKnown;
    bool arraysKnown;
    SystemContext context;
    SystemContext* previous;
    std::deque<std::vector<uint64_t>> blocks;
    std::map<uintptr_t, ArrayObject> arrays;
};
