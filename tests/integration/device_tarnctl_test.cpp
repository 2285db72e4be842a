// tarnctl as a user runs it, inside the host namespace, against the simulator: the device
// table, the image read and write with their exit statuses, the configuration through our
// eeprom_GUI.xml, and the raw fallback.

#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>

#include "device/device_list.h"
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

// A password off the command line: from a file, from standard input, or typed at a prompt
// whose echo is off.
TEST_F(Tarnctl, ThePasswordComesFromAFileStandardInputOrTheTerminalWithoutEcho) {
    const Subnet one = addSubnet(1);
    ASSERT_TRUE(one.ns);
    startDevsim(*one.ns, {"--device", "ip=10.77.1.10,account=ops,password=secret"});
    const std::string image = m_temp.file("read.bin");
    const std::string passwordFile = m_temp.file("password");
    std::ofstream(passwordFile) << "secret\n";

    auto result = tarnctl({"eeprom-read", "10.77.1.10", image, "--account", "ops", "--password-file", passwordFile});
    EXPECT_EQ(result.exitCode, 0) << result.output;
    result =
        host().run({"sh", "-c", "printf 'secret\\n' | \"$0\" eeprom-read 10.77.1.10 \"$1\" --account ops --password -",
                    tarnctlPath(), image});
    EXPECT_EQ(result.exitCode, 0) << result.output;
    result = tarnctl({"eeprom-read", "10.77.1.10", image, "--password", "x", "--password-file", passwordFile});
    EXPECT_EQ(result.exitCode, 2) << result.output;
    result = tarnctl({"eeprom-read", "10.77.1.10", image, "--password-file", m_temp.file("absent")});
    EXPECT_EQ(result.exitCode, 6) << result.output;
    EXPECT_NE(result.output.find("cannot read"), std::string::npos) << result.output;

    // On a terminal, with an account and no password: a prompt, and what is typed never shows.
    int terminal = -1, side = -1;
    ASSERT_EQ(::openpty(&terminal, &side, nullptr, nullptr, nullptr), 0);
    const pid_t child = testsupport::startProgram(
        {"ip", "netns", "exec", host().name(), tarnctlPath(), "eeprom-read", "10.77.1.10", image, "--account", "ops"},
        side, side, true);
    ::close(side);
    ASSERT_GT(child, 0);
    std::string screen;
    const auto readScreen = [&] {
        char buffer[512];
        pollfd p{terminal, POLLIN, 0};
        while (::poll(&p, 1, 0) == 1) {
            const ssize_t n = ::read(terminal, buffer, sizeof buffer);
            if (n <= 0)
                return false;
            screen.append(buffer, static_cast<std::size_t>(n));
        }
        return true;
    };
    ASSERT_TRUE(testsupport::waitUntil([&] {
        readScreen();
        return screen.find("Password for ops at 10.77.1.10: ") != std::string::npos;
    })) << screen;
    termios settings{};
    ASSERT_EQ(::tcgetattr(terminal, &settings), 0);
    EXPECT_EQ(settings.c_lflag & ECHO, 0u) << "the password would show as it is typed";
    ASSERT_EQ(::write(terminal, "secret\n", 7), 7);
    int status = 0;
    ASSERT_TRUE(testsupport::waitUntil([&] {
        readScreen();
        return ::waitpid(child, &status, WNOHANG) == child;
    }));
    readScreen();
    ::close(terminal);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << screen;
    EXPECT_EQ(screen.find("secret"), std::string::npos) << screen;
}

// The value of the search answer's option `type`, or empty.
std::vector<std::uint8_t> optionValue(const std::vector<std::uint8_t>& list, std::uint8_t type) {
    for (std::size_t at = 1; at + 2 <= list.size(); at += 2 + list[at + 1]) {
        const std::size_t length = list[at + 1];
        if (list[at] == type && at + 2 + length <= list.size())
            return std::vector<std::uint8_t>(list.begin() + static_cast<std::ptrdiff_t>(at + 2),
                                             list.begin() + static_cast<std::ptrdiff_t>(at + 2 + length));
    }
    return {};
}

TEST_F(Tarnctl, ConfigShowsAndSetsFieldsOfTheDescription) {
    const Subnet one = addSubnet(1);
    ASSERT_TRUE(one.ns);
    const std::string deviceFile = m_temp.file("device.eeprom");
    const std::string log = startDevsim(
        *one.ns, {"--eeprom", deviceFile, "--device", "ip=10.77.1.10,name=Alpha,mode=tcp-server,data-port=4001"});
    const std::vector<std::string> login = {"--account", "admin", "--password", "admin"};
    auto config = [&](std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), "config");
        arguments.insert(arguments.end(), login.begin(), login.end());
        return tarnctl(arguments);
    };

    const auto shown = config({"show", "10.77.1.10"});
    ASSERT_EQ(shown.exitCode, 0) << shown.output;
    for (const char* line : {"IP address: 10.77.1.10\n", "Device name: Alpha\n", "TCP mode: TCP Server\n",
                             "Transport: TCP\n", "Local port: 4001\n", "Password: ****\n", "Packing/Time-out: "}) {
        EXPECT_NE(shown.output.find(line), std::string::npos) << line << "\n" << shown.output;
    }
    EXPECT_EQ(shown.output.find("Password: admin"), std::string::npos);

    // Refused values: every one named, nothing written, not even the accepted name.
    const auto refused =
        config({"set", "10.77.1.10", "Device name=Changed", "Local port=70000", "Remote IP=1.2.3.999"});
    EXPECT_EQ(refused.exitCode, 7) << refused.output;
    EXPECT_NE(refused.output.find("the value \"70000\" of \"Local port\" is refused."), std::string::npos)
        << refused.output;
    EXPECT_NE(refused.output.find("the value \"1.2.3.999\" of \"Remote IP\" is refused."), std::string::npos);
    EXPECT_NE(refused.output.find("nothing was written to 10.77.1.10."), std::string::npos);
    EXPECT_EQ(countOf(readFile(log), "eeprom write"), 0u) << readFile(log);
    struct Mistake {
        std::vector<std::string> arguments;
        const char* message;
    };
    const Mistake mistakes[] = {
        {{"set", "10.77.1.10", "Colour=red"}, "no field is named \"Colour\""},
        {{"set", "10.77.1.10", "Transport=IPX"}, "\"IPX\" is no choice of \"Transport\" (\"TCP\", \"UDP\")"},
        {{"set", "10.77.1.10", "Device name"}, "is no NAME=VALUE"},
        {{"set", "10.77.1.10"}, "wrong arguments for config"},
    };
    for (const Mistake& m : mistakes) {
        const auto failed = config(m.arguments);
        EXPECT_EQ(failed.exitCode, 2) << failed.output;
        EXPECT_NE(failed.output.find(m.message), std::string::npos) << failed.output;
    }
    EXPECT_EQ(countOf(readFile(log), "login ok"), 2u) << "mistakes are found before the network";

    const auto set = config({"set", "10.77.1.10", "Device name=Renamed", "Transport=UDP", "IP address=10.77.1.20"});
    ASSERT_EQ(set.exitCode, 0) << set.output;
    ASSERT_TRUE(waitForText(log, "eeprom saved"));
    const std::string image = readFile(deviceFile);
    ASSERT_EQ(image.size(), kEepromImageSize);
    EXPECT_EQ(image[0xC0], 3) << "UDP";

    // The next search answer carries the new values.
    DeviceList devices;
    ASSERT_EQ(searchFromHost(devices).count, 1u);
    const auto entry = devices.snapshot().at(0);
    EXPECT_STREQ(entry->node->deviceName, "Renamed");
    EXPECT_EQ(dottedText(entry->node->ip), "10.77.1.20");
    EXPECT_EQ(optionValue(entry->optionList, 4), std::vector<std::uint8_t>{3}) << "option 4: UDP";
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
