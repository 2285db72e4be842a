#pragma once
// One device server's answer to a search, as the NetCmd search and the raw discovery both
// deliver it, and the ordered list such answers are collected in.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

// Field order and widths are the device's answer layout; the names stay as the protocol
// documents them. The text fields always end with a NUL inside their width.
struct _KT550Node {
    std::uint16_t deviceId = 0;
    std::uint8_t unused[2] = {0, 0};
    std::uint8_t connectionId[4] = {0, 0, 0, 0}; // given at login; all 0 = not logged in
    std::uint8_t mac[6] = {0, 0, 0, 0, 0, 0};
    std::uint8_t ip[4] = {0, 0, 0, 0}; // first octet first
    std::uint8_t mask[4] = {0, 0, 0, 0};
    std::uint8_t gateway[4] = {0, 0, 0, 0};
    char deviceName[20] = {};
    char projectName[50] = {};
    // The answer's option bytes as received (a count byte, then type/length/value entries);
    // empty when the answer carried none.
    std::vector<std::uint8_t> options;

    bool loggedIn() const {
        return std::any_of(std::begin(connectionId), std::end(connectionId), [](auto b) { return b != 0; });
    }
    bool hasMac(const std::uint8_t other[6]) const { return std::memcmp(mac, other, 6) == 0; }
};

// Answers in the order they arrived; each node has exactly one owner.
using NodeList = std::vector<std::unique_ptr<_KT550Node>>;

// True when some node of `list` already carries `mac` (the first answer of a device wins).
inline bool containsMac(const NodeList& list, const std::uint8_t mac[6]) {
    return std::any_of(list.begin(), list.end(), [mac](const auto& node) { return node && node->hasMac(mac); });
}

// Copies `length` bytes of possibly unterminated text into a fixed field, cut so that the
// field always keeps its terminator.
template <std::size_t N> void setNodeText(char (&field)[N], const char* text, std::size_t length) {
    const std::size_t n = std::min(length, N - 1);
    std::memcpy(field, text, n);
    std::memset(field + n, 0, N - n);
}

// "00.0A.1B.2C.3D.4E": upper-case hexadecimal octets separated by dots.
std::string macText(const std::uint8_t mac[6]);
// "192.168.1.10" from four octets, first octet first.
std::string dottedText(const std::uint8_t octets[4]);
