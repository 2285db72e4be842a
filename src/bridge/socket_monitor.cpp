#include "bridge/socket_monitor.h"

#include <algorithm>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

SocketMonitor::SocketMonitor() {
    m_epoll = ::epoll_create1(EPOLL_CLOEXEC);
    m_wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = m_wakeFd;
    ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_wakeFd, &ev);
    m_thread = std::thread([this] { run(); });
}

SocketMonitor::~SocketMonitor() {
    m_stop = true;
    const std::uint64_t one = 1;
    [[maybe_unused]] auto n = ::write(m_wakeFd, &one, sizeof one);
    if (m_thread.joinable())
        m_thread.join();
    ::close(m_wakeFd);
    ::close(m_epoll);
}

bool SocketMonitor::watch(SocketHandle sock, unsigned message, unsigned events) {
    std::lock_guard guard(m_mutex);
    // Only the peer's close is watched: data arrival is the pumps' business, and waking this
    // thread for every segment would cost a context switch per packet.
    epoll_event ev{};
    ev.events = EPOLLRDHUP;
    ev.data.fd = sock;
    if (::epoll_ctl(m_epoll, EPOLL_CTL_ADD, sock, &ev) != 0 &&
        (errno != EEXIST || ::epoll_ctl(m_epoll, EPOLL_CTL_MOD, sock, &ev) != 0))
        return false;
    m_registrations[sock] = Registration{m_nextId++, message, events, false};
    std::erase(m_draining, sock);
    return true;
}

void SocketMonitor::unregister(SocketHandle sock) {
    std::lock_guard guard(m_mutex);
    if (m_registrations.erase(sock))
        ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, sock, nullptr);
    std::erase(m_draining, sock);
}

bool SocketMonitor::isCurrent(SocketHandle sock, std::uint64_t registration) {
    std::lock_guard guard(m_mutex);
    auto it = m_registrations.find(sock);
    return it != m_registrations.end() && it->second.id == registration;
}

void SocketMonitor::setSink(SocketNotificationSink sink) {
    std::lock_guard guard(m_sinkMutex);
    m_sink = std::move(sink);
}

void SocketMonitor::deliver(const SocketNotification& notification) {
    std::lock_guard guard(m_sinkMutex);
    if (m_sink)
        m_sink(notification);
}

// Called with m_mutex held. A close is reported only once every byte the peer sent before
// it has been read, so the handler that closes the socket never throws data away.
void SocketMonitor::checkPeerClosed(SocketHandle sock) {
    auto it = m_registrations.find(sock);
    if (it == m_registrations.end() || it->second.closeSeen)
        return;
    int unread = 0;
    if (::ioctl(sock, FIONREAD, &unread) == 0 && unread > 0) {
        if (std::find(m_draining.begin(), m_draining.end(), sock) == m_draining.end())
            m_draining.push_back(sock);
        ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, sock, nullptr);
        return;
    }
    it->second.closeSeen = true;
    ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, sock, nullptr);
    std::erase(m_draining, sock);
}

void SocketMonitor::run() {
    epoll_event events[64];
    while (!m_stop) {
        int timeoutMs;
        {
            std::lock_guard guard(m_mutex);
            timeoutMs = m_draining.empty() ? -1 : 5;
        }
        const int n = ::epoll_wait(m_epoll, events, 64, timeoutMs);
        std::vector<SocketNotification> out;
        {
            std::lock_guard guard(m_mutex);
            std::vector<SocketHandle> candidates = m_draining;
            for (int i = 0; i < n; ++i) {
                if (events[i].data.fd == m_wakeFd) {
                    std::uint64_t value;
                    [[maybe_unused]] auto r = ::read(m_wakeFd, &value, sizeof value);
                    continue;
                }
                candidates.push_back(events[i].data.fd);
            }
            for (SocketHandle sock : candidates) {
                checkPeerClosed(sock);
                auto it = m_registrations.find(sock);
                if (it != m_registrations.end() && it->second.closeSeen && (it->second.events & FD_CLOSE)) {
                    out.push_back({it->second.message, sock, FD_CLOSE, it->second.id});
                    it->second.events &= ~FD_CLOSE; // once per registration
                }
            }
        }
        for (const auto& notification : out)
            deliver(notification);
    }
}
