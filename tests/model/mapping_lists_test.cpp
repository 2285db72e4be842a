// The three parallel lists: creation, lookups, removal with renumbering, program end; and the
// per-mapping operations that read the port and the network record.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "core/mapping_assembly.h"
#include "mapping/thread_set.h"
#include "model/mapping_lists.h"
#include "model/model_test_env.h"

namespace {

using modeltest::Application;
using modeltest::waitUntil;

class MappingListsTest : public modeltest::ModelTest {
protected:
    // A TCP client mapping towards `ip`; its port stays closed, so it never connects.
    TARNINFO* addClient(MappingLists& lists, int comNumber, const char* ip) {
        TARNINFO* tarnInfo = lists.addMapping(comNumber);
        if (!tarnInfo)
            return nullptr;
        setUpMapping(lists, static_cast<std::size_t>(tarnInfo->index),
                     testsupport::makeDesc(comNumber, kModeTcpClient, ip, 0, 5000));
        return tarnInfo;
    }

    void expectParallel(const MappingLists& lists) {
        ASSERT_EQ(lists.mappings.size(), lists.threadSets.size());
        ASSERT_EQ(lists.mappings.size(), lists.comNumbers.size());
        for (std::size_t i = 0; i < lists.mappings.size(); ++i) {
            EXPECT_EQ(lists.mappings[i]->index, static_cast<std::int32_t>(i));
            EXPECT_EQ(lists.comNumbers[i], lists.mappings[i]->comNumber);
        }
    }
};

TEST_F(MappingListsTest, NewMappingEntersAllThreeListsWithItsPortCreated) {
    MappingLists lists{&makeMappingThreads};
    TARNINFO* tarnInfo = lists.addMapping(21);
    ASSERT_NE(tarnInfo, nullptr);
    expectParallel(lists);
    EXPECT_EQ(tarnInfo->comNumber, 21);
    EXPECT_EQ(tarnInfo->active.load(), 1);
    EXPECT_EQ(tarnInfo->lastOpen.load(), 0);
    EXPECT_EQ(tarnInfo->desc->mode, -1) << "desc keeps its defaults until set-up";
    EXPECT_TRUE(std::filesystem::is_symlink(linkOf(21)));
    TARNThread& threads = *lists.threadSets[0];
    for (auto* thread : {&threads.tarnTXThread, &threads.tarnRXThread, &threads.netTXThread, &threads.netRXThread,
                         &threads.ConnectionBuilder, &threads.mek_ncp_RxThread, &threads.mek_ncp_connBuilder,
                         &threads.mek_ncp_heartBeat, &threads.mek_ncp_signalSet})
        EXPECT_NE(thread->get(), nullptr);
    EXPECT_NE(threads.lock.get(), nullptr);
}

TEST_F(MappingListsTest, PortThatCannotBeCreatedLeavesNoTrace) {
    std::filesystem::create_directories(portDir());
    std::ofstream(linkOf(9)) << "someone else's file";
    MappingLists lists{&makeMappingThreads};
    EXPECT_EQ(lists.addMapping(9), nullptr);
    EXPECT_TRUE(lists.empty());
    EXPECT_TRUE(lists.threadSets.empty());
    EXPECT_TRUE(lists.comNumbers.empty());
    EXPECT_EQ(lists.findByCom(9), -1);
    EXPECT_TRUE(std::filesystem::is_regular_file(linkOf(9))) << "a foreign file is never removed";
}

TEST_F(MappingListsTest, FindByComAndByIp) {
    MappingLists lists{&makeMappingThreads};
    EXPECT_EQ(lists.findByCom(1), -1);
    EXPECT_EQ(lists.findByIp("10.0.0.5"), -1);
    ASSERT_NE(addClient(lists, 31, "10.0.0.5"), nullptr);
    ASSERT_NE(addClient(lists, 32, "10.0.0.50"), nullptr);
    ASSERT_NE(addClient(lists, 33, "10.0.0.5"), nullptr);

    EXPECT_EQ(lists.findByCom(31), 0);
    EXPECT_EQ(lists.findByCom(33), 2);
    EXPECT_EQ(lists.findByCom(34), -1);
    EXPECT_EQ(lists.findByIp("10.0.0.5"), 0) << "first match wins";
    EXPECT_EQ(lists.findByIp("10.0.0.50"), 1);
    EXPECT_EQ(lists.findByIp("10.0.0."), -1) << "no prefix match";
    EXPECT_EQ(lists.findByIp("10.0.0.5 "), -1);
    EXPECT_EQ(lists.findByIp(""), -1);
}

TEST_F(MappingListsTest, RemovingTheFirstOfThreeRenumbersTheRest) {
    MappingLists lists{&makeMappingThreads};
    for (int com : {41, 42, 43})
        ASSERT_NE(addClient(lists, com, "10.0.0.5"), nullptr);
    TARNThread* second = lists.threadSets[1].get();
    TARNThread* third = lists.threadSets[2].get();

    int reported = 0;
    lists.removeAt(0, [&](const TARNINFO& removed) {
        reported = removed.comNumber;
        EXPECT_TRUE(removed.port) << "reported before it is destroyed";
        EXPECT_EQ(lists.findByCom(41), -1) << "already out of the lists";
    });
    EXPECT_EQ(reported, 41);
    expectParallel(lists);
    ASSERT_EQ(lists.size(), 2u);
    EXPECT_EQ(lists.mappings[0]->comNumber, 42);
    EXPECT_EQ(lists.mappings[1]->comNumber, 43);
    EXPECT_EQ(lists.threadSets[0].get(), second);
    EXPECT_EQ(lists.threadSets[1].get(), third);
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(linkOf(41))));
    EXPECT_TRUE(std::filesystem::is_symlink(linkOf(42)));

    // The renumbered positions stay valid for the next removal.
    lists.removeAt(1);
    expectParallel(lists);
    ASSERT_EQ(lists.size(), 1u);
    EXPECT_EQ(lists.mappings[0]->comNumber, 42);
}

TEST_F(MappingListsTest, PositionsOutsideTheListsRaiseTheListError) {
    MappingLists lists{&makeMappingThreads};
    ASSERT_NE(addClient(lists, 51, "10.0.0.5"), nullptr);
    for (const auto& call : std::vector<std::function<void()>>{
             [&] { lists.removeAt(1); },
             [&] { TARNINFO::stopThreads(lists.threadSets, 1); },
             [&] { lists.at(5); },
         }) {
        try {
            call();
            ADD_FAILURE() << "no error raised";
        } catch (const std::out_of_range& error) {
            EXPECT_STREQ(error.what(), "invalid deque<T> subscript");
        }
    }
    expectParallel(lists);
    EXPECT_EQ(lists.size(), 1u);
}

// Destroying from the front with the stored positions left as they were would look up the
// second mapping's threads at a position that no longer exists; every mapping must go, each
// with its own threads.
TEST_F(MappingListsTest, ProgramEndDestroysEveryMappingFrontToBack) {
    MappingLists lists{&makeMappingThreads};
    for (int com : {61, 62, 63, 64})
        ASSERT_NE(addClient(lists, com, "10.0.0.5"), nullptr);
    lists.stopAll();
    for (const auto& threads : lists.threadSets)
        EXPECT_TRUE(threads->tarnTXThread->terminated());
    lists.destroyAll();
    EXPECT_TRUE(lists.empty());
    EXPECT_TRUE(lists.threadSets.empty());
    EXPECT_TRUE(lists.comNumbers.empty());
    for (int com : {61, 62, 63, 64})
        EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(linkOf(com)))) << com;
}

TEST_F(MappingListsTest, ListsLeftAtTheirOwnerEndTakeTheirPortsAlong) {
    {
        MappingLists lists{&makeMappingThreads};
        ASSERT_NE(addClient(lists, 65, "10.0.0.5"), nullptr);
        ASSERT_NE(addClient(lists, 66, "10.0.0.5"), nullptr);
    }
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(linkOf(65))));
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(linkOf(66))));
}

TEST_F(MappingListsTest, DestroyReleasesEverythingAndClearsActive) {
    ThreadSetList threadSets;
    TARNINFO tarnInfo;
    tarnInfo.comNumber = 71;
    ASSERT_TRUE(tarnInfo.createPort(71));
    tarnInfo.startThreads(threadSets, &makeMappingThreads);
    ASSERT_EQ(threadSets.size(), 1u);
    tarnInfo.destroy(threadSets);
    EXPECT_TRUE(threadSets.empty());
    EXPECT_EQ(tarnInfo.active.load(), 0);
    EXPECT_FALSE(tarnInfo.port);
    EXPECT_FALSE(tarnInfo.buffers);
    EXPECT_FALSE(tarnInfo.net);
    EXPECT_FALSE(tarnInfo.netToPort);
    EXPECT_FALSE(tarnInfo.portToNet);
    EXPECT_FALSE(tarnInfo.control);
    EXPECT_FALSE(tarnInfo.desc);
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(linkOf(71))));
}

TEST_F(MappingListsTest, IsConnectedFollowsTheRoleFlags) {
    TARNINFO tarnInfo; // no port: nothing runs, the flags are the whole story
    NETSTRUCT& net = *tarnInfo.net;
    const struct {
        int tcp, server, serverUp, clientUp, peerClosed;
        bool connected;
    } cases[] = {
        {1, 1, 1, 0, 0, true},  {1, 1, 0, 1, 0, false}, {1, 1, 1, 0, 1, false}, {1, 0, 0, 1, 0, true},
        {1, 0, 1, 0, 0, false}, {1, 0, 0, 1, 1, false}, {0, 1, 1, 1, 0, false}, {0, 0, 1, 1, 0, false},
    };
    for (const auto& c : cases) {
        net.isTcp = c.tcp;
        net.isServer = c.server;
        net.serverConnected = c.serverUp;
        net.clientConnected = c.clientUp;
        net.peerClosed = c.peerClosed;
        EXPECT_EQ(tarnInfo.isConnected(), c.connected) << "tcp " << c.tcp << " server " << c.server << " up "
                                                       << c.serverUp << "/" << c.clientUp << " closed " << c.peerClosed;
    }
}

TEST_F(MappingListsTest, SetUpByModeFillsAddressesDescAndControl) {
    MappingLists lists{&makeMappingThreads};
    const struct {
        int com, mode;
        const char* ip;
        std::uint16_t local, remote;
        // expected
        const char* descIp;
        std::uint16_t descLocal, descRemote;
        bool tcp, server, control;
    } cases[] = {
        {81, kModeTcpServer, "10.9.9.9", 4100, 77, "0.0.0.0", 4100, 0, true, true, false},
        {82, kModeTcpClient, "10.0.0.5", 88, 5000, "10.0.0.5", 0, 5000, true, false, true},
        {83, kModeUdp, "10.0.0.6", 4001, 4002, "10.0.0.6", 4001, 4002, false, false, false},
    };
    for (const auto& c : cases) {
        TARNINFO* tarnInfo = lists.addMapping(c.com);
        ASSERT_NE(tarnInfo, nullptr);
        ASSERT_TRUE(setUpMapping(lists, static_cast<std::size_t>(tarnInfo->index),
                                 testsupport::makeDesc(c.com, c.mode, c.ip, c.local, c.remote)));
        EXPECT_EQ(tarnInfo->isTcp(), c.tcp) << c.com;
        if (c.tcp) {
            EXPECT_EQ(tarnInfo->isServer(), c.server) << c.com;
        }
        EXPECT_EQ(tarnInfo->control->enabled.load(), c.control ? 1 : 0) << c.com;
        EXPECT_EQ(tarnInfo->desc->comNum, c.com);
        EXPECT_EQ(tarnInfo->desc->mode, c.mode);
        EXPECT_STREQ(tarnInfo->desc->ipAddress, c.descIp);
        EXPECT_EQ(tarnInfo->desc->localPort, c.descLocal);
        EXPECT_EQ(tarnInfo->desc->remotePort, c.descRemote);
        if (c.mode != kModeTcpClient) {
            EXPECT_EQ(tarnInfo->localPort(), c.local) << c.com;
        }
        if (c.mode != kModeTcpServer) {
            EXPECT_EQ(tarnInfo->remotePort(), c.remote) << c.com;
            EXPECT_EQ(tarnInfo->peerText(), c.ip);
        }
        char ip[kDescIpSize];
        tarnInfo->descIpText(ip, sizeof ip);
        EXPECT_STREQ(ip, c.descIp);
    }
    TARNINFO* spare = lists.addMapping(84);
    ASSERT_NE(spare, nullptr);
    tarnDesc unknown;
    unknown.comNum = 84;
    unknown.mode = 4;
    EXPECT_FALSE(setUpMapping(lists, static_cast<std::size_t>(spare->index), unknown));
    EXPECT_EQ(spare->desc->mode, -1);
}

TEST_F(MappingListsTest, ModemLinesAreSnapshotAndCompared) {
    MappingLists lists{&makeMappingThreads};
    TARNINFO* tarnInfo = lists.addMapping(91);
    ASSERT_NE(tarnInfo, nullptr);
    tarnInfo->snapshotModemLines();
    EXPECT_FALSE(tarnInfo->modemLinesChanged());
    {
        Application application(linkOf(91));
        ASSERT_TRUE(application.ok());
        ASSERT_TRUE(waitUntil([&] { return tarnInfo->isOpen(); }));
        // An open pseudo-terminal port shows RTS and DTR raised.
        EXPECT_TRUE(tarnInfo->modemLinesChanged());
        tarnInfo->snapshotModemLines();
        EXPECT_EQ(tarnInfo->lastRts, 1);
        EXPECT_EQ(tarnInfo->lastDtr, 1);
        EXPECT_FALSE(tarnInfo->modemLinesChanged());
        tarnInfo->pushRts();
        tarnInfo->pushDtr();
        EXPECT_EQ(tarnInfo->control->rts, 1);
        EXPECT_EQ(tarnInfo->control->dtr, 1);
    }
    ASSERT_TRUE(waitUntil([&] { return !tarnInfo->isOpen(); }));
    EXPECT_TRUE(tarnInfo->modemLinesChanged());
}

} // namespace
