// How a TCP mapping's connections are made: the attempts' pace against a device that drops
// every connection at once, and the options every data connection carries. The program core
// in-process with peers on loopback, inside a private network namespace.

#include <gtest/gtest.h>

#include "bridge/tcp_tuning.h"
#include "mapping_harness.h"
#include "support/netns.h"

namespace {

using namespace mapping_test;

class MappingConnections : public MappingTest {
protected:
    void openApp(int com) {
        ASSERT_TRUE(m_app.open(m_home->portLink(com), 115200));
        ASSERT_TRUE(m_core->waitFor([&] { return m_core->mapping(com)->isOpen(); }));
    }

    // The options of the mapping's current data socket, as the kernel holds them.
    void expectTuned(int com) {
        const int sock = m_core->mapping(com)->net->dataSock.load();
        ASSERT_GT(sock, 0);
        EXPECT_EQ(intOption(sock, SOL_SOCKET, SO_KEEPALIVE), 1);
        EXPECT_EQ(intOption(sock, IPPROTO_TCP, TCP_KEEPIDLE), kTcpTuning.keepIdle.count());
        EXPECT_EQ(intOption(sock, IPPROTO_TCP, TCP_KEEPINTVL), kTcpTuning.keepInterval.count());
        EXPECT_EQ(intOption(sock, IPPROTO_TCP, TCP_KEEPCNT), kTcpTuning.keepCount);
        EXPECT_EQ(intOption(sock, IPPROTO_TCP, TCP_USER_TIMEOUT), kTcpTuning.userTimeout.count());
        EXPECT_EQ(intOption(sock, IPPROTO_TCP, TCP_NODELAY), 1);
    }
};

TEST_F(MappingConnections, ClientAgainstADeviceThatDropsAtOnceDoesNotStorm) {
    constexpr int kCom = 51;
    constexpr std::uint16_t kPort = 4051;
    constexpr auto kWindow = 2s;
    Sock listener = tcpListen(kPort);
    ASSERT_TRUE(listener.valid());
    addMapping(makeDesc(kCom, kModeTcpClient, "127.0.0.1", 0, kPort));
    openApp(kCom);

    // Counted where the attempts arrive, from the first one on; the core's main loop keeps
    // turning meanwhile, as it would in the program.
    std::atomic<int> accepted{0};
    std::atomic<bool> stop{false};
    Clock::time_point first{};
    {
        Background dropper([&] {
            while (!stop.load()) {
                Sock peer = tcpAccept(listener, 50ms);
                if (peer.valid() && accepted.fetch_add(1) == 0)
                    first = Clock::now();
            }
        });
        ASSERT_TRUE(m_core->waitFor([&] { return accepted.load() > 0; }));
        m_core->waitFor([&] { return Clock::now() - first >= kWindow; });
        stop.store(true);
    }
    const int attempts = accepted.load();
    const double perSecond = attempts / std::chrono::duration<double>(kWindow).count();
    // At most one attempt per 30 ms pass is about 33 a second; the bound leaves room for a
    // count that strays past the window's end.
    EXPECT_LE(perSecond, 50.0) << attempts << " connections in " << kWindow.count() << " s";
    EXPECT_GE(attempts, 5) << "the mapping stopped reconnecting";
}

TEST_F(MappingConnections, DataConnectionsAreTunedForDeadPeersAndPromptSends) {
    constexpr int kServerCom = 52;
    constexpr int kClientCom = 53;
    constexpr std::uint16_t kServerPort = 4052;
    constexpr std::uint16_t kPeerPort = 4053;

    addMapping(makeDesc(kServerCom, kModeTcpServer, "0.0.0.0", kServerPort, 0));
    openApp(kServerCom);
    Sock client = tcpConnect(kServerPort);
    ASSERT_TRUE(client.valid());
    ASSERT_TRUE(m_core->waitForLogCount("COM52 as a server accepts 1 connection(s).", 1));
    expectTuned(kServerCom);

    m_app.close();
    Sock listener = tcpListen(kPeerPort);
    ASSERT_TRUE(listener.valid());
    addMapping(makeDesc(kClientCom, kModeTcpClient, "127.0.0.1", 0, kPeerPort));
    openApp(kClientCom);
    Sock peer = tcpAccept(listener);
    ASSERT_TRUE(peer.valid());
    ASSERT_TRUE(m_core->waitForLogCount("COM53 as a client connects server( 127.0.0.1).", 1));
    expectTuned(kClientCom);
}

} // namespace
