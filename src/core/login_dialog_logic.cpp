#include "core/login_dialog_logic.h"

#include "core/device_service.h"

LoginDialogLogic::LoginDialogLogic(core::DeviceService& devices, std::function<void()> closeDialog,
                                   std::function<void()> loginSucceeded)
    : m_devices(devices), m_closeDialog(std::move(closeDialog)), m_loginSucceeded(std::move(loginSucceeded)) {}

void LoginDialogLogic::setStatus(std::string text) {
    m_status = std::move(text);
    if (m_statusListener)
        m_statusListener(m_status);
}

void LoginDialogLogic::onShow() {
    setStatus("");
    m_cancelled = false;
    m_fieldsEnabled = true;
    m_loggedIn = false;
}

void LoginDialogLogic::onCancel() {
    // The flag goes first: the close request consults the guard, which must already allow it.
    m_cancelled = true;
    if (m_closeDialog)
        m_closeDialog();
}

void LoginDialogLogic::onOk(std::string_view account, std::string_view password) {
    if (beginOk(account, password))
        finishOk(login(m_devices, m_ip, account, password));
}

bool LoginDialogLogic::beginOk(std::string_view account, std::string_view password) {
    if (m_mode != kModeNcmd)
        return false;
    account = account.substr(0, kFieldLimit);
    password = password.substr(0, kFieldLimit);
    if (account.empty() || password.empty())
        return false;
    setStatus("Please wait until verification finishes...");
    m_fieldsEnabled = false;
    return true;
}

// The device service remembers the credentials that worked, before the window hears of the
// login, so the configure step it runs next finds them.
bool LoginDialogLogic::login(core::DeviceService& devices, const std::string& ip, std::string_view account,
                             std::string_view password) {
    return devices.logIn(ip, account.substr(0, kFieldLimit), password.substr(0, kFieldLimit)).ok();
}

void LoginDialogLogic::finishOk(bool loggedIn) {
    if (!loggedIn) {
        setStatus("Login failure.");
        m_loggedIn = false;
        m_fieldsEnabled = true;
        return;
    }
    setStatus("Login success.");
    m_loggedIn = true;
    if (m_closeDialog)
        m_closeDialog();
    if (m_loginSucceeded)
        m_loginSucceeded();
}
