// The adaptive wait between passes: a bridge thread with nothing to do sleeps, and each
// source that can give it work wakes it. The idle safety time-out is lengthened to a minute
// for these tests, so a reaction well before that can only come from the source under test.

#include <fcntl.h>
#include <future>
#include <unistd.h>

#include "pump_harness.h"

namespace bridgetest {
namespace {

constexpr auto kDeadline = 10s;
// Longer than any deadline here: no safety wake-up can make a test pass by accident.
constexpr auto kLongSafety = std::chrono::milliseconds(60s);

// A thread of the base alone, with a queue and no mapping. Given a descriptor, it is busy
// and waits for that descriptor to become readable, and each pass takes what is there.
class Sleeper : public ThreadInterface {
public:
    Sleeper(LockInterface& lock, bool pending, int readyFd = -1)
        : ThreadInterface(true, lock, nullptr), m_pending(pending), m_readyFd(readyFd) {}
    ~Sleeper() override { release(); }

protected:
    void pass() override {
        char drain[64];
        if (m_readyFd >= 0)
            while (::read(m_readyFd, drain, sizeof drain) > 0) {
            }
    }
    bool hasPendingWork() const override { return m_pending; }
    std::optional<std::chrono::nanoseconds> busyWait(std::vector<pollfd>& sources) const override {
        if (m_readyFd < 0)
            return std::nullopt;
        sources.push_back(pollfd{m_readyFd, POLLIN, 0});
        return std::chrono::hours(1);
    }

private:
    const bool m_pending;
    const int m_readyFd;
};

std::uint64_t passesOf(const std::vector<const ThreadInterface*>& threads) {
    std::uint64_t total = 0;
    for (const ThreadInterface* thread : threads)
        total += thread->passCount();
    return total;
}

// Waits until `threads` have run no pass for a while: they are in their idle wait.
bool settled(const std::vector<const ThreadInterface*>& threads) {
    return testsupport::waitUntilQuiet([&] { return passesOf(threads); }, kDeadline);
}

class IdleWaitTest : public MappingTest {
protected:
    void SetUp() override {
        BridgeTest::SetUp();
        if (IsSkipped())
            return;
        ThreadInterface::setIdleSafetyTimeout(kLongSafety);
    }
    void TearDown() override { ThreadInterface::setIdleSafetyTimeout(ThreadInterface::kIdleSafetyTimeout); }

    // A TCP client mapping whose five bridge threads run (or all but the send pump),
    // connected to `listener`, with the application holding the port open; every thread
    // settled in its idle wait.
    void connectClient(bool sendPump = true) {
        listener = Peer::listener();
        ASSERT_TRUE(listener.ok());
        m = &ms.add(kModeTcpClient, "127.0.0.1", 0, listener.port());
        ASSERT_TRUE(m->ready());
        if (sendPump) {
            m->resumeBridgeThreads();
        } else {
            m->builder->resume();
            m->tarnRX->resume();
            m->tarnTX->resume();
            m->netRX->resume();
        }
        app = std::make_unique<PortApp>(m->link(), B921600);
        ASSERT_TRUE(app->ok());
        peer = listener.accept(kDeadline);
        ASSERT_TRUE(peer.ok());
        ASSERT_TRUE(waitUntil([&] { return m->connected(); }, kDeadline));
        ASSERT_TRUE(settled(all()));
    }
    // The read pump keeps it under the mapping's lock.
    std::int32_t pacedBaud() {
        SyncLock hold(*m->lock);
        return m->net().pacedBaud;
    }
    std::vector<const ThreadInterface*> all() const { return {m->builder, m->tarnRX, m->tarnTX, m->netTX, m->netRX}; }
    std::vector<const ThreadInterface*> pumps() const { return {m->tarnRX, m->tarnTX, m->netTX, m->netRX}; }

    Peer listener;
};

// Connected, open and idle, the five threads run a handful of passes a second at most; at the
// fixed one-millisecond cadence they would run thousands.
TEST_F(IdleWaitTest, IdleConnectedMappingRunsAlmostNoPasses) {
    ThreadInterface::setIdleSafetyTimeout(ThreadInterface::kIdleSafetyTimeout);
    connectClient();
    const std::uint64_t before = passesOf(all());
    std::this_thread::sleep_for(1s); // an observation window, not a synchronisation
    EXPECT_LT(passesOf(all()) - before, 200u);
    EXPECT_TRUE(m->connected());
}

TEST_F(IdleWaitTest, BytesFromTheApplicationAndFromThePeerWakeTheirPumps) {
    connectClient();
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const auto out = pattern(300 + static_cast<std::size_t>(round), static_cast<std::uint8_t>(round));
        ASSERT_TRUE(app->writeAll(out, kDeadline));
        EXPECT_EQ(peer.receive(out.size(), kDeadline), out);
        ASSERT_TRUE(settled(all()));

        const auto in = pattern(200 + static_cast<std::size_t>(round), static_cast<std::uint8_t>(round + 50));
        ASSERT_TRUE(peer.sendAll(in));
        EXPECT_EQ(app->readAtLeast(in.size(), kDeadline), in);
        ASSERT_TRUE(settled(all()));
    }
}

// One byte each way between sleeping threads: the read pump sends it for the send pump, and
// the receive pump delivers the reply for the port write pump, so neither of those two is
// woken for it. Only a pump asleep for its ring is handed a pass, so each message waits for
// that; still, a late wake-up of the pump by something else (a port event of the round
// before, on a loaded machine) can make it run its own pass, so one round in five may.
TEST_F(IdleWaitTest, ARequestAndItsReplyAreHandedOnWithoutWakingTheNextPump) {
    connectClient();
    const auto asleep = [](const ThreadInterface* pump, std::uint32_t ring) {
        return waitUntil([&] { return pump->sleepsFor(ring); }, kDeadline);
    };
    constexpr int kRounds = 5;
    const std::uint64_t sent = m->netTX->handedPassCount();
    const std::uint64_t delivered = m->tarnTX->handedPassCount();
    for (int round = 1; round <= kRounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const std::vector<std::uint8_t> request{static_cast<std::uint8_t>(round)};
        ASSERT_TRUE(asleep(m->netTX, ThreadInterface::kWakeOnPortToNet));
        ASSERT_TRUE(app->writeAll(request, kDeadline));
        EXPECT_EQ(peer.receive(1, kDeadline), request);
        const std::vector<std::uint8_t> reply{static_cast<std::uint8_t>(round + 100)};
        ASSERT_TRUE(asleep(m->tarnTX, ThreadInterface::kWakeOnNetToPort));
        ASSERT_TRUE(peer.sendAll(reply));
        EXPECT_EQ(app->readAtLeast(1, kDeadline), reply);
        ASSERT_TRUE(settled(all()));
    }
    // Never more than one handed pass a message; at most one message each way not handed.
    EXPECT_LE(m->netTX->handedPassCount() - sent, std::uint64_t{kRounds});
    EXPECT_GE(m->netTX->handedPassCount() - sent, std::uint64_t{kRounds - 1});
    EXPECT_LE(m->tarnTX->handedPassCount() - delivered, std::uint64_t{kRounds});
    EXPECT_GE(m->tarnTX->handedPassCount() - delivered, std::uint64_t{kRounds - 1});
}

TEST_F(IdleWaitTest, PeerClosingWakesTheReceivePump) {
    connectClient();
    peer.close();
    EXPECT_TRUE(log.waitForCount(lossLine(m->com), 1, kDeadline));
    // The client comes back by itself (the listener's backlog takes it at once).
    peer = listener.accept(kDeadline);
    EXPECT_TRUE(peer.ok());
    EXPECT_TRUE(log.waitForCount(connectsLine(m->com), 2, kDeadline));
}

// A client mapping's builder sleeps while the port is closed: opening it makes the connection.
// Closing wakes the threads too (the read pump forgets its pacing), and so does each later
// opening; none of it, our own flush of the closed port included, leaves them busy.
TEST_F(IdleWaitTest, PortOpeningAndClosingWakeTheThreads) {
    listener = Peer::listener();
    ASSERT_TRUE(listener.ok());
    m = &ms.add(kModeTcpClient, "127.0.0.1", 0, listener.port());
    ASSERT_TRUE(m->ready());
    m->resumeBridgeThreads();
    for (int round = 1; round <= 3; ++round) {
        SCOPED_TRACE("opening " + std::to_string(round));
        ASSERT_TRUE(settled(all()));
        const std::uint64_t closed = passesOf(all());
        app = std::make_unique<PortApp>(m->link(), B921600);
        ASSERT_TRUE(app->ok());
        if (round == 1) {
            peer = listener.accept(kDeadline);
            ASSERT_TRUE(peer.ok());
            ASSERT_TRUE(log.waitForCount(connectsLine(m->com), 1, kDeadline));
        } else {
            EXPECT_TRUE(waitUntil([&] { return passesOf(all()) > closed; }, kDeadline));
        }
        ASSERT_TRUE(settled(all()));
        // Bytes while open set the read pump's pacing up.
        const auto out = pattern(64, static_cast<std::uint8_t>(round));
        ASSERT_TRUE(app->writeAll(out, kDeadline));
        EXPECT_EQ(peer.receive(out.size(), kDeadline), out);
        ASSERT_TRUE(waitUntil([&] { return pacedBaud() != 0; }, kDeadline));
        ASSERT_TRUE(settled(all()));

        const std::uint64_t open = m->tarnRX->passCount();
        app.reset();
        EXPECT_TRUE(waitUntil([&] { return pacedBaud() == 0; }, kDeadline));
        EXPECT_GT(m->tarnRX->passCount(), open);
    }
    EXPECT_EQ(log.count(connectsLine(m->com)), 1);
    EXPECT_EQ(log.count(lossLine(m->com)), 0);
}

TEST_F(IdleWaitTest, AServerWakesForAConnectingPeer) {
    m = &ms.add(kModeTcpServer, "127.0.0.1", Peer::freePort(), 0);
    ASSERT_TRUE(m->ready());
    m->resumeBridgeThreads();
    app = std::make_unique<PortApp>(m->link(), B921600);
    ASSERT_TRUE(app->ok());
    ASSERT_TRUE(waitUntil([&] { return m->net().listenSock.load() > 0; }, kDeadline));
    ASSERT_TRUE(settled(all()));
    peer = Peer::connectTo(m->info->localPort());
    ASSERT_TRUE(peer.ok());
    EXPECT_TRUE(log.waitForCount(acceptsLine(m->com), 1, kDeadline));
    const auto in = pattern(100, 9);
    ASSERT_TRUE(peer.sendAll(in));
    EXPECT_EQ(app->readAtLeast(in.size(), kDeadline), in);
}

TEST_F(IdleWaitTest, DatagramsWakeTheUdpPumpsBothWays) {
    Peer udpPeer = Peer::udp();
    ASSERT_TRUE(udpPeer.ok());
    const std::uint16_t localPort = Peer::freePort(SOCK_DGRAM);
    m = &ms.add(kModeUdp, "127.0.0.1", localPort, udpPeer.port());
    ASSERT_TRUE(m->ready());
    m->resumeBridgeThreads();
    app = std::make_unique<PortApp>(m->link(), B921600);
    ASSERT_TRUE(app->ok());
    ASSERT_TRUE(settled(all()));

    const auto in = pattern(700, 3);
    ASSERT_TRUE(udpPeer.sendTo(in, localPort));
    EXPECT_EQ(app->readAtLeast(in.size(), kDeadline), in);
    ASSERT_TRUE(settled(all()));

    const auto out = pattern(500, 4);
    ASSERT_TRUE(app->writeAll(out, kDeadline));
    const auto datagram = udpPeer.datagram(kDeadline);
    ASSERT_TRUE(datagram);
    EXPECT_EQ(*datagram, out);
}

// A posted message (how a close notification reaches the receive pump) ends the idle wait;
// so does terminate, and release() returns without waiting out the safety time-out.
TEST_F(IdleWaitTest, PostedMessageAndTerminateEndTheIdleWait) {
    BCBLock lock;
    Sleeper sleeper(lock, false);
    sleeper.resume();
    ASSERT_TRUE(waitUntil([&] { return sleeper.passCount() >= 1; }, kDeadline));
    ASSERT_TRUE(settled({&sleeper}));
    for (int i = 0; i < 3; ++i) {
        std::promise<void> ran;
        auto done = ran.get_future();
        sleeper.post([&ran] { ran.set_value(); });
        EXPECT_EQ(done.wait_for(kDeadline), std::future_status::ready);
        ASSERT_TRUE(settled({&sleeper}));
    }
    auto ended = std::async(std::launch::async, [&] { sleeper.release(); });
    EXPECT_EQ(ended.wait_for(kDeadline), std::future_status::ready);
}

TEST_F(IdleWaitTest, TerminateEndsEveryThreadOfAnIdleMapping) {
    connectClient();
    auto ended = std::async(std::launch::async, [&] { m->threads->release(); });
    EXPECT_EQ(ended.wait_for(kDeadline), std::future_status::ready);
}

// Pending work keeps the fixed cadence whatever the idle time-out: a thread that says it is
// busy and knows no better runs pass after pass with no one waking it, and so does the read
// pump while the backlog to the network is over its limit (9600 baud here, the send pump not
// running), since each of those passes takes the application's rate down one step.
TEST_F(IdleWaitTest, PendingWorkKeepsTheCadence) {
    BCBLock lock;
    Sleeper busy(lock, true);
    busy.resume();
    EXPECT_TRUE(waitUntil([&] { return busy.passCount() >= 50; }, kDeadline));

    connectClient(false);
    app->setSpeed(B9600);
    const auto slow = pattern(3000, 5);
    ASSERT_TRUE(app->writeAll(slow, kDeadline));
    ASSERT_TRUE(waitUntil([&] { return m->toNet().count.load() > 960; }, kDeadline));
    const std::uint64_t before = m->tarnRX->passCount();
    EXPECT_TRUE(waitUntil([&] { return pacedBaud() < 9600 && m->tarnRX->passCount() >= before + 50; }, kDeadline));
    m->netTX->resume();
    EXPECT_EQ(peer.receive(slow.size(), kDeadline), slow);
}

// A busy thread that waits for one of its descriptors passes when that becomes ready, not
// at the cadence.
TEST_F(IdleWaitTest, ABusyThreadWaitsForItsDescriptor) {
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_NONBLOCK | O_CLOEXEC), 0);
    {
        BCBLock lock;
        Sleeper waiter(lock, true, fds[0]);
        waiter.resume();
        for (int round = 0; round < 3; ++round) {
            ASSERT_TRUE(settled({&waiter}));
            const std::uint64_t before = waiter.passCount();
            ASSERT_EQ(::write(fds[1], "x", 1), 1);
            EXPECT_TRUE(waitUntil([&] { return waiter.passCount() > before; }, kDeadline));
        }
    }
    ::close(fds[0]);
    ::close(fds[1]);
}

// Streaming both ways at 9600 baud, each pump passes about once per batch of the line's
// bytes, not once a millisecond: the strict rate stretches the 2000 bytes each way over more
// than 1.5 s, where the fixed cadence would have run each busy pump over 1500 times.
TEST_F(IdleWaitTest, AStreamAtALowRateCostsPassesInProportionToItsBytes) {
    connectClient();
    app->setSpeed(B9600);
    std::vector<std::uint64_t> before;
    for (const ThreadInterface* pump : pumps())
        before.push_back(pump->passCount());
    const auto out = pattern(2000, 21);
    const auto in = pattern(2000, 22);
    ASSERT_TRUE(peer.sendAll(in));
    ASSERT_TRUE(app->writeAll(out, kDeadline));
    std::vector<std::uint8_t> atApp;
    std::vector<std::uint8_t> atPeer;
    EXPECT_TRUE(waitUntil(
        [&] {
            app->readSome(atApp);
            if (peer.pendingBytes() > 0) {
                const auto got = peer.receive(static_cast<std::size_t>(peer.pendingBytes()), 1s);
                atPeer.insert(atPeer.end(), got.begin(), got.end());
            }
            return atApp.size() >= in.size() && atPeer.size() >= out.size();
        },
        kDeadline));
    EXPECT_EQ(atApp, in);
    EXPECT_EQ(atPeer, out);
    const auto threads = pumps();
    const char* names[] = {"tarnRXThread", "tarnTXThread", "netTXThread", "netRXThread"};
    for (std::size_t i = 0; i < threads.size(); ++i)
        EXPECT_LT(threads[i]->passCount() - before[i], 150u) << names[i];
}

} // namespace
} // namespace bridgetest
