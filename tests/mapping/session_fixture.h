#pragma once
// The control session's test side: a real virtual port opened as an application opens it, a
// loopback listener that plays the device, and the session's three threads.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <vector>

#include "control/mek_ncp.h"
#include "device/device_list.h"
#include "mapping/session_threads.h"
#include "model/tarn_info.h"
#include "support/pty_app.h"
#include "support/socket.h"
#include "support/temp_dir.h"
#include "support/wait.h"

namespace sessiontest {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;
using testsupport::Fd;
using testsupport::receive;

inline constexpr auto kDeadline = std::chrono::seconds(10);

inline Bytes concat(Bytes head, const Bytes& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}
inline const Bytes kZeroPassword(16, 0);

// One device entry at 127.0.0.1 whose options are `options` (count byte first).
inline DeviceList::Entries deviceWithOptions(Bytes options) {
    auto node = std::make_unique<_KT550Node>();
    const std::uint8_t ip[4] = {127, 0, 0, 1};
    std::copy(ip, ip + 4, node->ip);
    node->options = std::move(options);
    DeviceList::Entries entries;
    entries.push_back(makeDeviceInfo(std::move(node)));
    return entries;
}

// A session thread created suspended; the fixture's user resumes it or runs its passes.
template <class Thread> class Suspended : public Thread {
public:
    template <class... Extra>
    Suspended(LockInterface& lock, TARNINFO* tarnInfo, Extra... extra) : Thread(true, lock, tarnInfo, extra...) {}
    // The thread ends before the base's destructor changes the object's type under it.
    ~Suspended() override { this->release(); }
};

// A session thread whose passes the test runs itself (the thread is never started).
template <class Thread> class Driven : public Suspended<Thread> {
public:
    using Suspended<Thread>::Suspended;
    void runPass() {
        SyncLock hold(this->m_lock);
        this->pass();
    }
};

// COM<com> as a TCP client whose data connection is up, to a device at 127.0.0.1 that
// listens for the control connection on an ephemeral port, advertised as option 5.
// `Made` wraps each of the three threads (Suspended or Driven).
template <template <class> class Made> class SessionTest : public ::testing::Test {
protected:
    explicit SessionTest(int com) : m_com(com) {}

    void SetUp() override {
        startSocketLayer();
        ASSERT_FALSE(m_home.path().empty());
        m_home.pointEnv("XDG_RUNTIME_DIR");

        m_listener = testsupport::loopbackListener(8, SOCK_NONBLOCK);
        ASSERT_TRUE(m_listener.valid());
        m_controlPort = testsupport::boundPort(m_listener.fd());
        advertise(m_controlPort);

        m_tarnInfo = std::make_unique<TARNINFO>();
        m_tarnInfo->comNumber = m_com;
        ASSERT_TRUE(m_tarnInfo->createPort(m_com));
        m_tarnInfo->setTcp(true);
        m_tarnInfo->setServer(false);
        m_tarnInfo->net->remoteAddr->set(AF_INET, htons(4001), "127.0.0.1");
        m_tarnInfo->net->clientConnected = 1;
        m_tarnInfo->control->enabled = 1;

        m_builder = std::make_unique<Made<mek_ncp_connBuilder>>(m_lock, m_tarnInfo.get(), &m_devices);
        m_rx = std::make_unique<Made<mek_ncp_RxThread>>(m_lock, m_tarnInfo.get());
        m_signals = std::make_unique<Made<mek_ncp_signalSet>>(m_lock, m_tarnInfo.get());
    }

    void TearDown() override {
        m_app.reset();
        m_builder.reset();
        m_rx.reset();
        m_signals.reset();
        m_tarnInfo.reset();
    }

    void advertise(std::uint16_t port) {
        m_devices.replace(
            deviceWithOptions({1, 5, 2, static_cast<std::uint8_t>(port >> 8), static_cast<std::uint8_t>(port & 0xFF)}));
    }

    mek_ncp& control() { return *m_tarnInfo->control; }

    void openApp(const testsupport::PtyLine& line = {}) {
        m_app = std::make_unique<testsupport::PtyApp>(m_tarnInfo->port->linkPath(), line);
        ASSERT_TRUE(m_app->ok()) << m_app->error();
        ASSERT_TRUE(testsupport::waitUntil([&] { return m_tarnInfo->isOpen(); }));
    }

    // Exactly `count` bytes from the host, or fewer at the deadline.
    Bytes deviceReads(std::size_t count) { return receive(m_device.fd(), count, Clock::now() + kDeadline); }

    const int m_com;
    testsupport::TempDir m_home{"session"}; // the port directory, outliving the port
    BCBLock m_lock;
    DeviceList m_devices;
    Fd m_listener;
    Fd m_device;
    std::uint16_t m_controlPort = 0;
    std::unique_ptr<TARNINFO> m_tarnInfo;
    std::unique_ptr<testsupport::PtyApp> m_app;
    std::unique_ptr<Made<mek_ncp_connBuilder>> m_builder;
    std::unique_ptr<Made<mek_ncp_RxThread>> m_rx;
    std::unique_ptr<Made<mek_ncp_signalSet>> m_signals;
};

} // namespace sessiontest
