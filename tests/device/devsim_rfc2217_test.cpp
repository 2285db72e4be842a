// tarn-devsim as an RFC 2217 device server, reached from a host namespace over a veth link:
// Telnet negotiation, line commands that the serial pseudo-terminal shows to its application,
// byte-exact framing both ways, modem lines, and the refusing variant.

#include <gtest/gtest.h>

#include <termios.h>

#include "device/netns_harness.h"
#include "integration/devsim_harness.h"
#include "support/pty_app.h"

namespace {

using namespace devsimtest;

class DevsimRfc2217 : public testdevice::DeviceNetworkTest {
protected:
    // The simulator in a device namespace of its own, with standard input for commands.
    std::unique_ptr<Devsim> startDevice(const std::string& keys) {
        const Subnet subnet = addSubnet(41);
        if (!subnet.ns)
            return nullptr;
        auto sim = std::make_unique<Devsim>(std::vector<std::string>{"--no-raw", "--device", "ip=10.77.41.10," + keys},
                                            std::vector<std::string>{"ip", "netns", "exec", subnet.ns->name()});
        EXPECT_TRUE(sim->waitReady()) << sim->transcript();
        return sim;
    }

    // The host's data connection, made in the host namespace.
    TcpPeer connectHost() {
        TcpPeer peer(socketInNamespace(host().name(), AF_INET, SOCK_STREAM, 0));
        const sockaddr_in device = address("10.77.41.10", 4001);
        if (::connect(peer.fd(), reinterpret_cast<const sockaddr*>(&device), sizeof device) != 0)
            return TcpPeer();
        return peer;
    }
};

// Every reply is checked as the exact next bytes, so a stray answer (a negotiation loop, an
// answer to a broken command) shifts the stream and fails the next comparison.
void expectNext(TcpPeer& peer, const std::string& bytes) {
    const Bytes wanted = hex(bytes);
    EXPECT_EQ(hexText(peer.receive(wanted.size())), hexText(wanted));
}

const std::string kOffers = "ff fb 00 ff fd 00 ff fb 03 ff fd 03";
// Agreement to the offers, answered by nothing.
const std::string kAgreeOffers = "ff fd 00 ff fb 00 ff fd 03 ff fb 03";

TEST_F(DevsimRfc2217, LineCommandsReachThePtyAndDataIsFramedByteExact) {
    const std::string link = m_temp.file("ttyDEV");
    auto sim = startDevice("rfc2217=on,serial=pty:" + link);
    ASSERT_TRUE(sim);
    // Opened before the host connects, as the serial application would be.
    testsupport::PtyApp app(link);
    ASSERT_TRUE(app.ok()) << app.error();
    TcpPeer data = connectHost();
    ASSERT_TRUE(data.ok());

    expectNext(data, kOffers);
    // A terminal-type offer is refused; COM port control is taken and the modem lines follow.
    ASSERT_TRUE(data.send(hex(kAgreeOffers + " ff fb 18 ff fb 2c")));
    expectNext(data, "ff fe 18 ff fd 2c ff fa 2c 6b 00 ff f0");
    EXPECT_TRUE(sim->waitLine("rfc2217 agreed"));

    // 19200 baud, 7 data bits, even parity, 2 stop bits; each answered with the value in force.
    ASSERT_TRUE(data.send(hex("ff fa 2c 01 00 00 4b 00 ff f0 ff fa 2c 02 07 ff f0"
                              "ff fa 2c 03 03 ff f0 ff fa 2c 04 02 ff f0")));
    expectNext(data, "ff fa 2c 65 00 00 4b 00 ff f0 ff fa 2c 66 07 ff f0"
                     "ff fa 2c 67 03 ff f0 ff fa 2c 68 02 ff f0");
    for (const char* line : {"rfc2217 baud 19200", "rfc2217 data size 7", "rfc2217 parity even", "rfc2217 stop size 2"})
        EXPECT_TRUE(sim->waitLine(line)) << line << "\n" << sim->transcript();
    // The pty driver keeps CS8 without PARENB whatever is set, so only the rate and the stop
    // bits can show there.
    termios settings{};
    ASSERT_EQ(::tcgetattr(app.fd(), &settings), 0);
    EXPECT_EQ(::cfgetospeed(&settings), static_cast<speed_t>(B19200));
    EXPECT_NE(settings.c_cflag & CSTOPB, 0u);

    // 0xFF both ways; an IAC NOP inside the data never reaches the line.
    ASSERT_TRUE(data.send(hex("41 ff ff ff f1 42 ff ff")));
    EXPECT_EQ(hexText(app.readExactly(4, kDeadline)), "41 ff 42 ff");
    const Bytes fromLine = hex("43 ff 44");
    ASSERT_EQ(app.writeAll(fromLine.data(), fromLine.size(), kDeadline), fromLine.size());
    expectNext(data, "43 ff ff 44");

    // A short baud rate and an oversized subnegotiation are dropped without an answer, and
    // the stream goes on: the next bytes are the signature's answer.
    std::string oversized = "ff fa 2c 00";
    for (int i = 0; i < 200; ++i)
        oversized += " 58";
    ASSERT_TRUE(data.send(hex("ff fa 2c 01 4b 00 ff f0 " + oversized + " ff f0 ff fa 2c 00 ff f0")));
    expectNext(data, "ff fa 2c 64 74 61 72 6e 2d 64 65 76 73 69 6d ff f0");
    EXPECT_TRUE(sim->waitLine("rfc2217 signature"));
    EXPECT_EQ(testdevice::countOf(sim->transcript(), "rfc2217 malformed"), 1u) << sim->transcript();

    // The host's mask filters the change bits out of the modem state the device reports.
    ASSERT_TRUE(data.send(hex("ff fa 2c 0b f0 ff f0")));
    expectNext(data, "ff fa 2c 6f f0 ff f0");
    EXPECT_TRUE(sim->waitLine("rfc2217 modem state mask 0xF0"));
    EXPECT_EQ(sim->ask("modem cts"), "ok modem sent 0x10");
    expectNext(data, "ff fa 2c 6b 10 ff f0");
    EXPECT_EQ(sim->ask("modem cts bogus"), "error usage: modem [IP] cts|dsr|ri|dcd...|none");
}

TEST_F(DevsimRfc2217, RefusingDeviceSaysDontAndStaysTelnet) {
    auto sim = startDevice("rfc2217=refuse,serial=echo");
    ASSERT_TRUE(sim);
    TcpPeer data = connectHost();
    ASSERT_TRUE(data.ok());
    expectNext(data, kOffers);
    ASSERT_TRUE(data.send(hex(kAgreeOffers + " ff fb 2c")));
    expectNext(data, "ff fe 2c");
    EXPECT_TRUE(sim->waitLine("rfc2217 refused"));
    // A line command goes unanswered; data still has its IAC doubled on the way back.
    ASSERT_TRUE(data.send(hex("ff fa 2c 01 00 00 4b 00 ff f0 41 ff ff")));
    expectNext(data, "41 ff ff");
    EXPECT_EQ(sim->ask("modem cts"), "error rfc2217 is not on");

    // Only a listening device can take the option.
    Devsim client({"--device", "ip=10.77.41.10,mode=tcp-client,rfc2217=on"}, {"ip", "netns", "exec", host().name()});
    EXPECT_EQ(client.waitExit(), 2);
    EXPECT_NE(client.transcript().find("rfc2217= needs mode=tcp-server"), std::string::npos) << client.transcript();
}

} // namespace
