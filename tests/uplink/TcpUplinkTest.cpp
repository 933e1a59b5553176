#include "uplink/TcpUplink.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "UplinkTestSupport.h"

namespace {

uint16_t FreePort() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    socklen_t size = sizeof(address);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    close(fd);
    return ntohs(address.sin_port);
}

// A collector stand-in: listens on 127.0.0.1 and reads what one connection brings.
class Listener {
public:
    explicit Listener(uint16_t port, int receiveBuffer = 0) {
        fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
        if (receiveBuffer > 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof(receiveBuffer));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        listening = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 && listen(fd, 4) == 0;
    }
    ~Listener() {
        CloseConnection();
        close(fd);
    }
    bool Accept() {
        pollfd entry{fd, POLLIN, 0};
        if (poll(&entry, 1, 10000) != 1) return false;
        connection = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
        return connection >= 0;
    }
    // Reads until `length` bytes arrived, the peer closed, or nothing came for a while.
    std::vector<uint8_t> Read(size_t length) {
        std::vector<uint8_t> data;
        uint8_t buffer[65536];
        while (data.size() < length) {
            pollfd entry{connection, POLLIN, 0};
            if (poll(&entry, 1, 5000) != 1) break;
            const ssize_t got = recv(connection, buffer, std::min(sizeof(buffer), length - data.size()), 0);
            if (got <= 0) break;
            data.insert(data.end(), buffer, buffer + got);
        }
        return data;
    }
    void CloseConnection() {
        if (connection >= 0) close(connection);
        connection = -1;
    }

    int fd;
    int connection = -1;
    bool listening;
};

bool SendMessage(TcpUplink& uplink, const std::vector<uint8_t>& message) {
    return uplink.Send(message.data(), static_cast<int32_t>(message.size()));
}

// Runs the test body with SIGPIPE at its default disposition, as an unprepared host would have it.
class DefaultSigpipe {
public:
    DefaultSigpipe() { previous = signal(SIGPIPE, SIG_DFL); }
    ~DefaultSigpipe() { signal(SIGPIPE, previous); }

private:
    sighandler_t previous;
};

}  // namespace

TEST(TcpUplinkTest, NoListenerDropsTheMessagesWithOneLineForTheSpell) {
    LogCapture log;
    const uint16_t port = FreePort();
    TcpUplink uplink(port);
    EXPECT_TRUE(uplink.SupportsBatching());
    EXPECT_FALSE(uplink.Connect());
    for (int attempt = 0; attempt < 100; ++attempt) EXPECT_FALSE(SendMessage(uplink, Message(19, 1)));
    EXPECT_EQ(log.Count("[   ERROR] Unable to connect to the collector at 127.0.0.1:" + std::to_string(port) +
                        " - Connection refused\n"),
              1u);
    EXPECT_EQ(log.Count("ERROR"), 1u);

    // After a connection the next refusal is told again.
    {
        Listener listener(port);
        ASSERT_TRUE(listener.listening);
        EXPECT_TRUE(uplink.Connect());
        uplink.Close();
    }
    EXPECT_FALSE(uplink.Connect());
    EXPECT_EQ(log.Count("ERROR"), 2u);
}

TEST(TcpUplinkTest, LateListenerGetsTheNextMessage) {
    const uint16_t port = FreePort();
    TcpUplink uplink(port);
    EXPECT_FALSE(SendMessage(uplink, Message(19, 1)));

    Listener listener(port);
    ASSERT_TRUE(listener.listening);
    const std::vector<uint8_t> first = Message(19, 2);
    const std::vector<uint8_t> second = Message(30000, 3);
    EXPECT_TRUE(SendMessage(uplink, first));
    EXPECT_TRUE(SendMessage(uplink, second));
    ASSERT_TRUE(listener.Accept());
    std::vector<uint8_t> expected = first;
    expected.insert(expected.end(), second.begin(), second.end());
    EXPECT_EQ(listener.Read(expected.size()), expected);
}

TEST(TcpUplinkTest, RestartedCollectorIsReconnectedOnTheNextMessage) {
    const uint16_t port = FreePort();
    TcpUplink uplink(port);
    const std::vector<uint8_t> before = Message(19, 1);
    const std::vector<uint8_t> after = Message(19, 2);
    {
        Listener first(port);
        ASSERT_TRUE(first.listening);
        EXPECT_TRUE(SendMessage(uplink, before));
        ASSERT_TRUE(first.Accept());
        EXPECT_EQ(first.Read(before.size()), before);
    }

    Listener second(port);
    ASSERT_TRUE(second.listening);
    // The old connection's end is noticed before writing, so this message is not lost.
    EXPECT_TRUE(SendMessage(uplink, after));
    ASSERT_TRUE(second.Accept());
    EXPECT_EQ(second.Read(after.size()), after);
}

TEST(TcpUplinkTest, PeerClosingMidStreamNeverRaisesSigpipe) {
    DefaultSigpipe defaultDisposition;
    const uint16_t port = FreePort();
    TcpUplink uplink(port);
    Listener listener(port, 4096);
    ASSERT_TRUE(listener.listening);

    // The collector never reads and, after a while, resets the connection: by then the sender's
    // buffers are full and a message is half out. At the default disposition a broken-pipe
    // signal would end the test run.
    std::thread collector([&] {
        if (!listener.Accept()) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        const linger abort{1, 0};
        setsockopt(listener.connection, SOL_SOCKET, SO_LINGER, &abort, sizeof(abort));
        listener.CloseConnection();
    });
    const std::vector<uint8_t> large = Message(32767, 0x42);
    bool failed = false;
    for (int i = 0; i < 100000 && !failed; ++i) failed = !SendMessage(uplink, large);
    collector.join();
    EXPECT_TRUE(failed);

    // The listener is still there: a fresh connection carries the next message, cleanly framed.
    const std::vector<uint8_t> small = Message(19, 7);
    EXPECT_TRUE(SendMessage(uplink, small));
    bool found = false;
    for (int i = 0; i < 3 && !found && listener.Accept(); ++i) {
        found = listener.Read(small.size()) == small;
        listener.CloseConnection();
    }
    EXPECT_TRUE(found);
}

TEST(TcpUplinkTest, StalledCollectorLosesWholeMessagesOnly) {
    const uint16_t port = FreePort();
    TcpUplink uplink(port);
    Listener listener(port, 4096);
    ASSERT_TRUE(listener.listening);

    // The collector accepts but never reads: sends fill the buffers until one times out.
    const std::vector<uint8_t> message = Message(32767, 0x77);
    int delivered = 0;
    while (delivered < 10000 && SendMessage(uplink, message)) ++delivered;
    ASSERT_LT(delivered, 10000);
    ASSERT_TRUE(listener.Accept());

    // Everything before the end of that connection is whole messages, apart from one cut tail.
    const std::vector<uint8_t> stream = listener.Read(static_cast<size_t>(delivered + 1) * message.size());
    const size_t whole = stream.size() / message.size();
    EXPECT_GE(whole, static_cast<size_t>(delivered));
    std::vector<std::vector<uint8_t>> messages;
    EXPECT_TRUE(SplitMessages(
        std::vector<uint8_t>(stream.begin(), stream.begin() + static_cast<long>(whole * message.size())), messages));
    for (const auto& received : messages) EXPECT_EQ(received, message);
}
