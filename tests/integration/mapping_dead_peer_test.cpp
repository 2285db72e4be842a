// A device that dies without a word (power or cable gone) must become a lost connection that
// is logged once and reconnected. The device lives in a namespace behind a veth link whose
// device end is taken down to make it silent. The dead-peer times are shortened through
// TARN_TEST_TCP_TUNING so the detection takes seconds; the mechanism is the same.

#include <gtest/gtest.h>

#include <cstdlib>

#include "control_harness.h"

namespace {

using namespace control_test;

// Idle 1 s, probes every 1 s, 2 probes, 3 s without an answer: dead within about 4 s.
constexpr const char* kShortTuning = "1,1,2,3000";
// Generous against the ~4 s above on a loaded machine, and below the real setting's 45 s.
constexpr auto kNoticeLimit = 20s;
constexpr std::uint16_t kDevicePort = 4001;
constexpr std::uint16_t kLocalPort = 4101;

class DeadPeer : public ::testing::Test {
protected:
    void SetUp() override {
        // Before the core exists: the tuning is read once, at the first connection.
        ::setenv("TARN_TEST_TCP_TUNING", kShortTuning, 1);
        TARN_REQUIRE_PRIVATE_NETNS();
        m_home = std::make_unique<TempHome>();
    }
    void TearDown() override {
        m_app.close();
        m_core.reset();
        m_link.reset();
        m_home.reset();
    }

    void start(int subnet) {
        m_link = std::make_unique<DeviceLink>(subnet);
        ASSERT_TRUE(m_link->ok()) << m_link->error();
        m_core = std::make_unique<CoreUnderTest>();
    }
    void addMapping(const tarnDesc& desc) {
        const core::CommandOutcome outcome = (**m_core).addMapping(desc);
        ASSERT_TRUE(outcome.ok()) << outcome.error();
    }
    void openApp(int com) {
        ASSERT_TRUE(m_app.open(m_home->portLink(com), 115200));
        ASSERT_TRUE(m_core->waitFor([&] { return m_core->mapping(com)->isOpen(); }));
    }

    // Both directions of a fresh connection carry their bytes intact; the peer may first
    // see leftovers of the application's writes into the dead connection.
    void expectDataFlows(int peerFd, std::uint32_t seed) {
        const auto toNet = testPattern(2048, seed);
        const auto toApp = testPattern(2048, seed + 1);
        ASSERT_TRUE(m_app.writeAll(toNet));
        const auto atPeer = recvUntilTail(peerFd, toNet);
        EXPECT_TRUE(atPeer.size() >= toNet.size() && std::equal(toNet.begin(), toNet.end(), atPeer.end() - 2048))
            << "application to peer: " << atPeer.size() << " bytes, not ending with what was written";
        ASSERT_TRUE(sendAll(peerFd, toApp.data(), toApp.size()));
        const auto atApp = m_app.readExactly(toApp.size());
        EXPECT_TRUE(atApp == toApp) << "peer to application: " << firstDifference(toApp, atApp);
    }

    std::unique_ptr<TempHome> m_home;
    std::unique_ptr<DeviceLink> m_link;
    std::unique_ptr<CoreUnderTest> m_core;
    AppPort m_app;
};

std::string lostText(int com) {
    return "COM" + std::to_string(com) + " is disconnected and reconnection is being tried.";
}

TEST_F(DeadPeer, ClientNoticesASilentDeviceIdleAndWhileWritingAndReconnects) {
    constexpr int kCom = 41;
    start(41);
    Sock listener = m_link->listenInside(kDevicePort);
    ASSERT_TRUE(listener.valid());
    const std::string connected = "COM41 as a client connects server( " + m_link->deviceIp() + ").";
    addMapping(makeDesc(kCom, kModeTcpClient, m_link->deviceIp().c_str(), 0, kDevicePort));
    openApp(kCom);
    Sock peer = tcpAccept(listener);
    ASSERT_TRUE(peer.valid());
    ASSERT_TRUE(m_core->waitForLogCount(connected, 1));

    // Idle: nothing is sent, so only the probes can find the device gone.
    ASSERT_TRUE(m_link->setDeviceEnd(false));
    ASSERT_TRUE(m_core->waitFor([&] { return m_core->countMappingLog(lostText(kCom)) >= 1; }, kNoticeLimit))
        << "an idle connection to a silent device was not given up";
    ASSERT_TRUE(m_link->setDeviceEnd(true));
    Sock second = tcpAccept(listener);
    ASSERT_TRUE(second.valid());
    ASSERT_TRUE(m_core->waitForLogCount(connected, 2));
    expectDataFlows(second.fd(), 41);

    // Writing: the bytes stay unacknowledged, which the user time-out bounds.
    ASSERT_TRUE(m_link->setDeviceEnd(false));
    const auto intoTheVoid = testPattern(4096, 42);
    ASSERT_TRUE(m_app.writeAll(intoTheVoid));
    ASSERT_TRUE(m_core->waitFor([&] { return m_core->countMappingLog(lostText(kCom)) >= 2; }, kNoticeLimit))
        << "a connection with unacknowledged data to a silent device was not given up";
    ASSERT_TRUE(m_link->setDeviceEnd(true));
    Sock third = tcpAccept(listener);
    ASSERT_TRUE(third.valid());
    ASSERT_TRUE(m_core->waitForLogCount(connected, 3));
    expectDataFlows(third.fd(), 43);

    // One line per loss, however many parties (pumps, close notification) noticed it.
    EXPECT_EQ(m_core->countMappingLog(lostText(kCom)), 2u);
}

TEST_F(DeadPeer, ServerWhoseClientVanishedAcceptsTheNextOne) {
    constexpr int kCom = 42;
    start(42);
    const std::string accepted = "COM42 as a server accepts 1 connection(s).";
    addMapping(makeDesc(kCom, kModeTcpServer, "0.0.0.0", kLocalPort, 0));
    openApp(kCom);
    Sock first = m_link->connectInside(m_link->hostIp(), kLocalPort);
    ASSERT_TRUE(first.valid());
    ASSERT_TRUE(m_core->waitForLogCount(accepted, 1));

    ASSERT_TRUE(m_link->setDeviceEnd(false));
    ASSERT_TRUE(m_core->waitFor([&] { return m_core->countMappingLog(lostText(kCom)) >= 1; }, kNoticeLimit))
        << "a connection whose client vanished was not given up";
    ASSERT_TRUE(m_link->setDeviceEnd(true));
    Sock next = m_link->connectInside(m_link->hostIp(), kLocalPort);
    ASSERT_TRUE(next.valid());
    ASSERT_TRUE(m_core->waitForLogCount(accepted, 2));
    expectDataFlows(next.fd(), 44);
    EXPECT_EQ(m_core->countMappingLog(lostText(kCom)), 1u);
}

} // namespace
