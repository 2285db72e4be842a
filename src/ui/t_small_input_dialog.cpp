#include "ui/t_small_input_dialog.h"

#include <QCloseEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <algorithm>

#include "core/device_service.h"
#include "core/program_core.h"

using namespace Qt::StringLiterals;

TsmallInputDialog::TsmallInputDialog(core::ProgramCore& core, QWidget* parent) : QDialog(parent), m_core(core) {
    setWindowTitle(u"Input Attributes"_s);
    setWindowModality(Qt::ApplicationModal);

    auto* layout = new QGridLayout(this);
    layout->addWidget(new QLabel(u"Please Give Account:"_s, this), 0, 0);
    m_account = new QLineEdit(this);
    m_account->setMaxLength(static_cast<int>(LoginDialogLogic::kFieldLimit));
    layout->addWidget(m_account, 0, 1);
    layout->addWidget(new QLabel(u"Please Give Password: "_s, this), 1, 0);
    m_password = new QLineEdit(this);
    m_password->setMaxLength(static_cast<int>(LoginDialogLogic::kFieldLimit));
    m_password->setEchoMode(QLineEdit::Password);
    m_password->setStyleSheet(u"lineedit-password-character: 42;"_s);
    layout->addWidget(m_password, 1, 1);
    m_status = new QLabel(this);
    m_status->setTextFormat(Qt::PlainText);
    layout->addWidget(m_status, 2, 0, 1, 2);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    m_ok = new QPushButton(u"OK"_s, this);
    m_ok->setDefault(true);
    m_cancel = new QPushButton(u"Cancel"_s, this);
    buttons->addWidget(m_ok);
    buttons->addWidget(m_cancel);
    layout->addLayout(buttons, 3, 0, 1, 2);
    connect(m_ok, &QPushButton::clicked, this, &TsmallInputDialog::accept);
    connect(m_cancel, &QPushButton::clicked, this, &TsmallInputDialog::reject);

    if (core::DeviceService* devices = core.deviceService()) {
        m_logic = std::make_unique<LoginDialogLogic>(
            *devices, [this] { close(); }, [this] { m_core.postMessage(core::CoreEvent::kLoginSucceeded); });
        m_logic->setStatusListener(
            [this](const std::string& text) { m_status->setText(QString::fromStdString(text)); });
    }
}

TsmallInputDialog::~TsmallInputDialog() = default;

void TsmallInputDialog::setMode(const QString& mode) {
    if (m_logic)
        m_logic->setMode(mode.toStdString());
}

void TsmallInputDialog::setDeviceIp(const QString& ip) {
    if (m_logic)
        m_logic->setDeviceIp(ip.toStdString());
}

void TsmallInputDialog::setDevice(const QString& name, const QString& ip) {
    setDeviceIp(ip);
    setWindowTitle(u"Input Attributes - %1 (%2)"_s.arg(name, ip));
    // Wide enough that the title bar shows the whole caption beside its buttons.
    setMinimumWidth(std::max(minimumSizeHint().width(), fontMetrics().horizontalAdvance(windowTitle()) + 120));
}

void TsmallInputDialog::open() {
    show();
    raise();
    activateWindow();
}

void TsmallInputDialog::showEvent(QShowEvent* event) {
    ++m_round;
    m_running = false;
    m_account->clear();
    m_password->clear();
    m_status->clear();
    if (m_logic)
        m_logic->onShow();
    syncFields();
    m_account->setFocus();
    QDialog::showEvent(event);
}

void TsmallInputDialog::syncFields() {
    const bool enabled = !m_logic || m_logic->fieldsEnabled();
    m_account->setEnabled(enabled);
    m_password->setEnabled(enabled);
    m_ok->setEnabled(!m_running);
}

void TsmallInputDialog::accept() {
    if (!m_logic || m_running)
        return;
    const std::string account = m_account->text().toStdString();
    const std::string password = m_password->text().toStdString();
    if (!m_logic->beginOk(account, password))
        return;
    m_running = true;
    syncFields();
    // The login waits for the device's answers: it runs on the worker, and its result comes
    // back here.
    const unsigned round = m_round;
    const std::string ip = m_logic->deviceIp();
    auto loggedIn = std::make_shared<bool>(false);
    core::DeviceService* devices = m_core.deviceService();
    m_core.runOnWorker([devices, ip, account, password,
                        loggedIn] { *loggedIn = LoginDialogLogic::login(*devices, ip, account, password); },
                       [this, round, loggedIn] {
                           if (round != m_round)
                               return;
                           m_running = false;
                           m_logic->finishOk(*loggedIn);
                           syncFields();
                       });
}

void TsmallInputDialog::reject() {
    // Cancel (and Escape): a login still running is forgotten.
    ++m_round;
    m_running = false;
    if (m_logic)
        m_logic->onCancel();
    else
        hide();
}

void TsmallInputDialog::closeEvent(QCloseEvent* event) {
    if (m_logic && !m_logic->canClose()) {
        event->ignore();
        return;
    }
    // Not QDialog's own handling, which would come back through reject() as a Cancel.
    event->accept();
}
