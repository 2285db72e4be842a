// Login and EEPROM image transfer with the real simulator across namespaces: the login
// outcomes and their traces, and a full image round trip that the next search reflects.

#include <gtest/gtest.h>

#include <cstring>

#include "device/eeprom_access.h"
#include "device/netns_harness.h"

namespace {

using testdevice::countOf;
using testdevice::DeviceNetworkTest;
using testdevice::readFile;
using testdevice::runInNamedNamespace;
using testdevice::waitForText;

class DeviceEeprom : public DeviceNetworkTest {};

// Where the simulator keeps the device name in its image.
constexpr std::size_t kImageDeviceName = 0x40;

TEST_F(DeviceEeprom, LoginSucceedsAndFailsWithTheirTraces) {
    const Subnet one = addSubnet(1), two = addSubnet(2);
    ASSERT_TRUE(one.ns && two.ns);
    const std::string log = startDevsim(*one.ns, {"--device", "ip=10.77.1.10,account=admin,password=secret"});
    startDevsim(*two.ns, {"--device", "ip=10.77.2.10,refuse-login=1"});
    DeviceList devices;
    ASSERT_EQ(searchFromHost(devices).count, 2u);

    struct Case {
        const char* name;
        const char* ip;
        const char* password;
        int result;
        const char* trace;
    };
    const Case cases[] = {
        {"wrong password", "10.77.1.10", "wrong", -1, "NetCmd Login Fail:Invalid User or Pwd!"},
        {"login start refused", "10.77.2.10", "admin", -1, "NetCmd Login Fail:Connection ID!"},
        {"accepted", "10.77.1.10", "secret", 1, ""},
        {"no such device", "10.77.3.10", "secret", -1, ""},
    };
    ASSERT_TRUE(runInNamedNamespace(host().name(), [&] {
        NetCmd netCmd(0, 3000, 2000);
        std::string trace;
        netCmd.setTraceSink([&](std::string_view text) { trace.append(text); });
        DeviceAccess access(netCmd, devices);
        for (const Case& c : cases) {
            SCOPED_TRACE(c.name);
            trace.clear();
            EXPECT_EQ(access.login(c.ip, "admin", c.password), c.result);
            EXPECT_EQ(trace, c.trace);
        }
    }));
    EXPECT_TRUE(devices.find("10.77.1.10")->node->loggedIn());
    EXPECT_FALSE(devices.find("10.77.2.10")->node->loggedIn());
    EXPECT_TRUE(waitForText(log, "login ok admin"));
    EXPECT_EQ(countOf(readFile(log), "login refused"), 1u);
}

TEST_F(DeviceEeprom, FullImageRoundTripInTwoBlocks) {
    const Subnet one = addSubnet(1);
    ASSERT_TRUE(one.ns);
    const std::string imageFile = m_temp.file("device.eeprom");
    const std::string log =
        startDevsim(*one.ns, {"--eeprom", imageFile, "--device", "ip=10.77.1.10,name=Before,password=secret"});
    DeviceList devices;
    ASSERT_EQ(searchFromHost(devices).count, 1u);
    EXPECT_STREQ(devices.at(0)->node->deviceName, "Before");

    EepromImage image{};
    ASSERT_TRUE(runInNamedNamespace(host().name(), [&] {
        NetCmd netCmd(0, 3000, 2000);
        DeviceAccess access(netCmd, devices, image);
        ASSERT_EQ(access.login("10.77.1.10", "admin", "secret"), 1);
        ASSERT_EQ(access.readImage("10.77.1.10", 1), 0);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(image.data()) + kImageDeviceName), "Before");

        // Rename the device and touch both blocks.
        std::memset(image.data() + kImageDeviceName, 0, 20);
        std::memcpy(image.data() + kImageDeviceName, "Renamed", 7);
        image[1500] = 0x5A;
        image[2047] = 0xA5;
        ASSERT_EQ(access.writeImage("10.77.1.10", 1), 0);
        ASSERT_EQ(access.writeDone("10.77.1.10"), 1);
    }));

    ASSERT_TRUE(waitForText(log, "eeprom saved")) << readFile(log);
    const std::string saved = readFile(imageFile);
    ASSERT_EQ(saved.size(), kEepromImageSize);
    EXPECT_EQ(0, std::memcmp(saved.data(), image.data(), kEepromImageSize)) << "the device keeps what was written";
    const std::string events = readFile(log);
    for (const char* line : {"eeprom read 0 1024", "eeprom read 1024 1024", "eeprom write 0 1024",
                             "eeprom write 1024 1024", "eeprom commit"}) {
        EXPECT_EQ(countOf(events, line), 1u) << line;
    }

    // The next search shows the new name: the list is rebuilt, the old login forgotten.
    ASSERT_EQ(searchFromHost(devices).count, 1u);
    EXPECT_STREQ(devices.at(0)->node->deviceName, "Renamed");
    EXPECT_FALSE(devices.at(0)->node->loggedIn());
}

} // namespace
