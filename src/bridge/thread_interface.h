#pragma once
// Thread base of every polling activity: a system thread with a terminate request, a
// per-thread queue of posted messages, and the one wait between passes. The base of a
// mapping's threads builds on it in mapping/mapping_thread.h.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <poll.h>
#include <thread>
#include <vector>

#include "bridge/lock_interface.h"

// Base without mapping references (the Worker). The derived class supplies execute().
class ThreadInterface2 {
public:
    using Message = std::function<void()>;

    // A thread cannot start inside the base constructor (the derived loop does not exist
    // yet), so one created "running" is started by its owner right after construction:
    // see startIfRunning().
    explicit ThreadInterface2(bool createSuspended);
    virtual ~ThreadInterface2();
    ThreadInterface2(const ThreadInterface2&) = delete;
    ThreadInterface2& operator=(const ThreadInterface2&) = delete;

    // Starts a thread created suspended; a no-op once started.
    void resume();
    // Starts the thread unless it was created suspended.
    void startIfRunning() {
        if (!m_createSuspended)
            resume();
    }
    // Sets the terminate request; the loop finishes its pass and ends at its next test.
    void terminate();
    bool terminated() const { return m_terminated.load(std::memory_order_acquire); }
    // Terminate and wait for the loop to end. Every owner calls this (the destructor does
    // too, but a derived class must call it from its own destructor, before its members go).
    void release();
    bool running() const { return m_started.load() && !m_finished.load(); }

    // Posts a message to the thread's own queue; the loop takes at most one per pass.
    void post(Message message);
    std::size_t pendingMessages() const;

    // Ends the current (or next) wait between passes early. Any thread may call it.
    void wake();
    // False when no eventfd could be made: waits then fall back to a condition variable, and
    // to short poll() slices while descriptors are watched too.
    bool hasWakeFd() const { return m_wakeFd >= 0; }

protected:
    virtual void execute() = 0;

    // The message step of a pass: runs at most one posted message. Returns whether one ran.
    bool dispatchOneMessage();
    // The one wait between passes. Returns early on terminate, a posted message or wake().
    void waitBetweenPasses(std::chrono::milliseconds period);
    // The same wait that also ends when one of `sources` becomes ready; their revents say which.
    void waitBetweenPasses(std::chrono::milliseconds timeout, std::vector<pollfd>& sources);
    // The same to the nanosecond, for a wait that must not end before a given moment.
    void waitBetweenPassesExactly(std::chrono::nanoseconds timeout, std::vector<pollfd>& sources);

private:
    static constexpr std::chrono::milliseconds kWakeSlice{10};

    void start();
    void waitWithoutWakeFd(std::chrono::nanoseconds timeout, std::vector<pollfd>& sources);

    const bool m_createSuspended;
    std::atomic<bool> m_terminated{false};
    std::atomic<bool> m_started{false};
    std::atomic<bool> m_finished{false};
    mutable std::mutex m_mutex;
    std::deque<Message> m_messages;
    // Counts wake(), post() and terminate() until the wait takes them, so a wake that comes
    // before the wait begins still ends it.
    int m_wakeFd = -1;
    // The wake without a descriptor: set by wake(), cleared by the wait that took it.
    bool m_wakePending = false;
    std::condition_variable m_woken;
    std::thread m_thread;
};
