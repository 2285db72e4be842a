#include "core/message_logs.h"

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

void MessageLog::append(std::string text) {
    std::lock_guard guard(m_mutex);
    m_rows.push_back(LogRow{logTimeText(std::chrono::system_clock::now()), std::move(text)});
    if (m_observer)
        m_observer(m_rows.back());
}

std::vector<LogRow> MessageLog::rows() const {
    std::lock_guard guard(m_mutex);
    return m_rows;
}

std::vector<LogRow> MessageLog::rowsFrom(std::size_t first) const {
    std::lock_guard guard(m_mutex);
    if (first >= m_rows.size())
        return {};
    return {m_rows.begin() + static_cast<std::ptrdiff_t>(first), m_rows.end()};
}

std::size_t MessageLog::size() const {
    std::lock_guard guard(m_mutex);
    return m_rows.size();
}

void MessageLog::setObserver(Observer observer) {
    std::lock_guard guard(m_mutex);
    m_observer = std::move(observer);
}

} // namespace core
