#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "bridge/portable_sock.h"
#include "support/wait.h"

namespace {

using namespace std::chrono_literals;

class SocketLayer : public ::testing::Test {
protected:
    void SetUp() override { startSocketLayer(); }
    void TearDown() override {
        if (g_sock)
            g_sock->setNotificationSink(nullptr);
    }

    // A listening TCP socket on an ephemeral loopback port.
    SocketHandle listenLoopback(Winsock_sockaddr_in& address) {
        SocketHandle s = g_sock->socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        address.set(AF_INET, 0, "127.0.0.1");
        EXPECT_EQ(g_sock->bind(s, &address), 0);
        EXPECT_EQ(g_sock->listen(s, 1), 0);
        sockaddr_in bound{};
        socklen_t len = sizeof bound;
        getsockname(s, reinterpret_cast<sockaddr*>(&bound), &len);
        address.setPort(bound.sin_port);
        return s;
    }
    // The next connection the listener takes, once it arrives; -1 if none does.
    SocketHandle acceptOne(SocketHandle listener, Winsock_sockaddr_in& peer) {
        SocketHandle s = -1;
        testsupport::waitUntil([&] { return (s = g_sock->accept(listener, &peer)) >= 0; });
        return s;
    }
};

} // namespace

TEST_F(SocketLayer, AddressTextRoundTrip) {
    Winsock_sockaddr_in a;
    a.set(AF_INET, g_sock->htons(4001), "10.0.0.5");
    char text[16];
    EXPECT_STREQ(a.toText(text), "10.0.0.5");
    EXPECT_EQ(g_sock->ntohs(a.getPort()), 4001);
    EXPECT_EQ(a.sin_addr[0], 10);
    EXPECT_EQ(a.sin_addr[3], 5);
    a.setAddress(g_sock->inetAddr("192.168.0.10"));
    EXPECT_STREQ(a.toText(text), "192.168.0.10");
    a.setAddressText("not an address");
    EXPECT_STREQ(a.toText(text), "255.255.255.255");
}

TEST_F(SocketLayer, AcceptWithNothingWaitingWouldBlockAtOnce) {
    Winsock_sockaddr_in address;
    SocketHandle listener = listenLoopback(address);
    Winsock_sockaddr_in peer;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(g_sock->accept(listener, &peer), -1);
    EXPECT_EQ(g_sock->lastError(), kWouldBlock);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    g_sock->close(listener);
}

TEST_F(SocketLayer, ConnectSendRecvAndPeerClose) {
    Winsock_sockaddr_in address;
    SocketHandle listener = listenLoopback(address);
    SocketHandle client = g_sock->socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    ASSERT_GT(client, 2);
    ASSERT_EQ(g_sock->connect(client, &address), 0);
    Winsock_sockaddr_in peer;
    SocketHandle server = acceptOne(listener, peer);
    ASSERT_GT(server, 2);

    char buffer[16];
    EXPECT_EQ(g_sock->recv(server, buffer, sizeof buffer, 0), -1) << "1 ms time-out, nothing sent yet";
    EXPECT_EQ(g_sock->lastError(), kWouldBlock);
    EXPECT_EQ(g_sock->send(client, "hello", 5, 0), 5);
    int got = -1;
    for (int i = 0; i < 1000 && got < 0; ++i)
        got = g_sock->recv(server, buffer, sizeof buffer, 0);
    ASSERT_EQ(got, 5);
    EXPECT_EQ(std::memcmp(buffer, "hello", 5), 0);

    g_sock->close(client);
    got = -1;
    for (int i = 0; i < 1000 && got < 0; ++i)
        got = g_sock->recv(server, buffer, sizeof buffer, 0);
    EXPECT_EQ(got, 0) << "a closed peer reads as 0";
    g_sock->close(server);
    g_sock->close(listener);
}

TEST_F(SocketLayer, RecvfromAcceptsAnySenderAndLeavesAddressAlone) {
    Winsock_sockaddr_in local;
    SocketHandle receiver = g_sock->socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    local.set(AF_INET, 0, "127.0.0.1");
    ASSERT_EQ(g_sock->bind(receiver, &local), 0);
    sockaddr_in bound{};
    socklen_t len = sizeof bound;
    getsockname(receiver, reinterpret_cast<sockaddr*>(&bound), &len);
    local.setPort(bound.sin_port);

    Winsock_sockaddr_in configured;
    configured.set(AF_INET, g_sock->htons(9), "127.0.0.99");
    char buffer[64];
    EXPECT_EQ(g_sock->recvfrom(receiver, buffer, sizeof buffer, 0, &configured), -1);
    EXPECT_EQ(g_sock->lastError(), kWouldBlock);

    SocketHandle a = g_sock->socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    SocketHandle b = g_sock->socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    ASSERT_EQ(g_sock->sendto(a, "one", 3, 0, &local), 3);
    ASSERT_EQ(g_sock->sendto(b, "two!", 4, 0, &local), 4);
    std::vector<int> sizes;
    testsupport::waitUntil([&] {
        if (const int n = g_sock->recvfrom(receiver, buffer, sizeof buffer, 0, &configured); n > 0)
            sizes.push_back(n);
        return sizes.size() >= 2;
    });
    EXPECT_EQ(sizes, (std::vector<int>{3, 4})) << "datagrams from two senders, boundaries kept";
    char text[16];
    EXPECT_STREQ(configured.toText(text), "127.0.0.99");
    EXPECT_EQ(g_sock->ntohs(configured.getPort()), 9);
    g_sock->close(a);
    g_sock->close(b);
    g_sock->close(receiver);
}

TEST_F(SocketLayer, ClosingTheRecordsZeroHandleNeverClosesStdin) {
    const bool stdinOpen = fcntl(0, F_GETFD) != -1;
    EXPECT_EQ(g_sock->close(0), -1);
    EXPECT_EQ(fcntl(0, F_GETFD) != -1, stdinOpen);
    SocketHandle s = g_sock->socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    EXPECT_GT(s, 2) << "sockets never take the standard stream numbers";
    g_sock->close(s);
}

namespace {
struct Collector {
    std::mutex m;
    std::condition_variable cv;
    std::vector<SocketNotification> got;
    void operator()(const SocketNotification& n) {
        std::lock_guard g(m);
        got.push_back(n);
        cv.notify_all();
    }
    bool waitCount(std::size_t count, std::chrono::milliseconds limit = 10s) {
        std::unique_lock g(m);
        return cv.wait_for(g, limit, [&] { return got.size() >= count; });
    }
};
} // namespace

TEST_F(SocketLayer, PeerCloseReachesTheMainLoopOnceAfterUnreadDataIsRead) {
    Collector collector;
    g_sock->setNotificationSink([&](const SocketNotification& n) { collector(n); });
    Winsock_sockaddr_in address;
    SocketHandle listener = listenLoopback(address);
    SocketHandle client = g_sock->socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    ASSERT_EQ(g_sock->connect(client, &address), 0);
    Winsock_sockaddr_in peer;
    SocketHandle server = acceptOne(listener, peer);
    ASSERT_GT(server, 2);
    ASSERT_EQ(g_sock->asyncSelect(server, 7, kDataSocketEvents), 0);

    // The peer sends and closes; the close must wait until the bytes are read.
    ASSERT_EQ(g_sock->send(client, "tail", 4, 0), 4);
    g_sock->close(client);
    EXPECT_FALSE(collector.waitCount(1, 100ms)) << "close reported while unread data remained";
    char buffer[8];
    int got = -1;
    for (int i = 0; i < 1000 && got < 0; ++i)
        got = g_sock->recv(server, buffer, sizeof buffer, 0);
    ASSERT_EQ(got, 4);
    ASSERT_TRUE(collector.waitCount(1));
    {
        std::lock_guard g(collector.m);
        EXPECT_EQ(collector.got[0].message, kSocketMessageBase + 7);
        EXPECT_EQ(collector.got[0].sock, server);
        EXPECT_EQ(collector.got[0].event, static_cast<unsigned>(FD_CLOSE));
        EXPECT_TRUE(g_sock->isCurrentRegistration(server, collector.got[0].registration));
    }
    const auto registration = collector.got[0].registration;
    g_sock->close(server);
    EXPECT_FALSE(g_sock->isCurrentRegistration(server, registration)) << "a closed socket's notification is stale";
    EXPECT_FALSE(collector.waitCount(2, 50ms)) << "one notification per close";

    // A new connection that gets the same number is a new registration: the old
    // notification must not apply to it.
    SocketHandle client2 = g_sock->socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    ASSERT_EQ(g_sock->connect(client2, &address), 0);
    SocketHandle server2 = acceptOne(listener, peer);
    ASSERT_GT(server2, 2);
    ASSERT_EQ(g_sock->asyncSelect(server2, 7, kDataSocketEvents), 0);
    if (server2 == server) {
        EXPECT_FALSE(g_sock->isCurrentRegistration(server2, registration));
    }
    g_sock->close(client2);
    g_sock->close(server2);
    g_sock->close(listener);
}
