#pragma once
// Keeps every thread of the process on one processor, the first one this process may use.

#include <optional>

namespace core {

// Pins every existing thread of the process, and through inheritance every later one, to
// the lowest processor in the calling thread's permitted set. Returns that processor, or
// nothing when the set could not be read or changed (the process then runs unpinned).
std::optional<int> pinToFirstPermittedCpu();

} // namespace core
