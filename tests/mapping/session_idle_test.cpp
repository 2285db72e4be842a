// The control session's threads running on their own: idle, they sleep, and each source of
// work wakes them (the port opening, the device sending or closing). The idle safety
// time-out is a minute here, so a reaction well before that comes from the source itself;
// only the signal thread's short period while the session is up (an application's new line
// settings show on no descriptor) is left as it is.

#include "mapping/session_threads.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "control/mek_ncp.h"
#include "device/device_list.h"
#include "model/tarn_info.h"
#include "support/pty_app.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr auto kDeadline = 10s;
constexpr int kCom = 58;

class Fd {
public:
    explicit Fd(int fd = -1) : m_fd(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return m_fd; }
    bool valid() const { return m_fd >= 0; }
    void reset(int fd = -1) {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = fd;
    }

private:
    int m_fd;
};

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

class SessionIdle : public ::testing::Test {
protected:
    void SetUp() override {
        ThreadInterface::setIdleSafetyTimeout(std::chrono::milliseconds(60s));
        startSocketLayer();
        char pattern[] = "/tmp/tarn-session-idle-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        m_home = pattern;
        ::setenv("XDG_RUNTIME_DIR", m_home.c_str(), 1);

        m_listener.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(::bind(m_listener.get(), reinterpret_cast<const sockaddr*>(&sa), sizeof sa), 0);
        ASSERT_EQ(::listen(m_listener.get(), 8), 0);
        socklen_t len = sizeof sa;
        ::getsockname(m_listener.get(), reinterpret_cast<sockaddr*>(&sa), &len);
        const std::uint16_t port = ntohs(sa.sin_port);
        auto node = std::make_unique<_KT550Node>();
        const std::uint8_t ip[4] = {127, 0, 0, 1};
        std::copy(ip, ip + 4, node->ip);
        node->options = {1, 5, 2, static_cast<std::uint8_t>(port >> 8), static_cast<std::uint8_t>(port & 0xFF)};
        DeviceList::Entries entries;
        entries.push_back(makeDeviceInfo(std::move(node)));
        m_devices.replace(std::move(entries));

        m_tarnInfo = std::make_unique<TARNINFO>();
        m_tarnInfo->comNumber = kCom;
        ASSERT_TRUE(m_tarnInfo->createPort(kCom));
        // A TCP client whose data connection is up, to the device at 127.0.0.1.
        m_tarnInfo->setTcp(true);
        m_tarnInfo->setServer(false);
        m_tarnInfo->net->remoteAddr->set(AF_INET, htons(4001), "127.0.0.1");
        m_tarnInfo->net->clientConnected = 1;
        m_tarnInfo->control->enabled = 1;

        m_builder = std::make_unique<mek_ncp_connBuilder>(true, m_lock, m_tarnInfo.get(), &m_devices);
        m_rx = std::make_unique<mek_ncp_RxThread>(true, m_lock, m_tarnInfo.get());
        m_signals = std::make_unique<mek_ncp_signalSet>(true, m_lock, m_tarnInfo.get());
        m_builder->resume();
        m_rx->resume();
        m_signals->resume();
    }

    void TearDown() override {
        m_app.reset();
        m_builder.reset();
        m_rx.reset();
        m_signals.reset();
        m_tarnInfo.reset();
        ThreadInterface::setIdleSafetyTimeout(ThreadInterface::kIdleSafetyTimeout);
        std::error_code ignored;
        std::filesystem::remove_all(m_home, ignored);
    }

    // The connection the builder makes once the port opens, taken on the device's side.
    bool deviceAccepts() {
        pollfd p{m_listener.get(), POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(std::chrono::milliseconds(kDeadline).count())) != 1)
            return false;
        m_device.reset(::accept4(m_listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
        return m_device.valid();
    }

    bool readExactly(std::uint8_t* into, std::size_t count, Clock::time_point end) {
        std::size_t got = 0;
        while (got < count && Clock::now() < end) {
            pollfd p{m_device.get(), POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0)
                continue;
            const ssize_t n = ::recv(m_device.get(), into + got, count - got, 0);
            if (n <= 0)
                return false;
            got += static_cast<std::size_t>(n);
        }
        return got == count;
    }
    // The next whole message from the host; empty at the deadline.
    Bytes nextHostMessage() {
        const auto end = Clock::now() + kDeadline;
        std::uint8_t code = 0;
        if (!readExactly(&code, 1, end))
            return {};
        Bytes message(std::max<std::size_t>(hostMessageLength(code), 1), 0);
        message[0] = code;
        if (message.size() > 1 && !readExactly(message.data() + 1, message.size() - 1, end))
            return {};
        return message;
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

    void openApp(std::uint32_t speed = 9600) {
        testsupport::PtyLine line;
        line.speed = speed;
        m_app = std::make_unique<testsupport::PtyApp>(m_tarnInfo->port->linkPath(), line);
        ASSERT_TRUE(m_app->ok()) << m_app->error();
    }

    std::string m_home;
    BCBLock m_lock;
    DeviceList m_devices;
    Fd m_listener;
    Fd m_device;
    std::unique_ptr<TARNINFO> m_tarnInfo;
    std::unique_ptr<testsupport::PtyApp> m_app;
    std::unique_ptr<mek_ncp_connBuilder> m_builder;
    std::unique_ptr<mek_ncp_RxThread> m_rx;
    std::unique_ptr<mek_ncp_signalSet> m_signals;
};

TEST_F(SessionIdle, OpeningThePortWakesTheBuilderAndTheSessionFollowsTheApplication) {
    openApp(9600);
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
        ASSERT_EQ(::send(m_device.get(), message, sizeof message, MSG_NOSIGNAL), 2);
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
    std::uint64_t last = total();
    int quiet = 0;
    ASSERT_TRUE(testsupport::waitUntil(
        [&] {
            std::this_thread::sleep_for(20ms);
            const std::uint64_t now = total();
            quiet = now == last ? quiet + 1 : 0;
            last = now;
            return quiet >= 3;
        },
        kDeadline));
    const std::uint64_t before = total();
    const std::uint64_t signalsBefore = m_signals->passCount();
    std::this_thread::sleep_for(1s); // an observation window, not a synchronisation
    EXPECT_LT(total() - before, 20u);
    EXPECT_LT(m_signals->passCount() - signalsBefore, 200u);
}

} // namespace
