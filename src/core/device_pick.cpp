#include "core/device_pick.h"

#include <array>

#include "bridge/tvs_port_ax.h"
#include "device/device_list.h"
#include "model/mapping_lists.h"
#include "model/tarn_info.h"

namespace core {
namespace {

constexpr std::uint8_t kOptionPort = 1;
constexpr std::uint8_t kOptionUdpPeers = 3;
constexpr std::uint8_t kOptionWorkingMode = 4;

// An option's value as an unsigned big-endian number over its length (at most 4 bytes).
std::optional<std::uint32_t> optionNumber(const DeviceList* devices, const std::string& ip, std::uint8_t type) {
    std::array<std::uint8_t, 4> value{};
    const int length = devices ? devices->findOption(ip.c_str(), type, value) : 0;
    if (length <= 0)
        return std::nullopt;
    std::uint32_t number = 0;
    for (int i = 0; i < std::min(length, 4); ++i)
        number = number << 8 | value[static_cast<std::size_t>(i)];
    return number;
}

} // namespace

DevicePick pickDevice(const DeviceList* devices, const MappingLists& mappings, const std::string& ipText,
                      bool serverChecked, bool clientChecked) {
    DevicePick pick;
    pick.ipText = ipText;
    std::array<std::uint8_t, 1> mode{};
    const int modeLength = devices ? devices->findOption(ipText.c_str(), kOptionWorkingMode, mode) : 0;

    const int position = mappings.findByIp(ipText.c_str());
    const TARNINFO* mapping = position >= 0 ? mappings.mappings[static_cast<std::size_t>(position)].get() : nullptr;
    const bool locked = mapping && mapping->port && mapping->port->getProperty(TVSPortAx::kLocked) != 0;
    if (locked) {
        pick.comNumber = mapping->comNumber;
        pick.comEditable = false;
        pick.radiosEnabled = false;
        pick.localEditable = false;
        pick.remoteEditable = false;
    }

    if (modeLength <= 0) {
        pick.localPortText = std::string();
        pick.remotePortText = std::string();
    }
    if (!mapping) {
        pick.localEditable = serverChecked || !clientChecked;
        pick.remoteEditable = clientChecked || !serverChecked;
        pick.radiosEnabled = true;
    } else {
        pick.localEditable = false;
        pick.remoteEditable = false;
        pick.radiosEnabled = false;
    }
    if (modeLength <= 0)
        return pick;

    switch (mode[0]) {
    case 1:
        pick.role = DevicePick::Role::TcpClient;
        if (const auto port = optionNumber(devices, ipText, kOptionPort))
            pick.remotePortText = std::to_string(*port);
        break;
    case 2:
        pick.role = DevicePick::Role::TcpServer;
        if (const auto port = optionNumber(devices, ipText, kOptionPort))
            pick.localPortText = std::to_string(*port);
        break;
    case 3:
        pick.role = DevicePick::Role::Udp;
        if (locked) {
            pick.remotePortText = std::to_string(mapping->remotePort());
            pick.localPortText = std::to_string(mapping->localPort());
        } else {
            pick.localEditable = true;
            pick.remoteEditable = true;
            pick.portsWhite = true;
            if (!mapping) {
                // The peer table starts with the device's own UDP port, big-endian.
                std::array<std::uint8_t, 2> peers{};
                if (devices && devices->findOption(ipText.c_str(), kOptionUdpPeers, peers) >= 2)
                    pick.remotePortText = std::to_string(peers[0] << 8 | peers[1]);
            }
        }
        break;
    default:
        break;
    }
    return pick;
}

} // namespace core
