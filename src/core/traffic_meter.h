#pragma once
// Each mapping's traffic at a glance: its byte counters sampled about once a second, the rate
// over the last sample and the last minute's rates, both directions.

#include <cstdint>
#include <deque>
#include <map>
#include <vector>

namespace core {

// Bytes at the port: what the application wrote (toward the device) and what it was given.
struct Traffic {
    std::uint64_t toDevice = 0;
    std::uint64_t toApp = 0;
    // The network side's counts: what was sent and received.
    std::uint64_t sent = 0;
    std::uint64_t received = 0;
    // Bytes per second over the last sampled interval.
    double toDeviceRate = 0;
    double toAppRate = 0;
};

struct RatePoint {
    double toDevice = 0; // bytes per second
    double toApp = 0;
};

class TrafficMeter {
public:
    static constexpr std::size_t kHistory = 60;
    // One mapping's counters at `nowNs` (steady clock). A mapping made anew under the same
    // number counts from 0 again: its history starts over.
    void sample(std::int32_t comNumber, const Traffic& counters, std::int64_t nowNs);
    // Forgets the mappings not in `kept` (removed ones).
    void keepOnly(const std::vector<std::int32_t>& kept);
    // The counters and rates as last sampled; zeros for a mapping never sampled.
    Traffic figures(std::int32_t comNumber) const;
    // Up to kHistory rates, oldest first, one a sampled interval.
    std::vector<RatePoint> history(std::int32_t comNumber) const;

private:
    struct Sampled {
        Traffic last;
        std::int64_t lastNs = 0;
        std::deque<RatePoint> rates;
    };
    std::map<std::int32_t, Sampled> m_mappings;
};

} // namespace core
