#include "core/login_dialog_logic.h"

#include "device/device_list.h"
#include "device/eeprom_access.h"

LoginDialogLogic::LoginDialogLogic(DeviceAccess& access, DeviceList& devices, std::function<void()> closeDialog,
                                   std::function<void()> loginSucceeded)
    : m_access(access), m_devices(devices), m_closeDialog(std::move(closeDialog)),
      m_loginSucceeded(std::move(loginSucceeded)) {}

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
        finishOk(login(account, password), account, password);
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

int LoginDialogLogic::login(std::string_view account, std::string_view password) {
    return m_access.login(m_ip.c_str(), account.substr(0, kFieldLimit), password.substr(0, kFieldLimit));
}

void LoginDialogLogic::finishOk(int result, std::string_view account, std::string_view password) {
    account = account.substr(0, kFieldLimit);
    password = password.substr(0, kFieldLimit);
    if (result != 1) {
        setStatus("Login failure.");
        m_loggedIn = false;
        m_fieldsEnabled = true;
        return;
    }
    setStatus("Login success.");
    m_loggedIn = true;
    // Remembered before the window hears of the login, so the configure step it runs next
    // finds them.
    if (const auto device = m_devices.find(m_ip.c_str())) {
        setNodeText(device->loginAccount, account.data(), account.size());
        setNodeText(device->loginPassword, password.data(), password.size());
    }
    if (m_closeDialog)
        m_closeDialog();
    if (m_loginSucceeded)
        m_loginSucceeded();
}
