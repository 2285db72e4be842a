// Login and EEPROM image transfer with the real simulator across namespaces: the login
// outcomes and their traces, a full image round trip that the next search reflects, and
// forged answers from another host of the device's link turned away.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

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
        EepromImage image{};
        DeviceAccess access(netCmd, devices, image);
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

// Floods the host's NetCmd port, from `sources` on a thread inside the device namespace, with
// answers to the login (refusals, whose connection ID is its own) and EEPROM blocks 0 and
// 1024 (filled with kForgedByte), until destroyed.
class ForgedAnswerFlood {
public:
    static constexpr std::uint8_t kForgedByte = 0xEE;
    static constexpr std::uint8_t kConnection[4] = {0xBA, 0xD0, 0xBA, 0xD0};

    ForgedAnswerFlood(const std::string& ns, std::vector<std::pair<std::string, std::uint16_t>> sources)
        : m_thread([this, ns, sources] {
              if (!runInNamedNamespace(ns, [&] { flood(sources); }))
                  m_failed = true;
          }) {}
    ~ForgedAnswerFlood() {
        m_stop = true;
        m_thread.join();
    }
    ForgedAnswerFlood(const ForgedAnswerFlood&) = delete;
    ForgedAnswerFlood& operator=(const ForgedAnswerFlood&) = delete;

    bool waitUntilSending() const {
        for (int i = 0; i < 3000 && m_rounds.load() == 0 && !m_failed.load(); ++i)
            ::poll(nullptr, 0, 10);
        return m_rounds.load() > 0;
    }

private:
    static std::vector<std::uint8_t> answer(std::size_t length, std::uint8_t group, std::uint8_t opcode) {
        std::vector<std::uint8_t> a(length, 0);
        a[0] = 0x01;
        a[2] = static_cast<std::uint8_t>(length >> 8);
        a[3] = static_cast<std::uint8_t>(length);
        a[8] = group;
        a[9] = opcode;
        return a;
    }

    void flood(const std::vector<std::pair<std::string, std::uint16_t>>& sources) {
        std::vector<std::vector<std::uint8_t>> answers{answer(15, 0, 0x06), answer(15, 0, 0x08)};
        for (auto& refusal : answers) {
            std::copy(std::begin(kConnection), std::end(kConnection), refusal.begin() + 4);
            refusal[14] = 1;
        }
        for (const int start : {0, 1024}) {
            auto block = answer(14 + 1024, 1, 0x06);
            block[10] = static_cast<std::uint8_t>(start >> 8);
            block[12] = 1024 >> 8;
            std::fill(block.begin() + 14, block.end(), kForgedByte);
            answers.push_back(block);
        }
        std::vector<int> sockets;
        for (const auto& [address, port] : sources) {
            const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            sockaddr_in from{};
            from.sin_family = AF_INET;
            from.sin_port = htons(port);
            ::inet_pton(AF_INET, address.c_str(), &from.sin_addr);
            if (s < 0 || ::bind(s, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0) {
                ADD_FAILURE() << "forger cannot bind " << address << ":" << port;
                m_failed = true;
                if (s >= 0)
                    ::close(s);
                break;
            }
            sockets.push_back(s);
        }
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(8000);
        ::inet_pton(AF_INET, "10.77.1.1", &to.sin_addr);
        while (!m_failed && !m_stop) {
            for (const auto& a : answers)
                for (const int s : sockets)
                    ::sendto(s, a.data(), a.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
            ++m_rounds;
            ::poll(nullptr, 0, 1);
        }
        for (const int s : sockets)
            ::close(s);
    }

    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_failed{false};
    std::atomic<int> m_rounds{0};
    std::thread m_thread;
};

// Stops a simulator of the test (SIGSTOP) and waits until it is stopped; continues it on
// continueNow() and at the end.
class Freezer {
public:
    explicit Freezer(pid_t pid) : m_pid(pid) {}
    ~Freezer() { continueNow(); }
    Freezer(const Freezer&) = delete;
    Freezer& operator=(const Freezer&) = delete;

    bool stop() {
        if (::kill(m_pid, SIGSTOP) != 0)
            return false;
        const std::string stat = "/proc/" + std::to_string(m_pid) + "/stat";
        for (int i = 0; i < 3000; ++i) {
            // State is the field after the parenthesised name.
            const std::string text = readFile(stat);
            const std::size_t end = text.rfind(')');
            if (end != std::string::npos && end + 2 < text.size() && text[end + 2] == 'T')
                return true;
            ::poll(nullptr, 0, 10);
        }
        return false;
    }
    void continueNow() { ::kill(m_pid, SIGCONT); }

private:
    pid_t m_pid;
};

// The device is held still before each request, so the forged answers are the first to come;
// only when NetCmd has turned one away (its trace says so) may the device answer. Were a forged
// answer taken, the device would still be stopped and the outcome the forger's.
TEST_F(DeviceEeprom, AnswersFromAnotherHostOfTheLinkAreIgnored) {
    const Subnet one = addSubnet(1);
    ASSERT_TRUE(one.ns);
    const std::string log = m_temp.file("forged.log");
    const pid_t devsim =
        one.ns->spawn({testdevice::devsimPath(), "--device", "ip=10.77.1.10,name=Before,password=secret"}, log);
    ASSERT_GT(devsim, 0);
    ASSERT_TRUE(waitForText(log, "devsim ready")) << readFile(log);
    DeviceList devices;
    ASSERT_EQ(searchFromHost(devices).count, 1u);
    // A second host on the device's link, and the device's own address with another port.
    const auto added = one.ns->run({"ip", "addr", "add", "10.77.1.11/24", "dev", one.deviceInterface});
    ASSERT_EQ(added.exitCode, 0) << added.output;
    ForgedAnswerFlood forger(one.ns->name(), {{"10.77.1.11", 8000}, {"10.77.1.10", 8001}});
    ASSERT_TRUE(forger.waitUntilSending());
    Freezer device(devsim);

    EepromImage image{};
    std::string trace;
    ASSERT_TRUE(runInNamedNamespace(host().name(), [&] {
        NetCmd netCmd(0, 3000, 2000);
        netCmd.setTraceSink([&](std::string_view text) {
            trace.append(text);
            if (text.find("ignored answer from") != std::string_view::npos)
                device.continueNow();
        });
        DeviceAccess access(netCmd, devices, image);
        ASSERT_TRUE(device.stop());
        ASSERT_EQ(access.login("10.77.1.10", "admin", "secret"), 1) << trace;
        EXPECT_NE(0, std::memcmp(devices.find("10.77.1.10")->node->connectionId, ForgedAnswerFlood::kConnection, 4));
        for (const std::uint16_t start : {std::uint16_t{0}, std::uint16_t{1024}}) {
            SCOPED_TRACE(start);
            ASSERT_TRUE(device.stop());
            EXPECT_EQ(access.readEEPROM("10.77.1.10", start, 1024, image.data() + start), 1) << trace;
        }
    }));
    EXPECT_NE(trace.find("\n ignored answer from 10.77.1.11:8000"), std::string::npos);
    EXPECT_NE(trace.find("\n ignored answer from 10.77.1.10:8001"), std::string::npos);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(image.data()) + kImageDeviceName), "Before");
    for (const std::size_t block : {0u, 1024u}) {
        EXPECT_FALSE(std::all_of(image.begin() + static_cast<std::ptrdiff_t>(block),
                                 image.begin() + static_cast<std::ptrdiff_t>(block + 1024),
                                 [](std::uint8_t b) { return b == ForgedAnswerFlood::kForgedByte; }))
            << "block " << block << " is the forged one";
    }
    EXPECT_TRUE(waitForText(log, "login ok admin"));
}

} // namespace
