#pragma once
// The decimal value of a text as the C library's atoi reads it, without its overflow.

#include <cstdint>
#include <string_view>

namespace config {

// Leading blanks skipped, an optional sign, then the digits up to the first other character;
// no digits gives 0. Held at +-10^12, far beyond every range the callers accept, so a long
// run of digits cannot overflow and still reads as out of range.
inline std::int64_t decimalValue(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r')))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    constexpr std::int64_t kLimit = 1'000'000'000'000;
    std::int64_t value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
        if (value < kLimit)
            value = value * 10 + (text[i] - '0');
    return negative ? -value : value;
}

} // namespace config
