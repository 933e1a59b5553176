#include "uplink/UdpUplink.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <exception>

#include "environment/Logger.h"

UdpUplink::UdpUplink(uint16_t collectorPort) : UdpUplink(collectorPort, htonl(INADDR_LOOPBACK)) {}

UdpUplink::UdpUplink(uint16_t collectorPort, uint32_t addressNetworkOrder)
    : port(collectorPort), address(addressNetworkOrder) {}

UdpUplink::~UdpUplink() { Close(); }

bool UdpUplink::Connect() {
    std::call_once(socketOnce, [this] {
        destination.sin_family = AF_INET;
        destination.sin_port = htons(port);
        destination.sin_addr.s_addr = address;
        socketFd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    });
    return socketFd >= 0;
}

bool UdpUplink::Send(const uint8_t* data, int32_t length) {
    try {
        if (!Connect() || data == nullptr || length <= 0) return false;
        const ssize_t sent = sendto(static_cast<int>(socketFd), data, static_cast<size_t>(length), MSG_NOSIGNAL,
                                    reinterpret_cast<const sockaddr*>(&destination), sizeof(destination));
        return sent == length;
    } catch (const std::exception& e) {
        QX_LOG(LogLevel::Error, "Exception: %s", e.what());
        return false;
    }
}

bool UdpUplink::Close() {
    if (socketFd >= 0) {
        close(static_cast<int>(socketFd));
        socketFd = -1;
    }
    return true;
}
