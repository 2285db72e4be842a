#include "bridge/pending_connect.h"

#include <algorithm>
#include <cerrno>

PendingConnect::Outcome PendingConnect::start(SocketHandle sock, const Winsock_sockaddr_in* address,
                                              std::chrono::milliseconds limit, const TimeSource& time) {
    m_sock = 0;
    m_failure = 0;
    m_time = &time;
    if (g_sock->connectStart(sock, address) == 0)
        return Outcome::Connected;
    if (const int error = g_sock->lastError(); error != kWouldBlock) {
        m_failure = error;
        return Outcome::Failed;
    }
    m_sock = sock;
    m_deadline = m_time->now() + limit;
    return Outcome::Pending;
}

PendingConnect::Outcome PendingConnect::check() {
    if (m_sock <= 0)
        return Outcome::Failed;
    const int result = g_sock->connectResult(m_sock);
    if (result == kWouldBlock && m_time->now() < m_deadline)
        return Outcome::Pending;
    m_sock = 0;
    m_failure = result == kWouldBlock ? ETIMEDOUT : result;
    return result == 0 ? Outcome::Connected : Outcome::Failed;
}

void PendingConnect::addWaitSource(std::vector<pollfd>& sources) const {
    if (m_sock > 0)
        sources.push_back(pollfd{m_sock, POLLOUT, 0});
}

std::chrono::milliseconds PendingConnect::timeLeft(std::chrono::milliseconds bound) const {
    if (m_sock <= 0)
        return bound;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(m_deadline - m_time->now());
    return std::clamp(left, std::chrono::milliseconds(1), bound);
}
