#pragma once
// Thread base of every polling activity: a system thread with a terminate request, a
// per-thread queue of posted messages, and the one wait between passes.

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

// Base of a mapping's nine threads: each pass runs under the mapping's shared lock.
//
// The wait between passes adapts to the work there is. After each pass the thread says,
// under the lock, whether it has work pending. If so, it waits until its next pass can do
// some of it (busyWait: a moment, or a descriptor of its own becoming ready), or the fixed
// period when it cannot tell. If not, it sleeps until something can give it work: one of its
// own descriptors, the port opening or closing, a sibling changing the mapping's shared state
// (rings, connection, control session), a posted message, or terminate; kIdleSafetyTimeout
// bounds that sleep so that nothing missed can stall a mapping for good.
class ThreadInterface : public ThreadInterface2 {
public:
    static constexpr std::chrono::milliseconds kIdleSafetyTimeout{500};

    ThreadInterface(bool createSuspended, LockInterface& lock, TARNINFO* tarnInfo);
    ~ThreadInterface() override;

    // What changed in a mapping, for choosing whom to wake: the rings' contents, and the
    // rest (activity, port and connection, control session).
    enum WakeOn : std::uint32_t {
        kWakeOnPortToNet = 1u << 1,
        kWakeOnNetToPort = 1u << 2,
        kWakeOnRings = kWakeOnPortToNet | kWakeOnNetToPort,
        kWakeOnAll = 0xffffu,
        kWakeOnState = kWakeOnAll & ~kWakeOnRings,
    };

    // Ends the idle wait of every thread of the mapping (but `except`) that waits for a change
    // in `changed`. A thread busy at its fixed cadence is left alone, so that its pace stays.
    // For whoever changes a mapping's state outside its threads' passes, too. With
    // `fillingSoon` (the caller passes again shortly) a thread that waits for more in the ring
    // to the network (idleWakeAbove) is left to sleep; returns whether one was.
    static bool wakeMapping(const TARNINFO* tarnInfo, const ThreadInterface* except = nullptr,
                            std::uint32_t changed = kWakeOnAll, bool fillingSoon = false);
    // Passes run so far; for observing how busy a thread is. Of them, those that a sibling
    // ran in its stead (handOffRing).
    std::uint64_t passCount() const { return m_passes.load(std::memory_order_relaxed); }
    std::uint64_t handedPassCount() const { return m_handedPasses.load(std::memory_order_relaxed); }
    // Replaces kIdleSafetyTimeout for every thread from its next wait on. Tests lengthen it,
    // so that a thread that reacts in time can only have been woken by the source under test.
    static void setIdleSafetyTimeout(std::chrono::milliseconds timeout);

protected:
    // The standard loop: message step, wait, one pass under the mapping's lock.
    void runPasses(std::chrono::milliseconds period);
    // One pass of the derived thread, called with the mapping's lock held.
    virtual void pass() = 0;
    void execute() override { runPasses(passPeriod()); }
    virtual std::chrono::milliseconds passPeriod() const { return std::chrono::milliseconds(1); }

    // Called under the lock right after each pass: whether work is pending. The default keeps
    // the fixed cadence.
    virtual bool hasPendingWork() const { return true; }
    // Called under the lock when work is pending: how long until the next pass can do some of
    // it, with descriptors that end the wait sooner when one becomes ready (their wait is
    // bounded by idleTimeout()). Empty: one period, the fixed cadence.
    virtual std::optional<std::chrono::nanoseconds> busyWait(std::vector<pollfd>& sources) const {
        (void)sources;
        return std::nullopt;
    }
    // Called under the lock when there is no pending work: descriptors whose readiness can
    // give this thread work. The port's open and close events are added by the base.
    virtual void idleWaitSources(std::vector<pollfd>& sources) const { (void)sources; }
    // Called under the lock when there is no pending work: the changes by other threads that
    // can give this thread work. By default everything but the rings' contents.
    virtual std::uint32_t idleWakeInterest() const { return kWakeOnState; }
    // With kWakeOnNetToPort in the interest: wake only once that ring holds fewer bytes than
    // this, rather than at every change (0).
    virtual std::uint32_t idleWakeBelow() const { return 0; }
    // With kWakeOnPortToNet in the interest: while the thread that fills that ring passes
    // again within kFillingSoon, wake only once the ring holds this much (0: at every change).
    // Never for two passes in a row, so nothing waits longer than one such pass.
    virtual std::uint32_t idleWakeAbove() const { return 0; }
    static constexpr std::chrono::milliseconds kFillingSoon{50};
    // The ring (kWakeOnPortToNet or kWakeOnNetToPort) this thread empties, when the sibling
    // that fills it may run this thread's pass itself, under the same hold of the lock, while
    // this thread sleeps waiting for it: one pass instead of a wake-up and a switch. 0: never.
    virtual std::uint32_t handOffRing() const { return 0; }
    // Upper bound of an idle wait.
    virtual std::chrono::milliseconds idleTimeout() const;

    LockInterface& m_lock;
    TARNINFO* m_tarnInfo;

private:
    // What wakes this thread now: 0 while it is busy. A thread starts at its cadence, and
    // one whose loop runs no passes at all is never woken.
    std::atomic<std::uint32_t> m_wakeInterest{0};
    std::atomic<std::uint32_t> m_wakeBelow{0};
    std::atomic<std::uint32_t> m_wakeAbove{0};
    // A sibling was left asleep for more to come: the next pass wakes it.
    bool m_heldBack = false;
    // Runs, under the lock, the pass of a sibling that waits for the ring in `changed`, and
    // leaves in `changed` what the siblings still need to hear of.
    void handOff(std::uint32_t& changed, bool fillingSoon);
    // Held by a sibling while it runs this thread's pass; closed when this thread's loop
    // ends, after which no sibling runs a pass of it.
    std::mutex m_handOffMutex;
    bool m_handOffClosed = false; // under m_handOffMutex
    // handOffRing(), taken by the loop itself: a sibling looking for whom to hand on to makes
    // no virtual call on a thread that may be going.
    std::atomic<std::uint32_t> m_handOffRing{0};
    std::atomic<std::uint64_t> m_passes{0};
    std::atomic<std::uint64_t> m_handedPasses{0};
};
