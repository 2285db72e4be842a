// libFuzzer target: a control-socket request line. Whatever splits must join back to a line
// that splits to the same fields, and every field must survive escaping.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/command_protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view line(reinterpret_cast<const char*>(data), size);
    if (const auto field = core::unescapeField(line)) {
        if (core::unescapeField(core::escapeField(*field)) != *field)
            __builtin_trap();
    }
    const auto fields = core::splitLine(line);
    if (!fields)
        return 0;
    std::string joined = core::joinLine(*fields);
    if (joined.empty() || joined.back() != '\n')
        __builtin_trap();
    joined.pop_back();
    if (core::splitLine(joined) != fields)
        __builtin_trap();
    return 0;
}
