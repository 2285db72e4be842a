// The device search between network namespaces with the real simulator: two subnets, one
// device per MAC, an adapter without an address, and a silent device.

#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "device/eeprom_access.h"
#include "device/netcmd_codec.h"
#include "device/netns_harness.h"

namespace {

using testdevice::countOf;
using testdevice::DeviceNetworkTest;
using testdevice::readFile;

class DeviceSearch : public DeviceNetworkTest {};

std::array<std::uint8_t, 4> octets(const char* text) {
    return *parseDottedIp(text);
}

TEST_F(DeviceSearch, FindsDevicesOnTwoSubnetsWithEveryField) {
    const Subnet one = addSubnet(1), two = addSubnet(2);
    ASSERT_TRUE(one.ns && two.ns);
    startDevsim(*one.ns, {"--device", "ip=10.77.1.10,mac=02:00:00:00:01:10,id=4660,name=Alpha,project=Project One,"
                                      "gateway=10.77.1.1,mode=tcp-server,data-port=4001,control-port=4002"});
    startDevsim(*two.ns, {"--device", "ip=10.77.2.10,mac=02:00:00:00:02:10,id=48879,name=Bravo,project=Project Two,"
                                      "mask=255.255.255.0,gateway=10.77.2.1,mode=udp,data-port=5001,"
                                      "remote=10.77.2.1:5002,control-port=0"});
    DeviceList devices;
    const auto outcome = searchFromHost(devices);
    ASSERT_EQ(outcome.count, 2u) << outcome.trace;
    EXPECT_EQ(outcome.sent, 6u) << "three passes to 10.77.1.255 and 10.77.2.255";

    struct Expected {
        const char* ip;
        std::uint16_t id;
        std::uint8_t mac[6];
        const char* gateway;
        const char* name;
        const char* project;
        std::uint16_t port;
        std::uint8_t mode;
        int controlPort; // 0: no option 5
    };
    const Expected expected[] = {
        {"10.77.1.10", 4660, {2, 0, 0, 0, 1, 0x10}, "10.77.1.1", "Alpha", "Project One", 4001, 1, 4002},
        {"10.77.2.10", 48879, {2, 0, 0, 0, 2, 0x10}, "10.77.2.1", "Bravo", "Project Two", 5001, 3, 0},
    };
    for (const Expected& e : expected) {
        SCOPED_TRACE(e.ip);
        const auto device = devices.find(e.ip);
        ASSERT_TRUE(device);
        const _KT550Node& node = *device->node;
        EXPECT_EQ(node.deviceId, e.id);
        EXPECT_EQ(0, std::memcmp(node.mac, e.mac, 6));
        EXPECT_EQ(0, std::memcmp(node.mask, octets("255.255.255.0").data(), 4));
        EXPECT_EQ(0, std::memcmp(node.gateway, octets(e.gateway).data(), 4));
        EXPECT_STREQ(node.deviceName, e.name);
        EXPECT_STREQ(node.projectName, e.project);
        EXPECT_FALSE(node.loggedIn());
        std::uint8_t value[255];
        ASSERT_EQ(devices.findOption(e.ip, 1, value), 2);
        EXPECT_EQ(netcmd::readBe16(value), e.port);
        ASSERT_EQ(devices.findOption(e.ip, 4, value), 1);
        EXPECT_EQ(value[0], e.mode);
        if (e.controlPort) {
            ASSERT_EQ(devices.findOption(e.ip, 5, value), 2);
            EXPECT_EQ(netcmd::readBe16(value), e.controlPort);
        } else {
            EXPECT_EQ(devices.findOption(e.ip, 5, value), 0);
        }
        EXPECT_GT(devices.findOption(e.ip, 3, value), 0);
    }
    const auto row = deviceRowTexts(0, *devices.find("10.77.2.10")->node);
    EXPECT_EQ(row[1], "BEEF");
    EXPECT_EQ(row[4], "02.00.00.00.02.10");
    EXPECT_EQ(row[5], "10.77.2.10");
}

TEST_F(DeviceSearch, TwoAnswersFromOneMacGiveOneDevice) {
    const Subnet one = addSubnet(1), two = addSubnet(2);
    ASSERT_TRUE(one.ns && two.ns);
    // Every answer sent twice, and the same MAC again on the other subnet.
    const std::string log =
        startDevsim(*one.ns, {"--answer-twice", "--device", "ip=10.77.1.10,mac=02:00:00:00:00:77,name=First"});
    startDevsim(*two.ns, {"--device", "ip=10.77.2.10,mac=02:00:00:00:00:77,name=Second"});
    DeviceList devices;
    const auto outcome = searchFromHost(devices);
    ASSERT_EQ(outcome.count, 1u) << outcome.trace;
    const auto device = devices.at(0);
    const std::uint8_t mac[6] = {2, 0, 0, 0, 0, 0x77};
    EXPECT_EQ(0, std::memcmp(device->node->mac, mac, 6));
    // The first answer's fields stay together: a later answer never mixes in.
    const std::string name = device->node->deviceName;
    EXPECT_EQ(name == "First" ? "10.77.1.10" : "10.77.2.10", dottedText(device->node->ip));
    EXPECT_GE(countOf(outcome.trace, "\n   NnameLength="), 1u);
    EXPECT_EQ(countOf(outcome.trace, "\n   NnameLength="), 1u) << "repeats are dropped before they are parsed";
    EXPECT_GE(countOf(readFile(log), "search from"), 3u);
}

TEST_F(DeviceSearch, AdapterWithoutAddressSendsNothing) {
    const Subnet one = addSubnet(1), bare = addSubnet(2);
    ASSERT_TRUE(one.ns && bare.ns);
    // The host end of the second link keeps no address of any kind: no IPv4, and IPv6 off so
    // the kernel's own solicitations cannot move the counter.
    ASSERT_EQ(host().run({"sysctl", "-qw", "net.ipv6.conf." + bare.hostInterface + ".disable_ipv6=1"}).exitCode, 0);
    ASSERT_EQ(host().run({"ip", "addr", "flush", "dev", bare.hostInterface}).exitCode, 0);
    startDevsim(*one.ns, {"--device", "ip=10.77.1.10,name=Reached"});
    const std::string bareLog = startDevsim(*bare.ns, {"--device", "ip=10.77.2.10,name=Unreached"});

    const std::string counter = "/sys/class/net/" + bare.hostInterface + "/statistics/tx_packets";
    const std::string before = inHost({"cat", counter});
    DeviceList devices;
    const auto outcome = searchFromHost(devices);
    const std::string after = inHost({"cat", counter});
    ASSERT_FALSE(before.empty());
    EXPECT_EQ(before, after) << "a frame left through the adapter without an address";
    EXPECT_EQ(outcome.sent, 3u) << "three passes to the one usable subnet";
    ASSERT_EQ(outcome.count, 1u);
    EXPECT_STREQ(devices.at(0)->node->deviceName, "Reached");
    EXPECT_EQ(countOf(readFile(bareLog), "search from"), 0u);
}

TEST_F(DeviceSearch, SilentDeviceFailsWithinTheAnswerPolls) {
    const Subnet one = addSubnet(1);
    ASSERT_TRUE(one.ns);
    startDevsim(*one.ns, {"--silent", "--device", "ip=10.77.1.10"});
    DeviceList devices;
    const auto outcome = searchFromHost(devices);
    EXPECT_EQ(outcome.count, 0u);
    // Three passes of five polls, each finding nothing but, once per pass, the kernel's
    // loop-back of our own 12-byte broadcast (whose length field claims 0xC0 and is skipped).
    const std::size_t empty = countOf(outcome.trace, "\n ackLength=[-1]\n Rx too much data from UDP !");
    const std::size_t echoes = countOf(outcome.trace, "\n ackLength=[12]\n cmdlength=[192]");
    EXPECT_EQ(empty + echoes, 15u) << outcome.trace;
    EXPECT_LE(echoes, 3u);

    // The device is listed by hand; every exchange with it runs out of polls.
    auto node = std::make_unique<_KT550Node>();
    std::memcpy(node->ip, octets("10.77.1.10").data(), 4);
    DeviceList::Entries entries;
    entries.push_back(makeDeviceInfo(std::move(node)));
    devices.replace(std::move(entries));
    const bool ran = testdevice::runInNamedNamespace(host().name(), [&] {
        NetCmd netCmd(0, 3000, 2000);
        std::string trace;
        netCmd.setTraceSink([&](std::string_view text) { trace.append(text); });
        EepromImage image{};
        DeviceAccess access(netCmd, devices, image);
        EXPECT_EQ(access.login("10.77.1.10", "admin", "admin"), -1);
        EXPECT_EQ(trace, "NetCmd Login Fail:Didn't Receive Ack!");

        trace.clear();
        const std::uint8_t connection[4] = {1, 2, 3, 4};
        std::memcpy(devices.at(0)->node->connectionId, connection, 4);
        EXPECT_EQ(access.readImage("10.77.1.10", 1), -1);
        // Two tries of block 0, ten polls each; block 1 is never asked for.
        EXPECT_EQ(countOf(trace, "\n Rx too much data from UDP !"), 2u * netCmd.answerPolls);
        EXPECT_EQ(countOf(trace, "NetCmd Read EEPROM Fail:Never Receive Ack!"), 2u);

        trace.clear();
        EXPECT_EQ(access.writeImage("10.77.1.10", 1), -1);
        EXPECT_EQ(countOf(trace, "NetCmd Write EEPROM Fail:Never Receive Ack!"), 2u);
        EXPECT_EQ(access.writeDone("10.77.1.10"), -1);
    });
    EXPECT_TRUE(ran);
}

} // namespace
