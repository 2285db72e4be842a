#include "bridge/thread_interface.h"

#include <cassert>

ThreadInterface2::ThreadInterface2(bool createSuspended) : m_createSuspended(createSuspended) {}

ThreadInterface2::~ThreadInterface2() { release(); }

void ThreadInterface2::start() {
    bool expected = false;
    if (!m_started.compare_exchange_strong(expected, true))
        return;
    m_thread = std::thread([this] {
        if (!terminated())
            execute();
        m_finished.store(true);
    });
}

void ThreadInterface2::resume() { start(); }

void ThreadInterface2::terminate() {
    m_terminated.store(true, std::memory_order_release);
    wake();
}

void ThreadInterface2::release() {
    terminate();
    if (m_thread.joinable()) {
        assert(m_thread.get_id() != std::this_thread::get_id());
        m_thread.join();
    }
}

void ThreadInterface2::post(Message message) {
    {
        std::lock_guard guard(m_mutex);
        m_messages.push_back(std::move(message));
        m_wakePending = true;
    }
    m_wakeup.notify_one();
}

std::size_t ThreadInterface2::pendingMessages() const {
    std::lock_guard guard(m_mutex);
    return m_messages.size();
}

void ThreadInterface2::wake() {
    {
        std::lock_guard guard(m_mutex);
        m_wakePending = true;
    }
    m_wakeup.notify_one();
}

bool ThreadInterface2::dispatchOneMessage() {
    Message message;
    {
        std::lock_guard guard(m_mutex);
        if (m_messages.empty())
            return false;
        message = std::move(m_messages.front());
        m_messages.pop_front();
    }
    message();
    return true;
}

void ThreadInterface2::waitBetweenPasses(std::chrono::milliseconds period) {
    std::unique_lock guard(m_mutex);
    // A queued message is work too: the next pass takes it without waiting out the period.
    m_wakeup.wait_for(guard, period, [this] { return m_wakePending || !m_messages.empty() || terminated(); });
    m_wakePending = false;
}

ThreadInterface::ThreadInterface(bool createSuspended, LockInterface& lock, TARNINFO* tarnInfo)
    : ThreadInterface2(createSuspended), m_lock(lock), m_tarnInfo(tarnInfo) {}

void ThreadInterface::runPasses(std::chrono::milliseconds period) {
    while (!terminated()) {
        dispatchOneMessage();
        waitBetweenPasses(period);
        if (terminated())
            break;
        SyncLock hold(m_lock);
        pass();
    }
}
