#include "core/traffic_meter.h"

#include <algorithm>

namespace core {

void TrafficMeter::sample(std::int32_t comNumber, const Traffic& counters, std::int64_t nowNs) {
    Sampled& mapping = m_mappings[comNumber];
    Traffic& last = mapping.last;
    const bool restarted = counters.toDevice < last.toDevice || counters.toApp < last.toApp;
    if (restarted || mapping.lastNs == 0 || nowNs <= mapping.lastNs) {
        if (restarted)
            mapping.rates.clear();
        const bool first = mapping.lastNs == 0 || restarted;
        last = counters;
        last.toDeviceRate = last.toAppRate = 0;
        if (first)
            mapping.lastNs = nowNs;
        return;
    }
    const double seconds = static_cast<double>(nowNs - mapping.lastNs) / 1e9;
    Traffic now = counters;
    now.toDeviceRate = static_cast<double>(counters.toDevice - last.toDevice) / seconds;
    now.toAppRate = static_cast<double>(counters.toApp - last.toApp) / seconds;
    last = now;
    mapping.lastNs = nowNs;
    mapping.rates.push_back({now.toDeviceRate, now.toAppRate});
    if (mapping.rates.size() > kHistory)
        mapping.rates.pop_front();
}

void TrafficMeter::keepOnly(const std::vector<std::int32_t>& kept) {
    std::erase_if(m_mappings, [&kept](const auto& entry) {
        return std::find(kept.begin(), kept.end(), entry.first) == kept.end();
    });
}

Traffic TrafficMeter::figures(std::int32_t comNumber) const {
    const auto found = m_mappings.find(comNumber);
    return found == m_mappings.end() ? Traffic{} : found->second.last;
}

std::vector<RatePoint> TrafficMeter::history(std::int32_t comNumber) const {
    const auto found = m_mappings.find(comNumber);
    if (found == m_mappings.end())
        return {};
    return {found->second.rates.begin(), found->second.rates.end()};
}

} // namespace core
