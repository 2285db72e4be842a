// UDP pumps (datagram boundaries both ways) and the read pump's pacing of the application,
// seen through the port's emulated rate.

#include "pump_harness.h"

namespace bridgetest {
namespace {

class UdpPumpTest : public MappingTest {
protected:
    void SetUp() override {
        BridgeTest::SetUp();
        if (IsSkipped())
            return;
        peer = Peer::udp();
        ASSERT_TRUE(peer.ok());
        m_localPort = Peer::freePort(SOCK_DGRAM);
        ASSERT_NO_FATAL_FAILURE(addAndOpen(kModeUdp, "127.0.0.1", m_localPort, peer.port()));
    }

    std::uint16_t m_localPort = 0;
};

TEST_F(UdpPumpTest, QueuedBytesLeaveAsDatagramsOfAtMost1400) {
    const auto queued = pattern(3000, 71);
    m->queue(m->toNet(), queued);
    m->passes(*m->netTX, 3);
    EXPECT_EQ(m->toNet().count.load(), 0u);
    std::vector<std::uint8_t> joined;
    std::vector<std::size_t> sizes;
    for (int i = 0; i < 3; ++i) {
        auto d = peer.datagram();
        ASSERT_TRUE(d);
        sizes.push_back(d->size());
        joined.insert(joined.end(), d->begin(), d->end());
    }
    EXPECT_EQ(sizes, (std::vector<std::size_t>{1400, 1400, 200}));
    EXPECT_EQ(joined, queued);
    EXPECT_FALSE(peer.datagram(50ms));
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(UdpPumpTest, DatagramsFromAnySenderArriveWholeAndAreNeverSplit) {
    // A datagram from a sender other than the configured peer is taken as well.
    Peer stranger = Peer::udp();
    const auto a = pattern(1000, 1);
    const auto b = pattern(2048, 2);
    const auto c = pattern(300, 3);
    ASSERT_TRUE(peer.sendTo(a, m_localPort));
    ASSERT_TRUE(stranger.sendTo(b, m_localPort));
    ASSERT_TRUE(peer.sendTo(c, m_localPort));
    const SocketHandle bound = m->net().listenSock.load();
    ASSERT_TRUE(waitUntil([&] { return pendingBytes(bound) > 0; }));

    ByteRing& ring = m->toPort();
    ASSERT_TRUE(m->passUntil(*m->netRX, [&] { return ring.count.load() >= 1000; }));
    EXPECT_EQ(ring.count.load(), 1000u);
    // With less than a whole chunk of room, the next datagram waits in the socket.
    const std::uint32_t filler = ring.freeSpace() - (kNetRecvChunk - 1);
    {
        SyncLock hold(*m->lock);
        ring.produce(filler);
    }
    m->passes(*m->netRX, 10);
    EXPECT_EQ(ring.count.load(), 1000u + filler);
    {
        SyncLock hold(*m->lock);
        std::vector<std::uint8_t> first(1000);
        ring.copyOut(first.data(), 1000);
        EXPECT_EQ(first, a);
        ring.consume(1000);
        std::vector<std::uint8_t> skip(filler);
        ring.copyOut(skip.data(), filler);
        ring.consume(filler);
    }
    ASSERT_TRUE(m->passUntil(*m->netRX, [&] { return ring.count.load() == 2048 + 300; }));
    std::vector<std::uint8_t> expected = b;
    expected.insert(expected.end(), c.begin(), c.end());
    EXPECT_EQ(m->peek(ring), expected);
    EXPECT_EQ(m->info->peerText(), "127.0.0.1");
    EXPECT_EQ(m->info->remotePort(), peer.port());
}

TEST_F(UdpPumpTest, ApplicationToPeerAndBackThroughRunningThreads) {
    m->resumeBridgeThreads();
    const auto up = pattern(1200, 81);
    ASSERT_TRUE(app->writeAll(up));
    std::vector<std::uint8_t> atPeer;
    while (atPeer.size() < up.size()) {
        auto d = peer.datagram(20s);
        ASSERT_TRUE(d);
        EXPECT_LE(d->size(), 1400u);
        atPeer.insert(atPeer.end(), d->begin(), d->end());
    }
    EXPECT_EQ(atPeer, up);

    const auto down = pattern(1400, 82);
    ASSERT_TRUE(peer.sendTo(down, m_localPort));
    std::vector<std::uint8_t> atApp;
    ASSERT_TRUE(waitUntil([&] {
        app->readSome(atApp);
        return atApp.size() >= down.size();
    }));
    EXPECT_EQ(atApp, down);
}

// Pacing: the application writes at 9600 baud while the network side is stalled (the send
// pump is not run), so the backlog in portToNet stays above 960 bytes.
class PacingTest : public UdpPumpTest {
protected:
    // Keeps bytes waiting in the port's input, then runs one read-pump pass.
    void inputPass() {
        static const auto filler = pattern(4096, 90);
        if (m->info->inQueue() < 256)
            app->writeSome(filler.data(), filler.size());
        ASSERT_TRUE(waitUntil([&] { return m->info->inQueue() > 0; }));
        m->tarnRX->runPass();
    }
    int emulated() const { return m->info->port->emulatedBaudRate(); }
    void setBacklog(std::uint32_t bytes) {
        SyncLock hold(*m->lock);
        ByteRing& ring = m->toNet();
        const std::uint32_t now = ring.count.load();
        if (now > bytes) {
            ring.consume(now - bytes);
        } else if (now < bytes) {
            ring.produce(bytes - now);
        }
    }
};

TEST_F(PacingTest, DescendsOneStepPerPassAndRestoresAtOnce) {
    app->setSpeed(B9600);
    setBacklog(1000);
    std::vector<int> seen;
    for (int i = 0; i < 101; ++i) {
        inputPass();
        seen.push_back(emulated());
    }
    std::vector<int> expected;
    for (int baud = 9504; baud >= 96; baud -= 96)
        expected.push_back(baud);
    expected.push_back(9600); // at one step the descent starts over
    expected.push_back(9504);
    EXPECT_EQ(seen, expected);
    EXPECT_TRUE(m->info->port->strictBaudrate());

    // The delivery pump keeps the paced rate in force instead of undoing it.
    m->passes(*m->tarnTX, 3);
    EXPECT_EQ(emulated(), 9504);

    // Backlog at the limit: the full rate at the next pass with input.
    setBacklog(960);
    inputPass();
    EXPECT_EQ(emulated(), 9600);
    setBacklog(2000);
    inputPass();
    EXPECT_EQ(emulated(), 9504);
    EXPECT_EQ(m->info->baudRate(), 9600); // the application never sees the paced rate
}

TEST_F(PacingTest, FollowsTheApplicationsRateAndStartsAnewEachOpenPeriod) {
    app->setSpeed(B9600);
    setBacklog(1000);
    inputPass();
    inputPass();
    EXPECT_EQ(emulated(), 9408);

    // A new rate from the application becomes the base at once (1000 bytes is below its
    // limit of 1920, so no descent).
    app->setSpeed(B19200);
    ASSERT_TRUE(waitUntil([&] { return m->info->baudRate() == 19200; }));
    inputPass();
    EXPECT_EQ(emulated(), 19200);
    setBacklog(2000);
    inputPass();
    EXPECT_EQ(emulated(), 19008);

    // Closed: pacing ends; reopened at another rate: set up anew from that rate.
    app.reset();
    ASSERT_TRUE(waitUntil([&] { return !m->info->isOpen(); }));
    m->tarnRX->runPass();
    app = std::make_unique<PortApp>(m->link(), B4800);
    ASSERT_TRUE(waitUntil([&] { return m->info->isOpen() && m->info->baudRate() == 4800; }));
    inputPass();
    EXPECT_EQ(emulated(), 4752);
}

} // namespace
} // namespace bridgetest
