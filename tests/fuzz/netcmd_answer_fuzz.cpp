// libFuzzer target: one received datagram through every NetCmd answer reader, and the device
// list built from whatever search answers it held.

#include <cstddef>
#include <cstdint>
#include <span>

#include "device/device_list.h"
#include "device/netcmd_codec.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> datagram(data, size);
    NodeList nodes;
    netcmd::walkRecords(datagram, static_cast<long>(size), {}, [&](std::span<const std::uint8_t> record) {
        if (netcmd::isSearchAnswer(record) && !containsMac(nodes, netcmd::searchAnswerMac(record))) {
            if (auto node = netcmd::parseSearchAnswer(record, {}))
                nodes.push_back(std::move(node));
        }
        netcmd::matchEepromReadAnswer(record, 0, 1024);
        return false;
    });
    netcmd::parseLoginAnswer(datagram, netcmd::kOpLoginStartAnswer);
    netcmd::parseLoginAnswer(datagram, netcmd::kOpLoginCredentialsAnswer);
    netcmd::parseEepromWriteAnswer(datagram);
    netcmd::parseWriteDoneAnswer(datagram);

    DeviceList list;
    DeviceList::Entries entries;
    for (auto& node : nodes)
        entries.push_back(makeDeviceInfo(std::move(node)));
    list.replace(std::move(entries));
    std::uint8_t value[255];
    for (const auto& entry : list.snapshot()) {
        const std::string ip = dottedText(entry->node->ip);
        for (std::uint8_t type = 0; type < 8; ++type)
            list.findOption(ip.c_str(), type, value);
        deviceRowTexts(0, *entry->node);
    }
    return 0;
}
