// Connection builder and network set-up: real loopback peers and a real virtual port held
// open by an application end, passes driven one at a time.

#include "pump_harness.h"

namespace bridgetest {
namespace {

using ConnectionBuilderTest = BridgeTest;

TEST_F(ConnectionBuilderTest, SetUpByModeFillsTheNetworkSideAndDesc) {
    struct Case {
        std::int32_t mode;
        const char* ip;
        std::uint16_t localPort, remotePort;
        int isTcp, isServer, connectPending, controlEnabled;
        bool udpSockets;
    };
    const Case cases[] = {
        {kModeTcpServer, "0.0.0.0", 4001, 0, 1, 1, 0, 0, false},
        {kModeTcpClient, "10.0.0.5", 0, 4002, 1, 0, 1, 1, false},
        {kModeUdp, "127.0.0.1", Peer::freePort(SOCK_DGRAM), 4003, 0, 0, 0, 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mode);
        TestMappings ms;
        Mapping& m = ms.add(c.mode, c.ip, c.localPort, c.remotePort);
        ASSERT_TRUE(m.ready());
        EXPECT_EQ(m.net().isTcp.load(), c.isTcp);
        EXPECT_EQ(m.net().isServer.load(), c.isServer);
        EXPECT_EQ(m.net().connectPending.load(), c.connectPending);
        EXPECT_EQ(m.info->control->enabled.load(), c.controlEnabled);
        EXPECT_EQ(m.info->localPort(), c.localPort);
        EXPECT_EQ(m.info->remotePort(), c.remotePort);
        EXPECT_EQ(m.info->peerText(), c.mode == kModeTcpServer ? "0.0.0.0" : c.ip);
        EXPECT_EQ(m.net().dataSock.load() > 0, c.udpSockets);
        EXPECT_EQ(m.net().listenSock.load() > 0, c.udpSockets);
        EXPECT_EQ(m.info->desc->mode, c.mode);
        EXPECT_EQ(m.info->desc->comNum, m.com);
        EXPECT_STREQ(m.info->desc->ipAddress, c.ip);
        EXPECT_EQ(m.info->desc->localPort, c.localPort);
        EXPECT_EQ(m.info->desc->remotePort, c.remotePort);
        EXPECT_FALSE(m.connected());
    }
    // An unknown mode sets nothing up.
    TestMappings ms;
    Mapping& m = ms.add(7, "10.0.0.5", 1, 2);
    EXPECT_FALSE(m.setUp);
    EXPECT_EQ(m.info->desc->mode, -1);
    EXPECT_EQ(m.net().dataSock.load(), 0);
}

TEST_F(ConnectionBuilderTest, ServerAcceptsOneConnectionAtATime) {
    LogCapture log;
    const std::uint16_t port = Peer::freePort();
    TestMappings ms;
    Mapping& m = ms.add(kModeTcpServer, "0.0.0.0", port, 0);
    ASSERT_TRUE(m.ready());

    // While the port is closed nothing listens.
    m.passes(*m.builder, 3);
    EXPECT_EQ(m.net().listenSock.load(), 0);

    PortApp app(m.link());
    ASSERT_TRUE(app.ok());
    ASSERT_TRUE(waitUntil([&] { return m.info->isOpen(); }));
    m.builder->runPass();
    EXPECT_GT(m.net().listenSock.load(), 0);
    EXPECT_FALSE(m.connected());
    EXPECT_TRUE(log.lines().empty());

    Peer first = Peer::connectTo(port);
    ASSERT_TRUE(first.ok());
    ASSERT_TRUE(m.passUntil(*m.builder, [&] { return m.connected(); }));
    EXPECT_EQ(log.count(acceptsLine(m.com)), 1);
    const SocketHandle firstSock = m.net().dataSock.load();

    // The second peer's handshake completes in the backlog, but it is not accepted while the
    // first connection lasts: its bytes stay behind.
    Peer second = Peer::connectTo(port);
    ASSERT_TRUE(second.ok());
    ASSERT_TRUE(first.sendAll(pattern(100, 1)));
    ASSERT_TRUE(second.sendAll(pattern(100, 2)));
    ASSERT_TRUE(m.passUntil(*m.netRX, [&] { return m.toPort().count.load() >= 100; }));
    m.passes(*m.builder, 10);
    m.passes(*m.netRX, 10);
    EXPECT_EQ(m.net().dataSock.load(), firstSock);
    EXPECT_EQ(log.count(acceptsLine(m.com)), 1);
    EXPECT_EQ(m.peek(m.toPort()), pattern(100, 1));

    // The first peer leaves: one loss line, then the waiting peer is accepted.
    first.close();
    ASSERT_TRUE(m.passUntil(*m.netRX, [&] { return !m.connected(); }));
    EXPECT_EQ(log.count(lossLine(m.com)), 1);
    ASSERT_TRUE(m.passUntil(*m.builder, [&] { return m.connected(); }));
    EXPECT_EQ(log.count(acceptsLine(m.com)), 2);
    ASSERT_TRUE(m.passUntil(*m.netRX, [&] { return m.toPort().count.load() >= 200; }));
    std::vector<std::uint8_t> expected = pattern(100, 1);
    const auto more = pattern(100, 2);
    expected.insert(expected.end(), more.begin(), more.end());
    EXPECT_EQ(m.peek(m.toPort()), expected);
    EXPECT_EQ(log.count(lossLine(m.com)), 1);
}

TEST_F(ConnectionBuilderTest, ClientReconnectsAfterEveryLossWithOneLinePerEvent) {
    LogCapture log;
    Peer server = Peer::listener();
    ASSERT_TRUE(server.ok());
    TestMappings ms;
    Mapping& m = ms.add(kModeTcpClient, "127.0.0.1", 0, server.port());
    ASSERT_TRUE(m.ready());
    PortApp app(m.link());
    ASSERT_TRUE(app.ok());

    ASSERT_TRUE(m.passUntil(*m.builder, [&] { return m.connected(); }));
    Peer conn = server.accept();
    ASSERT_TRUE(conn.ok());
    EXPECT_EQ(log.count(connectsLine(m.com)), 1);
    EXPECT_EQ(m.net().connectPending.load(), 0);

    constexpr int kLosses = 3;
    for (int i = 1; i <= kLosses; ++i) {
        SCOPED_TRACE(i);
        m.info->control->enabled.store(0); // each new connection switches the control side on
        conn.close();
        ASSERT_TRUE(m.passUntil(*m.netRX, [&] { return !m.connected(); }));
        EXPECT_EQ(m.net().connectPending.load(), 1);
        EXPECT_EQ(m.net().dataSock.load(), 0);
        m.passes(*m.netRX, 5);
        m.passes(*m.netTX, 5);
        EXPECT_EQ(log.count(lossLine(m.com)), i);
        ASSERT_TRUE(m.passUntil(*m.builder, [&] { return m.connected(); }));
        conn = server.accept();
        ASSERT_TRUE(conn.ok());
        m.passes(*m.builder, 5);
        EXPECT_EQ(log.count(connectsLine(m.com)), i + 1);
        EXPECT_EQ(m.info->control->enabled.load(), 1);
    }
    EXPECT_EQ(log.lines().size(), static_cast<std::size_t>(2 * kLosses + 1));
}

TEST_F(ConnectionBuilderTest, ClientRetriesSayingWhyOnceUntilTheServerComesUp) {
    LogCapture log;
    const std::uint16_t port = Peer::freePort();
    TestMappings ms;
    Mapping& m = ms.add(kModeTcpClient, "127.0.0.1", 0, port);
    ASSERT_TRUE(m.ready());
    PortApp app(m.link());
    ASSERT_TRUE(app.ok());
    ASSERT_TRUE(waitUntil([&] { return m.info->isOpen(); }));

    m.passes(*m.builder, 20);
    EXPECT_FALSE(m.connected());
    EXPECT_EQ(m.net().connectPending.load(), 1);
    EXPECT_EQ(m.net().dataSock.load(), 0); // each failed attempt's socket is closed at once
    const std::string refused = "COM" + std::to_string(m.com) + " cannot connect to 127.0.0.1:" + std::to_string(port) +
                                ": Connection refused.";
    EXPECT_EQ(log.lines(), std::vector<std::string>{refused}) << "one row for the reason, not one per attempt";

    Peer server = Peer::listener(port);
    ASSERT_TRUE(server.ok()) << "port " << port << " was taken meanwhile";
    ASSERT_TRUE(m.passUntil(*m.builder, [&] { return m.connected(); }));
    m.passes(*m.builder, 5);
    EXPECT_EQ(log.lines(), (std::vector<std::string>{refused, connectsLine(m.com)}));
}

TEST_F(ConnectionBuilderTest, QueuedDataWaitsForTheNextConnection) {
    LogCapture log;
    Peer server = Peer::listener();
    TestMappings ms;
    Mapping& m = ms.add(kModeTcpClient, "127.0.0.1", 0, server.port());
    ASSERT_TRUE(m.ready());
    PortApp app(m.link());
    ASSERT_TRUE(m.passUntil(*m.builder, [&] { return m.connected(); }));
    Peer conn = server.accept();
    conn.close();
    ASSERT_TRUE(m.passUntil(*m.netRX, [&] { return !m.connected(); }));

    // Queued both ways while the connection is down: what is to be sent waits for the next
    // connection; what was received is the open application's and reaches it now.
    const auto out = pattern(3000, 3);
    const auto in = pattern(2000, 4);
    m.queue(m.toNet(), out);
    m.queue(m.toPort(), in);
    m.passes(*m.netTX, 20);
    EXPECT_EQ(m.toNet().count.load(), 3000u);
    std::vector<std::uint8_t> atApp;
    ASSERT_TRUE(m.passUntil(*m.tarnTX, [&] {
        app.readSome(atApp);
        return atApp.size() >= 2000;
    }));
    EXPECT_EQ(atApp, in);
    EXPECT_FALSE(m.connected());

    ASSERT_TRUE(m.passUntil(*m.builder, [&] { return m.connected(); }));
    conn = server.accept();
    ASSERT_TRUE(m.passUntil(*m.netTX, [&] { return m.toNet().count.load() == 0; }));
    EXPECT_EQ(conn.receive(3000), out);
}

TEST_F(ConnectionBuilderTest, UdpMappingMakesNoConnection) {
    LogCapture log;
    TestMappings ms;
    Mapping& m = ms.add(kModeUdp, "127.0.0.1", Peer::freePort(SOCK_DGRAM), Peer::freePort(SOCK_DGRAM));
    ASSERT_TRUE(m.ready());
    PortApp app(m.link());
    ASSERT_TRUE(waitUntil([&] { return m.info->isOpen(); }));
    const SocketHandle data = m.net().dataSock.load();
    const SocketHandle bound = m.net().listenSock.load();
    m.passes(*m.builder, 5);
    EXPECT_FALSE(m.connected());
    EXPECT_EQ(m.net().dataSock.load(), data);
    EXPECT_EQ(m.net().listenSock.load(), bound);
    EXPECT_TRUE(log.lines().empty());
}

} // namespace
} // namespace bridgetest
