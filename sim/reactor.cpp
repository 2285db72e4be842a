#include "reactor.h"

#include <cerrno>
#include <sys/epoll.h>
#include <vector>

namespace devsim {

Reactor::Reactor() : m_epoll(::epoll_create1(EPOLL_CLOEXEC)) {}

bool Reactor::add(int fd, std::uint32_t events, Handler handler) {
    Registration registration{m_nextGeneration++, std::make_shared<Handler>(std::move(handler))};
    epoll_event event{};
    event.events = events;
    // The generation travels with the event, so a readiness report for a descriptor that was
    // closed and reused within one batch never reaches the new owner.
    event.data.u64 = (std::uint64_t{registration.generation} << 32) | static_cast<std::uint32_t>(fd);
    if (::epoll_ctl(m_epoll.get(), EPOLL_CTL_ADD, fd, &event) != 0)
        return false;
    m_registrations[fd] = std::move(registration);
    return true;
}

void Reactor::modify(int fd, std::uint32_t events) {
    auto it = m_registrations.find(fd);
    if (it == m_registrations.end())
        return;
    epoll_event event{};
    event.events = events;
    event.data.u64 = (std::uint64_t{it->second.generation} << 32) | static_cast<std::uint32_t>(fd);
    ::epoll_ctl(m_epoll.get(), EPOLL_CTL_MOD, fd, &event);
}

void Reactor::remove(int fd) {
    if (m_registrations.erase(fd) > 0)
        ::epoll_ctl(m_epoll.get(), EPOLL_CTL_DEL, fd, nullptr);
}

Reactor::TimerId Reactor::addTimer(std::chrono::milliseconds delay, std::function<void()> callback) {
    const TimerId id = m_nextTimer++;
    m_timers.emplace(id, std::move(callback));
    m_timerQueue.emplace(Clock::now() + delay, id);
    return id;
}

void Reactor::cancelTimer(TimerId id) {
    m_timers.erase(id);
}

int Reactor::nextTimeoutMs() const {
    if (m_timerQueue.empty())
        return -1;
    const auto wait = m_timerQueue.begin()->first - Clock::now();
    if (wait <= Clock::duration::zero())
        return 0;
    // Round up so a timer is never woken for a moment before it is due.
    return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(wait).count());
}

void Reactor::runDueTimers() {
    const auto now = Clock::now();
    while (!m_timerQueue.empty() && m_timerQueue.begin()->first <= now) {
        const TimerId id = m_timerQueue.begin()->second;
        m_timerQueue.erase(m_timerQueue.begin());
        auto it = m_timers.find(id);
        if (it == m_timers.end())
            continue; // cancelled
        auto callback = std::move(it->second);
        m_timers.erase(it);
        callback();
    }
}

bool Reactor::run() {
    std::vector<epoll_event> events(256);
    while (!m_stopping) {
        const int count = ::epoll_wait(m_epoll.get(), events.data(), static_cast<int>(events.size()), nextTimeoutMs());
        if (count < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        for (int i = 0; i < count && !m_stopping; ++i) {
            const int fd = static_cast<int>(events[static_cast<std::size_t>(i)].data.u64 & 0xFFFFFFFFu);
            const auto generation = static_cast<std::uint32_t>(events[static_cast<std::size_t>(i)].data.u64 >> 32);
            auto it = m_registrations.find(fd);
            if (it == m_registrations.end() || it->second.generation != generation)
                continue;
            // Keep the handler alive even if it removes its own registration.
            auto handler = it->second.handler;
            (*handler)(events[static_cast<std::size_t>(i)].events);
        }
        runDueTimers();
    }
    return true;
}

} // namespace devsim
