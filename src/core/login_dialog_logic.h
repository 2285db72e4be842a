#pragma once
// The login dialog's logic without its widgets: account and password entry, the device login
// in mode "ncmd", the close guard and the status texts.

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace core {
class DeviceService;
}

class LoginDialogLogic {
public:
    static constexpr std::size_t kFieldLimit = 16; // characters per field
    static constexpr const char* kModeNcmd = "ncmd";

    // `closeDialog` asks the window to close the dialog (the window consults canClose());
    // `loginSucceeded` posts message 8074 to the main window.
    LoginDialogLogic(core::DeviceService& devices, std::function<void()> closeDialog,
                     std::function<void()> loginSucceeded);

    void setMode(std::string mode) { m_mode = std::move(mode); }
    const std::string& mode() const { return m_mode; }
    void setDeviceIp(std::string ip) { m_ip = std::move(ip); }
    const std::string& deviceIp() const { return m_ip; }
    // Called whenever the status line changes, so a window can repaint it before the
    // blocking login runs.
    void setStatusListener(std::function<void(const std::string&)> listener) { m_statusListener = std::move(listener); }

    void onShow();
    bool canClose() const { return m_loggedIn || m_cancelled; }
    void onCancel();
    // OK with the fields' texts (each cut to kFieldLimit characters, as the fields allow).
    // Runs the login on the calling thread.
    void onOk(std::string_view account, std::string_view password);
    // The same in two steps, so a window can run the login off its own thread: beginOk
    // checks the fields and shows the wait; true means login() is to be run, then finishOk
    // with its result, on the thread that called beginOk.
    bool beginOk(std::string_view account, std::string_view password);
    // Touches nothing of the dialog, so it may run on another thread.
    static bool login(core::DeviceService& devices, const std::string& ip, std::string_view account,
                      std::string_view password);
    void finishOk(bool loggedIn);

    const std::string& status() const { return m_status; }
    bool fieldsEnabled() const { return m_fieldsEnabled; }
    bool cancelled() const { return m_cancelled; }
    bool loggedIn() const { return m_loggedIn; }

private:
    void setStatus(std::string text);

    core::DeviceService& m_devices;
    std::function<void()> m_closeDialog;
    std::function<void()> m_loginSucceeded;
    std::function<void(const std::string&)> m_statusListener;
    std::string m_mode;
    std::string m_ip;
    std::string m_status;
    bool m_fieldsEnabled = true;
    bool m_cancelled = false;
    bool m_loggedIn = false;
};
