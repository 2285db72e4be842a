#include "net_util.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <sys/socket.h>

namespace devsim {

sockaddr_in socketAddress(std::uint32_t hostOrderIp, std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(hostOrderIp);
    return address;
}

sockaddr_in socketAddress(const Ipv4& ip, std::uint16_t port) {
    return socketAddress(ipValue(ip), port);
}

std::string endpointText(const sockaddr_in& address) {
    return ipText(ipFromValue(ntohl(address.sin_addr.s_addr))) + ":" + std::to_string(ntohs(address.sin_port));
}

UniqueFd listenTcp(const Ipv4& ip, std::uint16_t port, std::string& error) {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd) {
        error = std::string("socket: ") + std::strerror(errno);
        return {};
    }
    const int one = 1;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    const sockaddr_in address = socketAddress(ip, port);
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd.get(), 8) != 0) {
        error = "tcp " + endpointText(address) + ": " + std::strerror(errno);
        return {};
    }
    return fd;
}

UniqueFd bindUdp(const Ipv4& ip, std::uint16_t port, bool reuseAddress, std::string& error) {
    UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd) {
        error = std::string("socket: ") + std::strerror(errno);
        return {};
    }
    const int one = 1;
    if (reuseAddress)
        ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    ::setsockopt(fd.get(), SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
    // Bursts (a thousand answers, a test's flood) must not be dropped at the socket.
    const int buffer = 1 << 20;
    if (::setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUFFORCE, &buffer, sizeof buffer) != 0)
        ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    const sockaddr_in address = socketAddress(ip, port);
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        error = "udp " + endpointText(address) + ": " + std::strerror(errno);
        return {};
    }
    return fd;
}

} // namespace devsim
