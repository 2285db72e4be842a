#pragma once
// The machine's IPv4 subnets, as the device search needs them for its broadcasts.

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// One IPv4 address of a network interface. Address and mask are in host byte order.
struct InterfaceAddress {
    std::string interfaceName;
    std::uint32_t address = 0;
    std::uint32_t netmask = 0;
};

// Every IPv4 address of every interface that is up, with its own netmask, in the system's
// order; loopback interfaces are skipped. Empty when the list cannot be read.
std::vector<InterfaceAddress> listInterfaceAddresses();

// (address AND mask) OR NOT mask, in host byte order.
constexpr std::uint32_t broadcastAddress(std::uint32_t address, std::uint32_t netmask) {
    return (address & netmask) | ~netmask;
}

// One broadcast address per subnet, in first-seen order. Each address uses its own mask,
// so secondary addresses on other subnets are reached too. Addresses that cannot reach a
// subnet (0.0.0.0, or a host mask /32 that would only address ourselves) give nothing.
std::vector<std::uint32_t> subnetBroadcasts(const std::vector<InterfaceAddress>& addresses);

// "a.b.c.d" of a host-order address.
std::string ipv4Text(std::uint32_t address);

} // namespace platform
