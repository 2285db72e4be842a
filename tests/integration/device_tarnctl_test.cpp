// tarnctl as a user runs it, inside the host namespace, against the simulator: the device
// table, the image read and write with their exit statuses, and the raw fallback.

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>

#include "device/eeprom_access.h"
#include "device/netns_harness.h"

namespace {

using testdevice::countOf;
using testdevice::DeviceNetworkTest;
using testdevice::readFile;
using testdevice::tarnctlPath;
using testdevice::waitForText;

class Tarnctl : public DeviceNetworkTest {
protected:
    void SetUp() override {
        DeviceNetworkTest::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        if (::access(tarnctlPath().c_str(), X_OK) != 0)
            GTEST_FAIL() << "tarnctl is not built: " << tarnctlPath();
    }

    testsupport::CommandResult tarnctl(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), tarnctlPath());
        return host().run(arguments);
    }
};

TEST_F(Tarnctl, SearchPrintsTheDevicePageColumns) {
    const Subnet one = addSubnet(1);
    ASSERT_TRUE(one.ns);
    startDevsim(*one.ns, {"--device", "ip=10.77.1.10,mac=00:0a:1b:2c:3d:4e,id=171,name=Alpha,project=Proj,"
                                      "gateway=10.77.1.1"});
    const auto result = tarnctl({"search"});
    ASSERT_EQ(result.exitCode, 0) << result.output;
    EXPECT_NE(result.output.find("No  Device ID  Device Name  Project Name  MAC Address        IP Address  "
                                 "Sub Mask       Gateway\n"),
              std::string::npos)
        << result.output;
    EXPECT_NE(result.output.find("1   00AB       Alpha        Proj          00.0A.1B.2C.3D.4E  10.77.1.10  "
                                 "255.255.255.0  10.77.1.1\n"),
              std::string::npos)
        << result.output;
    EXPECT_NE(result.output.find("1 device(s) searched.\n"), std::string::npos);
    EXPECT_EQ(countOf(result.output, "cmdlength"), 0u) << "no trace without --trace";

    const auto traced = tarnctl({"--trace", "search"});
    EXPECT_NE(traced.output.find("\n calling NcmdSrhDevice!"), std::string::npos);
}

TEST_F(Tarnctl, ImageReadAndWriteWithExitStatuses) {
    const Subnet one = addSubnet(1);
    ASSERT_TRUE(one.ns);
    const std::string deviceFile = m_temp.file("device.eeprom");
    const std::string log =
        startDevsim(*one.ns, {"--eeprom", deviceFile, "--device", "ip=10.77.1.10,account=ops,password=secret"});
    const std::string readInto = m_temp.file("read.bin");

    auto result = tarnctl({"eeprom-read", "10.77.1.10", readInto, "--account", "ops", "--password", "secret"});
    ASSERT_EQ(result.exitCode, 0) << result.output;
    std::string image = readFile(readInto);
    ASSERT_EQ(image.size(), kEepromImageSize);
    EXPECT_FALSE(std::ifstream(readInto + ".tmp").good());
    const std::string original = image;

    image[0x40] = 'Z';
    image[1900] = '\x42';
    const std::string writeFrom = m_temp.file("write.bin");
    std::ofstream(writeFrom, std::ios::binary) << image;
    result = tarnctl({"eeprom-write", "10.77.1.10", writeFrom, "--account=ops", "--password=secret"});
    ASSERT_EQ(result.exitCode, 0) << result.output;
    EXPECT_NE(result.output.find("write complete"), std::string::npos);
    ASSERT_TRUE(waitForText(log, "eeprom saved"));
    EXPECT_EQ(readFile(deviceFile), image);

    struct Failure {
        const char* name;
        std::vector<std::string> arguments;
        int exitCode;
        const char* message;
    };
    std::ofstream(m_temp.file("short.bin"), std::ios::binary) << std::string(100, 'x');
    const Failure failures[] = {
        {"wrong password",
         {"eeprom-read", "10.77.1.10", readInto, "--account", "ops", "--password", "nope"},
         4,
         "Login failure."},
        {"no such device", {"eeprom-read", "10.77.1.99", readInto}, 3, "no device with IP 10.77.1.99"},
        {"image of the wrong size", {"eeprom-write", "10.77.1.10", m_temp.file("short.bin")}, 6, "exactly 2048"},
        {"missing file", {"eeprom-write", "10.77.1.10", m_temp.file("absent.bin")}, 6, "cannot read"},
        {"not an address", {"eeprom-read", "10.77.1", readInto}, 2, "not an IPv4 address"},
        {"unknown command", {"reboot"}, 2, "unknown command reboot"},
    };
    for (const Failure& f : failures) {
        SCOPED_TRACE(f.name);
        const auto failed = tarnctl(f.arguments);
        EXPECT_EQ(failed.exitCode, f.exitCode) << failed.output;
        EXPECT_NE(failed.output.find(f.message), std::string::npos) << failed.output;
    }
    EXPECT_EQ(readFile(readInto), original) << "a failed read leaves the earlier file alone";
}

TEST_F(Tarnctl, FallsBackToRawDiscoveryForADeviceOnNoLocalSubnet) {
    // The device's address fits no subnet of the host: the broadcast cannot reach it, the
    // raw discovery frame can.
    const Subnet link = addLink("10.77.1.1/24", "10.88.0.10/24");
    ASSERT_TRUE(link.ns);
    startDevsim(*link.ns, {"--device", "ip=10.88.0.10,mac=02:00:00:00:88:10,name=Remote"});
    const auto result = tarnctl({"search"});
    ASSERT_EQ(result.exitCode, 0) << result.output;
    EXPECT_NE(result.output.find("02.00.00.00.88.10"), std::string::npos) << result.output;
    EXPECT_NE(result.output.find("10.88.0.10"), std::string::npos);
    EXPECT_NE(result.output.find("1 device(s) searched."), std::string::npos);
}

} // namespace
