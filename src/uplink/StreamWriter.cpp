#include "uplink/StreamWriter.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "uplink/SigpipeShield.h"

namespace {

constexpr size_t MaxVectors = 256;

}  // namespace

size_t StreamWriter::WholeMessageBytes(const MessageRun* runs, size_t runCount, size_t limit) {
    size_t total = 0;
    for (size_t r = 0; r < runCount; ++r) {
        size_t offset = 0;
        while (offset < runs[r].length) {
            const size_t length = AgentUplink::MessageLength(runs[r].data + offset, runs[r].length - offset);
            if (length == 0 || total + length > limit) return total;
            offset += length;
            total += length;
        }
    }
    return total;
}

size_t StreamWriter::TornTail(const MessageRun* runs, size_t runCount, size_t written, std::vector<uint8_t>& tail) {
    size_t start = 0;  // stream offset of the run
    for (size_t r = 0; r < runCount; ++r) {
        if (written >= start + runs[r].length) {
            start += runs[r].length;
            continue;
        }
        size_t offset = 0;
        while (offset < runs[r].length) {
            const size_t length = AgentUplink::MessageLength(runs[r].data + offset, runs[r].length - offset);
            if (length == 0) return 0;
            if (start + offset + length > written) {
                const size_t done = written - (start + offset);
                if (done == 0) return 0;
                tail.insert(tail.end(), runs[r].data + offset + done, runs[r].data + offset + length);
                return length - done;
            }
            offset += length;
        }
        return 0;
    }
    return 0;
}

StreamWriter::Outcome StreamWriter::Write(const MessageRun* runs, size_t runCount, int64_t deadline,
                                          int64_t grace) const {
    Outcome outcome;
    size_t total = 0;
    for (size_t r = 0; r < runCount; ++r) total += runs[r].length;

    SigpipeShield shield;                  // before the write: a reader gone must not signal the host
    size_t firstRun = 0, firstOffset = 0;  // where the unwritten bytes start
    iovec vectors[MaxVectors];
    while (outcome.bytes < total) {
        size_t count = 0;
        for (size_t r = firstRun; r < runCount && count < MaxVectors; ++r) {
            const size_t skip = r == firstRun ? firstOffset : 0;
            if (runs[r].length == skip) continue;
            vectors[count++] = {const_cast<uint8_t*>(runs[r].data + skip), runs[r].length - skip};
        }
        ssize_t result;
        if (socket) {
            msghdr header{};
            header.msg_iov = vectors;
            header.msg_iovlen = count;
            result = sendmsg(fd, &header, MSG_NOSIGNAL | MSG_DONTWAIT);
        } else {
            result = writev(fd, vectors, static_cast<int>(count));
        }
        if (result > 0) {
            size_t advance = static_cast<size_t>(result);
            outcome.bytes += advance;
            while (advance > 0 && firstRun < runCount) {
                const size_t left = runs[firstRun].length - firstOffset;
                if (advance < left) {
                    firstOffset += advance;
                    advance = 0;
                } else {
                    advance -= left;
                    ++firstRun;
                    firstOffset = 0;
                }
            }
            continue;
        }
        if (result < 0 && errno == EINTR) continue;
        if (result < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            const int64_t now = MonotonicNow();
            const bool atBoundary = WholeMessageBytes(runs, runCount, outcome.bytes) == outcome.bytes;
            const int64_t limit = AgentUplink::EffectiveDeadline(atBoundary ? deadline : deadline + grace);
            if (now < limit) {
                pollfd entry{fd, POLLOUT, 0};
                poll(&entry, 1, static_cast<int>(std::clamp<int64_t>((limit - now) / 1000000, 1, 20)));
                continue;
            }
            outcome.timedOut = true;
            outcome.torn = !atBoundary;
            return outcome;
        }
        outcome.error = result < 0 ? errno : EIO;
        if (outcome.error == EPIPE && !socket) shield.ConsumePending();
        outcome.torn = WholeMessageBytes(runs, runCount, outcome.bytes) != outcome.bytes;
        return outcome;
    }
    return outcome;
}
