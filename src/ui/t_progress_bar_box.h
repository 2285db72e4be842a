#pragma once
// The shared progress box shown while a device search or an EEPROM transfer runs.

#include <QDialog>

class QProgressBar;
class QPushButton;

class TprogressBarBox : public QDialog {
    Q_OBJECT
public:
    explicit TprogressBarBox(QWidget* parent = nullptr);

    // While busy the user cannot close the box; the code that owns the work hides it.
    bool busy() const { return m_busy; }
    void setBusy(bool busy) { m_busy = busy; }
    // Offered only once the work may be abandoned; a click also ends busy.
    void setCancelVisible(bool visible);
    void setMaximum(int maximum);
    void setPosition(int position);

    QProgressBar* progressBar() const { return m_progressBar; }
    QPushButton* cancelButton() const { return m_cancelButton; }

public slots:
    void reject() override;

signals:
    void cancelRequested();

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    QProgressBar* m_progressBar;
    QPushButton* m_cancelButton;
    bool m_busy = false;
};
