#pragma once
// The port monitor's view of a mapping's pumps and state; every call is made under the
// mapping's lock.

#include <cstdint>

struct TARNINFO;

// Bytes taken from the ring toward the device for sending: counted, and shown to watchers.
void tookForNetwork(TARNINFO& tarnInfo, const std::uint8_t* data, std::uint32_t size);
// Bytes received from the device into the ring toward the port (the caller made room).
void gaveToPort(TARNINFO& tarnInfo, const std::uint8_t* data, std::uint32_t size);
// Tells the watchers what changed since they were last told (everything, for a new watcher):
// the port opened or closed, the connections, the line settings, the lines both ways, the
// pacing's rate. Called before and after each pass while the mapping is watched; looking
// costs system calls, so it looks when `changed` (the caller saw something change) and
// otherwise at most every kMonitorRecheckUs.
inline constexpr std::int64_t kMonitorRecheckUs = 5000;
void noteMonitorState(TARNINFO& tarnInfo, bool changed);
