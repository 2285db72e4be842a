#include "core/command_client.h"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <utility>

#include "core/command_protocol.h"

namespace core {

ControlClient::~ControlClient() {
    if (m_fd >= 0)
        ::close(m_fd);
}

ControlClient::ControlClient(ControlClient&& other) noexcept
    : m_fd(std::exchange(other.m_fd, -1)), m_buffer(std::move(other.m_buffer)) {}

ControlClient& ControlClient::operator=(ControlClient&& other) noexcept {
    if (this != &other) {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = std::exchange(other.m_fd, -1);
        m_buffer = std::move(other.m_buffer);
    }
    return *this;
}

Result<void, ControlClient::Unreached> ControlClient::connect(const std::string& path) {
    sockaddr_un address{};
    if (path.size() >= sizeof address.sun_path)
        return failure(Unreached{false, "control socket path too long: " + path});
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    m_fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_fd < 0)
        return failure(Unreached{false, std::string("socket: ") + std::strerror(errno)});
    if (::connect(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
        return {};
    const int reason = errno;
    ::close(m_fd);
    m_fd = -1;
    // A socket file without a listener is what a program that was killed leaves behind.
    if (reason == ENOENT || reason == ECONNREFUSED)
        return failure(Unreached{true, {}});
    return failure(Unreached{false, path + ": " + std::strerror(reason)});
}

bool ControlClient::send(const std::vector<std::string>& fields) {
    const std::string line = joinLine(fields);
    std::size_t done = 0;
    while (m_fd >= 0 && done < line.size()) {
        const ssize_t n = ::send(m_fd, line.data() + done, line.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return m_fd >= 0;
}

std::optional<std::vector<std::string>> ControlClient::readLine(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        const std::size_t end = m_buffer.find('\n');
        if (end != std::string::npos) {
            auto fields = splitLine(std::string_view(m_buffer).substr(0, end));
            m_buffer.erase(0, end + 1);
            return fields;
        }
        if (m_fd < 0)
            return std::nullopt;
        int wait = -1;
        if (limit.count() >= 0) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return std::nullopt;
            wait = static_cast<int>(left.count());
        }
        pollfd p{m_fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, wait);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return std::nullopt;
        char buffer[16384];
        const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return std::nullopt;
        m_buffer.append(buffer, static_cast<std::size_t>(n));
    }
}

} // namespace core
