#include "core/log_output.h"

#include <cerrno>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <unistd.h>
#include <utility>

namespace core {

struct LogOutput::State {
    int fd = -1;
    std::size_t limit = 0;
    std::mutex mutex;
    std::condition_variable wake;
    std::condition_variable ended;
    std::deque<std::string> lines;
    std::uint64_t droppedPending = 0;
    std::uint64_t droppedTotal = 0;
    bool stopping = false;
    bool done = false;
};

namespace {

// False once the output is gone for good (the reader closed its end); what follows is
// discarded instead of being retried.
bool writeAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace

std::string logLineText(const LogRow& row) {
    std::string line = row.time + " " + row.text;
    for (char& c : line) {
        if (c == '\n' || c == '\r')
            c = ' ';
    }
    line += '\n';
    return line;
}

std::string droppedRowsLine(std::uint64_t count, const std::string& time) {
    return time + " " + std::to_string(count) + " log row(s) dropped while the output was blocked.\n";
}

// Lines are taken from the queue in one step, so the rows dropped while they waited came
// after all of them: the count is printed right after them, where the gap is.
void LogOutput::run(const std::shared_ptr<State>& state) {
    bool outputOk = true;
    for (;;) {
        std::deque<std::string> lines;
        std::uint64_t dropped = 0;
        {
            std::unique_lock lock(state->mutex);
            state->wake.wait(lock,
                             [&] { return !state->lines.empty() || state->droppedPending > 0 || state->stopping; });
            if (state->lines.empty() && state->droppedPending == 0) {
                state->done = true;
                state->ended.notify_all();
                return;
            }
            lines.swap(state->lines);
            dropped = std::exchange(state->droppedPending, 0);
        }
        std::string text;
        for (const std::string& line : lines)
            text += line;
        if (dropped > 0)
            text += droppedRowsLine(dropped, logTimeText(std::chrono::system_clock::now()));
        if (outputOk)
            outputOk = writeAll(state->fd, text);
    }
}

LogOutput::LogOutput(int fd, std::size_t limit) : m_state(std::make_shared<State>()) {
    m_state->fd = fd;
    m_state->limit = limit > 0 ? limit : 1;
    m_thread = std::thread([state = m_state] { run(state); });
}

LogOutput::~LogOutput() {
    finish(std::chrono::milliseconds(500));
}

void LogOutput::push(const LogRow& row) {
    std::string line = logLineText(row);
    {
        std::lock_guard guard(m_state->mutex);
        if (m_state->stopping)
            return;
        if (m_state->lines.size() >= m_state->limit) {
            ++m_state->droppedPending;
            ++m_state->droppedTotal;
            return;
        }
        m_state->lines.push_back(std::move(line));
    }
    m_state->wake.notify_one();
}

bool LogOutput::finish(std::chrono::milliseconds limit) {
    if (!m_thread.joinable())
        return true;
    bool done;
    {
        std::unique_lock lock(m_state->mutex);
        m_state->stopping = true;
        m_state->wake.notify_one();
        done = m_state->ended.wait_for(lock, limit, [&] { return m_state->done; });
    }
    if (done) {
        m_thread.join();
    } else {
        // Blocked in write() on an output that does not move: it cannot be joined, and it keeps
        // its own reference to the state, so it may outlive this object until the process ends.
        m_thread.detach();
    }
    return done;
}

std::size_t LogOutput::queued() const {
    std::lock_guard guard(m_state->mutex);
    return m_state->lines.size();
}

std::uint64_t LogOutput::droppedTotal() const {
    std::lock_guard guard(m_state->mutex);
    return m_state->droppedTotal;
}

} // namespace core
