#include "bridge/thread_interface.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cassert>
#include <cerrno>
#include <cstdint>
#include <map>
#include <shared_mutex>
#include <sys/eventfd.h>
#include <unistd.h>

namespace {

void drainWakeFd(int fd) {
    std::uint64_t count = 0;
    while (::read(fd, &count, sizeof count) < 0 && errno == EINTR) {
    }
}

constexpr std::chrono::nanoseconds kLongestWait = std::chrono::hours(24);

int toTimeout(std::chrono::milliseconds period) {
    return static_cast<int>(std::clamp<std::chrono::milliseconds::rep>(period.count(), 0, 24 * 3600 * 1000));
}

std::chrono::nanoseconds clampWait(std::chrono::nanoseconds wait) {
    return std::clamp(wait, std::chrono::nanoseconds::zero(), kLongestWait);
}

} // namespace

ThreadInterface2::ThreadInterface2(bool createSuspended)
    : m_createSuspended(createSuspended), m_wakeFd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

ThreadInterface2::~ThreadInterface2() {
    release();
    if (m_wakeFd >= 0)
        ::close(m_wakeFd);
}

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

void ThreadInterface2::resume() {
    start();
}

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
    }
    wake();
}

std::size_t ThreadInterface2::pendingMessages() const {
    std::lock_guard guard(m_mutex);
    return m_messages.size();
}

void ThreadInterface2::wake() {
    if (m_wakeFd < 0) {
        {
            std::lock_guard guard(m_mutex);
            m_wakePending = true;
        }
        m_woken.notify_all();
        return;
    }
    const std::uint64_t one = 1;
    // Fails only when the counter is saturated, which still reads as a pending wake.
    while (::write(m_wakeFd, &one, sizeof one) < 0 && errno == EINTR) {
    }
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
    std::vector<pollfd> none;
    waitBetweenPasses(period, none);
}

void ThreadInterface2::waitBetweenPasses(std::chrono::milliseconds timeout, std::vector<pollfd>& sources) {
    waitBetweenPassesExactly(timeout, sources);
}

// poll() counts whole milliseconds; a wait for the moment a pass can move its next bytes
// must neither end early nor round a fraction of a millisecond up to a whole one.
void ThreadInterface2::waitBetweenPassesExactly(std::chrono::nanoseconds timeout, std::vector<pollfd>& sources) {
    for (pollfd& source : sources)
        source.revents = 0;
    timeout = clampWait(timeout);
    if (m_wakeFd < 0) {
        waitWithoutWakeFd(timeout, sources);
        return;
    }
    {
        std::lock_guard guard(m_mutex);
        if (!m_messages.empty() || terminated()) {
            drainWakeFd(m_wakeFd);
            return;
        }
    }
    sources.push_back(pollfd{m_wakeFd, POLLIN, 0});
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(timeout);
    const timespec limit{static_cast<time_t>(seconds.count()), static_cast<long>((timeout - seconds).count())};
    if (::ppoll(sources.data(), static_cast<nfds_t>(sources.size()), &limit, nullptr) > 0 &&
        sources.back().revents != 0)
        drainWakeFd(m_wakeFd);
    sources.pop_back();
}

// Without an eventfd (the process ran out of descriptors when the thread was made) a wake
// is a flag and a condition variable. Alone that serves a plain wait; with descriptors to
// watch as well, poll() runs in short slices and the flag is looked at between them.
void ThreadInterface2::waitWithoutWakeFd(std::chrono::nanoseconds timeout, std::vector<pollfd>& sources) {
    const auto deadline = std::chrono::steady_clock::now() + clampWait(timeout);
    std::unique_lock lock(m_mutex);
    auto woken = [this] { return m_wakePending || !m_messages.empty() || terminated(); };
    if (sources.empty()) {
        m_woken.wait_until(lock, deadline, woken);
    } else {
        while (!woken()) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                break;
            lock.unlock();
            const int ready =
                ::poll(sources.data(), static_cast<nfds_t>(sources.size()), toTimeout(std::min(left, kWakeSlice)));
            lock.lock();
            if (ready > 0)
                break;
        }
    }
    m_wakePending = false;
}
