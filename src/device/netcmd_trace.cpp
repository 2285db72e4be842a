#include "device/netcmd_trace.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

void tracef(const TraceSink& sink, const char* format, ...) {
    if (!sink)
        return;
    char text[256];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (n < 0)
        return;
    sink(std::string_view(text, std::min<std::size_t>(static_cast<std::size_t>(n), sizeof text - 1)));
}
