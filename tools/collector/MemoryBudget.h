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
    explicit MemoryBudget(size_t limit = SIZE_MAX) : limit_(limit) {}

    bool Charge(size_t bytes) {
        if (bytes > limit_ - used_) {
            refused_ = true;
            return false;
        }
        used_ += bytes;
        if (used_ > peak_) {
            peak_ = used_;
        }
        return true;
    }
    void Release(size_t bytes) { used_ -= bytes < used_ ? bytes : used_; }
    void SetLimit(size_t limit) { limit_ = limit; }

    size_t Used() const { return used_; }
    size_t Peak() const { return peak_; }
    size_t Limit() const { return limit_; }
    size_t Left() const { return limit_ - used_; }
    // Whether a request was ever turned down.
    bool Refused() const { return refused_; }

private:
    size_t limit_;
    size_t used_ = 0;
    size_t peak_ = 0;
    bool refused_ = false;
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

    explicit IndexTable(MemoryBudget* budget = nullptr) : budget_(budget) {}
    ~IndexTable() { Clear(); }
    IndexTable(const IndexTable&) = delete;
    IndexTable& operator=(const IndexTable&) = delete;
    IndexTable(IndexTable&& other) noexcept { *this = std::move(other); }
    IndexTable& operator=(IndexTable&& other) noexcept {
        if (this != &other) {
            Clear();
            budget_ = other.budget_;
            slots_ = std::move(other.slots_);
            mask_ = other.mask_;
            size_ = other.size_;
            other.slots_.clear();
            other.mask_ = 0;
            other.size_ = 0;
        }
        return *this;
    }

    template <typename Equal>
    uint32_t Find(uint64_t hash, Equal&& equal) const {
        if (slots_.empty()) {
            return NotFound;
        }
        const auto tag = static_cast<uint32_t>(hash);
        for (size_t i = tag & mask_;; i = (i + 1) & mask_) {
            const Slot& s = slots_[i];
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
        if ((size_ + 1) * 4 > slots_.size() * 3 && !Grow()) {
            return false;
        }
        Place(static_cast<uint32_t>(hash), value);
        ++size_;
        return true;
    }

    void Clear() {
        if (budget_ != nullptr) {
            budget_->Release(Bytes());
        }
        std::vector<Slot>().swap(slots_);
        mask_ = 0;
        size_ = 0;
    }

    size_t Size() const { return size_; }
    size_t Bytes() const { return slots_.capacity() * sizeof(Slot); }

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
        for (size_t i = tag & mask_;; i = (i + 1) & mask_) {
            if (slots_[i].value == NotFound) {
                slots_[i] = {tag, value};
                return;
            }
        }
    }

    bool Grow() {
        const size_t capacity = slots_.empty() ? 16 : slots_.size() * 2;
        if (capacity > (size_t{1} << 32)) {
            return false;
        }
        // Old and new slots live side by side while rehashing.
        const size_t bytes = capacity * sizeof(Slot);
        if (budget_ != nullptr && !budget_->Charge(bytes)) {
            return false;
        }
        std::vector<Slot> old;
        old.swap(slots_);
        slots_.assign(capacity, Slot{0, NotFound});
        mask_ = capacity - 1;
        for (const Slot& s : old) {
            if (s.value != NotFound) {
                Place(s.tag, s.value);
            }
        }
        if (budget_ != nullptr) {
            budget_->Release(old.capacity() * sizeof(Slot));
        }
        return true;
    }

    MemoryBudget* budget_ = nullptr;
    std::vector<Slot> slots_;
    size_t mask_ = 0;
    size_t size_ = 0;
};

// Bytes of many small texts kept in large blocks, so a text costs its length and nothing else.
// Texts are never freed one by one; dropping the arena frees them all.
class TextArena {
public:
    explicit TextArena(MemoryBudget* budget = nullptr) : budget_(budget) {}
    ~TextArena() { Clear(); }
    TextArena(const TextArena&) = delete;
    TextArena& operator=(const TextArena&) = delete;

    // A stable copy of `text`, or a null view when the budget refuses.
    std::string_view Store(std::string_view text) {
        if (text.empty()) {
            return std::string_view("", 0);
        }
        if (text.size() > blockLeft_) {
            // Blocks start small (many arenas are tiny) and double up to a cap.
            size_t size = blocks_.empty() ? 1024 : std::min<size_t>(blockSize_ * 2, 256 * 1024);
            if (size < text.size()) {
                size = text.size();
            }
            if (budget_ != nullptr && !budget_->Charge(size)) {
                // Near the bound, a smaller block still takes what fits.
                size = std::max(text.size(), budget_->Left());
                if (!budget_->Charge(size)) {
                    return {};
                }
            }
            blocks_.emplace_back(new char[size]);
            blockSize_ = size;
            blockLeft_ = size;
            bytes_ += size;
        }
        char* at = blocks_.back().get() + (blockSize_ - blockLeft_);
        memcpy(at, text.data(), text.size());
        blockLeft_ -= text.size();
        return {at, text.size()};
    }

    void Clear() {
        if (budget_ != nullptr) {
            budget_->Release(bytes_);
        }
        blocks_.clear();
        blockSize_ = 0;
        blockLeft_ = 0;
        bytes_ = 0;
    }

    size_t Bytes() const { return bytes_; }

private:
    MemoryBudget* budget_;
    std::vector<std::unique_ptr<char[]>> blocks_;
    size_t blockSize_ = 0;
    size_t blockLeft_ = 0;
    size_t bytes_ = 0;
};

}  // namespace QuorixCollect
