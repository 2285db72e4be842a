#include "device/raw_frame.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr std::size_t kSourceMac = 6;
constexpr std::size_t kSignature = 16;
constexpr std::size_t kDeviceId = 18;
constexpr std::size_t kConnectionId = 22;
constexpr std::size_t kOperation = 26;
constexpr std::size_t kMac = 30;
constexpr std::size_t kIp = 36;
constexpr std::size_t kMask = 40;
constexpr std::size_t kGateway = 44;
constexpr std::size_t kDeviceName = 48;
constexpr std::size_t kDeviceNameWidth = 20;
constexpr std::size_t kProjectName = 56;
constexpr std::size_t kProjectNameWidth = 50;
constexpr std::size_t kOptions = 64;

// The name fields overlap in the frame (48-67 and 56-105), so each is read from its own
// window, up to its NUL or the window's end, never beyond.
template <std::size_t N> void copyName(char (&field)[N], std::span<const std::uint8_t> window) {
    const auto* text = reinterpret_cast<const char*>(window.data());
    const auto* end = std::find(text, text + window.size(), '\0');
    setNodeText(field, text, static_cast<std::size_t>(end - text));
}

} // namespace

DiscoveryFrame buildDiscoveryFrame(const MacAddress& adapterMac) {
    DiscoveryFrame frame{};
    std::fill_n(frame.begin(), 6, std::uint8_t{0xFF});
    std::copy(adapterMac.begin(), adapterMac.end(), frame.begin() + 6);
    frame[12] = 0x08; // ARP EtherType
    frame[13] = 0x06;
    frame[14] = 0x00;
    frame[15] = 0x01;
    frame[16] = 0xF0;
    frame[17] = 0x00;
    frame[18] = 0x00;
    frame[19] = 0x01;
    frame[20] = 0x00;
    frame[21] = 0xC0;
    frame[27] = 0x01; // request
    frame[28] = 0xFF;
    frame[29] = 0xFF;
    return frame;
}

bool isDiscoveryAnswer(std::span<const std::uint8_t> frame) {
    return frame.size() >= kOperation + 2 && frame[kSignature] == 0xF0 && frame[kSignature + 1] == 0x00 &&
           frame[kOperation] == 0x00 && frame[kOperation + 1] == 0x02;
}

std::optional<RawAnswer> parseRawAnswer(std::span<const std::uint8_t> frame) {
    if (frame.size() < kRawAnswerMinSize || !isDiscoveryAnswer(frame))
        return std::nullopt;
    RawAnswer answer;
    std::copy_n(frame.begin() + kSourceMac, 6, answer.sourceMac.begin());
    _KT550Node& node = answer.node;
    // Stored as the two bytes stand: the first one lands in the low-order half.
    node.deviceId = static_cast<std::uint16_t>(frame[kDeviceId] | (frame[kDeviceId + 1] << 8));
    node.connectionId[0] = frame[kConnectionId];
    node.connectionId[1] = frame[kConnectionId + 1];
    std::copy_n(frame.begin() + kMac, 6, node.mac);
    std::copy_n(frame.begin() + kIp, 4, node.ip);
    std::copy_n(frame.begin() + kMask, 4, node.mask);
    std::copy_n(frame.begin() + kGateway, 4, node.gateway);
    copyName(node.deviceName, frame.subspan(kDeviceName, kDeviceNameWidth));
    copyName(node.projectName, frame.subspan(kProjectName, kProjectNameWidth));
    node.options.assign(frame.begin() + kOptions, frame.end());
    return answer;
}
