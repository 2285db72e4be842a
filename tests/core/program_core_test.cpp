// The program core's commands, start-up, events, display snapshots and shut-down, with real
// virtual ports in private folders and a private network namespace.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "../integration/mapping_harness.h"
#include "bridge/portable_sock.h"
#include "core/worker.h"
#include "model/tarn_thread.h"
#include "support/core_probe.h"
#include "support/netns.h"

namespace {

using namespace mapping_test;

std::vector<std::uint8_t> recordsOf(const std::vector<tarnDesc>& records) {
    std::vector<std::uint8_t> bytes;
    for (const auto& desc : records) {
        const DescRecord record = encodeDesc(desc);
        bytes.insert(bytes.end(), record.begin(), record.end());
    }
    return bytes;
}

std::vector<std::string> logTexts(core::MessageLog& log) {
    std::vector<std::string> texts;
    for (const auto& row : log.rows())
        texts.push_back(row.text);
    return texts;
}

class ProgramCoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        TARN_REQUIRE_PRIVATE_NETNS();
        m_home = std::make_unique<TempHome>();
    }

    std::unique_ptr<CoreUnderTest> makeCore(bool startUp = false) { return std::make_unique<CoreUnderTest>(startUp); }

    std::unique_ptr<TempHome> m_home;
};

TEST_F(ProgramCoreTest, AddAndRemoveRewriteTheMappingFileAndLogEachChange) {
    auto core = makeCore();
    const tarnDesc server = makeDesc(51, kModeTcpServer, "0.0.0.0", 45051, 0);
    const tarnDesc client = makeDesc(52, kModeTcpClient, "127.0.0.1", 0, 45052);
    const tarnDesc udp = makeDesc(53, kModeUdp, "127.0.0.1", 45053, 45153);
    for (const auto& desc : {server, client, udp}) {
        const auto outcome = (**core).addMapping(desc);
        ASSERT_TRUE(outcome.ok()) << outcome.error();
    }
    EXPECT_EQ(readFileBytes(m_home->mappingFile()), recordsOf({server, client, udp}));

    const auto removed = (**core).removeMapping(51);
    ASSERT_TRUE(removed.ok()) << removed.error();
    // The records behind the removed one move up; the mappings are renumbered.
    EXPECT_EQ(readFileBytes(m_home->mappingFile()), recordsOf({client, udp}));
    ASSERT_EQ((**core).mappingCount(), 2u);
    EXPECT_EQ(core::ProgramCoreProbe::lists(**core).at(0).comNumber, 52);
    EXPECT_EQ(core::ProgramCoreProbe::lists(**core).at(0).index, 0);
    EXPECT_EQ(core::ProgramCoreProbe::lists(**core).at(1).index, 1);
    EXPECT_EQ(logTexts((**core).mappingLog()), (std::vector<std::string>{"COM51 is created.", "COM52 is created.",
                                                                         "COM53 is created.", "COM51 is removed."}));
    struct stat st;
    EXPECT_NE(::lstat(m_home->portLink(51).c_str(), &st), 0) << "the removed mapping's port link stays";
}

TEST_F(ProgramCoreTest, RemoveAndExitAreRefusedWhileAnApplicationHoldsAPort) {
    auto core = makeCore();
    ASSERT_TRUE((**core).addMapping(makeDesc(54, kModeTcpServer, "0.0.0.0", 45054, 0)).ok());
    ASSERT_TRUE((**core).addMapping(makeDesc(55, kModeTcpServer, "0.0.0.0", 45055, 0)).ok());
    const auto fileBefore = readFileBytes(m_home->mappingFile());
    AppPort app;
    ASSERT_TRUE(app.open(m_home->portLink(55), 115200));
    ASSERT_TRUE(core->waitFor([&] { return core->mapping(55)->isOpen(); }));

    const auto removeOpen = (**core).removeMapping(55);
    EXPECT_FALSE(removeOpen.ok());
    EXPECT_EQ(removeOpen.error(), "COM55 is still open.\nPlease close it first.");
    const auto exitOpen = (**core).requestExit();
    EXPECT_FALSE(exitOpen.ok());
    EXPECT_EQ(exitOpen.error(), std::string(core::kCloseOpenPortsFirst) + "\nStill open: COM55");
    EXPECT_FALSE((**core).exiting());
    EXPECT_EQ((**core).mappingCount(), 2u);
    EXPECT_EQ(readFileBytes(m_home->mappingFile()), fileBefore);

    const auto removeUnknown = (**core).removeMapping(99);
    EXPECT_FALSE(removeUnknown.ok());
    EXPECT_EQ(removeUnknown.error(), "COM99 is not mapped.");
    EXPECT_EQ((**core).mappingCount(), 2u);

    // Closed, the exit goes ahead: the ports go, the file is not written at exit.
    app.close();
    ASSERT_TRUE(core->waitFor([&] { return !core->mapping(55)->isOpen(); }));
    EXPECT_TRUE((**core).requestExit().ok());
    EXPECT_TRUE((**core).exiting());
    EXPECT_EQ((**core).mappingCount(), 0u);
    struct stat st;
    EXPECT_NE(::lstat(m_home->portLink(54).c_str(), &st), 0);
    EXPECT_NE(::lstat(m_home->portLink(55).c_str(), &st), 0);
    EXPECT_EQ(readFileBytes(m_home->mappingFile()), fileBefore);
    EXPECT_FALSE((**core).addMapping(makeDesc(56, kModeUdp, "127.0.0.1", 1, 2)).ok()) << "no command after the end";
}

TEST_F(ProgramCoreTest, AddRefusesWhatItCannotCreate) {
    auto core = makeCore();
    ASSERT_TRUE((**core).addMapping(makeDesc(57, kModeTcpServer, "0.0.0.0", 45057, 0)).ok());
    const auto before = readFileBytes(m_home->mappingFile());

    EXPECT_EQ((**core).addMapping(makeDesc(0, kModeTcpServer, "0.0.0.0", 1, 0)).error(),
              "Please DON'T give an invalid comport number.\n");
    EXPECT_EQ((**core).addMapping(makeDesc(57, kModeUdp, "127.0.0.1", 1, 2)).error(),
              "Please DON'T create the existing comport.\n");
    EXPECT_FALSE((**core).addMapping(makeDesc(58, 7, "127.0.0.1", 1, 2)).ok());

    // Someone else's file under the port's name: the port cannot be made, and nothing stays.
    ASSERT_TRUE(writeFileBytes(m_home->root() + "/run/tarn/COM59", {1, 2, 3}));
    const auto occupied = (**core).addMapping(makeDesc(59, kModeTcpServer, "0.0.0.0", 45059, 0));
    EXPECT_FALSE(occupied.ok());
    EXPECT_EQ(occupied.error(), "COM59 cannot be created.\nPlease check if COM59 is occupied.");
    EXPECT_EQ(core->countMappingLog("COM59 is unable to be created."), 1u);
    EXPECT_EQ((**core).mappingCount(), 1u);
    EXPECT_EQ(core::ProgramCoreProbe::lists(**core).comNumbers.size(), 1u);
    EXPECT_EQ(core::ProgramCoreProbe::lists(**core).threadSets.size(), 1u);
    EXPECT_EQ(readFileBytes(m_home->mappingFile()), before);
    EXPECT_EQ(readFileBytes(m_home->root() + "/run/tarn/COM59"), (std::vector<std::uint8_t>{1, 2, 3}));
}

core::AddRequest addRequest(const char* com, bool tcp, bool server, const char* ip, const char* local,
                            const char* remote) {
    core::AddRequest request;
    request.comText = com;
    request.ipText = ip;
    request.localPortText = local;
    request.remotePortText = remote;
    request.isTcp = tcp;
    request.isServer = server;
    return request;
}

TEST_F(ProgramCoreTest, AddThroughTheChecksCreatesWhatTheDialogAskedFor) {
    auto core = makeCore();
    // A server's IP field and remote port are not its to keep; a client keeps no local port.
    const auto server = (**core).addMapping(addRequest("71", true, true, "127.0.0.9", "45071", "9"));
    ASSERT_TRUE(server.ok()) << server.error();
    const auto client = (**core).addMapping(addRequest(" 72", true, false, "127. 0.0.1", "7", "45072"));
    ASSERT_TRUE(client.ok()) << client.error();
    EXPECT_EQ(readFileBytes(m_home->mappingFile()), recordsOf({makeDesc(71, kModeTcpServer, "0.0.0.0", 45071, 0),
                                                               makeDesc(72, kModeTcpClient, "127.0.0.1", 0, 45072)}));
    EXPECT_EQ(core->countMappingLog("COM72 is created."), 1u);
    EXPECT_TRUE((**core).refreshTick()) << "the list is drawn afresh";
    const auto existing = (**core).existingMappings();
    ASSERT_EQ(existing.size(), 2u);
    EXPECT_EQ(existing[1].ipText, "127.0.0.1");
    EXPECT_EQ(existing[0].localPort, 45071);
    // The proposals step over what is mapped now.
    EXPECT_EQ((**core).comNumberUp(70), 73);
    EXPECT_EQ((**core).comNumberDown(73), 70);

    // The checks see the live lists; a refusal changes nothing.
    const auto before = readFileBytes(m_home->mappingFile());
    struct Case {
        core::AddRequest request;
        const char* message;
    };
    const Case refused[] = {
        {addRequest("72", false, false, "127.0.0.2", "1", "2"), "Please DON'T create the existing comport.\n"},
        {addRequest("73", false, false, "127.0.0.1", "1", "2"), "This IP has already been connected with a device.\n"},
        {addRequest("73", true, true, "", "45071", ""), "This port number is in use by another server.\n"},
        {addRequest("", true, true, "", "", ""), "Please DON'T give an invalid comport number.\n"},
    };
    for (const Case& c : refused) {
        const auto outcome = (**core).addMapping(c.request);
        EXPECT_FALSE(outcome.ok());
        EXPECT_EQ(outcome.error(), c.message);
    }
    EXPECT_EQ((**core).mappingCount(), 2u);
    EXPECT_EQ(readFileBytes(m_home->mappingFile()), before);
}

TEST_F(ProgramCoreTest, AddOfAnOccupiedPortNameLeavesNothingBehind) {
    auto core = makeCore();
    ASSERT_TRUE((**core).addMapping(addRequest("74", false, false, "127.0.0.1", "45074", "45174")).ok());
    const auto before = readFileBytes(m_home->mappingFile());
    ASSERT_TRUE(writeFileBytes(m_home->portLink(75), {1, 2, 3}));
    const auto occupied = (**core).addMapping(addRequest("75", true, false, "127.0.0.5", "", "45075"));
    EXPECT_FALSE(occupied.ok());
    EXPECT_EQ(occupied.error(), "COM75 cannot be created.\nPlease check if COM75 is occupied.");
    EXPECT_EQ(core->countMappingLog("COM75 is unable to be created."), 1u);
    EXPECT_EQ(core->countMappingLog("COM75 is created."), 0u);
    EXPECT_EQ((**core).mappingCount(), 1u);
    EXPECT_EQ(core::ProgramCoreProbe::lists(**core).comNumbers, (std::deque<std::int32_t>{74}));
    EXPECT_EQ(core::ProgramCoreProbe::lists(**core).threadSets.size(), 1u);
    EXPECT_EQ(readFileBytes(m_home->mappingFile()), before);
    EXPECT_EQ(readFileBytes(m_home->portLink(75)), (std::vector<std::uint8_t>{1, 2, 3}));
    // Its COM number and address are free for the next try.
    ASSERT_TRUE(std::filesystem::remove(m_home->portLink(75)));
    EXPECT_TRUE((**core).addMapping(addRequest("75", true, false, "127.0.0.5", "", "45075")).ok());
}

// A stored mapping whose port name is taken at start is reported and survives the next save.
TEST_F(ProgramCoreTest, StoredMappingWhosePortCannotBeMadeIsLoggedAndKept) {
    const tarnDesc blocked = makeDesc(76, kModeTcpClient, "127.0.0.6", 0, 45076);
    const tarnDesc udp = makeDesc(77, kModeUdp, "127.0.0.1", 45077, 45177);
    ASSERT_TRUE(writeFileBytes(m_home->mappingFile(), recordsOf({blocked, udp})));
    ASSERT_TRUE(writeFileBytes(m_home->portLink(76), {9}));
    auto core = makeCore(true);
    ASSERT_TRUE(core->waitFor([&] { return (**core).mappingsLoaded(); }));
    EXPECT_EQ(core->countMappingLog("COM76 cannot be created."), 1u);
    ASSERT_EQ((**core).mappingCount(), 1u);

    ASSERT_TRUE((**core).addMapping(addRequest("78", true, true, "", "45078", "")).ok());
    EXPECT_EQ(readFileBytes(m_home->mappingFile()),
              recordsOf({udp, makeDesc(78, kModeTcpServer, "0.0.0.0", 45078, 0), blocked}));
}

// A save that cannot write keeps the old file; the user learns that the change is not kept.
TEST_F(ProgramCoreTest, AnUnwritableMappingFileIsReportedInTheLog) {
    // A plain file where the mapping file's folder should be.
    ASSERT_TRUE(writeFileBytes(m_home->root() + "/config/tarn", {0}));
    auto core = makeCore();
    EXPECT_TRUE((**core).addMapping(makeDesc(65, kModeTcpServer, "0.0.0.0", 45065, 0)).ok());
    EXPECT_EQ(core->countMappingLog("COM65 is created."), 1u);
    EXPECT_EQ(core->countMappingLog(core::kMappingFileNotWritten), 1u);
}

TEST_F(ProgramCoreTest, StartUpLoadsTheFileOnTheMainLoopThenSearchesAndAnnouncesIt) {
    const tarnDesc server = makeDesc(61, kModeTcpServer, "0.0.0.0", 45061, 0);
    const tarnDesc udp = makeDesc(62, kModeUdp, "127.0.0.1", 45062, 45162);
    ASSERT_TRUE(writeFileBytes(m_home->mappingFile(), recordsOf({server, udp})));

    std::atomic<int> searches{0};
    core::CoreOptions options;
    options.pinToFirstCpu = false;
    options.workerPeriod = 20ms;
    options.searchJob = [&] { ++searches; };
    options.deviceCount = [] { return std::size_t{3}; };
    options.workerAnnouncesSearch = true;
    core::ProgramCore program(options);
    std::vector<core::CoreEvent> events;
    program.start();
    program.setEventHandler([&](core::CoreEvent event) { events.push_back(event); });

    const auto deadline = Clock::now() + kDeadline;
    while (Clock::now() < deadline && program.deviceLog().size() == 0)
        program.mainLoop().waitAndDrain(5ms);
    EXPECT_TRUE(program.mappingsLoaded());
    ASSERT_EQ(program.mappingCount(), 2u);
    EXPECT_EQ(core::ProgramCoreProbe::lists(program).at(0).comNumber, 61);
    EXPECT_EQ(core::ProgramCoreProbe::lists(program).at(1).comNumber, 62);
    EXPECT_EQ(searches.load(), 1);
    EXPECT_EQ(events, (std::vector<core::CoreEvent>{core::CoreEvent::kStartUpDone, core::CoreEvent::kSearchFinished}));
    EXPECT_EQ(logTexts(program.deviceLog()), std::vector<std::string>{"3 device(s) searched."});
    // The load does not rewrite the file.
    EXPECT_EQ(readFileBytes(m_home->mappingFile()), recordsOf({server, udp}));
    program.shutDown();
    EXPECT_EQ(readFileBytes(m_home->mappingFile()), recordsOf({server, udp}));
}

TEST_F(ProgramCoreTest, MessagesPostedFromAnyThreadReachTheFrontEndOnTheMainThread) {
    auto core = makeCore();
    std::vector<core::CoreEvent> events;
    std::thread::id handlerThread;
    (**core).setEventHandler([&](core::CoreEvent event) {
        events.push_back(event);
        handlerThread = std::this_thread::get_id();
    });
    std::thread([&] {
        (**core).postMessage(core::CoreEvent::kLoginSucceeded);
        (**core).postMessage(core::CoreEvent::kStoreConfiguration);
    }).join();
    ASSERT_TRUE(core->waitFor([&] { return events.size() == 2; }));
    EXPECT_EQ(events,
              (std::vector<core::CoreEvent>{core::CoreEvent::kLoginSucceeded, core::CoreEvent::kStoreConfiguration}));
    EXPECT_EQ(handlerThread, std::this_thread::get_id());
    EXPECT_EQ((**core).deviceLog().size(), 0u) << "only a finished search is logged";
}

TEST_F(ProgramCoreTest, RowsAndRefreshTickFollowThePortState) {
    auto core = makeCore();
    ASSERT_TRUE((**core).addMapping(makeDesc(63, kModeTcpServer, "0.0.0.0", 45063, 0)).ok());
    EXPECT_TRUE((**core).refreshTick()) << "an added mapping makes the list stale";
    // The stale rebuild takes no snapshots, so the next tick may still see the first values.
    (**core).refreshTick();
    EXPECT_FALSE((**core).refreshTick());
    auto rows = (**core).mappingRows();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].cells[0], "1");
    EXPECT_EQ(rows[0].cells[1], "63");
    EXPECT_EQ(rows[0].cells[7], "N/A");
    EXPECT_EQ(rows[0].cells[8], "Close");
    EXPECT_FALSE(rows[0].drawnRed);

    AppPort app;
    ASSERT_TRUE(app.open(m_home->portLink(63), 115200));
    ASSERT_TRUE(core->waitFor([&] { return core->mapping(63)->isOpen(); }));
    EXPECT_TRUE((**core).refreshTick()) << "opening the port changes a watched value";
    EXPECT_FALSE((**core).refreshTick());
    rows = (**core).mappingRows();
    EXPECT_EQ(rows[0].cells[7], "Listening");
    EXPECT_EQ(rows[0].cells[8], "Open");
    EXPECT_EQ(rows[0].cells[9], "115200");
    EXPECT_TRUE(rows[0].drawnRed);

    Sock peer = tcpConnect(45063);
    ASSERT_TRUE(peer.valid());
    ASSERT_TRUE(core->waitFor([&] { return core->mapping(63)->isConnected(); }));
    rows = (**core).mappingRows();
    EXPECT_EQ(rows[0].cells[7], "Connected");
    EXPECT_FALSE(rows[0].drawnRed);
}

// A peer's close of a control connection is handled on the mapping's own thread: the socket
// is closed and forgotten, and the connection is marked down.
TEST_F(ProgramCoreTest, ControlConnectionCloseIsHandedToTheMappingAndClosesOnlyItsSocket) {
    auto core = makeCore();
    ASSERT_TRUE((**core).addMapping(makeDesc(64, kModeTcpClient, "127.0.0.1", 0, 45064)).ok());
    TARNINFO* tarnInfo = core->mapping(64);
    Sock listener = tcpListen(45164);
    ASSERT_TRUE(listener.valid());
    const int controlSock = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in to = loopback(45164);
    ASSERT_EQ(::connect(controlSock, reinterpret_cast<const sockaddr*>(&to), sizeof to), 0);
    Sock peer = tcpAccept(listener);
    ASSERT_TRUE(peer.valid());
    tarnInfo->control->sock = controlSock;
    tarnInfo->control->connected.store(1);
    ASSERT_EQ(g_sock->asyncSelect(controlSock, 45164, kDataSocketEvents), 0);

    peer.reset();
    ASSERT_TRUE(core->waitFor([&] { return tarnInfo->control->sock == 0; }));
    EXPECT_EQ(tarnInfo->control->connected.load(), 0);
    EXPECT_EQ(::fcntl(controlSock, F_GETFD), -1) << "the notified socket stays open";
    EXPECT_EQ(core->countMappingLog("COM64 is disconnected and reconnection is being tried."), 0u)
        << "a control connection is not the data connection";
}

} // namespace

namespace {

// A local port held by someone else: the mapping says so once, shows it in its row, and
// serves the configured port as soon as it is free (never one the kernel picks instead).
TEST_F(ProgramCoreTest, ABusyLocalPortIsReportedOnceAndServedOnceFree) {
    auto core = makeCore();
    constexpr std::uint16_t kTcpPort = 45091, kUdpPort = 45092, kUdpPeer = 45093;
    Sock tcpHolder = tcpListen(kTcpPort);
    Sock udpHolder = udpBound(kUdpPort);
    ASSERT_TRUE(tcpHolder.valid() && udpHolder.valid());
    ASSERT_TRUE((**core).addMapping(makeDesc(91, kModeTcpServer, "0.0.0.0", kTcpPort, 0)).ok());
    ASSERT_TRUE((**core).addMapping(makeDesc(92, kModeUdp, "127.0.0.1", kUdpPort, kUdpPeer)).ok());
    AppPort tcpApp, udpApp;
    ASSERT_TRUE(tcpApp.open(m_home->portLink(91), 115200));
    ASSERT_TRUE(udpApp.open(m_home->portLink(92), 115200));

    const std::string tcpLine = "COM91 cannot listen on port 45091: Address already in use.";
    const std::string udpLine = "COM92 cannot listen on port 45092: Address already in use.";
    ASSERT_TRUE(core->waitForLogCount(tcpLine, 1));
    ASSERT_TRUE(core->waitForLogCount(udpLine, 1));
    const auto cell7 = [&](std::size_t row) { return (**core).mappingRows().at(row).cells[7]; };
    EXPECT_EQ(cell7(0), "Cannot listen");
    EXPECT_EQ(cell7(1), "Cannot listen");

    // Later tries fail quietly; once freed, the configured ports are served.
    tcpHolder = Sock();
    udpHolder = Sock();
    Sock peer = tcpConnect(kTcpPort);
    ASSERT_TRUE(peer.valid());
    ASSERT_TRUE(core->waitFor([&] { return cell7(0) == "Connected"; }));
    const std::vector<std::uint8_t> hello{'h', 'i'};
    ASSERT_TRUE(sendAll(peer.fd(), hello.data(), hello.size()));
    EXPECT_EQ(tcpApp.readExactly(2), hello);

    Sock udpPeer = udpBound(kUdpPeer);
    ASSERT_TRUE(core->waitFor([&] { return cell7(1) == "N/A"; }));
    const sockaddr_in to = loopback(kUdpPort);
    ASSERT_EQ(::sendto(udpPeer.fd(), hello.data(), hello.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to),
              2);
    EXPECT_EQ(udpApp.readExactly(2), hello);
    EXPECT_EQ(core->countMappingLog(tcpLine), 1u);
    EXPECT_EQ(core->countMappingLog(udpLine), 1u);
}

} // namespace
