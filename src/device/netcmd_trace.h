#pragma once
// Where the protocol's trace lines go. Off unless a tool installs a sink (the command-line
// tools print them on standard output); the window never shows them.

#include <functional>
#include <string_view>

using TraceSink = std::function<void(std::string_view)>;

// Formats printf-style and hands the text, exactly as formatted, to `sink` (if any).
void tracef(const TraceSink& sink, const char* format, ...) __attribute__((format(printf, 2, 3)));
