#pragma once
// The program's two message logs (mapping events, device events): rows of a time stamp and
// a text, appended from any thread, read as snapshots by a front end.

#include <chrono>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace core {

struct LogRow {
    std::string time; // "HH:MM:SS", local time
    std::string text;
};

// Local time of day as a log row shows it.
std::string logTimeText(std::chrono::system_clock::time_point when);

// Rows are only appended; there is no limit and no clearing.
class MessageLog {
public:
    // Called for every new row on the appending thread, in row order (the log's mutex is
    // held, so observers must not touch the log again).
    using Observer = std::function<void(const LogRow&)>;

    void append(std::string text);
    std::vector<LogRow> rows() const;
    // Rows from position `first` on: lets a view fetch only what it has not shown yet.
    std::vector<LogRow> rowsFrom(std::size_t first) const;
    std::size_t size() const;
    void setObserver(Observer observer);

private:
    mutable std::mutex m_mutex;
    std::vector<LogRow> m_rows;
    Observer m_observer;
};

} // namespace core
