#pragma once
// The simulator's command line: which devices to emulate and how they behave.

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "eeprom_image.h"
#include "telnet_server.h"
#include "text_util.h"

namespace devsim {

// One device as given on the command line. Unset values come from its EEPROM file, or from
// the defaults for a fresh image; set values override what the file holds.
struct DeviceSpec {
    Ipv4 ip{};
    std::optional<Ipv4> mask;
    std::optional<Ipv4> gateway;
    std::optional<MacAddress> mac;
    std::optional<std::uint16_t> id;
    std::optional<std::string> name;
    std::optional<std::string> project;
    std::optional<WorkingMode> mode;
    std::optional<std::uint16_t> dataPort;
    std::optional<Ipv4> remoteIp;
    std::optional<std::uint16_t> remotePort;
    std::optional<std::uint16_t> controlPort;
    std::optional<std::uint8_t> baudIndex;
    std::optional<std::string> account;
    std::optional<std::string> password;
    std::optional<std::string> controlPassword;
    std::string eepromPath;
    std::string serial; // "echo", "pty:PATH" or "none"; empty = the global default
    ComPortControl comPort = ComPortControl::Off;
    bool silent = false;
    bool answerTwice = false;
    bool refuseLoginStart = false;
};

struct Options {
    std::vector<DeviceSpec> devices;
    std::string defaultSerial = "echo";
    std::optional<std::uint8_t> controlResult;
    bool raw = true;
    bool quiet = false;
};

// Parses argv; on failure returns the message to print. `help` is set for --help.
std::variant<Options, std::string> parseOptions(int argc, char** argv, bool& help);
// Parses one "key=value,key=value" device description.
std::optional<std::string> parseDeviceSpec(const std::string& text, DeviceSpec& spec);

const char* usageText();

} // namespace devsim
