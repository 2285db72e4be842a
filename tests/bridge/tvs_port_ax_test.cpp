#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "bridge/tvs_port_ax.h"
#include "platform/pty.h"
#include "support/pty_app.h"
#include "support/temp_dir.h"

namespace {

// Run as a program of its own with TARN_TEST_DIE_WITH_PORT set: a process of ours that makes
// COM7 and dies without deleting it. A new program, since a forked copy of one whose ports
// run threads may not start threads of its own (a thread sanitizer refuses).
const bool kDiesWithPort = [] {
    if (std::getenv("TARN_TEST_DIE_WITH_PORT")) {
        TVSPortAx port;
        ::_exit(port.CreatePort(L"COM7") ? 0 : 1);
    }
    return false;
}();

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testsupport::PtyApp;
using testsupport::waitUntil;

// The two decoders of the handflow words that the rest of the program applies: the list's
// flow text and the control protocol's flow code.
std::string flowText(std::uint32_t h, std::uint32_t f) {
    if ((h & 0x01) && !(h & 0x1A) && (f & 0x43) == 0x43 && !(f & 0x80))
        return "Xon/Xoff";
    if ((h & 0x1A) == 0x1A && (f & 0x80) && !(f & 0x03))
        return "Hardware";
    return "None";
}
int flowCode(std::uint32_t h, std::uint32_t f) {
    if ((h & 0x01) && (f & 0x43) == 0x43 && !(h & 0x1A) && !(f & 0x80))
        return 1;
    if ((h & 0x1A) == 0x1A && (f & 0x80) && !(f & 0x03))
        return 2;
    return 0;
}

std::vector<std::uint8_t> pattern(std::size_t size, std::uint32_t seed) {
    std::vector<std::uint8_t> bytes(size);
    // Every value appears once in each 256-byte block, in an order that shifts per block.
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<std::uint8_t>(i * 167 + (i / 256) * 13 + seed * 31);
    return bytes;
}

std::optional<std::string> linkTarget(const std::string& path) {
    std::error_code ec;
    const auto target = fs::read_symlink(path, ec);
    if (ec)
        return std::nullopt;
    return target.string();
}

// Every test gets its own runtime directory, so port names never meet another test's.
class TVSPortAxTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(m_runtime.path().empty());
        m_runtime.pointEnv("XDG_RUNTIME_DIR");
    }
    std::string portDir() const { return m_runtime.file("tarn"); }
    std::string link(const std::string& name) const { return portDir() + "/" + name; }

    testsupport::TempDir m_runtime{"vport-test"};
};

TEST_F(TVSPortAxTest, CreatesLinkToPseudoTerminalAndDeleteRemovesIt) {
    TVSPortAx port;
    EXPECT_EQ(port.linkPath(), "");
    EXPECT_EQ(port.masterFd(), -1);
    ASSERT_TRUE(port.CreatePort(L"COM5"));
    port.SetWiring(32, 16, 0, 0);
    EXPECT_EQ(portDirectory(), portDir());
    EXPECT_EQ(port.linkPath(), link("COM5"));
    EXPECT_EQ(linkTarget(link("COM5")).value_or("").rfind("/dev/pts/", 0), 0u);
    struct stat st {};
    ASSERT_EQ(::stat(portDir().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_GE(port.masterFd(), 0);
    EXPECT_FALSE(port.isOpen()) << "nobody has opened the port yet";
    EXPECT_EQ(port.getProperty(TVSPortAx::kLocked), 0);
    EXPECT_EQ(portNameState("COM5"), PortNameState::Live);

    port.Delete();
    EXPECT_FALSE(fs::exists(fs::symlink_status(link("COM5"))));
    EXPECT_EQ(port.linkPath(), "");
    EXPECT_EQ(port.masterFd(), -1);
    EXPECT_EQ(portNameState("COM5"), PortNameState::Free);
    std::uint32_t count = 4;
    char buffer[4];
    EXPECT_FALSE(port.Read(buffer, &count));
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(fs::directory_iterator(portDir()), fs::directory_iterator()) << "nothing left behind";
}

TEST_F(TVSPortAxTest, OpenStateAndOutputLinesFollowTheApplicationOverManyCycles) {
    TVSPortAx port;
    ASSERT_TRUE(port.CreatePort(L"COM5"));
    for (int cycle = 0; cycle < 300; ++cycle) {
        SCOPED_TRACE(cycle);
        PtyApp app(port.linkPath());
        ASSERT_TRUE(app.ok()) << app.error();
        ASSERT_TRUE(waitUntil([&] { return port.isOpen(); }));
        EXPECT_EQ(port.getProperty(TVSPortAx::kPortOpen), 1);
        EXPECT_EQ(port.getProperty(TVSPortAx::kRts), 1);
        EXPECT_EQ(port.getProperty(TVSPortAx::kDtr), 1);
        if (cycle % 50 == 0) { // still carries data after many cycles
            const std::uint8_t ping = static_cast<std::uint8_t>(cycle);
            ASSERT_EQ(port.Write(&ping, 1), 1u);
            EXPECT_EQ(app.readExactly(1, 5s), std::vector<std::uint8_t>{ping});
        }
        app.close();
        ASSERT_TRUE(waitUntil([&] { return !port.isOpen(); }));
        EXPECT_FALSE(port.rts());
        EXPECT_FALSE(port.dtr());
    }
}

TEST_F(TVSPortAxTest, InputCountIsWhatTheApplicationWroteAndWasNotYetRead) {
    TVSPortAx port;
    ASSERT_TRUE(port.CreatePort(L"COM5"));
    PtyApp app(port.linkPath());
    ASSERT_TRUE(app.ok()) << app.error();
    EXPECT_EQ(port.inQueue(), 0u);
    const auto bytes = pattern(300, 1);
    ASSERT_EQ(app.writeAll(bytes.data(), bytes.size(), 5s), bytes.size());
    ASSERT_TRUE(waitUntil([&] { return port.inQueue() == 300; }));
    EXPECT_EQ(port.getProperty(TVSPortAx::kInQueue), 300);
    std::uint8_t buffer[100];
    std::uint32_t count = sizeof buffer;
    ASSERT_TRUE(port.Read(buffer, &count));
    EXPECT_EQ(count, 100u);
    EXPECT_EQ(port.inQueue(), 200u);
}

TEST_F(TVSPortAxTest, DataPassesBothWaysByteExact) {
    TVSPortAx port;
    ASSERT_TRUE(port.CreatePort(L"COM5"));
    PtyApp app(port.linkPath(), {4000000});
    ASSERT_TRUE(app.ok()) << app.error();
    ASSERT_TRUE(waitUntil([&] { return port.isOpen(); }));

    const auto toPort = pattern(64 * 1024, 7);
    const auto toApp = pattern(48 * 1024 + 13, 9);
    std::vector<std::uint8_t> gotByPort, gotByApp;
    std::size_t sentByApp = 0, sentByPort = 0;
    std::uint8_t buffer[512];
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while ((gotByPort.size() < toPort.size() || gotByApp.size() < toApp.size()) &&
           std::chrono::steady_clock::now() < deadline) {
        sentByApp += app.writeSome(toPort.data() + sentByApp, std::min<std::size_t>(700, toPort.size() - sentByApp));
        std::uint32_t count = sizeof buffer;
        ASSERT_TRUE(port.Read(buffer, &count));
        gotByPort.insert(gotByPort.end(), buffer, buffer + count);
        sentByPort += port.Write(toApp.data() + sentByPort,
                                 static_cast<std::uint32_t>(std::min<std::size_t>(512, toApp.size() - sentByPort)));
        const std::size_t n = app.readSome(buffer, sizeof buffer);
        gotByApp.insert(gotByApp.end(), buffer, buffer + n);
        if (count == 0 && n == 0)
            std::this_thread::yield();
    }
    EXPECT_TRUE(gotByPort == toPort) << gotByPort.size() << " of " << toPort.size();
    EXPECT_TRUE(gotByApp == toApp) << gotByApp.size() << " of " << toApp.size();
}

TEST_F(TVSPortAxTest, LineSettingsTheApplicationSetReadBack) {
    struct Case {
        PtyApp::Line line;
        int stopBits;
        const char* flow;
        int code;
    };
    const Case cases[] = {
        {{9600, false, false, false}, 0, "None", 0},     {{115200, true, false, false}, 2, "None", 0},
        {{19200, false, true, false}, 0, "Hardware", 2}, {{57600, false, false, true}, 0, "Xon/Xoff", 1},
        {{921600, true, true, true}, 2, "Hardware", 2},  {{300, false, false, false}, 0, "None", 0},
        {{4000000, false, false, false}, 0, "None", 0},
    };
    TVSPortAx port;
    ASSERT_TRUE(port.CreatePort(L"COM5"));
    PtyApp app(port.linkPath());
    ASSERT_TRUE(app.ok()) << app.error();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line.speed);
        ASSERT_TRUE(app.configure(c.line));
        EXPECT_EQ(port.getProperty(TVSPortAx::kBaudrate), c.line.speed);
        EXPECT_EQ(port.getProperty(TVSPortAx::kStopBits), c.stopBits);
        EXPECT_EQ(port.getProperty(TVSPortAx::kDatabits), 8);
        EXPECT_EQ(port.getProperty(TVSPortAx::kParity), 0);
        const auto h = static_cast<std::uint32_t>(port.getProperty(TVSPortAx::kControlHandShake));
        const auto f = static_cast<std::uint32_t>(port.getProperty(TVSPortAx::kFlowReplace));
        EXPECT_EQ(flowText(h, f), c.flow);
        EXPECT_EQ(flowCode(h, f), c.code);
    }

    // Seven data bits with odd parity: the driver keeps 8 and none, and so do we, whatever
    // bits it leaves behind.
    termios tio{};
    ASSERT_EQ(::tcgetattr(app.fd(), &tio), 0);
    tio.c_cflag = (tio.c_cflag & ~tcflag_t(CSIZE)) | CS7 | PARENB | PARODD;
    ASSERT_EQ(::tcsetattr(app.fd(), TCSANOW, &tio), 0);
    EXPECT_EQ(port.dataBits(), 8);
    EXPECT_EQ(port.parity(), 0);

    // The emulated rate is the port's own: the application's speed still reads back.
    ASSERT_TRUE(app.configure({38400}));
    port.setBaudRate(1200);
    EXPECT_EQ(port.baudRate(), 38400);
    EXPECT_EQ(port.emulatedBaudRate(), 1200);
    port.setProperty(TVSPortAx::kBaudrate, 2400);
    EXPECT_EQ(port.getProperty(TVSPortAx::kBaudrate), 38400);
    EXPECT_EQ(port.emulatedBaudRate(), 2400);
    port.setBaudRate(0);
    EXPECT_EQ(port.emulatedBaudRate(), 38400) << "0 follows the application's speed";
}

TEST_F(TVSPortAxTest, InputLinesAreStoredPerLine) {
    TVSPortAx port;
    EXPECT_FALSE(port.SetCTS(true)) << "no port yet";
    EXPECT_FALSE(port.cts());
    ASSERT_TRUE(port.CreatePort(L"COM5"));
    EXPECT_TRUE(port.SetCTS(true));
    EXPECT_TRUE(port.SetDCD(true));
    EXPECT_TRUE(port.cts());
    EXPECT_FALSE(port.dsr());
    EXPECT_TRUE(port.dcd());
    EXPECT_FALSE(port.ring());
    EXPECT_TRUE(port.SetRING(true));
    EXPECT_TRUE(port.SetDSR(true));
    EXPECT_TRUE(port.SetCTS(false));
    EXPECT_FALSE(port.cts());
    EXPECT_TRUE(port.dsr());
    EXPECT_TRUE(port.ring());
}

TEST_F(TVSPortAxTest, WriteTakesNothingWhileClosedAndTheNextApplicationStartsClean) {
    TVSPortAx port;
    ASSERT_TRUE(port.CreatePort(L"COM5"));
    EXPECT_EQ(port.Write("abc", 3), 0u) << "nobody to deliver to";
    {
        PtyApp app(port.linkPath());
        ASSERT_TRUE(app.ok()) << app.error();
        ASSERT_TRUE(waitUntil([&] { return port.isOpen(); }));
        EXPECT_EQ(port.Write("abc", 3), 3u);
    } // closed without reading
    ASSERT_TRUE(waitUntil([&] { return !port.isOpen(); }));
    EXPECT_EQ(port.Write("def", 3), 0u);
    PtyApp next(port.linkPath());
    ASSERT_TRUE(next.ok()) << next.error();
    ASSERT_TRUE(waitUntil([&] { return port.isOpen(); }));
    ASSERT_EQ(port.Write("Z", 1), 1u);
    EXPECT_EQ(next.readExactly(1, 5s), std::vector<std::uint8_t>{'Z'});
}

TEST_F(TVSPortAxTest, WriteNeverBlocksAndReportsWhatTheApplicationsInputTook) {
    TVSPortAx port;
    ASSERT_TRUE(port.CreatePort(L"COM5"));
    PtyApp app(port.linkPath());
    ASSERT_TRUE(app.ok()) << app.error();
    ASSERT_TRUE(waitUntil([&] { return port.isOpen(); }));
    const auto bytes = pattern(1 << 20, 3);
    std::size_t taken = 0;
    for (int calls = 0; calls < 4096 && taken < bytes.size(); ++calls) {
        const std::uint32_t n = port.Write(bytes.data() + taken, 512);
        taken += n;
        if (n == 0)
            break;
    }
    ASSERT_GT(taken, 0u);
    ASSERT_LT(taken, bytes.size()) << "an application that does not read must fill up";
    const auto got = app.readExactly(taken, 10s);
    ASSERT_EQ(got.size(), taken);
    EXPECT_TRUE(std::equal(got.begin(), got.end(), bytes.begin()));
    ASSERT_EQ(port.Write("Z", 1), 1u);
    EXPECT_EQ(app.readExactly(1, 5s), std::vector<std::uint8_t>{'Z'}) << "nothing beyond what Write reported";
}

// Moves bytes from the application through the port (or the other way) for a while at
// 9600 baud with strict pacing, and checks the count against what the rate allows.
TEST_F(TVSPortAxTest, StrictBaudRatePacesBothDirections) {
    TVSPortAx port;
    ASSERT_TRUE(port.CreatePort(L"COM5"));
    PtyApp app(port.linkPath(), {9600});
    ASSERT_TRUE(app.ok()) << app.error();
    ASSERT_TRUE(waitUntil([&] { return port.isOpen(); }));
    port.SetStrictBaudrate(true);
    EXPECT_TRUE(port.strictBaudrate());
    const auto bytes = pattern(10 * 1024, 5);
    // The burst allowance plus 960 characters a second, with slack for clock rounding.
    auto bound = [](double seconds) { return BaudBudget::kMinBurstChars + 960.0 * seconds + 8; };

    std::size_t written = 0, read = 0;
    std::vector<std::uint8_t> got;
    std::uint8_t buffer[512];
    const auto start = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - start < 200ms) {
        written += app.writeSome(bytes.data() + written, bytes.size() - written);
        std::uint32_t count = sizeof buffer;
        ASSERT_TRUE(port.Read(buffer, &count));
        got.insert(got.end(), buffer, buffer + count);
        std::this_thread::sleep_for(1ms);
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    read = got.size();
    EXPECT_GT(read, 0u);
    EXPECT_LE(static_cast<double>(read), bound(seconds));
    EXPECT_LT(read, bytes.size());

    std::size_t sent = 0;
    const auto start2 = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - start2 < 200ms) {
        sent += port.Write(bytes.data() + sent,
                           static_cast<std::uint32_t>(std::min<std::size_t>(512, bytes.size() - sent)));
        app.readSome(buffer, sizeof buffer);
        std::this_thread::sleep_for(1ms);
    }
    seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start2).count();
    EXPECT_GT(sent, 0u);
    EXPECT_LE(static_cast<double>(sent), bound(seconds));

    // A higher emulated rate lets the rest through; the application's speed is unchanged.
    port.setBaudRate(921600);
    EXPECT_EQ(port.baudRate(), 9600);
    ASSERT_TRUE(waitUntil(
        [&] {
            written += app.writeSome(bytes.data() + written, bytes.size() - written);
            std::uint32_t count = sizeof buffer;
            port.Read(buffer, &count);
            got.insert(got.end(), buffer, buffer + count);
            return got.size() == bytes.size();
        },
        20s));
    EXPECT_TRUE(got == bytes);
}

TEST(BaudBudgetTest, PacesToTheRateWithABoundedBurst) {
    constexpr std::int64_t kMs = 1'000'000;
    constexpr std::uint32_t kAll = 0xffffffffu;
    struct Case {
        const char* what;
        std::uint32_t baud, bits;
        std::int64_t idleNs; // after the first burst is spent
        std::uint32_t expected;
    };
    const Case cases[] = {
        {"one second at 9600 8N1", 9600, 10, 1000 * kMs, 512}, // capped at the minimum burst
        {"half a second at 9600 8N1", 9600, 10, 500 * kMs, 480},
        {"a second at 9600 8N2", 9600, 11, 1000 * kMs, 512},
        {"0.1 s at 9600 8N2", 9600, 11, 100 * kMs, 87},
        {"1 ms at 115200", 115200, 10, 1 * kMs, 11},
        {"idle second at 4M: 10 ms burst", 4000000, 10, 1000 * kMs, 4000},
        {"long idle at the highest rate", 0xffffffffu, 10, 3600'000 * kMs, 4294967},
        {"clock going back", 9600, 10, -5 * kMs, 0},
        {"rate 0 passes nothing", 0, 10, 1000 * kMs, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        BaudBudget budget;
        const std::uint32_t first = budget.available(0, c.baud, c.bits, kAll);
        budget.spend(first, c.bits);
        EXPECT_EQ(budget.available(0, c.baud, c.bits, kAll), 0u);
        EXPECT_EQ(budget.available(c.idleNs, c.baud, c.bits, kAll), c.expected);
    }
}

TEST(BaudBudgetTest, SustainsTheFullRateForAOneMillisecondPump) {
    for (const std::uint32_t baud : {9600u, 115200u, 921600u, 4000000u}) {
        SCOPED_TRACE(baud);
        BaudBudget budget;
        std::uint64_t moved = 0;
        const std::int64_t passNs = 1'100'000; // a 1 ms sleep that oversleeps a little
        const int passes = 20000;
        for (int i = 1; i <= passes; ++i) {
            const std::uint32_t n = budget.available(i * passNs, baud, 10, 512);
            budget.spend(n, 10);
            moved += n;
        }
        const double seconds = passes * passNs / 1e9;
        const double share = static_cast<double>(moved) / (baud / 10.0 * seconds);
        EXPECT_GE(share, 0.98);
        const double burst = std::max<double>(BaudBudget::kMinBurstChars, baud / 10.0 * BaudBudget::kBurstNs / 1e9);
        EXPECT_LE(static_cast<double>(moved), baud / 10.0 * seconds + burst);
    }
}

// A pump that sleeps until its next batch can pass: it moves the full rate in about one pass
// per batch, on time or woken late by less than the burst's margin, and never wakes early.
TEST(BaudBudgetTest, WaitingForTheNextBatchSustainsTheRateInFewPasses) {
    struct Case {
        std::uint32_t baud;
        std::uint32_t batch; // about 40 ms of the line, at most a chunk, a margin short of a burst
    };
    const Case cases[] = {{300, 1}, {9600, 38}, {115200, 384}, {921600, 461}, {4000000, 512}};
    for (const Case& c : cases) {
        EXPECT_EQ(BaudBudget::batchChars(c.baud, 10), c.batch) << c.baud;
        for (const std::int64_t lateNs : {std::int64_t{0}, std::int64_t{4'000'000}}) {
            SCOPED_TRACE(std::to_string(c.baud) + " baud, woken " + std::to_string(lateNs) + " ns late");
            BaudBudget budget;
            std::int64_t now = 0;
            std::uint64_t moved = 0;
            int passes = 0;
            const std::int64_t endNs = c.baud < 9600 ? 200'000'000'000 : 20'000'000'000;
            while (now < endNs) {
                const std::uint32_t n = budget.available(now, c.baud, 10, 512);
                budget.spend(n, 10);
                moved += n;
                ++passes;
                // No wait: the credit left holds another batch, and the next pass comes at once.
                const std::int64_t wait = budget.waitNs(now, c.baud, 10, c.batch);
                if (wait == 0) {
                    ASSERT_GE(budget.available(now, c.baud, 10, 512), c.batch);
                    continue;
                }
                EXPECT_LT(budget.available(now + wait - 1, c.baud, 10, 512), c.batch);
                EXPECT_GE(budget.available(now + wait, c.baud, 10, 512), c.batch);
                now += wait + lateNs;
            }
            const double lineChars = c.baud / 10.0 * static_cast<double>(now) / 1e9;
            EXPECT_GE(static_cast<double>(moved) / lineChars, 0.98);
            // Every pass moves at least a batch.
            EXPECT_LE(static_cast<std::uint64_t>(passes), moved / c.batch + 1);
        }
    }
    // Nothing passes at rate 0: a later look, never a spin.
    BaudBudget stalled;
    EXPECT_EQ(stalled.waitNs(0, 0, 10, 1), BaudBudget::kBatchNs);
}

TEST_F(TVSPortAxTest, StaleLinksOfOursAreReplaced) {
    ASSERT_EQ(::mkdir(portDir().c_str(), 0700), 0);
    fs::create_symlink(m_runtime.file("gone"), link("COM6"));
    EXPECT_EQ(portNameState("COM6"), PortNameState::Stale);
    TVSPortAx port;
    ASSERT_TRUE(port.CreatePort(L"COM6"));
    EXPECT_EQ(linkTarget(link("COM6")).value_or("").rfind("/dev/pts/", 0), 0u);

    // A process of ours that died without deleting its port: the link dangles.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::setenv("TARN_TEST_DIE_WITH_PORT", "1", 1);
        ::execl("/proc/self/exe", "tvs_port_ax_test", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    const auto deadTarget = linkTarget(link("COM7"));
    ASSERT_TRUE(deadTarget);
    EXPECT_EQ(portNameState("COM7"), PortNameState::Stale);

    // The kernel hands out the lowest free pseudo-terminal next, so the dead port's slave
    // number usually goes to the next program that asks: here, to us standing in for a
    // terminal window. Its link is still ours to replace; the other program's terminal is
    // not touched.
    std::vector<Pty> others;
    while (others.size() < 8) {
        auto pty = Pty::open();
        ASSERT_TRUE(pty);
        others.push_back(std::move(*pty));
        if (others.back().slavePath() == *deadTarget)
            break;
    }
    if (others.back().slavePath() == *deadTarget) {
        EXPECT_EQ(portNameState("COM7"), PortNameState::Stale);
    }
    TVSPortAx second;
    ASSERT_TRUE(second.CreatePort(L"COM7"));
    EXPECT_NE(linkTarget(link("COM7")), deadTarget);
    for (const Pty& other : others)
        EXPECT_NE(::fcntl(other.masterFd(), F_GETFD), -1);
    if (others.back().slavePath() != *deadTarget)
        GTEST_SKIP() << "the dead port's pseudo-terminal number went elsewhere; the reuse case was not exercised";
}

TEST_F(TVSPortAxTest, ForeignNamesAndBadNamesAreNeverTouched) {
    ASSERT_EQ(::mkdir(portDir().c_str(), 0700), 0);
    std::ofstream(link("COM8")) << "keep me";
    fs::create_symlink("/dev/null", link("COM9"));
    auto terminal = Pty::open(); // someone else's live pseudo-terminal, linked by them
    ASSERT_TRUE(terminal);
    fs::create_symlink(terminal->slavePath(), link("COM10"));
    fs::create_directory(link("COM11"));

    for (const char* name : {"COM8", "COM9", "COM10", "COM11"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(portNameState(name), PortNameState::Foreign);
        TVSPortAx port;
        EXPECT_FALSE(port.CreatePort(std::wstring(name, name + std::strlen(name))));
        EXPECT_FALSE(port.Attach(std::wstring(name, name + std::strlen(name))));
    }
    std::ifstream kept(link("COM8"));
    std::string text;
    std::getline(kept, text);
    EXPECT_EQ(text, "keep me");
    EXPECT_EQ(linkTarget(link("COM9")), "/dev/null");
    EXPECT_EQ(linkTarget(link("COM10")), terminal->slavePath());
    EXPECT_TRUE(fs::is_directory(link("COM11")));

    const std::size_t before = std::distance(fs::directory_iterator(portDir()), fs::directory_iterator());
    for (const wchar_t* name : {L"COM0", L"COM", L"../COM1", L"COM1/x", L"com1", L"COM01", L"COM123456", L"COM1 ",
                                L"COM\x00e9", L".COM1.lock"}) {
        TVSPortAx port;
        EXPECT_FALSE(port.CreatePort(name));
    }
    EXPECT_EQ(static_cast<std::size_t>(std::distance(fs::directory_iterator(portDir()), fs::directory_iterator())),
              before);
    EXPECT_FALSE(fs::exists(m_runtime.file("COM1")));
}

TEST_F(TVSPortAxTest, PortDirectoryMustBeAPrivateDirectoryOfOurs) {
    ASSERT_EQ(::mkdir(portDir().c_str(), 0755), 0);
    TVSPortAx port;
    ASSERT_TRUE(port.CreatePort(L"COM5"));
    struct stat st {};
    ASSERT_EQ(::stat(portDir().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u) << "opened up directory is closed down";
    port.Delete();

    // A link where the directory should be could send the port links anywhere.
    fs::remove_all(portDir());
    fs::create_directory(m_runtime.file("elsewhere"));
    fs::create_directory_symlink(m_runtime.file("elsewhere"), portDir());
    EXPECT_FALSE(port.CreatePort(L"COM5"));
    EXPECT_EQ(fs::directory_iterator(m_runtime.file("elsewhere")), fs::directory_iterator());

    ::unsetenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(portDirectory(), "/tmp/tarn-" + std::to_string(::getuid()));
}

TEST_F(TVSPortAxTest, APortLiveInAnotherProcessIsTakenUntilItGoes) {
    int ready[2], done[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(done), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        TVSPortAx port;
        const char made = port.CreatePort(L"COM12") ? 'y' : 'n';
        (void)!::write(ready[1], &made, 1);
        char go = 0;
        (void)!::read(done[0], &go, 1);
        port.Delete();
        ::_exit(0);
    }
    char made = 0;
    ASSERT_EQ(::read(ready[0], &made, 1), 1);
    ASSERT_EQ(made, 'y');
    const auto target = linkTarget(link("COM12"));
    EXPECT_EQ(portNameState("COM12"), PortNameState::Live);
    TVSPortAx port;
    EXPECT_FALSE(port.CreatePort(L"COM12"));
    EXPECT_FALSE(port.Attach(L"COM12")) << "only ports of this process can be attached";
    EXPECT_EQ(linkTarget(link("COM12")), target);

    ASSERT_EQ(::write(done[1], "x", 1), 1);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_EQ(portNameState("COM12"), PortNameState::Free);
    EXPECT_TRUE(port.CreatePort(L"COM12"));
    for (int fd : {ready[0], ready[1], done[0], done[1]})
        ::close(fd);
}

TEST_F(TVSPortAxTest, AttachSharesALivePortUntilTheLastHolderLetsGo) {
    TVSPortAx first, second, stranger;
    EXPECT_FALSE(stranger.Attach(L"COM13"));
    ASSERT_TRUE(first.CreatePort(L"COM13"));
    EXPECT_FALSE(second.CreatePort(L"COM13")) << "a live port of ours is attached, not created";
    ASSERT_TRUE(second.Attach(L"COM13"));
    EXPECT_EQ(second.linkPath(), first.linkPath());
    EXPECT_EQ(second.masterFd(), first.masterFd());

    PtyApp app(first.linkPath());
    ASSERT_TRUE(app.ok()) << app.error();
    ASSERT_TRUE(waitUntil([&] { return second.isOpen(); }));
    first.SetDSR(true);
    EXPECT_TRUE(second.dsr());

    first.Delete();
    EXPECT_TRUE(fs::is_symlink(link("COM13"))) << "the other holder still uses it";
    ASSERT_EQ(second.Write("q", 1), 1u);
    EXPECT_EQ(app.readExactly(1, 5s), std::vector<std::uint8_t>{'q'});
    second.Delete();
    EXPECT_FALSE(fs::exists(fs::symlink_status(link("COM13"))));

    // A file someone put in place of our link is not ours to remove.
    TVSPortAx third;
    ASSERT_TRUE(third.CreatePort(L"COM14"));
    fs::remove(link("COM14"));
    std::ofstream(link("COM14")) << "theirs";
    third.Delete();
    EXPECT_TRUE(fs::is_regular_file(link("COM14")));
}

// Pump threads move data while another thread reads properties without any lock, and the
// port is let go while it is still being read; run under ThreadSanitizer.
TEST_F(TVSPortAxTest, PropertiesAreSafeToReadWhilePumpsRunAndThePortGoes) {
    TVSPortAx port;
    ASSERT_TRUE(port.CreatePort(L"COM5"));
    PtyApp app(port.linkPath(), {921600});
    ASSERT_TRUE(app.ok()) << app.error();
    ASSERT_TRUE(waitUntil([&] { return port.isOpen(); }));
    port.SetStrictBaudrate(true);

    std::atomic<bool> stop{false};
    std::atomic<std::int64_t> sink{0};
    std::thread reader([&] {
        while (!stop) {
            std::int64_t sum = 0;
            for (int index : {7, 8, 22, 27, 28, 29, 30, 31, 32, 44, 45})
                sum += port.getProperty(index);
            sum += port.cts() + port.masterFd() + static_cast<std::int64_t>(port.linkPath().size());
            sink += sum;
        }
    });
    std::thread pump([&] {
        std::uint8_t buffer[512] = {};
        for (int i = 0; i < 2000; ++i) {
            std::uint32_t count = sizeof buffer;
            port.Read(buffer, &count);
            port.Write(buffer, sizeof buffer);
            port.setBaudRate(i % 2 ? 921600 : 460800);
            port.SetCTS(i % 2);
        }
    });
    std::thread application([&] {
        std::uint8_t buffer[512] = {};
        while (!stop) {
            app.writeSome(buffer, sizeof buffer);
            app.readSome(buffer, sizeof buffer);
            std::this_thread::yield();
        }
    });
    pump.join();
    port.Delete();
    EXPECT_EQ(port.getProperty(TVSPortAx::kPortOpen), 0);
    stop = true;
    reader.join();
    application.join();
}

} // namespace
