#include "mapping/mapping_thread.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <shared_mutex>

#include "mapping/monitor_events.h"
#include "model/tarn_info.h"

namespace {

std::atomic<std::int64_t> g_idleSafetyMs{ThreadInterface::kIdleSafetyTimeout.count()};

// Threads of each mapping, so that one can wake its siblings.
// Shared while waking: a sibling that the wake lets run at once must not block on it.
struct WakeGroups {
    std::shared_mutex mutex;
    std::multimap<const TARNINFO*, ThreadInterface*> members;
};

// Never destroyed: mappings in static storage may end their threads after this file's
// statics would have gone.
WakeGroups& wakeGroups() {
    static WakeGroups* const groups = new WakeGroups();
    return *groups;
}

// What one thread of a mapping can change that another one waits for. Read under the
// mapping's lock, before and after a pass; entry i changed is bit i of WakeOn (1: the ring
// to the network, 2: the ring to the port).
using MappingState = std::array<std::int64_t, 16>;
static_assert(std::tuple_size_v<MappingState> <= 16, "one WakeOn bit per entry");

MappingState observe(const TARNINFO* tarnInfo) {
    MappingState state{};
    if (!tarnInfo)
        return state;
    // Activity, and whether a closed port's last bytes still go out: both decide who works.
    state[0] = tarnInfo->active.load();
    if (tarnInfo->net && closingDrains(*tarnInfo->net))
        state[0] += 2;
    if (tarnInfo->portToNet)
        state[1] = tarnInfo->portToNet->count.load();
    if (tarnInfo->netToPort)
        state[2] = tarnInfo->netToPort->count.load();
    if (const NETSTRUCT* net = tarnInfo->net.get()) {
        state[3] = net->listenSock.load();
        state[4] = net->dataSock.load();
        state[5] = net->connectPending.load();
        state[6] = net->clientConnected.load();
        state[7] = net->serverConnected.load();
        state[8] = net->isTcp.load();
        state[9] = net->isServer.load();
        state[10] = net->peerClosed.load();
    }
    if (const mek_ncp* control = tarnInfo->control.get()) {
        state[11] = control->sock.load();
        state[12] = control->connected.load();
        state[13] = control->enabled.load();
        state[14] = control->status.load();
        state[15] = control->signalByte();
    }
    return state;
}

} // namespace

ThreadInterface::ThreadInterface(bool createSuspended, LockInterface& lock, TARNINFO* tarnInfo)
    : ThreadInterface2(createSuspended), m_lock(lock), m_tarnInfo(tarnInfo) {
    if (!m_tarnInfo)
        return;
    WakeGroups& groups = wakeGroups();
    std::lock_guard guard(groups.mutex);
    groups.members.emplace(m_tarnInfo, this);
}

ThreadInterface::~ThreadInterface() {
    // The derived destructor has ended the loop; the wake descriptor of the base stays valid
    // until this thread has left the group.
    release();
    if (!m_tarnInfo)
        return;
    WakeGroups& groups = wakeGroups();
    std::lock_guard guard(groups.mutex);
    const auto [first, last] = groups.members.equal_range(m_tarnInfo);
    for (auto it = first; it != last; ++it) {
        if (it->second == this) {
            groups.members.erase(it);
            break;
        }
    }
}

bool ThreadInterface::wakeMapping(const TARNINFO* tarnInfo, const ThreadInterface* except, std::uint32_t changed,
                                  bool fillingSoon) {
    if (!tarnInfo || changed == 0)
        return false;
    bool heldBack = false;
    WakeGroups& groups = wakeGroups();
    std::shared_lock guard(groups.mutex);
    const auto [first, last] = groups.members.equal_range(tarnInfo);
    for (auto it = first; it != last; ++it) {
        ThreadInterface* thread = it->second;
        const std::uint32_t wanted = thread->m_wakeInterest.load() & changed;
        if (thread == except || wanted == 0)
            continue;
        // Only the ring to the port changed, and it still holds enough for this thread.
        const std::uint32_t below = thread->m_wakeBelow.load();
        if (wanted == kWakeOnNetToPort && below > 0 && tarnInfo->netToPort &&
            tarnInfo->netToPort->count.load() >= below)
            continue;
        // Only the ring to the network changed, more follows shortly, and it is not enough yet.
        const std::uint32_t above = thread->m_wakeAbove.load();
        if (wanted == kWakeOnPortToNet && fillingSoon && above > 0 && tarnInfo->portToNet &&
            tarnInfo->portToNet->count.load() < above) {
            heldBack = true;
            continue;
        }
        thread->wake();
    }
    return heldBack;
}

void ThreadInterface::setIdleSafetyTimeout(std::chrono::milliseconds timeout) {
    g_idleSafetyMs.store(timeout.count());
}

std::chrono::milliseconds ThreadInterface::idleTimeout() const {
    return std::chrono::milliseconds(g_idleSafetyMs.load());
}

void ThreadInterface::runPasses(std::chrono::milliseconds period) {
    bool busy = true;
    std::optional<std::chrono::nanoseconds> busyFor;
    std::vector<pollfd> sources;
    int portEvents = -1;
    bool soon = false;
    bool portChanged = false; // the port's events were taken since the last pass
    m_handOffRing.store(handOffRing());
    while (!terminated()) {
        // A message may change the mapping (a close notification takes the connection
        // down): the siblings look, and this thread's next pass comes after one period.
        if (dispatchOneMessage()) {
            wakeMapping(m_tarnInfo, this);
            busy = true;
            busyFor.reset();
            sources.clear();
        }
        if (busy) {
            if (!busyFor)
                waitBetweenPasses(period);
            else if (sources.empty())
                waitBetweenPassesExactly(*busyFor, sources);
            else
                waitBetweenPassesExactly(std::min<std::chrono::nanoseconds>(*busyFor, idleTimeout()), sources);
        } else {
            const std::size_t portEntry = sources.size();
            if (portEvents >= 0)
                sources.push_back(pollfd{portEvents, POLLIN, 0});
            waitBetweenPasses(idleTimeout(), sources);
            // Every thread looks at the open state, so whoever takes the port's events first
            // passes them on to the others.
            if (portEvents >= 0 && sources[portEntry].revents != 0) {
                portChanged = true;
                m_tarnInfo->port->drainEvents();
                wakeMapping(m_tarnInfo, this);
            }
        }
        if (terminated())
            break;
        std::uint32_t changed = 0;
        {
            SyncLock hold(m_lock);
            const MappingState before = observe(m_tarnInfo);
            // Told before the pass too, so a change comes before the bytes that followed it.
            const bool watched = m_tarnInfo && m_tarnInfo->tap.watched();
            if (watched)
                noteMonitorState(*m_tarnInfo, portChanged);
            portChanged = false;
            pass();
            m_passes.fetch_add(1, std::memory_order_relaxed);
            const MappingState after = observe(m_tarnInfo);
            for (std::size_t i = 0; i < after.size(); ++i)
                if (after[i] != before[i])
                    changed |= 1u << i;
            if (watched)
                noteMonitorState(*m_tarnInfo, (changed & kWakeOnState) != 0);
            busy = hasPendingWork();
            sources.clear();
            portEvents = -1;
            busyFor.reset();
            std::uint32_t interest = 0;
            if (busy) {
                busyFor = busyWait(sources);
                if (!busyFor)
                    sources.clear();
                // A wait on a descriptor can be long (a stalled peer): news of the mapping
                // (the connection taken down) ends it too.
                if (busyFor && !sources.empty())
                    interest = kWakeOnState;
            } else {
                interest = idleWakeInterest();
                idleWaitSources(sources);
                if (m_tarnInfo && m_tarnInfo->port)
                    portEvents = m_tarnInfo->port->eventFd();
            }
            // Set before the lock goes: a sibling's change after this point wakes this thread.
            m_wakeBelow.store(busy ? 0u : idleWakeBelow());
            m_wakeAbove.store(busy ? 0u : idleWakeAbove());
            m_wakeInterest.store(interest);
            soon = !m_heldBack && busy && busyFor && sources.empty() && *busyFor < kFillingSoon;
            if (m_heldBack)
                changed |= kWakeOnPortToNet;
            handOff(changed, soon);
        }
        // Woken after the lock is free, so the siblings do not wake only to wait for it.
        m_heldBack = wakeMapping(m_tarnInfo, this, changed, soon);
    }
    std::lock_guard fence(m_handOffMutex);
    m_handOffClosed = true;
}

void ThreadInterface::handOff(std::uint32_t& changed, bool fillingSoon) {
    if (!m_tarnInfo || (changed & kWakeOnRings) == 0)
        return;
    ThreadInterface* target = nullptr;
    std::unique_lock<std::mutex> fence;
    {
        WakeGroups& groups = wakeGroups();
        std::shared_lock guard(groups.mutex);
        const auto [first, last] = groups.members.equal_range(m_tarnInfo);
        for (auto it = first; it != last && !target; ++it) {
            ThreadInterface* thread = it->second;
            const std::uint32_t ring = thread->m_handOffRing.load();
            if (thread == this || ring == 0 || (changed & ring) == 0 || (thread->m_wakeInterest.load() & ring) == 0)
                continue;
            // Left to sleep for more to come, as wakeMapping would.
            const std::uint32_t above = thread->m_wakeAbove.load();
            if (ring == kWakeOnPortToNet && fillingSoon && above > 0 && m_tarnInfo->portToNet &&
                m_tarnInfo->portToNet->count.load() < above)
                continue;
            std::unique_lock<std::mutex> held(thread->m_handOffMutex, std::try_to_lock);
            if (!held || thread->m_handOffClosed)
                continue;
            fence = std::move(held);
            target = thread;
        }
    }
    if (!target)
        return;
    const MappingState before = observe(m_tarnInfo);
    const bool watched = m_tarnInfo->tap.watched();
    if (watched)
        noteMonitorState(*m_tarnInfo, false);
    target->pass();
    target->m_passes.fetch_add(1, std::memory_order_relaxed);
    target->m_handedPasses.fetch_add(1, std::memory_order_relaxed);
    const MappingState after = observe(m_tarnInfo);
    std::uint32_t handedChanges = 0;
    for (std::size_t i = 0; i < after.size(); ++i)
        if (after[i] != before[i])
            handedChanges |= 1u << i;
    if (watched)
        noteMonitorState(*m_tarnInfo, (handedChanges & kWakeOnState) != 0);
    // What is left for it to do, its own loop does, at the pace it chooses.
    if (target->hasPendingWork())
        target->wake();
    // The sibling has seen its ring; nobody else waits for that change.
    changed = (changed | handedChanges) & ~target->m_handOffRing.load();
}
