#pragma once
// What the entries of tarn and tarnd share: the end signals turned into a readable
// descriptor, and the one owner of a user's mappings.

#include <cstdio>
#include <optional>
#include <string>

#include "platform/single_instance.h"

namespace core {

// The first SIGTERM or SIGINT only makes the returned descriptor readable, whichever thread it
// reaches, so the main loop runs the shut-down itself; a second one ends the program at once,
// removing the links of its ports first. SIGPIPE is ignored, so a reader of our output that
// goes away cannot end the program mid-sequence. -1 (with a message) on failure.
int installEndSignals(const char* programName);

// Drains what the end signals wrote.
void drainEndSignals(int fd);

struct EntryOptions {
    bool search = true;     // --no-search turns the device search off
    bool minimized = false; // --minimized (tarn only): start in the tray or minimised
};
// The options tarn and tarnd share: --help and --version print and end the program with
// status 0, an unknown option with status 2 (the usage on standard error). Options that do
// not start with "--" are left for `passOn` (the window's toolkit) when it is set; that
// program also takes --minimized.
using Usage = void (*)(std::FILE* out);
std::optional<int> parseEntryOptions(int argc, char** argv, const char* programName, const char* version, Usage usage,
                                     EntryOptions& options, bool passOn);

// Where the window keeps its size, dividers, column widths and page between runs.
std::string windowLayoutPath();

// Takes the lock that one tarn or tarnd of the user holds, ending the one that runs (it
// shuts down and frees its ports first). Held by the returned object until it goes; empty
// when there is no usable port directory. An outcome other than a clean take is reported on
// standard error.
std::optional<SingleInstance> takeOwnerLock(const char* programName);

} // namespace core
