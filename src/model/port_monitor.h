#pragma once
// What a port monitor sees of one mapping: the bytes at the four hand-overs of its pumps and
// the mapping's events, copied into a bounded ring per watcher, and the byte counters that
// every mapping keeps whether watched or not.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace monitor {

// Where a record was taken. The port side is what the application wrote and was given; the
// network side what went to and came from the device (payload only, never a protocol's
// escaping).
enum class Flow : std::uint8_t {
    kAppWrote = 1,  // port side, app -> device
    kSent = 2,      // network side, app -> device
    kReceived = 3,  // network side, device -> app
    kDelivered = 4, // port side, device -> app
    kEvent = 5,     // text: open, close, connection, settings, lines, pacing, discards
    kLost = 6,      // records the watcher lost (its ring was full): the count, as decimal text
};
bool isFlow(std::uint8_t value);
// Toward the device (kAppWrote, kSent).
bool towardDevice(Flow flow);
bool portSide(Flow flow);

struct Record {
    std::int64_t timeUs = 0; // steady clock, microseconds
    Flow flow = Flow::kEvent;
    std::string bytes; // the data, or an event's text
};

// Steady-clock microseconds, the records' time base.
std::int64_t nowUs();
// Wall-clock microseconds minus nowUs(): added to a record's time it gives the wall time.
std::int64_t wallOffsetUs();

// One watcher's records, oldest dropped first once the ring is full.
class Ring {
public:
    static constexpr std::size_t kDefaultCapacity = std::size_t{1} << 20;
    explicit Ring(std::size_t capacity);
    Ring(const Ring&) = delete;
    Ring& operator=(const Ring&) = delete;

    void push(Flow flow, std::int64_t timeUs, const std::uint8_t* data, std::size_t size);
    // Moves the oldest records, about maxBytes of data, into `out`; adds to `lost` the
    // records dropped since the last take.
    void take(std::vector<Record>& out, std::size_t maxBytes, std::uint64_t& lost);
    // The mapping went away: nothing more will come.
    void end();
    bool ended() const;

private:
    static constexpr std::size_t kHeader = 1 + 8 + 4;
    void write(const void* data, std::size_t size);
    void read(std::size_t at, void* data, std::size_t size) const;
    void dropOldest();

    mutable std::mutex m_mutex;
    std::vector<std::uint8_t> m_storage;
    std::size_t m_head = 0; // the oldest record
    std::size_t m_used = 0;
    std::uint64_t m_lost = 0;
    bool m_ended = false;
};

// A watcher's hold on a mapping's records; dropping it stops the capture for that watcher.
class Watch {
public:
    Watch(std::shared_ptr<Ring> ring, std::function<void()> detach);
    ~Watch();
    Watch(const Watch&) = delete;
    Watch& operator=(const Watch&) = delete;
    Ring& ring() { return *m_ring; }

private:
    std::shared_ptr<Ring> m_ring;
    std::function<void()> m_detach;
};

// A mapping's side of the monitor. The pumps ask watched() (one relaxed load) before they
// do anything for it, so a mapping nobody watches does no monitor work at all.
class Tap {
public:
    Tap() = default;
    // The watchers' rings end: their mapping is gone.
    ~Tap();
    Tap(const Tap&) = delete;
    Tap& operator=(const Tap&) = delete;

    bool watched() const { return m_shared->watchers.load(std::memory_order_relaxed) > 0; }
    void data(Flow flow, const std::uint8_t* bytes, std::size_t size);
    void event(const std::string& text);
    // A new watcher; the mapping's state is described to it at the next pass (primed()).
    // The tap must outlive the call; the watch may outlive the tap.
    std::shared_ptr<Watch> watch(std::size_t capacity = Ring::kDefaultCapacity);
    // True once after a watcher was added: the next pass describes the whole state.
    bool takePrimeRequest() { return m_prime.exchange(false); }
    // Records taken since the tap was made: monitor work, which stays 0 while unwatched.
    std::uint64_t work() const { return m_work.load(std::memory_order_relaxed); }

    // The mapping's state as last described to the watchers; under the mapping's lock only.
    struct State {
        std::int32_t open = -1;
        std::int32_t connected = -1;
        std::int32_t controlConnected = -1;
        std::string settings;
        std::string outputLines;
        std::string inputLines;
        std::int32_t pacedBaud = -1;
        std::int64_t checkedUs = 0; // when the state was last looked at
    };
    State state;

private:
    struct Shared {
        std::atomic<int> watchers{0};
        std::mutex mutex;
        std::vector<std::shared_ptr<Ring>> rings;
    };
    void record(Flow flow, const std::uint8_t* bytes, std::size_t size);

    std::atomic<bool> m_prime{false};
    std::atomic<std::uint64_t> m_work{0};
    const std::shared_ptr<Shared> m_shared = std::make_shared<Shared>();
};

// Every mapping's byte counters, one writer each (its pump, under the mapping's lock), read
// from anywhere.
struct Counters {
    std::atomic<std::uint64_t> appWrote{0};
    std::atomic<std::uint64_t> sent{0};
    std::atomic<std::uint64_t> received{0};
    std::atomic<std::uint64_t> delivered{0};
    static void add(std::atomic<std::uint64_t>& counter, std::uint64_t n) {
        counter.store(counter.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
    }
};

} // namespace monitor
