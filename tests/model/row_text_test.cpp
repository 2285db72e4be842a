// The mapping-list row of each mode, with the port closed, open, and connected, and the
// flow-control text of the serial handflow words.

#include <gtest/gtest.h>

#include <string>

#include "core/mapping_assembly.h"
#include "mapping/thread_set.h"
#include "model/mapping_lists.h"
#include "model/model_test_env.h"

namespace {

using modeltest::Application;
using modeltest::waitUntil;

std::vector<std::string> cells(TARNINFO& tarnInfo) {
    tarnInfo.refreshRowText();
    return {std::begin(tarnInfo.rowText), std::end(tarnInfo.rowText)};
}

class RowTextTest : public modeltest::ModelTest {
protected:
    TARNINFO* add(int comNumber, int mode, const char* ip, std::uint16_t local, std::uint16_t remote) {
        TARNINFO* tarnInfo = m_lists.addMapping(comNumber);
        if (!tarnInfo)
            return nullptr;
        setUpMapping(m_lists, static_cast<std::size_t>(tarnInfo->index),
                     testsupport::makeDesc(comNumber, mode, ip, local, remote));
        return tarnInfo;
    }

    MappingLists m_lists{&makeMappingThreads};
};

TEST_F(RowTextTest, ClosedPortsShowTheirConfigurationOnly) {
    TARNINFO* server = add(11, kModeTcpServer, "0.0.0.0", 4100, 0);
    TARNINFO* client = add(12, kModeTcpClient, "10.0.0.5", 0, 5000);
    TARNINFO* udp = add(13, kModeUdp, "10.0.0.6", 4001, 4002);
    ASSERT_TRUE(server && client && udp);

    using Row = std::vector<std::string>;
    const Row serverRow = {"1",   "11",  "TCP", "Server", "N/A", "N/A",      "4100", "N/A", "Close",
                           "N/A", "N/A", "N/A", "N/A",    "N/A", "Disabled", "",     ""};
    const Row clientRow = {"2",   "12",  "TCP", "Client", "10.0.0.5", "5000", "N/A", "N/A", "Close",
                           "N/A", "N/A", "N/A", "N/A",    "N/A",      "N/A",  "",    ""};
    const Row udpRow = {"3",   "13",  "UDP", "N/A", "10.0.0.6", "4002",     "4001", "N/A", "Close",
                        "N/A", "N/A", "N/A", "N/A", "N/A",      "Disabled", "",     ""};
    EXPECT_EQ(cells(*server), serverRow);
    EXPECT_EQ(cells(*client), clientRow);
    EXPECT_EQ(cells(*udp), udpRow);

    // Cell 0 follows the position after a removal.
    m_lists.removeAt(0);
    EXPECT_EQ(cells(*client)[0], "1");
    EXPECT_EQ(cells(*udp)[0], "2");
}

TEST_F(RowTextTest, OpenServerListensThenShowsItsConnection) {
    TARN_REQUIRE_PRIVATE_NETNS();
    const std::uint16_t port = modeltest::unusedLoopbackPort();
    TARNINFO* server = add(21, kModeTcpServer, "0.0.0.0", port, 0);
    ASSERT_NE(server, nullptr);
    Application application(linkOf(21), B19200, CSTOPB | CRTSCTS);
    ASSERT_TRUE(application.ok());
    ASSERT_TRUE(waitUntil([&] { return server->isOpen(); }));

    auto row = cells(*server);
    EXPECT_EQ(row[7], "Listening");
    EXPECT_EQ(row[8], "Open");
    EXPECT_EQ(row[9], "19200");
    EXPECT_EQ(row[10], "8");
    EXPECT_EQ(row[11], "None");
    EXPECT_EQ(row[12], "2");
    EXPECT_EQ(row[13], "Hardware");
    EXPECT_EQ(row[14], "Disabled");

    // A peer on loopback: the builder accepts it and the row turns "Connected".
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = ::htons(port);
    address.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
    int peer = -1;
    ASSERT_TRUE(waitUntil([&] {
        // The builder listens only from its first pass with the port open.
        peer = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (::connect(peer, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
            return true;
        ::close(peer);
        return false;
    }));
    EXPECT_TRUE(waitUntil([&] { return cells(*server)[7] == "Connected"; }));
    ::close(peer);
}

TEST_F(RowTextTest, OpenClientWithoutServerIsDisconnected) {
    TARN_REQUIRE_PRIVATE_NETNS();
    const std::uint16_t port = modeltest::unusedLoopbackPort();
    TARNINFO* client = add(31, kModeTcpClient, "127.0.0.1", 0, port);
    ASSERT_NE(client, nullptr);
    Application application(linkOf(31), B115200, 0, IXON | IXOFF);
    ASSERT_TRUE(application.ok());
    ASSERT_TRUE(waitUntil([&] { return client->isOpen(); }));

    auto row = cells(*client);
    EXPECT_EQ(row[4], "127.0.0.1");
    EXPECT_EQ(row[5], std::to_string(port));
    EXPECT_EQ(row[7], "Disconnected");
    EXPECT_EQ(row[8], "Open");
    EXPECT_EQ(row[9], "115200");
    EXPECT_EQ(row[12], "1");
    EXPECT_EQ(row[13], "Xon/Xoff");
    EXPECT_EQ(row[14], "Disconnected") << "control enabled, port open, no connection";

    client->control->enabled = 0;
    EXPECT_EQ(cells(*client)[14], "Disabled");
}

// An agreed RFC 2217 mapping says so in its control port column; a plain client ignores the flag.
TEST_F(RowTextTest, AnAgreedRfc2217ClientSaysSoInItsControlPortColumn) {
    tarnDesc desc = testsupport::makeDesc(51, kModeTcpClient, "10.0.0.5", 0, 5000);
    ASSERT_TRUE(setRfc2217(desc, true));
    TARNINFO* rfc2217 = assembleMapping(m_lists, desc);
    TARNINFO* client = add(52, kModeTcpClient, "10.0.0.6", 0, 5000);
    ASSERT_TRUE(rfc2217 && client);
    EXPECT_EQ(cells(*rfc2217)[14], "N/A");
    for (TARNINFO* tarnInfo : {rfc2217, client})
        tarnInfo->net->comPortAgreed.store(1);
    EXPECT_EQ(cells(*rfc2217)[14], "RFC 2217");
    EXPECT_EQ(cells(*client)[14], "N/A");
}

TEST_F(RowTextTest, OpenUdpHasNoConnectionState) {
    TARNINFO* udp = add(41, kModeUdp, "127.0.0.1", 0, 9);
    ASSERT_NE(udp, nullptr);
    Application application(linkOf(41));
    ASSERT_TRUE(application.ok());
    ASSERT_TRUE(waitUntil([&] { return udp->isOpen(); }));
    auto row = cells(*udp);
    EXPECT_EQ(row[3], "N/A");
    EXPECT_EQ(row[7], "N/A");
    EXPECT_EQ(row[8], "Open");
    EXPECT_EQ(row[9], "9600");
    EXPECT_EQ(row[13], "None");
    EXPECT_EQ(row[14], "Disabled");
}

TEST(FlowControlText, DecodesTheHandflowWords) {
    const struct {
        std::uint32_t handShake, replace;
        const char* text;
    } cases[] = {
        {0x01, 0x43, "Xon/Xoff"}, {0x01, 0xC3, "None"}, // RTS handshake bit set as well
        {0x05, 0x43, "Xon/Xoff"},                       // bits outside the hardware ones do not matter
        {0x03, 0x43, "None"},                           // DTR handshake is a hardware bit
        {0x09, 0x43, "None"},                           // CTS handshake is one of the hardware bits
        {0x01, 0x41, "None"},                           // not every Xon/Xoff bit
        {0x1A, 0x80, "Hardware"}, {0x1B, 0x80, "Hardware"}, {0x1A, 0x81, "None"}, // Xon/Xoff bit in the replace word
        {0x1A, 0x82, "None"},     {0x12, 0x80, "None"},                           // DSR handshake missing
        {0x1A, 0x40, "None"},                                                     // RTS flow control missing
        {0x00, 0x00, "None"},
    };
    for (const auto& c : cases)
        EXPECT_STREQ(flowControlText(c.handShake, c.replace), c.text) << std::hex << c.handShake << "/" << c.replace;
}

} // namespace
