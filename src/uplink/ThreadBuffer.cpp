#include "uplink/ThreadBuffer.h"

#include <time.h>

#include <cstring>
#include <new>

#include "uplink/AgentUplink.h"

namespace {

std::atomic<size_t> budgetInUse{0};
std::atomic<size_t> budgetBytes{ThreadBuffer::DefaultBudgetBytes};
std::atomic<int64_t> roomWait{0};
std::atomic<bool> readerKeepsUp{true};
std::atomic<uint64_t> waits{0};

}  // namespace

ThreadBuffer::ThreadBuffer() {
    // The first chunk is the buffer's own, outside the shared budget: every thread can report.
    writeChunk = new Chunk;
    readChunk = writeChunk;
    peekChunk = writeChunk;
}

ThreadBuffer::~ThreadBuffer() {
    Chunk* chunk = readChunk;
    while (chunk != nullptr) {
        Chunk* next = chunk->next.load(std::memory_order_acquire);
        FreeChunk(chunk);
        chunk = next;
    }
    chunk = spare.load(std::memory_order_acquire);
    while (chunk != nullptr) {
        Chunk* next = chunk->next.load(std::memory_order_relaxed);
        FreeChunk(chunk);
        chunk = next;
    }
}

size_t ThreadBuffer::BudgetInUse() noexcept { return budgetInUse.load(std::memory_order_relaxed); }

void ThreadBuffer::SetBudget(size_t bytes) noexcept { budgetBytes.store(bytes, std::memory_order_relaxed); }

void ThreadBuffer::SetRoomWait(int64_t limit) noexcept {
    roomWait.store(limit > 0 ? limit : 0, std::memory_order_relaxed);
}

void ThreadBuffer::SetReaderKeepsUp(bool keepsUp) noexcept {
    if (readerKeepsUp.load(std::memory_order_relaxed) != keepsUp)
        readerKeepsUp.store(keepsUp, std::memory_order_relaxed);
}

bool ThreadBuffer::WaitsForRoom() noexcept {
    return roomWait.load(std::memory_order_relaxed) != 0 && readerKeepsUp.load(std::memory_order_relaxed);
}

uint64_t ThreadBuffer::GetWaitCount() noexcept { return waits.load(std::memory_order_relaxed); }

ThreadBuffer::Chunk* ThreadBuffer::WaitForChunk() noexcept {
    const int64_t limit = roomWait.load(std::memory_order_relaxed);
    if (limit == 0 || !readerKeepsUp.load(std::memory_order_relaxed)) return nullptr;
    waits.fetch_add(1, std::memory_order_relaxed);
    const int64_t until = AgentUplink::MonotonicNow() + limit;
    for (;;) {
        // The relay frees whole chunks, each worth a thousand calls or more: naps of a
        // millisecond lose little and leave the processor to the relay and the collector.
        const timespec nap{0, 1000000};
        nanosleep(&nap, nullptr);
        if (Chunk* chunk = TakeChunk()) return chunk;
        if (roomWait.load(std::memory_order_relaxed) == 0 || !readerKeepsUp.load(std::memory_order_relaxed))
            return nullptr;
        if (AgentUplink::MonotonicNow() >= until) {
            readerKeepsUp.store(false, std::memory_order_relaxed);
            return nullptr;
        }
    }
}

bool ThreadBuffer::ChargeBudget(size_t bytes, bool call) noexcept {
    const size_t budget = budgetBytes.load(std::memory_order_relaxed);
    // Calls leave the last sixteenth to the relay's queue: the names and announcements a reader
    // needs, and the threads' starts and ends, are never crowded out by calls.
    const size_t limit = call ? budget - budget / 16 : budget;
    if (budgetInUse.fetch_add(bytes, std::memory_order_relaxed) + bytes > limit) {
        budgetInUse.fetch_sub(bytes, std::memory_order_relaxed);
        return false;
    }
    return true;
}

void ThreadBuffer::ReleaseBudget(size_t bytes) noexcept { budgetInUse.fetch_sub(bytes, std::memory_order_relaxed); }

void ThreadBuffer::FreeChunk(Chunk* chunk) noexcept {
    if (chunk->budgeted) budgetInUse.fetch_sub(sizeof(Chunk), std::memory_order_relaxed);
    delete chunk;
}

ThreadBuffer::Chunk* ThreadBuffer::TakeChunk() noexcept {
    // Only this thread pops, so a chunk seen at the top cannot be popped and pushed back meanwhile.
    Chunk* top = spare.load(std::memory_order_acquire);
    while (top != nullptr &&
           !spare.compare_exchange_weak(top, top->next.load(std::memory_order_relaxed), std::memory_order_acquire)) {}
    if (top != nullptr) {
        spareCount.fetch_sub(1, std::memory_order_relaxed);
    } else {
        if (!ChargeBudget(sizeof(Chunk), true)) return nullptr;
        // Default-initialised: the data is written before it is read, so 64 KiB are not cleared.
        top = new (std::nothrow) Chunk;
        if (top == nullptr) {
            ReleaseBudget(sizeof(Chunk));
            return nullptr;
        }
        top->budgeted = true;
    }
    top->next.store(nullptr, std::memory_order_relaxed);
    top->committed.store(0, std::memory_order_relaxed);
    top->sealed.store(false, std::memory_order_relaxed);
    top->mayHoldContext.store(false, std::memory_order_relaxed);
    return top;
}

void ThreadBuffer::ReleaseChunk(Chunk* chunk) noexcept {
    const uint32_t spares = spareCount.load(std::memory_order_relaxed);
    const bool roomy = budgetInUse.load(std::memory_order_relaxed) <= budgetBytes.load(std::memory_order_relaxed) / 4;
    if (!chunk->budgeted || spares >= (roomy ? SpareChunksKeptWhileRoomy : SpareChunksKept)) {
        FreeChunk(chunk);
        return;
    }
    spareCount.fetch_add(1, std::memory_order_relaxed);
    Chunk* top = spare.load(std::memory_order_relaxed);
    do {
        chunk->next.store(top, std::memory_order_relaxed);
    } while (!spare.compare_exchange_weak(top, chunk, std::memory_order_release, std::memory_order_relaxed));
}

uint8_t* ThreadBuffer::ReserveInNextChunk(size_t length) noexcept {
    Chunk* next = nullptr;
    if (length <= ChunkBytes) {
        next = TakeChunk();
        if (next == nullptr) next = WaitForChunk();
    }
    if (next == nullptr) {
        dropped.fetch_add(1, std::memory_order_relaxed);
        return nullptr;
    }
    // The link first, then the seal that makes the final length and the link visible together.
    writeChunk->next.store(next, std::memory_order_release);
    writeChunk->sealed.store(true, std::memory_order_release);
    writeChunk = next;
    writeOffset = 0;
    writeMessages = 0;
    filledChunk = true;
    return next->data;
}

bool ThreadBuffer::Append(const uint8_t* message, size_t length) noexcept {
    uint8_t* at = Reserve(length);
    if (at == nullptr) return false;
    std::memcpy(at, message, length);
    Commit(length);
    return true;
}

size_t ThreadBuffer::Peek(std::vector<Span>& runs) {
    Chunk* chunk = readChunk;
    uint32_t offset = readOffset;
    uint32_t messages = readMessages;
    size_t count = 0;
    for (;;) {
        // Sealed first: a sealed chunk's length is final.
        const bool sealed = chunk->sealed.load(std::memory_order_acquire);
        const uint64_t committed = chunk->committed.load(std::memory_order_acquire);
        const auto bytes = static_cast<uint32_t>(committed);
        const auto total = static_cast<uint32_t>(committed >> 32);
        if (bytes > offset) {
            runs.push_back({chunk->data + offset, bytes - offset, total - messages,
                            chunk->mayHoldContext.load(std::memory_order_relaxed)});
            ++count;
            offset = bytes;
            messages = total;
        }
        if (!sealed) break;
        chunk = chunk->next.load(std::memory_order_acquire);
        offset = 0;
        messages = 0;
    }
    peekChunk = chunk;
    peekOffset = offset;
    peekMessages = messages;
    return count;
}

void ThreadBuffer::Consume() noexcept {
    while (readChunk != peekChunk) {
        Chunk* done = readChunk;
        readChunk = done->next.load(std::memory_order_acquire);
        ReleaseChunk(done);
    }
    readOffset = peekOffset;
    readMessages = peekMessages;
}

bool ThreadBuffer::IsEmpty() const noexcept {
    const Chunk* chunk = readChunk;
    uint32_t offset = readOffset;
    for (;;) {
        const bool sealed = chunk->sealed.load(std::memory_order_acquire);
        if (static_cast<uint32_t>(chunk->committed.load(std::memory_order_acquire)) > offset) return false;
        if (!sealed) return true;
        chunk = chunk->next.load(std::memory_order_acquire);
        offset = 0;
    }
}
