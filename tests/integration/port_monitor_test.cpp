// The port monitor on a live mapping: an application on COM<n>, the core in-process and a TCP
// peer on loopback. What a watcher gets is checked against what the two ends sent.

#include <gtest/gtest.h>

#include <algorithm>

#include "mapping_harness.h"
#include "support/netns.h"

namespace {

using namespace mapping_test;
using monitor::Flow;

constexpr std::uint32_t kFastLine = 4000000;

class PortMonitor : public MappingTest {
protected:
    // A TCP client mapping on COM<com> whose peer the test holds.
    void connect(int com, std::uint16_t port) {
        m_listener = tcpListen(port);
        ASSERT_TRUE(m_listener.valid());
        addMapping(makeDesc(com, kModeTcpClient, "127.0.0.1", 0, port));
        ASSERT_TRUE(m_app.open(m_home->portLink(com), kFastLine));
        m_peer = tcpAccept(m_listener);
        ASSERT_TRUE(m_peer.valid());
        ASSERT_TRUE(m_core->waitFor([&] { return m_core->mapping(com)->isConnected(); }));
    }

    // Takes what the ring holds until `done` holds for what was taken so far.
    bool collectUntil(monitor::Ring& ring, const std::function<bool()>& done) {
        return m_core->waitFor([&] {
            std::uint64_t lost = 0;
            ring.take(m_records, std::size_t{1} << 20, lost);
            m_lost += lost;
            return done();
        });
    }
    std::string bytesOf(Flow flow) const {
        std::string all;
        for (const auto& record : m_records)
            all += record.flow == flow ? record.bytes : std::string();
        return all;
    }
    // Position of the first event with this text from `from` on, or of the first (last) record
    // of `flow`; -1 if none.
    long eventAt(const std::string& text, long from = 0) const {
        const auto found = std::find_if(
            m_records.begin() + std::min<long>(from, std::ssize(m_records)), m_records.end(),
            [&](const monitor::Record& record) { return record.flow == Flow::kEvent && record.bytes == text; });
        return found == m_records.end() ? -1 : found - m_records.begin();
    }
    long firstOf(Flow flow, bool last = false) const {
        long at = -1;
        for (std::size_t i = 0; i < m_records.size(); ++i) {
            if (m_records[i].flow == flow) {
                at = static_cast<long>(i);
                if (!last)
                    break;
            }
        }
        return at;
    }

    Sock m_listener;
    Sock m_peer;
    std::vector<monitor::Record> m_records;
    std::uint64_t m_lost = 0;
};

std::string text(const std::vector<std::uint8_t>& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

// A stream both ways arrives whole at all four hand-overs, in order, with the port's and the
// connection's events where they happened.
TEST_F(PortMonitor, RecordsEveryByteBothWaysWithTheEventsAround) {
    constexpr int kCom = 41;
    constexpr std::uint16_t kPort = 41041;
    m_listener = tcpListen(kPort);
    addMapping(makeDesc(kCom, kModeTcpClient, "127.0.0.1", 0, kPort));
    auto hold = (**m_core).watchMapping(kCom);
    ASSERT_TRUE(hold) << hold.error();
    monitor::Ring& ring = hold->watch->ring();
    ASSERT_TRUE(collectUntil(ring, [&] { return eventAt("port closed") >= 0; }));

    ASSERT_TRUE(m_app.open(m_home->portLink(kCom), kFastLine));
    m_peer = tcpAccept(m_listener);
    ASSERT_TRUE(m_peer.valid());
    const auto toDevice = testPattern(96 * 1024, 7);
    const auto toApp = testPattern(96 * 1024, 8);
    std::vector<std::uint8_t> atPeer, atApp;
    {
        Background peerWriter([&] { sendAll(m_peer.fd(), toApp.data(), toApp.size()); });
        Background peerReader([&] { atPeer = recvExactly(m_peer.fd(), toDevice.size()); });
        Background appWriter([&] { m_app.writeAll(toDevice); });
        atApp = m_app.readExactly(toApp.size());
    }
    ASSERT_EQ(atApp, toApp);
    ASSERT_EQ(atPeer, toDevice);
    m_app.close();
    ASSERT_TRUE(collectUntil(
        ring, [&] { return eventAt("port open") > 0 && eventAt("port closed", eventAt("port open")) > 0; }));
    const long open = eventAt("port open");
    const long closed = eventAt("port closed", open);
    m_peer.reset();
    ASSERT_TRUE(collectUntil(ring, [&] { return eventAt("connection down", open) > 0; }));

    EXPECT_EQ(m_lost, 0u);
    EXPECT_EQ(bytesOf(Flow::kAppWrote), text(toDevice));
    EXPECT_EQ(bytesOf(Flow::kSent), text(toDevice));
    EXPECT_EQ(bytesOf(Flow::kReceived), text(toApp));
    EXPECT_EQ(bytesOf(Flow::kDelivered), text(toApp));
    EXPECT_TRUE(std::is_sorted(m_records.begin(), m_records.end(),
                               [](const auto& a, const auto& b) { return a.timeUs < b.timeUs; }));
    // The watcher started on a closed, unconnected port and heard that first.
    EXPECT_EQ(m_records.front().bytes, "monitor started");
    const long up = eventAt("connection up (127.0.0.1:" + std::to_string(kPort) + ")");
    EXPECT_LT(eventAt("connection down"), open);
    EXPECT_LT(open, firstOf(Flow::kAppWrote));
    EXPECT_LT(up, firstOf(Flow::kSent));
    EXPECT_LT(eventAt("line 4000000 8N1, flow None"), firstOf(Flow::kAppWrote));
    // Closed after the last byte either way; the peer hung up after that.
    EXPECT_GT(closed, firstOf(Flow::kAppWrote, true));
    EXPECT_GT(closed, firstOf(Flow::kDelivered, true));
    EXPECT_GT(eventAt("connection down", open), closed);
}

// Without a watcher the pumps do nothing for the monitor; the counters count all the same.
// A watcher that takes nothing loses the oldest records and holds nothing up.
TEST_F(PortMonitor, CostsNothingUnwatchedAndAStalledWatcherOnlyLosesRecords) {
    constexpr int kCom = 42;
    connect(kCom, 41042);
    TARNINFO& mapping = *m_core->mapping(kCom);
    const auto chunk = testPattern(256 * 1024, 9);
    std::vector<std::uint8_t> atPeer;
    auto streamOnce = [&] {
        Background peerReader([&] { atPeer = recvExactly(m_peer.fd(), chunk.size()); });
        EXPECT_TRUE(m_app.writeAll(chunk));
    };
    streamOnce();
    ASSERT_EQ(atPeer, chunk);
    EXPECT_EQ(mapping.tap.work(), 0u);
    EXPECT_EQ(mapping.traffic.appWrote.load(), chunk.size());
    // Counted once send() returned, which may be after the peer has read.
    EXPECT_TRUE(m_core->waitFor([&] { return mapping.traffic.sent.load() == chunk.size(); }));

    // 64 KiB of ring for 512 KiB of data at two hand-overs.
    auto hold = (**m_core).watchMapping(kCom, 64 * 1024);
    ASSERT_TRUE(hold);
    streamOnce();
    ASSERT_EQ(atPeer, chunk) << "a watcher that takes nothing held the stream up";
    // The last send is recorded once send() returned, which may be after the peer has read.
    const std::string end = text(chunk).substr(chunk.size() - 64);
    ASSERT_TRUE(collectUntil(hold->watch->ring(), [&] { return bytesOf(Flow::kSent).ends_with(end); }));
    EXPECT_GT(mapping.tap.work(), 0u);
    EXPECT_GT(m_lost, 0u);
    // What is left is the newest: the stream's tail, whole.
    const std::string tail = bytesOf(Flow::kSent);
    ASSERT_FALSE(tail.empty());
    EXPECT_LT(tail.size(), chunk.size());
    EXPECT_EQ(tail, text(chunk).substr(chunk.size() - tail.size()));

    hold->watch.reset();
    const std::uint64_t work = mapping.tap.work();
    streamOnce();
    EXPECT_EQ(mapping.tap.work(), work) << "the watcher went, and the monitor work with it";
    EXPECT_EQ(mapping.traffic.appWrote.load(), 3 * chunk.size());
}

} // namespace
