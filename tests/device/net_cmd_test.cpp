// NetCmd against a scripted device on loopback: the search's draining and de-duplication,
// login and EEPROM exchanges with their traces, answers forged by other senders, image
// transfer with retries, and the by-IP forms on unknown devices.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <sched.h>
#include <string>

#include "device/device_list.h"
#include "device/eeprom_access.h"
#include "device/net_cmd.h"
#include "device/netcmd_fixture.h"
#include "device/search_job.h"
#include "support/netns.h"

namespace {

using testnetcmd::Bytes;
using testnetcmd::DeviceDescription;
using testnetcmd::header;
using testnetcmd::Responder;
using testnetcmd::searchAnswer;

using testnetcmd::countOf;
using testnetcmd::kLoopback;
using testnetcmd::NetCmdLoopback;
using testnetcmd::ScriptedDevice;

DeviceDescription device(std::uint8_t last, const char* name) {
    DeviceDescription d;
    d.mac[5] = last;
    d.ip[3] = last;
    d.name = name;
    return d;
}

TEST_F(NetCmdLoopback, SearchTakesEveryDatagramOfAPollAndKeepsTheFirstAnswerPerMac) {
    Responder responder([](const Bytes& request) -> std::vector<Bytes> {
        if (request.size() != 12 || request[9] != 0x01)
            return {};
        DeviceDescription again = device(1, "second-answer");
        // Three records in one datagram, then a repeat of device 1, then 300 devices each
        // in a datagram of its own: far more than one datagram per poll could ever see.
        std::vector<Bytes> out{testnetcmd::concat({searchAnswer(device(1, "one")), searchAnswer(device(2, "two")),
                                                   searchAnswer(device(3, "three"))}),
                               searchAnswer(again)};
        for (int i = 0; i < 300; ++i) {
            DeviceDescription d = device(static_cast<std::uint8_t>(10 + i % 200), "many");
            d.mac[4] = static_cast<std::uint8_t>(1 + i / 200);
            out.push_back(searchAnswer(d));
        }
        return out;
    });
    auto netCmd = makeNetCmd(responder);
    std::size_t observed = 0;
    const NodeList nodes = netCmd->NcmdSrhDevice([&](const _KT550Node&) { ++observed; });
    ASSERT_EQ(nodes.size(), 303u);
    EXPECT_EQ(observed, 303u);
    EXPECT_STREQ(nodes[0]->deviceName, "one") << "the later answer of the same MAC must not replace it";
    EXPECT_STREQ(nodes[1]->deviceName, "two");
    EXPECT_STREQ(nodes[2]->deviceName, "three");
    EXPECT_EQ(responder.requestCount(), 1u) << "one pass, one destination";
    EXPECT_EQ(netCmd->sentDatagrams(), 1u);
    const std::string t = trace();
    EXPECT_EQ(t.rfind("\n calling NcmdSrhDevice!", 0), 0u);
    EXPECT_EQ(responder.requests()[0], (Bytes{0x01, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0x01, 0xFF, 0xFF}));
}

TEST_F(NetCmdLoopback, SearchSurvivesBrokenDatagrams) {
    Responder responder([](const Bytes& request) -> std::vector<Bytes> {
        if (request.size() != 12)
            return {};
        Bytes claimsMore = searchAnswer(device(1, "liar"));
        netcmd::writeBe16(claimsMore.data() + 2, static_cast<std::uint16_t>(claimsMore.size() + 1));
        const Bytes zeroLength = testnetcmd::concat(
            {searchAnswer(device(2, "before-zero")), Bytes(40, 0), searchAnswer(device(3, "after-zero"))});
        Bytes oversized(9000, 0);
        const Bytes inside = searchAnswer(device(4, "oversized"));
        std::copy(inside.begin(), inside.end(), oversized.begin());
        return {claimsMore, zeroLength, oversized, Bytes{}, Bytes{0x01}, searchAnswer(device(5, "fine"))};
    });
    auto netCmd = makeNetCmd(responder);
    const NodeList nodes = netCmd->NcmdSrhDevice();
    ASSERT_EQ(nodes.size(), 2u);
    EXPECT_STREQ(nodes[0]->deviceName, "before-zero");
    EXPECT_STREQ(nodes[1]->deviceName, "fine");
    const std::string t = trace();
    EXPECT_NE(t.find("\n Error: cmd length is greater than data length"), std::string::npos);
    EXPECT_NE(t.find("\n ackLength=[9000]\n Rx too much data from UDP !"), std::string::npos);
}

TEST_F(NetCmdLoopback, NoBroadcastDestinationSendsNothing) {
    Responder responder([](const Bytes&) { return std::vector<Bytes>{}; });
    auto netCmd = makeNetCmd(responder, {});
    EXPECT_TRUE(netCmd->NcmdSrhDevice().empty());
    EXPECT_EQ(netCmd->sentDatagrams(), 0u);
    EXPECT_EQ(responder.requestCount(), 0u);
    // Five polls of one pass, each finding nothing.
    EXPECT_EQ(countOf(trace(), "\n Rx too much data from UDP !"), 5u);
}

TEST_F(NetCmdLoopback, LoginSucceedsAndSendsTheCredentials) {
    ScriptedDevice dev;
    Responder responder([&](const Bytes& r) { return dev.answer(r); });
    auto netCmd = makeNetCmd(responder);
    _KT550Node node = loopbackNode();
    ASSERT_EQ(netCmd->NcmdLogin(node, "admin", "secret"), 1);
    EXPECT_EQ(0, std::memcmp(node.connectionId, ScriptedDevice::kConnection, 4));
    EXPECT_EQ(trace(), "") << "a successful login writes no trace";
    const auto requests = responder.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].size(), 14u);
    ASSERT_EQ(requests[1].size(), 16u + 5 + 6);
    EXPECT_EQ(std::memcmp(requests[0].data() + 10, requests[1].data() + 10, 4), 0) << "same nonce both times";
    EXPECT_EQ(requests[1][14], 5);
    EXPECT_EQ(requests[1][15], 6);
    EXPECT_EQ(std::string(requests[1].begin() + 16, requests[1].end()), "adminsecret");
}

TEST_F(NetCmdLoopback, LoginFailuresTraceTheirReason) {
    struct Case {
        const char* name;
        bool refuseStart;
        bool silent;
        const char* password;
        const char* expectedTrace;
        std::size_t expectedRequests;
    };
    const Case cases[] = {
        {"start refused: no credentials sent", true, false, "secret", "NetCmd Login Fail:Connection ID!", 1},
        {"wrong password", false, false, "wrong", "NetCmd Login Fail:Invalid User or Pwd!", 2},
        {"silent device", false, true, "secret", "NetCmd Login Fail:Didn't Receive Ack!", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedDevice dev;
        dev.refuseStart = c.refuseStart;
        dev.silent = c.silent;
        Responder responder([&](const Bytes& r) { return dev.answer(r); });
        auto netCmd = makeNetCmd(responder);
        clearTrace();
        _KT550Node node = loopbackNode();
        EXPECT_EQ(netCmd->NcmdLogin(node, "admin", c.password), -1);
        EXPECT_EQ(trace(), c.expectedTrace);
        EXPECT_FALSE(node.loggedIn());
        EXPECT_EQ(responder.requestCount(), c.expectedRequests);
    }
}

TEST_F(NetCmdLoopback, NodeWithoutAddressIsNeverSentTo) {
    // Its address text would read "0.0.0.0", which names the search broadcast.
    ScriptedDevice dev;
    Responder responder([&](const Bytes& r) { return dev.answer(r); });
    auto netCmd = makeNetCmd(responder);
    _KT550Node node;
    EXPECT_EQ(netCmd->NcmdLogin(node, "admin", "secret"), -1);
    EXPECT_EQ(trace(), "NetCmd Login Fail:Didn't Receive Ack!");
    std::copy(std::begin(ScriptedDevice::kConnection), std::end(ScriptedDevice::kConnection), node.connectionId);
    std::uint8_t data[4] = {};
    EXPECT_EQ(netCmd->NcmdEEPRomRead(node, 0, data, sizeof data), -1);
    EXPECT_EQ(netCmd->NcmdEEPRomWrite(node, 0, data, sizeof data), -1);
    EXPECT_EQ(netCmd->NcmdWriteDone(node), -1);
    EXPECT_EQ(netCmd->sentDatagrams(), 0u);
    EXPECT_EQ(responder.requestCount(), 0u);
}

TEST_F(NetCmdLoopback, SilentDeviceFailsAfterTheAnswerPolls) {
    ScriptedDevice dev;
    dev.silent = true;
    Responder responder([&](const Bytes& r) { return dev.answer(r); });
    auto netCmd = makeNetCmd(responder);
    _KT550Node node = loopbackNode(true);
    std::uint8_t data[16];
    EXPECT_EQ(netCmd->NcmdEEPRomRead(node, 0, data, sizeof data), -1);
    const std::string t = trace();
    EXPECT_EQ(countOf(t, "\n ackLength=[-1]\n Rx too much data from UDP !"), netCmd->answerPolls);
    EXPECT_EQ(netCmd->answerPolls, 10);
    EXPECT_NE(t.find("NetCmd Read EEPROM Fail:Never Receive Ack!"), std::string::npos);
}

TEST_F(NetCmdLoopback, ReadSkipsAnswersForAnotherAddress) {
    ScriptedDevice dev;
    dev.wrongAddressFirst = true;
    Responder responder([&](const Bytes& r) { return dev.answer(r); });
    auto netCmd = makeNetCmd(responder);
    _KT550Node node = loopbackNode(true);
    std::array<std::uint8_t, 64> data{};
    ASSERT_EQ(netCmd->NcmdEEPRomRead(node, 100, data.data(), 64), 1);
    const EepromImage image = dev.image();
    EXPECT_TRUE(std::equal(data.begin(), data.end(), image.begin() + 100));
    EXPECT_NE(trace().find("\n Error: cmd failure!"), std::string::npos);
}

// Another host of the link answering each request before the device does: from a second
// loopback address with the device's port, and from the device's address with another port.
// Every forged answer says "success"; its connection ID and EEPROM bytes are its own.
class Forger {
public:
    explicit Forger(std::uint16_t devicePort) {
        m_sockets[0] = boundUdp(htonl(0x7F000002), devicePort);
        m_sockets[1] = boundUdp(htonl(kLoopback), 0);
    }
    ~Forger() {
        for (int s : m_sockets)
            ::close(s);
    }
    Forger(const Forger&) = delete;
    Forger& operator=(const Forger&) = delete;

    bool ok() const { return m_sockets[0] >= 0 && m_sockets[1] >= 0; }
    std::uint16_t otherPort() const { return portOf(m_sockets[1]); }

    // For the responder's thread. Pinned to one processor, so that its forged datagrams and
    // the device's answers sent after them reach NetCmd's socket in that order.
    void answerFirst(const Bytes& request, const sockaddr_in& to) {
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(static_cast<unsigned>(std::max(::sched_getcpu(), 0)), &one);
        ::sched_setaffinity(0, sizeof one, &one);
        const Bytes answer = forge(request);
        if (answer.empty())
            return;
        for (int s : m_sockets)
            ::sendto(s, answer.data(), answer.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    }

    static constexpr std::uint8_t kConnection[4] = {0xBA, 0xD0, 0xBA, 0xD0};
    static constexpr std::uint8_t kByte = 0xEE;

private:
    static int boundUdp(std::uint32_t addressNetOrder, std::uint16_t port) {
        const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = addressNetOrder;
        if (s >= 0 && ::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            ::close(s);
            return -1;
        }
        return s;
    }
    static std::uint16_t portOf(int s) {
        sockaddr_in address{};
        socklen_t length = sizeof address;
        ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
        return ntohs(address.sin_port);
    }
    static Bytes forge(const Bytes& request) {
        if (request.size() < 14)
            return {};
        const std::uint8_t group = request[8], opcode = request[9];
        if (group == 0 && (opcode == 0x05 || opcode == 0x07)) {
            Bytes a = header(15, 0, static_cast<std::uint8_t>(opcode + 1));
            if (opcode == 0x07)
                std::copy(std::begin(kConnection), std::end(kConnection), a.begin() + 4);
            return a;
        }
        if (group == 1 && opcode == 0x05) {
            const std::uint16_t count = netcmd::readBe16(request.data() + 12);
            Bytes a = header(14u + count, 1, 0x06);
            std::copy(request.begin() + 10, request.begin() + 14, a.begin() + 10);
            std::fill(a.begin() + 14, a.end(), kByte);
            return a;
        }
        if (group == 1 && (opcode == 0x07 || opcode == 0x25))
            return header(14, 1, static_cast<std::uint8_t>(opcode + 1));
        return {};
    }

    int m_sockets[2] = {-1, -1};
};

class ForgedAnswers : public NetCmdLoopback {
protected:
    void SetUp() override {
        // 127.0.0.2 must be ours alone; before any thread of the test starts.
        TARN_REQUIRE_PRIVATE_NETNS();
        NetCmdLoopback::SetUp();
    }

    // Starts the device, set up beforehand, and a forger that gets every request too and
    // answers it first once its sockets are bound.
    void startDeviceAndForger() {
        responder = std::make_unique<Responder>([this](const Bytes& r) { return dev.answer(r); },
                                                [this](const Bytes& r, const sockaddr_in& from) {
                                                    if (Forger* f = forgerReady.load())
                                                        f->answerFirst(r, from);
                                                });
        forger = std::make_unique<Forger>(responder->port());
        ASSERT_TRUE(forger->ok());
        forgerReady = forger.get();
        netCmd = makeNetCmd(*responder);
        node = loopbackNode();
    }

    std::string ignoredLine(const char* address, std::uint16_t port) {
        return "\n ignored answer from " + std::string(address) + ":" + std::to_string(port);
    }

    ScriptedDevice dev;
    std::unique_ptr<Forger> forger;
    std::atomic<Forger*> forgerReady{nullptr};
    std::unique_ptr<Responder> responder;
    std::unique_ptr<NetCmd> netCmd;
    _KT550Node node;
};

TEST_F(ForgedAnswers, StrangersCannotAnswerForASilentDevice) {
    dev.silent = true;
    ASSERT_NO_FATAL_FAILURE(startDeviceAndForger());
    std::uint8_t data[32] = {};

    struct Step {
        const char* name;
        std::function<int()> run;
        const char* failure;
    };
    const Step steps[] = {
        {"login start", [&] { return netCmd->NcmdLogin(node, "admin", "secret"); },
         "NetCmd Login Fail:Didn't Receive Ack!"},
        {"eeprom read",
         [&] {
             std::copy(std::begin(ScriptedDevice::kConnection), std::end(ScriptedDevice::kConnection),
                       node.connectionId);
             return netCmd->NcmdEEPRomRead(node, 0, data, sizeof data);
         },
         "NetCmd Read EEPROM Fail:Never Receive Ack!"},
        {"eeprom write", [&] { return netCmd->NcmdEEPRomWrite(node, 0, data, sizeof data); },
         "NetCmd Write EEPROM Fail:Never Receive Ack!"},
        {"write done", [&] { return netCmd->NcmdWriteDone(node); }, ""},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.name);
        clearTrace();
        EXPECT_EQ(step.run(), -1);
        const std::string t = trace();
        // Both forged answers arrived within the polls and were turned away.
        EXPECT_NE(t.find(ignoredLine("127.0.0.2", responder->port())), std::string::npos) << t;
        EXPECT_NE(t.find(ignoredLine("127.0.0.1", forger->otherPort())), std::string::npos) << t;
        EXPECT_NE(t.find(step.failure), std::string::npos) << t;
    }
    EXPECT_TRUE(std::all_of(std::begin(data), std::end(data), [](std::uint8_t b) { return b == 0; }));
    EXPECT_EQ(responder->requestCount(), 4u) << "no credentials after an unanswered login start";
}

TEST_F(ForgedAnswers, OnlyTheDevicesOwnAnswerCounts) {
    ASSERT_NO_FATAL_FAILURE(startDeviceAndForger());
    // The device refuses the password; the forger, answering first, accepts it.
    EXPECT_EQ(netCmd->NcmdLogin(node, "admin", "wrong"), -1);
    EXPECT_FALSE(node.loggedIn());
    ASSERT_EQ(netCmd->NcmdLogin(node, "admin", "secret"), 1);
    EXPECT_EQ(0, std::memcmp(node.connectionId, ScriptedDevice::kConnection, 4)) << "the forger's ID was taken";

    std::array<std::uint8_t, 64> data{};
    ASSERT_EQ(netCmd->NcmdEEPRomRead(node, 100, data.data(), 64), 1);
    const EepromImage image = dev.image();
    EXPECT_TRUE(std::equal(data.begin(), data.end(), image.begin() + 100)) << "the forged block was taken";

    dev.failWrites = 1;
    clearTrace();
    EXPECT_EQ(netCmd->NcmdEEPRomWrite(node, 0, data.data(), 16), -1) << "the device refused the write";
    EXPECT_NE(trace().find("NetCmd Write EEPROM Fail:Ack Fail!"), std::string::npos);
    EXPECT_NE(trace().find(ignoredLine("127.0.0.2", responder->port())), std::string::npos);
}

class ImageTransfer : public NetCmdLoopback {
protected:
    ScriptedDevice dev;
    Responder responder{[this](const Bytes& r) { return dev.answer(r); }};
    std::unique_ptr<NetCmd> netCmd = makeNetCmd(responder);
    DeviceList devices;
    EepromImage image{};
    DeviceAccess access{*netCmd, devices, image};

    void SetUp() override {
        NetCmdLoopback::SetUp();
        addLoopbackDevice(devices);
    }
};

TEST_F(ImageTransfer, FullImageRoundTripInTwoBlocks) {
    ASSERT_EQ(access.login("127.0.0.1", "admin", "secret"), 1);
    ASSERT_EQ(access.readImage("127.0.0.1", 1), 0);
    EXPECT_EQ(image, dev.image());

    for (std::size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<std::uint8_t>(0xFF - i % 251);
    ASSERT_EQ(access.writeImage("127.0.0.1", 1), 0);
    ASSERT_EQ(access.writeDone("127.0.0.1"), 1);
    EXPECT_EQ(dev.image(), image);

    // login start + credentials, two reads, two writes, write complete
    const auto requests = responder.requests();
    ASSERT_EQ(requests.size(), 7u);
    const std::pair<std::uint16_t, std::size_t> blocks[] = {{0, 2}, {1024, 3}};
    for (const auto& [start, index] : blocks) {
        EXPECT_EQ(netcmd::readBe16(requests[index].data() + 10), start);
        EXPECT_EQ(netcmd::readBe16(requests[index].data() + 12), 1024);
        EXPECT_EQ(netcmd::readBe16(requests[index + 2].data() + 10), start);
        EXPECT_EQ(requests[index + 2].size(), 14u + 1024);
    }
    EXPECT_EQ(requests[6][9], 0x25);
    EXPECT_EQ(requests[6][10], 0xAA);
}

TEST_F(ImageTransfer, RefusedWriteIsTriedOnceMore) {
    ASSERT_EQ(access.login("127.0.0.1", "admin", "secret"), 1);
    dev.failWrites = 1;
    EXPECT_EQ(access.writeImage("127.0.0.1", 1), 0) << "the retry succeeds";
    EXPECT_EQ(countOf(trace(), "NetCmd Write EEPROM Fail:Ack Fail!"), 1u);

    clearTrace();
    dev.failWrites = 2;
    EXPECT_EQ(access.writeImage("127.0.0.1", 1), -1) << "both tries of block 0 refused";
    EXPECT_EQ(countOf(trace(), "NetCmd Write EEPROM Fail:Ack Fail!"), 2u);
}

TEST_F(ImageTransfer, ReadWithoutLoginFailsAtOnceWithoutTraffic) {
    EXPECT_EQ(access.readImage("127.0.0.1", 1), -1);
    EXPECT_EQ(countOf(trace(), "NetCmd Read EEPROM Fail:Invalid ConnectionId!"), 2u);
    EXPECT_EQ(access.writeImage("127.0.0.1", 1), -1);
    EXPECT_EQ(countOf(trace(), "NetCmd Write EEPROM Fail:Invalid ConnectionId!"), 2u);
    EXPECT_EQ(responder.requestCount(), 0u);
}

TEST_F(ImageTransfer, UnknownDeviceIsAFailureNotAnError) {
    std::uint8_t block[8] = {};
    for (const char* ip : {"127.0.0.2", "", "127.0.0", "not an address", "127.0.0.1.5", "300.0.0.1"}) {
        SCOPED_TRACE(ip);
        EXPECT_EQ(access.login(ip, "admin", "secret"), -1);
        EXPECT_EQ(access.readEEPROM(ip, 0, sizeof block, block), -1);
        EXPECT_EQ(access.writeEEPROM(ip, 0, sizeof block, block), -1);
        EXPECT_EQ(access.writeDone(ip), -1);
        EXPECT_EQ(access.readImage(ip, 1), -1);
        EXPECT_EQ(access.writeImage(ip, 1), -1);
    }
    EXPECT_EQ(access.login(nullptr, "admin", "secret"), -1);
    EXPECT_EQ(responder.requestCount(), 0u);
}

TEST_F(NetCmdLoopback, SearchJobBuildsTheDeviceListAndFallsBackToRaw) {
    Responder responder([](const Bytes& request) -> std::vector<Bytes> {
        if (request.size() != 12)
            return {};
        DeviceDescription d = device(7, "udp");
        d.options = {2, 1, 2, 0x0F, 0xA1, 5, 2, 0x0F, 0xA2};
        return {searchAnswer(d)};
    });
    auto netCmd = makeNetCmd(responder);
    DeviceList devices;
    SearchProgress progress;
    int rawCalls = 0;
    const RawDiscoverFn raw = [&] {
        ++rawCalls;
        NodeList nodes;
        nodes.push_back(std::make_unique<_KT550Node>());
        std::strcpy(nodes.back()->deviceName, "raw");
        return nodes;
    };
    EXPECT_EQ(runSearchJob(*netCmd, devices, raw, &progress), 1u);
    EXPECT_EQ(rawCalls, 0) << "the raw discovery runs only when NetCmd found nothing";
    EXPECT_TRUE(progress.finished());
    EXPECT_FALSE(progress.rawSearch());
    ASSERT_EQ(progress.udpAnswers().size(), 1u);
    std::uint8_t value[255];
    EXPECT_EQ(devices.findOption("10.77.1.7", 5, value), 2);
    EXPECT_EQ(netcmd::readBe16(value), 4002);
    EXPECT_EQ(devices.findOption("10.77.1.7", 3, value), 0);

    // Nothing answers now: the raw discovery's devices replace the list.
    auto silent = makeNetCmd(responder, {});
    EXPECT_EQ(runSearchJob(*silent, devices, raw, &progress), 1u);
    EXPECT_EQ(rawCalls, 1);
    EXPECT_TRUE(progress.rawSearch());
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_STREQ(devices.at(0)->node->deviceName, "raw");
    ASSERT_EQ(devices.at(0)->optionList, Bytes{0}) << "no options: count 0";

    EXPECT_EQ(runSearchJob(*silent, devices, {}, &progress), 0u);
    EXPECT_EQ(devices.size(), 0u);
}

} // namespace
