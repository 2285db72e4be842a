#pragma once
// The steady clock, which a test can move on: a timed step of seconds is stepped over, not
// slept through. Time goes on as usual between steps.

#include <atomic>
#include <chrono>

#include "platform/time_source.h"

namespace testsupport {

class SteppedTime final : public TimeSource {
public:
    time_point now() const override { return std::chrono::steady_clock::now() + std::chrono::nanoseconds(m_ahead); }
    void advance(std::chrono::nanoseconds by) { m_ahead += by.count(); }

private:
    std::atomic<std::int64_t> m_ahead{0};
};

} // namespace testsupport
