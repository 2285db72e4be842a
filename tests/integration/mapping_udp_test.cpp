// End to end over UDP: an application on COM<n>, the program core in-process, and a peer
// socket on loopback, inside a private network namespace.

#include <gtest/gtest.h>

#include <sys/ioctl.h>

#include "mapping_harness.h"
#include "support/netns.h"

namespace {

using namespace mapping_test;

constexpr std::uint32_t kFastLine = 4000000;
constexpr std::size_t kMaxDatagram = 1400;

class UdpMapping : public MappingTest {
protected:
    // A mapping on COM<com> bound to `local`, sending to the peer bound to `remote`.
    void start(int com, std::uint16_t local, std::uint16_t remote) {
        m_peer = udpBound(remote);
        ASSERT_TRUE(m_peer.valid());
        const core::CommandOutcome outcome = (**m_core).addMapping(makeDesc(com, kModeUdp, "127.0.0.1", local, remote));
        ASSERT_TRUE(outcome.ok()) << outcome.error();
        m_local = local;
        ASSERT_TRUE(m_app.open(m_home->portLink(com), kFastLine));
    }

    bool sendDatagram(const std::uint8_t* data, std::size_t size) {
        const sockaddr_in to = loopback(m_local);
        return ::sendto(m_peer.fd(), data, size, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) ==
               static_cast<ssize_t>(size);
    }

    Sock m_peer;
    std::uint16_t m_local = 0;
};

// Both directions at once. Outgoing datagrams never exceed 1400 bytes; incoming datagrams of
// any size up to 1400 arrive whole and in order. The peer keeps a bounded amount in flight
// so that loopback's socket buffer, not the bridge, is never the one to drop a datagram.
TEST_F(UdpMapping, CarriesEveryByteValueBothWaysInDatagramsOfAtMost1400Bytes) {
    constexpr int kCom = 21;
    start(kCom, 42021, 42121);
    constexpr std::size_t kSize = 200 * 1024;
    const auto toNet = testPattern(kSize, 51);
    const auto toApp = testPattern(kSize, 52);

    std::atomic<std::size_t> appReceived{0};
    std::vector<std::uint8_t> atPeer;
    std::size_t largestOut = 0, datagramsOut = 0;
    bool appSent = false, peerSent = true;
    std::vector<std::uint8_t> atApp;
    {
        Background peerReader([&] {
            const auto deadline = Clock::now() + kDeadline;
            std::uint8_t datagram[65536];
            while (atPeer.size() < kSize && Clock::now() < deadline) {
                pollfd p{m_peer.fd(), POLLIN, 0};
                if (::poll(&p, 1, 10) <= 0)
                    continue;
                const ssize_t n = ::recv(m_peer.fd(), datagram, sizeof datagram, MSG_DONTWAIT);
                if (n <= 0)
                    continue;
                largestOut = std::max(largestOut, static_cast<std::size_t>(n));
                ++datagramsOut;
                atPeer.insert(atPeer.end(), datagram, datagram + n);
            }
        });
        Background peerWriter([&] {
            static constexpr std::size_t kSizes[] = {1, 1400, 700, 1024, 13, 1399, 256};
            const auto deadline = Clock::now() + kDeadline;
            std::size_t sent = 0;
            for (std::size_t i = 0; sent < kSize; ++i) {
                const std::size_t n = std::min(kSizes[i % std::size(kSizes)], kSize - sent);
                const bool room =
                    testsupport::waitUntil([&] { return sent - appReceived.load() <= 64 * 1024; }, kDeadline);
                if (!room || Clock::now() >= deadline || !sendDatagram(toApp.data() + sent, n)) {
                    peerSent = false;
                    return;
                }
                sent += n;
            }
        });
        Background appWriter([&] { appSent = m_app.writeAll(toNet); });
        const auto deadline = Clock::now() + kDeadline;
        while (atApp.size() < kSize && Clock::now() < deadline) {
            const auto part = m_app.readExactly(std::min<std::size_t>(4096, kSize - atApp.size()), 20ms);
            atApp.insert(atApp.end(), part.begin(), part.end());
            appReceived.store(atApp.size());
        }
    }
    EXPECT_TRUE(appSent);
    EXPECT_TRUE(peerSent);
    EXPECT_TRUE(atApp == toApp) << "peer to application: " << firstDifference(toApp, atApp);
    EXPECT_TRUE(atPeer == toNet) << "application to peer: " << firstDifference(toNet, atPeer);
    EXPECT_LE(largestOut, kMaxDatagram);
    EXPECT_GE(datagramsOut, kSize / kMaxDatagram);
    // A UDP mapping has no connection to report.
    for (const auto& row : (**m_core).mappingLog().rows())
        EXPECT_EQ(row.text, "COM21 is created.");
}

} // namespace
