// The control session's passes, driven one at a time against a real virtual port opened as an
// application opens it and a loopback peer that plays the device.

#include "mapping/session_threads.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>

#include "session_fixture.h"

namespace {

using namespace sessiontest;
using testsupport::boundPort;
using testsupport::loopback;

constexpr int kCom = 57;

struct PortCase {
    const char* name;
    Bytes value;
    std::optional<std::uint16_t> port;
};

TEST(ControlPortOption, ValueBytesAreOneBigEndianNumber) {
    const PortCase cases[] = {
        {"two_bytes", {0x0F, 0xA2}, 4002},
        {"one_byte", {0x17}, 23},
        {"leading_zeros", {0x00, 0x00, 0x0F, 0xA2}, 4002},
        {"highest_port", {0xFF, 0xFF}, 65535},
        {"empty", {}, std::nullopt},
        {"zero", {0x00, 0x00}, std::nullopt},
        {"beyond_a_port", {0x01, 0x00, 0x00}, std::nullopt},
        {"long_garbage", Bytes(40, 0xFF), std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(controlPortFromOption(c.value), c.port) << c.name;
}

TEST(InputSignalsText, NamesEachLineOnOrOff) {
    EXPECT_EQ(inputSignalsText(0), "CTS off, DSR off, DCD off, RI off");
    EXPECT_EQ(inputSignalsText(kSignalCts | kSignalDsr), "CTS on, DSR on, DCD off, RI off");
    EXPECT_EQ(inputSignalsText(0xFF), "CTS on, DSR on, DCD on, RI on");
}

class ControlSession : public SessionTest<Driven> {
protected:
    ControlSession() : SessionTest(kCom) {}

    void closeApp() {
        m_app.reset();
        ASSERT_TRUE(testsupport::waitUntil([&] { return !m_tarnInfo->isOpen(); }));
    }

    // The connection the builder made, accepted on the device's side; invalid if none waits.
    Fd acceptDevice() { return Fd(::accept4(m_listener.fd(), nullptr, nullptr, SOCK_CLOEXEC)); }

    // A builder pass, then the passes that see its connect to the end (on loopback at once).
    void builderPass() {
        m_builder->runPass();
        ASSERT_TRUE(testsupport::waitUntil([&] {
            if (m_builder->connectUnderWay())
                m_builder->runPass();
            return !m_builder->connectUnderWay();
        }));
    }

    void connectSession() {
        builderPass();
        ASSERT_EQ(control().connected.load(), 1);
        m_device = acceptDevice();
        ASSERT_TRUE(m_device.valid());
    }

    void deviceSends(const Bytes& bytes) {
        ASSERT_EQ(::send(m_device.fd(), bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
    }

    // Runs receive passes until `done` holds or the deadline passes.
    bool receiveUntil(const std::function<bool()>& done) {
        const auto end = Clock::now() + kDeadline;
        while (!done()) {
            if (Clock::now() >= end)
                return false;
            m_rx->runPass();
        }
        return true;
    }

    // Nothing more from the host: the last message is followed by a marker the test sends
    // itself (0x21), so a stray byte before it shows.
    void expectNothingMoreSent() {
        control().send(kNcp21);
        EXPECT_EQ(deviceReads(1), Bytes{0x21});
    }

    // The device resets the connection; returns once the host's socket has seen it.
    void deviceResets() {
        const linger abort{1, 0};
        ::setsockopt(m_device.fd(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        m_device.reset();
        pollfd p{control().sock.load(), 0, 0};
        ASSERT_TRUE(testsupport::waitUntil([&] { return ::poll(&p, 1, 0) == 1 && (p.revents & (POLLERR | POLLHUP)); }));
    }
};

TEST_F(ControlSession, BuilderWaitsForAnOpenPortAndAnUpDataConnection) {
    builderPass();
    EXPECT_FALSE(acceptDevice().valid()) << "no application on the port yet";

    openApp();
    m_tarnInfo->net->clientConnected = 0;
    builderPass();
    EXPECT_FALSE(acceptDevice().valid()) << "data connection down";

    m_tarnInfo->net->clientConnected = 1;
    connectSession();
    EXPECT_GT(control().sock.load(), 2);
}

TEST_F(ControlSession, TwoAttemptsPerOpeningOfThePort) {
    openApp();
    // The device takes each connection and drops it at once: every attempt succeeds and is
    // lost again, so only the attempt limit stops the builder.
    auto attemptsUntilQuiet = [&] {
        int accepted = 0;
        for (int round = 0; round < 5; ++round) {
            builderPass();
            Fd device = acceptDevice();
            if (!device.valid())
                continue;
            ++accepted;
            device.reset();
            ASSERT_TRUE(receiveUntil([&] { return control().connected.load() == 0; }));
        }
        EXPECT_EQ(accepted, 2);
    };
    attemptsUntilQuiet();

    closeApp();
    builderPass();
    EXPECT_EQ(control().connected.load(), 0);
    openApp();
    attemptsUntilQuiet();
}

TEST_F(ControlSession, ASilentDeviceNeverHoldsAPass) {
    // The device's accept queue is full, so it drops the builder's connection request: the
    // connect can only end by its limit.
    m_listener = testsupport::loopbackListener(0);
    ASSERT_TRUE(m_listener.valid());
    advertise(boundPort(m_listener.fd()));
    const sockaddr_in target = loopback(boundPort(m_listener.fd()));
    Fd filler(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    ASSERT_EQ(::connect(filler.fd(), reinterpret_cast<const sockaddr*>(&target), sizeof target), 0);

    openApp();
    m_builder->runPass();
    ASSERT_TRUE(m_builder->connectUnderWay()) << "the pass returned with the connect going on";
    const SocketHandle first = control().sock.load();
    EXPECT_GT(first, 2);
    // Meanwhile the session's other passes run and send nothing on the unfinished connection.
    m_signals->runPass();
    m_rx->runPass();
    EXPECT_EQ(control().connected.load(), 0);

    // Passes follow the connect to its limit, give it up, and the second attempt starts.
    auto followToTheEnd = [&] {
        return testsupport::waitUntil([&] {
            m_builder->runPass();
            return !m_builder->connectUnderWay();
        });
    };
    ASSERT_TRUE(followToTheEnd());
    EXPECT_EQ(control().sock.load(), 0) << "a failed connect's socket is closed";
    m_builder->runPass();
    ASSERT_TRUE(m_builder->connectUnderWay());
    ASSERT_TRUE(followToTheEnd());
    m_builder->runPass();
    EXPECT_FALSE(m_builder->connectUnderWay()) << "two attempts per opening of the port";
    EXPECT_EQ(control().connected.load(), 0);
}

TEST_F(ControlSession, NoUsableControlPortSwitchesTheProtocolOff) {
    const struct {
        const char* name;
        DeviceList::Entries entries;
    } cases[] = {
        {"device not listed", {}},
        {"no option 5", deviceWithOptions({1, 3, 1, 0x07})},
        {"option 5 empty", deviceWithOptions({1, 5, 0})},
        {"option 5 beyond a port", deviceWithOptions({1, 5, 3, 0x01, 0x00, 0x00})},
    };
    openApp();
    for (const auto& c : cases) {
        m_devices.replace(c.entries);
        control().enabled = 1;
        builderPass();
        EXPECT_EQ(control().enabled.load(), 0) << c.name;
        EXPECT_EQ(control().connected.load(), 0) << c.name;
        EXPECT_FALSE(acceptDevice().valid()) << c.name;
        // Switched off, the builder makes no attempt until a data connection switches it on.
        builderPass();
        EXPECT_EQ(control().enabled.load(), 0) << c.name;
        closeApp(); // new attempts for the next case
        builderPass();
        openApp();
    }
}

TEST_F(ControlSession, MessagesInPiecesAndSeveralInOneReadAreAllHandled) {
    openApp();
    connectSession();

    // Nothing to read is no loss of the connection.
    m_rx->runPass();
    EXPECT_EQ(control().connected.load(), 1);

    // A report in two pieces: nothing changes until it is whole.
    deviceSends({0x04, 0x07, 0x08});
    ASSERT_TRUE(receiveUntil([&] { return control().rxLength == 3; }));
    EXPECT_EQ(control().baudRate, 0u);
    deviceSends({0x01, 0x02, 0x00});
    ASSERT_TRUE(receiveUntil([&] { return control().rxLength == 0; }));
    EXPECT_EQ(control().baudRate, 38400u);
    EXPECT_EQ(control().dataSize, 8u);
    EXPECT_EQ(control().parity, 1u);
    EXPECT_EQ(control().stopSize, 2u);

    // Four messages in one segment, an unknown byte among them: each known one takes effect,
    // and the query is answered with the line settings.
    deviceSends({0x11, 0x30, 0x16, 0x01, 0x7E, 0x03});
    ASSERT_TRUE(receiveUntil([&] { return control().status.load() == 1 && control().cts == 1; }));
    EXPECT_EQ(control().dsr, 1);
    EXPECT_EQ(control().dcd, 0);
    EXPECT_EQ(control().ri, 0);
    EXPECT_EQ(deviceReads(6), (Bytes{0x04, 7, 8, 1, 2, 0}));
    EXPECT_EQ(control().connected.load(), 1);
    expectNothingMoreSent();
}

TEST_F(ControlSession, PeerCloseEndsTheSessionEvenAfterAWouldBlockRead) {
    openApp();
    connectSession();
    m_rx->runPass(); // would block: the error left behind is "nothing yet"
    ASSERT_EQ(control().connected.load(), 1);
    m_device.reset();
    EXPECT_TRUE(receiveUntil([&] { return control().connected.load() == 0; }));
}

TEST_F(ControlSession, WhatFailedToGoOutIsSentOnTheNextConnection) {
    openApp();
    connectSession();
    deviceResets();

    // The first pass's 0x01 fails; neither it nor the raised lines count as sent.
    m_signals->runPass();
    ASSERT_EQ(control().connected.load(), 0);

    connectSession();
    m_signals->runPass();
    EXPECT_EQ(deviceReads(22), concat({0x01, 0x05, 0x08, 0x00, 0x00, 0x00}, kZeroPassword));
    EXPECT_EQ(deviceReads(18), concat({0x15, 0x0C}, kZeroPassword));
}

TEST_F(ControlSession, NewConnectionDropsAPieceOfTheOldStream) {
    openApp();
    connectSession();
    deviceSends({0x04, 0x09});
    ASSERT_TRUE(receiveUntil([&] { return control().rxLength == 2; }));
    deviceResets();
    ASSERT_TRUE(receiveUntil([&] { return control().connected.load() == 0; }));

    connectSession();
    EXPECT_EQ(control().rxLength, 0u);
    deviceSends({0x11, 0x10, 0x00, 0x00, 0x00, 0x00});
    ASSERT_TRUE(receiveUntil([&] { return control().cts == 1; }));
    EXPECT_EQ(control().baudRate, 0u) << "the old report's start must not swallow the new message";
}

} // namespace
