#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

namespace QuorixCollect {

// A number of bytes that a group of structures may take together. Structures ask before they
// grow and give back what they free, so the collector's memory is bounded in bytes whatever
// the input.
class MemoryBudget {
public:
    explicit MemoryBudget(size_t bytes = SIZE_MAX) : limit(bytes) {}

    bool Charge(size_t bytes) {
        if (bytes > limit - used) {
            refused = true;
            return false;
        }
        used += bytes;
        if (used > peak) {
            peak = used;
        }
        return true;
    }
    void Release(size_t bytes) { used -= bytes < used ? bytes : used; }
    void SetLimit(size_t bytes) { limit = bytes; }

    size_t Used() const { return used; }
    size_t Peak() const { return peak; }
    size_t Limit() const { return limit; }
    size_t Left() const { return limit - used; }
    // Whether a request was ever turned down.
    bool Refused() const { return refused; }

private:
    size_t limit;
    size_t used = 0;
    size_t peak = 0;
    bool refused = false;
};

// Room for one more element, charged to the budget before the vector grows.
template <typename T>
bool MakeRoom(std::vector<T>& v, MemoryBudget& budget) {
    if (v.size() < v.capacity()) {
        return true;
    }
    const size_t capacity = v.capacity() < 8 ? 8 : v.capacity() * 2;
    if (!budget.Charge((capacity - v.capacity()) * sizeof(T))) {
        return false;
    }
    v.reserve(capacity);
    return true;
}

// Gives back what MakeRoom charged for `v` and frees it.
template <typename T>
void ReleaseAll(std::vector<T>& v, MemoryBudget& budget) {
    budget.Release(v.capacity() * sizeof(T));
    std::vector<T>().swap(v);
}

// Open-addressing table of 32-bit values (indexes into storage the caller owns). The caller
// supplies the hash and the equality test, so keys are never stored twice. Grows by doubling,
// within its budget; erasing is not supported (the owners only ever add or drop everything).
class IndexTable {
public:
    static constexpr uint32_t NotFound = UINT32_MAX;

    explicit IndexTable(MemoryBudget* chargedTo = nullptr) : budget(chargedTo) {}
    ~IndexTable() { Clear(); }
    IndexTable(const IndexTable&) = delete;
    IndexTable& operator=(const IndexTable&) = delete;
    IndexTable(IndexTable&& other) noexcept { *this = std::move(other); }
    IndexTable& operator=(IndexTable&& other) noexcept {
        if (this != &other) {
            Clear();
            budget = other.budget;
            slots = std::move(other.slots);
            mask = other.mask;
            size = other.size;
            other.slots.clear();
            other.mask = 0;
            other.size = 0;
        }
        return *this;
    }

    template <typename Equal>
    uint32_t Find(uint64_t hash, Equal&& equal) const {
        if (slots.empty()) {
            return NotFound;
        }
        const auto tag = static_cast<uint32_t>(hash);
        for (size_t i = tag & mask;; i = (i + 1) & mask) {
            const Slot& s = slots[i];
            if (s.value == NotFound) {
                return NotFound;
            }
            if (s.tag == tag && equal(s.value)) {
                return s.value;
            }
        }
    }

    // Adds a value the caller has just checked is absent. False when the table would have to
    // grow beyond its budget (nothing is added then).
    bool Insert(uint64_t hash, uint32_t value) {
        if ((size + 1) * 4 > slots.size() * 3 && !Grow()) {
            return false;
        }
        Place(static_cast<uint32_t>(hash), value);
        ++size;
        return true;
    }

    void Clear() {
        if (budget != nullptr) {
            budget->Release(Bytes());
        }
        std::vector<Slot>().swap(slots);
        mask = 0;
        size = 0;
    }

    size_t Size() const { return size; }
    size_t Bytes() const { return slots.capacity() * sizeof(Slot); }

    // A well-mixed 64-bit hash of a 64-bit key and of bytes.
    static uint64_t Mix(uint64_t x) {
        x ^= x >> 33;
        x *= 0xff51afd7ed558ccdULL;
        x ^= x >> 33;
        x *= 0xc4ceb9fe1a85ec53ULL;
        x ^= x >> 33;
        return x;
    }
    static uint64_t HashBytes(std::string_view s) {
        uint64_t h = 0x9E3779B97F4A7C15ULL ^ s.size();
        size_t i = 0;
        for (; i + 8 <= s.size(); i += 8) {
            uint64_t w;
            memcpy(&w, s.data() + i, 8);
            h = Mix(h ^ w);
        }
        uint64_t tail = 0;
        if (i < s.size()) {
            memcpy(&tail, s.data() + i, s.size() - i);
        }
        return Mix(h ^ tail);
    }

private:
    struct Slot {
        uint32_t tag;
        uint32_t value;
    };

    void Place(uint32_t tag, uint32_t value) {
        for (size_t i = tag & mask;; i = (i + 1) & mask) {
            if (slots[i].value == NotFound) {
                slots[i] = {tag, value};
                return;
            }
        }
    }

    bool Grow() {
        const size_t capacity = slots.empty() ? 16 : slots.size() * 2;
        if (capacity > (size_t{1} << 32)) {
            return false;
        }
        // Old and new slots live side by side while rehashing.
        const size_t bytes = capacity * sizeof(Slot);
        if (budget != nullptr && !budget->Charge(bytes)) {
            return false;
        }
        std::vector<Slot> old;
        old.swap(slots);
        slots.assign(capacity, Slot{0, NotFound});
        mask = capacity - 1;
        for (const Slot& s : old) {
            if (s.value != NotFound) {
                Place(s.tag, s.value);
            }
        }
        if (budget != nullptr) {
            budget->Release(old.capacity() * sizeof(Slot));
        }
        return true;
    }

    MemoryBudget* budget = nullptr;
    std::vector<Slot> slots;
    size_t mask = 0;
    size_t size = 0;
};

// Bytes of many small texts kept in large blocks, so a text costs its length and nothing else.
// Texts are never freed one by one; dropping the arena frees them all.
class TextArena {
public:
    explicit TextArena(MemoryBudget* chargedTo = nullptr) : budget(chargedTo) {}
    ~TextArena() { Clear(); }
    TextArena(const TextArena&) = delete;
    TextArena& operator=(const TextArena&) = delete;

    // A stable copy of `text`, or a null view when the budget refuses.
    std::string_view Store(std::string_view text) {
        if (text.empty()) {
            return std::string_view("", 0);
        }
        if (text.size() > blockLeft) {
            // Blocks start small (many arenas are tiny) and double up to a cap.
            size_t size = blocks.empty() ? 1024 : std::min<size_t>(blockSize * 2, 256 * 1024);
            if (size < text.size()) {
                size = text.size();
            }
            if (budget != nullptr && !budget->Charge(size)) {
                // Near the bound, a smaller block still takes what fits.
                size = std::max(text.size(), budget->Left());
                if (!budget->Charge(size)) {
                    return {};
                }
            }
            blocks.emplace_back(new char[size]);
            blockSize = size;
            blockLeft = size;
            bytes += size;
        }
        char* at = blocks.back().get() + (blockSize - blockLeft);
        memcpy(at, text.data(), text.size());
        blockLeft -= text.size();
        return {at, text.size()};
    }

    void Clear() {
        if (budget != nullptr) {
            budget->Release(bytes);
        }
        blocks.clear();
        blockSize = 0;
        blockLeft = 0;
        bytes = 0;
    }

    size_t Bytes() const { return bytes; }

private:
    MemoryBudget* budget;
    std::vector<std::unique_ptr<char[]>> blocks;
    size_t blockSize = 0;
    size_t blockLeft = 0;
    size_t bytes = 0;
};

}  // namespace QuorixCollect
