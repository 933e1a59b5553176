#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <vector>

// A loopback UDP socket on a free port that collects whole datagrams, as a collector would.
class UdpReceiver {
public:
    UdpReceiver() {
        fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
        socklen_t length = sizeof(address);
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
        port = ntohs(address.sin_port);
    }
    ~UdpReceiver() { close(fd); }
    UdpReceiver(const UdpReceiver&) = delete;
    UdpReceiver& operator=(const UdpReceiver&) = delete;

    uint16_t Port() const { return port; }

    // Datagrams that arrive until none came for `quietMs`.
    std::vector<std::vector<uint8_t>> Receive(int quietMs = 300) {
        std::vector<std::vector<uint8_t>> messages;
        for (;;) {
            pollfd pfd{fd, POLLIN, 0};
            if (poll(&pfd, 1, quietMs) <= 0) return messages;
            uint8_t buffer[65536];
            ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
            if (n > 0) messages.emplace_back(buffer, buffer + n);
        }
    }

    static uint8_t Type(const std::vector<uint8_t>& message) { return message.size() > 2 ? message[2] : 0; }
    static uint32_t ThreadId(const std::vector<uint8_t>& message) {
        uint32_t value = 0;
        if (message.size() >= 11) std::memcpy(&value, message.data() + 7, 4);
        return value;
    }

private:
    int fd = -1;
    uint16_t port = 0;
};
