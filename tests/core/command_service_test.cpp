// The control channel's commands on an in-process core whose main loop is the test thread:
// a search answered at its end with the count and announced like the window's own, and a
// log follower that receives rows appended after it started.

#include <atomic>
#include <filesystem>
#include <gtest/gtest.h>
#include <optional>
#include <thread>

#include "core/command_client.h"
#include "core/program_core.h"

namespace {

using namespace std::chrono_literals;
using Fields = std::vector<std::string>;

class Service : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/tarn-service-XXXXXX";
        m_dir = ::mkdtemp(pattern);
        core::CoreOptions options;
        options.pinToFirstCpu = false;
        options.runStartUpCommand = false;
        options.workerPeriod = 20ms;
        options.mappingFile = m_dir + "/mappings";
        options.controlChannel = true;
        options.controlSocket = m_dir + "/tarn.sock";
        options.searchJob = [this] { ++m_searches; };
        options.deviceCount = [] { return std::size_t{3}; };
        m_core.emplace(options);
        m_core->setEventHandler([this](core::CoreEvent event) {
            if (event == core::CoreEvent::kSearchFinished)
                ++m_announced;
        });
        m_core->start();
    }
    void TearDown() override {
        m_core.reset();
        std::filesystem::remove_all(m_dir);
    }

    // Runs the main loop while `client` waits for a line on its own thread.
    std::optional<Fields> answer(core::ControlClient& client) {
        std::optional<Fields> line;
        std::atomic<bool> done{false};
        std::thread reader([&] {
            line = client.readLine(30s);
            done = true;
        });
        const auto deadline = std::chrono::steady_clock::now() + 30s;
        while (!done && std::chrono::steady_clock::now() < deadline)
            m_core->mainLoop().waitAndDrain(5ms);
        reader.join();
        return line;
    }
    core::ControlClient connect() {
        core::ControlClient client;
        EXPECT_TRUE(client.connect(m_dir + "/tarn.sock")) << "cannot reach the program";
        return client;
    }

    std::string m_dir;
    std::optional<core::ProgramCore> m_core;
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
