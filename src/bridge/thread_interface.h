#pragma once
// Thread base of every polling activity: a system thread with a terminate request, a
// per-thread queue of posted messages, and the one wait between passes.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "bridge/lock_interface.h"

struct TARNINFO;

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

    // Ends the current (or next) wait between passes early.
    void wake();

protected:
    virtual void execute() = 0;

    // The message step of a pass: runs at most one posted message. Returns whether one ran.
    bool dispatchOneMessage();
    // The one wait between passes. Returns early on terminate, a posted message or wake().
    void waitBetweenPasses(std::chrono::milliseconds period);

private:
    void start();

    const bool m_createSuspended;
    std::atomic<bool> m_terminated{false};
    std::atomic<bool> m_started{false};
    std::atomic<bool> m_finished{false};
    mutable std::mutex m_mutex;
    std::condition_variable m_wakeup;
    bool m_wakePending = false;
    std::deque<Message> m_messages;
    std::thread m_thread;
};

// Base of a mapping's nine threads: each pass runs under the mapping's shared lock.
class ThreadInterface : public ThreadInterface2 {
public:
    ThreadInterface(bool createSuspended, LockInterface& lock, TARNINFO* tarnInfo);

protected:
    // The standard loop: message step, wait, one pass under the mapping's lock.
    void runPasses(std::chrono::milliseconds period);
    // One pass of the derived thread, called with the mapping's lock held.
    virtual void pass() = 0;
    void execute() override { runPasses(passPeriod()); }
    virtual std::chrono::milliseconds passPeriod() const { return std::chrono::milliseconds(1); }

    LockInterface& m_lock;
    TARNINFO* m_tarnInfo;
};
