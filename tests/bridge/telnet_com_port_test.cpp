// The port-control codec against a scripted server: negotiation bytes, the data path under any
// split, the server's commands, and what a silent, refusing or broken server leaves behind.

#include <gtest/gtest.h>

#include <random>

#include "bridge/telnet_com_port.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Kind = TelnetComPort::Notice::Kind;
using Notices = std::vector<TelnetComPort::Notice>;
using namespace std::chrono_literals;

constexpr std::uint8_t IAC = 255, DONT = 254, DO = 253, WONT = 252, WILL = 251, SB = 250, SE = 240, NOP = 241;
constexpr std::uint8_t CPC = 44;
const TelnetComPort::TimePoint t0{};

Bytes feed(TelnetComPort& port, const Bytes& wire) {
    Bytes app;
    port.receive(wire, app);
    return app;
}

Bytes sub(std::uint8_t code, Bytes payload) {
    Bytes out = {IAC, SB, CPC, code};
    out.insert(out.end(), payload.begin(), payload.end());
    out.insert(out.end(), {IAC, SE});
    return out;
}

// Started at t0, port control agreed, everything so far drained.
void agree(TelnetComPort& port) {
    port.start(t0);
    feed(port, {IAC, DO, CPC});
    port.takeOutgoing();
    port.takeNotices();
}

TEST(TelnetComPort, NegotiatesOnceAndRefusesWhatItDoesNotSupport) {
    TelnetComPort port;
    port.start(t0);
    EXPECT_EQ(port.takeOutgoing(), (Bytes{IAC, WILL, 0, IAC, DO, 0, IAC, WILL, 3, IAC, DO, 3, IAC, WILL, CPC}));
    const struct {
        Bytes server, answer;
    } steps[] = {
        // Answers to our own offers need no reply.
        {{IAC, DO, 0, IAC, WILL, 0, IAC, DO, 3, IAC, WILL, 3, IAC, DO, CPC}, {}},
        // Repeats change nothing, so they get nothing: no loop.
        {{IAC, DO, 0, IAC, WILL, 3, IAC, DO, CPC}, {}},
        {{IAC, WILL, 1, IAC, DO, 24, IAC, WILL, CPC, IAC, DONT, 31, IAC, WONT, 5},
         {IAC, DONT, 1, IAC, WONT, 24, IAC, DONT, CPC}},
        {{IAC, WONT, 0}, {IAC, DONT, 0}},
        {{IAC, WONT, 0}, {}},
        {{IAC, WILL, 0}, {IAC, DO, 0}},
    };
    for (const auto& step : steps) {
        EXPECT_TRUE(feed(port, step.server).empty());
        EXPECT_EQ(port.takeOutgoing(), step.answer);
    }
    EXPECT_EQ(port.comPort(), TelnetComPort::ComPort::Agreed);
    EXPECT_EQ(port.takeNotices(), (Notices{{Kind::ComPortAgreed}}));
}

TEST(TelnetComPort, DataSurvivesEscapingAndAnySplitAroundCommands) {
    Bytes escaped;
    TelnetComPort::escape(Bytes{IAC, 1, IAC, IAC}, escaped);
    EXPECT_EQ(escaped, (Bytes{IAC, IAC, 1, IAC, IAC, IAC, IAC}));

    const Bytes commands[] = {{IAC, NOP},     {IAC, 249},           {IAC, 0x10},      {IAC, DO, 0},
                              {IAC, WILL, 3}, sub(107, {IAC, IAC}), sub(106, {0x60}), sub(101, {0, 1, IAC, IAC, 0}),
                              sub(108, {}),   sub(109, {}),         sub(105, {8})};
    std::mt19937 random(2217);
    for (int round = 0; round < 200; ++round) {
        TelnetComPort port;
        agree(port);
        Bytes data, wire;
        for (int chunk = 0; chunk < 8; ++chunk) {
            Bytes piece(random() % 40);
            for (auto& byte : piece) // plenty of IAC and of the bytes that follow one
                byte =
                    random() % 3 == 0 ? IAC : static_cast<std::uint8_t>(random() % 2 ? 240 + random() % 16 : random());
            data.insert(data.end(), piece.begin(), piece.end());
            TelnetComPort::escape(piece, wire);
            const Bytes& command = commands[random() % std::size(commands)];
            wire.insert(wire.end(), command.begin(), command.end());
        }
        Bytes app;
        for (std::size_t at = 0; at < wire.size();) {
            const std::size_t n = std::min<std::size_t>(1 + random() % 17, wire.size() - at);
            port.receive(std::span(wire).subspan(at, n), app);
            at += n;
        }
        ASSERT_EQ(app, data) << "round " << round;
        EXPECT_EQ(port.malformedCount(), 0u);
    }
}

TEST(TelnetComPort, CommandsSplitAtEveryByteBoundary) {
    Bytes wire = {'a'};
    for (const Bytes& message : {sub(107, {IAC, IAC}), Bytes{'b', IAC, IAC, 'c', IAC, WILL, 1, 'd'}, sub(100, {})})
        wire.insert(wire.end(), message.begin(), message.end());
    const Bytes answer = {IAC, DONT, 1, IAC, SB, CPC, 0, 't', 'a', 'r', 'n', IAC, SE};
    for (std::size_t i = 0; i <= wire.size(); ++i)
        for (std::size_t j = i; j <= wire.size(); ++j) {
            TelnetComPort port;
            agree(port);
            Bytes app;
            port.receive(std::span(wire).first(i), app);
            port.receive(std::span(wire).subspan(i, j - i), app);
            port.receive(std::span(wire).subspan(j), app);
            ASSERT_EQ(app, (Bytes{'a', 'b', IAC, 'c', 'd'})) << i << ' ' << j;
            ASSERT_EQ(port.modemState(), std::optional<std::uint8_t>(0xFF));
            ASSERT_EQ(port.takeOutgoing(), answer);
        }
}

TEST(TelnetComPort, ServerStateIsKeptAndItsNoticesStaySmall) {
    TelnetComPort port;
    agree(port);
    feed(port, sub(107, {0xB1}));
    EXPECT_EQ(port.modemState(),
              std::optional<std::uint8_t>(TelnetComPort::kDcd | TelnetComPort::kDsr | TelnetComPort::kCts | 0x01));
    // Later states replace a pending notice but keep its change bits.
    for (int i = 0; i < 1000; ++i)
        feed(port, sub(107, {static_cast<std::uint8_t>(i % 2 ? 0x28 : 0x30)}));
    feed(port, sub(106, {0x60}));
    feed(port, sub(108, {}));
    feed(port, sub(108, {}));
    feed(port, sub(100, {'D', 'S', 0x07}));
    EXPECT_TRUE(port.outputSuspended());
    EXPECT_EQ(port.serverSignature(), "DS?");
    EXPECT_EQ(port.takeNotices(), (Notices{{Kind::ModemStateChanged, 0x29},
                                           {Kind::LineStateChanged, 0x60},
                                           {Kind::SuspendChanged, 1},
                                           {Kind::ServerSignature}}));
    feed(port, sub(109, {}));
    EXPECT_FALSE(port.outputSuspended());
}

TEST(TelnetComPort, RefusedOrUnansweredPortControlLeavesAPlainPipe) {
    for (const bool silent : {false, true}) {
        TelnetComPort port;
        port.start(t0);
        port.takeOutgoing();
        EXPECT_TRUE(port.setBaudRate(9600));
        if (silent) {
            port.tick(t0 + 4s);
            EXPECT_TRUE(port.takeNotices().empty());
            port.tick(t0 + 5s);
        } else {
            feed(port, {IAC, DONT, CPC});
        }
        port.tick(t0 + 60s);
        EXPECT_EQ(port.takeNotices(), (Notices{{silent ? Kind::ComPortNoAnswer : Kind::ComPortRefused}}));
        EXPECT_EQ(port.comPort(), TelnetComPort::ComPort::Refused);
        EXPECT_TRUE(port.setParity(2));
        EXPECT_EQ(feed(port, {'x', IAC, IAC, IAC, DO, CPC, 'y'}), (Bytes{'x', IAC, 'y'}));
        EXPECT_EQ(port.takeOutgoing(), (Bytes{IAC, WONT, CPC})) << "a late agreement is turned down";
    }
}

TEST(TelnetComPort, HostileSubnegotiationsAreBoundedAndReportedOnce) {
    TelnetComPort port;
    agree(port);
    Bytes endless = {'a', IAC, SB, CPC, 107};
    for (int i = 0; i < 1000000; ++i)
        endless.push_back(static_cast<std::uint8_t>(i % IAC));
    EXPECT_EQ(feed(port, endless), Bytes{'a'});
    EXPECT_EQ(port.takeNotices(), (Notices{{Kind::MalformedSubnegotiation}}));
    EXPECT_EQ(feed(port, {IAC, SE, 'b'}), Bytes{'b'});

    Bytes offers; // from a server that never reads our refusals
    for (int i = 0; i < 100000; ++i)
        offers.insert(offers.end(), {IAC, WILL, 1, IAC, SB, CPC, 100, IAC, SE});
    EXPECT_TRUE(feed(port, offers).empty());
    EXPECT_LE(port.takeOutgoing().size(), TelnetComPort::kMaxOutgoing + 3 * TelnetComPort::kMaxSubnegotiation);

    const Bytes broken[] = {sub(101, {0, 0, 1}), sub(102, {7, 8}),          sub(108, {1}), sub(150, {1}),
                            {IAC, SB, IAC, SE},  {IAC, SB, 24, 1, IAC, SE}, sub(106, {}),  sub(107, {1, IAC, NOP})};
    for (const Bytes& wire : broken)
        EXPECT_TRUE(feed(port, wire).empty());
    EXPECT_EQ(port.malformedCount(), 1 + std::size(broken));
    EXPECT_TRUE(port.takeNotices().empty());
    EXPECT_FALSE(port.modemState().has_value());
    EXPECT_FALSE(port.confirmed(TelnetComPort::Setting::BaudRate).has_value());
}

TEST(TelnetComPort, SettingsBeforeAgreementGoOutOnceWithTheirLatestValues) {
    TelnetComPort port;
    port.start(t0);
    port.takeOutgoing();
    EXPECT_TRUE(port.setBaudRate(9600) && port.setBaudRate(115200) && port.setDataSize(7) && port.setControl(8) &&
                port.setControl(9) && port.setControl(3) && port.purgeData(1) && port.purgeData(2));
    port.flowControlSuspend();
    port.flowControlResume();
    EXPECT_FALSE(port.setDataSize(4) || port.setDataSize(9) || port.setParity(0) || port.setParity(6) ||
                 port.setStopSize(4) || port.setControl(0) || port.setControl(4) || port.setControl(20) ||
                 port.purgeData(0) || port.setBaudRate(0));
    EXPECT_TRUE(port.takeOutgoing().empty());

    feed(port, {IAC, DO, CPC});
    Bytes expected;
    for (const Bytes& message :
         {sub(1, {0x00, 0x01, 0xC2, 0x00}), sub(2, {7}), sub(5, {3}), sub(5, {9}), sub(12, {3}), sub(9, {})})
        expected.insert(expected.end(), message.begin(), message.end());
    EXPECT_EQ(port.takeOutgoing(), expected);
    feed(port, {IAC, DO, CPC});
    EXPECT_TRUE(port.takeOutgoing().empty());

    port.setModemStateMask(0xFF);
    EXPECT_EQ(port.takeOutgoing(), sub(11, {IAC, IAC}));
}

TEST(TelnetComPort, UnconfirmedSettingIsReportedOnceAndLateConfirmationsRecorded) {
    TelnetComPort port;
    agree(port);
    port.setBaudRate(9600);
    port.setDataSize(8);
    port.tick(t0 + 1s); // the wait starts at the first tick after sending
    port.setBaudRate(19200);
    feed(port, sub(102, {8}));
    port.tick(t0 + 5s);
    EXPECT_TRUE(port.takeNotices().empty());
    port.tick(t0 + 6s);
    EXPECT_EQ(port.takeNotices(), (Notices{{Kind::NoAcknowledgement, 0}}));

    port.setBaudRate(38400);
    port.tick(t0 + 7s);
    port.tick(t0 + 60s);
    EXPECT_TRUE(port.takeNotices().empty()) << "reported once per connection";
    feed(port, sub(101, {0, 0, 0x96, 0}));
    EXPECT_EQ(port.confirmed(TelnetComPort::Setting::BaudRate), std::optional<std::uint32_t>(38400));
    EXPECT_EQ(port.confirmed(TelnetComPort::Setting::DataSize), std::optional<std::uint32_t>(8));
}

} // namespace
