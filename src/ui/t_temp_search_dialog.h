#pragma once
// The search dialog: counts the search down over seven one-second ticks, lists the answers
// as they come in, and cannot be closed before the count reaches 0.

#include <QDialog>
#include <memory>

#include "core/search_countdown.h"
#include "ui/text_rows_model.h"

class QLabel;
class QTableView;
class QTimer;

namespace core {
class ProgramCore;
}

class TtempSearchDialog : public QDialog {
    Q_OBJECT
public:
    explicit TtempSearchDialog(core::ProgramCore& core, QWidget* parent = nullptr);
    ~TtempSearchDialog() override;

    // Shows the dialog (modal for the program, without a nested loop) and starts the search.
    void startSearch();
    // The window heard that the search ended: close and empty the list.
    void finishSearch();
    // The program is ending: the count-down stops and the dialog closes now, before the
    // search whose answers it reads goes away.
    void abandon();

    // Also driven by the timer; public so a test can step the count-down.
    void tick();

    const SearchCountdown& countdown() const { return *m_countdown; }
    QLabel* statusLabel() const { return m_status; }
    ui::TextRowsModel* answers() const { return m_answers; }
    QTimer* timer() const { return m_timer; }

public slots:
    void reject() override;

signals:
    // The search ended and the dialog closed; the device list holds its result.
    void searchEnded();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void showCountdown();

    std::unique_ptr<SearchProgress> m_ownProgress; // when the core has no device side
    std::unique_ptr<SearchCountdown> m_countdown;
    QLabel* m_status = nullptr;
    QTableView* m_list = nullptr;
    ui::TextRowsModel* m_answers = nullptr;
    QTimer* m_timer = nullptr;
};
