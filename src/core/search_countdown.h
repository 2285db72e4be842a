#pragma once
// The search dialog's logic without its widgets: a seven-second count-down driven by a
// one-second timer, showing the UDP answers and then, if the raw discovery runs, the raw
// ones, and reporting the end of the search to the main window.

#include <array>
#include <functional>
#include <string>
#include <vector>

#include "device/search_job.h"

class SearchCountdown {
public:
    // One row of the dialog's list: No, Device Name, MAC Address, IP Address.
    using Row = std::array<std::string, 4>;
    static constexpr std::array<const char*, 4> kColumns = {"No", "Device Name", "MAC Address", "IP Address"};
    static constexpr std::array<int, 4> kColumnWidths = {-1, 80, 125, 115};

    // `startSearch` hands job 1 (search) to the worker; `searchFinished` posts message 8024
    // to the main window.
    SearchCountdown(SearchProgress& progress, std::function<void()> startSearch, std::function<void()> searchFinished);

    // The dialog is shown: resets the count-down, switches the timer on, starts the search.
    void onShow();
    // One tick of the one-second timer.
    void onTick();
    // The close guard: no close while counting.
    bool canClose() const { return !m_counting; }
    // The dialog closes: timer off, list emptied.
    void onClose();

    bool timerOn() const { return m_timerOn; }
    bool counting() const { return m_counting; }
    int remaining() const { return m_remaining; }
    int total() const { return m_total; }
    bool finishedSent() const { return m_finishedSent; }
    const std::string& status() const { return m_status; }
    const std::vector<Row>& rows() const { return m_rows; }

private:
    void showAnswers(bool raw);

    SearchProgress& m_progress;
    std::function<void()> m_startSearch;
    std::function<void()> m_searchFinished;
    int m_timeout = 6000; // milliseconds
    int m_total = 0;      // seconds
    int m_remaining = 0;
    int m_rawShare = 3;
    int m_secondShare = 3;
    bool m_counting = false;
    bool m_timerOn = false;
    bool m_finishedSent = false;
    static constexpr int kMaxWaitTicks = 60;
    int m_ticksWaited = 0;
    std::string m_status;
    std::vector<Row> m_rows;
};
