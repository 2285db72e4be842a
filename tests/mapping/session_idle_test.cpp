// The control session's threads running on their own: idle, they sleep, and each source of
// work wakes them (the port opening, the device sending or closing). The idle safety
// time-out is a minute here, so a reaction well before that comes from the source itself;
// only the signal thread's short period while the session is up (an application's new line
// settings show on no descriptor) is left as it is.

#include "mapping/session_threads.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "session_fixture.h"

namespace {

using namespace sessiontest;
using namespace std::chrono_literals;

constexpr int kCom = 58;

// Length of a host message by its code, as far as the session sends them.
std::size_t hostMessageLength(std::uint8_t code) {
    switch (code) {
    case kNcpLineSettings:
        return 22;
    case kNcpModemSignals:
        return 18;
    case kNcpLineSettingsReport:
        return 6;
    case kNcpQuery:
    case kNcp13:
    case kNcp21:
        return 1;
    default:
        return 0;
    }
}

class SessionIdle : public SessionTest<Suspended> {
protected:
    SessionIdle() : SessionTest(kCom) {}

    void SetUp() override {
        ThreadInterface::setIdleSafetyTimeout(std::chrono::milliseconds(60s));
        SessionTest::SetUp();
        if (HasFatalFailure())
            return;
        m_builder->resume();
        m_rx->resume();
        m_signals->resume();
    }
    void TearDown() override {
        SessionTest::TearDown();
        ThreadInterface::setIdleSafetyTimeout(ThreadInterface::kIdleSafetyTimeout);
    }

    // The connection the builder makes once the port opens, taken on the device's side.
    bool deviceAccepts() {
        pollfd p{m_listener.fd(), POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(std::chrono::milliseconds(kDeadline).count())) != 1)
            return false;
        m_device.reset(::accept4(m_listener.fd(), nullptr, nullptr, SOCK_CLOEXEC));
        return m_device.valid();
    }

    // The next whole message from the host; empty at the deadline.
    Bytes nextHostMessage() {
        const auto end = Clock::now() + kDeadline;
        const Bytes code = receive(m_device.fd(), 1, end);
        if (code.size() != 1)
            return {};
        const std::size_t rest = std::max<std::size_t>(hostMessageLength(code[0]), 1) - 1;
        const Bytes tail = receive(m_device.fd(), rest, end);
        return tail.size() == rest ? concat(code, tail) : Bytes{};
    }
    // Skips host messages until one of `code` arrives; false at the deadline.
    bool hostSends(std::uint8_t code) {
        const auto end = Clock::now() + kDeadline;
        while (Clock::now() < end) {
            const Bytes message = nextHostMessage();
            if (message.empty())
                return false;
            if (message[0] == code)
                return true;
        }
        return false;
    }
};

TEST_F(SessionIdle, OpeningThePortWakesTheBuilderAndTheSessionFollowsTheApplication) {
    openApp();
    ASSERT_TRUE(deviceAccepts());
    // The settings in force go out as the session starts.
    ASSERT_TRUE(hostSends(kNcpLineSettings));
    for (std::uint32_t speed : {19200u, 115200u, 4800u}) {
        SCOPED_TRACE(speed);
        testsupport::PtyLine line;
        line.speed = speed;
        ASSERT_TRUE(m_app->configure(line));
        EXPECT_TRUE(hostSends(kNcpLineSettings));
    }
}

TEST_F(SessionIdle, DeviceMessagesAndTheDevicesCloseWakeTheReceiveThread) {
    openApp();
    ASSERT_TRUE(deviceAccepts());
    ASSERT_TRUE(testsupport::waitUntil([&] { return m_tarnInfo->control->connected.load() == 1; }, kDeadline));
    for (const std::uint8_t signals :
         {std::uint8_t{kSignalCts | kSignalDsr}, std::uint8_t{kSignalDcd}, std::uint8_t{0}}) {
        SCOPED_TRACE(static_cast<int>(signals));
        const std::uint8_t message[2] = {kNcpSignalState, signals};
        ASSERT_EQ(::send(m_device.fd(), message, sizeof message, MSG_NOSIGNAL), 2);
        EXPECT_TRUE(testsupport::waitUntil([&] { return portInputSignals(*m_tarnInfo->port) == signals; }, kDeadline));
    }
    // The close ends the session, and the builder's second attempt of this opening follows.
    m_device.reset();
    EXPECT_TRUE(deviceAccepts());
}

// With the session up and nothing happening, only the signal thread looks now and then; at a
// fixed one-millisecond cadence the three would run thousands of passes a second.
TEST_F(SessionIdle, AnIdleSessionRunsFewPasses) {
    openApp();
    ASSERT_TRUE(deviceAccepts());
    ASSERT_TRUE(hostSends(kNcpLineSettings));
    const auto total = [&] { return m_builder->passCount() + m_rx->passCount(); };
    ASSERT_TRUE(testsupport::waitUntilQuiet(total, kDeadline));
    const std::uint64_t before = total();
    const std::uint64_t signalsBefore = m_signals->passCount();
    std::this_thread::sleep_for(1s); // an observation window, not a synchronisation
    EXPECT_LT(total() - before, 20u);
    EXPECT_LT(m_signals->passCount() - signalsBefore, 200u);
}

} // namespace
