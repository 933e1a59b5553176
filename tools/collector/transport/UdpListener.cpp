#include "transport/ListenerParts.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <linux/sock_diag.h>

#include <cerrno>
#include <cstring>

namespace QuorixCollect {

using namespace ListenerParts;

namespace {

class UdpListener final : public Listener {
public:
    explicit UdpListener(const CollectorOptions& o) : options(o), buffers(new uint8_t[DatagramBatch * DatagramSlot]) {}
    ~UdpListener() override { Shutdown(); }

    bool Open(std::string& error) override {
        fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            error = SystemError("cannot create UDP socket");
            return false;
        }
        int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        int size = UdpReceiveBuffer;
        // The forced variant passes the system cap but needs privileges; fall back quietly.
        if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0) {
            setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        }
        socklen_t len = sizeof receiveBuffer;
        getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, &len);
        // The kernel then hands its drop counter along with every datagram.
        overflowReported = setsockopt(fd, SOL_SOCKET, SO_RXQ_OVFL, &one, sizeof one) == 0;

        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(options.port));
        // Bound to the group itself for multicast, so unrelated unicast traffic is not read.
        addr.sin_addr.s_addr = options.multicast ? inet_addr(MulticastGroup) : htonl(INADDR_LOOPBACK);
        if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            error = SystemError(("cannot bind UDP port " + std::to_string(options.port)).c_str());
            return false;
        }
        if (options.multicast && !JoinGroup(error)) {
            return false;
        }
        port = BoundPort(fd);
        return true;
    }

    std::string Endpoint() const override { return std::to_string(port); }

    void Wait(ReceivedBytes& session, int timeoutMs) override {
        WaitAndRead(fd, timeoutMs, [&] { return Read(session); });
    }

    void Drain(ReceivedBytes& session, Clock::duration limit) override {
        const auto deadline = Clock::now() + limit;
        while (Read(session)) {
            if (Clock::now() >= deadline) {
                drainCut = true;
                break;
            }
        }
        // Drops after the last datagram read are only in the socket's own counter.
        ReadDropCounter();
    }

    void Expire(ReceivedBytes&, Clock::time_point) override {}

    std::vector<std::string> Describe() const override {
        std::string where = options.multicast ? std::string(MulticastGroup) : "127.0.0.1";
        std::string line = "transport: udp " + where + ":" + std::to_string(port) + ", receive buffer " +
                           std::to_string(receiveBuffer) + " bytes, " + std::to_string(datagrams) + " datagrams";
        if (drainCut) {
            line += " (final drain stopped while datagrams kept coming)";
        }
        return {line};
    }

    void PublishLosses(LossLedger& ledger) const override {
        if (!overflowReported && !counterRead) {
            ledger.AddUnknown(std::string(LossLine::Kernel), "datagrams");
        } else {
            ledger.Add(std::string(LossLine::Kernel), "datagrams", drops);
        }
    }

    void Shutdown() override { CloseFd(fd); }

private:
    bool JoinGroup(std::string& error) {
        ip_mreqn req{};
        req.imr_multiaddr.s_addr = inet_addr(MulticastGroup);
        req.imr_address.s_addr = htonl(INADDR_ANY);
        if (setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &req, sizeof req) == 0) {
            return true;
        }
        const int firstError = errno;
        // Without a default route the kernel cannot pick an interface; the loopback one still
        // serves senders on this machine.
        req.imr_ifindex = static_cast<int>(if_nametoindex("lo"));
        if (req.imr_ifindex != 0 && setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &req, sizeof req) == 0) {
            return true;
        }
        error = "cannot join multicast group " + std::string(MulticastGroup) + ": " + strerror(firstError);
        return false;
    }

    // The kernel's counter is 32 bits and counts from the socket's creation.
    void NoteDropCounter(uint32_t counter) {
        drops += static_cast<uint32_t>(counter - lastCounter);
        lastCounter = counter;
    }

    void ReadDropCounter() {
        uint32_t info[SK_MEMINFO_VARS] = {};
        socklen_t len = sizeof info;
        if (fd >= 0 && getsockopt(fd, SOL_SOCKET, SO_MEMINFO, info, &len) == 0 &&
            len >= (SK_MEMINFO_DROPS + 1) * sizeof(uint32_t)) {
            NoteDropCounter(info[SK_MEMINFO_DROPS]);
            counterRead = true;
        }
    }

    // One batch; returns whether anything was read.
    bool Read(ReceivedBytes& session) {
        mmsghdr msgs[DatagramBatch];
        iovec iov[DatagramBatch];
        alignas(cmsghdr) char control[DatagramBatch][CMSG_SPACE(sizeof(uint32_t))];
        for (int i = 0; i < DatagramBatch; ++i) {
            iov[i].iov_base = buffers.get() + i * DatagramSlot;
            iov[i].iov_len = DatagramSlot;
            msgs[i].msg_hdr = msghdr{};
            msgs[i].msg_hdr.msg_iov = &iov[i];
            msgs[i].msg_hdr.msg_iovlen = 1;
            msgs[i].msg_hdr.msg_control = control[i];
            msgs[i].msg_hdr.msg_controllen = sizeof control[i];
            msgs[i].msg_len = 0;
        }
        const int n = recvmmsg(fd, msgs, DatagramBatch, MSG_DONTWAIT, nullptr);
        if (n <= 0) {
            return false;
        }
        session.ReadStarted(Clock::now());
        for (int i = 0; i < n; ++i) {
            msghdr& h = msgs[i].msg_hdr;
            for (cmsghdr* c = CMSG_FIRSTHDR(&h); c != nullptr; c = CMSG_NXTHDR(&h, c)) {
                if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_RXQ_OVFL) {
                    uint32_t counter = 0;
                    memcpy(&counter, CMSG_DATA(c), sizeof counter);
                    NoteDropCounter(counter);
                }
            }
            if ((h.msg_flags & MSG_TRUNC) != 0 || msgs[i].msg_len >= DatagramSlot) {
                session.OnOversizedDatagram();
            } else {
                session.OnDatagram(static_cast<const uint8_t*>(iov[i].iov_base), msgs[i].msg_len);
            }
        }
        datagrams += static_cast<uint64_t>(n);
        session.ReadFinished(Clock::now());
        return true;
    }

    CollectorOptions options;
    int fd = -1;
    uint16_t port = 0;
    int receiveBuffer = 0;
    uint64_t datagrams = 0;
    bool overflowReported = false;
    bool counterRead = false;
    uint32_t lastCounter = 0;
    uint64_t drops = 0;
    bool drainCut = false;
    std::unique_ptr<uint8_t[]> buffers;
};

}  // namespace

std::unique_ptr<Listener> MakeUdpListener(const CollectorOptions& options) {
    return std::make_unique<UdpListener>(options);
}

}  // namespace QuorixCollect
