#pragma once
// The raw Ethernet discovery frame and the decoding of the devices' answer frames.

#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include "device/kt550_node.h"
#include "platform/pcap_capture.h"

inline constexpr std::size_t kDiscoveryFrameSize = 60;
// The answer's project name ends at byte 105: anything shorter cannot be decoded.
inline constexpr std::size_t kRawAnswerMinSize = 106;

using DiscoveryFrame = std::array<std::uint8_t, kDiscoveryFrameSize>;

// The broadcast request sent on one adapter, from that adapter's own address.
DiscoveryFrame buildDiscoveryFrame(const MacAddress& adapterMac);

// One decoded answer frame.
struct RawAnswer {
    MacAddress sourceMac{}; // Ethernet source of the frame
    _KT550Node node;        // the device as it describes itself
};

// True when the frame carries the discovery answer's marks (F0 00 at 16, 00 02 at 26), whatever
// its length.
bool isDiscoveryAnswer(std::span<const std::uint8_t> frame);

// Decodes an answer frame; nothing for other frames and for answers too short to hold both names.
// Each name is taken up to its NUL and cut to its field (19 and 49 characters), since a device
// need not terminate it; the option bytes are the frame's bytes from 64 to its end.
std::optional<RawAnswer> parseRawAnswer(std::span<const std::uint8_t> frame);
