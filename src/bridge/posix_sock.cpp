#include "bridge/posix_sock.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

thread_local int t_lastError = 0;

int fail() {
    t_lastError = errno;
    return -1;
}

sockaddr_in toSockaddr(const Winsock_sockaddr_in* address) {
    sockaddr_in sa{};
    sa.sin_family = static_cast<sa_family_t>(address->sin_family);
    sa.sin_port = address->sin_port;
    std::memcpy(&sa.sin_addr, address->sin_addr, 4);
    return sa;
}

bool setNonBlocking(SocketHandle sock) {
    int on = 1;
    return ::ioctl(sock, FIONBIO, &on) == 0;
}

// Handles 0-2 would collide with the standard streams and with the "no socket" value 0 that
// records start with, so a socket never gets one of them.
SocketHandle keepAboveStdio(SocketHandle fd) {
    if (fd < 0 || fd > 2)
        return fd;
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    const int saved = errno;
    ::close(fd);
    errno = saved;
    return moved;
}

} // namespace

void Winsock_sockaddr_in::set(std::uint16_t family, std::uint16_t portNetOrder, const char* text) {
    sin_family = family;
    sin_port = portNetOrder;
    setAddressText(text);
}

void Winsock_sockaddr_in::setAddressText(const char* text) {
    // Like inet_addr: an unparsable text gives 255.255.255.255.
    in_addr_t value = text ? ::inet_addr(text) : INADDR_NONE;
    std::memcpy(sin_addr, &value, 4);
}

std::uint32_t Winsock_sockaddr_in::getAddress() const {
    std::uint32_t value;
    std::memcpy(&value, sin_addr, 4);
    return value;
}

void Winsock_sockaddr_in::setAddress(std::uint32_t valueNetOrder) {
    std::memcpy(sin_addr, &valueNetOrder, 4);
}

char* Winsock_sockaddr_in::toText(char* buffer) const {
    std::snprintf(buffer, 16, "%u.%u.%u.%u", sin_addr[0], sin_addr[1], sin_addr[2], sin_addr[3]);
    return buffer;
}

SocketHandle PosixSock::socket(int family, int type, int protocol) {
    const SocketHandle fd = keepAboveStdio(::socket(family, type | SOCK_CLOEXEC, protocol));
    return fd < 0 ? fail() : fd;
}

int PosixSock::send(SocketHandle sock, const void* data, int length, int flags) {
    if (!setNonBlocking(sock))
        return fail();
    const ssize_t n = ::send(sock, data, static_cast<size_t>(length), flags | MSG_NOSIGNAL);
    return n < 0 ? fail() : static_cast<int>(n);
}

int PosixSock::sendto(SocketHandle sock, const void* data, int length, int flags, const Winsock_sockaddr_in* to) {
    const sockaddr_in sa = toSockaddr(to);
    const ssize_t n = ::sendto(sock, data, static_cast<size_t>(length), flags | MSG_NOSIGNAL,
                               reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
    return n < 0 ? fail() : static_cast<int>(n);
}

int PosixSock::recvfrom(SocketHandle sock, void* buffer, int size, int flags, const Winsock_sockaddr_in*) {
    setNonBlocking(sock);
    // The sender is received into a scratch copy and dropped: any sender is accepted and the
    // caller's address object keeps the configured peer.
    sockaddr_in from{};
    socklen_t len = sizeof from;
    const ssize_t n =
        ::recvfrom(sock, buffer, static_cast<size_t>(size), flags, reinterpret_cast<sockaddr*>(&from), &len);
    return n < 0 ? fail() : static_cast<int>(n);
}

int PosixSock::recv(SocketHandle sock, void* buffer, int size, int flags) {
    timeval timeout{0, 1000};
    if (::setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0)
        return fail();
    const ssize_t n = ::recv(sock, buffer, static_cast<size_t>(size), flags);
    return n < 0 ? fail() : static_cast<int>(n);
}

int PosixSock::bind(SocketHandle sock, const Winsock_sockaddr_in* address) {
    const sockaddr_in sa = toSockaddr(address);
    return ::bind(sock, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0 ? 0 : fail();
}

int PosixSock::close(SocketHandle sock) {
    // 0 is the "no socket yet" value of the records; never close a standard stream for it.
    if (sock <= 2) {
        t_lastError = EBADF;
        return -1;
    }
    m_monitor.unregister(sock);
    return ::close(sock) == 0 ? 0 : fail();
}

SocketHandle PosixSock::accept(SocketHandle sock, const Winsock_sockaddr_in*) {
    setNonBlocking(sock);
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    const int fd = keepAboveStdio(::accept4(sock, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC));
    return fd < 0 ? fail() : fd;
}

int PosixSock::listen(SocketHandle sock, int backlog) {
    return ::listen(sock, backlog) == 0 ? 0 : fail();
}

std::uint32_t PosixSock::inetAddr(const char* text) {
    return ::inet_addr(text);
}

std::uint16_t PosixSock::htons(std::uint16_t value) {
    return ::htons(value);
}

std::uint16_t PosixSock::ntohs(std::uint16_t value) {
    return ::ntohs(value);
}

int PosixSock::asyncSelect(SocketHandle sock, unsigned offset, unsigned events) {
    if (!setNonBlocking(sock))
        return fail();
    if (!m_monitor.watch(sock, kSocketMessageBase + offset, events))
        return fail();
    return 0;
}

int PosixSock::connect(SocketHandle sock, const Winsock_sockaddr_in* address) {
    if (sock >= 0 && sock < FD_SETSIZE) {
        fd_set writable;
        FD_ZERO(&writable);
        FD_SET(sock, &writable);
        timeval limit{1, 0};
        ::select(sock + 1, nullptr, &writable, nullptr, &limit);
    }
    const sockaddr_in sa = toSockaddr(address);
    return ::connect(sock, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0 ? 0 : fail();
}

int PosixSock::connectStart(SocketHandle sock, const Winsock_sockaddr_in* address) {
    if (!setNonBlocking(sock))
        return fail();
    const sockaddr_in sa = toSockaddr(address);
    return ::connect(sock, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0 ? 0 : fail();
}

int PosixSock::connectResult(SocketHandle sock) {
    pollfd source{sock, POLLOUT, 0};
    const int ready = ::poll(&source, 1, 0);
    if (ready < 0)
        return errno;
    if (ready == 0)
        return kWouldBlock;
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(sock, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
        return errno;
    // Writable with no error pending, but a reset that came and went leaves no error either:
    // only a socket with a peer is connected.
    if (error == 0) {
        sockaddr_in peer{};
        socklen_t peerLength = sizeof peer;
        if (::getpeername(sock, reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0)
            return errno == ENOTCONN ? ECONNREFUSED : errno;
    }
    return error;
}

int PosixSock::lastError() {
    switch (t_lastError) {
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case EINPROGRESS:
        return kWouldBlock;
    default:
        return t_lastError;
    }
}

int PosixSock::shutdown(SocketHandle sock, int how) {
    return ::shutdown(sock, how) == 0 ? 0 : fail();
}

int PosixSock::setOption(SocketHandle sock, int level, int option, const void* value, int length) {
    return ::setsockopt(sock, level, option, value, static_cast<socklen_t>(length)) == 0 ? 0 : fail();
}

namespace {
std::once_flag g_startOnce;
PosixSock* g_posixSock = nullptr;
} // namespace

PortableSock* g_sock = nullptr;

void startSocketLayer() {
    std::call_once(g_startOnce, [] {
        static PosixSock instance;
        g_posixSock = &instance;
    });
    g_sock = g_posixSock;
}

void stopSocketLayer() {
    if (g_posixSock)
        g_posixSock->setNotificationSink(nullptr);
    g_sock = nullptr;
}
