#pragma once
// Single-threaded event loop of the simulator: epoll readiness callbacks plus one-shot timers.
// Everything the simulator does runs on this loop, so device state needs no locks.

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <unordered_map>

#include "unique_fd.h"

namespace devsim {

class Reactor {
public:
    using Handler = std::function<void(std::uint32_t events)>;
    using Clock = std::chrono::steady_clock;
    using TimerId = std::uint64_t;

    Reactor();
    Reactor(const Reactor&) = delete;
    Reactor& operator=(const Reactor&) = delete;

    bool ok() const { return m_epoll.valid(); }

    // Watches `fd` (not owned) for `events` (EPOLLIN, EPOLLOUT, ...). The handler may add and
    // remove any registration, its own included.
    bool add(int fd, std::uint32_t events, Handler handler);
    void modify(int fd, std::uint32_t events);
    void remove(int fd);

    TimerId addTimer(std::chrono::milliseconds delay, std::function<void()> callback);
    void cancelTimer(TimerId id);

    // Runs until stop(); returns false if waiting itself failed.
    bool run();
    void stop() { m_stopping = true; }

private:
    struct Registration {
        std::uint32_t generation = 0;
        std::shared_ptr<Handler> handler;
    };
    int nextTimeoutMs() const;
    void runDueTimers();

    UniqueFd m_epoll;
    bool m_stopping = false;
    std::uint32_t m_nextGeneration = 1;
    std::unordered_map<int, Registration> m_registrations;
    TimerId m_nextTimer = 1;
    std::multimap<Clock::time_point, TimerId> m_timerQueue;
    std::unordered_map<TimerId, std::function<void()>> m_timers;
};

} // namespace devsim
