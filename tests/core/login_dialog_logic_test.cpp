// The login dialog's logic over a scripted device on loopback: empty fields send nothing, a
// refused login keeps the dialog open, a good one stores the credentials and continues.

#include <gtest/gtest.h>

#include "core/device_service.h"
#include "core/login_dialog_logic.h"
#include "device/device_list.h"
#include "device/netcmd_fixture.h"

namespace {

using testnetcmd::Bytes;
using testnetcmd::NetCmdLoopback;
using testnetcmd::Responder;
using testnetcmd::ScriptedDevice;

// The device service aimed at a scripted device on loopback.
class LoginDialog : public NetCmdLoopback {
protected:
    ScriptedDevice dev;
    Responder responder{[this](const Bytes& r) { return dev.answer(r); }};
    std::unique_ptr<core::DeviceService> service;

    void SetUp() override {
        NetCmdLoopback::SetUp();
        core::DeviceService::Options options;
        options.captureAtStart = false;
        options.netCmd.localPort = 0;
        options.netCmd.remotePort = responder.port();
        options.netCmd.broadcastTargets = [] { return std::vector<std::uint32_t>{testnetcmd::kLoopback}; };
        options.searchTimeoutMs = 0;
        options.answerTimeoutMs = 1000;
        service = std::make_unique<core::DeviceService>(std::move(options));
        addLoopbackDevice(service->devices());
    }
};

TEST_F(LoginDialog, EmptyFieldsSendNothingARefusalKeepsItOpenASuccessRemembers) {
    int closes = 0, posted = 0;
    std::vector<std::string> statuses;
    LoginDialogLogic dialog(
        *service, [&] { ++closes; }, [&] { ++posted; });
    dialog.setStatusListener([&](const std::string& s) { statuses.push_back(s); });
    dialog.setMode(LoginDialogLogic::kModeNcmd);
    dialog.setDeviceIp("127.0.0.1");
    dialog.onShow();
    EXPECT_FALSE(dialog.canClose());

    dialog.onOk("", "secret");
    dialog.onOk("admin", "");
    EXPECT_EQ(responder.requestCount(), 0u) << "OK with an empty field does nothing";
    EXPECT_EQ(dialog.status(), "");

    dialog.onOk("admin", "wrong");
    EXPECT_EQ(dialog.status(), "Login failure.");
    EXPECT_TRUE(dialog.fieldsEnabled());
    EXPECT_FALSE(dialog.loggedIn());
    EXPECT_FALSE(dialog.canClose());
    EXPECT_EQ(closes, 0);

    statuses.clear();
    dialog.onOk("admin", "secret");
    EXPECT_EQ(statuses, (std::vector<std::string>{"Please wait until verification finishes...", "Login success."}));
    EXPECT_TRUE(dialog.loggedIn());
    EXPECT_TRUE(dialog.canClose());
    EXPECT_EQ(closes, 1);
    EXPECT_EQ(posted, 1);
    const auto entry = service->devices().find("127.0.0.1");
    ASSERT_TRUE(entry);
    EXPECT_STREQ(entry->loginAccount, "admin");
    EXPECT_STREQ(entry->loginPassword, "secret");
    EXPECT_TRUE(entry->node->loggedIn());

    // Showing again resets; Cancel must be able to close.
    dialog.onShow();
    EXPECT_FALSE(dialog.canClose());
    bool closableWhenAsked = false;
    LoginDialogLogic cancelling(*service, [&] { closableWhenAsked = true; }, {});
    cancelling.setMode("ncmd");
    cancelling.onShow();
    cancelling.onCancel();
    EXPECT_TRUE(closableWhenAsked);
    EXPECT_TRUE(cancelling.canClose());

    // Other modes are not the device login.
    LoginDialogLogic other(*service, {}, {});
    other.setMode("control");
    other.setDeviceIp("127.0.0.1");
    other.onShow();
    const std::size_t before = responder.requestCount();
    other.onOk("admin", "secret");
    EXPECT_EQ(responder.requestCount(), before);
}

} // namespace
