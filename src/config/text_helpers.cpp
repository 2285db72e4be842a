#include "config/text_helpers.h"

#include <cstdio>
#include <limits>
#include <vector>

namespace config {
namespace {

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// The value of the leading digits, as the C library's atoi reads text that holds no sign or
// blank; nullopt when it passes `limit`.
std::optional<std::int64_t> leadingNumber(std::string_view text, std::int64_t limit) {
    std::int64_t value = 0;
    for (const char c : text) {
        if (!isDigit(c))
            break;
        value = value * 10 + (c - '0');
        if (value > limit)
            return std::nullopt;
    }
    return value;
}

// Codes 0x01-0x2D, 0x2F and 0x3A-0x7E: everything printable but digits and the dot.
bool isRefused(char c) {
    const auto code = static_cast<unsigned char>(c);
    return (code >= 0x01 && code <= 0x2D) || code == 0x2F || (code >= 0x3A && code <= 0x7E);
}

std::vector<std::string_view> splitAtDots(std::string_view text) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t dot = text.find('.', start);
        parts.push_back(text.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start));
        if (dot == std::string_view::npos)
            return parts;
        start = dot + 1;
    }
}

// The text as a C string sees it: it ends at the first NUL.
std::string_view cText(std::string_view text) {
    return text.substr(0, text.find('\0'));
}

} // namespace

std::string checkAddressText(std::string_view text) {
    text = cText(text);
    if (text.empty() || text.size() > kMaxAddressText || text.front() == '.' || text.back() == '.')
        return kInvalidAddress;
    for (const char c : text)
        if (isRefused(c))
            return kInvalidAddress;

    const std::vector<std::string_view> parts = splitAtDots(text);
    if (parts.size() == 1) {
        const auto number = leadingNumber(text, std::numeric_limits<std::int32_t>::max());
        if (!number || *number < 1 || *number % 256 == 0 || *number % 256 == 255)
            return kInvalidAddress;
        const auto value = static_cast<std::uint32_t>(*number);
        return addressText({static_cast<std::uint8_t>(value >> 24), static_cast<std::uint8_t>(value >> 16),
                            static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)});
    }
    // A shortened address (one or two dots) is refused rather than expanded: where its
    // missing parts would go is a guess, and a wrong guess maps the port to a stranger.
    if (parts.size() != 4)
        return kInvalidAddress;
    for (const std::string_view part : parts)
        if (!leadingNumber(part, 255))
            return kInvalidAddress;
    return std::string(text);
}

std::optional<AddressBytes> addressBytes(std::string_view text) {
    text = cText(text);
    if (text.size() > kMaxAddressText)
        return std::nullopt;
    const std::vector<std::string_view> parts = splitAtDots(text);
    if (parts.size() != 4)
        return std::nullopt;
    AddressBytes bytes{};
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        // Kept to 8 bits at every step, which leaves exactly the low byte of the decimal value.
        unsigned value = 0;
        for (const char c : parts[i]) {
            if (!isDigit(c))
                break;
            value = (value * 10 + static_cast<unsigned>(c - '0')) & 0xFFu;
        }
        bytes[i] = static_cast<std::uint8_t>(value);
    }
    return bytes;
}

std::string addressText(const AddressBytes& bytes) {
    char text[16];
    std::snprintf(text, sizeof text, "%d.%d.%d.%d", bytes[0], bytes[1], bytes[2], bytes[3]);
    return text;
}

std::optional<std::uint8_t> hexByte(std::string_view text) {
    unsigned value = 0;
    for (const char c : cText(text)) {
        unsigned digit = 0;
        if (isDigit(c))
            digit = static_cast<unsigned>(c - '0');
        else if (c >= 'A' && c <= 'F')
            digit = static_cast<unsigned>(c - 'A' + 10);
        else if (c >= 'a' && c <= 'f')
            digit = static_cast<unsigned>(c - 'a' + 10);
        else
            return std::nullopt;
        value = ((value << 4) | digit) & 0xFFu;
    }
    return static_cast<std::uint8_t>(value);
}

std::uint8_t hexByteMarking(std::string& text) {
    const std::optional<std::uint8_t> value = hexByte(text);
    if (value)
        return *value;
    text = kConversionError;
    return 0;
}

std::uint32_t bigEndianValue(std::span<const std::uint8_t> bytes) {
    std::uint32_t value = 0;
    for (const std::uint8_t byte : bytes)
        value = (value << 8) | byte;
    return value;
}

} // namespace config
