#include "core/command_socket.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace core {
namespace {

constexpr std::uint64_t kListenKey = 0;
constexpr std::uint64_t kWakeKey = 1;
constexpr std::size_t kReadChunk = 4096;

std::string errnoText(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

} // namespace

struct ControlChannel::Client {
    int fd = -1;
    std::string in;
    std::string out;
    std::uint32_t interest = 0;
    bool busy = false;       // a request was handed on and is not answered yet
    bool inputEnded = false; // the client shut its sending side
    bool discarding = false; // the rest of an over-long line is being skipped
    bool dead = false;
    Stream stream;
    std::chrono::steady_clock::time_point quietSince = std::chrono::steady_clock::now();

    ~Client() {
        if (fd >= 0)
            ::close(fd);
    }
};

ControlChannel::Opened ControlChannel::open(const std::string& path, RequestHandler handler, const Limits& limits) {
    sockaddr_un address{};
    if (path.empty() || path.size() >= sizeof address.sun_path)
        return failure("control socket path too long: " + path);
    struct stat existing {};
    if (::lstat(path.c_str(), &existing) == 0) {
        if (!S_ISSOCK(existing.st_mode))
            return failure(path + " exists and is no socket");
        if (::unlink(path.c_str()) != 0 && errno != ENOENT)
            return failure(errnoText(("cannot replace " + path).c_str()));
    }

    std::unique_ptr<ControlChannel> channel(new ControlChannel(path, std::move(handler), limits));
    ControlChannel& c = *channel;
    c.m_listenFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (c.m_listenFd < 0)
        return failure(errnoText("socket"));
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    if (::bind(c.m_listenFd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        return failure(errnoText(("bind " + path).c_str()));
    // The port directory is owner-only already; the socket itself is too, wherever it lives.
    struct stat made {};
    if (::chmod(path.c_str(), 0600) != 0 || ::lstat(path.c_str(), &made) != 0) {
        const std::string reason = errnoText(("chmod " + path).c_str());
        ::unlink(path.c_str());
        return failure(reason);
    }
    c.m_fileDevice = made.st_dev;
    c.m_fileInode = made.st_ino;
    if (::listen(c.m_listenFd, 64) != 0)
        return failure(errnoText("listen"));
    c.m_epollFd = ::epoll_create1(EPOLL_CLOEXEC);
    c.m_wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (c.m_epollFd < 0 || c.m_wakeFd < 0)
        return failure(errnoText("epoll"));
    epoll_event listenEvent{};
    listenEvent.events = EPOLLIN;
    listenEvent.data.u64 = kListenKey;
    epoll_event wakeEvent{};
    wakeEvent.events = EPOLLIN;
    wakeEvent.data.u64 = kWakeKey;
    if (::epoll_ctl(c.m_epollFd, EPOLL_CTL_ADD, c.m_listenFd, &listenEvent) != 0 ||
        ::epoll_ctl(c.m_epollFd, EPOLL_CTL_ADD, c.m_wakeFd, &wakeEvent) != 0)
        return failure(errnoText("epoll_ctl"));
    c.m_thread = std::thread([&c] { c.run(); });
    return channel;
}

ControlChannel::ControlChannel(std::string path, RequestHandler handler, const Limits& limits)
    : m_path(std::move(path)), m_handler(std::move(handler)), m_limits(limits) {}

ControlChannel::~ControlChannel() {
    m_stop.store(true);
    if (m_thread.joinable()) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(m_wakeFd, &one, sizeof one);
        m_thread.join();
    }
    m_clients.clear();
    if (m_listenFd >= 0) {
        ::close(m_listenFd);
        // A successor may already serve its own socket under this name.
        struct stat now {};
        if (::lstat(m_path.c_str(), &now) == 0 && now.st_dev == m_fileDevice && now.st_ino == m_fileInode)
            ::unlink(m_path.c_str());
    }
    if (m_epollFd >= 0)
        ::close(m_epollFd);
    if (m_wakeFd >= 0)
        ::close(m_wakeFd);
}

void ControlChannel::reply(ClientId client, std::string text, bool final) {
    post({client, std::move(text), final, {}});
}

void ControlChannel::stream(ClientId client, Stream stream) {
    post({client, {}, false, std::move(stream)});
}

void ControlChannel::post(Outgoing outgoing) {
    {
        std::lock_guard guard(m_mutex);
        m_outbox.push_back(std::move(outgoing));
    }
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(m_wakeFd, &one, sizeof one);
}

void ControlChannel::run() {
    epoll_event events[64];
    while (!m_stop.load()) {
        bool streaming = false;
        for (const auto& [id, client] : m_clients)
            streaming = streaming || static_cast<bool>(client->stream);
        const int untilIdle = dropIdleClients();
        int timeout = streaming ? static_cast<int>(m_limits.streamPoll.count()) : -1;
        if (untilIdle >= 0 && (timeout < 0 || untilIdle < timeout))
            timeout = untilIdle;
        const int count = ::epoll_wait(m_epollFd, events, 64, timeout);
        if (count < 0 && errno != EINTR)
            break;
        for (int i = 0; i < count; ++i) {
            const std::uint64_t key = events[i].data.u64;
            if (key == kListenKey) {
                accept();
                continue;
            }
            if (key == kWakeKey) {
                std::uint64_t drained;
                [[maybe_unused]] const ssize_t n = ::read(m_wakeFd, &drained, sizeof drained);
                continue;
            }
            const auto found = m_clients.find(key);
            if (found == m_clients.end())
                continue;
            Client& client = *found->second;
            const std::uint32_t what = events[i].events;
            if (what & EPOLLIN)
                readFrom(key, client);
            if (what & EPOLLOUT)
                flush(client);
            // Both directions are shut: nobody is left to read an answer.
            if (what & (EPOLLHUP | EPOLLERR))
                client.dead = true;
        }

        std::vector<Outgoing> outbox;
        {
            std::lock_guard guard(m_mutex);
            outbox.swap(m_outbox);
        }
        for (Outgoing& outgoing : outbox) {
            const auto found = m_clients.find(outgoing.client);
            if (found == m_clients.end())
                continue;
            Client& client = *found->second;
            if (outgoing.stream) {
                client.stream = std::move(outgoing.stream);
                continue;
            }
            append(client, outgoing.text);
            if (outgoing.final) {
                client.busy = false;
                client.quietSince = std::chrono::steady_clock::now();
                takeLines(outgoing.client, client);
            }
        }

        for (auto it = m_clients.begin(); it != m_clients.end();) {
            Client& client = *it->second;
            pump(it->first, client);
            if (finished(client)) {
                it = m_clients.erase(it);
                continue;
            }
            updateInterest(it->first, client);
            ++it;
        }
    }
}

void ControlChannel::accept() {
    for (;;) {
        const int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0)
            return;
        // The folder and the socket are owner-only already; another user is refused even where
        // those permissions were loosened.
        ucred peer{};
        socklen_t size = sizeof peer;
        if (m_clients.size() >= m_limits.maxClients || ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 ||
            peer.uid != ::geteuid()) {
            ::close(fd);
            continue;
        }
        auto client = std::make_unique<Client>();
        client->fd = fd;
        client->interest = EPOLLIN;
        const ClientId id = m_nextId++;
        epoll_event event{};
        event.events = client->interest;
        event.data.u64 = id;
        // On failure the client (and with it the descriptor) goes at once.
        if (::epoll_ctl(m_epollFd, EPOLL_CTL_ADD, fd, &event) != 0)
            continue;
        m_clients.emplace(id, std::move(client));
    }
}

void ControlChannel::readFrom(ClientId id, Client& client) {
    char buffer[kReadChunk];
    // A client with a request in progress is not read (its interest is off); one that is
    // streaming may send nothing more, and what it sends is dropped.
    while (!client.dead && !client.inputEnded && (!client.busy || client.stream)) {
        const ssize_t n = ::recv(client.fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
                client.dead = true;
            return;
        }
        if (n == 0) {
            client.inputEnded = true;
            // A last request without its LF still counts.
            if (!client.stream && !client.discarding && !client.in.empty())
                client.in += '\n';
            takeLines(id, client);
            return;
        }
        if (client.stream)
            continue;
        std::string_view chunk(buffer, static_cast<std::size_t>(n));
        if (client.discarding) {
            const std::size_t end = chunk.find('\n');
            if (end == std::string_view::npos)
                continue;
            chunk.remove_prefix(end + 1);
            client.discarding = false;
        }
        client.in.append(chunk);
        takeLines(id, client);
    }
}

void ControlChannel::takeLines(ClientId id, Client& client) {
    while (!client.busy && !client.stream && !client.dead) {
        const std::size_t end = client.in.find('\n');
        if (end == std::string::npos) {
            if (client.in.size() > m_limits.maxLine) {
                client.in.clear();
                client.discarding = true;
                append(client, joinLine({"error", "request line too long"}));
            }
            return;
        }
        std::string line = client.in.substr(0, end);
        client.in.erase(0, end + 1);
        if (line.size() > m_limits.maxLine) {
            append(client, joinLine({"error", "request line too long"}));
            continue;
        }
        client.busy = true;
        m_handler(*this, id, std::move(line));
    }
}

void ControlChannel::append(Client& client, const std::string& text) {
    if (client.dead)
        return;
    client.out += text;
    flush(client);
    if (client.out.size() > m_limits.maxPending)
        client.dead = true;
}

void ControlChannel::flush(Client& client) {
    std::size_t sent = 0;
    while (!client.dead && sent < client.out.size()) {
        const ssize_t n =
            ::send(client.fd, client.out.data() + sent, client.out.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            client.quietSince = std::chrono::steady_clock::now();
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        if (n < 0 && errno == EINTR)
            continue;
        client.dead = true;
    }
    client.out.erase(0, sent);
}

void ControlChannel::pump(ClientId id, Client& client) {
    // Asked again while what it gave went straight out: a long answer moves at the client's
    // pace, and only what the socket cannot take yet waits here.
    while (client.stream && !client.dead && client.out.size() < m_limits.streamChunk) {
        std::string more;
        const bool goesOn = client.stream(more, m_limits.streamChunk);
        append(client, more);
        if (!goesOn) {
            client.stream = nullptr;
            client.busy = false;
            takeLines(id, client);
            return;
        }
        if (more.empty())
            return;
    }
}

int ControlChannel::dropIdleClients() {
    using namespace std::chrono;
    const auto now = steady_clock::now();
    milliseconds next = milliseconds::max();
    for (auto it = m_clients.begin(); it != m_clients.end();) {
        const Client& client = *it->second;
        if (client.busy || client.stream || client.dead) {
            ++it;
            continue;
        }
        const auto left = m_limits.idleLimit - duration_cast<milliseconds>(now - client.quietSince);
        if (left <= milliseconds::zero()) {
            it = m_clients.erase(it);
            continue;
        }
        next = std::min(next, left);
        ++it;
    }
    return next == milliseconds::max() ? -1 : static_cast<int>(next.count()) + 1;
}

bool ControlChannel::finished(const Client& client) const {
    return client.dead || (client.inputEnded && !client.busy && !client.stream && client.out.empty() &&
                           client.in.find('\n') == std::string::npos);
}

void ControlChannel::updateInterest(ClientId id, Client& client) {
    std::uint32_t wanted = 0;
    if (!client.inputEnded && (!client.busy || client.stream))
        wanted |= EPOLLIN;
    if (!client.out.empty())
        wanted |= EPOLLOUT;
    if (wanted == client.interest)
        return;
    epoll_event event{};
    event.events = wanted;
    event.data.u64 = id;
    if (::epoll_ctl(m_epollFd, EPOLL_CTL_MOD, client.fd, &event) == 0)
        client.interest = wanted;
}

} // namespace core
