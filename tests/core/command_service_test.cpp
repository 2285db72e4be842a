// The control channel's commands on an in-process core whose main loop is the test thread:
// a search answered at its end with the count and announced like the window's own, and a
// log follower that receives rows appended after it started.

#include <atomic>
#include <filesystem>
#include <gtest/gtest.h>
#include <optional>
#include <thread>

#include "../integration/mapping_harness.h"

namespace {

using namespace std::chrono_literals;

class Service : public mapping_test::ControlChannelTest {
protected:
    void SetUp() override {
        core::CoreOptions options;
        options.workerPeriod = 20ms;
        options.searchJob = [this] { ++m_searches; };
        options.deviceCount = [] { return std::size_t{3}; };
        makeCore(options);
        m_core->setEventHandler([this](core::CoreEvent event) {
            if (event == core::CoreEvent::kSearchFinished)
                ++m_announced;
        });
        m_core->start();
    }

    std::atomic<int> m_searches{0};
    int m_announced = 0;
};

TEST_F(Service, ASearchIsAnsweredAtItsEndWithTheCountAndAnnounced) {
    core::ControlClient client = connect();
    ASSERT_TRUE(client.send({"search"}));
    EXPECT_EQ(answer(client), (Fields{"ok", "3"}));
    EXPECT_EQ(m_searches.load(), 1) << "answered only once the search ran";
    EXPECT_EQ(m_announced, 1);
    EXPECT_EQ(m_core->deviceLog().rows().back().text, "3 device(s) searched.");
}

TEST_F(Service, AFollowerGetsTheRowsSoFarThenEachNewOne) {
    m_core->logMappingMessage("before");
    core::ControlClient plain = connect();
    ASSERT_TRUE(plain.send({"log"}));
    EXPECT_EQ(answer(plain).value().at(3), "before");
    EXPECT_EQ(answer(plain), (Fields{"ok", "1"}));

    core::ControlClient follower = connect();
    ASSERT_TRUE(follower.send({"log", "follow"}));
    EXPECT_EQ(answer(follower).value().at(3), "before");
    m_core->logDeviceMessage("line one\nline two");
    const auto row = answer(follower);
    ASSERT_TRUE(row);
    EXPECT_EQ(row->at(1), "device");
    EXPECT_EQ(row->at(3), "line one\nline two") << "a message's line breaks survive the trip";
}

} // namespace
