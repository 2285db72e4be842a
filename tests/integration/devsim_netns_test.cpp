// tarn-devsim on real links: devices on two subnets in their own network namespace, reached
// from a host namespace over veth pairs by subnet broadcast, limited broadcast and the raw
// discovery frame; and a thousand devices on one interface. Nothing leaves the namespaces.

#include <gtest/gtest.h>

#include <fstream>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <map>
#include <memory>
#include <set>

#include "integration/devsim_harness.h"
#include "support/netns.h"

using namespace devsimtest;
using testsupport::NamedNetns;
using testsupport::VethPair;

namespace {

// Host namespace (the test's sockets) and device namespace (the simulator), joined by two
// veth pairs: 10.77.1.0/24 and 10.77.2.0/24.
class DevsimOnLinks : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0)
            GTEST_SKIP() << "needs root to create network namespaces";
        m_host = std::make_unique<NamedNetns>("dsh");
        m_device = std::make_unique<NamedNetns>("dsd");
        if (!m_host->ok() || !m_device->ok())
            GTEST_SKIP() << "no network namespace: " << m_host->error() << m_device->error();
        m_one = std::make_unique<VethPair>(*m_host, "10.77.1.1/24", *m_device, "10.77.1.10/24");
        m_two = std::make_unique<VethPair>(*m_host, "10.77.2.1/24", *m_device, "10.77.2.10/24");
        ASSERT_TRUE(m_one->ok()) << m_one->error();
        ASSERT_TRUE(m_two->ok()) << m_two->error();
        ASSERT_EQ(m_device->run({"ip", "addr", "add", "10.77.1.11/24", "dev", m_one->nameB()}).exitCode, 0);
    }
    void TearDown() override {
        m_sim.reset();
        m_two.reset();
        m_one.reset();
        m_device.reset();
        m_host.reset();
    }

    void startThreeDevices(const std::vector<std::string>& extra = {}) {
        std::vector<std::string> args = extra;
        for (const char* spec : {"ip=10.77.1.10,mac=02:00:00:00:01:10,id=0x0110,name=alpha-device,project=first",
                                 "ip=10.77.1.11,mac=02:00:00:00:01:11,id=0x0111,name=beta,project=second",
                                 "ip=10.77.2.10,mac=02:00:00:00:02:10,id=0x0210,name=gamma,project=third"}) {
            args.push_back("--device");
            args.push_back(spec);
        }
        m_sim = std::make_unique<Devsim>(args, std::vector<std::string>{"ip", "netns", "exec", m_device->name()});
        ASSERT_TRUE(m_sim->waitReady()) << m_sim->transcript();
    }

    std::unique_ptr<UdpPeer> hostUdp(const std::string& bindIp, const std::string& device = {}) {
        const int fd = socketInNamespace(m_host->name(), AF_INET, SOCK_DGRAM, 0);
        if (!device.empty())
            ::setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, device.c_str(), static_cast<socklen_t>(device.size()));
        return std::make_unique<UdpPeer>(bindIp, 0, fd);
    }

    // Collects search answers (by answering address) until `count` arrived or the deadline.
    static std::map<std::string, Bytes> answers(UdpPeer& host, std::size_t count) {
        std::map<std::string, Bytes> found;
        const auto deadline = Clock::now() + kDeadline;
        while (found.size() < count && Clock::now() < deadline) {
            auto d = host.receive(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()));
            if (d && d->bytes.size() > 9 && d->bytes[9] == 0x02)
                found[addressText(d->from)] = d->bytes;
        }
        return found;
    }

    std::unique_ptr<NamedNetns> m_host, m_device;
    std::unique_ptr<VethPair> m_one, m_two;
    std::unique_ptr<Devsim> m_sim;
};

TEST_F(DevsimOnLinks, SubnetBroadcastIsAnsweredByTheDevicesOfThatSubnetOnly) {
    startThreeDevices();
    auto host = hostUdp("10.77.1.1");
    ASSERT_TRUE(host->ok());
    ASSERT_TRUE(host->send("10.77.1.255", 8000, request::search()));
    const auto first = answers(*host, 2);
    ASSERT_EQ(first.size(), 2u) << m_sim->transcript();
    EXPECT_TRUE(first.count("10.77.1.10:8000") && first.count("10.77.1.11:8000"));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&first.at("10.77.1.10:8000")[30])), "alpha-device");
    // The device answers one request at a time, so every answer to the broadcast is out
    // before the answer to this unicast; nothing else may be waiting behind it.
    ASSERT_TRUE(host->send("10.77.1.10", 8000, request::search()));
    const auto unicast = answers(*host, 1);
    ASSERT_EQ(unicast.size(), 1u);
    EXPECT_EQ(host->drain(), 0u);

    auto second = hostUdp("10.77.2.1");
    ASSERT_TRUE(second->send("10.77.2.255", 8000, request::search()));
    const auto other = answers(*second, 1);
    ASSERT_EQ(other.size(), 1u);
    EXPECT_TRUE(other.count("10.77.2.10:8000"));
    ASSERT_TRUE(second->send("10.77.2.10", 8000, request::search()));
    EXPECT_EQ(answers(*second, 1).size(), 1u);
    EXPECT_EQ(second->drain(), 0u);
}

TEST_F(DevsimOnLinks, LimitedBroadcastReachesTheDevicesOfItsInterface) {
    startThreeDevices();
    auto host = hostUdp("0.0.0.0", m_two->nameA());
    ASSERT_TRUE(host->ok());
    ASSERT_TRUE(host->send("255.255.255.255", 8000, request::search()));
    const auto found = answers(*host, 1);
    ASSERT_EQ(found.size(), 1u) << m_sim->transcript();
    EXPECT_TRUE(found.count("10.77.2.10:8000"));
}

// The raw side: one AF_PACKET socket on the host end of the first link.
class RawPort {
public:
    RawPort(const std::string& netns, const std::string& interface)
        : m_fd(socketInNamespace(netns, AF_PACKET, SOCK_RAW, htons(ETH_P_ARP))) {
        if (m_fd < 0)
            return;
        ifreq request{};
        std::snprintf(request.ifr_name, IFNAMSIZ, "%s", interface.c_str());
        if (::ioctl(m_fd, SIOCGIFINDEX, &request) != 0)
            return;
        m_index = request.ifr_ifindex;
        if (::ioctl(m_fd, SIOCGIFHWADDR, &request) != 0)
            return;
        std::memcpy(m_mac, request.ifr_hwaddr.sa_data, 6);
        sockaddr_ll address{};
        address.sll_family = AF_PACKET;
        address.sll_protocol = htons(ETH_P_ARP);
        address.sll_ifindex = m_index;
        m_ok = ::bind(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    }
    ~RawPort() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    bool ok() const { return m_ok; }
    Bytes mac() const { return Bytes(m_mac, m_mac + 6); }

    bool sendDiscovery() {
        Bytes frame(60, 0);
        std::fill_n(frame.begin(), 6, 0xFF);
        std::copy_n(m_mac, 6, frame.begin() + 6);
        const Bytes tail = hex("08 06 00 01 f0 00 00 01 00 c0 00 00 00 00 00 01 ff ff");
        std::copy(tail.begin(), tail.end(), frame.begin() + 12);
        sockaddr_ll to{};
        to.sll_family = AF_PACKET;
        to.sll_ifindex = m_index;
        to.sll_halen = 6;
        std::fill_n(to.sll_addr, 6, 0xFF);
        return ::sendto(m_fd, frame.data(), frame.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 60;
    }
    // Discovery answers by source MAC, until `count` arrived or the deadline.
    std::map<std::string, Bytes> answers(std::size_t count) {
        std::map<std::string, Bytes> found;
        const auto deadline = Clock::now() + kDeadline;
        while (found.size() < count && Clock::now() < deadline) {
            pollfd p{m_fd, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0)
                continue;
            Bytes frame(2048);
            sockaddr_ll from{};
            socklen_t length = sizeof from;
            const ssize_t n =
                ::recvfrom(m_fd, frame.data(), frame.size(), 0, reinterpret_cast<sockaddr*>(&from), &length);
            if (n < 28 || from.sll_pkttype == PACKET_OUTGOING)
                continue;
            frame.resize(static_cast<std::size_t>(n));
            if (frame[16] == 0xF0 && frame[17] == 0x00 && frame[26] == 0x00 && frame[27] == 0x02)
                found[hexText(Bytes(frame.begin() + 6, frame.begin() + 12))] = frame;
        }
        return found;
    }

private:
    int m_fd;
    int m_index = 0;
    std::uint8_t m_mac[6] = {};
    bool m_ok = false;
};

TEST_F(DevsimOnLinks, RawDiscoveryFrameIsAnsweredByEachDeviceOfTheLink) {
    startThreeDevices();
    RawPort port(m_host->name(), m_one->nameA());
    ASSERT_TRUE(port.ok()) << "no packet socket in the host namespace";
    ASSERT_TRUE(port.sendDiscovery());
    const auto found = port.answers(2);
    ASSERT_EQ(found.size(), 2u) << m_sim->transcript();
    ASSERT_TRUE(found.count("02 00 00 00 01 10"));
    EXPECT_TRUE(found.count("02 00 00 00 01 11"));

    const Bytes& frame = found.at("02 00 00 00 01 10");
    ASSERT_GE(frame.size(), 106u);
    auto part = [&](std::size_t at, std::size_t size) {
        return hexText(Bytes(frame.begin() + static_cast<std::ptrdiff_t>(at),
                             frame.begin() + static_cast<std::ptrdiff_t>(at + size)));
    };
    EXPECT_EQ(part(0, 6), hexText(port.mac()));
    EXPECT_EQ(part(12, 16), "08 06 00 01 f0 00 10 01 00 c0 00 00 00 00 00 02");
    EXPECT_EQ(part(30, 18), "02 00 00 00 01 10 0a 4d 01 0a ff ff ff 00 00 00 00 00");
    // Names cut to fit their 8-byte windows at 48 and 56; options from 64.
    EXPECT_EQ(part(48, 16), hexText(hex("61 6c 70 68 61 2d 64 00 66 69 72 73 74 00 00 00")));
    EXPECT_EQ(part(64, 19), "04 01 02 0f a1 03 04 0f a1 00 00 04 01 01 05 02 0f a2 00");
    EXPECT_TRUE(m_sim->waitLine("raw discovery from " + [&] {
        std::string text = hexText(port.mac());
        std::replace(text.begin(), text.end(), ' ', ':');
        return text;
    }()));
}

TEST_F(DevsimOnLinks, SilentDeviceIgnoresTheRawFrame) {
    startThreeDevices();
    EXPECT_EQ(m_sim->ask("silent 10.77.1.11 on"), "ok silent on");
    RawPort port(m_host->name(), m_one->nameA());
    ASSERT_TRUE(port.ok());
    ASSERT_TRUE(port.sendDiscovery());
    const auto found = port.answers(1);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_TRUE(found.count("02 00 00 00 01 10"));
    // A second round: had the silent device answered the first, it would be here by now.
    ASSERT_TRUE(port.sendDiscovery());
    const auto again = port.answers(1);
    EXPECT_EQ(again.size(), 1u);
    EXPECT_FALSE(again.count("02 00 00 00 01 11"));
}

TEST_F(DevsimOnLinks, AThousandDevicesOnOneInterfaceAllAnswerOneBroadcast) {
    // A third link, 10.78.0.0/22, whose device end carries a thousand device addresses from
    // 10.78.0.3 on (10.78.0.255 and the like are ordinary host addresses in a /22).
    VethPair link(*m_host, "10.78.0.1/22", *m_device, "10.78.0.2/22");
    ASSERT_TRUE(link.ok()) << link.error();
    const TempDir dir("devsim");
    const std::string batch = dir.file("addresses");
    {
        std::ofstream out(batch);
        for (int n = 3; n < 1003; ++n)
            out << "addr add 10.78." << n / 256 << "." << n % 256 << "/22 dev " << link.nameB() << "\n";
    }
    ASSERT_EQ(m_device->run({"ip", "-batch", batch}).exitCode, 0);
    Devsim sim({"--quiet", "--no-raw", "--count", "1000", "--base-ip", "10.78.0.3", "--base-id", "1", "--template",
                "control-port=0"},
               {"ip", "netns", "exec", m_device->name()});
    ASSERT_TRUE(sim.waitReady()) << sim.transcript();

    auto host = hostUdp("10.78.0.1");
    ASSERT_TRUE(host->send("10.78.3.255", 8000, request::search()));
    const auto found = answers(*host, 1000);
    EXPECT_EQ(found.size(), 1000u);
    std::set<std::uint16_t> ids;
    for (const auto& [from, answer] : found)
        ids.insert(static_cast<std::uint16_t>(answer[10] << 8 | answer[11]));
    EXPECT_EQ(ids.size(), 1000u);
    EXPECT_EQ(*ids.begin(), 1);
    EXPECT_EQ(*ids.rbegin(), 1000);
}

} // namespace
