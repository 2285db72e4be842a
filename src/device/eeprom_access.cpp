#include "device/eeprom_access.h"

#include <algorithm>
#include <cstring>

#include "device/device_list.h"
#include "device/net_cmd.h"

DeviceAccess::DeviceAccess(NetCmd& netCmd, DeviceList& devices, EepromImage& image)
    : m_netCmd(netCmd), m_devices(devices), m_image(image) {}

int DeviceAccess::login(const char* ip, std::string_view account, std::string_view password) {
    const auto device = m_devices.find(ip);
    if (!device || !device->node)
        return -1;
    return m_netCmd.NcmdLogin(*device->node, account, password);
}

int DeviceAccess::readEEPROM(const char* ip, std::uint16_t start, std::uint16_t count, std::uint8_t* destination) {
    const auto device = m_devices.find(ip);
    if (!device || !device->node)
        return -1;
    return m_netCmd.NcmdEEPRomRead(*device->node, start, destination, count);
}

int DeviceAccess::writeEEPROM(const char* ip, std::uint16_t start, std::uint16_t count, const std::uint8_t* source) {
    const auto device = m_devices.find(ip);
    if (!device || !device->node)
        return -1;
    return m_netCmd.NcmdEEPRomWrite(*device->node, start, source, count);
}

int DeviceAccess::writeDone(const char* ip) {
    const auto device = m_devices.find(ip);
    if (!device || !device->node)
        return -1;
    return m_netCmd.NcmdWriteDone(*device->node);
}

int DeviceAccess::readImage(const char* ip, int retries) {
    const int tries = std::max(retries, 0) + 1;
    for (std::size_t block = 0; block < kEepromImageSize / kEepromBlockSize; ++block) {
        std::array<std::uint8_t, kEepromBlockSize> scratch{};
        const auto start = static_cast<std::uint16_t>(block * kEepromBlockSize);
        bool done = false;
        for (int attempt = 0; attempt < tries && !done; ++attempt)
            done = readEEPROM(ip, start, static_cast<std::uint16_t>(kEepromBlockSize), scratch.data()) == 1;
        if (!done)
            return -1;
        std::copy(scratch.begin(), scratch.end(), m_image.begin() + static_cast<std::ptrdiff_t>(start));
    }
    return 0;
}

int DeviceAccess::writeImage(const char* ip, int retries) {
    const int tries = std::max(retries, 0) + 1;
    for (std::size_t block = 0; block < kEepromImageSize / kEepromBlockSize; ++block) {
        std::array<std::uint8_t, kEepromBlockSize> scratch{};
        const auto start = static_cast<std::uint16_t>(block * kEepromBlockSize);
        std::copy_n(m_image.begin() + static_cast<std::ptrdiff_t>(start), kEepromBlockSize, scratch.begin());
        bool done = false;
        for (int attempt = 0; attempt < tries && !done; ++attempt)
            done = writeEEPROM(ip, start, static_cast<std::uint16_t>(kEepromBlockSize), scratch.data()) == 1;
        if (!done)
            return -1;
    }
    return 0;
}
