#pragma once
// Watches the sockets registered with asyncSelect on one epoll thread and reports a peer's
// close to the installed main-loop sink.

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "bridge/portable_sock.h"

class SocketMonitor {
public:
    SocketMonitor();
    ~SocketMonitor();
    SocketMonitor(const SocketMonitor&) = delete;
    SocketMonitor& operator=(const SocketMonitor&) = delete;

    // (Re)registers `sock`; any earlier registration of the same number is replaced.
    bool watch(SocketHandle sock, unsigned message, unsigned events);
    // Forgets `sock` (called before the socket is closed).
    void unregister(SocketHandle sock);
    bool isCurrent(SocketHandle sock, std::uint64_t registration);
    void setSink(SocketNotificationSink sink);

private:
    struct Registration {
        std::uint64_t id;
        unsigned message;
        unsigned events;
        bool closeSeen;
    };
    void run();
    void checkPeerClosed(SocketHandle sock);
    void deliver(const SocketNotification& notification);

    int m_epoll = -1;
    int m_wakeFd = -1;
    std::atomic<bool> m_stop{false};
    std::mutex m_mutex;
    std::map<SocketHandle, Registration> m_registrations;
    // Peers that closed while unread bytes remained: reported once the bytes are read.
    std::vector<SocketHandle> m_draining;
    std::uint64_t m_nextId = 1;
    std::mutex m_sinkMutex;
    SocketNotificationSink m_sink;
    std::thread m_thread;
};
