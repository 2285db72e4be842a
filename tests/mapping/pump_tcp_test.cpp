// The four pumps over a TCP data connection: chunk limits, order, flow control instead of
// drops, partial acceptance on both sides, losses, and a closed port.

#include "pump_harness.h"

namespace bridgetest {
namespace {

// Forwards to the real socket layer, recording what each send offered and, once, accepting
// less than offered, as a full send buffer would.
class RecordingSock final : public PortableSock {
public:
    explicit RecordingSock(PortableSock* real) : m_real(real) {}
    SocketHandle socket(int f, int t, int p) override { return m_real->socket(f, t, p); }
    int send(SocketHandle s, const void* d, int length, int flags) override {
        offered.push_back(length);
        int allowed = length;
        if (acceptOnce > 0) {
            allowed = std::min(length, acceptOnce);
            acceptOnce = 0;
        }
        const int sent = m_real->send(s, d, allowed, flags);
        accepted.push_back(sent);
        return sent;
    }
    int sendto(SocketHandle s, const void* d, int l, int f, const Winsock_sockaddr_in* a) override {
        return m_real->sendto(s, d, l, f, a);
    }
    int recvfrom(SocketHandle s, void* b, int n, int f, const Winsock_sockaddr_in* a) override {
        return m_real->recvfrom(s, b, n, f, a);
    }
    int recv(SocketHandle s, void* b, int n, int f) override { return m_real->recv(s, b, n, f); }
    int bind(SocketHandle s, const Winsock_sockaddr_in* a) override { return m_real->bind(s, a); }
    int close(SocketHandle s) override { return m_real->close(s); }
    SocketHandle accept(SocketHandle s, const Winsock_sockaddr_in* a) override { return m_real->accept(s, a); }
    int listen(SocketHandle s, int b) override { return m_real->listen(s, b); }
    std::uint32_t inetAddr(const char* t) override { return m_real->inetAddr(t); }
    std::uint16_t htons(std::uint16_t v) override { return m_real->htons(v); }
    std::uint16_t ntohs(std::uint16_t v) override { return m_real->ntohs(v); }
    int asyncSelect(SocketHandle s, unsigned o, unsigned e) override { return m_real->asyncSelect(s, o, e); }
    void setNotificationSink(SocketNotificationSink sink) override { m_real->setNotificationSink(std::move(sink)); }
    bool isCurrentRegistration(SocketHandle s, std::uint64_t r) override { return m_real->isCurrentRegistration(s, r); }
    int connect(SocketHandle s, const Winsock_sockaddr_in* a) override { return m_real->connect(s, a); }
    int lastError() override { return m_real->lastError(); }
    int shutdown(SocketHandle s, int h) override { return m_real->shutdown(s, h); }
    int setOption(SocketHandle s, int l, int o, const void* v, int n) override {
        return m_real->setOption(s, l, o, v, n);
    }

    std::vector<int> offered, accepted;
    int acceptOnce = 0;

private:
    PortableSock* m_real;
};

class TcpPumpTest : public MappingTest {
protected:
    void SetUp() override {
        BridgeTest::SetUp();
        if (IsSkipped())
            return;
        m_port = Peer::freePort();
        ASSERT_NO_FATAL_FAILURE(addAndOpen(kModeTcpServer, "0.0.0.0", m_port, 0));
        ASSERT_TRUE(m->listen());
        peer = Peer::connectTo(m_port);
        ASSERT_TRUE(peer.ok());
        ASSERT_TRUE(m->passUntil(*m->builder, [&] { return m->connected(); }));
    }

    std::uint16_t m_port = 0;
};

TEST_F(TcpPumpTest, PeerBytesReachTheApplicationInBoundedChunksInOrder) {
    const auto sent = pattern(5000, 11);
    ASSERT_TRUE(peer.sendAll(sent));
    ASSERT_TRUE(waitUntil([&] { return pendingBytes(m->net().dataSock.load()) == 5000; }));

    std::vector<std::uint32_t> ringChunks;
    std::uint32_t last = 0;
    ASSERT_TRUE(m->passUntil(*m->netRX, [&] {
        const std::uint32_t now = m->toPort().count.load();
        if (now != last)
            ringChunks.push_back(now - last);
        last = now;
        return now == 5000;
    }));
    EXPECT_EQ(ringChunks, (std::vector<std::uint32_t>{2048, 2048, 904}));

    std::vector<std::uint8_t> atApp;
    std::uint32_t queued = m->toPort().count.load();
    std::vector<std::uint32_t> portChunks;
    ASSERT_TRUE(m->passUntil(*m->tarnTX, [&] {
        const std::uint32_t now = m->toPort().count.load();
        if (now != queued)
            portChunks.push_back(queued - now);
        queued = now;
        app->readSome(atApp);
        return atApp.size() == sent.size();
    }));
    for (std::uint32_t chunk : portChunks)
        EXPECT_LE(chunk, kPortChunk);
    EXPECT_GE(portChunks.size(), 10u);
    EXPECT_EQ(atApp, sent);
}

TEST_F(TcpPumpTest, FullRingLeavesBytesInTheSocketInsteadOfDroppingThem) {
    ByteRing& ring = m->toPort();
    const std::uint32_t filler = kRingCapacity - (kNetRecvChunk - 1);
    {
        SyncLock hold(*m->lock);
        ring.produce(filler);
    }
    const auto sent = pattern(3000, 5);
    ASSERT_TRUE(peer.sendAll(sent));
    const SocketHandle sock = m->net().dataSock.load();
    ASSERT_TRUE(waitUntil([&] { return pendingBytes(sock) == 3000; }));

    // 2047 bytes of room: not one whole chunk, so nothing is taken.
    m->passes(*m->netRX, 20);
    EXPECT_EQ(ring.count.load(), filler);
    EXPECT_EQ(pendingBytes(sock), 3000);

    // Room for exactly one chunk.
    {
        SyncLock hold(*m->lock);
        ring.consume(1);
    }
    m->passes(*m->netRX, 20);
    EXPECT_EQ(ring.count.load(), kRingCapacity);
    EXPECT_EQ(pendingBytes(sock), 3000 - 2048);

    {
        SyncLock hold(*m->lock);
        ring.consume(filler - 1);
    }
    ASSERT_TRUE(m->passUntil(*m->netRX, [&] { return ring.count.load() == 3000; }));
    EXPECT_EQ(m->peek(ring), sent);
    EXPECT_TRUE(m->connected());
}

TEST_F(TcpPumpTest, PortWritePumpConsumesOnlyWhatThePortTook) {
    // At 1200 baud the port's emulation lets through one burst and then about a character
    // a millisecond, far less than the passes offer.
    app->setSpeed(B1200);
    const auto sent = pattern(5000, 21);
    m->queue(m->toPort(), sent);
    m->passes(*m->tarnTX, 40);
    const std::uint32_t consumed = 5000 - m->toPort().count.load();
    EXPECT_GT(consumed, 0u);
    EXPECT_LT(consumed, 5000u);

    // Exactly the consumed bytes reached the application, and they are the oldest. A marker
    // written into the port after the passes comes out behind everything they wrote, so once
    // it is read nothing extra can still be on its way.
    const std::uint8_t marker = 0xA5;
    ASSERT_EQ(::write(m->info->port->masterFd(), &marker, 1), 1);
    std::vector<std::uint8_t> atApp;
    ASSERT_TRUE(waitUntil([&] {
        app->readSome(atApp);
        return atApp.size() >= consumed + 1;
    }));
    ASSERT_EQ(atApp.size(), consumed + 1) << "the pump wrote more than it consumed";
    EXPECT_EQ(atApp.back(), marker) << "the pump wrote more than it consumed";
    atApp.pop_back();
    EXPECT_TRUE(std::equal(atApp.begin(), atApp.end(), sent.begin()));

    app->setSpeed(B921600);
    ASSERT_TRUE(m->passUntil(*m->tarnTX, [&] {
        app->readSome(atApp);
        return atApp.size() >= sent.size();
    }));
    EXPECT_EQ(atApp, sent);
    EXPECT_EQ(m->toPort().count.load(), 0u);
}

TEST_F(TcpPumpTest, ApplicationBytesLeaveInSegmentsOfAtMost1400RemainderFirst) {
    RecordingSock recorder(g_sock);
    PortableSock* real = g_sock;
    g_sock = &recorder;
    recorder.acceptOnce = 1000;

    const auto written = pattern(3000, 33);
    ASSERT_TRUE(app->writeAll(written));
    ASSERT_TRUE(m->passUntil(*m->tarnRX, [&] { return m->toNet().count.load() == 3000; }));
    m->netTX->runPass();
    EXPECT_EQ(m->toNet().count.load(), 2000u); // the unaccepted part stays at the head
    ASSERT_TRUE(m->passUntil(*m->netTX, [&] { return m->toNet().count.load() == 0; }));
    g_sock = real;

    EXPECT_EQ(recorder.offered, (std::vector<int>{1400, 1400, 600}));
    EXPECT_EQ(recorder.accepted, (std::vector<int>{1000, 1400, 600}));
    EXPECT_EQ(peer.receive(3000), written);
}

// Closed, the port acts as a serial port that nobody listens to: the application's last
// bytes still go out, the peer's bytes are dropped (and counted), and the connection stays.
TEST_F(TcpPumpTest, ClosedPortSendsItsLastBytesDropsThePeersAndKeepsTheConnection) {
    const SocketHandle sock = m->net().dataSock.load();
    app.reset();
    ASSERT_TRUE(waitUntil([&] { return !m->info->isOpen(); }));

    const auto fromPeer = pattern(500, 41);
    const auto toPeer = pattern(300, 42);
    ASSERT_TRUE(peer.sendAll(fromPeer));
    m->queue(m->toNet(), toPeer);
    ASSERT_TRUE(waitUntil([&] { return pendingBytes(sock) == 500; }));
    for (int i = 0; i < 20; ++i) {
        m->tarnRX->runPass();
        m->netRX->runPass();
        m->netTX->runPass();
        m->tarnTX->runPass();
        m->builder->runPass();
    }
    EXPECT_EQ(m->toPort().count.load(), 0u);
    EXPECT_EQ(m->toNet().count.load(), 0u);
    EXPECT_EQ(pendingBytes(sock), 0);
    EXPECT_EQ(m->net().discardedWhileClosed, 500u);
    EXPECT_EQ(peer.receive(300), toPeer);
    EXPECT_TRUE(m->connected());
    EXPECT_EQ(m->net().dataSock.load(), sock);
    EXPECT_TRUE(log.count(lossLine(m->com)) == 0);

    // Reopened, only what the peer sends from then on reaches the application.
    app = std::make_unique<PortApp>(m->link(), B921600);
    ASSERT_TRUE(waitUntil([&] { return m->info->isOpen(); }));
    const auto fresh = pattern(200, 43);
    ASSERT_TRUE(peer.sendAll(fresh));
    std::vector<std::uint8_t> atApp;
    ASSERT_TRUE(waitUntil([&] {
        m->netRX->runPass();
        m->tarnTX->runPass();
        app->readSome(atApp);
        return atApp.size() >= fresh.size();
    }));
    EXPECT_EQ(atApp, fresh);
    EXPECT_EQ(
        log.count("COM" + std::to_string(m->com) + ": 500 byte(s) received while the port was closed were discarded."),
        1);
    EXPECT_EQ(log.count(acceptsLine(m->com)), 1);
}

TEST_F(TcpPumpTest, SendErrorIsOneLossAndKeepsTheQueuedBytes) {
    // An abortive close: the next send fails with a reset rather than a clean end.
    const linger abort{1, 0};
    ::setsockopt(peer.fd(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    peer.close();
    const auto queued = pattern(2000, 51);
    m->queue(m->toNet(), queued);
    ASSERT_TRUE(m->passUntil(*m->netTX, [&] { return !m->connected(); }));
    m->passes(*m->netTX, 5);
    m->passes(*m->netRX, 5);
    EXPECT_EQ(log.count(lossLine(m->com)), 1);
    EXPECT_EQ(m->net().dataSock.load(), 0);
    EXPECT_EQ(m->peek(m->toNet()), queued);

    // The next peer gets all of it.
    Peer next = Peer::connectTo(m_port);
    ASSERT_TRUE(m->passUntil(*m->builder, [&] { return m->connected(); }));
    ASSERT_TRUE(m->passUntil(*m->netTX, [&] { return m->toNet().count.load() == 0; }));
    EXPECT_EQ(next.receive(2000), queued);
}

// All five threads running on their own: a bulk transfer both ways, byte for byte.
TEST_F(TcpPumpTest, RunningThreadsCarryBulkDataBothWays) {
    m->resumeBridgeThreads();
    constexpr std::size_t kSize = 256 * 1024;
    const auto up = pattern(kSize, 61);
    const auto down = pattern(kSize, 62);
    std::vector<std::uint8_t> atApp;
    std::vector<std::uint8_t> atPeer;
    std::thread peerSide([&] {
        ASSERT_TRUE(peer.sendAll(down));
        atPeer = peer.receive(kSize, 60s);
    });
    std::size_t written = 0;
    ASSERT_TRUE(waitUntil(
        [&] {
            written += app->writeSome(up.data() + written, up.size() - written);
            app->readSome(atApp);
            return written == up.size() && atApp.size() >= down.size();
        },
        60s));
    peerSide.join();
    EXPECT_EQ(atApp, down);
    EXPECT_EQ(atPeer, up);
    EXPECT_EQ(log.count(lossLine(m->com)), 0);
}

} // namespace
} // namespace bridgetest
