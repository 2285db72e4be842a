#pragma once
// The time that timed steps are measured by: the steady clock, unless a test hands a source
// of its own that it can move on, so that a wait of seconds is stepped over, not slept.

#include <chrono>
#include <cstdint>

class TimeSource {
public:
    using time_point = std::chrono::steady_clock::time_point;
    virtual ~TimeSource() = default;
    virtual time_point now() const = 0;
    // The same, in nanoseconds since the clock's epoch, for a deadline kept in an atomic.
    std::int64_t nowNs() const {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(now().time_since_epoch()).count();
    }
};

// The steady clock itself; lives for the whole process.
const TimeSource& steadyTime();
