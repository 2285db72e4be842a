#pragma once
// The simulated device's 2048-byte configuration EEPROM: the field layout (documented in
// docs/eeprom-layout.md; multi-byte numbers big-endian), typed access and the backing file.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "text_util.h"

namespace devsim {

namespace eeprom {
inline constexpr std::size_t kSize = 2048;
inline constexpr std::size_t kBlockSize = 1024;

// Identity (written at start from the device's factory values).
inline constexpr std::size_t kLayoutVersion = 0x000; // 2 bytes, 00 01
inline constexpr std::size_t kDeviceId = 0x002;      // 2 bytes
inline constexpr std::size_t kMac = 0x004;           // 6 bytes
inline constexpr std::size_t kModel = 0x010;         // 16 bytes text
inline constexpr std::size_t kModelSize = 16;
// Network.
inline constexpr std::size_t kIp = 0x020;      // 4 bytes
inline constexpr std::size_t kMask = 0x024;    // 4 bytes
inline constexpr std::size_t kGateway = 0x028; // 4 bytes
// Names.
inline constexpr std::size_t kDeviceName = 0x040; // 20 bytes text
inline constexpr std::size_t kDeviceNameSize = 20;
inline constexpr std::size_t kProjectName = 0x060; // 50 bytes text
inline constexpr std::size_t kProjectNameSize = 50;
// Serial line.
inline constexpr std::size_t kBaudIndex = 0x0A0;     // 0-12, the control protocol's rate table
inline constexpr std::size_t kDataBits = 0x0A1;      // 0-3 = 5-8 bits
inline constexpr std::size_t kParity = 0x0A2;        // 00 none, 08 odd, 18 even, 28 mark, 38 space
inline constexpr std::size_t kStopBits = 0x0A3;      // 0 = 1 bit, 1 = 2 bits
inline constexpr std::size_t kFlowControl = 0x0A4;   // 0 none, 1 XON/XOFF, 2 RTS/CTS
inline constexpr std::size_t kPackingFlags = 0x0A5;  // bit 0 delimiter 1, bit 1 delimiter 2, bit 2 time-out
inline constexpr std::size_t kDelimiter1 = 0x0A6;    // 1 byte
inline constexpr std::size_t kDelimiter2 = 0x0A7;    // 1 byte
inline constexpr std::size_t kPackingLength = 0x0A8; // 1-255
inline constexpr std::size_t kCharTimeout = 0x0AA;   // 2 bytes, 0-99 (x 10 ms)
// Working mode and ports.
inline constexpr std::size_t kWorkingMode = 0x0C0; // 0 TCP server, 1 TCP client, 2 as 0, 3 UDP
inline constexpr std::size_t kLocalPort = 0x0C2;   // 2 bytes
inline constexpr std::size_t kRemotePort = 0x0C4;  // 2 bytes
inline constexpr std::size_t kRemoteIp = 0x0C6;    // 4 bytes
inline constexpr std::size_t kControlPort = 0x0CA; // 2 bytes, 0 = no control port
// Access.
inline constexpr std::size_t kAccount = 0x100; // 16 bytes text
inline constexpr std::size_t kPassword = 0x110;
inline constexpr std::size_t kControlPassword = 0x120;
inline constexpr std::size_t kCredentialSize = 16;

inline constexpr std::uint8_t kModeTcpServer = 0;
inline constexpr std::uint8_t kModeTcpClient = 1;
inline constexpr std::uint8_t kModeTcpServerAlt = 2;
inline constexpr std::uint8_t kModeUdp = 3;
} // namespace eeprom

enum class WorkingMode { TcpServer, TcpClient, Udp };

class EepromImage {
public:
    using Bytes = std::array<std::uint8_t, eeprom::kSize>;

    EepromImage() { m_bytes.fill(0); }

    const Bytes& bytes() const { return m_bytes; }
    Bytes& bytes() { return m_bytes; }

    std::uint8_t u8(std::size_t offset) const { return m_bytes[offset]; }
    void setU8(std::size_t offset, std::uint8_t value) { m_bytes[offset] = value; }
    std::uint16_t u16(std::size_t offset) const;
    void setU16(std::size_t offset, std::uint16_t value);
    Ipv4 ip4(std::size_t offset) const;
    void setIp4(std::size_t offset, const Ipv4& value);
    // Text up to the first NUL, at most `size` - 1 characters (the field always leaves room
    // for a terminator in what the device reports, even if the stored bytes have none).
    std::string text(std::size_t offset, std::size_t size) const;
    // Credentials may fill their whole field.
    std::string credential(std::size_t offset) const;
    void setText(std::size_t offset, std::size_t size, const std::string& value);

    WorkingMode workingMode() const;

    // Loads exactly kSize bytes; an error text otherwise.
    std::optional<std::string> load(const std::string& path);
    // Writes through a temporary file and a rename, so a crash never leaves half an image.
    std::optional<std::string> save(const std::string& path) const;

private:
    Bytes m_bytes;
};

} // namespace devsim
