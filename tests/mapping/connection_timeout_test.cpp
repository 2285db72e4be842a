// A client whose server never answers: each attempt ends within the builder's connect bound
// instead of the system's own time-out of minutes, during which the mapping's lock is held.
// Runs in a private network namespace where the "server" sits behind a veth end whose peer is
// down, with a fixed neighbour entry: every SYN is dropped at once, and no packet ever leaves
// the test's own namespace.

#include "pump_harness.h"
#include "support/netns.h"

namespace bridgetest {
namespace {

TEST(ConnectionTimeoutTest, ConnectToASilentHostGivesUpSaysWhyOnceAndRetries) {
    // First, before any thread of the test exists: the whole process moves namespace.
    TARN_REQUIRE_PRIVATE_NETNS();
    for (const auto& argv : std::vector<std::vector<std::string>>{
             {"ip", "link", "add", "tarnsil0", "type", "veth", "peer", "name", "tarnsil1"},
             {"ip", "addr", "add", "10.213.0.1/24", "dev", "tarnsil0"},
             {"ip", "link", "set", "tarnsil0", "up"},
             {"ip", "neigh", "add", "10.213.0.2", "lladdr", "02:00:00:00:00:02", "dev", "tarnsil0", "nud",
              "permanent"}}) {
        const auto result = testsupport::runCommand(argv);
        if (result.exitCode != 0)
            GTEST_SKIP() << "cannot make a silent link in the namespace: " << result.output;
    }
    startSocketLayer();
    usePrivatePortDirectory();

    LogCapture log;
    TestMappings ms;
    Mapping& m = ms.add(kModeTcpClient, "10.213.0.2", 0, 4001);
    ASSERT_TRUE(m.ready());
    PortApp app(m.link());
    ASSERT_TRUE(waitUntil([&] { return m.info->isOpen(); }));

    // A pass only starts the connect and returns, leaving the mapping's lock to its pumps;
    // later passes follow it to its limit, well before the system's own connect time-out
    // (over two minutes with the default SYN retries), and give it up, saying why once.
    m.builder->runPass();
    EXPECT_GT(m.net().dataSock.load(), 0) << "the connect goes on";
    EXPECT_FALSE(m.connected());
    ASSERT_TRUE(waitUntil(
        [&] {
            m.builder->runPass();
            return m.net().dataSock.load() == 0;
        },
        60s));
    EXPECT_FALSE(m.connected());
    EXPECT_EQ(m.net().connectPending.load(), 1);
    // And the next attempt starts.
    ASSERT_TRUE(waitUntil([&] {
        m.builder->runPass();
        return m.net().dataSock.load() > 0;
    }));
    EXPECT_EQ(log.lines(), std::vector<std::string>{"COM" + std::to_string(m.com) +
                                                    " cannot connect to 10.213.0.2:4001: Connection timed out."});
}

} // namespace
} // namespace bridgetest
