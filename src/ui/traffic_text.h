#pragma once
// Byte counts and rates as the mapping list's tooltip and the monitor window show them.

#include <QString>
#include <cstdint>

#include "core/traffic_meter.h"

namespace ui {

// "1,234,567": grouped the same way whatever the desktop's language, like the window's texts.
QString byteCountText(std::uint64_t bytes);
// "512 B/s", "11.5 kB/s", "1.2 MB/s" (powers of 1000).
QString rateText(double bytesPerSecond);
// "App → device: 1,234,567 bytes, 11.5 kB/s" and the same line toward the app.
QString trafficLines(const core::Traffic& traffic);

} // namespace ui
