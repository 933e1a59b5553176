#include "uplink/StreamWriter.h"

#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "uplink/SigpipeShield.h"

namespace {

constexpr size_t MaxVectors = 256;

// TCP's limit on unsent bytes, beyond which the socket neither signals room nor takes more.
void SetUnsentLimit(int fd, int limit, int& current) {
    if (current == limit) return;
    setsockopt(fd, IPPROTO_TCP, TCP_NOTSENT_LOWAT, &limit, sizeof(limit));
    current = limit;
}

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

    // The deadline bounds a reader that takes nothing: each write it takes moves it on by as much,
    // so that a slow reader still gets a large batch whole (the end of the process caps it).
    const int64_t patience = deadline - MonotonicNow();
    int unsentLimit = 0;                   // the socket's, as set here once the end began
    SigpipeShield shield;                  // before the write: a reader gone must not signal the host
    size_t firstRun = 0, firstOffset = 0;  // where the unwritten bytes start
    // The message that holds the first unwritten byte: its run, offset in the run, stream offset.
    size_t messageRun = 0, messageOffset = 0, messageStart = 0;
    iovec vectors[MaxVectors];
    while (outcome.bytes < total) {
        const bool ending = drain && AgentUplink::EffectiveDeadline(INT64_MAX) != INT64_MAX;
        const size_t atomicLimit = ending ? EndingWriteBytes : atomic;
        size_t allowed = SIZE_MAX;
        if (atomicLimit != 0) {
            // Past the messages written whole, then as many whole ones as fit (at least one).
            auto lengthAt = [&](size_t r, size_t offset) {
                return AgentUplink::MessageLength(runs[r].data + offset, runs[r].length - offset);
            };
            for (;;) {
                while (messageRun < runCount && messageOffset >= runs[messageRun].length) {
                    ++messageRun;
                    messageOffset = 0;
                }
                if (messageRun >= runCount) break;
                const size_t length = lengthAt(messageRun, messageOffset);
                if (length == 0 || messageStart + length > outcome.bytes) break;
                messageOffset += length;
                messageStart += length;
            }
            size_t r = messageRun, offset = messageOffset, end = messageStart;
            while (r < runCount) {
                if (offset >= runs[r].length) {
                    ++r;
                    offset = 0;
                    continue;
                }
                const size_t length = lengthAt(r, offset);
                if (length == 0) {
                    end = total;  // unframed bytes: no message to keep whole
                    break;
                }
                if (end != messageStart && end + length - outcome.bytes > atomicLimit) break;
                end += length;
                offset += length;
                if (end - outcome.bytes > atomicLimit) break;  // a large message goes alone
            }
            allowed = end - outcome.bytes;
        }
        if (ending && !rest && outcome.bytes == messageStart) {
            int unsent = 0;
            if (ioctl(fd, SIOCOUTQNSD, &unsent) == 0 && static_cast<size_t>(unsent) >= EndingUnsentBytes) {
                const int64_t now = MonotonicNow();
                const int64_t limit = AgentUplink::EffectiveDeadline(deadline);
                if (now >= limit) {
                    outcome.timedOut = true;
                    return outcome;
                }
                // Room is signalled once less is left unsent: the wait needs no naps.
                SetUnsentLimit(fd, static_cast<int>(EndingUnsentBytes), unsentLimit);
                pollfd entry{fd, POLLOUT, 0};
                poll(&entry, 1, static_cast<int>(std::clamp<int64_t>((limit - now) / 1000000, 1, 20)));
                continue;
            }
            // The kernel then takes the write whole (it refuses more only beyond the limit), so
            // the stream cannot end inside a message, however slowly the reader goes on.
            SetUnsentLimit(fd, static_cast<int>(EndingUnsentBytes + 2 * EndingWriteBytes), unsentLimit);
        }
        size_t count = 0;
        for (size_t r = firstRun; r < runCount && count < MaxVectors && allowed > 0; ++r) {
            const size_t skip = r == firstRun ? firstOffset : 0;
            if (runs[r].length == skip) continue;
            const size_t length = std::min(runs[r].length - skip, allowed);
            vectors[count++] = {const_cast<uint8_t*>(runs[r].data + skip), length};
            allowed -= length;
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
            if (patience > 0) deadline = std::max(deadline, MonotonicNow() + patience);
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
            const bool atBoundary = !rest && WholeMessageBytes(runs, runCount, outcome.bytes) == outcome.bytes;
            const int64_t limit = atBoundary ? AgentUplink::EffectiveDeadline(deadline)
                                             : AgentUplink::EffectiveFinishDeadline(deadline + grace);
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
        outcome.torn = rest || WholeMessageBytes(runs, runCount, outcome.bytes) != outcome.bytes;
        return outcome;
    }
    return outcome;
}

StreamWriter::Outcome StreamWriter::WriteRest(const uint8_t* data, size_t length, int64_t deadline) const {
    const MessageRun run{data, length, 1};
    rest = true;
    const Outcome outcome = Write(&run, 1, deadline, 0);
    rest = false;
    return outcome;
}
