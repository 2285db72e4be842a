#pragma once
// The main loop's queue: any thread posts a task, the main thread runs them in post order.
// The daemon waits on waitFd(); a window drains from a queued signal raised by the wake-up.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace core {

class EventQueue {
public:
    using Task = std::function<void()>;

    EventQueue();
    ~EventQueue();
    EventQueue(const EventQueue&) = delete;
    EventQueue& operator=(const EventQueue&) = delete;

    // Thread-safe. Tasks posted after close() are dropped.
    void post(Task task);
    // Runs every task queued now (and those they post) on the calling thread, which becomes
    // the main thread. Returns how many ran.
    std::size_t drain();
    // Waits up to `limit` (at most a day) for a task, then drains.
    std::size_t waitAndDrain(std::chrono::milliseconds limit);
    // Readable while tasks are pending; for poll() in a daemon's loop. -1 when no eventfd
    // could be made: waitAndDrain() still works, a loop that polls this descriptor cannot.
    int waitFd() const { return m_eventFd; }
    // Why waitFd() is -1 (an errno value); 0 when it is valid.
    int waitFdError() const { return m_waitFdError; }
    // Called on the posting thread after each post, e.g. to schedule a drain in a GUI loop.
    void setWakeup(std::function<void()> wakeup);
    // Drops pending tasks and refuses new ones: after the shut-down nothing may run.
    void close();
    std::size_t pending() const;

    // The thread that drains is the main thread; before the first drain any thread may act.
    bool onMainThread() const;
    void adoptCurrentThread();

    static constexpr std::chrono::milliseconds kLongestWait{24 * 3600 * 1000};

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_posted;
    std::deque<Task> m_tasks;
    std::function<void()> m_wakeup;
    bool m_closed = false;
    int m_eventFd = -1;
    int m_waitFdError = 0;
    std::thread::id m_mainThread;
};

} // namespace core
