#pragma once
// The program's device list: one DeviceInfo per device found by the last search, in the
// order of discovery, with lookups by IP text.

#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "device/kt550_node.h"

struct DeviceInfo {
    std::unique_ptr<_KT550Node> node;
    // Credentials of the last successful login dialog for this device; empty at first.
    char loginAccount[50] = {};
    char loginPassword[50] = {};
    // Count byte, then that many type/length/value options; only complete options are kept.
    std::vector<std::uint8_t> optionList;
};

// Wraps an answer node: the option list is copied from the node's options, keeping the
// options that lie entirely inside the received bytes, so a lying count or length can never
// make a reader run past the copy.
std::shared_ptr<DeviceInfo> makeDeviceInfo(std::unique_ptr<_KT550Node> node);

// Parses "a.b.c.d" (four decimal parts, each 0-255, nothing else); nullopt otherwise.
std::optional<std::array<std::uint8_t, 4>> parseDottedIp(const char* text);

// The eight cells of a device row as the device page shows them: No (counted from 1),
// Device ID, Device Name, Project Name, MAC Address, IP Address, Sub Mask, Gateway.
inline constexpr std::array<const char*, 8> kDeviceColumns = {
    "No", "Device ID", "Device Name", "Project Name", "MAC Address", "IP Address", "Sub Mask", "Gateway"};
std::array<std::string, 8> deviceRowTexts(std::size_t position, const _KT550Node& node);

// Replaced whole by each search (on the worker thread) while the window and the login read
// it (on the user-interface thread), so entries are shared: an entry taken by a reader stays
// valid even if a search replaces the list meanwhile.
class DeviceList {
public:
    using Entries = std::deque<std::shared_ptr<DeviceInfo>>;

    void replace(Entries entries);
    void clear() { replace({}); }
    std::size_t size() const;
    Entries snapshot() const;
    std::shared_ptr<DeviceInfo> at(std::size_t position) const;

    // Position of the first device whose IP equals `ipText`, or -1 (also for a malformed text).
    int findDevice(const char* ipText) const;
    // The device with that IP, or null.
    std::shared_ptr<DeviceInfo> find(const char* ipText) const;
    // Copies the value of the device's first option of `type` into `destination` (cut to its
    // size) and returns the option's length byte; 0 when the device or the option is missing.
    int findOption(const char* ipText, std::uint8_t type, std::span<std::uint8_t> destination) const;

private:
    mutable std::mutex m_mutex;
    Entries m_entries;
};
