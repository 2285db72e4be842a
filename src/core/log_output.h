#pragma once
// Prints message-log rows on a descriptor from a thread of its own, so that appending a row
// never waits for the output: a reader that stalls (a pipe nobody reads, a terminal paused
// with Ctrl-S) must not hold up the mapping that logged.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "core/message_logs.h"

namespace core {

// One row as one line: "HH:MM:SS text\n", line breaks inside the text turned into blanks.
std::string logLineText(const LogRow& row);
// The line that stands for `count` rows the queue had no room for.
std::string droppedRowsLine(std::uint64_t count, const std::string& time);

class LogOutput {
public:
    static constexpr std::size_t kDefaultLimit = 10'000;

    // Writes to `fd`, which stays open and owned by the caller. At most `limit` rows wait.
    explicit LogOutput(int fd, std::size_t limit = kDefaultLimit);
    // finish() with a short wait if the owner did not call it.
    ~LogOutput();
    LogOutput(const LogOutput&) = delete;
    LogOutput& operator=(const LogOutput&) = delete;

    // Any thread, any lock held: queues the row, or, with the queue full, counts it as dropped.
    void push(const LogRow& row);
    // Writes what is queued, waiting at most `limit` for the output to take it. True when all
    // went out; false leaves the thread behind, blocked on the output, for the process's end.
    bool finish(std::chrono::milliseconds limit);

    // Rows waiting now, and rows dropped so far; for tests.
    std::size_t queued() const;
    std::uint64_t droppedTotal() const;

private:
    struct State;
    // The thread's loop; it holds its own reference to the state (see finish()).
    static void run(const std::shared_ptr<State>& state);

    std::shared_ptr<State> m_state;
    std::thread m_thread;
};

} // namespace core
