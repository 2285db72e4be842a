#include "text_util.h"

#include <cctype>
#include <cstdio>

namespace devsim {

void emitLine(const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void emitError(const std::string& line) {
    std::fprintf(stderr, "tarn-devsim: %s\n", line.c_str());
    std::fflush(stderr);
}

std::string hexBytes(const std::uint8_t* data, std::size_t size) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(size * 3);
    for (std::size_t i = 0; i < size; ++i) {
        if (i > 0)
            text.push_back(' ');
        text.push_back(digits[data[i] >> 4]);
        text.push_back(digits[data[i] & 0x0F]);
    }
    return text;
}

std::string hexBytes(const std::vector<std::uint8_t>& data) {
    return hexBytes(data.data(), data.size());
}

namespace {

int hexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace

std::optional<std::vector<std::uint8_t>> parseHexTokens(const std::vector<std::string>& tokens) {
    std::vector<std::uint8_t> bytes;
    for (std::string_view token : tokens) {
        if (token.size() > 2 && token[0] == '0' && (token[1] == 'x' || token[1] == 'X'))
            token.remove_prefix(2);
        if (token.empty())
            return std::nullopt;
        if (token.size() == 1) {
            const int d = hexDigit(token[0]);
            if (d < 0)
                return std::nullopt;
            bytes.push_back(static_cast<std::uint8_t>(d));
            continue;
        }
        if (token.size() % 2 != 0)
            return std::nullopt;
        for (std::size_t i = 0; i < token.size(); i += 2) {
            const int hi = hexDigit(token[i]);
            const int lo = hexDigit(token[i + 1]);
            if (hi < 0 || lo < 0)
                return std::nullopt;
            bytes.push_back(static_cast<std::uint8_t>(hi * 16 + lo));
        }
    }
    return bytes;
}

std::optional<std::uint32_t> parseNumber(std::string_view text, std::uint32_t max) {
    unsigned base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty())
        return std::nullopt;
    std::uint64_t value = 0;
    for (char c : text) {
        const int d = base == 16 ? hexDigit(c) : (c >= '0' && c <= '9' ? c - '0' : -1);
        if (d < 0)
            return std::nullopt;
        value = value * base + static_cast<unsigned>(d);
        if (value > max)
            return std::nullopt;
    }
    return static_cast<std::uint32_t>(value);
}

std::optional<Ipv4> parseIpv4(std::string_view text) {
    const auto parts = splitOn(text, '.');
    if (parts.size() != 4)
        return std::nullopt;
    Ipv4 ip{};
    for (std::size_t i = 0; i < 4; ++i) {
        if (parts[i].empty() || parts[i].size() > 3 || parts[i].find_first_not_of("0123456789") != std::string::npos)
            return std::nullopt;
        const auto value = parseNumber(parts[i], 255);
        if (!value)
            return std::nullopt;
        ip[i] = static_cast<std::uint8_t>(*value);
    }
    return ip;
}

std::string ipText(const Ipv4& ip) {
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", ip[0], ip[1], ip[2], ip[3]);
    return text;
}

std::uint32_t ipValue(const Ipv4& ip) {
    return (std::uint32_t{ip[0]} << 24) | (std::uint32_t{ip[1]} << 16) | (std::uint32_t{ip[2]} << 8) | ip[3];
}

Ipv4 ipFromValue(std::uint32_t value) {
    return {static_cast<std::uint8_t>(value >> 24), static_cast<std::uint8_t>(value >> 16),
            static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
}

std::optional<MacAddress> parseMac(std::string_view text) {
    auto parts = splitOn(text, ':');
    if (parts.size() != 6)
        parts = splitOn(text, '-');
    if (parts.size() != 6)
        return std::nullopt;
    MacAddress mac{};
    for (std::size_t i = 0; i < 6; ++i) {
        if (parts[i].size() != 2)
            return std::nullopt;
        const int hi = hexDigit(parts[i][0]);
        const int lo = hexDigit(parts[i][1]);
        if (hi < 0 || lo < 0)
            return std::nullopt;
        mac[i] = static_cast<std::uint8_t>(hi * 16 + lo);
    }
    return mac;
}

std::string macText(const MacAddress& mac) {
    char text[18];
    std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
    return text;
}

std::vector<std::string> splitWords(std::string_view text) {
    std::vector<std::string> words;
    std::size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])))
            ++i;
        const std::size_t start = i;
        while (i < text.size() && !std::isspace(static_cast<unsigned char>(text[i])))
            ++i;
        if (i > start)
            words.emplace_back(text.substr(start, i - start));
    }
    return words;
}

std::vector<std::string> splitOn(std::string_view text, char separator) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (true) {
        const std::size_t end = text.find(separator, start);
        parts.emplace_back(text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
        if (end == std::string_view::npos)
            break;
        start = end + 1;
    }
    return parts;
}

} // namespace devsim
