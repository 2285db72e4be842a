#include "device/device_list.h"

#include <cstdio>

std::string macText(const std::uint8_t mac[6]) {
    char text[18];
    std::snprintf(text, sizeof text, "%02X.%02X.%02X.%02X.%02X.%02X", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
    return text;
}

std::string dottedText(const std::uint8_t octets[4]) {
    char text[16];
    std::snprintf(text, sizeof text, "%d.%d.%d.%d", octets[0], octets[1], octets[2], octets[3]);
    return text;
}

std::shared_ptr<DeviceInfo> makeDeviceInfo(std::unique_ptr<_KT550Node> node) {
    auto info = std::make_shared<DeviceInfo>();
    std::vector<std::uint8_t> copy{0};
    if (node) {
        const std::vector<std::uint8_t>& in = node->options;
        if (!in.empty()) {
            const std::size_t declared = in[0];
            std::size_t at = 1;
            std::uint8_t kept = 0;
            for (std::size_t i = 0; i < declared; ++i) {
                if (at + 2 > in.size() || at + 2 + in[at + 1] > in.size())
                    break;
                const std::size_t end = at + 2 + in[at + 1];
                copy.insert(copy.end(), in.begin() + static_cast<std::ptrdiff_t>(at),
                            in.begin() + static_cast<std::ptrdiff_t>(end));
                at = end;
                ++kept;
            }
            copy[0] = kept;
        }
    }
    info->optionList = std::move(copy);
    info->node = std::move(node);
    return info;
}

std::optional<std::array<std::uint8_t, 4>> parseDottedIp(const char* text) {
    if (!text)
        return std::nullopt;
    std::array<std::uint8_t, 4> octets{};
    const char* p = text;
    for (std::size_t part = 0; part < 4; ++part) {
        if (part > 0) {
            if (*p != '.')
                return std::nullopt;
            ++p;
        }
        unsigned value = 0;
        int digits = 0;
        while (*p >= '0' && *p <= '9') {
            value = value * 10 + static_cast<unsigned>(*p - '0');
            if (++digits > 3 || value > 255)
                return std::nullopt;
            ++p;
        }
        if (digits == 0)
            return std::nullopt;
        octets[part] = static_cast<std::uint8_t>(value);
    }
    if (*p != '\0')
        return std::nullopt;
    return octets;
}

std::array<std::string, 8> deviceRowTexts(std::size_t position, const _KT550Node& node) {
    char number[24];
    std::snprintf(number, sizeof number, "%zu", position + 1);
    char id[8];
    std::snprintf(id, sizeof id, "%04X", node.deviceId);
    return {number,
            id,
            std::string(node.deviceName, strnlen(node.deviceName, sizeof node.deviceName)),
            std::string(node.projectName, strnlen(node.projectName, sizeof node.projectName)),
            macText(node.mac),
            dottedText(node.ip),
            dottedText(node.mask),
            dottedText(node.gateway)};
}

void DeviceList::replace(Entries entries) {
    Entries old;
    {
        std::lock_guard lock(m_mutex);
        old.swap(m_entries);
        m_entries = std::move(entries);
    }
    // The old entries are released outside the lock; readers may still hold some of them.
}

std::size_t DeviceList::size() const {
    std::lock_guard lock(m_mutex);
    return m_entries.size();
}

DeviceList::Entries DeviceList::snapshot() const {
    std::lock_guard lock(m_mutex);
    return m_entries;
}

std::shared_ptr<DeviceInfo> DeviceList::at(std::size_t position) const {
    std::lock_guard lock(m_mutex);
    return position < m_entries.size() ? m_entries[position] : nullptr;
}

int DeviceList::findDevice(const char* ipText) const {
    const auto ip = parseDottedIp(ipText);
    if (!ip)
        return -1;
    std::lock_guard lock(m_mutex);
    for (std::size_t i = 0; i < m_entries.size(); ++i) {
        const auto& entry = m_entries[i];
        if (entry && entry->node && std::memcmp(entry->node->ip, ip->data(), 4) == 0)
            return static_cast<int>(i);
    }
    return -1;
}

std::shared_ptr<DeviceInfo> DeviceList::find(const char* ipText) const {
    const auto ip = parseDottedIp(ipText);
    if (!ip)
        return nullptr;
    std::lock_guard lock(m_mutex);
    for (const auto& entry : m_entries) {
        if (entry && entry->node && std::memcmp(entry->node->ip, ip->data(), 4) == 0)
            return entry;
    }
    return nullptr;
}

int DeviceList::findOption(const char* ipText, std::uint8_t type, std::span<std::uint8_t> destination) const {
    const auto device = find(ipText);
    if (!device)
        return 0;
    // The option list was validated when it was built: every entry lies inside it.
    const std::vector<std::uint8_t>& list = device->optionList;
    if (list.empty())
        return 0;
    std::size_t at = 1;
    for (std::size_t i = 0; i < list[0] && at + 2 <= list.size(); ++i) {
        const std::uint8_t length = list[at + 1];
        if (at + 2 + length > list.size())
            break;
        if (list[at] == type) {
            const std::size_t n = std::min<std::size_t>(length, destination.size());
            if (n > 0)
                std::memcpy(destination.data(), list.data() + at + 2, n);
            return length;
        }
        at += 2 + length;
    }
    return 0;
}
