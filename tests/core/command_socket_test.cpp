// The control channel's line format and its socket side on real Unix sockets: the socket
// file's life, one request at a time per client, long answers at the reader's pace, and
// clients that send too much, read nothing, say nothing or belong to another user.

#include <atomic>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <mutex>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "core/command_client.h"
#include "core/command_protocol.h"
#include "core/command_socket.h"
#include "support/temp_dir.h"
#include "support/wait.h"

namespace {

using namespace std::chrono_literals;
using core::ControlChannel;

TEST(ControlLine, FieldsSurviveEscapingAndHostileLinesAreRefused) {
    const std::vector<std::string> fields = {"refused", "Please give valid Port Number(s).\nNext\n", "a\tb\\c\r", ""};
    const std::string line = core::joinLine(fields);
    ASSERT_EQ(line.find('\n'), line.size() - 1) << "one line whatever the texts hold";
    EXPECT_EQ(core::splitLine(std::string_view(line).substr(0, line.size() - 1)), fields);
    EXPECT_EQ(core::splitLine("list\r"), std::vector<std::string>{"list"});
    EXPECT_EQ(core::splitLine("a\t\tb"), (std::vector<std::string>{"a", "", "b"}));

    for (const std::string& bad : {std::string("a\\x"), std::string("a\\"), std::string("a\0b", 3),
                                   std::string("a\x1b[2J"), std::string("a\rb")}) {
        SCOPED_TRACE(bad);
        EXPECT_FALSE(core::splitLine(bad).has_value());
    }
}

class Channel : public ::testing::Test {
protected:
    // A handler that keeps what it is handed; the test answers.
    std::unique_ptr<ControlChannel> openKeeping(const ControlChannel::Limits& limits = {}) {
        auto channel = ControlChannel::open(
            m_path,
            [this](ControlChannel&, ControlChannel::ClientId client, std::string line) {
                std::lock_guard guard(m_mutex);
                m_requests.emplace_back(client, std::move(line));
            },
            limits);
        EXPECT_TRUE(channel) << channel.error();
        return channel ? std::move(channel.value()) : nullptr;
    }
    std::vector<std::pair<ControlChannel::ClientId, std::string>> waitRequests(std::size_t count) {
        testsupport::waitUntil(
            [&] {
                std::lock_guard guard(m_mutex);
                return m_requests.size() >= count;
            },
            10s);
        std::lock_guard guard(m_mutex);
        return m_requests;
    }
    int rawConnect() {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", m_path.c_str());
        EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        return fd;
    }

    testsupport::TempDir m_dir{"channel"};
    const std::string m_path = m_dir.file("tarn.sock");
    std::mutex m_mutex;
    std::vector<std::pair<ControlChannel::ClientId, std::string>> m_requests;
};

TEST_F(Channel, ReplacesAStaleSocketIsOwnerOnlyAndRemovesOnlyItsOwnFile) {
    {
        // What a killed owner leaves: a socket file nobody listens on.
        const int stale = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", m_path.c_str());
        ASSERT_EQ(::bind(stale, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        ::close(stale);
    }
    auto channel = openKeeping();
    struct stat st {};
    ASSERT_EQ(::lstat(m_path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    core::ControlClient client;
    EXPECT_TRUE(client.connect(m_path)) << "cannot reach the program";

    // A successor's socket under the same name outlives this channel.
    ASSERT_EQ(::rename(m_path.c_str(), (m_path + ".old").c_str()), 0);
    std::ofstream(m_path) << "successor";
    channel.reset();
    EXPECT_TRUE(std::filesystem::exists(m_path));
    std::filesystem::remove(m_path);

    // Something that is no socket is never replaced.
    std::ofstream(m_path) << "not ours";
    const auto refused = ControlChannel::open(m_path, [](ControlChannel&, ControlChannel::ClientId, std::string) {});
    ASSERT_FALSE(refused);
    EXPECT_NE(refused.error().find("no socket"), std::string::npos) << refused.error();
    std::filesystem::remove(m_path);
    channel = openKeeping();
    channel.reset();
    EXPECT_FALSE(std::filesystem::exists(m_path)) << "its own file goes with it";
}

TEST_F(Channel, OneRequestAtATimePerClientAndOverlongLinesAreRefusedWhole) {
    ControlChannel::Limits limits;
    limits.maxLine = 64;
    auto channel = openKeeping(limits);
    core::ControlClient client;
    ASSERT_TRUE(client.connect(m_path));
    // Sent at once: the second waits for the first's final answer.
    ASSERT_TRUE(client.send({"first"}) && client.send({std::string(200, 'x')}) && client.send({"second"}));
    auto seen = waitRequests(1);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].second, "first");
    {
        std::lock_guard guard(m_mutex);
        EXPECT_EQ(m_requests.size(), 1u) << "a second request was handed on before the first was answered";
    }
    channel->reply(seen[0].first, core::joinLine({"data"}), false);
    channel->reply(seen[0].first, core::joinLine({"ok"}));
    EXPECT_EQ(client.readLine(10s), std::vector<std::string>{"data"});
    EXPECT_EQ(client.readLine(10s), std::vector<std::string>{"ok"});
    EXPECT_EQ(client.readLine(10s), (std::vector<std::string>{"error", "request line too long"}));
    seen = waitRequests(2);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1].second, "second") << "the over-long line was dropped whole";

    // A client that half-closes after its request still gets its answer.
    const int raw = rawConnect();
    ASSERT_EQ(::write(raw, "last", 4), 4); // no LF: the end of input ends the line
    ::shutdown(raw, SHUT_WR);
    seen = waitRequests(3);
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[2].second, "last");
    channel->reply(seen[2].first, "ok\n");
    char answer[8] = {};
    pollfd p{raw, POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 10000), 1);
    EXPECT_EQ(::read(raw, answer, sizeof answer), 3);
    EXPECT_STREQ(answer, "ok\n");
    ::close(raw);
}

TEST_F(Channel, StreamsMoveAtTheReadersPaceAndAClientThatReadsNothingIsDropped) {
    ControlChannel::Limits limits;
    limits.maxPending = 256 << 10;
    auto channel = openKeeping(limits);

    // Rows worth about twenty times the pending limit, pulled as the client reads.
    constexpr std::size_t kTotal = 512 << 10;
    core::ControlClient reader;
    ASSERT_TRUE(reader.connect(m_path));
    ASSERT_TRUE(reader.send({"big"}));
    auto seen = waitRequests(1);
    ASSERT_EQ(seen.size(), 1u);
    auto produced = std::make_shared<std::size_t>(0);
    channel->stream(seen[0].first, [produced](std::string& out, std::size_t room) {
        while (out.size() < room && *produced < kTotal) {
            out += core::joinLine({"row", std::to_string(*produced)});
            ++*produced;
        }
        if (*produced < kTotal)
            return true;
        out += "ok\n";
        return false;
    });

    // Meanwhile a client that never reads asks for an answer beyond the limit.
    const int sleeper = rawConnect();
    ASSERT_EQ(::write(sleeper, "hog\n", 4), 4);
    seen = waitRequests(2);
    ASSERT_EQ(seen.size(), 2u);
    channel->reply(seen[1].first, std::string(1 << 20, 'z') + "\n");

    std::size_t rows = 0;
    for (;;) {
        auto line = reader.readLine(10s);
        ASSERT_TRUE(line) << "after " << rows << " rows";
        if (line->front() == "ok")
            break;
        ASSERT_EQ((*line)[1], std::to_string(rows));
        ++rows;
    }
    EXPECT_EQ(rows, kTotal);

    // The sleeper's connection was closed: what it can read ends before the whole answer.
    std::size_t got = 0;
    char buffer[65536];
    for (;;) {
        pollfd p{sleeper, POLLIN, 0};
        ASSERT_EQ(::poll(&p, 1, 10000), 1);
        const ssize_t n = ::read(sleeper, buffer, sizeof buffer);
        if (n <= 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    EXPECT_LT(got, std::size_t{1} << 20);
    ::close(sleeper);
}

// Whether the channel has closed `fd`: what it reads ends (within the wait's limit).
bool closedByChannel(int fd) {
    char buffer[256];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 10000) != 1)
            return false;
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0)
            return n == 0 || errno == ECONNRESET;
    }
}

// Idle connections cannot keep tarnctl out: silent ones and half lines are dropped after the
// idle limit, while a client waiting for its answer stays.
TEST_F(Channel, IdleClientsAreDroppedAndFreeTheirPlaces) {
    ControlChannel::Limits limits;
    limits.maxClients = 3;
    limits.idleLimit = 300ms;
    auto channel = openKeeping(limits);
    const int waiting = rawConnect();
    ASSERT_EQ(::write(waiting, "slow\n", 5), 5);
    const auto seen = waitRequests(1);
    ASSERT_EQ(seen.size(), 1u);
    const int silent = rawConnect();
    const int halfLine = rawConnect();
    ASSERT_EQ(::write(halfLine, "li", 2), 2);
    const int oneTooMany = rawConnect();
    EXPECT_TRUE(closedByChannel(oneTooMany)) << "a fourth client while three are served";

    EXPECT_TRUE(closedByChannel(silent));
    EXPECT_TRUE(closedByChannel(halfLine));
    core::ControlClient next;
    ASSERT_TRUE(next.connect(m_path));
    ASSERT_TRUE(next.send({"list"}));
    EXPECT_EQ(waitRequests(2).size(), 2u) << "the freed place serves a new client";

    // Far past the idle limit, the first client's answer still reaches it.
    channel->reply(seen[0].first, core::joinLine({"ok", "late"}));
    char answer[16] = {};
    pollfd p{waiting, POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 10000), 1);
    EXPECT_EQ(std::string(answer, static_cast<std::size_t>(::read(waiting, answer, sizeof answer))), "ok\tlate\n");
    for (int fd : {waiting, silent, halfLine, oneTooMany})
        ::close(fd);
}

// Even where the socket's permissions let another user in, the channel closes on them.
TEST_F(Channel, AnotherUsersConnectionIsClosed) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to act as another user";
    auto channel = openKeeping();
    ASSERT_EQ(::chmod(m_dir.path().c_str(), 0777), 0);
    ASSERT_EQ(::chmod(m_path.c_str(), 0666), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0)
            ::_exit(2);
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", m_path.c_str());
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            ::_exit(3);
        (void)!::send(fd, "list\n", 5, MSG_NOSIGNAL);
        ::_exit(closedByChannel(fd) ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    EXPECT_TRUE(m_requests.empty()) << "another user's request was handed on";
}

} // namespace
