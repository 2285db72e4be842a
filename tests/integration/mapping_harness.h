#pragma once
// Shared pieces of the end-to-end mapping tests: private folders for the port links and the
// mapping file, the core run in-process with the test thread as its main loop, an
// application on COM<n>, and loopback peers. Header-only: each test file is its own program.

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <optional>
#include <poll.h>
#include <signal.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

#include "core/command_client.h"
#include "core/program_core.h"
#include "model/mapping_lists.h"
#include "model/tarn_desc.h"
#include "support/core_probe.h"
#include "support/desc.h"
#include "support/netns.h"
#include "support/socket.h"
#include "support/stepped_time.h"
#include "support/temp_dir.h"
#include "support/wait.h"

namespace mapping_test {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testsupport::makeDesc;

// Deadlines are generous: they only bound a failing test, a passing one never waits them out.
inline constexpr auto kDeadline = 30s;

// Temporary XDG folders: the port links and the mapping file of this test only.
class TempHome {
public:
    TempHome() {
        std::filesystem::create_directories(m_dir.pointEnv("XDG_RUNTIME_DIR", "run"));
        std::filesystem::create_directories(m_dir.pointEnv("XDG_CONFIG_HOME", "config"));
    }

    const std::string& root() const { return m_dir.path(); }
    std::string portLink(int com) const { return m_dir.file("run/tarn/COM" + std::to_string(com)); }
    std::string mappingFile() const { return m_dir.file("config/tarn/79828669767684658278"); }
    std::string controlSocket() const { return m_dir.file("run/tarn/tarn.sock"); }

private:
    testsupport::TempDir m_dir{"e2e"};
};

inline std::vector<std::uint8_t> readFileBytes(const std::string& path) {
    std::vector<std::uint8_t> bytes;
    if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
        std::uint8_t buffer[4096];
        std::size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0)
            bytes.insert(bytes.end(), buffer, buffer + n);
        std::fclose(f);
    }
    return bytes;
}

inline bool writeFileBytes(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        return false;
    const bool ok = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

// Every byte value, then a pseudo-random tail: a corrupted, dropped or repeated byte anywhere
// shows up as a mismatch.
inline std::vector<std::uint8_t> testPattern(std::size_t size, std::uint32_t seed) {
    std::vector<std::uint8_t> data(size);
    std::uint32_t state = seed * 2654435761u + 1;
    for (std::size_t i = 0; i < size; ++i) {
        if (i < 512) {
            data[i] = static_cast<std::uint8_t>(i);
        } else {
            state = state * 1664525u + 1013904223u;
            data[i] = static_cast<std::uint8_t>(state >> 24);
        }
    }
    return data;
}

// Where two byte streams first differ, for a readable failure.
inline std::string firstDifference(const std::vector<std::uint8_t>& want, const std::vector<std::uint8_t>& got) {
    const std::size_t n = std::min(want.size(), got.size());
    for (std::size_t i = 0; i < n; ++i) {
        if (want[i] != got[i])
            return "first difference at byte " + std::to_string(i) + " of " + std::to_string(want.size());
    }
    if (want.size() != got.size())
        return "sizes differ: want " + std::to_string(want.size()) + ", got " + std::to_string(got.size());
    return "equal";
}

// The program core run in-process: the test thread is its main loop.
class CoreUnderTest {
public:
    explicit CoreUnderTest(bool runStartUp = false) : CoreUnderTest(testOptions(runStartUp)) {}
    // The mappings count time by this core's own time, which the test may move on.
    explicit CoreUnderTest(core::CoreOptions options) {
        options.time = &m_time;
        m_core = std::make_unique<core::ProgramCore>(options);
        m_core->start();
    }
    ~CoreUnderTest() { m_core->shutDown(); }
    CoreUnderTest(const CoreUnderTest&) = delete;
    CoreUnderTest& operator=(const CoreUnderTest&) = delete;

    static core::CoreOptions testOptions(bool runStartUp) {
        core::CoreOptions options;
        options.pinToFirstCpu = false; // the test's own peers need the other processor
        options.runStartUpCommand = runStartUp;
        options.workerPeriod = 50ms;
        return options;
    }

    core::ProgramCore& operator*() { return *m_core; }
    testsupport::SteppedTime& time() { return m_time; }
    core::ProgramCore* operator->() { return m_core.get(); }

    // Runs the main loop until `done` holds or the deadline passes.
    bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds limit = kDeadline) {
        const auto deadline = Clock::now() + limit;
        for (;;) {
            m_core->mainLoop().drain();
            if (done())
                return true;
            if (Clock::now() >= deadline)
                return false;
            m_core->mainLoop().waitAndDrain(5ms);
        }
    }

    std::size_t countMappingLog(const std::string& text) {
        std::size_t n = 0;
        for (const auto& row : m_core->mappingLog().rows())
            n += row.text == text ? 1 : 0;
        return n;
    }
    bool waitForLogCount(const std::string& text, std::size_t count) {
        return waitFor([&] { return countMappingLog(text) >= count; });
    }
    TARNINFO* mapping(int com) {
        const int position = core::ProgramCoreProbe::lists(*m_core).findByCom(com);
        return position < 0 ? nullptr
                            : core::ProgramCoreProbe::lists(*m_core).mappings[static_cast<std::size_t>(position)].get();
    }

protected:
    testsupport::SteppedTime m_time; // before the core, which counts by it
    std::unique_ptr<core::ProgramCore> m_core;
};

// A core in a private folder serving its control channel; the test thread is its main loop.
class ControlChannelTest : public ::testing::Test {
protected:
    using Fields = std::vector<std::string>;

    // Makes the core from `options` with the folder's file and socket; the test starts it.
    void makeCore(core::CoreOptions options) {
        options.pinToFirstCpu = false;
        options.runStartUpCommand = false;
        options.mappingFile = m_dir.file("mappings");
        options.controlChannel = true;
        options.controlSocket = m_dir.file("tarn.sock");
        m_core.emplace(options);
    }
    void TearDown() override { m_core.reset(); }

    // One answer line; the main loop runs meanwhile, while `client` waits on its own thread.
    std::optional<Fields> answer(core::ControlClient& client) {
        std::optional<Fields> line;
        std::atomic<bool> done{false};
        std::thread reader([&] {
            line = client.readLine(30s);
            done = true;
        });
        const auto deadline = Clock::now() + 30s;
        while (!done && Clock::now() < deadline)
            m_core->mainLoop().waitAndDrain(5ms);
        reader.join();
        return line;
    }
    core::ControlClient connect() {
        core::ControlClient client;
        EXPECT_TRUE(client.connect(m_dir.file("tarn.sock"))) << "the core's control channel does not answer";
        return client;
    }

    testsupport::TempDir m_dir{"channel"};
    std::optional<core::ProgramCore> m_core;
};

// The loops behind the port's and the sockets' whole transfers: `io` moves up to `count`
// bytes without blocking; while it would block, the loop waits on `fd` until the deadline.
inline bool writeLoop(int fd, std::size_t size, std::chrono::milliseconds limit,
                      const std::function<ssize_t(std::size_t done, std::size_t count)>& io) {
    const auto deadline = Clock::now() + limit;
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = io(done, size - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if ((n < 0 && errno != EAGAIN && errno != EINTR) || Clock::now() >= deadline)
            return false;
        pollfd p{fd, POLLOUT, 0};
        ::poll(&p, 1, 10);
    }
    return true;
}
// Returns what arrived: `size` bytes, or fewer at the deadline or, with `endOnZero`, at the
// end of the stream.
inline std::vector<std::uint8_t> readLoop(int fd, std::size_t size, std::chrono::milliseconds limit, bool endOnZero,
                                          const std::function<ssize_t(std::uint8_t* into, std::size_t count)>& io) {
    std::vector<std::uint8_t> got;
    const auto deadline = Clock::now() + limit;
    std::uint8_t buffer[16384];
    while (got.size() < size) {
        const ssize_t n = io(buffer, std::min(sizeof buffer, size - got.size()));
        if (n > 0) {
            got.insert(got.end(), buffer, buffer + n);
            continue;
        }
        if ((n == 0 && endOnZero) || Clock::now() >= deadline)
            break;
        pollfd p{fd, POLLIN, 0};
        ::poll(&p, 1, 10);
    }
    return got;
}

inline speed_t speedCode(std::uint32_t baud) {
    switch (baud) {
    case 9600:
        return B9600;
    case 115200:
        return B115200;
    case 921600:
        return B921600;
    default:
        return B4000000;
    }
}

// An application on COM<n>: opens the link as a terminal program does (O_RDWR|O_NOCTTY),
// raw, at a given speed. Reopenable, so a test can close and open the port again.
class AppPort {
public:
    AppPort() = default;
    ~AppPort() { close(); }
    AppPort(const AppPort&) = delete;
    AppPort& operator=(const AppPort&) = delete;

    bool open(const std::string& link, std::uint32_t baud) {
        close();
        m_fd = ::open(link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (m_fd < 0)
            return false;
        termios tio{};
        if (::tcgetattr(m_fd, &tio) != 0)
            return false;
        ::cfmakeraw(&tio);
        ::cfsetispeed(&tio, speedCode(baud));
        ::cfsetospeed(&tio, speedCode(baud));
        return ::tcsetattr(m_fd, TCSANOW, &tio) == 0;
    }
    // Takes an open descriptor (a pseudo-terminal's master, say) as its own, non-blocking.
    void adopt(int fd) {
        close();
        m_fd = fd;
        ::fcntl(m_fd, F_SETFL, ::fcntl(m_fd, F_GETFL) | O_NONBLOCK);
    }
    void close() {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }
    bool isOpen() const { return m_fd >= 0; }
    int fd() const { return m_fd; }

    // Writes everything, waiting for room; false when the deadline passes first.
    bool writeAll(const std::uint8_t* data, std::size_t size, std::chrono::milliseconds limit = kDeadline) {
        return writeLoop(m_fd, size, limit, [&](std::size_t done, std::size_t count) {
            return ::write(m_fd, data + done, std::min<std::size_t>(count, 4096));
        });
    }
    bool writeAll(const std::vector<std::uint8_t>& data) { return writeAll(data.data(), data.size()); }

    // Reads until `size` bytes arrived or the deadline passed; returns what arrived.
    std::vector<std::uint8_t> readExactly(std::size_t size, std::chrono::milliseconds limit = kDeadline) {
        return readLoop(m_fd, size, limit, false,
                        [&](std::uint8_t* into, std::size_t count) { return ::read(m_fd, into, count); });
    }
    // Bytes waiting to be read right now.
    int available() const {
        int n = 0;
        ::ioctl(m_fd, FIONREAD, &n);
        return n;
    }

private:
    int m_fd = -1;
};

// The prologue of an end-to-end mapping test: a private network namespace, private folders,
// the core in-process, and an application's end of a port.
class MappingTest : public ::testing::Test {
protected:
    void SetUp() override {
        TARN_REQUIRE_PRIVATE_NETNS();
        m_home = std::make_unique<TempHome>();
        m_core = std::make_unique<CoreUnderTest>();
    }
    void TearDown() override {
        m_app.close();
        m_core.reset();
        m_home.reset();
    }

    void addMapping(const tarnDesc& desc) {
        const core::CommandOutcome outcome = (**m_core).addMapping(desc);
        ASSERT_TRUE(outcome.ok()) << outcome.error();
    }

    std::unique_ptr<TempHome> m_home;
    std::unique_ptr<CoreUnderTest> m_core;
    AppPort m_app;
};

using Sock = testsupport::Fd;
using testsupport::loopback;

inline Sock tcpListen(std::uint16_t port) {
    Sock s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const int on = 1;
    ::setsockopt(s.fd(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    const sockaddr_in sa = loopback(port);
    if (::bind(s.fd(), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0 || ::listen(s.fd(), 4) != 0)
        return Sock();
    return s;
}

// Accepts one connection, waiting up to the deadline.
inline Sock tcpAccept(const Sock& listener, std::chrono::milliseconds limit = kDeadline) {
    pollfd p{listener.fd(), POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(limit.count())) <= 0)
        return Sock();
    return Sock(::accept4(listener.fd(), nullptr, nullptr, SOCK_CLOEXEC));
}

// Connects to a local port, retrying while nothing listens yet.
inline Sock tcpConnect(std::uint16_t port, std::chrono::milliseconds limit = kDeadline) {
    Sock s;
    const sockaddr_in sa = loopback(port);
    const bool connected = testsupport::waitUntil(
        [&] {
            s = Sock(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
            return ::connect(s.fd(), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0;
        },
        limit);
    return connected ? std::move(s) : Sock();
}

// An integer socket option as the kernel holds it; -1 when it cannot be read.
inline int intOption(int fd, int level, int option) {
    int value = 0;
    socklen_t length = sizeof value;
    return ::getsockopt(fd, level, option, &value, &length) == 0 ? value : -1;
}

// Receives until what arrived ends with `tail` (earlier bytes of a lost connection may come
// first); returns everything received, which ends with `tail` unless the deadline passed.
inline std::vector<std::uint8_t> recvUntilTail(int fd, const std::vector<std::uint8_t>& tail,
                                               std::chrono::milliseconds limit = kDeadline) {
    std::vector<std::uint8_t> got;
    const auto deadline = Clock::now() + limit;
    auto done = [&] {
        return got.size() >= tail.size() &&
               std::equal(tail.begin(), tail.end(), got.end() - static_cast<std::ptrdiff_t>(tail.size()));
    };
    std::uint8_t buffer[16384];
    while (!done() && Clock::now() < deadline) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0) {
            got.insert(got.end(), buffer, buffer + n);
            continue;
        }
        if (n == 0)
            break;
        pollfd p{fd, POLLIN, 0};
        ::poll(&p, 1, 10);
    }
    return got;
}

// A client of a Unix stream socket, such as the running program's control socket.
inline Sock unixConnect(const std::string& path) {
    Sock s(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    if (::connect(s.fd(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        return Sock();
    return s;
}

inline Sock udpBound(std::uint16_t port) {
    Sock s(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    const sockaddr_in sa = loopback(port);
    if (::bind(s.fd(), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0)
        return Sock();
    return s;
}

inline bool sendAll(int fd, const std::uint8_t* data, std::size_t size, std::chrono::milliseconds limit = kDeadline) {
    return writeLoop(fd, size, limit, [&](std::size_t done, std::size_t count) {
        return ::send(fd, data + done, count, MSG_NOSIGNAL | MSG_DONTWAIT);
    });
}

inline std::vector<std::uint8_t> recvExactly(int fd, std::size_t size, std::chrono::milliseconds limit = kDeadline) {
    return readLoop(fd, size, limit, true,
                    [&](std::uint8_t* into, std::size_t count) { return ::recv(fd, into, count, MSG_DONTWAIT); });
}

// Sends `size` bytes from a TCP peer to an application, then back; both must arrive whole.
inline void exchangeInTurn(AppPort& app, const Sock& peer, std::size_t size, std::uint32_t seed) {
    const auto toApp = testPattern(size, seed);
    const auto toNet = testPattern(size, seed + 1);
    ASSERT_TRUE(sendAll(peer.fd(), toApp.data(), toApp.size()));
    const auto atApp = app.readExactly(toApp.size());
    EXPECT_TRUE(atApp == toApp) << firstDifference(toApp, atApp);
    ASSERT_TRUE(app.writeAll(toNet));
    const auto atPeer = recvExactly(peer.fd(), toNet.size());
    EXPECT_TRUE(atPeer == toNet) << firstDifference(toNet, atPeer);
}

// The application writes `text`; the UDP peer must receive it as it was.
inline void expectDatagram(AppPort& app, const Sock& peer, const std::string& text) {
    ASSERT_TRUE(app.writeAll(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
    const auto datagram = recvExactly(peer.fd(), text.size());
    EXPECT_EQ(std::string(datagram.begin(), datagram.end()), text);
}

// A program the test started; ended by its PID (SIGKILL if still running) on destruction.
class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess() {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            int status;
            ::waitpid(m_pid, &status, 0);
        }
        if (m_out >= 0)
            ::close(m_out);
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts argv[0] (searched in PATH); with `captureOutput` its standard output comes back
    // through output(), its standard error goes to ours.
    bool start(const std::vector<std::string>& argv, bool captureOutput = false) {
        int fds[2] = {-1, -1};
        if (captureOutput && ::pipe2(fds, O_CLOEXEC) != 0)
            return false;
        m_pid = testsupport::startProgram(argv, -1, fds[1]);
        if (m_pid < 0)
            return false;
        if (captureOutput) {
            ::close(fds[1]);
            m_out = fds[0];
            ::fcntl(m_out, F_SETFL, O_NONBLOCK);
        }
        return true;
    }
    pid_t pid() const { return m_pid; }

    // Shrinks the captured output's pipe to one page, so a test that stops reading stalls the
    // program's output after a few lines.
    bool shrinkOutputPipe() { return m_out >= 0 && ::fcntl(m_out, F_SETPIPE_SZ, 4096) >= 0; }
    // Bytes the program wrote that nobody has read yet.
    int unreadOutput() const {
        int n = 0;
        return m_out >= 0 && ::ioctl(m_out, FIONREAD, &n) == 0 ? n : -1;
    }

    // Everything the program printed so far.
    const std::string& output() {
        char buffer[4096];
        ssize_t n;
        while (m_out >= 0 && (n = ::read(m_out, buffer, sizeof buffer)) > 0)
            m_output.append(buffer, static_cast<std::size_t>(n));
        return m_output;
    }
    std::vector<std::string> outputLines() {
        std::vector<std::string> lines;
        const std::string& all = output();
        std::size_t start = 0, end;
        while ((end = all.find('\n', start)) != std::string::npos) {
            lines.push_back(all.substr(start, end - start));
            start = end + 1;
        }
        return lines;
    }

    // Whether the program printed `text` as a whole line; a log row's "HH:MM:SS " is skipped.
    bool printed(const std::string& text, bool logRow = false) {
        for (const auto& line : outputLines()) {
            if (logRow ? line.size() > 9 && line.compare(9, std::string::npos, text) == 0 : line == text)
                return true;
        }
        return false;
    }

    // Sends `sig` and waits for the end; returns the wait status, or -1 at the deadline.
    int stop(int sig = SIGTERM, std::chrono::milliseconds limit = kDeadline) {
        if (m_pid <= 0)
            return -1;
        ::kill(m_pid, sig);
        return waitExit(limit);
    }
    int waitExit(std::chrono::milliseconds limit = kDeadline) {
        int status = 0;
        if (!testsupport::waitUntil([&] { return ::waitpid(m_pid, &status, WNOHANG) == m_pid; }, limit))
            return -1;
        m_pid = -1;
        output();
        return status;
    }

private:
    pid_t m_pid = -1;
    int m_out = -1;
    std::string m_output;
};

// Runs argv to its end and returns what it printed, with "exit STATUS" after it when it
// failed and "timed out" when it did not end in `limit`.
inline std::string runToEnd(const std::vector<std::string>& argv, std::chrono::milliseconds limit = 30s) {
    ChildProcess child;
    if (!child.start(argv, true))
        return "cannot start";
    const int status = child.waitExit(limit);
    std::string out = child.output();
    if (status == -1)
        out += "timed out";
    else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        out += "exit " + std::to_string(status);
    return out;
}

// What a shell script does with a serial port: `printf '%s' TEXT > LINK`, the port opened,
// written and closed again at once. Returns what runToEnd does (empty when it succeeded).
inline std::string shellWrite(const std::string& text, const std::string& link) {
    return runToEnd({"sh", "-c", "printf '%s' \"$1\" > \"$2\"", "sh", text, link});
}

// Runs `work` on its own thread; join() waits for it.
class Background {
public:
    explicit Background(std::function<void()> work) : m_thread(std::move(work)) {}
    ~Background() { join(); }
    void join() {
        if (m_thread.joinable())
            m_thread.join();
    }

private:
    std::thread m_thread;
};

} // namespace mapping_test
