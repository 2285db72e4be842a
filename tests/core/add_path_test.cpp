// The add checks in their order with their texts, the record they hand on, and the COM
// number proposals with the up-down steps.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/add_path.h"

namespace {

using core::AddRequest;
using core::ExistingMapping;
using Numbers = std::deque<std::int32_t>;

constexpr const char* kInvalidCom = "Please DON'T give an invalid comport number.\n";
constexpr const char* kExistingCom = "Please DON'T create the existing comport.\n";
constexpr const char* kBadPorts = "Please give valid Port Number(s).\n";
constexpr const char* kBadIp = "Please give a valid IP Address.\n";
constexpr const char* kSameIp = "This IP has already been connected with a device.\n";
constexpr const char* kServerPort = "This port number is in use by another server.\n";

enum class Role { Server, Client, Udp };

AddRequest request(const char* com, Role role, const char* ip, const char* local, const char* remote) {
    AddRequest r;
    r.comText = com;
    r.ipText = ip;
    r.localPortText = local;
    r.remotePortText = remote;
    r.isTcp = role != Role::Udp;
    r.isServer = role == Role::Server;
    return r;
}

// System ports 1 and 2; a TCP server on COM5 at 4001 and a client on COM6 to 10.0.0.6.
const Numbers kSystem = {1, 2};
const std::vector<ExistingMapping> kExisting = {
    {5, kModeTcpServer, "0.0.0.0", 4001},
    {6, kModeTcpClient, "10.0.0.6", 0},
};

TEST(AddPathTest, ChecksGiveTheirLinesInOrder) {
    struct Case {
        const char* name;
        AddRequest request;
        std::string message;
        bool comFailed;
    };
    const Case cases[] = {
        {"empty COM alone, even with empty ports", request("", Role::Udp, "", "", ""), kInvalidCom, true},
        {"COM 0", request("0", Role::Client, "10.0.0.9", "", "4001"), kInvalidCom, true},
        {"negative COM", request("-3", Role::Client, "10.0.0.9", "", "4001"), kInvalidCom, true},
        {"system port", request("2", Role::Client, "10.0.0.9", "", "4001"), kExistingCom, true},
        {"mapped port", request(" 5", Role::Client, "10.0.0.9", "", "4001"), kExistingCom, true},
        {"server 49151 passes", request("7", Role::Server, "", "49151", ""), "", false},
        {"server 49152", request("7", Role::Server, "", "49152", ""), kBadPorts, false},
        {"server 0", request("7", Role::Server, "", "0", ""), kBadPorts, false},
        {"server needs no remote port", request("7", Role::Server, "", "4002", "x"), "", false},
        {"client needs its remote port", request("7", Role::Client, "10.0.0.9", "4002", ""), kBadPorts, false},
        {"UDP needs both ports", request("7", Role::Udp, "10.0.0.9", "4002", ""), kBadPorts, false},
        {"client with empty IP", request("7", Role::Client, "", "", "4001"), kBadIp, false},
        {"UDP with empty IP", request("7", Role::Udp, "", "4002", "4001"), kBadIp, false},
        {"shortened IP", request("7", Role::Udp, "10.1", "4002", "4001"), kBadIp, false},
        {"blanks in the IP are dropped", request("7", Role::Client, " 10.0.0.9 ", "", "4001"), "", false},
        {"same IP", request("7", Role::Client, "10.0.0.6", "", "4001"), kSameIp, false},
        {"same IP once the blanks are gone", request("7", Role::Udp, "10.0. 0.6", "1", "2"), kSameIp, false},
        {"second server on a port", request("7", Role::Server, "", "4001", ""), kServerPort, false},
        {"UDP on a server's port", request("7", Role::Udp, "10.0.0.9", "4001", "4001"), "", false},
        {"every later check at once", request("7", Role::Client, "10.0.0.6", "", "0"), std::string(kBadPorts) + kSameIp,
         false},
        {"bad ports and a bad IP", request("7", Role::Udp, "x", "0", "0"), std::string(kBadPorts) + kBadIp, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const core::AddCheck check = core::checkAdd(c.request, kSystem, kExisting);
        EXPECT_EQ(check ? "" : check.error().message, c.message);
        EXPECT_EQ(!check && check.error().comFailed, c.comFailed);
    }
}

TEST(AddPathTest, NumberInBothListsIsRefusedTwice) {
    const auto check = core::checkAdd(request("5", Role::Server, "", "0", ""), {1, 5}, kExisting);
    ASSERT_FALSE(check);
    EXPECT_EQ(check.error().message, std::string(kExistingCom) + kExistingCom);
    EXPECT_TRUE(check.error().comFailed) << "the port line never joins the COM lines";
}

TEST(AddPathTest, RecordHoldsOnlyWhatItsModeUses) {
    struct Case {
        AddRequest request;
        std::int32_t mode;
        const char* ip;
        std::uint16_t local, remote;
    };
    const Case cases[] = {
        {request("7", Role::Server, "10.0.0.9", "4 002", "5000"), kModeTcpServer, "0.0.0.0", 4002, 0},
        {request("8", Role::Client, "10.0.0.9", "4002", " 5000"), kModeTcpClient, "10.0.0.9", 0, 5000},
        {request("9", Role::Udp, "10.0.0.9", "4002", "5000x"), kModeUdp, "10.0.0.9", 4002, 5000},
    };
    for (const Case& c : cases) {
        const core::AddCheck check = core::checkAdd(c.request, kSystem, kExisting);
        ASSERT_TRUE(check) << check.error().message;
        const tarnDesc& desc = check.value();
        EXPECT_EQ(desc.comNum, std::atoi(c.request.comText.c_str()));
        EXPECT_EQ(desc.mode, c.mode);
        EXPECT_STREQ(desc.ipAddress, c.ip);
        EXPECT_EQ(desc.localPort, c.local);
        EXPECT_EQ(desc.remotePort, c.remote);
    }
}

TEST(AddPathTest, ProposalsAndUpDownSteps) {
    EXPECT_EQ(core::proposeComNumber({1, 2}, {5}), 3);
    EXPECT_EQ(core::proposeComNumber({3, 4}, {}), 5);
    EXPECT_EQ(core::proposeComNumber({}, {}), 1);
    EXPECT_EQ(core::proposeComNumber({}, {7, 8}), 9);

    const Numbers system = {1, 2, 3};
    const std::int32_t proposed = core::proposeComNumber(system, {});
    EXPECT_EQ(proposed, 4);
    const std::int32_t up = core::comNumberUp(proposed, system, {});
    EXPECT_EQ(up, 5);
    EXPECT_EQ(core::comNumberDown(up, system, {}), 4);

    EXPECT_EQ(core::comNumberUp(3, {4, 5}, {6}), 7) << "each list once, in its order";
    EXPECT_EQ(core::comNumberUp(3, {5, 4}, {}), 5) << "no second look at an entry passed over";
    EXPECT_EQ(core::comNumberDown(6, {1, 2}, {4, 5}), 3);
    EXPECT_EQ(core::comNumberDown(4, {1, 2, 3}, {}), 4) << "all below taken: unchanged";
    EXPECT_EQ(core::comNumberDown(1, {}, {}), 1);
    EXPECT_EQ(core::comNumberDown(0, {}, {}), 0);
}

} // namespace
