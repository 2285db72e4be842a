#include "platform/time_source.h"

namespace {

class SteadyTime final : public TimeSource {
public:
    time_point now() const override { return std::chrono::steady_clock::now(); }
};

} // namespace

const TimeSource& steadyTime() {
    static const SteadyTime time;
    return time;
}
