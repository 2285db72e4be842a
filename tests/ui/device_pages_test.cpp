// The device page with simulated device servers in a namespace of their own: the search
// dialog and what it leaves in the window, the web command and the login dialog.

#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <cstdlib>
#include <fstream>
#include <sys/stat.h>

#include "../integration/control_harness.h"
#include "device/device_list.h"
#include "program_harness.h"
#include "ui/t_progress_bar_box.h"
#include "ui/t_small_input_dialog.h"
#include "ui/t_temp_search_dialog.h"

namespace {

using namespace ui_test;
using control_test::DeviceLink;
using control_test::Devsim;

class DevicePages : public ::testing::Test {
protected:
    void SetUp() override {
        TARN_REQUIRE_PRIVATE_NETNS();
        if (::access(control_test::devsimPath().c_str(), X_OK) != 0)
            GTEST_FAIL() << "the simulator is not built: " << control_test::devsimPath();
        m_home = std::make_unique<TempHome>();
        m_link = std::make_unique<DeviceLink>(60);
        ASSERT_TRUE(m_link->ok()) << m_link->error();
        ASSERT_TRUE(m_link->addDeviceAddress(3));
        ASSERT_TRUE(m_link->addDeviceAddress(4));
        std::vector<std::string> arguments{"--no-raw"};
        for (int host : {2, 3, 4}) {
            arguments.push_back("--device");
            arguments.push_back("ip=" + m_link->deviceIp(host) + ",mac=02:00:00:00:60:0" + std::to_string(host) +
                                ",id=" + std::to_string(4000 + host) + ",name=Line-" + std::to_string(host) +
                                ",project=Plant");
        }
        ASSERT_TRUE(m_devsim.start(m_link->ns(), arguments));
        ASSERT_TRUE(waitUntil([&] { return m_devsim.count("devsim ready") == 1; })) << m_devsim.transcript();
    }
    void TearDown() override {
        m_program.reset();
        m_devsim.stop();
    }
    void start(bool searchAtStartUp) {
        TarnProgram::Options options = programOptions();
        options.core.deviceManagement = true;
        options.core.runStartUpCommand = searchAtStartUp;
        options.core.announceStartUpSearch = true;
        m_program = std::make_unique<TarnProgram>(std::move(options));
        form().show();
    }
    TForm1& form() { return m_program->form(); }
    QString lastDeviceLog() {
        const int rows = form().deviceLog()->rowCount();
        return rows ? form().deviceLog()->cell(rows - 1, 1) : QString();
    }

    std::unique_ptr<TempHome> m_home;
    std::unique_ptr<DeviceLink> m_link;
    Devsim m_devsim;
    std::unique_ptr<TarnProgram> m_program;
};

TEST_F(DevicePages, TheSearchDialogCountsDownCannotBeClosedEarlyAndFillsTheDevicePage) {
    start(false);
    EXPECT_EQ(form().headerText(), u"Device Info- 0 Device(s)"_s);
    ASSERT_TRUE(clickTool(form().deviceToolBar(), u"Search Device(s)"_s));
    TtempSearchDialog& search = m_program->searchDialog();
    ASSERT_TRUE(search.isVisible());
    EXPECT_TRUE(search.isModal());

    ASSERT_TRUE(waitUntil([&] { return search.answers()->rowCount() == 3; }));
    EXPECT_TRUE(search.statusLabel()->text().startsWith(u"Find 3 Device(s); time out remains = "_s))
        << search.statusLabel()->text().toStdString();
    EXPECT_EQ(search.answers()->cell(0, 2), u"02.00.00.00.60.02"_s);
    // Counting: neither the close button nor Escape ends it.
    search.close();
    QTest::keyClick(&search, Qt::Key_Escape);
    EXPECT_TRUE(search.isVisible());

    // The eighth tick reports the end; the window then shows what the search found.
    ASSERT_TRUE(waitUntil([&] { return !search.isVisible(); }));
    EXPECT_EQ(search.countdown().remaining(), 0);
    EXPECT_EQ(search.answers()->rowCount(), 0);
    EXPECT_TRUE(form().isEnabled());
    EXPECT_EQ(form().headerText(), u"Device Info- 3 Device(s)"_s);
    ASSERT_EQ(form().deviceModel()->rowCount(), 3);
    EXPECT_EQ(form().deviceModel()->row(0).cells,
              (QStringList{u"1"_s, u"0FA2"_s, u"Line-2"_s, u"Plant"_s, u"02.00.00.00.60.02"_s,
                           QString::fromStdString(m_link->deviceIp(2)), u"255.255.255.0"_s, u"0.0.0.0"_s}));
    ASSERT_TRUE(waitUntil([&] { return lastDeviceLog() == u"3 device(s) searched."_s; }));
    EXPECT_FALSE(m_program->progressBox().isVisible());
}

TEST_F(DevicePages, StartUpSearchThenWebPageAndLogin) {
    // A stand-in browser: records the address it was given.
    const std::string bin = m_home->root() + "/bin";
    ::mkdir(bin.c_str(), 0700);
    const std::string opened = m_home->root() + "/opened";
    {
        std::ofstream script(bin + "/xdg-open");
        script << "#!/bin/sh\nprintf '%s' \"$1\" > " << opened << "\n";
    }
    ::chmod((bin + "/xdg-open").c_str(), 0700);
    const std::string path = std::getenv("PATH") ? std::getenv("PATH") : "";
    ::setenv("PATH", (bin + ":/usr/bin:/bin").c_str(), 1);

    start(true);
    // The start-up search fills the page; without a tray the window goes to its minimised place.
    ASSERT_TRUE(waitUntil([&] { return form().deviceModel()->rowCount() == 3; }));
    EXPECT_TRUE(form().isMinimized());
    EXPECT_EQ(form().headerText(), u"Device Info- 3 Device(s)"_s);
    ASSERT_TRUE(waitUntil([&] { return lastDeviceLog() == u"3 device(s) searched."_s; }));
    form().showNormal();

    ASSERT_TRUE(clickTool(form().deviceToolBar(), u"Web"_s));
    EXPECT_EQ(shownError(*m_program), u"Please select a device first."_s);
    clickRow(form().deviceView(), 1);
    ASSERT_TRUE(clickTool(form().deviceToolBar(), u"Web"_s));
    TsmallBox& box = m_program->messageBox();
    EXPECT_EQ(box.messageStyle(), TsmallBox::Style::Processing);
    EXPECT_EQ(box.messageLabel()->text(), u"Processing, please wait..."_s);
    ASSERT_TRUE(waitUntil([&] { return !box.isVisible(); }));
    ASSERT_TRUE(waitUntil([&] { return !readFileBytes(opened).empty(); }));
    const auto address = readFileBytes(opened);
    EXPECT_EQ(std::string(address.begin(), address.end()), "http://" + m_link->deviceIp(3));

    // No browser at all.
    ::unlink((bin + "/xdg-open").c_str());
    ASSERT_TRUE(clickTool(form().deviceToolBar(), u"Web"_s));
    EXPECT_TRUE(waitUntil([&] { return shownError(*m_program) == u"Unable to open default browser."_s; }));
    ::setenv("PATH", path.c_str(), 1);

    TsmallInputDialog& login = m_program->loginDialog();
    const std::string ip = m_link->deviceIp(3);
    login.setMode(u"ncmd"_s);
    login.setDeviceIp(QString::fromStdString(ip));
    login.open();
    ASSERT_TRUE(login.isVisible());
    QTest::mouseClick(login.okButton(), Qt::LeftButton);
    EXPECT_TRUE(login.statusLine()->text().isEmpty()) << "OK with empty fields does nothing";
    login.close();
    EXPECT_TRUE(login.isVisible()) << "no close before a login or a Cancel";

    QTest::keyClicks(login.accountField(), u"admin"_s);
    QTest::keyClicks(login.passwordField(), u"wrong"_s);
    EXPECT_EQ(login.passwordField()->displayText(), u"*****"_s);
    QTest::mouseClick(login.okButton(), Qt::LeftButton);
    EXPECT_EQ(login.statusLine()->text(), u"Please wait until verification finishes..."_s);
    EXPECT_FALSE(login.accountField()->isEnabled());
    ASSERT_TRUE(waitUntil([&] { return login.statusLine()->text() == u"Login failure."_s; }));
    EXPECT_TRUE(login.accountField()->isEnabled());
    EXPECT_TRUE(login.isVisible());

    login.passwordField()->clear();
    QTest::keyClicks(login.passwordField(), u"admin"_s);
    QTest::mouseClick(login.okButton(), Qt::LeftButton);
    ASSERT_TRUE(waitUntil([&] { return !login.isVisible(); }));
    EXPECT_EQ(login.statusLine()->text(), u"Login success."_s);
    const auto device = m_program->core().deviceList()->find(ip.c_str());
    ASSERT_NE(device, nullptr);
    EXPECT_STREQ(device->loginAccount, "admin");

    // Cancel closes at once, even before anything was typed.
    login.open();
    QTest::mouseClick(login.cancelButton(), Qt::LeftButton);
    EXPECT_FALSE(login.isVisible());

    // A row whose device a later search no longer holds: a clear error, nothing else.
    m_program->core().deviceList()->clear();
    form().configureCommand();
    EXPECT_EQ(shownError(*m_program), QString::fromStdString("No device with IP " + m_link->deviceIp(3) + "."));
}

} // namespace
