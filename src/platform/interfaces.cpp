#include "platform/interfaces.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstdio>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

namespace platform {

std::vector<InterfaceAddress> listInterfaceAddresses() {
    std::vector<InterfaceAddress> result;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0)
        return result;
    for (const ifaddrs* entry = list; entry; entry = entry->ifa_next) {
        if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET)
            continue;
        if (!(entry->ifa_flags & IFF_UP) || (entry->ifa_flags & IFF_LOOPBACK))
            continue;
        InterfaceAddress item;
        item.interfaceName = entry->ifa_name ? entry->ifa_name : "";
        sockaddr_in address{};
        std::copy_n(reinterpret_cast<const unsigned char*>(entry->ifa_addr), sizeof address,
                    reinterpret_cast<unsigned char*>(&address));
        item.address = ntohl(address.sin_addr.s_addr);
        if (entry->ifa_netmask) {
            sockaddr_in mask{};
            std::copy_n(reinterpret_cast<const unsigned char*>(entry->ifa_netmask), sizeof mask,
                        reinterpret_cast<unsigned char*>(&mask));
            item.netmask = ntohl(mask.sin_addr.s_addr);
        }
        result.push_back(std::move(item));
    }
    ::freeifaddrs(list);
    return result;
}

std::vector<std::uint32_t> subnetBroadcasts(const std::vector<InterfaceAddress>& addresses) {
    std::vector<std::uint32_t> result;
    for (const InterfaceAddress& item : addresses) {
        if (item.address == 0 || item.netmask == 0xFFFFFFFFu)
            continue;
        const std::uint32_t broadcast = broadcastAddress(item.address, item.netmask);
        if (std::find(result.begin(), result.end(), broadcast) == result.end())
            result.push_back(broadcast);
    }
    return result;
}

std::string ipv4Text(std::uint32_t address) {
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", address >> 24, (address >> 16) & 0xFF, (address >> 8) & 0xFF,
                  address & 0xFF);
    return text;
}

} // namespace platform
