#pragma once
// The base of a mapping's nine threads, over the thread base: passes under the mapping's
// lock, and the waits and wake-ups that follow the mapping's records.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <poll.h>
#include <vector>

#include "bridge/lock_interface.h"
#include "bridge/thread_interface.h"
#include "platform/time_source.h"

struct TARNINFO;

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
    // Whether the thread sleeps now until a change in `changes` (WakeOn bits) wakes it.
    bool sleepsFor(std::uint32_t changes) const { return (m_wakeInterest.load() & changes) != 0; }
    // Replaces kIdleSafetyTimeout for every thread from its next wait on. Tests lengthen it,
    // so that a thread that reacts in time can only have been woken by the source under test.
    static void setIdleSafetyTimeout(std::chrono::milliseconds timeout);
    // The time the thread's timed steps count by (the steady clock unless set); set before the
    // thread first runs, and it outlives the thread.
    void useTime(const TimeSource& time) { m_time = &time; }

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

    const TimeSource& time() const { return *m_time; }

    LockInterface& m_lock;
    TARNINFO* m_tarnInfo;

private:
    const TimeSource* m_time = &steadyTime();
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
