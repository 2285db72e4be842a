// End to end with an independent peer: socat echoes everything the mapping sends, so the
// application reads back exactly what it wrote. Runs inside a private network namespace.

#include <gtest/gtest.h>

#include "mapping_harness.h"
#include "support/netns.h"

namespace {

using namespace mapping_test;

constexpr std::uint32_t kFastLine = 4000000;

bool haveSocat() {
    return ::access("/usr/bin/socat", X_OK) == 0 || ::access("/bin/socat", X_OK) == 0;
}

class SocatPeer : public MappingTest {
protected:
    void SetUp() override {
        if (!haveSocat())
            GTEST_SKIP() << "socat is not installed";
        MappingTest::SetUp();
    }

    // Writes the pattern and reads the echo at the same time.
    void echoRoundTrip(std::size_t size, std::uint32_t seed) {
        const auto data = testPattern(size, seed);
        bool sent = false;
        std::vector<std::uint8_t> echoed;
        {
            Background writer([&] { sent = m_app.writeAll(data); });
            echoed = m_app.readExactly(size);
        }
        EXPECT_TRUE(sent);
        EXPECT_TRUE(echoed == data) << firstDifference(data, echoed);
    }

    ChildProcess m_socat;
};

TEST_F(SocatPeer, TcpClientMappingRoundTripsThroughSocatEchoServer) {
    constexpr int kCom = 31;
    constexpr std::uint16_t kPort = 43031;
    ASSERT_TRUE(m_socat.start({"socat", "TCP-LISTEN:" + std::to_string(kPort) + ",bind=127.0.0.1,reuseaddr", "PIPE"}));
    addMapping(makeDesc(kCom, kModeTcpClient, "127.0.0.1", 0, kPort));
    ASSERT_TRUE(m_app.open(m_home->portLink(kCom), kFastLine));
    // The client retries until socat listens.
    ASSERT_TRUE(m_core->waitForLogCount("COM31 as a client connects server( 127.0.0.1).", 1));
    echoRoundTrip(256 * 1024, 71);
}

TEST_F(SocatPeer, TcpServerMappingRoundTripsThroughSocatEchoClient) {
    constexpr int kCom = 32;
    constexpr std::uint16_t kPort = 43032;
    addMapping(makeDesc(kCom, kModeTcpServer, "0.0.0.0", 0 + kPort, 0));
    ASSERT_TRUE(m_app.open(m_home->portLink(kCom), kFastLine));
    ASSERT_TRUE(
        m_socat.start({"socat", "TCP:127.0.0.1:" + std::to_string(kPort) + ",retry=600,interval=0.05", "PIPE"}));
    ASSERT_TRUE(m_core->waitForLogCount("COM32 as a server accepts 1 connection(s).", 1));
    echoRoundTrip(256 * 1024, 72);
}

TEST_F(SocatPeer, UdpMappingRoundTripsThroughSocatEcho) {
    constexpr int kCom = 33;
    constexpr std::uint16_t kLocal = 43033, kRemote = 43133;
    // Blocks of at most 1400 bytes, so every echoed datagram fits one receive.
    ASSERT_TRUE(
        m_socat.start({"socat", "-b", "1400", "UDP-LISTEN:" + std::to_string(kRemote) + ",bind=127.0.0.1", "PIPE"}));
    addMapping(makeDesc(kCom, kModeUdp, "127.0.0.1", kLocal, kRemote));
    ASSERT_TRUE(m_app.open(m_home->portLink(kCom), kFastLine));
    // socat may not be bound yet when the first datagram leaves; start with a probe byte that
    // is sent again until its echo comes back.
    const std::uint8_t probe = 0x5a;
    std::vector<std::uint8_t> answer;
    for (int attempt = 0; attempt < 200 && answer.empty(); ++attempt) {
        ASSERT_TRUE(m_app.writeAll(&probe, 1));
        answer = m_app.readExactly(1, 100ms);
    }
    ASSERT_EQ(answer, std::vector<std::uint8_t>{probe});
    // Drain echoes of any repeated probes before the real data.
    while (!m_app.readExactly(1, 200ms).empty()) {
    }
    echoRoundTrip(64 * 1024, 73);
}

} // namespace
