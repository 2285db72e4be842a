// Raw discovery against scripted adapters: which devices become capture adapters, what is
// sent on each, which captured frames become answers, and who owns them afterwards.

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "device/device_list.h"
#include "device/raw_discovery.h"
#include "device/raw_frame.h"

namespace {

using Frame = std::vector<std::uint8_t>;

struct ScriptedDevice {
    std::string name;
    std::optional<MacAddress> mac;
    bool opens = true;
    bool sendFails = false;
};

class ScriptedBackend;

// A capture whose incoming frames the test queues. A "wire" callback lets the test answer
// each sent frame, as devices on that link would.
class ScriptedChannel final : public CaptureChannel {
public:
    ScriptedChannel(ScriptedBackend& backend, std::string name, bool sendFails)
        : m_backend(backend), m_name(std::move(name)), m_sendFails(sendFails) {}
    ~ScriptedChannel() override;

    bool send(std::span<const std::uint8_t> frame) override;
    int collect(const FrameHandler& onFrame, std::chrono::steady_clock::time_point) override {
        int count = 0;
        while (!incoming.empty()) {
            const Frame frame = incoming.front();
            incoming.pop_front();
            onFrame(frame);
            ++count;
        }
        ++collects;
        return count;
    }
    bool setFilter(const std::string& expression) override {
        filter = expression;
        return true;
    }
    void discardPending() override { incoming.clear(); }
    std::string lastError() const override { return m_sendFails ? "scripted send failure" : ""; }

    std::deque<Frame> incoming;
    std::vector<Frame> sent;
    std::string filter;
    int collects = 0;

private:
    ScriptedBackend& m_backend;
    std::string m_name;
    bool m_sendFails;
};

class ScriptedBackend final : public CaptureBackend {
public:
    explicit ScriptedBackend(std::vector<ScriptedDevice> devices) : m_devices(std::move(devices)) {}

    std::vector<std::string> listDevices() override {
        std::vector<std::string> names;
        for (const auto& device : m_devices)
            names.push_back(device.name);
        return names;
    }
    std::optional<MacAddress> macAddress(const std::string& name) override {
        const ScriptedDevice* device = find(name);
        return device ? device->mac : std::nullopt;
    }
    std::unique_ptr<CaptureChannel> open(const std::string& name) override {
        opened.push_back(name);
        const ScriptedDevice* device = find(name);
        if (device == nullptr || !device->opens)
            return nullptr;
        auto channel = std::make_unique<ScriptedChannel>(*this, name, device->sendFails);
        channels[name] = channel.get();
        return channel;
    }

    // Called for every frame sent on `name`; returns the frames that arrive in reply.
    std::function<std::vector<Frame>(const std::string& name, const Frame& sent)> wire;
    std::vector<std::string> opened;
    std::map<std::string, ScriptedChannel*> channels;

private:
    const ScriptedDevice* find(const std::string& name) const {
        for (const auto& device : m_devices)
            if (device.name == name)
                return &device;
        return nullptr;
    }
    std::vector<ScriptedDevice> m_devices;
};

ScriptedChannel::~ScriptedChannel() {
    m_backend.channels.erase(m_name);
}

bool ScriptedChannel::send(std::span<const std::uint8_t> frame) {
    if (m_sendFails)
        return false;
    sent.emplace_back(frame.begin(), frame.end());
    if (m_backend.wire)
        for (auto& reply : m_backend.wire(m_name, sent.back()))
            incoming.push_back(std::move(reply));
    return true;
}

constexpr MacAddress kEth0{0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
constexpr MacAddress kEth2{0x02, 0x00, 0x00, 0x00, 0x00, 0x03};

// A device's answer: `sourceMac` on the wire, `deviceMac` in the payload.
Frame answer(MacAddress sourceMac, MacAddress deviceMac, std::uint8_t lastOctet, const char* name,
             std::size_t length = 106) {
    Frame frame(length, 0);
    std::fill_n(frame.begin(), 6, 0xFF);
    std::copy(sourceMac.begin(), sourceMac.end(), frame.begin() + 6);
    frame[12] = 0x08;
    frame[13] = 0x06;
    frame[16] = 0xF0;
    frame[27] = 0x02;
    std::copy(deviceMac.begin(), deviceMac.end(), frame.begin() + 30);
    const std::uint8_t ip[4] = {172, 31, 9, lastOctet};
    std::copy_n(ip, 4, frame.begin() + 36);
    std::memcpy(frame.data() + 48, name, std::min<std::size_t>(std::strlen(name), 7));
    return frame;
}

MacAddress deviceMac(std::uint8_t last) {
    return {0x00, 0x50, 0xC2, 0x00, 0x00, last};
}

std::vector<ScriptedDevice> typicalDevices() {
    return {
        {"any", std::nullopt},
        {"lo", std::nullopt},
        {"eth0", kEth0},
        {"nflog", std::nullopt},
        {"dbus-system", std::nullopt},
        {"eth1", MacAddress{0x02, 0, 0, 0, 0, 0x02}, /*opens=*/false},
        {"eth2", kEth2},
    };
}

std::vector<std::string> ipsOf(const NodeList& nodes) {
    std::vector<std::string> ips;
    for (const auto& node : nodes)
        ips.push_back(dottedText(node->ip));
    return ips;
}

TEST(CaptureAdapters, OnlyDevicesWithAnEthernetAddressThatOpenBecomeAdapters) {
    ScriptedBackend backend(typicalDevices());
    RawDiscovery discovery(backend);
    EXPECT_EQ(discovery.openCaptureAdapters(), 2u);
    EXPECT_EQ(discovery.adapterMacs(), (std::vector<MacAddress>{kEth0, kEth2}));
    // Pseudo-devices are never even opened.
    EXPECT_EQ(backend.opened, (std::vector<std::string>{"eth0", "eth1", "eth2"}));
    EXPECT_EQ(backend.channels.at("eth0")->filter, kRawAnswerFilter);

    discovery.closeCaptureAdapters();
    EXPECT_EQ(discovery.adapterCount(), 0u);
    EXPECT_TRUE(backend.channels.empty()) << "closing releases every capture";
}

TEST(CaptureAdapters, NoUsableAdapterMeansNothingSentAndNoAnswers) {
    ScriptedBackend backend({{"any", std::nullopt}, {"lo", std::nullopt}});
    RawDiscovery discovery(backend);
    EXPECT_EQ(discovery.openCaptureAdapters(), 0u);
    EXPECT_TRUE(discovery.rawDiscover().empty());
    EXPECT_FALSE(discovery.capturing());
}

TEST(RawDiscover, SendsOneDiscoveryFrameOnEachAdapterFromItsOwnAddress) {
    ScriptedBackend backend(typicalDevices());
    RawDiscovery discovery(backend);
    discovery.openCaptureAdapters();
    discovery.rawDiscover();
    for (const auto& [name, mac] : {std::pair{"eth0", kEth0}, std::pair{"eth2", kEth2}}) {
        SCOPED_TRACE(name);
        const ScriptedChannel* channel = backend.channels.at(name);
        ASSERT_EQ(channel->sent.size(), 1u);
        const DiscoveryFrame expected = buildDiscoveryFrame(mac);
        EXPECT_EQ(channel->sent[0], Frame(expected.begin(), expected.end()));
        EXPECT_EQ(channel->collects, 1);
    }
    // Once the program ends, a search that goes on into its fallback sends nothing more.
    discovery.stop();
    EXPECT_TRUE(discovery.rawDiscover().empty());
    EXPECT_EQ(backend.channels.at("eth0")->sent.size(), 1u);
    EXPECT_EQ(backend.channels.at("eth0")->collects, 1);
}

TEST(RawDiscover, ASendFailureIsTracedAndTheOtherAdaptersGoOn) {
    ScriptedBackend backend({{"eth0", kEth0, true, /*sendFails=*/true}, {"eth2", kEth2}});
    backend.wire = [](const std::string& name, const Frame&) {
        return std::vector<Frame>{answer(deviceMac(9), deviceMac(9), 9, name.c_str())};
    };
    std::vector<std::string> trace;
    RawDiscovery discovery(backend, [&trace](std::string_view line) { trace.emplace_back(line); });
    discovery.openCaptureAdapters();
    const NodeList nodes = discovery.rawDiscover();
    EXPECT_EQ(trace, (std::vector<std::string>{"send arp packet error\n"}));
    ASSERT_EQ(nodes.size(), 1u);
    EXPECT_STREQ(nodes[0]->deviceName, "eth2");
}

TEST(RawDiscover, KeepsOneNodePerDeviceAndIgnoresEverythingElse) {
    ScriptedBackend backend(typicalDevices());
    backend.wire = [](const std::string& name, const Frame& request) {
        Frame otherHostsRequest = request;
        otherHostsRequest[6] = 0x0E;
        Frame tooShort = answer(deviceMac(7), deviceMac(7), 7, "short", 105);
        if (name == "eth0")
            return std::vector<Frame>{
                answer(deviceMac(1), deviceMac(1), 1, "first"),       otherHostsRequest, tooShort,
                answer(deviceMac(1), deviceMac(1), 99, "again"), // a repeated answer
                answer(deviceMac(2), deviceMac(2), 2, "second", 140), Frame{},           Frame(20, 0xF0),
            };
        // The first device again on the other link, then the second device answering from a
        // source address that differs from the one it states.
        return std::vector<Frame>{
            answer(deviceMac(1), deviceMac(1), 1, "onEth2"),
            answer(deviceMac(0x22), deviceMac(2), 2, "bridged"),
            answer(deviceMac(3), deviceMac(3), 3, "third"),
        };
    };
    RawDiscovery discovery(backend);
    discovery.openCaptureAdapters();
    const NodeList nodes = discovery.rawDiscover();
    EXPECT_EQ(ipsOf(nodes), (std::vector<std::string>{"172.31.9.1", "172.31.9.2", "172.31.9.3"}));
    ASSERT_EQ(nodes.size(), 3u);
    EXPECT_STREQ(nodes[0]->deviceName, "first") << "the first answer of a device wins";
    EXPECT_EQ(nodes[1]->options.size(), 140u - 64u);
}

TEST(RawDiscover, FramesOutsideADiscoveryAreIgnored) {
    ScriptedBackend backend({{"eth0", kEth0}});
    RawDiscovery discovery(backend);
    discovery.openCaptureAdapters();
    // Before any discovery, and captured long before the request: neither counts.
    discovery.handleFrame(answer(deviceMac(5), deviceMac(5), 5, "early"));
    backend.channels.at("eth0")->incoming.push_back(answer(deviceMac(6), deviceMac(6), 6, "stale"));
    EXPECT_TRUE(discovery.rawDiscover().empty());
    EXPECT_EQ(discovery.rawAnswerCount(), 0u);
    // After it ended.
    discovery.handleFrame(answer(deviceMac(8), deviceMac(8), 8, "late"));
    EXPECT_EQ(discovery.rawAnswerCount(), 0u);
}

TEST(RawDiscover, AnswersPassToTheCallerWhileTheDisplayKeepsCopies) {
    ScriptedBackend backend({{"eth0", kEth0}});
    std::uint8_t next = 1;
    backend.wire = [&next](const std::string&, const Frame&) {
        const std::uint8_t id = next++;
        return std::vector<Frame>{answer(deviceMac(id), deviceMac(id), id, "dev")};
    };
    RawDiscovery discovery(backend);
    discovery.openCaptureAdapters();
    NodeList first = discovery.rawDiscover();
    ASSERT_EQ(first.size(), 1u);
    ASSERT_EQ(discovery.rawAnswers().size(), 1u);
    EXPECT_EQ(dottedText(discovery.rawAnswers()[0].ip), "172.31.9.1");

    // A second discovery starts a new list and must not touch the nodes handed out before.
    NodeList second = discovery.rawDiscover();
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(dottedText(first[0]->ip), "172.31.9.1");
    EXPECT_EQ(dottedText(second[0]->ip), "172.31.9.2");
    EXPECT_EQ(discovery.rawAnswerCount(), 1u);
}

TEST(RawDiscover, ANodeBecomesADeviceEntryWithoutReadingPastItsOptions) {
    // Byte 64 onward starts inside the project name, so the "option list" of a raw answer is
    // whatever text the device sent: a count and lengths that promise far more than is there.
    ScriptedBackend backend({{"eth0", kEth0}});
    backend.wire = [](const std::string&, const Frame&) {
        Frame frame = answer(deviceMac(4), deviceMac(4), 4, "dev");
        std::memset(frame.data() + 56, 0xFF, 50);
        return std::vector<Frame>{frame};
    };
    RawDiscovery discovery(backend);
    discovery.openCaptureAdapters();
    NodeList nodes = discovery.rawDiscover();
    ASSERT_EQ(nodes.size(), 1u);
    const auto entry = makeDeviceInfo(std::move(nodes[0]));
    ASSERT_TRUE(entry && entry->node);
    EXPECT_EQ(dottedText(entry->node->ip), "172.31.9.4");
    EXPECT_LE(entry->optionList.size(), entry->node->options.size() + 1);
}

// The capture flag and the answer list are read by the search display on another thread
// while the handler fills them (run under ThreadSanitizer with the rest of the suite).
TEST(RawDiscover, TheDisplayCanReadAnswersWhileTheyArrive) {
    ScriptedBackend backend({{"eth0", kEth0}});
    backend.wire = [](const std::string&, const Frame&) {
        std::vector<Frame> frames;
        for (std::uint8_t id = 1; id <= 200; ++id)
            frames.push_back(answer(deviceMac(id), deviceMac(id), id, "many"));
        return frames;
    };
    RawDiscovery discovery(backend);
    discovery.openCaptureAdapters();
    std::atomic<bool> done{false};
    std::thread reader([&] {
        while (!done.load()) {
            for (const auto& node : discovery.rawAnswers())
                ASSERT_STREQ(node.deviceName, "many");
            std::this_thread::yield();
        }
    });
    const NodeList nodes = discovery.rawDiscover();
    done = true;
    reader.join();
    EXPECT_EQ(nodes.size(), 200u);
    EXPECT_EQ(discovery.rawAnswerCount(), 200u);
}

} // namespace
