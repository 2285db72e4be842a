// End to end over TCP: an application on COM<n>, the program core in-process, and a peer on
// loopback, all inside a private network namespace.

#include <gtest/gtest.h>

#include "mapping_harness.h"
#include "support/netns.h"

namespace {

using namespace mapping_test;

constexpr std::size_t kBulk = 300 * 1024;
constexpr std::uint32_t kFastLine = 4000000;

std::string acceptedText(int com) {
    return "COM" + std::to_string(com) + " as a server accepts 1 connection(s).";
}
std::string connectedText(int com) {
    return "COM" + std::to_string(com) + " as a client connects server( 127.0.0.1).";
}
std::string lostText(int com) {
    return "COM" + std::to_string(com) + " is disconnected and reconnection is being tried.";
}

class TcpMapping : public MappingTest {
protected:
    // Both directions at once: the application writes one pattern while the peer writes
    // another, and each side must read exactly what the other wrote.
    void exchangeBothWays(int peerFd, std::size_t size, std::uint32_t seed) {
        const auto toNet = testPattern(size, seed);
        const auto toApp = testPattern(size, seed + 1);
        std::vector<std::uint8_t> atPeer, atApp;
        bool peerSent = false, appSent = false;
        {
            Background peerWriter([&] { peerSent = sendAll(peerFd, toApp.data(), toApp.size()); });
            Background peerReader([&] { atPeer = recvExactly(peerFd, size); });
            Background appWriter([&] { appSent = m_app.writeAll(toNet); });
            atApp = m_app.readExactly(size);
        }
        EXPECT_TRUE(peerSent);
        EXPECT_TRUE(appSent);
        EXPECT_TRUE(atApp == toApp) << "peer to application: " << firstDifference(toApp, atApp);
        EXPECT_TRUE(atPeer == toNet) << "application to peer: " << firstDifference(toNet, atPeer);
    }
};

TEST_F(TcpMapping, ServerCarriesEveryByteValueBothWays) {
    constexpr int kCom = 11;
    constexpr std::uint16_t kPort = 41011;
    addMapping(makeDesc(kCom, kModeTcpServer, "0.0.0.0", kPort, 0));
    ASSERT_TRUE(m_app.open(m_home->portLink(kCom), kFastLine));
    Sock peer = tcpConnect(kPort);
    ASSERT_TRUE(peer.valid());
    ASSERT_TRUE(m_core->waitForLogCount(acceptedText(kCom), 1));
    ASSERT_TRUE(m_core->waitFor([&] { return m_core->mapping(kCom)->isConnected(); }));

    exchangeBothWays(peer.fd(), kBulk, 1);

    EXPECT_EQ(m_core->countMappingLog(acceptedText(kCom)), 1u);
    EXPECT_EQ(m_core->countMappingLog(lostText(kCom)), 0u);
}

TEST_F(TcpMapping, ClientCarriesEveryByteValueBothWays) {
    constexpr int kCom = 12;
    constexpr std::uint16_t kPort = 41012;
    Sock listener = tcpListen(kPort);
    ASSERT_TRUE(listener.valid());
    addMapping(makeDesc(kCom, kModeTcpClient, "127.0.0.1", 0, kPort));
    ASSERT_TRUE(m_app.open(m_home->portLink(kCom), kFastLine));
    Sock peer = tcpAccept(listener);
    ASSERT_TRUE(peer.valid());
    ASSERT_TRUE(m_core->waitForLogCount(connectedText(kCom), 1));

    exchangeBothWays(peer.fd(), kBulk, 2);

    EXPECT_EQ(m_core->countMappingLog(connectedText(kCom)), 1u);
}

// Every loss is logged once, every new connection once, and the client keeps coming back.
TEST_F(TcpMapping, ClientReconnectsAfterEachLossAndLogsEachEventOnce) {
    constexpr int kCom = 13;
    constexpr std::uint16_t kPort = 41013;
    constexpr int kLosses = 3;
    Sock listener = tcpListen(kPort);
    ASSERT_TRUE(listener.valid());
    addMapping(makeDesc(kCom, kModeTcpClient, "127.0.0.1", 0, kPort));
    ASSERT_TRUE(m_app.open(m_home->portLink(kCom), kFastLine));

    // The last connection stays up until the counts are checked: its close is a loss too.
    Sock last;
    for (int round = 0; round <= kLosses; ++round) {
        SCOPED_TRACE("connection " + std::to_string(round + 1));
        Sock peer = tcpAccept(listener);
        ASSERT_TRUE(peer.valid());
        ASSERT_TRUE(m_core->waitForLogCount(connectedText(kCom), static_cast<std::size_t>(round + 1)));
        // Each connection carries data both ways before it is dropped.
        exchangeBothWays(peer.fd(), 4096, static_cast<std::uint32_t>(10 + round));
        if (round == kLosses) {
            last = std::move(peer);
            break;
        }
        peer.reset();
        ASSERT_TRUE(m_core->waitForLogCount(lostText(kCom), static_cast<std::size_t>(round + 1)));
    }
    EXPECT_EQ(m_core->countMappingLog(connectedText(kCom)), static_cast<std::size_t>(kLosses + 1));
    EXPECT_EQ(m_core->countMappingLog(lostText(kCom)), static_cast<std::size_t>(kLosses));
}

TEST_F(TcpMapping, ServerHoldsOneConnectionAtATime) {
    constexpr int kCom = 14;
    constexpr std::uint16_t kPort = 41014;
    addMapping(makeDesc(kCom, kModeTcpServer, "0.0.0.0", kPort, 0));
    ASSERT_TRUE(m_app.open(m_home->portLink(kCom), kFastLine));
    Sock first = tcpConnect(kPort);
    ASSERT_TRUE(first.valid());
    ASSERT_TRUE(m_core->waitForLogCount(acceptedText(kCom), 1));

    // The second peer's connection completes in the listen backlog but is not accepted:
    // what it sends must wait while the first connection carries data.
    Sock second = tcpConnect(kPort);
    ASSERT_TRUE(second.valid());
    const auto secondData = testPattern(3000, 21);
    ASSERT_TRUE(sendAll(second.fd(), secondData.data(), secondData.size()));
    const auto firstData = testPattern(5000, 22);
    ASSERT_TRUE(sendAll(first.fd(), firstData.data(), firstData.size()));
    const auto gotFirst = m_app.readExactly(firstData.size());
    EXPECT_TRUE(gotFirst == firstData) << firstDifference(firstData, gotFirst);
    EXPECT_EQ(m_core->countMappingLog(acceptedText(kCom)), 1u);
    EXPECT_EQ(m_app.available(), 0) << "bytes of the waiting connection leaked in";

    // Once the first peer goes, the waiting one is accepted and its bytes arrive.
    first.reset();
    ASSERT_TRUE(m_core->waitForLogCount(lostText(kCom), 1));
    ASSERT_TRUE(m_core->waitForLogCount(acceptedText(kCom), 2));
    const auto gotSecond = m_app.readExactly(secondData.size());
    EXPECT_TRUE(gotSecond == secondData) << firstDifference(secondData, gotSecond);
    EXPECT_EQ(m_core->countMappingLog(lostText(kCom)), 1u);
}

TEST_F(TcpMapping, BytesWrittenWhileDisconnectedArriveAfterTheNextConnection) {
    constexpr int kCom = 15;
    constexpr std::uint16_t kPort = 41015;
    addMapping(makeDesc(kCom, kModeTcpClient, "127.0.0.1", 0, kPort));
    ASSERT_TRUE(m_app.open(m_home->portLink(kCom), kFastLine));
    // No server yet: the client keeps trying, and what the application writes waits.
    const auto early = testPattern(2000, 31);
    ASSERT_TRUE(m_app.writeAll(early));
    EXPECT_EQ(m_core->countMappingLog(connectedText(kCom)), 0u);

    Sock listener = tcpListen(kPort);
    ASSERT_TRUE(listener.valid());
    Sock peer = tcpAccept(listener);
    ASSERT_TRUE(peer.valid());
    const auto got = recvExactly(peer.fd(), early.size());
    EXPECT_TRUE(got == early) << firstDifference(early, got);

    // The same after a loss: bytes written while the connection is down are kept for the
    // next one, none lost and none doubled.
    // (The listener goes first, so the client cannot reconnect before the bytes are written.)
    listener.reset();
    peer.reset();
    ASSERT_TRUE(m_core->waitForLogCount(lostText(kCom), 1));
    const auto late = testPattern(3000, 32);
    ASSERT_TRUE(m_app.writeAll(late));
    listener = tcpListen(kPort);
    ASSERT_TRUE(listener.valid());
    peer = tcpAccept(listener);
    ASSERT_TRUE(peer.valid());
    const auto gotLate = recvExactly(peer.fd(), late.size());
    EXPECT_TRUE(gotLate == late) << firstDifference(late, gotLate);
}

} // namespace
