#pragma once
// The COM numbers the system already uses, recorded once at start so that the add-mapping
// dialog neither proposes nor accepts them.

#include <cstdint>
#include <deque>
#include <string>

// Where the system's serial ports are looked for; a test points these at folders of its own.
struct SystemPortSources {
    std::string sysClassTty = "/sys/class/tty";
    std::string portDir; // empty: the port directory of the virtual ports
};

// The numbers taken: COM<k+1> for each /dev/ttyS<k> backed by hardware, in ascending k; then,
// in ascending n, each COM<n> in the port directory that is not a port of ours (live in this
// or another process). Stale links of ours found there are removed on the way. No number
// twice; what cannot be read is left out, and nothing is reported.
std::deque<std::int32_t> scanSystemPorts(const SystemPortSources& sources);

// Fills systemPortNumbers() from a scan; only the first call of the process does anything.
void recordSystemPorts();
void recordSystemPorts(const SystemPortSources& sources);

// Empty until recordSystemPorts() ran; never changes afterwards, so any thread may read it.
const std::deque<std::int32_t>& systemPortNumbers();
