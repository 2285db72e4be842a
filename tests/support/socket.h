#pragma once
// A descriptor owned by the test, and loopback addresses: the plain pieces that socket tests
// in every folder use.

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdint>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace testsupport {

// Closes its descriptor on destruction; moves, never copies.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : m_fd(fd) {}
    ~Fd() { reset(); }
    Fd(Fd&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other)
            reset(std::exchange(other.m_fd, -1));
        return *this;
    }
    int fd() const { return m_fd; }
    bool valid() const { return m_fd >= 0; }
    void reset(int fd = -1) {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = fd;
    }

private:
    int m_fd = -1;
};

inline sockaddr_in loopback(std::uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return sa;
}

// The local port a socket is bound to.
inline std::uint16_t boundPort(int fd) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    return ntohs(sa.sin_port);
}

// A TCP listener on an ephemeral loopback port; invalid if it could not be set up.
inline Fd loopbackListener(int backlog, int flags = 0) {
    Fd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | flags, 0));
    const sockaddr_in any = loopback(0);
    if (::bind(s.fd(), reinterpret_cast<const sockaddr*>(&any), sizeof any) != 0 || ::listen(s.fd(), backlog) != 0)
        return Fd();
    return s;
}

// Up to `count` bytes from `fd`: fewer once `end` passes or the stream ends, which sets
// `*ended` (false for an error).
inline std::vector<std::uint8_t> receive(int fd, std::size_t count, std::chrono::steady_clock::time_point end,
                                         bool* ended = nullptr) {
    std::vector<std::uint8_t> got;
    while (got.size() < count && std::chrono::steady_clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 20) <= 0)
            continue;
        std::uint8_t chunk[8192];
        const ssize_t n = ::recv(fd, chunk, std::min(sizeof chunk, count - got.size()), 0);
        if (n <= 0) {
            if (ended)
                *ended = n == 0;
            break;
        }
        got.insert(got.end(), chunk, chunk + n);
    }
    return got;
}

} // namespace testsupport
