#pragma once
// Giving memory back to the system.

#include <cstddef>

// Returns the whole pages inside [start, start + size) to the system; they read as zeros when
// next touched. For storage whose old contents are never read again.
void releasePages(void* start, std::size_t size);
