#include "core/search_countdown.h"

#include <cstdio>

SearchCountdown::SearchCountdown(SearchProgress& progress, std::function<void()> startSearch,
                                 std::function<void()> searchFinished)
    : m_progress(progress), m_startSearch(std::move(startSearch)), m_searchFinished(std::move(searchFinished)) {}

void SearchCountdown::onShow() {
    // Counting from the moment the dialog shows, so it cannot be closed before the first tick.
    m_counting = true;
    m_finishedSent = false;
    m_ticksWaited = 0;
    m_progress.reset();
    m_timerOn = true;
    m_timeout = 6000;
    m_rawShare = 3;
    m_secondShare = 3;
    m_total = m_timeout / 1000 + 1;
    m_remaining = m_total;
    m_status.clear();
    m_rows.clear();
    if (m_startSearch)
        m_startSearch();
}

void SearchCountdown::onTick() {
    if (!m_timerOn)
        return;
    if (m_remaining == 0) {
        // Normally the eighth tick. The end is reported only once the job has replaced the
        // device list, so the window never lists a search that is still running (but never
        // later than a minute, so a worker that never ran the job cannot lock the dialog);
        // and only once, however many ticks pass before the window closes the dialog.
        ++m_ticksWaited;
        if (!m_finishedSent && (m_progress.finished() || m_ticksWaited > kMaxWaitTicks)) {
            m_finishedSent = true;
            m_counting = false;
            if (m_searchFinished)
                m_searchFinished();
        }
        return;
    }
    if (m_remaining >= m_total - m_rawShare) {
        --m_remaining;
        m_counting = true;
        showAnswers(false);
    } else if (m_remaining >= m_total - m_rawShare - m_secondShare) {
        --m_remaining;
        m_counting = true;
        showAnswers(m_progress.rawSearch());
    }
}

void SearchCountdown::onClose() {
    m_progress.setRawSearch(false);
    m_timerOn = false;
    m_rows.clear();
    m_counting = false;
}

void SearchCountdown::showAnswers(bool raw) {
    const std::vector<_KT550Node> answers = raw ? m_progress.rawAnswers() : m_progress.udpAnswers();
    char status[96];
    std::snprintf(status, sizeof status, "Find %d Device(s); time out remains = %d second(s)",
                  static_cast<int>(answers.size()), m_remaining);
    m_status = status;
    m_rows.clear();
    m_rows.reserve(answers.size());
    for (std::size_t i = 0; i < answers.size(); ++i) {
        const _KT550Node& node = answers[i];
        m_rows.push_back(Row{std::to_string(i + 1),
                             std::string(node.deviceName, strnlen(node.deviceName, sizeof node.deviceName)),
                             macText(node.mac), dottedText(node.ip)});
    }
}
