#pragma once
// What the add dialog fills in when the user picks a device from the last search: the
// working mode and ports the device reports, and whether a mapping to it already exists.
// Qt-free, so the dialog only copies the result into its fields.

#include <cstdint>
#include <optional>
#include <string>

class DeviceList;
class MappingLists;

namespace core {

struct DevicePick {
    enum class Role { Unchanged, TcpClient, TcpServer, Udp };

    std::string ipText;
    // The COM number of an existing, locked mapping to this device: the field takes it.
    std::optional<std::int32_t> comNumber;
    bool comEditable = true; // the COM field and its up-down
    bool radiosEnabled = true;
    bool localEditable = true;
    bool remoteEditable = true;
    // New texts of the port fields; nothing means unchanged.
    std::optional<std::string> localPortText;
    std::optional<std::string> remotePortText;
    // The port fields get a white background (a UDP device whose ports the user sets).
    bool portsWhite = false;
    Role role = Role::Unchanged;
};

// `serverChecked`/`clientChecked`: the dialog's role radios as they are now.
DevicePick pickDevice(const DeviceList* devices, const MappingLists& mappings, const std::string& ipText,
                      bool serverChecked, bool clientChecked);

} // namespace core
