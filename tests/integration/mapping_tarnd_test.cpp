// The real tarnd program, run as a process inside a private network namespace, with a
// prepared mapping file: its log lines, its data path, its end on a signal, and tarnctl's
// mapping commands through its control socket or, with none running, on the file.

#include <algorithm>
#include <atomic>
#include <gtest/gtest.h>
#include <random>
#include <regex>
#include <sstream>
#include <sys/stat.h>

#include "core/offline_mappings.h"
#include "mapping_harness.h"
#include "support/netns.h"
#include "support/wait.h"

namespace {

using testsupport::waitUntil;

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
    return waitUntil([&] { return endSignalsHandled(pid); }, kDeadline);
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

    // Starts tarnd with `options` and waits until it takes SIGINT and SIGTERM as requests to end.
    void startTarnd(ChildProcess& daemon, std::vector<std::string> options = {"--no-search"}) {
        options.insert(options.begin(), kTarnd);
        ASSERT_TRUE(daemon.start(options, true));
        ASSERT_TRUE(waitUntilEndSignalsHandled(daemon.pid()));
    }

    bool waitForOutput(ChildProcess& daemon, const std::string& text, std::size_t count = 1) {
        return waitUntil([&] { return countOf(logTexts(daemon.outputLines()), text) >= count; }, kDeadline);
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
    ASSERT_NO_FATAL_FAILURE(startTarnd(daemon));
    // The stored mappings come up about a second after start.
    waitUntil([&] { return exists(m_home->portLink(kServerCom)) && exists(m_home->portLink(kUdpCom)); }, kDeadline);
    ASSERT_TRUE(exists(m_home->portLink(kServerCom)));
    ASSERT_TRUE(exists(m_home->portLink(kUdpCom)));

    // TCP server: an application and a peer exchange data through the daemon.
    AppPort app;
    ASSERT_TRUE(app.open(m_home->portLink(kServerCom), 4000000));
    Sock peer = tcpConnect(kServerPort);
    ASSERT_TRUE(peer.valid());
    ASSERT_TRUE(waitForOutput(daemon, "COM41 as a server accepts 1 connection(s)."));
    ASSERT_NO_FATAL_FAILURE(exchangeInTurn(app, peer, 64 * 1024, 81));

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
    ASSERT_NO_FATAL_FAILURE(expectDatagram(udpApp, udpPeer, "hello over udp"));

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
    ASSERT_NO_FATAL_FAILURE(startTarnd(daemon));
    const int status = daemon.stop(SIGINT);
    ASSERT_NE(status, -1) << "tarnd did not end on SIGINT";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    EXPECT_FALSE(exists(m_home->mappingFile())) << "a run without changes must not write the file";
}

// The start-up search runs after the load and reports its count on the device log. The
// namespace has only loopback, which a search skips, so nothing is sent anywhere.
TEST_F(Tarnd, SearchesAfterTheStartUpLoadAndReportsTheDeviceCount) {
    ChildProcess daemon;
    ASSERT_NO_FATAL_FAILURE(startTarnd(daemon, {}));
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
    ASSERT_NO_FATAL_FAILURE(startTarnd(first));
    ASSERT_TRUE(waitUntil([&] { return exists(m_home->portLink(kCom)); }));

    ChildProcess second;
    ASSERT_TRUE(second.start({kTarnd, "--no-search"}, true));
    const int status = first.waitExit();
    ASSERT_NE(status, -1) << "the first instance was not ended";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    // The second instance makes the port anew once the first has removed it.
    AppPort app;
    ASSERT_TRUE(waitUntil([&] { return app.open(m_home->portLink(kCom), 115200); }));
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
    ASSERT_NO_FATAL_FAILURE(startTarnd(daemon));
    ASSERT_TRUE(waitUntil([&] { return exists(m_home->portLink(kCom)); }));

    ChildProcess window;
    ASSERT_TRUE(window.start({tarn, "--no-search"}, true));
    int status = daemon.waitExit();
    ASSERT_NE(status, -1) << "tarn did not end tarnd";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    AppPort app;
    ASSERT_TRUE(waitUntil([&] { return app.open(m_home->portLink(kCom), 115200); })) << "tarn runs the mapping";
    app.close();

    ChildProcess again;
    ASSERT_TRUE(again.start({kTarnd, "--no-search"}, true));
    status = window.waitExit();
    ASSERT_NE(status, -1) << "tarnd did not end tarn";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    ASSERT_TRUE(waitUntil([&] { return app.open(m_home->portLink(kCom), 115200); })) << "tarnd runs it again";
    app.close();
    status = again.stop(SIGTERM);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}

// Standard output that nobody reads holds nothing up: a client mapping whose device accepts
// and drops at once logs two rows per attempt and keeps reconnecting, a server mapping
// carries data, the rows come once the output is read again, and the end does not wait for
// a blocked output.
TEST_F(Tarnd, AStalledOutputHoldsUpNeitherTheMappingsNorTheEnd) {
    constexpr int kFlapCom = 52, kServerCom = 53;
    constexpr std::uint16_t kFlapPort = 44052, kServerPort = 44053;
    ASSERT_TRUE(writeFileBytes(m_home->mappingFile(),
                               fileOf({makeDesc(kFlapCom, kModeTcpClient, "127.0.0.1", 0, kFlapPort),
                                       makeDesc(kServerCom, kModeTcpServer, "0.0.0.0", kServerPort, 0)})));
    Sock listener = tcpListen(kFlapPort);
    ASSERT_TRUE(listener.valid());
    ChildProcess daemon;
    ASSERT_TRUE(daemon.start({kTarnd, "--no-search"}, true));
    ASSERT_TRUE(daemon.shrinkOutputPipe());
    ASSERT_TRUE(waitUntilEndSignalsHandled(daemon.pid()));
    AppPort flapApp;
    ASSERT_TRUE(waitUntil([&] { return flapApp.open(m_home->portLink(kFlapCom), 115200); }));

    std::atomic<int> accepted{0};
    std::atomic<bool> stop{false};
    Background dropper([&] {
        while (!stop.load())
            if (tcpAccept(listener, 50ms).valid())
                ++accepted;
    });
    // Output unread: the page of pipe is full after a few dozen rows, far before these.
    ASSERT_TRUE(waitUntil([&] { return accepted.load() >= 150; }))
        << "the client mapping stopped while its log rows could not be printed (" << accepted.load() << ")";
    EXPECT_GE(daemon.unreadOutput(), 4000) << "the output was never blocked: the test proves nothing";

    AppPort app;
    ASSERT_TRUE(app.open(m_home->portLink(kServerCom), 4000000));
    Sock peer = tcpConnect(kServerPort);
    ASSERT_TRUE(peer.valid());
    ASSERT_NO_FATAL_FAILURE(exchangeInTurn(app, peer, 64 * 1024, 53));

    // Read again: the rows queued meanwhile arrive, each a whole log row (the queue's limit
    // was not reached, so none is dropped).
    ASSERT_TRUE(waitForOutput(daemon, "COM53 as a server accepts 1 connection(s)."));
    const auto texts = logTexts(daemon.outputLines());
    for (const auto& text : texts)
        EXPECT_EQ(text.find("dropped while the output was blocked"), std::string::npos) << text;

    // Blocked again, and the end still comes: the links go, the program exits.
    const std::size_t seen = daemon.output().size();
    const int before = accepted.load();
    ASSERT_TRUE(waitUntil([&] { return accepted.load() >= before + 100; }));
    EXPECT_GE(daemon.unreadOutput(), 4000);
    stop.store(true);
    dropper.join();
    const int status = daemon.stop(SIGTERM);
    ASSERT_NE(status, -1) << "tarnd did not end while its output was blocked";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    EXPECT_FALSE(exists(m_home->portLink(kFlapCom)));
    EXPECT_FALSE(exists(m_home->portLink(kServerCom)));
    EXPECT_GT(daemon.output().size(), seen);
}

// A shut-down that waits for the start-up search (about three seconds with no device to
// answer) ends at once on a second signal, and the port's link goes with it. Exiting by the
// second signal, not with status 0, shows the fast path ended it, not the shut-down's end.
// Both are sent at once, before the shut-down removes the link itself; the kernel delivers
// the pending two in its own order, so either may come second.
TEST_F(Tarnd, ASecondSignalEndsAShutDownThatWaitsForASearch) {
    constexpr int kCom = 54;
    ASSERT_TRUE(writeFileBytes(m_home->mappingFile(), fileOf({makeDesc(kCom, kModeTcpServer, "0.0.0.0", 44054, 0)})));
    ChildProcess daemon;
    ASSERT_NO_FATAL_FAILURE(startTarnd(daemon, {}));
    // The search starts right after the load that makes the link.
    ASSERT_TRUE(waitUntil([&] { return exists(m_home->portLink(kCom)); }));
    AppPort app;
    ASSERT_TRUE(app.open(m_home->portLink(kCom), 115200));
    ASSERT_EQ(::kill(daemon.pid(), SIGTERM), 0);
    ASSERT_EQ(::kill(daemon.pid(), SIGINT), 0);
    const int status = daemon.waitExit();
    ASSERT_NE(status, -1) << "tarnd did not end";
    EXPECT_TRUE(WIFSIGNALED(status) && (WTERMSIG(status) == SIGINT || WTERMSIG(status) == SIGTERM))
        << "status " << status;
    EXPECT_FALSE(exists(m_home->portLink(kCom))) << "the link outlived its program";
    EXPECT_EQ(countOf(logTexts(daemon.outputLines()), "0 device(s) searched."), 0u) << "the search had ended first";
}

TEST_F(Tarnd, HelpAndUnknownOptions) {
    const auto help = testsupport::runCommand({kTarnd, "--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.output.find("usage: tarnd"), std::string::npos);
    const auto wrong = testsupport::runCommand({kTarnd, "--bogus"});
    EXPECT_EQ(wrong.exitCode, 2);
}

// --- tarnctl's mapping commands against a running tarnd, and on the file when none runs.

const std::string kTarnctl = std::string(TARN_BINARY_DIR) + "/src/app/tarnctl";

testsupport::CommandResult tarnctl(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), kTarnctl);
    return testsupport::runCommand(arguments);
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// The blank-separated words of the table row whose COM Port cell is `com`.
std::vector<std::string> rowOf(const std::string& table, int com) {
    std::istringstream lines(table);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::vector<std::string> row;
        for (std::string word; words >> word;)
            row.push_back(word);
        if (row.size() > 1 && row[1] == std::to_string(com))
            return row;
    }
    return {};
}

// One answer line from a raw control connection, without its LF; empty at the deadline.
std::string readControlLine(const Sock& sock) {
    std::string line;
    const auto deadline = Clock::now() + kDeadline;
    while (Clock::now() < deadline) {
        char c;
        const ssize_t n = ::recv(sock.fd(), &c, 1, MSG_DONTWAIT);
        if (n == 1) {
            if (c == '\n')
                return line;
            line += c;
            continue;
        }
        if (n == 0)
            break;
        pollfd p{sock.fd(), POLLIN, 0};
        ::poll(&p, 1, 10);
    }
    return line;
}

class TarndControl : public Tarnd {
protected:
    void SetUp() override {
        Tarnd::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        if (::access(kTarnctl.c_str(), X_OK) != 0)
            GTEST_SKIP() << kTarnctl << " is not built";
    }

    // tarnd serves its control socket once the stored mappings are loaded.
    void startDaemon(ChildProcess& daemon) {
        ASSERT_NO_FATAL_FAILURE(startTarnd(daemon));
        ASSERT_TRUE(waitUntil([&] { return unixConnect(m_home->controlSocket()).valid(); }))
            << "no control socket at " << m_home->controlSocket();
    }
};

TEST_F(TarndControl, TarnctlChangesTheMappingsOfARunningTarndAtOnce) {
    constexpr int kCom = 45;
    constexpr std::uint16_t kPort = 44045;
    ChildProcess daemon;
    startDaemon(daemon);
    struct stat socketFile {};
    ASSERT_EQ(::lstat(m_home->controlSocket().c_str(), &socketFile), 0);
    EXPECT_EQ(socketFile.st_mode & 0777, 0600u);

    auto result = tarnctl({"add", "tcp-server", "COM45", "--local", std::to_string(kPort)});
    ASSERT_EQ(result.exitCode, 0) << result.output;
    EXPECT_EQ(result.output, "COM45 is created.\n");
    EXPECT_TRUE(exists(m_home->portLink(kCom))) << "the port exists when add returns";

    // Refusals come with the add checks' own texts and change nothing.
    struct Refusal {
        std::vector<std::string> arguments;
        const char* text;
    };
    const Refusal refusals[] = {
        {{"add", "tcp-server", "45", "--local", "44046"}, "Please DON'T create the existing comport.\n"},
        {{"add", "tcp-server", "auto", "--local", "44045"}, "This port number is in use by another server.\n"},
        {{"add", "udp", "auto", "127.0.0.1", "--local", "0", "--remote", "99999"},
         "Please give valid Port Number(s).\n"},
        {{"remove", "COM46"}, "COM46 is not mapped.\n"},
        // Too big to be a port name, or to fit a request: refused as without a program.
        {{"add", "tcp-server", "99999999999", "--local", "44046"}, "Please DON'T give an invalid comport number.\n"},
        {{"add", "tcp-server", "100000", "--local", "44046"}, "Please DON'T give an invalid comport number.\n"},
        {{"add", "tcp-client", "auto", std::string(5000, '9'), "--remote", "4001"},
         "Please give a valid IP Address.\n"},
    };
    for (const Refusal& refusal : refusals) {
        SCOPED_TRACE(refusal.arguments[1]);
        const auto refused = tarnctl(refusal.arguments);
        EXPECT_EQ(refused.exitCode, 7) << refused.output;
        EXPECT_TRUE(contains(refused.output, refusal.text)) << refused.output;
    }
    EXPECT_EQ(tarnctl({"add", "bogus-mode", "COM9"}).exitCode, 2);

    // The new mapping carries data both ways, without a restart.
    AppPort app;
    ASSERT_TRUE(app.open(m_home->portLink(kCom), 4000000));
    Sock peer = tcpConnect(kPort);
    ASSERT_TRUE(peer.valid());
    ASSERT_TRUE(waitForOutput(daemon, "COM45 as a server accepts 1 connection(s)."));
    ASSERT_NO_FATAL_FAILURE(exchangeInTurn(app, peer, 16 * 1024, 91));

    result = tarnctl({"list"});
    ASSERT_EQ(result.exitCode, 0) << result.output;
    const std::vector<std::string> live = rowOf(result.output, kCom);
    ASSERT_GE(live.size(), 9u) << result.output;
    EXPECT_EQ(std::vector<std::string>(live.begin() + 2, live.begin() + 9),
              (std::vector<std::string>{"TCP", "Server", "N/A", "N/A", "44045", "Connected", "Open"}))
        << result.output;

    result = tarnctl({"remove", "COM45"});
    EXPECT_EQ(result.exitCode, 7);
    EXPECT_TRUE(contains(result.output, "COM45 is still open.\nPlease close it first.")) << result.output;
    EXPECT_TRUE(exists(m_home->portLink(kCom)));
    app.close();
    ASSERT_TRUE(waitUntil([&] { return tarnctl({"remove", "COM45"}).exitCode == 0; }));
    EXPECT_FALSE(exists(m_home->portLink(kCom)));
    EXPECT_TRUE(readFileBytes(m_home->mappingFile()).empty()) << "the file was rewritten without it";

    result = tarnctl({"log"});
    ASSERT_EQ(result.exitCode, 0) << result.output;
    EXPECT_TRUE(contains(result.output, " COM45 is created.\n")) << result.output;
    EXPECT_TRUE(contains(result.output, " COM45 is removed.\n")) << result.output;
    EXPECT_EQ(countOf(logTexts(daemon.outputLines()), "COM45 is removed."), 1u) << "one removal, one row";

    const int status = daemon.stop(SIGTERM);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    EXPECT_FALSE(exists(m_home->controlSocket())) << "the socket goes with its program";
}

TEST_F(TarndControl, WithoutAProgramTarnctlEditsTheFileAndTheNextTarndRunsIt) {
    auto result = tarnctl({"add", "udp", "COM46", "127.0.0.1", "--local", "44046", "--remote", "44146"});
    ASSERT_EQ(result.exitCode, 0) << result.output;
    EXPECT_TRUE(contains(result.output, "COM46 is stored")) << result.output;
    ASSERT_EQ(tarnctl({"add", "tcp-server", "COM47", "--local=44047"}).exitCode, 0);
    result = tarnctl({"add", "tcp-client", "COM48", "127.0.0.1", "--remote", "4001"});
    EXPECT_EQ(result.exitCode, 7);
    EXPECT_TRUE(contains(result.output, "This IP has already been connected with a device.\n")) << result.output;
    for (const std::string& com : {std::string(5000, '7'), std::string("99999999999"), std::string("100000")}) {
        result = tarnctl({"add", "tcp-server", com, "--local", "44048"});
        EXPECT_EQ(result.exitCode, 7) << result.output;
        EXPECT_TRUE(contains(result.output, "Please DON'T give an invalid comport number.\n")) << result.output;
    }
    result = tarnctl({"add", "tcp-client", "auto", std::string(5000, '9'), "--remote", "4001"});
    EXPECT_EQ(result.exitCode, 7);
    EXPECT_TRUE(contains(result.output, "Please give a valid IP Address.\n")) << result.output;
    result = tarnctl({"list"});
    ASSERT_EQ(result.exitCode, 0) << result.output;
    EXPECT_EQ(rowOf(result.output, 46),
              (std::vector<std::string>{"1", "46", "UDP", "N/A", "127.0.0.1", "44146", "44046"}));
    EXPECT_EQ(rowOf(result.output, 47), (std::vector<std::string>{"2", "47", "TCP", "Server", "N/A", "N/A", "44047"}));
    EXPECT_EQ(tarnctl({"remove", "COM47"}).exitCode, 0);
    result = tarnctl({"remove", "COM47"});
    EXPECT_EQ(result.exitCode, 7);
    EXPECT_TRUE(contains(result.output, "COM47 is not mapped.")) << result.output;
    EXPECT_EQ(tarnctl({"log"}).exitCode, 8) << "the logs live in a running program";
    EXPECT_EQ(tarnctl({"devices"}).exitCode, 8);

    const auto bytes = readFileBytes(m_home->mappingFile());
    ASSERT_EQ(bytes.size(), kDescRecordSize);
    const tarnDesc stored = decodeDesc(bytes.data());
    EXPECT_EQ(stored.comNum, 46);
    EXPECT_EQ(stored.mode, kModeUdp);
    EXPECT_STREQ(stored.ipAddress, "127.0.0.1");
    EXPECT_EQ(stored.localPort, 44046);
    EXPECT_EQ(stored.remotePort, 44146);

    ChildProcess daemon;
    startDaemon(daemon);
    ASSERT_TRUE(exists(m_home->portLink(46)));
    AppPort app;
    ASSERT_TRUE(app.open(m_home->portLink(46), 4000000));
    Sock peer = udpBound(44146);
    ASSERT_TRUE(peer.valid());
    ASSERT_NO_FATAL_FAILURE(expectDatagram(app, peer, "stored by tarnctl"));
    result = tarnctl({"list"});
    EXPECT_EQ(rowOf(result.output, 46).at(8), "Open") << result.output;
    app.close();
    const int status = daemon.stop(SIGTERM);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}

// add rfc2217 has add tcp-client's checks and texts; on the file and through the running
// program it stores a marked record, and list names the kind.
TEST_F(TarndControl, TarnctlAddsRfc2217MappingsOnTheFileAndLive) {
    const auto marked = [&](std::size_t position) {
        const auto stored = core::storedMappings(m_home->mappingFile());
        return stored && position < stored->size() && isRfc2217((*stored)[position]);
    };
    const std::string note = " is an rfc2217 mapping: a TCP client that speaks RFC 2217 (Telnet COM Port Control).\n";
    ASSERT_EQ(tarnctl({"add", "rfc2217", "COM50", "127.0.0.50", "--remote", "44050"}).exitCode, 0);
    EXPECT_TRUE(marked(0));
    EXPECT_TRUE(contains(tarnctl({"list"}).output, "COM50" + note));

    ChildProcess daemon;
    startDaemon(daemon);
    auto result = tarnctl({"add", "rfc2217", "COM52", "127.0.0.52", "--remote", "44052"});
    ASSERT_EQ(result.exitCode, 0) << result.output;
    EXPECT_TRUE(exists(m_home->portLink(52)));
    EXPECT_TRUE(marked(0) && marked(1)) << "the loaded mark and the added one are both stored";
    result = tarnctl({"add", "rfc2217", "COM53", "127.0.0.52", "--remote", "44053"});
    EXPECT_EQ(result.exitCode, 7);
    EXPECT_TRUE(contains(result.output, "This IP has already been connected with a device.\n")) << result.output;
    result = tarnctl({"list"});
    EXPECT_TRUE(contains(result.output, "COM50" + note) && contains(result.output, "COM52" + note)) << result.output;
    const int status = daemon.stop(SIGTERM);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}

// tarnd killed (SIGKILL) at random moments while tarnctl adds and removes, live and with
// none running: the file always loads whole, and every change that was answered is in it.
TEST_F(TarndControl, AKilledProgramNeverDamagesTheMappingFile) {
    constexpr int kOperations = 1000;
    constexpr int kComs = 40;
    constexpr int kFirstCom = 101; // clear of the machine's own serial ports
    std::mt19937 random(20261208);
    // Per COM: 1 stored, 0 not stored, -1 unknown (its change was cut off by a kill).
    std::vector<int> stored(kComs, 0);
    auto daemon = std::make_unique<ChildProcess>();
    ASSERT_NO_FATAL_FAILURE(startDaemon(*daemon));
    const auto checkFile = [&](int step) {
        const auto bytes = readFileBytes(m_home->mappingFile());
        ASSERT_EQ(bytes.size() % kDescRecordSize, 0u) << "a half record after step " << step;
        const auto records = core::storedMappings(m_home->mappingFile());
        ASSERT_TRUE(records) << "the file does not load after step " << step;
        std::vector<int> found(kComs, 0);
        for (const tarnDesc& desc : *records) {
            const int index = desc.comNum - kFirstCom;
            ASSERT_TRUE(index >= 0 && index < kComs) << desc.comNum;
            ASSERT_EQ(found[index]++, 0) << "COM" << desc.comNum << " twice after step " << step;
        }
        for (int index = 0; index < kComs; ++index) {
            if (stored[index] >= 0) {
                ASSERT_EQ(found[index], stored[index]) << "COM" << kFirstCom + index << " after step " << step;
            }
            stored[index] = found[index]; // what a cut-off change left is now known
        }
    };
    int kills = 0, offline = 0;
    for (int step = 0; step < kOperations; ++step) {
        const int index = static_cast<int>(random() % kComs);
        const int com = kFirstCom + index;
        const std::vector<std::string> arguments =
            stored[index] == 1 ? std::vector<std::string>{"remove", "COM" + std::to_string(com)}
                               : std::vector<std::string>{"add", "tcp-server", "COM" + std::to_string(com), "--local",
                                                          std::to_string(44000 + com)};
        const bool kill = daemon && random() % 20 == 0;
        testsupport::CommandResult result;
        {
            Background change([&] { result = tarnctl(arguments); });
            if (kill) {
                std::this_thread::sleep_for(std::chrono::microseconds(random() % 20000));
                ::kill(daemon->pid(), SIGKILL);
                daemon->waitExit();
                daemon.reset();
                ++kills;
            }
        }
        offline += daemon ? 0 : 1;
        if (result.exitCode == 0) {
            stored[index] = arguments[0] == "add" ? 1 : 0;
        } else if (kill || result.exitCode == 8 || result.exitCode == 9) {
            stored[index] = -1;
        } else {
            ASSERT_TRUE(false) << "step " << step << " (" << (daemon ? "live" : "offline") << ", COM" << com << " was "
                               << stored[index] << "): " << result.output;
        }
        if (kill || step % 50 == 0) {
            ASSERT_NO_FATAL_FAILURE(checkFile(step));
        }
        // A few changes on the file alone, then the program comes back.
        if (!daemon && random() % 4 == 0) {
            daemon = std::make_unique<ChildProcess>();
            ASSERT_NO_FATAL_FAILURE(startDaemon(*daemon));
        }
    }
    ASSERT_NO_FATAL_FAILURE(checkFile(kOperations));
    EXPECT_GT(kills, 10);
    EXPECT_GT(offline, 10);
}

TEST_F(TarndControl, TheControlSocketKeepsServingWhileClientsMisbehave) {
    ASSERT_TRUE(writeFileBytes(m_home->mappingFile(), fileOf({makeDesc(49, kModeTcpServer, "0.0.0.0", 44049, 0)})));
    ChildProcess daemon;
    startDaemon(daemon);

    Sock garbage = unixConnect(m_home->controlSocket());
    const std::string junk = std::string("\x01\x02junk\\q\n", 9) + "frobnicate\n";
    ASSERT_TRUE(sendAll(garbage.fd(), reinterpret_cast<const std::uint8_t*>(junk.data()), junk.size()));
    EXPECT_EQ(readControlLine(garbage), "error\tmalformed request line");
    EXPECT_EQ(readControlLine(garbage), "error\tunknown command frobnicate");

    // A megabyte without a line end is refused once; the same connection goes on.
    Sock longLine = unixConnect(m_home->controlSocket());
    const std::string huge = std::string(1 << 20, 'x') + "\nlist\n";
    ASSERT_TRUE(sendAll(longLine.fd(), reinterpret_cast<const std::uint8_t*>(huge.data()), huge.size()));
    EXPECT_EQ(readControlLine(longLine), "error\trequest line too long");
    EXPECT_TRUE(readControlLine(longLine).rfind("mapping\t0\t", 0) == 0);
    EXPECT_EQ(readControlLine(longLine), "ok\t1");

    // A client that asks and asks and never reads is dropped once its answers pile up.
    std::atomic<bool> hogDropped{false};
    Background hog([&] {
        Sock sock = unixConnect(m_home->controlSocket());
        std::string requests;
        for (int i = 0; i < 1000; ++i)
            requests += "list\n";
        const auto deadline = Clock::now() + kDeadline;
        while (Clock::now() < deadline) {
            const ssize_t n = ::send(sock.fd(), requests.data(), requests.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0 && (errno == EPIPE || errno == ECONNRESET)) {
                hogDropped = true;
                return;
            }
            if (n < 0) {
                pollfd p{sock.fd(), POLLOUT, 0};
                ::poll(&p, 1, 10);
            }
        }
    });
    // Meanwhile many clients at once are each answered in full.
    std::atomic<int> answered{0};
    {
        std::vector<std::unique_ptr<Background>> clients;
        for (int c = 0; c < 16; ++c) {
            clients.push_back(std::make_unique<Background>([&] {
                for (int round = 0; round < 5; ++round) {
                    Sock sock = unixConnect(m_home->controlSocket());
                    const std::string request = "list\n";
                    if (!sendAll(sock.fd(), reinterpret_cast<const std::uint8_t*>(request.data()), request.size()))
                        return;
                    if (readControlLine(sock).rfind("mapping\t", 0) == 0 && readControlLine(sock) == "ok\t1")
                        ++answered;
                }
            }));
        }
    }
    EXPECT_EQ(answered.load(), 16 * 5);
    hog.join();
    EXPECT_TRUE(hogDropped.load()) << "the client that never reads was kept";

    const auto result = tarnctl({"list"});
    EXPECT_EQ(result.exitCode, 0) << result.output;
    EXPECT_FALSE(rowOf(result.output, 49).empty()) << result.output;
    const int status = daemon.stop(SIGTERM);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}

} // namespace
