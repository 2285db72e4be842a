// The device list: option-list copies that never trust the answer's counts, lookups by IP
// text, the displayed row texts, subnet broadcasts.

#include <gtest/gtest.h>

#include "device/device_list.h"
#include "platform/interfaces.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

std::unique_ptr<_KT550Node> nodeAt(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d, Bytes options = {}) {
    auto node = std::make_unique<_KT550Node>();
    node->ip[0] = a;
    node->ip[1] = b;
    node->ip[2] = c;
    node->ip[3] = d;
    node->mac[5] = d;
    node->options = std::move(options);
    return node;
}

TEST(DeviceInfoOptions, KeepsOnlyCompleteOptions) {
    struct Case {
        const char* name;
        Bytes options;
        Bytes expected;
    };
    const Case cases[] = {
        {"none: count 0", {}, {0}},
        {"two whole options", {2, 1, 2, 0x0F, 0xA1, 4, 1, 3}, {2, 1, 2, 0x0F, 0xA1, 4, 1, 3}},
        {"count claims more than present", {5, 4, 1, 2}, {1, 4, 1, 2}},
        {"length runs past the end", {2, 4, 1, 2, 5, 9, 1}, {1, 4, 1, 2}},
        {"type without a length byte", {1, 4}, {0}},
        {"count 0 with trailing bytes", {0, 1, 2, 3}, {0}},
        {"bytes after the counted options are dropped", {1, 4, 1, 2, 0xEE}, {1, 4, 1, 2}},
        {"255 empty options claimed, three present", {255, 1, 0, 2, 0, 3, 0}, {3, 1, 0, 2, 0, 3, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto info = makeDeviceInfo(nodeAt(10, 0, 0, 1, c.options));
        EXPECT_EQ(info->optionList, c.expected);
        ASSERT_TRUE(info->node);
        EXPECT_EQ(info->node->options, c.options) << "the node keeps the bytes as received";
        EXPECT_STREQ(info->loginAccount, "");
        EXPECT_STREQ(info->loginPassword, "");
    }
}

TEST(DeviceListLookup, FindsByExactDottedText) {
    DeviceList list;
    DeviceList::Entries entries;
    entries.push_back(makeDeviceInfo(nodeAt(10, 77, 1, 10, {3, 1, 2, 0x0F, 0xA1, 5, 2, 0x0F, 0xA2, 5, 1, 9})));
    entries.push_back(makeDeviceInfo(nodeAt(10, 77, 2, 10)));
    entries.push_back(makeDeviceInfo(nodeAt(10, 77, 1, 10))); // same IP: the first wins
    list.replace(std::move(entries));

    const std::pair<const char*, int> finds[] = {
        {"10.77.1.10", 0},   {"10.77.2.10", 1},    {"010.077.001.010", 0}, {"10.77.3.10", -1}, {"10.77.1", -1},
        {"10.77.1.10.", -1}, {"10.77.1.256", -1},  {" 10.77.1.10", -1},    {"", -1},           {"a.b.c.d", -1},
        {"10..1.10", -1},    {"1000.77.1.10", -1}, {nullptr, -1},
    };
    for (const auto& [text, position] : finds) {
        SCOPED_TRACE(text ? text : "(null)");
        EXPECT_EQ(list.findDevice(text), position);
    }

    std::uint8_t value[255] = {};
    EXPECT_EQ(list.findOption("10.77.1.10", 5, value), 2) << "the first option of the type wins";
    EXPECT_EQ(value[0], 0x0F);
    EXPECT_EQ(value[1], 0xA2);
    EXPECT_EQ(list.findOption("10.77.1.10", 3, value), 0);
    EXPECT_EQ(list.findOption("10.77.2.10", 5, value), 0) << "no options at all";
    EXPECT_EQ(list.findOption("10.9.9.9", 1, value), 0);
    std::uint8_t small[1] = {};
    EXPECT_EQ(list.findOption("10.77.1.10", 1, std::span<std::uint8_t>(small)), 2) << "value cut to the room";
    EXPECT_EQ(small[0], 0x0F);
}

TEST(DeviceListLookup, EntriesTakenStayValidAcrossAReplace) {
    DeviceList list;
    DeviceList::Entries entries;
    entries.push_back(makeDeviceInfo(nodeAt(10, 77, 1, 10)));
    list.replace(std::move(entries));
    const auto held = list.find("10.77.1.10");
    list.clear();
    ASSERT_TRUE(held);
    EXPECT_EQ(held->node->ip[3], 10);
    EXPECT_EQ(list.size(), 0u);
    EXPECT_EQ(list.at(0), nullptr);
}

TEST(DeviceRows, ColumnsOfTheDevicePage) {
    _KT550Node node;
    node.deviceId = 0x00AB;
    setNodeText(node.deviceName, "Alpha", 5);
    setNodeText(node.projectName, "Beta", 4);
    const std::uint8_t mac[6] = {0x00, 0x0A, 0x1B, 0x2C, 0x3D, 0x4E};
    std::copy(std::begin(mac), std::end(mac), node.mac);
    const std::uint8_t ip[4] = {192, 168, 1, 10}, mask[4] = {255, 255, 255, 0}, gw[4] = {192, 168, 1, 1};
    std::copy(std::begin(ip), std::end(ip), node.ip);
    std::copy(std::begin(mask), std::end(mask), node.mask);
    std::copy(std::begin(gw), std::end(gw), node.gateway);
    const auto row = deviceRowTexts(2, node);
    const std::array<std::string, 8> expected = {
        "3", "00AB", "Alpha", "Beta", "00.0A.1B.2C.3D.4E", "192.168.1.10", "255.255.255.0", "192.168.1.1"};
    EXPECT_EQ(row, expected);
}

TEST(SubnetBroadcasts, OnePerSubnetFromEachAddressOwnMask) {
    using platform::InterfaceAddress;
    auto ip = [](unsigned a, unsigned b, unsigned c, unsigned d) { return (a << 24) | (b << 16) | (c << 8) | d; };
    const std::vector<InterfaceAddress> addresses = {
        {"eth0", ip(192, 168, 1, 10), ip(255, 255, 255, 0)},
        {"eth1", ip(10, 0, 0, 5), ip(255, 0, 0, 0)},
        {"eth1", ip(172, 16, 4, 1), ip(255, 255, 252, 0)},   // secondary address, its own mask
        {"eth2", ip(192, 168, 1, 11), ip(255, 255, 255, 0)}, // same subnet again: no second send
        {"eth3", 0, ip(255, 255, 255, 0)},                   // no usable address
        {"tun0", ip(10, 9, 9, 9), 0xFFFFFFFFu},              // host route: nobody to reach
    };
    const std::vector<std::uint32_t> expected = {ip(192, 168, 1, 255), ip(10, 255, 255, 255), ip(172, 16, 7, 255)};
    EXPECT_EQ(platform::subnetBroadcasts(addresses), expected);
    EXPECT_TRUE(platform::subnetBroadcasts({}).empty());
    EXPECT_EQ(platform::ipv4Text(ip(10, 255, 255, 255)), "10.255.255.255");
}

} // namespace
