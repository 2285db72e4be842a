// The real tarnd program, run as a process inside a private network namespace, with a
// prepared mapping file: its log lines, its data path, and its end on a signal.

#include <algorithm>
#include <gtest/gtest.h>
#include <regex>
#include <sys/stat.h>

#include "mapping_harness.h"
#include "support/netns.h"

namespace {

using namespace mapping_test;

const std::string kTarnd = std::string(TARN_BINARY_DIR) + "/src/app/tarnd";

std::vector<std::uint8_t> fileOf(const std::vector<tarnDesc>& records) {
    std::vector<std::uint8_t> bytes;
    for (const auto& desc : records) {
        const DescRecord record = encodeDesc(desc);
        bytes.insert(bytes.end(), record.begin(), record.end());
    }
    return bytes;
}

bool waitFor(const std::function<bool()>& done) {
    const auto deadline = Clock::now() + kDeadline;
    while (!done()) {
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

bool exists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

// The texts of the lines, after checking that each is "HH:MM:SS text".
std::vector<std::string> logTexts(const std::vector<std::string>& lines) {
    static const std::regex row("^[0-9]{2}:[0-9]{2}:[0-9]{2} (.+)$");
    std::vector<std::string> texts;
    for (const auto& line : lines) {
        std::smatch match;
        EXPECT_TRUE(std::regex_match(line, match, row)) << "not a log row: [" << line << "]";
        if (match.size() == 2)
            texts.push_back(match[1]);
    }
    return texts;
}

// True once `pid` catches SIGINT and SIGTERM, i.e. takes them as requests to end rather than
// dying of them.
bool endSignalsHandled(pid_t pid) {
    std::FILE* f = std::fopen(("/proc/" + std::to_string(pid) + "/status").c_str(), "r");
    if (!f)
        return false;
    char line[256];
    unsigned long long caught = 0;
    while (std::fgets(line, sizeof line, f)) {
        if (std::sscanf(line, "SigCgt: %llx", &caught) == 1)
            break;
    }
    std::fclose(f);
    const unsigned long long wanted = (1ull << (SIGINT - 1)) | (1ull << (SIGTERM - 1));
    return (caught & wanted) == wanted;
}

bool waitUntilEndSignalsHandled(pid_t pid) {
    const auto deadline = Clock::now() + kDeadline;
    while (Clock::now() < deadline) {
        if (endSignalsHandled(pid))
            return true;
        std::this_thread::sleep_for(2ms);
    }
    return false;
}

std::size_t countOf(const std::vector<std::string>& texts, const std::string& text) {
    return static_cast<std::size_t>(std::count(texts.begin(), texts.end(), text));
}

class Tarnd : public ::testing::Test {
protected:
    void SetUp() override {
        if (::access(kTarnd.c_str(), X_OK) != 0)
            GTEST_SKIP() << kTarnd << " is not built";
        TARN_REQUIRE_PRIVATE_NETNS();
        m_home = std::make_unique<TempHome>();
    }

    bool waitForOutput(ChildProcess& daemon, const std::string& text, std::size_t count = 1) {
        const auto deadline = Clock::now() + kDeadline;
        while (Clock::now() < deadline) {
            const auto texts = logTexts(daemon.outputLines());
            if (countOf(texts, text) >= count)
                return true;
            std::this_thread::sleep_for(5ms);
        }
        return false;
    }

    std::unique_ptr<TempHome> m_home;
};

TEST_F(Tarnd, RunsTheStoredMappingsLogsEachEventAndEndsCleanlyOnSigterm) {
    constexpr int kServerCom = 41, kUdpCom = 42;
    constexpr std::uint16_t kServerPort = 44041, kUdpLocal = 44042, kUdpRemote = 44142;
    const auto fileBytes = fileOf({makeDesc(kServerCom, kModeTcpServer, "0.0.0.0", kServerPort, 0),
                                   makeDesc(kUdpCom, kModeUdp, "127.0.0.1", kUdpLocal, kUdpRemote)});
    ASSERT_TRUE(writeFileBytes(m_home->mappingFile(), fileBytes));
    struct stat before;
    ASSERT_EQ(::stat(m_home->mappingFile().c_str(), &before), 0);

    ChildProcess daemon;
    ASSERT_TRUE(daemon.start({kTarnd, "--no-search"}, true));
    ASSERT_TRUE(waitUntilEndSignalsHandled(daemon.pid()));
    // The stored mappings come up about a second after start.
    const auto deadline = Clock::now() + kDeadline;
    while (!(exists(m_home->portLink(kServerCom)) && exists(m_home->portLink(kUdpCom))) && Clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(exists(m_home->portLink(kServerCom)));
    ASSERT_TRUE(exists(m_home->portLink(kUdpCom)));

    // TCP server: an application and a peer exchange data through the daemon.
    AppPort app;
    ASSERT_TRUE(app.open(m_home->portLink(kServerCom), 4000000));
    Sock peer = tcpConnect(kServerPort);
    ASSERT_TRUE(peer.valid());
    ASSERT_TRUE(waitForOutput(daemon, "COM41 as a server accepts 1 connection(s)."));
    const auto toApp = testPattern(64 * 1024, 81);
    const auto toNet = testPattern(64 * 1024, 82);
    ASSERT_TRUE(sendAll(peer.fd(), toApp.data(), toApp.size()));
    const auto atApp = app.readExactly(toApp.size());
    EXPECT_TRUE(atApp == toApp) << firstDifference(toApp, atApp);
    ASSERT_TRUE(app.writeAll(toNet));
    const auto atPeer = recvExactly(peer.fd(), toNet.size());
    EXPECT_TRUE(atPeer == toNet) << firstDifference(toNet, atPeer);

    // A lost peer is reported once; a new one is accepted.
    peer.reset();
    ASSERT_TRUE(waitForOutput(daemon, "COM41 is disconnected and reconnection is being tried."));
    peer = tcpConnect(kServerPort);
    ASSERT_TRUE(peer.valid());
    ASSERT_TRUE(waitForOutput(daemon, "COM41 as a server accepts 1 connection(s).", 2));

    // UDP: one datagram each way.
    AppPort udpApp;
    ASSERT_TRUE(udpApp.open(m_home->portLink(kUdpCom), 4000000));
    Sock udpPeer = udpBound(kUdpRemote);
    ASSERT_TRUE(udpPeer.valid());
    const std::string hello = "hello over udp";
    ASSERT_TRUE(udpApp.writeAll(reinterpret_cast<const std::uint8_t*>(hello.data()), hello.size()));
    const auto datagram = recvExactly(udpPeer.fd(), hello.size());
    EXPECT_EQ(std::string(datagram.begin(), datagram.end()), hello);

    // SIGTERM ends the run without the open-port check: both ports are still open here.
    const int status = daemon.stop(SIGTERM);
    ASSERT_NE(status, -1) << "tarnd did not end on SIGTERM";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    EXPECT_FALSE(exists(m_home->portLink(kServerCom)));
    EXPECT_FALSE(exists(m_home->portLink(kUdpCom)));

    // A run that adds and removes nothing leaves the mapping file alone.
    EXPECT_EQ(readFileBytes(m_home->mappingFile()), fileBytes);
    struct stat after;
    ASSERT_EQ(::stat(m_home->mappingFile().c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);

    // Every line is a log row; the events above appear exactly as often as they happened.
    const auto texts = logTexts(daemon.outputLines());
    EXPECT_EQ(countOf(texts, "COM41 as a server accepts 1 connection(s)."), 2u);
    EXPECT_EQ(countOf(texts, "COM41 is disconnected and reconnection is being tried."), 1u);
}

TEST_F(Tarnd, EndsOnSigintAndStartsWithoutAMappingFile) {
    ChildProcess daemon;
    ASSERT_TRUE(daemon.start({kTarnd, "--no-search"}, true));
    ASSERT_TRUE(waitUntilEndSignalsHandled(daemon.pid()));
    const int status = daemon.stop(SIGINT);
    ASSERT_NE(status, -1) << "tarnd did not end on SIGINT";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    EXPECT_FALSE(exists(m_home->mappingFile())) << "a run without changes must not write the file";
}

// The start-up search runs after the load and reports its count on the device log. The
// namespace has only loopback, which a search skips, so nothing is sent anywhere.
TEST_F(Tarnd, SearchesAfterTheStartUpLoadAndReportsTheDeviceCount) {
    ChildProcess daemon;
    ASSERT_TRUE(daemon.start({kTarnd}, true));
    ASSERT_TRUE(waitUntilEndSignalsHandled(daemon.pid()));
    EXPECT_TRUE(waitForOutput(daemon, "0 device(s) searched."));
    const int status = daemon.stop(SIGTERM);
    ASSERT_NE(status, -1) << "tarnd did not end on SIGTERM";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    EXPECT_EQ(countOf(logTexts(daemon.outputLines()), "0 device(s) searched."), 1u);
}

// A second tarnd of the same user ends the first, which shuts down cleanly and frees its
// ports, and then runs the mappings itself.
TEST_F(Tarnd, ASecondInstanceEndsTheFirstAndTakesOverItsPorts) {
    constexpr int kCom = 43;
    ASSERT_TRUE(writeFileBytes(m_home->mappingFile(), fileOf({makeDesc(kCom, kModeTcpServer, "0.0.0.0", 44043, 0)})));
    ChildProcess first;
    ASSERT_TRUE(first.start({kTarnd, "--no-search"}, true));
    ASSERT_TRUE(waitUntilEndSignalsHandled(first.pid()));
    ASSERT_TRUE(waitFor([&] { return exists(m_home->portLink(kCom)); }));

    ChildProcess second;
    ASSERT_TRUE(second.start({kTarnd, "--no-search"}, true));
    const int status = first.waitExit();
    ASSERT_NE(status, -1) << "the first instance was not ended";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    // The second instance makes the port anew once the first has removed it.
    AppPort app;
    ASSERT_TRUE(waitFor([&] { return app.open(m_home->portLink(kCom), 115200); }));
    Sock peer = tcpConnect(44043);
    ASSERT_TRUE(peer.valid());
    EXPECT_TRUE(waitForOutput(second, "COM43 as a server accepts 1 connection(s)."));
    app.close();
    const int secondStatus = second.stop(SIGTERM);
    EXPECT_TRUE(WIFEXITED(secondStatus) && WEXITSTATUS(secondStatus) == 0) << "status " << secondStatus;
}

// The desktop program and the daemon share one owner of a user's mappings: each ends the
// other, which frees the ports on its way out.
TEST_F(Tarnd, TheWindowAndTheDaemonEndEachOther) {
    const std::string tarn = std::string(TARN_BINARY_DIR) + "/src/app/tarn";
    if (::access(tarn.c_str(), X_OK) != 0)
        GTEST_SKIP() << tarn << " is not built";
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    constexpr int kCom = 44;
    ASSERT_TRUE(writeFileBytes(m_home->mappingFile(), fileOf({makeDesc(kCom, kModeTcpServer, "0.0.0.0", 44044, 0)})));
    ChildProcess daemon;
    ASSERT_TRUE(daemon.start({kTarnd, "--no-search"}, true));
    ASSERT_TRUE(waitUntilEndSignalsHandled(daemon.pid()));
    ASSERT_TRUE(waitFor([&] { return exists(m_home->portLink(kCom)); }));

    ChildProcess window;
    ASSERT_TRUE(window.start({tarn, "--no-search"}, true));
    int status = daemon.waitExit();
    ASSERT_NE(status, -1) << "tarn did not end tarnd";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    AppPort app;
    ASSERT_TRUE(waitFor([&] { return app.open(m_home->portLink(kCom), 115200); })) << "tarn runs the mapping";
    app.close();

    ChildProcess again;
    ASSERT_TRUE(again.start({kTarnd, "--no-search"}, true));
    status = window.waitExit();
    ASSERT_NE(status, -1) << "tarnd did not end tarn";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    ASSERT_TRUE(waitFor([&] { return app.open(m_home->portLink(kCom), 115200); })) << "tarnd runs it again";
    app.close();
    status = again.stop(SIGTERM);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}

TEST_F(Tarnd, HelpAndUnknownOptions) {
    const auto help = testsupport::runCommand({kTarnd, "--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.output.find("usage: tarnd"), std::string::npos);
    const auto wrong = testsupport::runCommand({kTarnd, "--bogus"});
    EXPECT_EQ(wrong.exitCode, 2);
}

} // namespace
