// Raw discovery on real links: a "program" namespace joined by a veth pair to a "device"
// namespace whose device sits on no subnet of the program's side. The program's part runs in
// a copy of this test program started inside its namespace (`ip netns exec`, which also gives
// it that namespace's view of /sys); the device is tarn-devsim or, for hostile frames, a small
// AF_PACKET responder of the test's own.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <regex>
#include <sched.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "bridge/portable_sock.h"
#include "device/device_list.h"
#include "device/net_cmd.h"
#include "device/raw_discovery.h"
#include "device/raw_frame.h"
#include "device/search_job.h"
#include "support/netns.h"
#include "support/temp_dir.h"
#include "support/wait.h"

namespace {

using testsupport::waitUntil;

using namespace std::chrono_literals;
using testsupport::CommandResult;
using testsupport::NamedNetns;
using testsupport::VethPair;

const std::string kDevsim = std::string(TARN_BINARY_DIR) + "/sim/tarn-devsim";
constexpr auto kDeadline = 30s;

// What the outer test tells the copy that runs inside the program's namespace.
constexpr const char* kInnerEnv = "TARN_RAW_INNER";
constexpr const char* kExpectEnv = "TARN_RAW_EXPECT";

// The off-subnet device, as devsim is told to describe it.
constexpr const char* kRawIp = "192.168.222.5";
constexpr const char* kRawMac = "02:00:00:00:22:05";
constexpr std::uint16_t kRawId = 0x1234;
constexpr const char* kRawName = "RawDev";
constexpr const char* kRawProject = "Proj";
// A device on the program's own subnet.
constexpr const char* kLocalIp = "10.77.1.7";

std::string env(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// "link/ether 02:..." of an interface, as `ip` reports it.
std::string linkMac(const NamedNetns& ns, const std::string& interface) {
    const CommandResult r = ns.run({"ip", "-o", "link", "show", "dev", interface});
    std::smatch match;
    static const std::regex ether("link/ether ([0-9a-f:]{17})");
    return std::regex_search(r.output, match, ether) ? match[1].str() : "";
}

std::string macColons(const std::uint8_t mac[6]) {
    char text[18];
    std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
    return text;
}

// Runs one of the inner tests below inside `ns`, with `expect` handed over in the environment.
CommandResult runInside(const NamedNetns& ns, const std::string& test, const std::string& expect) {
    ::setenv(kInnerEnv, "1", 1);
    ::setenv(kExpectEnv, expect.c_str(), 1);
    CommandResult r = testsupport::runTestInNamespace(ns, "RawDiscoveryInside." + test);
    ::unsetenv(kInnerEnv);
    ::unsetenv(kExpectEnv);
    // gtest also ends with 0 when the filter matched nothing or the body skipped.
    if (r.exitCode == 0 && r.output.find("[  PASSED  ] 1 test.") == std::string::npos)
        r.exitCode = -1;
    return r;
}

// The program's namespace and the device's, one veth link between them. The program's side
// has 10.77.1.1/24; the device's side carries the off-subnet device's address.
class RawLink : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0)
            GTEST_SKIP() << "needs root for ip netns and packet capture";
        m_host = std::make_unique<NamedNetns>("rawh");
        m_device = std::make_unique<NamedNetns>("rawd");
        if (!m_host->ok() || !m_device->ok())
            GTEST_SKIP() << "no network namespace: " << m_host->error() << m_device->error();
        m_link = std::make_unique<VethPair>(*m_host, "10.77.1.1/24", *m_device, std::string(kRawIp) + "/24");
        ASSERT_TRUE(m_link->ok()) << m_link->error();
        ASSERT_FALSE(m_dir.path().empty());
    }

    // Starts tarn-devsim in the device namespace and waits for its ready line.
    void startDevsim(const std::vector<std::string>& devices) {
        ASSERT_EQ(::access(kDevsim.c_str(), X_OK), 0) << kDevsim << " is not built";
        std::vector<std::string> argv{kDevsim};
        for (const auto& device : devices) {
            argv.push_back("--device");
            argv.push_back(device);
        }
        m_devsimLog = m_dir.file("devsim.log");
        ASSERT_GT(m_device->spawn(argv, m_devsimLog), 0);
        ASSERT_TRUE(waitUntil([&] { return readFile(m_devsimLog).find("devsim ready") != std::string::npos; }))
            << "devsim did not get ready:\n"
            << readFile(m_devsimLog);
    }

    std::string rawDevice() const {
        return std::string("ip=") + kRawIp + ",mask=255.255.255.0,gateway=192.168.222.1,mac=" + kRawMac +
               ",id=" + std::to_string(kRawId) + ",name=" + kRawName + ",project=" + kRawProject;
    }

    // They go in the reverse order: the link, the namespaces, and last the folder.
    testsupport::TempDir m_dir{"raw-test"};
    std::unique_ptr<NamedNetns> m_host;
    std::unique_ptr<NamedNetns> m_device;
    std::unique_ptr<VethPair> m_link;
    std::string m_devsimLog;
};

TEST_F(RawLink, OnlyTheEthernetLinkBecomesACaptureAdapter) {
    // A tun device has no Ethernet address; lo, `any` and the netfilter captures have none
    // either. Only the veth end qualifies.
    const CommandResult tun = m_host->run({"ip", "tuntap", "add", "dev", "rawtun0", "mode", "tun"});
    if (tun.exitCode == 0)
        m_host->run({"ip", "link", "set", "rawtun0", "up"});
    const std::string expected = linkMac(*m_host, m_link->nameA());
    ASSERT_FALSE(expected.empty());
    const CommandResult r = runInside(*m_host, "Adapters", expected);
    EXPECT_EQ(r.exitCode, 0) << r.output;
}

TEST_F(RawLink, TheSearchFallsBackToRawFramesAndFindsTheOffSubnetDevice) {
    startDevsim({rawDevice()});
    const CommandResult r = runInside(*m_host, "Search", "raw");
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_NE(readFile(m_devsimLog).find("raw discovery from"), std::string::npos)
        << "the device never saw a discovery frame:\n"
        << readFile(m_devsimLog);
}

TEST_F(RawLink, NoRawFrameIsSentWhenNetCmdFindsADevice) {
    ASSERT_EQ(m_device->run({"ip", "addr", "add", std::string(kLocalIp) + "/24", "dev", m_link->nameB()}).exitCode, 0);
    startDevsim({rawDevice(), std::string("ip=") + kLocalIp + ",name=Local,mac=02:00:00:00:01:07"});
    const CommandResult r = runInside(*m_host, "Search", "netcmd");
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(readFile(m_devsimLog).find("raw discovery from"), std::string::npos)
        << "a raw discovery ran although NetCmd found a device:\n"
        << readFile(m_devsimLog);
}

// Frames a misbehaving device could put on the wire, answered to every discovery request.
std::vector<std::vector<std::uint8_t>> hostileAnswers(const std::uint8_t requester[6]) {
    auto answerFrom = [&](std::uint8_t last, std::size_t length) {
        std::vector<std::uint8_t> frame(length, 0);
        std::memcpy(frame.data(), requester, 6);
        const std::uint8_t mac[6] = {0x02, 0x00, 0x00, 0x00, 0x33, last};
        std::memcpy(frame.data() + 6, mac, 6);
        frame[12] = 0x08;
        frame[13] = 0x06;
        frame[16] = 0xF0;
        frame[27] = 0x02;
        std::memcpy(frame.data() + 30, mac, 6);
        const std::uint8_t ip[4] = {172, 30, 0, last};
        std::memcpy(frame.data() + 36, ip, 4);
        // Names without a terminator anywhere: cut to their fields.
        std::memset(frame.data() + 48, 'N', length >= 106 ? 58 : length - 48);
        return frame;
    };
    return {
        answerFrom(1, 100),  // would be read past its end
        answerFrom(2, 106),  // the smallest complete answer
        answerFrom(2, 106),  // the same device again
        answerFrom(3, 1514), // full-size frame
        answerFrom(4, 105),
    };
}

// A device stand-in for frames tarn-devsim would never send: runs in a child inside the
// device namespace and answers each discovery request with hostileAnswers().
class Responder {
public:
    Responder(const NamedNetns& ns, const std::string& interface) {
        int ready[2];
        if (::pipe(ready) != 0)
            return;
        std::fflush(nullptr);
        m_pid = ::fork();
        if (m_pid == 0) {
            ::close(ready[0]);
            serve(ns.name(), interface, ready[1]);
            ::_exit(0);
        }
        ::close(ready[1]);
        char ok = 0;
        m_ready = ::read(ready[0], &ok, 1) == 1 && ok == 'R';
        ::close(ready[0]);
    }
    ~Responder() {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            int status = 0;
            ::waitpid(m_pid, &status, 0);
        }
    }
    bool ready() const { return m_ready; }

private:
    static void serve(const std::string& ns, const std::string& interface, int readyFd) {
        const int nsFd = ::open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
        if (nsFd < 0 || ::setns(nsFd, CLONE_NEWNET) != 0)
            return;
        const int sock = ::socket(AF_PACKET, SOCK_RAW, htons(ETH_P_ALL));
        sockaddr_ll address{};
        address.sll_family = AF_PACKET;
        address.sll_protocol = htons(ETH_P_ALL);
        address.sll_ifindex = static_cast<int>(::if_nametoindex(interface.c_str()));
        if (sock < 0 || address.sll_ifindex == 0 ||
            ::bind(sock, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
            return;
        [[maybe_unused]] const ssize_t told = ::write(readyFd, "R", 1);
        std::uint8_t frame[2048];
        for (;;) {
            sockaddr_ll from{};
            socklen_t length = sizeof from;
            const ssize_t got = ::recvfrom(sock, frame, sizeof frame, 0, reinterpret_cast<sockaddr*>(&from), &length);
            if (got < 28 || from.sll_pkttype == PACKET_OUTGOING || frame[16] != 0xF0 || frame[27] != 0x01)
                continue;
            for (const auto& answer : hostileAnswers(frame + 6))
                ::send(sock, answer.data(), answer.size(), 0);
        }
    }

    pid_t m_pid = -1;
    bool m_ready = false;
};

TEST_F(RawLink, ShortAndUnterminatedAnswersOnTheWireAreHandledSafely) {
    Responder responder(*m_device, m_link->nameB());
    ASSERT_TRUE(responder.ready());
    const CommandResult r = runInside(*m_host, "Hostile", "");
    EXPECT_EQ(r.exitCode, 0) << r.output;
}

// ---- inner tests: run only inside the program's namespace, started by the tests above ----

class RawDiscoveryInside : public ::testing::Test {
protected:
    void SetUp() override {
        if (env(kInnerEnv) != "1")
            GTEST_SKIP() << "runs only inside a test namespace, started by the RawLink tests";
    }
};

TEST_F(RawDiscoveryInside, Adapters) {
    RawDiscovery discovery(pcapBackend());
    ASSERT_EQ(discovery.openCaptureAdapters(), 1u);
    EXPECT_EQ(macColons(discovery.adapterMacs()[0].data()), env(kExpectEnv));
    // The capture keeps only discovery answers; the filter must compile for the link type.
    std::unique_ptr<CaptureChannel> capture;
    for (const auto& name : pcapBackend().listDevices())
        if (pcapBackend().macAddress(name))
            capture = pcapBackend().open(name);
    ASSERT_TRUE(capture);
    EXPECT_TRUE(capture->setFilter(kRawAnswerFilter)) << capture->lastError();
}

TEST_F(RawDiscoveryInside, Search) {
    startSocketLayer();
    NetCmd netCmd(0, 3000, 2000);
    RawDiscovery discovery(pcapBackend());
    ASSERT_EQ(discovery.openCaptureAdapters(), 1u);
    DeviceList devices;
    SearchProgress progress;
    const std::size_t found = runSearchJob(
        netCmd, devices, [&discovery] { return discovery.rawDiscover(); }, &progress);

    if (env(kExpectEnv) == "raw") {
        EXPECT_TRUE(progress.rawSearch());
        ASSERT_EQ(found, 1u);
        const auto entry = devices.at(0);
        ASSERT_TRUE(entry && entry->node);
        const _KT550Node& node = *entry->node;
        EXPECT_EQ(dottedText(node.ip), kRawIp);
        EXPECT_EQ(dottedText(node.mask), "255.255.255.0");
        EXPECT_EQ(dottedText(node.gateway), "192.168.222.1");
        EXPECT_EQ(macColons(node.mac), kRawMac);
        EXPECT_EQ(node.deviceId, kRawId);
        EXPECT_STREQ(node.deviceName, kRawName);
        EXPECT_STREQ(node.projectName, kRawProject);
        EXPECT_EQ(devices.findDevice(kRawIp), 0);
        ASSERT_EQ(progress.rawAnswers().size(), 1u);
    } else {
        EXPECT_FALSE(progress.rawSearch());
        EXPECT_GE(devices.findDevice(kLocalIp), 0);
        EXPECT_EQ(discovery.rawAnswerCount(), 0u);
    }
}

TEST_F(RawDiscoveryInside, Hostile) {
    RawDiscovery discovery(pcapBackend());
    ASSERT_EQ(discovery.openCaptureAdapters(), 1u);
    const NodeList nodes = discovery.rawDiscover();
    std::vector<std::string> ips;
    for (const auto& node : nodes) {
        ips.push_back(dottedText(node->ip));
        EXPECT_EQ(std::string(node->deviceName), std::string(19, 'N'));
        EXPECT_EQ(std::string(node->projectName), std::string(49, 'N'));
    }
    EXPECT_EQ(ips, (std::vector<std::string>{"172.30.0.2", "172.30.0.3"}));
    ASSERT_EQ(nodes.size(), 2u);
    EXPECT_EQ(nodes[1]->options.size(), 1514u - 64u);
}

} // namespace
