// tarn-devsim's data endpoint in each working mode, with the serial side echoing or played by
// a second application on the simulator's pseudo-terminal. Loopback in a private namespace.

#include <gtest/gtest.h>

#include <random>
#include <sys/stat.h>
#include <termios.h>

#include "integration/devsim_harness.h"
#include "support/netns.h"
#include "support/pty_app.h"

using namespace devsimtest;

namespace {

Bytes randomBytes(std::size_t size, unsigned seed) {
    std::mt19937 random(seed);
    Bytes bytes(size);
    for (auto& b : bytes)
        b = static_cast<std::uint8_t>(random());
    return bytes;
}

// Sends `payload` and reads the same number of bytes back, interleaved so neither direction's
// buffers have to hold it all.
Bytes echoThrough(TcpPeer& peer, const Bytes& payload) {
    Bytes back;
    constexpr std::size_t kChunk = 16 * 1024;
    for (std::size_t at = 0; at < payload.size(); at += kChunk) {
        const Bytes part(payload.begin() + static_cast<std::ptrdiff_t>(at),
                         payload.begin() + static_cast<std::ptrdiff_t>(std::min(payload.size(), at + kChunk)));
        if (!peer.send(part))
            break;
        const Bytes got = peer.receive(part.size());
        back.insert(back.end(), got.begin(), got.end());
        if (got.size() != part.size())
            break;
    }
    return back;
}

TEST(DevsimData, TcpServerEchoesEveryByteInOrder) {
    TARN_REQUIRE_PRIVATE_NETNS();
    Devsim sim({"--device", "ip=127.0.0.20,mode=tcp-server,data-port=4001"});
    ASSERT_TRUE(sim.waitReady()) << sim.transcript();
    TcpPeer peer = TcpPeer::connect("127.0.0.20", 4001);
    ASSERT_TRUE(peer.ok());
    EXPECT_TRUE(sim.waitLine("data connected 127.0.0.1:"));
    const Bytes payload = randomBytes(256 * 1024, 1);
    EXPECT_EQ(echoThrough(peer, payload), payload);
    EXPECT_EQ(sim.ask("status"), "ok status 127.0.0.20 data=up control=down silent=off");
    peer.close();
    EXPECT_TRUE(sim.waitLine("data closed"));
}

TEST(DevsimData, TcpServerTakesTheNewestConnection) {
    TARN_REQUIRE_PRIVATE_NETNS();
    Devsim sim({"--device", "ip=127.0.0.20,data-port=4001"});
    ASSERT_TRUE(sim.waitReady()) << sim.transcript();
    TcpPeer first = TcpPeer::connect("127.0.0.20", 4001);
    ASSERT_TRUE(first.ok());
    ASSERT_TRUE(sim.waitLine("data connected"));
    TcpPeer second = TcpPeer::connect("127.0.0.20", 4001);
    ASSERT_TRUE(second.ok());
    EXPECT_TRUE(sim.waitLine("data closed (replaced)"));
    EXPECT_TRUE(first.waitClosed());
    EXPECT_EQ(echoThrough(second, hex("01 02 03")), hex("01 02 03"));
}

TEST(DevsimData, TcpClientConnectsFromItsAddressEchoesAndReconnects) {
    TARN_REQUIRE_PRIVATE_NETNS();
    TcpListener host("127.0.0.1");
    ASSERT_TRUE(host.ok());
    Devsim sim({"--device", "ip=127.0.0.21,mode=tcp-client,remote=127.0.0.1:" + std::to_string(host.port())});
    ASSERT_TRUE(sim.waitReady()) << sim.transcript();
    TcpPeer peer = host.accept();
    ASSERT_TRUE(peer.ok());
    EXPECT_EQ(host.lastPeer().rfind("127.0.0.21:", 0), 0u) << host.lastPeer();
    const Bytes payload = randomBytes(64 * 1024, 2);
    EXPECT_EQ(echoThrough(peer, payload), payload);

    peer.close();
    EXPECT_TRUE(sim.waitLine("data closed"));
    TcpPeer again = host.accept();
    ASSERT_TRUE(again.ok()) << "the device connects again after a loss";
    EXPECT_EQ(echoThrough(again, hex("aa bb")), hex("aa bb"));
}

TEST(DevsimData, UdpEchoesToTheSenderWhenNoPeerIsConfigured) {
    TARN_REQUIRE_PRIVATE_NETNS();
    Devsim sim({"--device", "ip=127.0.0.22,mode=udp,data-port=4101"});
    ASSERT_TRUE(sim.waitReady()) << sim.transcript();
    UdpPeer host;
    for (const Bytes& payload : {hex("01"), randomBytes(1400, 3), hex("00 00 ff")}) {
        ASSERT_TRUE(host.send("127.0.0.22", 4101, payload));
        const auto answer = host.receive();
        ASSERT_TRUE(answer);
        EXPECT_EQ(answer->bytes, payload);
        EXPECT_EQ(addressText(answer->from), "127.0.0.22:4101");
    }
    EXPECT_TRUE(sim.waitLine("data from 127.0.0.1:" + std::to_string(host.port())));
}

TEST(DevsimData, UdpSendsToItsConfiguredPeer) {
    TARN_REQUIRE_PRIVATE_NETNS();
    UdpPeer sender;
    UdpPeer peer;
    ASSERT_TRUE(sender.ok() && peer.ok());
    Devsim sim({"--device", "ip=127.0.0.23,mode=udp,data-port=4102,remote=127.0.0.1:" + std::to_string(peer.port())});
    ASSERT_TRUE(sim.waitReady()) << sim.transcript();
    ASSERT_TRUE(sender.send("127.0.0.23", 4102, hex("10 20 30")));
    const auto answer = peer.receive();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->bytes, hex("10 20 30"));
    EXPECT_EQ(sender.drain(), 0u);
}

TEST(DevsimData, SerialCommandSendsBytesAsIfFromTheSerialLine) {
    TARN_REQUIRE_PRIVATE_NETNS();
    Devsim sim({"--device", "ip=127.0.0.24"});
    ASSERT_TRUE(sim.waitReady()) << sim.transcript();
    TcpPeer peer = TcpPeer::connect("127.0.0.24", 4001);
    ASSERT_TRUE(peer.ok());
    ASSERT_TRUE(sim.waitLine("data connected"));
    EXPECT_EQ(sim.ask("serial 41 4243"), "ok serial 3");
    EXPECT_EQ(peer.receive(3), hex("41 42 43"));
    EXPECT_EQ(sim.ask("serial zz"), "error usage: serial [IP] HEX...");
}

class DevsimPty : public ::testing::Test {
protected:
    TempDir m_dir{"devsim"};
    const std::string m_link = m_dir.file("ttyDEV");
};

TEST_F(DevsimPty, SecondApplicationPlaysTheSerialDevice) {
    TARN_REQUIRE_PRIVATE_NETNS();
    {
        Devsim sim({"--serial", "pty:" + m_link, "--device", "ip=127.0.0.25,data-port=4001"});
        ASSERT_TRUE(sim.waitReady()) << sim.transcript();
        testsupport::PtyApp serialDevice(m_link);
        ASSERT_TRUE(serialDevice.ok()) << serialDevice.error();
        TcpPeer host = TcpPeer::connect("127.0.0.25", 4001);
        ASSERT_TRUE(host.ok());
        ASSERT_TRUE(sim.waitLine("data connected"));

        const Bytes down = randomBytes(200 * 1024, 4);
        const Bytes up = randomBytes(200 * 1024, 5);
        // Both directions at once, in slices, so each side's buffers fill and drain.
        Bytes gotDown, gotUp;
        std::size_t sentDown = 0, sentUp = 0;
        const auto deadline = Clock::now() + 60s;
        while ((gotDown.size() < down.size() || gotUp.size() < up.size()) && Clock::now() < deadline) {
            if (sentDown < down.size()) {
                const std::size_t n = std::min<std::size_t>(8192, down.size() - sentDown);
                ASSERT_TRUE(host.send(Bytes(down.begin() + static_cast<std::ptrdiff_t>(sentDown),
                                            down.begin() + static_cast<std::ptrdiff_t>(sentDown + n))));
                sentDown += n;
            }
            if (sentUp < up.size())
                sentUp += serialDevice.writeSome(up.data() + sentUp, std::min<std::size_t>(8192, up.size() - sentUp));
            const Bytes fromPty = serialDevice.readExactly(std::min<std::size_t>(sentDown - gotDown.size(), 4096), 5ms);
            gotDown.insert(gotDown.end(), fromPty.begin(), fromPty.end());
            const Bytes fromNet = host.receive(std::min<std::size_t>(sentUp - gotUp.size(), 4096), 5ms);
            gotUp.insert(gotUp.end(), fromNet.begin(), fromNet.end());
        }
        EXPECT_TRUE(gotDown == down) << "network to serial: " << gotDown.size() << " of " << down.size();
        EXPECT_TRUE(gotUp == up) << "serial to network: " << gotUp.size() << " of " << up.size();
        EXPECT_EQ(sim.stop(), 0);
    }
    struct stat info {};
    EXPECT_NE(::lstat(m_link.c_str(), &info), 0) << "the link goes with the simulator";
}

TEST_F(DevsimPty, RefusesToReplaceAFileThatIsNotALink) {
    TARN_REQUIRE_PRIVATE_NETNS();
    { std::ofstream(m_link) << "keep me"; }
    Devsim sim({"--serial", "pty:" + m_link, "--device", "ip=127.0.0.26"});
    EXPECT_EQ(sim.waitExit(), 1);
    EXPECT_EQ(readFile(m_link), Bytes({'k', 'e', 'e', 'p', ' ', 'm', 'e'}));
}

TEST_F(DevsimPty, UdpModeCarriesDatagramsToThePty) {
    TARN_REQUIRE_PRIVATE_NETNS();
    Devsim sim({"--device", "ip=127.0.0.27,mode=udp,data-port=4103,serial=pty:" + m_link});
    ASSERT_TRUE(sim.waitReady()) << sim.transcript();
    testsupport::PtyApp serialDevice(m_link);
    ASSERT_TRUE(serialDevice.ok()) << serialDevice.error();
    UdpPeer host;
    ASSERT_TRUE(host.send("127.0.0.27", 4103, hex("de ad be ef")));
    EXPECT_EQ(serialDevice.readExactly(4, kDeadline), hex("de ad be ef"));
    // The answer goes to the last sender.
    ASSERT_EQ(serialDevice.writeAll("OK", 2, kDeadline), 2u);
    const auto answer = host.receive();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->bytes, hex("4f 4b"));
    EXPECT_EQ(sim.stop(), 0);
}

} // namespace
