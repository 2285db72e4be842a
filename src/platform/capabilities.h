#pragma once
// Whether this process may open raw packet captures (root or CAP_NET_RAW), and the one line
// that says so when it may not: without it the raw-Ethernet discovery finds nothing.

#include <optional>
#include <string>
#include <string_view>

// The effective capability set of a /proc/<pid>/status text (its "CapEff:" line); nothing
// when the line is missing or unreadable.
std::optional<unsigned long long> effectiveCapabilities(std::string_view statusText);

// True when this process's effective set holds CAP_NET_RAW. Unknown counts as true, so a
// kernel without the status line never draws a false warning.
bool mayCaptureRaw();

// "Raw Ethernet discovery is off: it needs root or CAP_NET_RAW ..." with the setcap command
// that grants it to this program file; one line, no line break at the end.
std::string rawCaptureOffNotice();
