// A port's open and close, end to end as a serial port behaves: a shell redirection's bytes
// reach the peer, what the closing wait cannot send is dropped and counted, the peer's last
// bytes before it hangs up reach the open application, and what the peer sends while the
// port is closed never reaches the next application. The program core in-process, real
// processes on the port, loopback peers, in a private network namespace.

#include <gtest/gtest.h>

#include <sys/ioctl.h>

#include "mapping/data_pumps.h"
#include "mapping_harness.h"
#include "support/netns.h"

namespace {

using namespace mapping_test;

std::string text(const std::vector<std::uint8_t>& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

int unreadBytes(SocketHandle sock) {
    int unread = -1;
    return sock > 0 && ::ioctl(sock, FIONREAD, &unread) == 0 ? unread : -1;
}

class OpenClose : public MappingTest {
protected:
    void add(int com, std::int32_t mode, std::uint16_t local, std::uint16_t remote) {
        addMapping(makeDesc(com, mode, mode == kModeTcpServer ? "0.0.0.0" : "127.0.0.1", local, remote));
    }
    std::string link(int com) const { return m_home->portLink(com); }
    // The core's main loop runs while a step of the test waits.
    bool waitFor(const std::function<bool()>& done) { return m_core->waitFor(done); }
    bool logged(const std::string& row) { return m_core->waitForLogCount(row, 1); }
};

TEST_F(OpenClose, AShellRedirectionsBytesReachThePeerInEveryMode) {
    // TCP client, never connected before: the shell's open starts the connection, which
    // comes up after the close and still carries the bytes.
    Sock listener = tcpListen(42031);
    ASSERT_TRUE(listener.valid());
    add(31, kModeTcpClient, 0, 42031);
    EXPECT_EQ(shellWrite("AT+RESET\r", link(31)), "");
    Sock device = tcpAccept(listener);
    ASSERT_TRUE(device.valid());
    EXPECT_EQ(text(recvExactly(device.fd(), 9)), "AT+RESET\r");
    // Connected since: the next script's bytes go at once over the same connection.
    EXPECT_EQ(shellWrite("AT+RESET-WRITTEN-JUST-BEFORE-CLOSE\r", link(31)), "");
    EXPECT_EQ(text(recvExactly(device.fd(), 35)), "AT+RESET-WRITTEN-JUST-BEFORE-CLOSE\r");

    // TCP server with its peer connected while no application holds the port.
    add(32, kModeTcpServer, 42032, 0);
    ASSERT_TRUE(m_app.open(link(32), 115200)); // the server listens from the first open
    Sock client = tcpConnect(42032);
    ASSERT_TRUE(client.valid());
    ASSERT_TRUE(waitFor([&] { return m_core->mapping(32)->isConnected(); }));
    m_app.close();
    EXPECT_EQ(shellWrite("*IDN?\n", link(32)), "");
    EXPECT_EQ(text(recvExactly(client.fd(), 6)), "*IDN?\n");

    // UDP: one datagram.
    Sock peer = udpBound(42133);
    ASSERT_TRUE(peer.valid());
    add(33, kModeUdp, 42033, 42133);
    EXPECT_EQ(shellWrite("MEAS?\r\n", link(33)), "");
    EXPECT_EQ(text(recvExactly(peer.fd(), 7)), "MEAS?\r\n");
    EXPECT_EQ(m_core->countMappingLog("COM33: 7 byte(s) written before the close could not be sent."), 0u);
}

TEST_F(OpenClose, WhatTheClosingWaitCannotSendIsDroppedAndCounted) {
    add(34, kModeTcpClient, 0, 42034); // nothing listens: no connection comes
    EXPECT_EQ(shellWrite("0123456789", link(34)), "");
    ASSERT_TRUE(waitFor([&] { return m_core->mapping(34)->net->closingUntilNs.load() != 0; }));
    EXPECT_EQ(m_core->countMappingLog("COM34: 10 byte(s) written before the close could not be sent."), 0u);
    m_core->time().advance(kClosingWait);
    ASSERT_TRUE(logged("COM34: 10 byte(s) written before the close could not be sent."));

    // The next application's bytes are the first the device gets.
    Sock listener = tcpListen(42034);
    ASSERT_TRUE(listener.valid());
    ASSERT_TRUE(m_app.open(link(34), 115200));
    Sock device = tcpAccept(listener);
    ASSERT_TRUE(device.valid());
    const std::vector<std::uint8_t> fresh{'f', 'r', 'e', 's', 'h'};
    ASSERT_TRUE(m_app.writeAll(fresh));
    EXPECT_EQ(text(recvExactly(device.fd(), fresh.size())), "fresh");
    EXPECT_EQ(m_core->countMappingLog("COM34: 10 byte(s) written before the close could not be sent."), 1u);
}

TEST_F(OpenClose, ThePeersLastBytesBeforeItHangsUpReachTheOpenApplication) {
    Sock listener = tcpListen(42035);
    ASSERT_TRUE(listener.valid());
    add(35, kModeTcpClient, 0, 42035);
    ASSERT_TRUE(m_app.open(link(35), 115200)); // about 11.5 KB/s: the ring holds most of it
    Sock device = tcpAccept(listener);
    ASSERT_TRUE(device.valid());
    const auto burst = testPattern(20019, 35);
    ASSERT_TRUE(sendAll(device.fd(), burst.data(), burst.size()));
    device.reset();
    const auto got = m_app.readExactly(burst.size());
    EXPECT_TRUE(got == burst) << firstDifference(burst, got);
    EXPECT_EQ(m_core->countMappingLog("COM35 is disconnected and reconnection is being tried."), 1u);
}

TEST_F(OpenClose, WhatThePeerSendsWhileThePortIsClosedNeverReachesTheNextApplication) {
    // TCP: the connection stays up; what comes meanwhile is read and dropped.
    add(36, kModeTcpServer, 42036, 0);
    ASSERT_TRUE(m_app.open(link(36), 115200));
    Sock device = tcpConnect(42036);
    ASSERT_TRUE(device.valid());
    TARNINFO* tcp = m_core->mapping(36);
    ASSERT_TRUE(waitFor([&] { return tcp->isConnected(); }));
    m_app.close();
    ASSERT_TRUE(waitFor([&] { return !tcp->isOpen(); }));
    const auto stale = testPattern(6000, 36);
    ASSERT_TRUE(sendAll(device.fd(), stale.data(), stale.size()));
    ASSERT_TRUE(waitFor([&] { return unreadBytes(tcp->net->dataSock.load()) == 0; }));
    EXPECT_TRUE(tcp->isConnected());

    ASSERT_TRUE(m_app.open(link(36), 115200));
    ASSERT_TRUE(logged("COM36: 6000 byte(s) received while the port was closed were discarded."));
    const std::string fresh = "SENT-AFTER-THE-OPEN";
    ASSERT_TRUE(sendAll(device.fd(), reinterpret_cast<const std::uint8_t*>(fresh.data()), fresh.size()));
    EXPECT_EQ(text(m_app.readExactly(fresh.size())), fresh);
    m_app.close();

    // UDP: datagrams too.
    Sock peer = udpBound(42137);
    ASSERT_TRUE(peer.valid());
    add(37, kModeUdp, 42037, 42137);
    TARNINFO* udp = m_core->mapping(37);
    const sockaddr_in to = loopback(42037);
    const std::string old = "SENT-WHILE-NO-APP-HELD-THE-PORT";
    ASSERT_EQ(::sendto(peer.fd(), old.data(), old.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to),
              static_cast<ssize_t>(old.size()));
    ASSERT_TRUE(waitFor([&] { return unreadBytes(udp->net->listenSock.load()) == 0; }));
    ASSERT_TRUE(m_app.open(link(37), 115200));
    ASSERT_TRUE(logged("COM37: 31 byte(s) received while the port was closed were discarded."));
    const std::string reading = "+0001.25 kg";
    ASSERT_EQ(::sendto(peer.fd(), reading.data(), reading.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to),
              static_cast<ssize_t>(reading.size()));
    EXPECT_EQ(text(m_app.readExactly(reading.size())), reading);
    EXPECT_EQ(m_core->countMappingLog("COM36: 6000 byte(s) received while the port was closed were discarded."), 1u);
}

} // namespace
