#pragma once
// A port monitor's records as text: the lines tarnctl prints, the window's cells, and the
// records' form on the control channel.

#include <optional>
#include <string>
#include <vector>

#include "model/port_monitor.h"

namespace core {

enum class MonitorShow { kHex, kAscii, kBoth };

// Local wall time to the microsecond: "13:04:05.123456".
std::string monitorTime(std::int64_t timeUs, std::int64_t wallOffsetUs);
// "app→dev" or "dev→app"; empty for an event.
const char* flowArrow(monitor::Flow flow);
// "port" or "net"; empty for an event.
const char* flowSide(monitor::Flow flow);
// "48 65 6c 6c 6f"
std::string hexText(const std::string& bytes);
// The printable ASCII bytes as they are, every other byte as '.'.
std::string printableText(const std::string& bytes);
// An event's words, or the words for a lost count.
std::string eventText(const monitor::Record& record);
// One record as tarnctl prints it: time, direction, side, length, then hex and text.
std::string monitorLine(const monitor::Record& record, std::int64_t wallOffsetUs, MonitorShow show);

// "rec", flow, time, then the data in hex or the event's text.
std::vector<std::string> monitorFields(const monitor::Record& record);
std::optional<monitor::Record> monitorRecord(const std::vector<std::string>& fields);

} // namespace core
