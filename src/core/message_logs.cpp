#include "core/message_logs.h"

#include <algorithm>
#include <ctime>

namespace core {

std::string logTimeText(std::chrono::system_clock::time_point when) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(when);
    std::tm local{};
    ::localtime_r(&seconds, &local);
    char text[16];
    std::strftime(text, sizeof text, "%H:%M:%S", &local);
    return text;
}

MessageLog::MessageLog(std::size_t limit) : m_limit(std::max<std::size_t>(limit, 1)) {}

void MessageLog::append(std::string text) {
    std::lock_guard guard(m_mutex);
    m_rows.push_back(LogRow{logTimeText(std::chrono::system_clock::now()), std::move(text), m_next++});
    if (m_rows.size() > m_limit)
        m_rows.pop_front();
    if (m_observer)
        m_observer(m_rows.back());
}

std::vector<LogRow> MessageLog::rows() const {
    std::lock_guard guard(m_mutex);
    return {m_rows.begin(), m_rows.end()};
}

std::vector<LogRow> MessageLog::rowsFrom(std::uint64_t first, std::size_t maxRows) const {
    std::lock_guard guard(m_mutex);
    if (m_rows.empty() || first >= m_next)
        return {};
    const std::uint64_t oldest = m_rows.front().sequence;
    const auto skip = static_cast<std::size_t>(first > oldest ? first - oldest : 0);
    const std::size_t count = std::min(maxRows, m_rows.size() - skip);
    const auto begin = m_rows.begin() + static_cast<std::ptrdiff_t>(skip);
    return {begin, begin + static_cast<std::ptrdiff_t>(count)};
}

std::size_t MessageLog::size() const {
    std::lock_guard guard(m_mutex);
    return m_rows.size();
}

std::uint64_t MessageLog::nextSequence() const {
    std::lock_guard guard(m_mutex);
    return m_next;
}

void MessageLog::setObserver(Observer observer) {
    std::lock_guard guard(m_mutex);
    m_observer = std::move(observer);
}

} // namespace core
