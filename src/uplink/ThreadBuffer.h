#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

// The serialised commands of one application thread on their way to the relay: a chain of
// chunks with one writer (the thread) and one reader (the relay thread), neither of which ever
// waits for the other. A message is reserved, written in place and committed whole; the reader
// sees only committed messages, in order, each within one chunk. Chunks the reader is done with
// go back to their writer, so a steady stream allocates nothing; a backlog takes more chunks,
// up to a budget shared by all threads, beyond which messages are dropped and counted. The
// application thread never blocks here.
class ThreadBuffer {
public:
    static constexpr size_t ChunkBytes = 64 * 1024 - 64;
    // All buffers together hold at most this much beyond their first chunk each, the relay's
    // queue included.
    static constexpr size_t DefaultBudgetBytes = 64u * 1024 * 1024;
    // While writers wait for room instead of dropping, a smaller backlog suffices (waiting absorbs
    // bursts) and keeps what the end of the process and each batch must deliver in time small.
    static constexpr size_t WaitingBudgetBytes = 16u * 1024 * 1024;
    // Chunks a buffer keeps for reuse once its backlog is gone (the rest go back to the heap): a
    // few, so that a relay falling behind for a moment costs no allocations once it catches up.
    static constexpr uint32_t SpareChunksKept = 4;
    // While the shared budget is at most a quarter used, a busy writer keeps this many: a relay
    // that sends in large batches then hands every chunk back before the writer needs a new one,
    // and the writer never meets the heap (its lock, shared with the relay's frees, and its fresh
    // pages) on the call path.
    static constexpr uint32_t SpareChunksKeptWhileRoomy = 16;

    ThreadBuffer();
    ~ThreadBuffer();

    ThreadBuffer(const ThreadBuffer&) = delete;
    ThreadBuffer& operator=(const ThreadBuffer&) = delete;

    // ---- writer (the owning thread) ----
    // Room for one message of `length` bytes, or null when it was dropped (counted).
    uint8_t* Reserve(size_t length) noexcept {
        if (writeOffset + length <= ChunkBytes) return writeChunk->data + writeOffset;
        return ReserveInNextChunk(length);
    }
    // Publishes the message reserved last.
    void Commit(size_t length) noexcept {
        writeOffset += static_cast<uint32_t>(length);
        ++writeMessages;
        writeChunk->committed.store(Pack(writeMessages, writeOffset), std::memory_order_release);
    }
    // Marks the chunk of the message reserved last as holding one the reader must look into
    // (context a new collector needs); before its Commit.
    void MarkContext() noexcept { writeChunk->mayHoldContext.store(true, std::memory_order_relaxed); }
    // Copies a finished message in; false when it was dropped.
    bool Append(const uint8_t* message, size_t length) noexcept;
    // True once after the writer filled a chunk: the moment to wake a sleeping reader.
    bool TakeFilledChunk() noexcept {
        const bool filled = filledChunk;
        filledChunk = false;
        return filled;
    }
    // The owner is gone: the reader drains what is left and then frees the buffer.
    void Retire() noexcept { retired.store(true, std::memory_order_release); }

    // ---- reader (the relay thread) ----
    struct Span {
        const uint8_t* data = nullptr;
        size_t length = 0;
        uint32_t messages = 0;
        bool mayHoldContext = false;  // its chunk was marked
    };
    // Appends the runs of whole committed messages not yet consumed; returns how many.
    // Consume then releases exactly what the last Peek returned.
    size_t Peek(std::vector<Span>& runs);
    void Consume() noexcept;
    bool IsRetired() const noexcept { return retired.load(std::memory_order_acquire); }
    bool IsEmpty() const noexcept;
    uint64_t GetDroppedCount() const noexcept { return dropped.load(std::memory_order_relaxed); }

    // Bytes held by all buffers' chunks beyond their first, and by whoever else shares the
    // budget (the relay's queue); for diagnostics and tests.
    static size_t BudgetInUse() noexcept;
    // Takes `bytes` of the shared budget; false (and nothing taken) when that would exceed it
    // (for a chunk of calls: its share of it).
    static bool ChargeBudget(size_t bytes, bool call = false) noexcept;
    static void ReleaseBudget(size_t bytes) noexcept;
    static void SetBudget(size_t bytes) noexcept;
    // A writer that finds the budget spent waits up to `limit` ns for the relay to free room
    // instead of dropping its message (0: never waits). It waits only while the reader keeps up:
    // a writer that waited in vain turns waiting off until the relay reports a reader taking its
    // batches again, so a stalled or vanished collector costs each thread one wait at most.
    static void SetRoomWait(int64_t limit) noexcept;
    static void SetReaderKeepsUp(bool keepsUp) noexcept;
    // Writers may wait now: waiting is on and the reader keeps up.
    static bool WaitsForRoom() noexcept;
    static uint64_t GetWaitCount() noexcept;

private:
    struct Chunk {
        std::atomic<Chunk*> next{nullptr};
        // Messages and bytes committed, in one word so the reader never sees one without the other.
        std::atomic<uint64_t> committed{0};
        std::atomic<bool> sealed{false};  // the writer moved on: `committed` is final
        // Published by the next Commit, so a reader that sees a marked message sees the mark.
        std::atomic<bool> mayHoldContext{false};
        bool budgeted = false;  // counted in the shared budget
        alignas(64) uint8_t data[ChunkBytes];
    };

    static uint64_t Pack(uint32_t messages, uint32_t bytes) noexcept { return uint64_t{messages} << 32 | bytes; }
    uint8_t* ReserveInNextChunk(size_t length) noexcept;
    Chunk* TakeChunk() noexcept;
    Chunk* WaitForChunk() noexcept;
    void ReleaseChunk(Chunk* chunk) noexcept;
    static void FreeChunk(Chunk* chunk) noexcept;

    // Writer's side.
    Chunk* writeChunk;
    uint32_t writeOffset = 0;
    uint32_t writeMessages = 0;  // in the current chunk
    bool filledChunk = false;
    std::atomic<uint64_t> dropped{0};
    // Chunks handed back by the reader (pushed by the reader, popped by the writer only).
    std::atomic<Chunk*> spare{nullptr};
    std::atomic<uint32_t> spareCount{0};
    // Reader's side.
    alignas(64) Chunk* readChunk;
    uint32_t readOffset = 0;
    uint32_t readMessages = 0;   // of readChunk, consumed
    Chunk* peekChunk = nullptr;  // where the last Peek ended
    uint32_t peekOffset = 0;
    uint32_t peekMessages = 0;
    std::atomic<bool> retired{false};
};
