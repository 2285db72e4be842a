// Close notifications of data sockets: applied once, never to a connection that merely reuses
// an old socket number, and never logged twice when the receive pump sees the same loss.

#include "pump_harness.h"

namespace bridgetest {
namespace {

using CloseNotificationTest = BridgeTest;

TEST_F(CloseNotificationTest, TakesTheConnectionDownOnceWhileThePortIsClosed) {
    LogCapture log;
    NotificationQueue notes;
    Peer server = Peer::listener();
    TestMappings ms;
    Mapping& m = ms.add(kModeTcpClient, "127.0.0.1", 0, server.port());
    ASSERT_TRUE(m.ready());
    auto app = std::make_unique<PortApp>(m.link());
    ASSERT_TRUE(m.passUntil(*m.builder, [&] { return m.connected(); }));
    Peer conn = server.accept();
    const SocketHandle sock = m.net().dataSock.load();

    // With the port closed the pumps look at nothing: only the notification can tell.
    app.reset();
    ASSERT_TRUE(waitUntil([&] { return !m.info->isOpen(); }));
    conn.close();
    const auto note = notes.waitForClose(sock);
    ASSERT_TRUE(note);
    EXPECT_EQ(note->message, kSocketMessageBase + 0);
    EXPECT_TRUE(handleSocketNotification(ms.lists, *note));
    // The handler only hands the work to the receive pump's thread, which takes the lock.
    EXPECT_TRUE(m.connected());
    EXPECT_TRUE(m.netRX->runMessage());
    EXPECT_FALSE(m.connected());
    EXPECT_EQ(m.net().peerClosed.load(), 1);
    EXPECT_EQ(m.net().connectPending.load(), 1);
    EXPECT_EQ(m.net().dataSock.load(), 0);
    EXPECT_FALSE(isOpenFd(sock));
    EXPECT_EQ(log.count(lossLine(m.com)), 1);

    // The same notification again finds no socket to act on.
    EXPECT_FALSE(handleSocketNotification(ms.lists, *note));
    EXPECT_FALSE(m.netRX->runMessage());

    // Reopened: nothing more to report, and the client connects anew.
    app = std::make_unique<PortApp>(m.link());
    ASSERT_TRUE(waitUntil([&] { return m.info->isOpen(); }));
    m.passes(*m.netRX, 5);
    ASSERT_TRUE(m.passUntil(*m.builder, [&] { return m.connected(); }));
    EXPECT_EQ(m.net().peerClosed.load(), 0);
    EXPECT_EQ(log.count(lossLine(m.com)), 1);
    EXPECT_EQ(log.count(connectsLine(m.com)), 2);
}

TEST_F(CloseNotificationTest, LateNotificationForAReusedSocketNumberChangesNothing) {
    LogCapture log;
    NotificationQueue notes;
    const std::uint16_t port = Peer::freePort();
    TestMappings ms;
    Mapping& m = ms.add(kModeTcpServer, "0.0.0.0", port, 0);
    ASSERT_TRUE(m.ready());
    PortApp app(m.link());
    ASSERT_TRUE(waitUntil([&] { return m.info->isOpen(); }));
    ASSERT_TRUE(m.listen());

    // Case 1: the notification reaches the main loop only after the pump has seen the loss
    // and a new connection has taken the same number.
    // Case 2: the handler passes it on while it is current, but before its work runs the
    // pump sees the loss and the number is reused.
    for (const bool postedFirst : {false, true}) {
        SCOPED_TRACE(postedFirst ? "posted before the reuse" : "arrives after the reuse");
        Peer first = Peer::connectTo(port);
        ASSERT_TRUE(m.passUntil(*m.builder, [&] { return m.connected(); }));
        const SocketHandle sock = m.net().dataSock.load();
        const int lossesBefore = log.count(lossLine(m.com));

        first.close();
        const auto note = notes.waitForClose(sock);
        ASSERT_TRUE(note);
        if (postedFirst) {
            EXPECT_TRUE(handleSocketNotification(ms.lists, *note));
        }

        ASSERT_TRUE(m.passUntil(*m.netRX, [&] { return !m.connected(); }));
        Peer second = Peer::connectTo(port);
        ASSERT_TRUE(m.passUntil(*m.builder, [&] { return m.connected(); }));
        // The lowest free number is handed out again: the very case to get right.
        ASSERT_EQ(m.net().dataSock.load(), sock);

        if (postedFirst) {
            EXPECT_TRUE(m.netRX->runMessage());
        } else {
            EXPECT_FALSE(handleSocketNotification(ms.lists, *note));
            EXPECT_FALSE(m.netRX->runMessage());
        }
        EXPECT_TRUE(m.connected());
        EXPECT_EQ(m.net().peerClosed.load(), 0);
        EXPECT_EQ(m.net().dataSock.load(), sock);
        EXPECT_TRUE(isOpenFd(sock));
        EXPECT_EQ(log.count(lossLine(m.com)), lossesBefore + 1);

        // The new connection works.
        const std::uint32_t before = m.toPort().count.load();
        ASSERT_TRUE(second.sendAll(pattern(10, 9)));
        EXPECT_TRUE(m.passUntil(*m.netRX, [&] { return m.toPort().count.load() == before + 10; }));
        second.close();
        ASSERT_TRUE(m.passUntil(*m.netRX, [&] { return !m.connected(); }));
    }
}

TEST_F(CloseNotificationTest, TouchesOnlyTheMappingThatOwnsTheSocket) {
    LogCapture log;
    NotificationQueue notes;
    const std::uint16_t portA = Peer::freePort();
    const std::uint16_t portB = Peer::freePort();
    TestMappings ms;
    Mapping& a = ms.add(kModeTcpServer, "0.0.0.0", portA, 0);
    Mapping& b = ms.add(kModeTcpServer, "0.0.0.0", portB, 0);
    ASSERT_TRUE(a.ready() && b.ready());
    PortApp appA(a.link());
    PortApp appB(b.link());
    ASSERT_TRUE(waitUntil([&] { return a.info->isOpen() && b.info->isOpen(); }));
    ASSERT_TRUE(a.listen() && b.listen());
    Peer peerA = Peer::connectTo(portA);
    Peer peerB = Peer::connectTo(portB);
    ASSERT_TRUE(a.passUntil(*a.builder, [&] { return a.connected(); }));
    ASSERT_TRUE(b.passUntil(*b.builder, [&] { return b.connected(); }));

    const SocketHandle sockA = a.net().dataSock.load();
    peerA.close();
    const auto note = notes.waitForClose(sockA);
    ASSERT_TRUE(note);
    EXPECT_EQ(note->message, kSocketMessageBase + static_cast<unsigned>(a.com));
    EXPECT_TRUE(handleSocketNotification(ms.lists, *note));
    EXPECT_FALSE(b.netRX->runMessage());
    EXPECT_TRUE(a.netRX->runMessage());
    EXPECT_FALSE(a.connected());
    EXPECT_TRUE(b.connected());
    EXPECT_EQ(log.count(lossLine(a.com)), 1);
    EXPECT_EQ(log.count(lossLine(b.com)), 0);
}

// Running threads, a main loop handling notifications as they come, and a peer that sends a
// little and hangs up, many times over: each loss is logged once, whichever side sees it
// first, and every byte sent before a hang-up reaches the application.
TEST_F(CloseNotificationTest, EveryLossIsLoggedOnceWhileTheRaceRuns) {
    LogCapture log;
    NotificationQueue notes;
    Peer server = Peer::listener();
    TestMappings ms;
    Mapping& m = ms.add(kModeTcpClient, "127.0.0.1", 0, server.port());
    ASSERT_TRUE(m.ready());
    PortApp app(m.link());
    ASSERT_TRUE(waitUntil([&] { return m.info->isOpen(); }));

    std::atomic<bool> stop{false};
    std::thread mainLoop([&] {
        while (!stop.load()) {
            if (auto n = notes.take()) {
                handleSocketNotification(ms.lists, *n);
            } else {
                std::this_thread::sleep_for(1ms);
            }
        }
    });
    m.resumeBridgeThreads();

    constexpr int kCycles = 25;
    constexpr std::size_t kChunk = 1000;
    std::vector<std::uint8_t> expected;
    std::vector<std::uint8_t> atApp;
    for (int i = 0; i < kCycles; ++i) {
        SCOPED_TRACE(i);
        Peer conn = server.accept();
        ASSERT_TRUE(conn.ok());
        ASSERT_TRUE(log.waitForCount(connectsLine(m.com), i + 1));
        const auto bytes = pattern(kChunk, static_cast<std::uint8_t>(i));
        expected.insert(expected.end(), bytes.begin(), bytes.end());
        ASSERT_TRUE(conn.sendAll(bytes));
        conn.close();
        ASSERT_TRUE(log.waitForCount(lossLine(m.com), i + 1));
        app.readSome(atApp);
    }
    // The last reconnection lets the last chunk through to the application.
    Peer last = server.accept();
    ASSERT_TRUE(last.ok());
    ASSERT_TRUE(waitUntil([&] {
        app.readSome(atApp);
        return atApp.size() >= expected.size();
    }));
    // Whatever notification is still queued is handled, and its work done, before counting.
    stop = true;
    mainLoop.join();
    while (auto n = notes.take())
        handleSocketNotification(ms.lists, *n);
    ASSERT_TRUE(waitUntil([&] { return m.threads->netRXThread->pendingMessages() == 0; }));
    m.threads->release();

    EXPECT_EQ(log.count(lossLine(m.com)), kCycles);
    EXPECT_EQ(log.count(connectsLine(m.com)), kCycles + 1);
    EXPECT_EQ(atApp, expected);
}

} // namespace
} // namespace bridgetest
