#pragma once
// The login dialog: account and password for a device; in mode "ncmd" OK logs in to it, on
// the worker so the window stays live, and closes only after a login or a Cancel.

#include <QDialog>
#include <memory>

#include "core/login_dialog_logic.h"

class QLabel;
class QLineEdit;
class QPushButton;

namespace core {
class ProgramCore;
}

class TsmallInputDialog : public QDialog {
    Q_OBJECT
public:
    explicit TsmallInputDialog(core::ProgramCore& core, QWidget* parent = nullptr);
    ~TsmallInputDialog() override;

    // Set before showing: the mode ("ncmd" logs in to the device) and the device's IP.
    void setMode(const QString& mode);
    void setDeviceIp(const QString& ip);
    // The same, with the caption naming the device the login is for.
    void setDevice(const QString& name, const QString& ip);
    // Shows the dialog, reset, without a nested loop.
    void open() override;

    const LoginDialogLogic* logic() const { return m_logic.get(); }
    QLineEdit* accountField() const { return m_account; }
    QLineEdit* passwordField() const { return m_password; }
    QLabel* statusLine() const { return m_status; }
    QPushButton* okButton() const { return m_ok; }
    QPushButton* cancelButton() const { return m_cancel; }
    bool loginRunning() const { return m_running; }

public slots:
    void accept() override;
    void reject() override;

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void syncFields();

    core::ProgramCore& m_core;
    std::unique_ptr<LoginDialogLogic> m_logic;
    QLineEdit* m_account = nullptr;
    QLineEdit* m_password = nullptr;
    QLabel* m_status = nullptr;
    QPushButton* m_ok = nullptr;
    QPushButton* m_cancel = nullptr;
    bool m_running = false;
    // Bumped by each show and Cancel: a login answer for an earlier round is dropped.
    unsigned m_round = 0;
};
