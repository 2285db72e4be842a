#pragma once
// A mapping's port monitor: its records live as they pass, the last minute's rates, and ways
// to pause, find, copy and save what was seen. Closing the window ends its watch.

#include <QWidget>
#include <cstdint>
#include <optional>
#include <string>

#include "core/program_core.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QMessageBox;
class QPushButton;
class QTableView;
class QTimer;

namespace ui {
class MonitorRecordsModel;
class RatePlot;
} // namespace ui

class TPortMonitor : public QWidget {
    Q_OBJECT
public:
    // Takes the hold: the watch ends with the window.
    TPortMonitor(core::ProgramCore& core, core::MonitorHold hold, QWidget* parent = nullptr);
    ~TPortMonitor() override;

    std::int32_t comNumber() const { return m_comNumber; }

    // What the buttons do.
    void setPaused(bool paused);
    void clear();
    // Selects the next row after the current one that holds the find text, from the top
    // again past the end. False when none does, or the hex text is not hex.
    bool findNext();
    void copyAsHex();
    void saveAs();
    // Writes the shown records as a capture file; the error's words, or empty.
    QString saveTo(const QString& path) const;
    // Takes what the ring holds now (the poll timer's step).
    void poll();

    // What tests and the screenshots look at.
    ui::MonitorRecordsModel* model() const { return m_model; }
    QTableView* view() const { return m_view; }
    ui::RatePlot* ratePlot() const { return m_plot; }
    QLineEdit* findField() const { return m_findField; }
    QCheckBox* hexCheck() const { return m_hexCheck; }
    QPushButton* pauseButton() const { return m_pauseButton; }
    QLabel* statusLabel() const { return m_status; }
    bool ended() const { return m_ended; }
    // The selected rows' data as hex, a line a record (what Copy as hex puts on the clipboard).
    QString selectedHex() const;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    std::optional<std::string> findPattern();
    void refreshRates();
    void showStatus();

    core::ProgramCore& m_core;
    core::MonitorHold m_hold;
    const std::int32_t m_comNumber;
    bool m_paused = false;
    bool m_ended = false;
    QString m_note; // the last action's outcome, after the counts
    ui::MonitorRecordsModel* m_model = nullptr;
    QTableView* m_view = nullptr;
    ui::RatePlot* m_plot = nullptr;
    QLineEdit* m_findField = nullptr;
    QCheckBox* m_hexCheck = nullptr;
    QPushButton* m_pauseButton = nullptr;
    QLabel* m_status = nullptr;
    QTimer* m_pollTimer = nullptr;
    QTimer* m_rateTimer = nullptr;
    QMessageBox* m_errorBox = nullptr;
};
