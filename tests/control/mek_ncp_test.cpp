// The control endpoint against a real loopback TCP peer: the bytes that leave for each
// message, the send rules, and the device messages.

#include "control/mek_ncp.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "mapping/session_fixture.h"

namespace {

using namespace sessiontest;

// A control endpoint whose socket is connected to a peer that this test reads as the device.
class ControlPeer : public ::testing::Test {
protected:
    void SetUp() override {
        startSocketLayer();
        connectPair(ncp);
        ncp.enabled = 1;
        ncp.connected = 1;
    }

    void connectPair(mek_ncp& endpoint) {
        const Fd listener = testsupport::loopbackListener(1);
        ASSERT_TRUE(listener.valid());
        endpoint.setTarget("127.0.0.1", testsupport::boundPort(listener.fd()));
        endpoint.sock = g_sock->socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        ASSERT_GT(endpoint.sock.load(), 2);
        ASSERT_EQ(g_sock->connect(endpoint.sock, endpoint.address.get()), 0);
        peer = std::make_unique<Fd>(::accept4(listener.fd(), nullptr, nullptr, SOCK_CLOEXEC));
        ASSERT_GE(peer->fd(), 0);
    }

    // Reads exactly `count` bytes from the peer, or fewer if the deadline passes.
    Bytes readPeer(std::size_t count) { return receive(peer->fd(), count, Clock::now() + kDeadline, &peerEnded); }

    // Sends 0x21 as an end marker and reads up to it: exactly `expected` then the marker,
    // so a byte too many or too few shows.
    void expectOnWire(const Bytes& expected) {
        ncp.enabled = 1;
        ncp.connected = 1;
        ASSERT_EQ(ncp.send(0x21), 1);
        EXPECT_EQ(readPeer(expected.size() + 1), concat(expected, {0x21}));
    }

    mek_ncp ncp;
    std::unique_ptr<Fd> peer;
    bool peerEnded = false; // the last readPeer() met the end of the stream
};

struct MessageCase {
    const char* name;
    std::function<void(mek_ncp&)> setup;
    std::uint8_t code;
    Bytes wire;
    const char* trace; // "before": the message writes none; nullptr: not checked
};

const MessageCase kMessageCases[] = {
    {"settings_9600_8N1",
     [](mek_ncp& n) {
         n.baudRate = 9600;
         n.dataSize = 8;
     },
     0x01, concat({0x01, 0x05, 0x08, 0x00, 0x00, 0x00}, kZeroPassword),
     "\n\rmek_ncp: 0x01 is sent: BAUDRATE= 9600,  DATASIZE= 8,  PARITY= 0,  STOPSIZE= 0, FLOWCONTROL= 0"},
    {"settings_921600_is_index_12",
     [](mek_ncp& n) {
         n.baudRate = 921600;
         n.dataSize = 8;
     },
     0x01, concat({0x01, 12, 0x08, 0x00, 0x00, 0x00}, kZeroPassword), nullptr},
    {"settings_unknown_rate_is_index_0",
     [](mek_ncp& n) {
         n.baudRate = 14400;
         n.dataSize = 7;
         n.parity = 2;
         n.stopSize = 2;
     },
     0x01, concat({0x01, 0x00, 0x07, 0x02, 0x02, 0x00}, kZeroPassword), nullptr},
    {"settings_hardware_flow_and_password",
     [](mek_ncp& n) {
         n.baudRate = 115200;
         n.dataSize = 8;
         n.controlHandShake = 0x1A;
         n.flowReplace = 0x80;
         std::memcpy(n.password, "secret", 7);
     },
     0x01, concat({0x01, 9, 0x08, 0x00, 0x00, 0x02, 's', 'e', 'c', 'r', 'e', 't'}, Bytes(10, 0)), nullptr},
    {"settings_full_length_password_has_no_terminator",
     [](mek_ncp& n) { std::memcpy(n.password, "0123456789abcdef", 16); }, 0x01,
     concat({0x01, 0, 0, 0, 0, 0},
            Bytes{'0', '1', '2', '3', '4', '5', '6', '7', '8', '9', 'a', 'b', 'c', 'd', 'e', 'f'}),
     nullptr},
    {"query", [](mek_ncp&) {}, 0x03, {0x03}, "before"},
    {"code_13", [](mek_ncp&) {}, 0x13, {0x13}, "\n\rmek_ncp: 0x13 is sent"},
    {"signals_rts_dtr",
     [](mek_ncp& n) {
         n.setRts(1);
         n.setDtr(7);
     },
     0x15, concat({0x15, 0x0C}, kZeroPassword),
     "\n\rmek_ncp: 0x15 is sent: RTS= 1,  DTR= 1, CTS= 0, DSR= 0, DCD= 0, RI= 0"},
    {"signals_all_six", [](mek_ncp& n) { n.rts = n.dtr = n.cts = n.dsr = n.dcd = n.ri = 1; }, 0x15,
     concat({0x15, 0xFC}, kZeroPassword), nullptr},
    {"code_21", [](mek_ncp&) {}, 0x21, {0x21}, "\n\rmek_ncp: 0x21 is sent"},
    {"report_reply_uses_settings_layout",
     [](mek_ncp& n) {
         n.baudRate = 921600;
         n.dataSize = 8;
         n.parity = 1;
         n.stopSize = 2;
         n.controlHandShake = 0x01;
         n.flowReplace = 0x43;
     },
     0x04,
     {0x04, 12, 8, 1, 2, 1},
     "before"},
    {"unknown_code_sends_nothing", [](mek_ncp&) {}, 0x42, {}, "before"},
};

class MessageBytes : public ControlPeer, public ::testing::WithParamInterface<MessageCase> {};

TEST_P(MessageBytes, LeaveExactlyAsLaidOut) {
    const MessageCase& c = GetParam();
    c.setup(ncp);
    std::strcpy(ncp.trace, "before");
    const int sent = ncp.send(c.code);
    EXPECT_EQ(sent, static_cast<int>(c.wire.size()));
    EXPECT_EQ(ncp.lastSentLength, c.wire.size());
    EXPECT_EQ(ncp.connected.load(), 1);
    if (c.trace) {
        EXPECT_STREQ(ncp.trace, c.trace);
    }
    expectOnWire(c.wire);
}

INSTANTIATE_TEST_SUITE_P(Control, MessageBytes, ::testing::ValuesIn(kMessageCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ControlHelpers, BaudIndexCoversTheWholeTableAndUnknownRatesAreZero) {
    for (std::size_t i = 0; i < std::size(kControlBaudTable); ++i)
        EXPECT_EQ(mek_ncp::baudIndex(kControlBaudTable[i]), i) << kControlBaudTable[i];
    for (std::uint32_t rate : {0u, 14400u, 1000000u, 0xFFFFFFFFu})
        EXPECT_EQ(mek_ncp::baudIndex(rate), 0) << rate;
}

TEST(ControlHelpers, FlowCodeFromHandflowWords) {
    struct {
        std::uint32_t h, f;
        std::uint8_t code;
    } const cases[] = {
        {0x01, 0x43, 1}, {0x1A, 0x80, 2}, {0x1A, 0xC0, 2},
        {0x01, 0xC3, 0}, {0x00, 0x00, 0}, {0x00, 0x43, 0}, // no DTR control
        {0x01, 0x03, 0},                                   // no RTS control
        {0x03, 0x43, 0},                                   // an input handshake spoils XON/XOFF
        {0x1B, 0x80, 2},                                   // DTR control does not matter for hardware
        {0x1A, 0x81, 0},                                   // XON/XOFF bits spoil hardware
        {0x18, 0x80, 0},                                   // DTR handshake missing
    };
    for (const auto& c : cases)
        EXPECT_EQ(mek_ncp::flowCode(c.h, c.f), c.code) << std::hex << "h=" << c.h << " f=" << c.f;
}

TEST(ControlHelpers, SignalByteAndSetters) {
    mek_ncp ncp;
    EXPECT_EQ(ncp.status.load(), 3);
    EXPECT_EQ(ncp.enabled.load(), 0);
    EXPECT_EQ(ncp.connected.load(), 0);
    EXPECT_EQ(ncp.signalByte(), 0);
    ncp.setRts(2);
    ncp.setDtr(-1);
    EXPECT_EQ(ncp.rts, 1);
    EXPECT_EQ(ncp.signalByte(), 0x0C);
    ncp.setRts(0);
    EXPECT_EQ(ncp.signalByte(), 0x08);

    ncp.setTarget("192.168.7.20", 4001);
    EXPECT_EQ(ncp.address->getFamily(), AF_INET);
    EXPECT_EQ(ncp.address->getPort(), htons(4001));
    const std::uint8_t expected[4] = {192, 168, 7, 20};
    EXPECT_EQ(std::memcmp(ncp.address->sin_addr, expected, 4), 0);
}

struct DeviceCase {
    const char* name;
    Bytes message;
    std::size_t taken;
    std::int32_t status;
    std::uint8_t signals; // signal byte after the message
    const char* trace;
};

// Every case starts from status 3, signals RTS+DTR+RI (0x8C) and the trace "before".
const DeviceCase kDeviceCases[] = {
    {"answer_ok", {0x02, 0x00}, 2, 0, 0x8C, "\n\rmek_ncp: 0x02 is received: OK"},
    {"answer_wrong_password", {0x02, 0x01}, 2, 1, 0x8C, "\n\rmek_ncp: 0x02 is received: wrong user's password"},
    {"answer_other_error", {0x02, 0x07}, 2, 2, 0x8C, "\n\rmek_ncp: 0x02 is received: error code"},
    {"signals_answer_ok", {0x16, 0x00}, 2, 0, 0x8C, "before"},
    {"signals_answer_wrong_password", {0x16, 0x01}, 2, 1, 0x8C, "\n\rmek_ncp: 0x16 is received: wrong user's password"},
    {"signals_answer_error", {0x16, 0xFF}, 2, 2, 0x8C, "\n\rmek_ncp: 0x16 is received: Error code"},
    {"state_11_cts_dsr",
     {0x11, 0x30},
     2,
     3,
     0x30,
     "\n\rmek_ncp: 0x11 is received: RTS= 0,  DTR= 0,  CTS= 1,  DSR= 1,  DCD= 0, RI= 0"},
    {"state_14_dcd_ri",
     {0x14, 0xC0},
     2,
     3,
     0xC0,
     "\n\rmek_ncp: 0x14 is received: RTS= 0,  DTR= 0,  CTS= 0,  DSR= 0,  DCD= 1, RI= 1"},
    {"state_ignores_low_bits", {0x11, 0x03}, 2, 3, 0x00, nullptr},
    {"extra_bytes_are_not_taken", {0x11, 0x10, 0x02, 0x01}, 2, 3, 0x10, nullptr},
    {"unknown_code_ignored", {0x55, 0x30}, 1, 3, 0x8C, "before"},
    {"state_missing_signal_byte", {0x11}, 0, 3, 0x8C, "before"},
    {"answer_missing_result", {0x02}, 0, 3, 0x8C, "before"},
    {"signals_answer_missing_result", {0x16}, 0, 3, 0x8C, "before"},
    {"report_cut_short", {0x04, 0x05, 0x08, 0x00, 0x00}, 0, 3, 0x8C, "before"},
};

class DeviceMessages : public ::testing::TestWithParam<DeviceCase> {};

TEST_P(DeviceMessages, ChangeStateAsTheyShould) {
    const DeviceCase& c = GetParam();
    mek_ncp ncp;
    ncp.rts = ncp.dtr = ncp.ri = 1;
    std::strcpy(ncp.trace, "before");
    // Exactly sized on the heap, so a read past the message shows under the address sanitizer.
    auto exact = std::make_unique<std::uint8_t[]>(c.message.size());
    std::memcpy(exact.get(), c.message.data(), c.message.size());
    EXPECT_EQ(ncp.handleDeviceMessage(exact.get(), c.message.size()), c.taken);
    EXPECT_EQ(ncp.status.load(), c.status);
    EXPECT_EQ(ncp.signalByte(), c.signals);
    if (c.trace) {
        EXPECT_STREQ(ncp.trace, c.trace);
    }
}

INSTANTIATE_TEST_SUITE_P(Control, DeviceMessages, ::testing::ValuesIn(kDeviceCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(DeviceReport, ReplacesTheLineSettings) {
    mek_ncp ncp;
    const std::uint8_t report[] = {0x04, 12, 7, 2, 1, 2};
    EXPECT_EQ(ncp.handleDeviceMessage(report, sizeof report), 6u);
    EXPECT_EQ(ncp.baudRate, 921600u);
    EXPECT_EQ(ncp.dataSize, 7u);
    EXPECT_EQ(ncp.parity, 2u);
    EXPECT_EQ(ncp.stopSize, 1u);
    EXPECT_EQ(ncp.flowReplace, 2u);
    // The full line is longer than the trace field: it is cut, terminated, never overrun.
    const std::string full = "\n\rmek_ncp: 0x04 is received: BAUDRATE= 921600,  DATASIZE= 7,  PARITY= 2,  "
                             "STOPSIZE= 1,  FLOWCONTROL= 2";
    ASSERT_GT(full.size(), sizeof ncp.trace - 1);
    EXPECT_EQ(std::string(ncp.trace), full.substr(0, sizeof ncp.trace - 1));

    // An index past the table names no rate.
    const std::uint8_t bad[] = {0x04, 13, 8, 0, 0, 0};
    EXPECT_EQ(ncp.handleDeviceMessage(bad, sizeof bad), 6u);
    EXPECT_EQ(ncp.baudRate, 0u);
    EXPECT_EQ(ncp.dataSize, 8u);
}

TEST_F(ControlPeer, QueryIsAnsweredWithAReport) {
    ncp.baudRate = 115200;
    ncp.dataSize = 8;
    ncp.controlHandShake = 0x1A;
    ncp.flowReplace = 0x80;
    const std::uint8_t query[] = {0x03};
    EXPECT_EQ(ncp.handleDeviceMessage(query, 1), 1u);
    EXPECT_STREQ(ncp.trace, "\n\rmek_ncp: 0x03 is received:tcc_send(0x04)");
    expectOnWire({0x04, 9, 8, 0, 0, 2});
}

TEST_F(ControlPeer, SendIsBlockedUnlessEnabledAndConnected) {
    struct {
        std::uint8_t enabled, connected;
    } const cases[] = {{0, 1}, {1, 0}, {0, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "enabled=" << int(c.enabled) << " connected=" << int(c.connected));
        ncp.enabled = c.enabled;
        ncp.connected = c.connected;
        std::memset(ncp.txBuffer, 0xAA, sizeof ncp.txBuffer);
        std::strcpy(ncp.trace, "before");
        for (std::uint8_t code : {0x01, 0x03, 0x13, 0x15, 0x21})
            EXPECT_EQ(ncp.send(code), 0);
        const std::uint8_t query[] = {0x03};
        ncp.handleDeviceMessage(query, 1);
        EXPECT_EQ(ncp.connected.load(), c.connected);
        EXPECT_EQ(ncp.lastSentLength, 0u);
        EXPECT_EQ(std::count(std::begin(ncp.txBuffer), std::end(ncp.txBuffer), 0), 1000);
        // Nothing went out: the peer's first byte is the marker.
        expectOnWire({});
    }
}

TEST_F(ControlPeer, SendOnAClosedPeerMarksTheConnectionDown) {
    peer->reset();
    // The first send after the peer's close may still be accepted locally; the peer's reset
    // fails a later one.
    int result = 0;
    const auto end = Clock::now() + kDeadline;
    while (ncp.connected.load() == 1 && Clock::now() < end) {
        result = ncp.send(0x15);
        if (result > 0) {
            EXPECT_EQ(ncp.connected.load(), 1);
        }
    }
    EXPECT_EQ(result, -1);
    EXPECT_EQ(ncp.connected.load(), 0);
}

TEST_F(ControlPeer, SendOnAnUnconnectedSocketMarksTheConnectionDown) {
    ncp.closeSocket();
    ncp.sock = g_sock->socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    EXPECT_EQ(ncp.send(0x01), -1);
    EXPECT_EQ(ncp.connected.load(), 0);
}

TEST_F(ControlPeer, APeerThatStopsReadingEventuallyMarksTheConnectionDown) {
    // The stream has no framing, so a message that cannot leave whole is a lost connection.
    int size = 4096;
    ::setsockopt(ncp.sock, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    ::setsockopt(peer->fd(), SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    int sends = 0;
    while (ncp.connected.load() == 1 && sends < 1000000) {
        ncp.send(0x01);
        ++sends;
    }
    EXPECT_EQ(ncp.connected.load(), 0);
}

TEST_F(ControlPeer, LongTraceLinesAreCutNotOverrun) {
    ncp.baudRate = ncp.dataSize = ncp.parity = ncp.stopSize = ncp.flowReplace = 4000000000u;
    EXPECT_EQ(ncp.send(0x01), 22);
    EXPECT_EQ(::strnlen(ncp.trace, sizeof ncp.trace), sizeof ncp.trace - 1);
    EXPECT_EQ(std::string(ncp.trace).rfind("\n\rmek_ncp: 0x01 is sent: BAUDRATE= 4000000000,", 0), 0u);
}

TEST_F(ControlPeer, CloseSocketAndDestructionCloseTheConnection) {
    ncp.closeSocket();
    EXPECT_EQ(ncp.sock.load(), 0);
    EXPECT_TRUE(readPeer(1).empty());
    EXPECT_TRUE(peerEnded);
    ncp.closeSocket(); // nothing left to close

    auto other = std::make_unique<mek_ncp>();
    connectPair(*other);
    peerEnded = false;
    other.reset();
    EXPECT_TRUE(readPeer(1).empty());
    EXPECT_TRUE(peerEnded);
}

} // namespace
