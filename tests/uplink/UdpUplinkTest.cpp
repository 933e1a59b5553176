#include "uplink/UdpUplink.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "UplinkTestSupport.h"
#include "environment/Configuration.h"

namespace {

// A datagram socket bound to the address on a free port; receives with a generous timeout.
class Receiver {
public:
    explicit Receiver(uint32_t bindAddress = htonl(INADDR_LOOPBACK), uint16_t bindPort = 0) {
        fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(bindPort);
        address.sin_addr.s_addr = bindAddress;
        bound = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
        socklen_t size = sizeof(address);
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
        port = ntohs(address.sin_port);
        const timeval timeout{5, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    }
    ~Receiver() { close(fd); }
    std::vector<uint8_t> Receive() {
        uint8_t buffer[65536];
        const ssize_t length = recv(fd, buffer, sizeof(buffer), 0);
        return length > 0 ? std::vector<uint8_t>(buffer, buffer + length) : std::vector<uint8_t>();
    }

    int fd;
    bool bound;
    uint16_t port;
};

}  // namespace

TEST(UdpUplinkTest, EachMessageIsOneDatagramToTheLoopbackPort) {
    Receiver receiver;
    ASSERT_TRUE(receiver.bound);
    UdpUplink uplink(receiver.port);
    EXPECT_FALSE(uplink.SupportsBatching());

    const std::vector<uint8_t> first = Message(19, 0xA1);
    const std::vector<uint8_t> second = Message(4000, 0xB2);
    EXPECT_TRUE(uplink.Send(first.data(), static_cast<int32_t>(first.size())));
    EXPECT_TRUE(uplink.Send(second.data(), static_cast<int32_t>(second.size())));
    EXPECT_EQ(receiver.Receive(), first);
    EXPECT_EQ(receiver.Receive(), second);
}

TEST(UdpUplinkTest, BatchesGoOneDatagramPerMessageUntilTheDeadline) {
    Receiver receiver;
    ASSERT_TRUE(receiver.bound);
    UdpUplink uplink(receiver.port);
    // Two runs of back-to-back messages, more than one sendmmsg call's worth.
    std::vector<uint8_t> first, second;
    for (int i = 0; i < 300; ++i) {
        const auto message = Message(26 + static_cast<size_t>(i % 5), static_cast<uint8_t>(i));
        (i < 150 ? first : second).insert((i < 150 ? first : second).end(), message.begin(), message.end());
    }
    // Every datagram waits in the socket until read: make room for all of them.
    const int room = 8 * 1024 * 1024;
    if (setsockopt(receiver.fd, SOL_SOCKET, SO_RCVBUFFORCE, &room, sizeof(room)) != 0)
        GTEST_SKIP() << "cannot give the receiving socket room for the whole batch here";
    const MessageRun runs[] = {{first.data(), first.size(), 0}, {second.data(), second.size(), 0}};
    const BatchResult sent = uplink.SendRuns(runs, 2, AgentUplink::MonotonicNow() + 1000000000);
    EXPECT_EQ(sent.delivered, 300u);
    EXPECT_EQ(sent.failed, 0u);
    for (int i = 0; i < 300; ++i)
        ASSERT_EQ(receiver.Receive(), Message(26 + static_cast<size_t>(i % 5), static_cast<uint8_t>(i))) << i;

    // Past the deadline nothing more is sent: the end of the process must not wait for it.
    const BatchResult late = uplink.SendRuns(runs, 2, AgentUplink::MonotonicNow() - 1);
    EXPECT_EQ(late.delivered, 0u);
    EXPECT_EQ(late.failed, 300u);
}

TEST(UdpUplinkTest, NobodyListeningIsNotAnErrorAndClosedStaysClosed) {
    LogCapture log;
    uint16_t freePort;
    {
        Receiver probe;
        freePort = probe.port;
    }
    UdpUplink uplink(freePort);
    const std::vector<uint8_t> message = Message(19, 1);
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(uplink.Send(message.data(), static_cast<int32_t>(message.size())));
    EXPECT_EQ(log.Count("ERROR"), 0u);

    EXPECT_TRUE(uplink.Close());
    EXPECT_FALSE(uplink.Send(message.data(), static_cast<int32_t>(message.size())));
    EXPECT_FALSE(uplink.Connect());
}

TEST(UdpUplinkTest, AfterTheCollectorWasAwayEveryDatagramStillArrives) {
    uint16_t port;
    {
        Receiver probe;
        port = probe.port;
    }
    UdpUplink uplink(port);
    const std::vector<uint8_t> lost = Message(19, 1);
    // Refused while nobody listens: the kernel keeps that refusal for the next send.
    const MessageRun refusedRun[] = {{lost.data(), lost.size(), 0}};
    uplink.SendRuns(refusedRun, 1, AgentUplink::MonotonicNow() + 1000000000);
    for (int i = 0; i < 3; ++i) uplink.Send(lost.data(), static_cast<int32_t>(lost.size()));

    Receiver receiver(htonl(INADDR_LOOPBACK), port);
    ASSERT_TRUE(receiver.bound);
    std::vector<uint8_t> batch;
    for (int i = 0; i < 10; ++i) {
        const auto message = Message(30, static_cast<uint8_t>(i));
        batch.insert(batch.end(), message.begin(), message.end());
    }
    const MessageRun runs[] = {{batch.data(), batch.size(), 0}};
    const BatchResult sent = uplink.SendRuns(runs, 1, AgentUplink::MonotonicNow() + 1000000000);
    EXPECT_EQ(sent.delivered, 10u);
    EXPECT_EQ(sent.failed, 0u);
    for (int i = 0; i < 10; ++i) ASSERT_EQ(receiver.Receive(), Message(30, static_cast<uint8_t>(i))) << i;
    const std::vector<uint8_t> single = Message(19, 0x77);
    EXPECT_TRUE(uplink.Send(single.data(), static_cast<int32_t>(single.size())));
    EXPECT_EQ(receiver.Receive(), single);
}

TEST(UdpUplinkTest, MulticastGoesToTheGroup) {
    Receiver receiver(MULTICAST_IP_ADDRESS);
    ASSERT_TRUE(receiver.bound);
    ip_mreq membership{};
    membership.imr_multiaddr.s_addr = MULTICAST_IP_ADDRESS;
    membership.imr_interface.s_addr = htonl(INADDR_ANY);
    if (setsockopt(receiver.fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof(membership)) != 0) {
        GTEST_SKIP() << "no multicast on this host";
    }
    UdpUplink uplink(receiver.port, MULTICAST_IP_ADDRESS);
    const std::vector<uint8_t> message = Message(27, 0x5C);
    if (!uplink.Send(message.data(), static_cast<int32_t>(message.size()))) {
        GTEST_SKIP() << "no multicast route on this host";
    }
    EXPECT_EQ(receiver.Receive(), message);
}
