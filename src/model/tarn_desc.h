#pragma once
// The stored description of one mapping: exactly one 112-byte record of the mapping file.

#include <array>
#include <cstddef>
#include <cstdint>

// Modes a record can hold.
enum : std::int32_t {
    kModeTcpServer = 1,
    kModeTcpClient = 2,
    kModeUdp = 3,
};

inline constexpr std::size_t kDescRecordSize = 112;
inline constexpr std::size_t kDescIpSize = 100;

struct tarnDesc {
    std::int32_t comNum = 0;
    std::int32_t mode = -1;
    char ipAddress[kDescIpSize] = {};
    std::uint16_t localPort = 0;
    std::uint16_t remotePort = 0;
};
static_assert(sizeof(tarnDesc) == kDescRecordSize, "tarnDesc is the file record, byte for byte");

using DescRecord = std::array<std::uint8_t, kDescRecordSize>;

// The file is little-endian whatever the host: offsets 0 comNum, 4 mode, 8 ipAddress,
// 108 localPort, 110 remotePort.
DescRecord encodeDesc(const tarnDesc& desc);
// An ipAddress without a NUL in its 100 bytes is cut to its first 99 characters.
tarnDesc decodeDesc(const std::uint8_t* record);

// A TCP client mapping that speaks Telnet COM port control (RFC 2217) in band to its device
// server. The mark lives after the address text's NUL, where a reader that knows nothing of
// it never looks, so such a reader takes the record for a plain TCP client mapping and a file
// without the mark reads exactly as before.
bool isRfc2217(const tarnDesc& desc);
// Marks or unmarks the record; marking needs a TCP client record whose address text leaves
// room for the mark (any address does), and returns false otherwise.
bool setRfc2217(tarnDesc& desc, bool on);

// True for the modes this program can set up.
inline bool isKnownMode(std::int32_t mode) {
    return mode >= kModeTcpServer && mode <= kModeUdp;
}
