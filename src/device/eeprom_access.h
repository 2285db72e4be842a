#pragma once
// Login and EEPROM access by device IP text, and the transfer of the whole 2048-byte
// configuration image in two 1024-byte blocks.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

class NetCmd;
class DeviceList;

inline constexpr std::size_t kEepromImageSize = 2048;
inline constexpr std::size_t kEepromBlockSize = 1024;
using EepromImage = std::array<std::uint8_t, kEepromImageSize>;

class DeviceAccess {
public:
    // The image moves to and from `image`, which its owner keeps (one per device side).
    DeviceAccess(NetCmd& netCmd, DeviceList& devices, EepromImage& image);

    // The NetCmd operations on the device with that IP. Each returns 1 on success and -1 on
    // failure; a text that matches no device in the list is a failure like any other.
    int login(const char* ip, std::string_view account, std::string_view password);
    int readEEPROM(const char* ip, std::uint16_t start, std::uint16_t count, std::uint8_t* destination);
    int writeEEPROM(const char* ip, std::uint16_t start, std::uint16_t count, const std::uint8_t* source);
    int writeDone(const char* ip);

    // Move the whole image, block 0 then block 1, each tried up to `retries` + 1 times.
    // 0 on success, -1 when a block failed every try (blocks done before stay done).
    int readImage(const char* ip, int retries);
    int writeImage(const char* ip, int retries);

    EepromImage& image() { return m_image; }

private:
    NetCmd& m_netCmd;
    DeviceList& m_devices;
    EepromImage& m_image;
};
