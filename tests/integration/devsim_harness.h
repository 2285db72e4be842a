#pragma once
// Test side of the simulator tests: runs tarn-devsim as a child with its standard input and
// output on pipes, and speaks to it over real sockets as a host would. Header-only, shared by
// the devsim_*_test programs.

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <optional>
#include <poll.h>
#include <sched.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "support/netns.h"
#include "support/socket.h"
#include "support/temp_dir.h"
#include "support/wait.h"

namespace devsimtest {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;
using testsupport::TempDir;
using namespace std::chrono_literals;

// Generous: the machine may be loaded, and nothing here waits out a deadline when all is well.
inline constexpr auto kDeadline = 10s;

inline std::string binaryPath() {
    return TARN_BINARY_DIR "/sim/tarn-devsim";
}

inline Bytes hex(const std::string& text) {
    Bytes bytes;
    std::string digits;
    for (char c : text)
        if (std::isxdigit(static_cast<unsigned char>(c)))
            digits.push_back(c);
    for (std::size_t i = 0; i + 1 < digits.size(); i += 2)
        bytes.push_back(static_cast<std::uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    return bytes;
}

inline std::string hexText(const Bytes& bytes) {
    std::string text;
    char part[4];
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(part, sizeof part, i ? " %02x" : "%02x", bytes[i]);
        text += part;
    }
    return text;
}

// A socket created inside the named network namespace (the calling thread stays where it is:
// the socket keeps the namespace it was made in).
inline int socketInNamespace(const std::string& netns, int domain, int type, int protocol) {
    int result = -1;
    std::thread worker([&] {
        const int nsFd = ::open(("/var/run/netns/" + netns).c_str(), O_RDONLY | O_CLOEXEC);
        if (nsFd < 0)
            return;
        if (::setns(nsFd, CLONE_NEWNET) == 0)
            result = ::socket(domain, type | SOCK_CLOEXEC, protocol);
        ::close(nsFd);
    });
    worker.join();
    return result;
}

// The simulator as a child process. Every output line is kept; tests wait for lines with a
// deadline and the cursor moves past each line found.
class Devsim {
public:
    // `prefix` runs the binary through another command, e.g. {"ip", "netns", "exec", NAME}.
    explicit Devsim(const std::vector<std::string>& args, const std::vector<std::string>& prefix = {}) {
        if (::access(binaryPath().c_str(), X_OK) != 0) {
            // Test targets do not depend on the simulator's: say so instead of timing out.
            m_lines.push_back("tarn-devsim is not built: " + binaryPath());
            m_cursor = m_lines.size();
            m_eof = true;
            return;
        }
        int in[2], out[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0)
            return;
        std::vector<std::string> argv = prefix;
        argv.push_back(binaryPath());
        argv.insert(argv.end(), args.begin(), args.end());
        m_pid = testsupport::startProgram(argv, in[0], out[1], true);
        ::close(in[0]);
        ::close(out[1]);
        m_stdin = in[1];
        m_stdout = out[0];
    }
    ~Devsim() {
        stop();
        if (m_stdin >= 0)
            ::close(m_stdin);
        if (m_stdout >= 0)
            ::close(m_stdout);
    }
    Devsim(const Devsim&) = delete;
    Devsim& operator=(const Devsim&) = delete;

    bool started() const { return m_pid > 0; }
    bool waitReady() { return waitLine("devsim ready").has_value(); }

    // The next line (after the cursor) that contains `needle`; nullopt at the deadline or at
    // the end of the output.
    std::optional<std::string> waitLine(const std::string& needle, std::chrono::milliseconds timeout = kDeadline) {
        const auto deadline = Clock::now() + timeout;
        while (true) {
            for (; m_cursor < m_lines.size(); ++m_cursor)
                if (m_lines[m_cursor].find(needle) != std::string::npos)
                    return m_lines[m_cursor++];
            if (!readMore(deadline))
                return std::nullopt;
        }
    }
    // Collects output until the child ends (or the deadline passes); returns everything.
    std::string allOutput(std::chrono::milliseconds timeout = kDeadline) {
        const auto deadline = Clock::now() + timeout;
        while (readMore(deadline)) {
        }
        return transcript();
    }
    std::string transcript() const {
        std::string text;
        for (const auto& line : m_lines)
            text += line + "\n";
        return text;
    }

    void command(const std::string& line) {
        const std::string text = line + "\n";
        [[maybe_unused]] auto n = ::write(m_stdin, text.data(), text.size());
    }
    // Sends a command and returns its "ok"/"error" answer line.
    std::string ask(const std::string& line) {
        command(line);
        const auto deadline = Clock::now() + kDeadline;
        while (true) {
            for (; m_cursor < m_lines.size(); ++m_cursor) {
                const std::string& l = m_lines[m_cursor];
                if (l.rfind("ok", 0) == 0 || l.rfind("error", 0) == 0)
                    return m_lines[m_cursor++];
            }
            if (!readMore(deadline))
                return "(no answer)";
        }
    }

    // SIGTERM, then the exit status (or -1 if it had to be killed).
    int stop() {
        if (m_pid <= 0)
            return m_status;
        ::kill(m_pid, SIGTERM);
        const auto deadline = Clock::now() + kDeadline;
        int status = 0;
        while (true) {
            const pid_t r = ::waitpid(m_pid, &status, WNOHANG);
            if (r == m_pid)
                break;
            if (Clock::now() >= deadline) {
                ::kill(m_pid, SIGKILL);
                ::waitpid(m_pid, &status, 0);
                m_pid = -1;
                return m_status = -1;
            }
            readMore(Clock::now() + 20ms);
        }
        m_pid = -1;
        m_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        // Its last lines may still wait in the pipe.
        allOutput();
        return m_status;
    }
    // Exit status of a child that ends by itself.
    int waitExit() {
        allOutput();
        int status = 0;
        if (m_pid > 0 && ::waitpid(m_pid, &status, 0) == m_pid) {
            m_pid = -1;
            m_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        return m_status;
    }

private:
    bool readMore(Clock::time_point deadline) {
        if (m_stdout < 0 || m_eof)
            return false;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            return false;
        pollfd p{m_stdout, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left)) <= 0)
            return Clock::now() < deadline;
        char buffer[4096];
        const ssize_t n = ::read(m_stdout, buffer, sizeof buffer);
        if (n <= 0) {
            m_eof = true;
            return false;
        }
        m_partial.append(buffer, static_cast<std::size_t>(n));
        std::size_t newline;
        while ((newline = m_partial.find('\n')) != std::string::npos) {
            m_lines.push_back(m_partial.substr(0, newline));
            m_partial.erase(0, newline + 1);
        }
        return true;
    }

    pid_t m_pid = -1;
    int m_status = -1;
    int m_stdin = -1;
    int m_stdout = -1;
    bool m_eof = false;
    std::string m_partial;
    std::vector<std::string> m_lines;
    std::size_t m_cursor = 0;
};

inline sockaddr_in address(const std::string& ip, std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    ::inet_pton(AF_INET, ip.c_str(), &a.sin_addr);
    return a;
}

inline std::string addressText(const sockaddr_in& a) {
    char text[INET_ADDRSTRLEN];
    ::inet_ntop(AF_INET, &a.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(a.sin_port));
}

struct Datagram {
    Bytes bytes;
    sockaddr_in from{};
};

// A host's UDP socket.
class UdpPeer {
public:
    explicit UdpPeer(const std::string& bindIp = "127.0.0.1", std::uint16_t port = 0, int fd = -1)
        : m_fd(fd >= 0 ? fd : ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
        const int one = 1;
        ::setsockopt(m_fd.fd(), SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
        // Room for a thousand answers at once even while this thread is not scheduled.
        const int big = 4 << 20;
        if (::setsockopt(m_fd.fd(), SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof big) != 0)
            ::setsockopt(m_fd.fd(), SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
        const sockaddr_in a = address(bindIp, port);
        m_bound = ::bind(m_fd.fd(), reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
    }

    bool ok() const { return m_fd.valid() && m_bound; }
    std::uint16_t port() const { return testsupport::boundPort(m_fd.fd()); }
    bool send(const std::string& ip, std::uint16_t port, const Bytes& bytes) {
        const sockaddr_in a = address(ip, port);
        return ::sendto(m_fd.fd(), bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&a), sizeof a) ==
               static_cast<ssize_t>(bytes.size());
    }
    std::optional<Datagram> receive(std::chrono::milliseconds timeout = kDeadline) {
        pollfd p{m_fd.fd(), POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0)
            return std::nullopt;
        Datagram d;
        d.bytes.resize(65536);
        socklen_t length = sizeof d.from;
        const ssize_t n =
            ::recvfrom(m_fd.fd(), d.bytes.data(), d.bytes.size(), 0, reinterpret_cast<sockaddr*>(&d.from), &length);
        if (n < 0)
            return std::nullopt;
        d.bytes.resize(static_cast<std::size_t>(n));
        return d;
    }
    // Takes every datagram already waiting, without waiting for more; returns how many.
    std::size_t drain() {
        std::size_t count = 0;
        while (receive(0ms))
            ++count;
        return count;
    }
    // Sends and returns the first answer.
    std::optional<Bytes> request(const std::string& ip, const Bytes& bytes) {
        if (!send(ip, 8000, bytes))
            return std::nullopt;
        auto d = receive();
        if (!d)
            return std::nullopt;
        return d->bytes;
    }

private:
    testsupport::Fd m_fd;
    bool m_bound = false;
};

// A host's TCP connection, blocking with deadlines.
class TcpPeer {
public:
    TcpPeer() = default;
    explicit TcpPeer(int fd) : m_fd(fd) {}

    // Connects, retrying while the listener is not there yet, until the deadline.
    static TcpPeer connect(const std::string& ip, std::uint16_t port) {
        const sockaddr_in a = address(ip, port);
        TcpPeer peer;
        const bool connected = testsupport::waitUntil(
            [&] {
                peer = TcpPeer(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
                return ::connect(peer.fd(), reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
            },
            kDeadline);
        if (!connected)
            return TcpPeer();
        const int one = 1;
        ::setsockopt(peer.fd(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        return peer;
    }

    bool ok() const { return m_fd.valid(); }
    int fd() const { return m_fd.fd(); }
    bool send(const Bytes& bytes) {
        return ::send(m_fd.fd(), bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
    }
    // Exactly `size` bytes, or what arrived by the deadline.
    Bytes receive(std::size_t size, std::chrono::milliseconds timeout = kDeadline) {
        Bytes bytes;
        const auto deadline = Clock::now() + timeout;
        while (bytes.size() < size) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0)
                break;
            pollfd p{m_fd.fd(), POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left)) <= 0)
                break;
            std::uint8_t buffer[65536];
            const ssize_t n = ::recv(m_fd.fd(), buffer, std::min(sizeof buffer, size - bytes.size()), 0);
            if (n <= 0)
                break;
            bytes.insert(bytes.end(), buffer, buffer + n);
        }
        return bytes;
    }
    // True when the peer closes the connection before the deadline.
    bool waitClosed(std::chrono::milliseconds timeout = kDeadline) {
        const auto deadline = Clock::now() + timeout;
        while (Clock::now() < deadline) {
            pollfd p{m_fd.fd(), POLLIN, 0};
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (::poll(&p, 1, static_cast<int>(std::max<long>(left, 0))) <= 0)
                return false;
            std::uint8_t buffer[4096];
            const ssize_t n = ::recv(m_fd.fd(), buffer, sizeof buffer, 0);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
                return true;
        }
        return false;
    }
    void close() { m_fd.reset(); }

private:
    testsupport::Fd m_fd;
};

// A listening socket for a device that connects out (TCP client mode).
class TcpListener {
public:
    explicit TcpListener(const std::string& ip, std::uint16_t port = 0)
        : m_fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        const int one = 1;
        ::setsockopt(m_fd.fd(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        const sockaddr_in a = address(ip, port);
        m_ok = ::bind(m_fd.fd(), reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0 && ::listen(m_fd.fd(), 4) == 0;
    }
    bool ok() const { return m_ok; }
    std::uint16_t port() const { return testsupport::boundPort(m_fd.fd()); }
    TcpPeer accept(std::chrono::milliseconds timeout = kDeadline) {
        pollfd p{m_fd.fd(), POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0)
            return TcpPeer();
        sockaddr_in from{};
        socklen_t length = sizeof from;
        const int fd = ::accept4(m_fd.fd(), reinterpret_cast<sockaddr*>(&from), &length, SOCK_CLOEXEC);
        m_lastPeer = addressText(from);
        return TcpPeer(fd);
    }
    const std::string& lastPeer() const { return m_lastPeer; }

private:
    testsupport::Fd m_fd;
    bool m_ok = false;
    std::string m_lastPeer;
};

// Requests as a host builds them.
namespace request {

inline Bytes search() {
    return hex("01 00 00 c0 00 00 00 00 00 01 ff ff");
}

inline Bytes header(std::size_t length, const Bytes& connectionId, std::uint8_t group, std::uint8_t opcode) {
    Bytes r(length, 0);
    r[0] = 0x01;
    r[2] = static_cast<std::uint8_t>(length >> 8);
    r[3] = static_cast<std::uint8_t>(length);
    for (std::size_t i = 0; i < 4 && i < connectionId.size(); ++i)
        r[4 + i] = connectionId[i];
    r[8] = group;
    r[9] = opcode;
    return r;
}

inline Bytes loginStart(const Bytes& nonce) {
    Bytes r = header(14, {}, 0, 0x05);
    std::copy(nonce.begin(), nonce.end(), r.begin() + 10);
    return r;
}

inline Bytes credentials(const Bytes& nonce, const std::string& account, const std::string& password) {
    Bytes r = header(16 + account.size() + password.size(), {}, 0, 0x07);
    std::copy(nonce.begin(), nonce.end(), r.begin() + 10);
    r[14] = static_cast<std::uint8_t>(account.size());
    r[15] = static_cast<std::uint8_t>(password.size());
    std::copy(account.begin(), account.end(), r.begin() + 16);
    std::copy(password.begin(), password.end(), r.begin() + 16 + static_cast<std::ptrdiff_t>(account.size()));
    return r;
}

inline Bytes eepromRead(const Bytes& connectionId, std::uint16_t address, std::uint16_t count) {
    Bytes r = header(14, connectionId, 1, 0x05);
    r[10] = static_cast<std::uint8_t>(address >> 8);
    r[11] = static_cast<std::uint8_t>(address);
    r[12] = static_cast<std::uint8_t>(count >> 8);
    r[13] = static_cast<std::uint8_t>(count);
    return r;
}

inline Bytes eepromWrite(const Bytes& connectionId, std::uint16_t address, const Bytes& data) {
    Bytes r = header(14 + data.size(), connectionId, 1, 0x07);
    r[10] = static_cast<std::uint8_t>(address >> 8);
    r[11] = static_cast<std::uint8_t>(address);
    r[12] = static_cast<std::uint8_t>(data.size() >> 8);
    r[13] = static_cast<std::uint8_t>(data.size());
    std::copy(data.begin(), data.end(), r.begin() + 14);
    return r;
}

inline Bytes writeComplete(const Bytes& connectionId) {
    Bytes r = header(14, connectionId, 1, 0x25);
    r[10] = 0xAA;
    return r;
}

} // namespace request

// Logs in; returns the connection ID, or empty on refusal.
inline Bytes login(UdpPeer& host, const std::string& ip, const std::string& account, const std::string& password,
                   const Bytes& nonce = {0x12, 0x34, 0x56, 0x78}) {
    const auto started = host.request(ip, request::loginStart(nonce));
    if (!started || started->size() < 15 || (*started)[9] != 0x06 || (*started)[14] != 0)
        return {};
    const auto answer = host.request(ip, request::credentials(nonce, account, password));
    if (!answer || answer->size() < 15 || (*answer)[9] != 0x08 || (*answer)[14] != 0)
        return {};
    return Bytes(answer->begin() + 4, answer->begin() + 8);
}

inline Bytes readFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

} // namespace devsimtest
