// tarn-devsim's control port, device side: what it records, what it answers, and what it
// sends when told to. Loopback in a private namespace.

#include <gtest/gtest.h>

#include <termios.h>

#include "integration/devsim_harness.h"
#include "support/netns.h"
#include "support/pty_app.h"

using namespace devsimtest;

namespace {

const std::string kZeros16 = " 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00";

Bytes lineSettings(const std::string& settings, const std::string& password = {}) {
    Bytes message = hex("01 " + settings);
    Bytes pw(16, 0);
    std::copy(password.begin(), password.end(), pw.begin());
    message.insert(message.end(), pw.begin(), pw.end());
    return message;
}

Bytes modemSignals(std::uint8_t signals, const std::string& password = {}) {
    Bytes message{0x15, signals};
    Bytes pw(16, 0);
    std::copy(password.begin(), password.end(), pw.begin());
    message.insert(message.end(), pw.begin(), pw.end());
    return message;
}

struct Exchange {
    const char* label;
    Bytes sent;                     // one send of the host
    std::vector<std::string> lines; // the "control rx" lines it gives, in order
    Bytes answer;                   // what the device sends back
};

class DevsimControlExchange : public ::testing::TestWithParam<Exchange> {};

TEST_P(DevsimControlExchange, IsRecordedAndAnswered) {
    TARN_REQUIRE_PRIVATE_NETNS();
    const Exchange& c = GetParam();
    Devsim sim({"--device", "ip=127.0.0.30,control-port=4002,baud=38400"});
    ASSERT_TRUE(sim.waitReady()) << sim.transcript();
    TcpPeer host = TcpPeer::connect("127.0.0.30", 4002);
    ASSERT_TRUE(host.ok());
    ASSERT_TRUE(sim.waitLine("control connected 127.0.0.1:"));
    ASSERT_TRUE(host.send(c.sent));
    for (const auto& line : c.lines) {
        const auto got = sim.waitLine("control rx");
        ASSERT_TRUE(got) << sim.transcript();
        EXPECT_EQ(*got, "control rx " + line);
    }
    if (!c.answer.empty()) {
        EXPECT_EQ(hexText(host.receive(c.answer.size())), hexText(c.answer));
    }
    // Nothing else came back: the next bytes from the device answer this query.
    ASSERT_TRUE(host.send({0x03}));
    const Bytes report = host.receive(6);
    ASSERT_EQ(report.size(), 6u);
    EXPECT_EQ(report[0], 0x04);
}

INSTANTIATE_TEST_SUITE_P(
    Messages, DevsimControlExchange,
    ::testing::Values(
        Exchange{"LineSettings", lineSettings("05 08 00 00 00"), {"01 05 08 00 00 00" + kZeros16}, hex("02 00")},
        Exchange{"ModemSignals", modemSignals(0x0C), {"15 0c" + kZeros16}, hex("16 00")},
        Exchange{"QueryReportsTheImageSettings", hex("03"), {"03"}, hex("04 07 08 00 00 00")},
        Exchange{"OneByteMessagesAreOnlyRecorded", hex("13 21"), {"13", "21"}, {}},
        Exchange{"HostReportOfItsSettings", hex("04 09 08 00 00 02"), {"04 09 08 00 00 02"}, {}},
        Exchange{"TwoMessagesInOneSend",
                 [] {
                     Bytes both = lineSettings("09 07 02 02 02");
                     const Bytes s = modemSignals(0x04);
                     both.insert(both.end(), s.begin(), s.end());
                     return both;
                 }(),
                 {"01 09 07 02 02 02" + kZeros16, "15 04" + kZeros16},
                 hex("02 00 16 00")},
        Exchange{"UnknownCodeTakesWhatArrived", hex("7e 01 02"), {"7e 01 02"}, {}}),
    [](const ::testing::TestParamInfo<Exchange>& info) { return std::string(info.param.label); });

TEST(DevsimControl, AMessageSplitAcrossSendsIsOneLine) {
    TARN_REQUIRE_PRIVATE_NETNS();
    Devsim sim({"--device", "ip=127.0.0.31"});
    ASSERT_TRUE(sim.waitReady()) << sim.transcript();
    TcpPeer host = TcpPeer::connect("127.0.0.31", 4002);
    ASSERT_TRUE(host.ok());
    const Bytes message = lineSettings("06 08 01 00 01");
    ASSERT_TRUE(host.send(Bytes(message.begin(), message.begin() + 7)));
    ASSERT_TRUE(host.send(Bytes(message.begin() + 7, message.end())));
    EXPECT_EQ(sim.waitLine("control rx").value_or(""), "control rx 01 06 08 01 00 01" + kZeros16);
    EXPECT_EQ(host.receive(2), hex("02 00"));
    // The settings it accepted are what it reports from then on.
    ASSERT_TRUE(host.send({0x03}));
    EXPECT_EQ(host.receive(6), hex("04 06 08 01 00 01"));
}

TEST(DevsimControl, ForcedResultAnswersWrongPassword) {
    TARN_REQUIRE_PRIVATE_NETNS();
    Devsim sim({"--control-result", "1", "--device", "ip=127.0.0.32"});
    ASSERT_TRUE(sim.waitReady()) << sim.transcript();
    TcpPeer host = TcpPeer::connect("127.0.0.32", 4002);
    ASSERT_TRUE(host.ok());
    ASSERT_TRUE(host.send(lineSettings("05 08 00 00 00")));
    EXPECT_EQ(host.receive(2), hex("02 01"));
    ASSERT_TRUE(host.send(modemSignals(0x08)));
    EXPECT_EQ(host.receive(2), hex("16 01"));
    EXPECT_TRUE(sim.waitLine("control tx 16 01"));
}

TEST(DevsimControl, ControlPasswordDecidesTheResult) {
    TARN_REQUIRE_PRIVATE_NETNS();
    Devsim sim({"--device", "ip=127.0.0.33,control-password=abc"});
    ASSERT_TRUE(sim.waitReady()) << sim.transcript();
    TcpPeer host = TcpPeer::connect("127.0.0.33", 4002);
    ASSERT_TRUE(host.ok());
    ASSERT_TRUE(host.send(lineSettings("05 08 00 00 00")));
    EXPECT_EQ(host.receive(2), hex("02 01"));
    ASSERT_TRUE(host.send(modemSignals(0x0C, "abc")));
    EXPECT_EQ(host.receive(2), hex("16 00"));
}

TEST(DevsimControl, SendsWhatItIsToldOnStandardInput) {
    TARN_REQUIRE_PRIVATE_NETNS();
    Devsim sim({"--device", "ip=127.0.0.34"});
    ASSERT_TRUE(sim.waitReady()) << sim.transcript();
    EXPECT_EQ(sim.ask("send 11 30"), "error no control connection");
    TcpPeer host = TcpPeer::connect("127.0.0.34", 4002);
    ASSERT_TRUE(host.ok());
    ASSERT_TRUE(sim.waitLine("control connected"));
    const std::vector<std::pair<std::string, Bytes>> commands = {
        {"send 11 30", hex("11 30")},
        {"send 14 c0", hex("14 c0")},
        {"send 03", hex("03")},
        {"send 0x04 090800 0002", hex("04 09 08 00 00 02")},
        {"send 127.0.0.34 11 00", hex("11 00")},
    };
    for (const auto& [command, bytes] : commands) {
        EXPECT_EQ(sim.ask(command), "ok send " + std::to_string(bytes.size()));
        EXPECT_EQ(hexText(host.receive(bytes.size())), hexText(bytes)) << command;
    }
    EXPECT_EQ(sim.ask("send 10.9.9.9 11 00"), "error no device 10.9.9.9");
    EXPECT_EQ(sim.ask("send"), "error usage: send [IP] HEX...");
    EXPECT_EQ(sim.ask("frobnicate"), "error unknown command 'frobnicate'");
}

TEST(DevsimControl, NewestConnectionReplacesTheOldOne) {
    TARN_REQUIRE_PRIVATE_NETNS();
    Devsim sim({"--device", "ip=127.0.0.35"});
    ASSERT_TRUE(sim.waitReady()) << sim.transcript();
    TcpPeer first = TcpPeer::connect("127.0.0.35", 4002);
    ASSERT_TRUE(first.ok());
    ASSERT_TRUE(sim.waitLine("control connected"));
    TcpPeer second = TcpPeer::connect("127.0.0.35", 4002);
    ASSERT_TRUE(second.ok());
    EXPECT_TRUE(sim.waitLine("control closed (replaced)"));
    EXPECT_TRUE(first.waitClosed());
    EXPECT_EQ(sim.ask("send 11 10"), "ok send 2");
    EXPECT_EQ(second.receive(2), hex("11 10"));
}

TEST(DevsimControl, NoControlPortMeansNoListener) {
    TARN_REQUIRE_PRIVATE_NETNS();
    Devsim sim({"--device", "ip=127.0.0.36,control-port=0"});
    ASSERT_TRUE(sim.waitReady()) << sim.transcript();
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in a = address("127.0.0.36", 4002);
    EXPECT_NE(::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a), 0);
    ::close(fd);
}

TEST(DevsimControl, AcceptedBaudRateReachesThePseudoTerminal) {
    TARN_REQUIRE_PRIVATE_NETNS();
    const TempDir dir("devsim");
    const std::string link = dir.file("ttyCTL");
    Devsim sim({"--device", "ip=127.0.0.37,serial=pty:" + link});
    ASSERT_TRUE(sim.waitReady()) << sim.transcript();
    testsupport::PtyApp serialDevice(link);
    ASSERT_TRUE(serialDevice.ok());
    TcpPeer host = TcpPeer::connect("127.0.0.37", 4002);
    ASSERT_TRUE(host.ok());
    ASSERT_TRUE(host.send(lineSettings("09 08 00 00 00"))); // 115200
    ASSERT_EQ(host.receive(2), hex("02 00"));
    termios settings{};
    ASSERT_EQ(::tcgetattr(serialDevice.fd(), &settings), 0);
    EXPECT_EQ(::cfgetospeed(&settings), static_cast<speed_t>(B115200));
    EXPECT_EQ(sim.stop(), 0);
}

TEST(DevsimLifecycle, EndsCleanlyOnSigtermAndOnQuit) {
    TARN_REQUIRE_PRIVATE_NETNS();
    {
        Devsim sim({"--device", "ip=127.0.0.38"});
        ASSERT_TRUE(sim.waitReady());
        TcpPeer host = TcpPeer::connect("127.0.0.38", 4002);
        ASSERT_TRUE(host.ok());
        EXPECT_EQ(sim.stop(), 0);
        EXPECT_NE(sim.transcript().find("devsim stopped"), std::string::npos);
    }
    Devsim sim({"--device", "ip=127.0.0.38"});
    ASSERT_TRUE(sim.waitReady());
    sim.command("quit");
    EXPECT_EQ(sim.waitExit(), 0);
}

TEST(DevsimLifecycle, RejectsBadCommandLines) {
    TARN_REQUIRE_PRIVATE_NETNS();
    const std::vector<std::vector<std::string>> bad = {
        {},
        {"--device", "name=x"},
        {"--device", "ip=127.0.0.39,mode=modem"},
        {"--device", "ip=127.0.0.39,name=a-name-longer-than-19"},
        {"--device", "ip=127.0.0.39", "--device", "ip=127.0.0.39"},
        {"--eeprom", "/tmp/x", "--device", "ip=127.0.0.39", "--device", "ip=127.0.0.40"},
        {"--count", "3"},
        {"--bogus"},
    };
    for (const auto& args : bad) {
        Devsim sim(args);
        EXPECT_EQ(sim.waitExit(), 2) << sim.transcript();
    }
    Devsim absent({"--device", "ip=10.99.99.99"});
    EXPECT_EQ(absent.waitExit(), 1);
    EXPECT_NE(absent.transcript().find("not an address of any interface"), std::string::npos);
}

} // namespace
