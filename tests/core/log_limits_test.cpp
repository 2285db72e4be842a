// Logging that holds nothing up: message logs that keep only their most recent rows while
// readers go on by sequence, the output queue in front of a stalled pipe, and the main-loop
// queue without an eventfd or with a wait that would wrap.

#include <atomic>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <optional>
#include <poll.h>
#include <regex>
#include <sstream>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "../integration/mapping_harness.h"
#include "core/command_client.h"
#include "core/event_queue.h"
#include "core/log_output.h"
#include "core/message_logs.h"
#include "core/program_core.h"
#include "support/wait.h"

namespace {

using testsupport::waitUntil;

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// The number in a row text "r<n>..."; -1 when it is not one.
long rowNumber(const std::string& text) {
    if (text.size() < 2 || text[0] != 'r')
        return -1;
    return std::strtol(text.c_str() + 1, nullptr, 10);
}

TEST(MessageLogLimit, KeepsTheMostRecentRowsAndAReaderBySequenceMissesOnlyTheDiscarded) {
    constexpr std::size_t kLimit = 16;
    constexpr long kRows = 20000;
    core::MessageLog log(kLimit);
    EXPECT_EQ(log.limit(), kLimit);

    // A reader that goes on from where it was while a writer appends much faster than it
    // reads: it sees rows in order, never twice, and each gap is rows the log discarded.
    std::atomic<bool> writing{true};
    std::vector<long> seen;
    std::size_t largestKept = 0;
    std::thread reader([&] {
        std::uint64_t next = 0;
        for (;;) {
            const bool last = !writing.load();
            largestKept = std::max(largestKept, log.size());
            for (const core::LogRow& row : log.rowsFrom(next, 5)) {
                EXPECT_GE(row.sequence, next);
                EXPECT_EQ(rowNumber(row.text), static_cast<long>(row.sequence)) << "sequence names its row";
                seen.push_back(rowNumber(row.text));
                next = row.sequence + 1;
            }
            if (last && next == log.nextSequence())
                return;
            std::this_thread::yield();
        }
    });
    for (long i = 0; i < kRows; ++i)
        log.append("r" + std::to_string(i));
    writing = false;
    reader.join();

    EXPECT_LE(largestKept, kLimit);
    EXPECT_EQ(log.size(), kLimit);
    EXPECT_EQ(log.nextSequence(), static_cast<std::uint64_t>(kRows));
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.back(), kRows - 1);
    for (std::size_t i = 1; i < seen.size(); ++i)
        ASSERT_LT(seen[i - 1], seen[i]) << "a row seen twice or out of order at " << i;

    const auto rows = log.rows();
    ASSERT_EQ(rows.size(), kLimit);
    EXPECT_EQ(rows.front().text, "r" + std::to_string(kRows - static_cast<long>(kLimit)));
    // From a discarded row on: the oldest kept row first; at or past the end: nothing.
    EXPECT_EQ(log.rowsFrom(0).front().sequence, static_cast<std::uint64_t>(kRows) - kLimit);
    EXPECT_EQ(log.rowsFrom(kRows - 3).size(), 3u);
    EXPECT_TRUE(log.rowsFrom(kRows).empty());
    EXPECT_TRUE(log.rowsFrom(kRows + 100).empty());
    EXPECT_EQ(log.rowsFrom(0, 2).size(), 2u);
}

// A pipe whose reader the test controls: a page of room, filled up before the output starts,
// so that the output's first write blocks until the test reads.
class StalledPipe {
public:
    StalledPipe() {
        if (::pipe2(m_fds, O_CLOEXEC) != 0)
            return;
        ::fcntl(m_fds[1], F_SETPIPE_SZ, 4096);
        ::fcntl(m_fds[0], F_SETFL, O_NONBLOCK);
        const int flags = ::fcntl(m_fds[1], F_GETFL);
        ::fcntl(m_fds[1], F_SETFL, flags | O_NONBLOCK);
        const std::string filler(4096, '#');
        while (::write(m_fds[1], filler.data(), filler.size()) > 0 || ::write(m_fds[1], "#", 1) > 0) {
        }
        ::fcntl(m_fds[1], F_SETFL, flags);
        m_ok = true;
    }
    ~StalledPipe() {
        ::close(m_fds[0]);
        ::close(m_fds[1]);
    }
    bool ok() const { return m_ok; }
    int writeEnd() const { return m_fds[1]; }

    // Reads (and keeps) what arrives until `done` holds for the text after the filler.
    bool readUntil(const std::function<bool(const std::string&)>& done) {
        const auto deadline = Clock::now() + 30s;
        char buffer[4096];
        while (!done(lines())) {
            const ssize_t n = ::read(m_fds[0], buffer, sizeof buffer);
            if (n > 0) {
                m_text.append(buffer, static_cast<std::size_t>(n));
                continue;
            }
            if (Clock::now() >= deadline)
                return false;
            pollfd p{m_fds[0], POLLIN, 0};
            ::poll(&p, 1, 10);
        }
        return true;
    }
    std::string lines() const {
        const auto first = m_text.find_first_not_of('#');
        return first == std::string::npos ? std::string() : m_text.substr(first);
    }

private:
    int m_fds[2] = {-1, -1};
    bool m_ok = false;
    std::string m_text;
};

core::LogRow row(const std::string& text) {
    return core::LogRow{"12:34:56", text, 0};
}

// Runs `work` on a helper thread; true when it ended within the deadline. Otherwise `unblock`
// runs (so the helper can end and the test can report) and the result is false.
bool endsInTime(const std::function<void()>& work, const std::function<void()>& unblock) {
    std::atomic<bool> done{false};
    std::thread helper([&] {
        work();
        done = true;
    });
    const bool inTime = waitUntil([&] { return done.load(); });
    if (!inTime)
        unblock();
    helper.join();
    return inTime;
}

TEST(LogOutput, AStalledOutputNeverBlocksAnAppenderAndTheDroppedRowsAreCountedWhereTheyWere) {
    StalledPipe pipe;
    ASSERT_TRUE(pipe.ok());
    constexpr std::size_t kLimit = 5;
    constexpr int kRows = 1000;
    core::LogOutput output(pipe.writeEnd(), kLimit);
    std::size_t largestQueue = 0;
    const bool pushed = endsInTime(
        [&] {
            for (int i = 0; i < kRows; ++i) {
                output.push(row("r" + std::to_string(i) + " line\nbreak"));
                largestQueue = std::max(largestQueue, output.queued());
            }
        },
        [&] { pipe.readUntil([](const std::string&) { return true; }); });
    ASSERT_TRUE(pushed) << "appending waited for the output";
    EXPECT_LE(largestQueue, kLimit);
    // The output thread holds one batch (at most the limit) in its blocked write; the rest
    // was dropped.
    EXPECT_GE(output.droppedTotal(), static_cast<std::uint64_t>(kRows - 2 * kLimit));

    // Output resumes: the rows that waited, in order, then one line with the dropped count,
    // then what comes after.
    ASSERT_TRUE(pipe.readUntil([](const std::string& text) { return text.find("blocked.\n") != std::string::npos; }));
    ASSERT_TRUE(waitUntil([&] { return output.queued() == 0; }));
    output.push(row("after"));
    const std::regex dropped(
        "^[0-9]{2}:[0-9]{2}:[0-9]{2} ([0-9]+) log row\\(s\\) dropped while the output was blocked\\.$");
    ASSERT_TRUE(pipe.readUntil([](const std::string& text) { return text.find("after\n") != std::string::npos; }));
    std::vector<std::string> lines;
    std::istringstream stream(pipe.lines());
    for (std::string line; std::getline(stream, line);)
        lines.push_back(line);
    ASSERT_GE(lines.size(), 3u) << pipe.lines();
    EXPECT_EQ(lines.back(), "12:34:56 after");
    lines.pop_back();
    // Each row is printed, in order, or counted by the dropped line that stands where it was.
    std::uint64_t next = 0, counted = 0;
    for (const std::string& line : lines) {
        std::smatch match;
        if (std::regex_match(line, match, dropped)) {
            next += std::stoul(match[1]);
            counted += std::stoul(match[1]);
            continue;
        }
        ASSERT_EQ(line, "12:34:56 r" + std::to_string(next) + " line break") << pipe.lines();
        ++next;
    }
    EXPECT_EQ(next, static_cast<std::uint64_t>(kRows));
    EXPECT_GT(counted, 0u);
    EXPECT_EQ(counted, output.droppedTotal());

    // A drained output ends at once, everything written.
    EXPECT_TRUE(output.finish(30s));
}

TEST(LogOutput, FinishGivesUpOnAnOutputThatStaysBlocked) {
    StalledPipe pipe;
    ASSERT_TRUE(pipe.ok());
    auto output = std::make_unique<core::LogOutput>(pipe.writeEnd(), 3);
    for (int i = 0; i < 10; ++i)
        output->push(row("r" + std::to_string(i)));
    bool finished = true;
    ASSERT_TRUE(endsInTime([&] { finished = output->finish(50ms); },
                           [&] { pipe.readUntil([](const std::string&) { return true; }); }))
        << "the end waited for a blocked output";
    EXPECT_FALSE(finished);
    output.reset();
    // The thread left behind still owns what it writes: once the reader comes back it writes
    // the rest, the count of the dropped rows last, and ends (only then may the pipe close).
    ASSERT_TRUE(pipe.readUntil([](const std::string& text) { return text.find("blocked.\n") != std::string::npos; }));
    EXPECT_EQ(pipe.lines().rfind("12:34:56 r0\n", 0), 0u) << pipe.lines();
}

// A small core whose logs keep 8 rows, serving its control channel.
class LimitedLogs : public mapping_test::ControlChannelTest {
protected:
    void SetUp() override {
        core::CoreOptions options;
        options.logRowLimit = 8;
        makeCore(options);
        m_core->start();
    }
};

TEST_F(LimitedLogs, ReadersOfTheControlChannelGoOnBySequenceAcrossDiscardedRows) {
    EXPECT_EQ(m_core->mappingLog().limit(), 8u);
    EXPECT_EQ(m_core->deviceLog().limit(), 8u);
    m_core->logMappingMessage("r0");
    core::ControlClient follower = connect();
    ASSERT_TRUE(follower.send({"log", "follow"}));
    ASSERT_EQ(answer(follower).value().at(3), "r0");

    // The follower does not read while far more rows come than the log keeps and its socket
    // holds: most are discarded before the follower could be sent them.
    constexpr long kRows = 400;
    const std::string padding(3000, '.');
    for (long i = 1; i < kRows; ++i)
        m_core->logMappingMessage("r" + std::to_string(i) + padding);
    EXPECT_EQ(m_core->mappingLog().size(), 8u);

    std::vector<long> seen;
    while (seen.empty() || seen.back() < kRows - 1) {
        const auto line = answer(follower);
        ASSERT_TRUE(line) << "the follower stopped after r" << (seen.empty() ? 0 : seen.back());
        ASSERT_EQ(line->size(), 4u);
        seen.push_back(rowNumber(line->at(3)));
        if (seen.size() > 1) {
            ASSERT_LT(seen[seen.size() - 2], seen.back()) << "a row sent twice or out of order";
        }
    }
    EXPECT_LT(seen.size(), static_cast<std::size_t>(kRows - 1)) << "no row was discarded: the test proves nothing";
    // The rows still kept at the end all arrive, without a gap.
    ASSERT_GE(seen.size(), 8u);
    for (std::size_t i = seen.size() - 8; i < seen.size(); ++i)
        EXPECT_EQ(seen[i], kRows - 8 + static_cast<long>(i - (seen.size() - 8)));

    // A plain read sends the kept rows, counted.
    core::ControlClient plain = connect();
    ASSERT_TRUE(plain.send({"log"}));
    for (long i = kRows - 8; i < kRows; ++i)
        EXPECT_EQ(rowNumber(answer(plain).value().at(3)), i);
    EXPECT_EQ(answer(plain), (std::vector<std::string>{"ok", "8"}));
}

// Descriptors used up, as a process can be: new eventfds fail until they are given back.
class DescriptorsExhausted {
public:
    DescriptorsExhausted() {
        ::getrlimit(RLIMIT_NOFILE, &m_saved);
        rlimit low = m_saved;
        low.rlim_cur = 256;
        ::setrlimit(RLIMIT_NOFILE, &low);
        for (int fd; (fd = ::dup(0)) >= 0;)
            m_taken.push_back(fd);
    }
    ~DescriptorsExhausted() { giveBack(); }
    void giveBack() {
        for (int fd : m_taken)
            ::close(fd);
        m_taken.clear();
        ::setrlimit(RLIMIT_NOFILE, &m_saved);
    }

private:
    rlimit m_saved{};
    std::vector<int> m_taken;
};

TEST(EventQueueFallback, WithoutAnEventfdAPostStillEndsALongWaitAndBadLimitsNeverWaitForEver) {
    std::optional<core::EventQueue> queue;
    {
        DescriptorsExhausted exhausted;
        queue.emplace();
    }
    ASSERT_EQ(queue->waitFd(), -1);
    EXPECT_EQ(queue->waitFdError(), EMFILE);
    // Ten minutes: only the post can end the wait in time.
    std::size_t ran = 0;
    std::thread poster([&] { queue->post([] {}); });
    ASSERT_TRUE(endsInTime([&] { ran = queue->waitAndDrain(10min); }, [&] { queue->post([] {}); }));
    poster.join();
    EXPECT_GE(ran, 1u);

    // A negative limit, or one that wraps as an int, must not become an endless wait: with
    // nothing posted, both return (a post rescues a wait that would hang).
    core::EventQueue withFd;
    ASSERT_GE(withFd.waitFd(), 0);
    for (core::EventQueue* q : {&*queue, &withFd}) {
        EXPECT_TRUE(endsInTime([&] { q->waitAndDrain(-5ms); }, [&] { q->post([] {}); }));
        EXPECT_TRUE(
            endsInTime([&] { q->waitAndDrain(std::chrono::milliseconds(-(1ll << 40))); }, [&] { q->post([] {}); }));
    }
}

} // namespace
