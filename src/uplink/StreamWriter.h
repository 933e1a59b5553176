#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "uplink/AgentUplink.h"

// Writes runs of whole messages to a non-blocking stream (socket or FIFO) with as few system
// calls as the kernel allows, keeping the stream framed: a message the kernel took in part is
// finished before anything else, within a grace period after the deadline.
class StreamWriter {
public:
    struct Outcome {
        size_t bytes = 0;       // written
        bool torn = false;      // the stream ends inside a message: the descriptor must go
        bool timedOut = false;  // the reader did not make room in time
        int error = 0;          // errno of a failed write (EPIPE, ECONNRESET, ...), else 0
    };

    // `socket`: send with MSG_NOSIGNAL; otherwise write, with a broken pipe's signal taken back.
    // `atomicLimit` (0: none): each write holds whole messages of at most that many bytes, or
    // one larger message alone, so that a pipe takes every small write whole or not at all.
    // `drainAtEnd` (TCP): once the end of the process began (the transports' deadlines are
    // capped), whatever the kernel holds unsent would stand between a message begun and the time
    // left to finish it; each write then holds whole messages of at most EndingWriteBytes (or one
    // message) and is begun only once less than EndingUnsentBytes wait unsent before it, so that
    // the kernel takes it whole.
    StreamWriter(int descriptor, bool isSocket, size_t atomicLimit = 0, bool drainAtEnd = false)
        : fd(descriptor), socket(isSocket), atomic(atomicLimit), drain(drainAtEnd) {}

    static constexpr size_t EndingWriteBytes = 32 * 1024;
    static constexpr size_t EndingUnsentBytes = 64 * 1024;

    // Gives up once the reader took nothing for as long as `deadline` is away at the start (each
    // write it takes moves the deadline on), or at the deadline caps of the end of the process; a
    // message begun then has `grace` more to end.
    Outcome Write(const MessageRun* runs, size_t runCount, int64_t deadline, int64_t grace) const;
    // Writes the rest of one message begun earlier (unframed bytes), until `deadline` (capped for
    // a message begun, not for a new one).
    Outcome WriteRest(const uint8_t* data, size_t length, int64_t deadline) const;

    // Bytes of the whole messages at the start of the runs that fit in `limit` bytes.
    static size_t WholeMessageBytes(const MessageRun* runs, size_t runCount, size_t limit);
    // When the first `written` bytes of the runs end inside a message, the rest of that message
    // (appended to `tail`); returns its length, 0 at a message boundary.
    static size_t TornTail(const MessageRun* runs, size_t runCount, size_t written, std::vector<uint8_t>& tail);
    static int64_t MonotonicNow() { return AgentUplink::MonotonicNow(); }

private:
    int fd;
    bool socket;
    size_t atomic;
    bool drain;
    mutable bool rest = false;
};
