#pragma once
// The program's two message logs (mapping events, device events): rows of a time stamp and
// a text, appended from any thread, read as snapshots by a front end.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <limits>
#include <mutex>
#include <string>
#include <vector>

namespace core {

struct LogRow {
    std::string time; // "HH:MM:SS", local time
    std::string text;
    // 0 for the first row ever appended, one more for each after it; never reused, so a
    // reader can go on from where it was after older rows have been discarded.
    std::uint64_t sequence = 0;
};

// Local time of day as a log row shows it.
std::string logTimeText(std::chrono::system_clock::time_point when);

// Keeps the most recent rows only: a device that accepts and drops connections adds rows
// without end, and a long run must not grow without bound.
class MessageLog {
public:
    static constexpr std::size_t kDefaultLimit = 10'000;

    // Called for every new row on the appending thread, in row order (the log's mutex is
    // held, so observers must not touch the log again, nor wait on anything).
    using Observer = std::function<void(const LogRow&)>;

    explicit MessageLog(std::size_t limit = kDefaultLimit);

    void append(std::string text);
    // The rows kept now, oldest first.
    std::vector<LogRow> rows() const;
    // Kept rows whose sequence is `first` or later, at most `maxRows` of them: lets a reader
    // fetch only what it has not seen yet. A gap between `first` and the first row returned
    // is what was discarded meanwhile.
    std::vector<LogRow> rowsFrom(std::uint64_t first,
                                 std::size_t maxRows = std::numeric_limits<std::size_t>::max()) const;
    // Rows kept now (at most limit()).
    std::size_t size() const;
    // The sequence the next row will get: the number of rows ever appended.
    std::uint64_t nextSequence() const;
    std::size_t limit() const { return m_limit; }
    void setObserver(Observer observer);

private:
    const std::size_t m_limit;
    mutable std::mutex m_mutex;
    std::deque<LogRow> m_rows;
    std::uint64_t m_next = 0;
    Observer m_observer;
};

} // namespace core
