#pragma once
// The search job: rebuilds the device list from a NetCmd search, falling back to the raw
// discovery when no device answered; and the progress it shares with the search display.

#include <atomic>
#include <cstddef>
#include <functional>
#include <mutex>
#include <vector>

#include "device/device_list.h"
#include "device/kt550_node.h"

class NetCmd;

// What a running search has found so far, for a display on another thread. Answers are
// copied in as they arrive, so a reader never sees a node being filled.
class SearchProgress {
public:
    // Forgets the answers and the flags of an earlier search.
    void reset();
    void addUdpAnswer(const _KT550Node& node);
    void addRawAnswer(const _KT550Node& node);
    std::vector<_KT550Node> udpAnswers() const;
    std::vector<_KT550Node> rawAnswers() const;

    // Set once the UDP search found nothing and the raw discovery runs.
    void setRawSearch(bool on) { m_rawSearch.store(on); }
    bool rawSearch() const { return m_rawSearch.load(); }

    // Set when the job has rebuilt the device list.
    void setFinished(bool done) { m_finished.store(done); }
    bool finished() const { return m_finished.load(); }

private:
    mutable std::mutex m_mutex;
    std::vector<_KT550Node> m_udp;
    std::vector<_KT550Node> m_raw;
    std::atomic<bool> m_rawSearch{false};
    std::atomic<bool> m_finished{false};
};

// The raw-frame discovery used as the fallback; empty when it is not available.
using RawDiscoverFn = std::function<NodeList()>;

// Runs one search and replaces `deviceList` with its result: the NetCmd answers in arrival
// order, or, when there were none, the raw discovery's. The new list is built aside and put
// in place in one step, so readers see the old list or the new one, never a half-built one.
// Returns the number of devices in the new list.
std::size_t runSearchJob(NetCmd& netCmd, DeviceList& deviceList, const RawDiscoverFn& rawDiscover = {},
                         SearchProgress* progress = nullptr);
