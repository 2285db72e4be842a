#pragma once
// A scripted NetCmd peer for unit tests: a UDP socket on 127.0.0.1 (free port) whose thread
// answers every request with whatever the script returns, and remembers the requests.

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "device/netcmd_codec.h"

namespace testnetcmd {

using Bytes = std::vector<std::uint8_t>;
// Given one request, returns the datagrams to send back (possibly none).
using Script = std::function<std::vector<Bytes>(const Bytes& request)>;
// Runs on the responder's thread for each request, before its answers go out.
using BeforeAnswer = std::function<void(const Bytes& request, const sockaddr_in& from)>;

class Responder {
public:
    explicit Responder(Script script, BeforeAnswer beforeAnswer = {})
        : m_script(std::move(script)), m_beforeAnswer(std::move(beforeAnswer)) {
        m_socket = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(m_socket, reinterpret_cast<sockaddr*>(&address), sizeof address);
        socklen_t length = sizeof address;
        ::getsockname(m_socket, reinterpret_cast<sockaddr*>(&address), &length);
        m_port = ntohs(address.sin_port);
        m_stop = ::eventfd(0, EFD_CLOEXEC);
        m_thread = std::thread([this] { run(); });
    }
    ~Responder() {
        const std::uint64_t one = 1;
        [[maybe_unused]] auto n = ::write(m_stop, &one, sizeof one);
        m_thread.join();
        ::close(m_stop);
        ::close(m_socket);
    }
    Responder(const Responder&) = delete;
    Responder& operator=(const Responder&) = delete;

    std::uint16_t port() const { return m_port; }

    std::vector<Bytes> requests() const {
        std::lock_guard lock(m_mutex);
        return m_requests;
    }
    std::size_t requestCount() const {
        std::lock_guard lock(m_mutex);
        return m_requests.size();
    }
    // Waits (with a deadline) until at least `count` requests have arrived.
    bool waitForRequests(std::size_t count, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, limit, [&] { return m_requests.size() >= count; });
    }

private:
    void run() {
        pollfd fds[2] = {{m_socket, POLLIN, 0}, {m_stop, POLLIN, 0}};
        for (;;) {
            if (::poll(fds, 2, -1) < 0)
                continue;
            if (fds[1].revents)
                return;
            Bytes request(65536);
            sockaddr_in from{};
            socklen_t length = sizeof from;
            const ssize_t n = ::recvfrom(m_socket, request.data(), request.size(), MSG_DONTWAIT,
                                         reinterpret_cast<sockaddr*>(&from), &length);
            if (n < 0)
                continue;
            request.resize(static_cast<std::size_t>(n));
            {
                std::lock_guard lock(m_mutex);
                m_requests.push_back(request);
            }
            m_changed.notify_all();
            if (m_beforeAnswer)
                m_beforeAnswer(request, from);
            for (const Bytes& answer : m_script(request))
                ::sendto(m_socket, answer.data(), answer.size(), 0, reinterpret_cast<sockaddr*>(&from), length);
        }
    }

    Script m_script;
    BeforeAnswer m_beforeAnswer;
    int m_socket = -1;
    int m_stop = -1;
    std::uint16_t m_port = 0;
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<Bytes> m_requests;
    std::thread m_thread;
};

// Builders of the device's answers.
inline Bytes header(std::size_t length, std::uint8_t group, std::uint8_t opcode) {
    Bytes b(length, 0);
    b[0] = 0x01;
    netcmd::writeBe16(b.data() + 2, static_cast<std::uint16_t>(length));
    b[8] = group;
    b[9] = opcode;
    return b;
}

struct DeviceDescription {
    std::uint16_t id = 0x1234;
    std::uint8_t mac[6] = {0x02, 0, 0, 0, 0, 0x01};
    std::uint8_t ip[4] = {10, 77, 1, 10};
    std::uint8_t mask[4] = {255, 255, 255, 0};
    std::uint8_t gateway[4] = {10, 77, 1, 1};
    std::string name = "dev";
    std::string project = "proj";
    Bytes options;
};

inline Bytes searchAnswer(const DeviceDescription& d) {
    const std::size_t length = 32 + d.name.size() + d.project.size() + d.options.size();
    Bytes b = header(length, 0, netcmd::kOpSearchAnswer);
    netcmd::writeBe16(b.data() + 10, d.id);
    std::copy(std::begin(d.mac), std::end(d.mac), b.begin() + 12);
    std::copy(std::begin(d.ip), std::end(d.ip), b.begin() + 18);
    std::copy(std::begin(d.mask), std::end(d.mask), b.begin() + 22);
    std::copy(std::begin(d.gateway), std::end(d.gateway), b.begin() + 26);
    std::copy(d.name.begin(), d.name.end(), b.begin() + 30);
    std::copy(d.project.begin(), d.project.end(), b.begin() + 31 + static_cast<std::ptrdiff_t>(d.name.size()));
    std::copy(d.options.begin(), d.options.end(),
              b.begin() + 32 + static_cast<std::ptrdiff_t>(d.name.size() + d.project.size()));
    return b;
}

inline Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

} // namespace testnetcmd
