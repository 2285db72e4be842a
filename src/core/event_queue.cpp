#include "core/event_queue.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace core {

EventQueue::EventQueue() : m_eventFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (m_eventFd < 0)
        m_waitFdError = errno;
}

EventQueue::~EventQueue() {
    close();
    if (m_eventFd >= 0)
        ::close(m_eventFd);
}

void EventQueue::post(Task task) {
    std::function<void()> wakeup;
    {
        std::lock_guard guard(m_mutex);
        if (m_closed)
            return;
        m_tasks.push_back(std::move(task));
        wakeup = m_wakeup;
    }
    if (m_eventFd >= 0) {
        const std::uint64_t one = 1;
        [[maybe_unused]] auto n = ::write(m_eventFd, &one, sizeof one);
    }
    m_posted.notify_all();
    if (wakeup)
        wakeup();
}

std::size_t EventQueue::drain() {
    {
        std::lock_guard guard(m_mutex);
        if (m_mainThread == std::thread::id())
            m_mainThread = std::this_thread::get_id();
    }
    if (m_eventFd >= 0) {
        std::uint64_t value;
        [[maybe_unused]] auto r = ::read(m_eventFd, &value, sizeof value);
    }
    std::size_t ran = 0;
    for (;;) {
        Task task;
        {
            std::lock_guard guard(m_mutex);
            if (m_tasks.empty())
                break;
            task = std::move(m_tasks.front());
            m_tasks.pop_front();
        }
        task();
        ++ran;
    }
    return ran;
}

std::size_t EventQueue::waitAndDrain(std::chrono::milliseconds limit) {
    // A negative count would make poll() wait for ever, and a long one must not wrap into one.
    const auto clamped = std::clamp<std::chrono::milliseconds>(limit, std::chrono::milliseconds(0), kLongestWait);
    if (m_eventFd >= 0) {
        pollfd fd{m_eventFd, POLLIN, 0};
        ::poll(&fd, 1, static_cast<int>(clamped.count()));
    } else {
        std::unique_lock lock(m_mutex);
        m_posted.wait_for(lock, clamped, [this] { return !m_tasks.empty() || m_closed; });
    }
    return drain();
}

void EventQueue::setWakeup(std::function<void()> wakeup) {
    std::lock_guard guard(m_mutex);
    m_wakeup = std::move(wakeup);
}

void EventQueue::close() {
    std::deque<Task> dropped;
    {
        std::lock_guard guard(m_mutex);
        m_closed = true;
        dropped.swap(m_tasks);
        m_wakeup = nullptr;
    }
    m_posted.notify_all();
}

std::size_t EventQueue::pending() const {
    std::lock_guard guard(m_mutex);
    return m_tasks.size();
}

bool EventQueue::onMainThread() const {
    std::lock_guard guard(m_mutex);
    return m_mainThread == std::thread::id() || m_mainThread == std::this_thread::get_id();
}

void EventQueue::adoptCurrentThread() {
    std::lock_guard guard(m_mutex);
    m_mainThread = std::this_thread::get_id();
}

} // namespace core
