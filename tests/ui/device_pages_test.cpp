// The device page with simulated device servers in a namespace of their own: the search
// dialog and what it leaves in the window, the web command and the login dialog.

#include <QCheckBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QTimer>
#include <QWheelEvent>
#include <cstdlib>
#include <fstream>
#include <sys/stat.h>

#include "../integration/control_harness.h"
#include "device/device_list.h"
#include "program_harness.h"
#include "support/core_probe.h"
#include "ui/t_config_dialog.h"
#include "ui/t_progress_bar_box.h"
#include "ui/t_small_input_dialog.h"
#include "ui/t_tarn_add_gui.h"
#include "ui/t_temp_search_dialog.h"

namespace {

using namespace ui_test;
using control_test::DeviceLink;
using control_test::Devsim;

// On the radio's (or box's) mark, where a person clicks (the middle of a wide one is empty space).
void clickRadio(QAbstractButton* radio) {
    QTest::mouseClick(radio, Qt::LeftButton, {}, QPoint(6, radio->height() / 2));
}

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
        // One device of each working mode: a TCP server, a TCP client, a UDP device.
        const char* modes[] = {"mode=tcp-server,data-port=4001", "mode=tcp-client,remote=10.79.60.1:5003",
                               "mode=udp,data-port=4002"};
        std::vector<std::string> arguments{"--no-raw"};
        for (int host : {2, 3, 4}) {
            arguments.push_back("--device");
            arguments.push_back("ip=" + m_link->deviceIp(host) + ",mac=02:00:00:00:60:0" + std::to_string(host) +
                                ",id=" + std::to_string(4000 + host) + ",name=Line-" + std::to_string(host) +
                                ",project=Plant," + modes[host - 2]);
        }
        ASSERT_TRUE(m_devsim.start(m_link->ns(), arguments));
        ASSERT_TRUE(waitUntil([&] { return m_devsim.count("devsim ready") == 1; })) << m_devsim.transcript();
    }
    void TearDown() override {
        m_program.reset();
        m_devsim.stop();
    }
    void start(bool searchAtStartUp, int searchTimeoutMs = 3000) {
        TarnProgram::Options options = programOptions();
        options.core.deviceManagement = true;
        options.core.searchTimeoutMs = searchTimeoutMs;
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

// SIGTERM and the session's end come to endSession: the program ends at once, though the
// dialog refuses to close during its count-down and the search would collect for minutes.
TEST_F(DevicePages, ASessionEndEndsTheProgramAtOnceWhileASearchRuns) {
    start(false, 120000);
    form().searchCommand();
    TtempSearchDialog& search = m_program->searchDialog();
    ASSERT_TRUE(waitUntil([&] { return search.answers()->rowCount() == 3; }));
    QTimer::singleShot(0, &form(), [this] { form().endSession(); });
    QTimer watchdog;
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, [] { QCoreApplication::exit(1); });
    watchdog.start(kWaitMs);
    const auto began = std::chrono::steady_clock::now();
    EXPECT_EQ(QCoreApplication::exec(), 0) << "the program went on after the session ended";
    EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::milliseconds(kWaitMs))
        << "the end waited for the search";
    EXPECT_TRUE(m_program->core().isShutDown());
    EXPECT_FALSE(search.timer()->isActive()) << "the count-down would read a search that is gone";
    EXPECT_FALSE(search.isVisible());
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
    // The start-up search fills the page; without a tray the window stays shown.
    ASSERT_TRUE(waitUntil([&] { return form().deviceModel()->rowCount() == 3; }));
    EXPECT_FALSE(form().isMinimized());
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

    // An opener that finds no browser (xdg-open's status 3), then no opener at all: the
    // address comes with the message, to be copied.
    const QString noBrowser =
        u"Unable to open default browser.\nhttp://"_s + QString::fromStdString(m_link->deviceIp(3));
    {
        std::ofstream script(bin + "/xdg-open");
        script << "#!/bin/sh\nexit 3\n";
    }
    ASSERT_TRUE(clickTool(form().deviceToolBar(), u"Web"_s));
    EXPECT_TRUE(waitUntil([&] { return shownError(*m_program) == noBrowser; }));
    m_program->messageBox().hide();
    ::unlink((bin + "/xdg-open").c_str());
    ::setenv("PATH", bin.c_str(), 1);
    ASSERT_TRUE(clickTool(form().deviceToolBar(), u"Web"_s));
    EXPECT_TRUE(waitUntil([&] { return shownError(*m_program) == noBrowser; }));
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
    const auto device = core::ProgramCoreProbe::devices(m_program->core())->find(ip.c_str());
    ASSERT_NE(device, nullptr);
    EXPECT_STREQ(device->loginAccount, "admin");

    // Cancel closes at once, even before anything was typed.
    login.open();
    QTest::mouseClick(login.cancelButton(), Qt::LeftButton);
    EXPECT_FALSE(login.isVisible());

    // A row whose device a later search no longer holds: a clear error, nothing else.
    core::ProgramCoreProbe::devices(m_program->core())->clear();
    form().configureCommand();
    EXPECT_EQ(shownError(*m_program), QString::fromStdString("No device with IP " + m_link->deviceIp(3) + "."));
}

TEST_F(DevicePages, TheAddDialogFollowsItsRadiosFillsFromPickedDevicesAndChecksBeforeItCreates) {
    start(true);
    ASSERT_TRUE(waitUntil([&] { return form().deviceModel()->rowCount() == 3; }));
    form().selectPage(TForm1::Page::ComMapping);
    ASSERT_TRUE(clickTool(form().mappingToolBar(), u"Add"_s));
    TTARNAddGUI& add = m_program->addDialog();
    ASSERT_TRUE(add.isVisible());
    EXPECT_FALSE(add.isModal());
    EXPECT_EQ(add.devices()->rowCount(), 3);
    EXPECT_EQ(add.comField()->text(), QString::number(m_program->core().proposedComNumber()));
    // The arrows read the field as the OK check does: "40abc" is 40.
    add.comField()->setText(u"40abc"_s);
    add.comUp();
    EXPECT_EQ(add.comField()->text(), QString::number(m_program->core().comNumberUp(40)));
    EXPECT_FALSE(add.controlPortField()->isVisible());
    EXPECT_FALSE(add.passwordField()->isVisible());

    // TCP client at first: the remote side is asked for, and RFC 2217 may be ticked.
    EXPECT_TRUE(add.tcpRadio()->isChecked() && add.clientRadio()->isChecked());
    EXPECT_FALSE(add.localPortField()->isEnabled());
    EXPECT_TRUE(add.remotePortField()->isEnabled() && add.ipField()->isEnabled());
    EXPECT_TRUE(add.rfc2217Box()->isEnabled());
    clickRadio(add.rfc2217Box());
    clickRadio(add.serverRadio());
    EXPECT_TRUE(add.localPortField()->isEnabled());
    EXPECT_FALSE(add.remotePortField()->isEnabled() || add.ipField()->isEnabled());
    EXPECT_FALSE(add.rfc2217Box()->isEnabled() || add.rfc2217Box()->isChecked()) << "a server cannot speak it";
    clickRadio(add.udpRadio());
    EXPECT_FALSE(add.serverRadio()->isEnabled() || add.clientRadio()->isEnabled());
    EXPECT_TRUE(add.localPortField()->isEnabled() && add.remotePortField()->isEnabled() && add.ipField()->isEnabled());
    clickRadio(add.tcpRadio());
    EXPECT_TRUE(add.serverRadio()->isEnabled());
    EXPECT_TRUE(add.localPortField()->isEnabled()) << "server still checked";

    // Each device's working mode chooses the mapping's mode and port.
    const auto ip = [&](int host) { return QString::fromStdString(m_link->deviceIp(host)); };
    clickRow(add.deviceList(), 0);
    EXPECT_EQ(add.ipField()->text(), ip(2));
    EXPECT_TRUE(add.tcpRadio()->isChecked() && add.clientRadio()->isChecked());
    EXPECT_EQ(add.remotePortField()->text(), u"4001"_s);
    clickRow(add.deviceList(), 1);
    EXPECT_TRUE(add.tcpRadio()->isChecked() && add.serverRadio()->isChecked());
    EXPECT_EQ(add.localPortField()->text(), u"5003"_s);
    clickRow(add.deviceList(), 2);
    EXPECT_TRUE(add.udpRadio()->isChecked());
    EXPECT_EQ(add.remotePortField()->text(), u"4002"_s);
    EXPECT_FALSE(add.localPortField()->isReadOnly() || add.remotePortField()->isReadOnly());

    // Checks fail: the message shows and the dialog keeps the input.
    clickRow(add.deviceList(), 0);
    add.comField()->clear();
    QTest::mouseClick(add.okButton(), Qt::LeftButton);
    EXPECT_EQ(shownError(*m_program), u"Please DON'T give an invalid comport number.\n"_s);
    EXPECT_TRUE(add.isVisible());
    add.comField()->setText(u"40"_s);
    add.remotePortField()->setText(u"49152"_s);
    QTest::mouseClick(add.okButton(), Qt::LeftButton);
    EXPECT_EQ(shownError(*m_program), u"Please give valid Port Number(s).\n"_s);
    EXPECT_TRUE(add.isVisible());
    EXPECT_EQ(add.ipField()->text(), ip(2));

    add.remotePortField()->setText(u"4001"_s);
    QTest::mouseClick(add.okButton(), Qt::LeftButton);
    EXPECT_FALSE(add.isVisible());
    ASSERT_TRUE(waitUntil([&] { return form().mappingModel()->rowCount() == 1; })) << "the next tick shows it";
    EXPECT_EQ(form().mappingModel()->cell(0, 1), u"40"_s);
    EXPECT_EQ(form().mappingModel()->cell(0, 4), ip(2));
    ASSERT_EQ(readFileBytes(m_home->mappingFile()).size(), 112u);

    // The same device again is refused.
    form().addMappingCommand();
    clickRow(add.deviceList(), 0);
    QTest::mouseClick(add.okButton(), Qt::LeftButton);
    EXPECT_EQ(shownError(*m_program), u"This IP has already been connected with a device.\n"_s);
    QTest::mouseClick(add.cancelButton(), Qt::LeftButton);
    EXPECT_FALSE(add.isVisible());
    EXPECT_EQ(m_program->core().mappingCount(), 1u);

    // The UDP device as an RFC 2217 TCP client: the box opens with TCP and Client, and OK
    // stores a marked mapping.
    form().addMappingCommand();
    clickRow(add.deviceList(), 2);
    EXPECT_FALSE(add.rfc2217Box()->isEnabled());
    clickRadio(add.tcpRadio());
    clickRadio(add.rfc2217Box());
    QTest::mouseClick(add.okButton(), Qt::LeftButton);
    const auto bytes = readFileBytes(m_home->mappingFile());
    ASSERT_EQ(bytes.size(), 224u) << shownError(*m_program).toStdString();
    EXPECT_FALSE(isRfc2217(decodeDesc(bytes.data())));
    EXPECT_TRUE(isRfc2217(decodeDesc(bytes.data() + 112)));
}

// The control of the description's field at `start` of the given type.
const config::XMLGUI* fieldAt(TConfigDialog& dialog, int start, const std::string& type,
                              const std::string& datatype = {}) {
    for (const config::XMLGUI& item : dialog.items())
        if (item.rwStartIndex == start && item.type == type && (datatype.empty() || item.datatype == datatype))
            return &item;
    return nullptr;
}

QRadioButton* radioButton(TConfigDialog& dialog, const config::XMLGUI* item, int button) {
    QWidget* box = item ? dialog.widgetOf(item->control) : nullptr;
    const auto buttons = box ? box->findChildren<QRadioButton*>() : QList<QRadioButton*>();
    return button < buttons.size() ? buttons[button] : nullptr;
}

TEST_F(DevicePages, ConfiguringADeviceChangesWhatItAnswersAndARefusedValueWritesNothing) {
    start(true);
    ASSERT_TRUE(waitUntil([&] { return form().deviceModel()->rowCount() == 3; }));
    // Nothing remembered yet: the login dialog asks first.
    // A double click as the window system delivers it: a click, then the second press.
    const QPoint onRow = form().deviceView()->visualRect(form().deviceModel()->index(0, 0)).center();
    QTest::mouseClick(form().deviceView()->viewport(), Qt::LeftButton, {}, onRow);
    QTest::mouseDClick(form().deviceView()->viewport(), Qt::LeftButton, {}, onRow);
    TsmallInputDialog& login = m_program->loginDialog();
    ASSERT_TRUE(waitUntil([&] { return login.isVisible(); }));
    EXPECT_EQ(login.windowTitle(), u"Input Attributes - Line-2 ("_s + form().deviceModel()->cell(0, 5) + u")"_s);
    QTest::keyClicks(login.accountField(), u"admin"_s);
    QTest::keyClicks(login.passwordField(), u"admin"_s);
    QTest::mouseClick(login.okButton(), Qt::LeftButton);
    TConfigDialog& config = m_program->configDialog();
    ASSERT_TRUE(waitUntil([&] { return config.isVisible(); }));
    EXPECT_EQ(config.mainBox()->verticalScrollBar()->value(), 0);
    const QString deviceIp = form().deviceModel()->cell(0, 5);
    EXPECT_EQ(config.windowTitle(), u"Configure Dialog - Line-2 ("_s + deviceIp + u")"_s);

    const config::XMLGUI* name = fieldAt(config, 0x040, "textfield");
    const config::XMLGUI* ip = fieldAt(config, 0x020, "textfield", "ip");
    const config::XMLGUI* localPort = fieldAt(config, 0x0C2, "textfield", "port");
    const config::XMLGUI* tcpMode = fieldAt(config, 0x0C0, "radio", "tcpradio");
    const config::XMLGUI* udpMode = fieldAt(config, 0x0C0, "radio", "udpradio");
    ASSERT_TRUE(name && ip && localPort && tcpMode && udpMode);
    auto* nameEdit = qobject_cast<QLineEdit*>(config.widgetOf(name->control));
    auto* ipEdit = qobject_cast<QLineEdit*>(config.widgetOf(ip->control));
    auto* portEdit = qobject_cast<QLineEdit*>(config.widgetOf(localPort->control));
    ASSERT_TRUE(nameEdit && ipEdit && portEdit);
    EXPECT_EQ(nameEdit->text(), u"Line-2"_s);
    EXPECT_EQ(ipEdit->text(), QString::fromStdString(m_link->deviceIp(2)));
    EXPECT_EQ(portEdit->text(), u"4001"_s);
    EXPECT_TRUE(radioButton(config, tcpMode, 0)->isChecked()) << "a TCP server";

    // The two mode groups keep each other apart.
    QTest::mouseClick(radioButton(config, udpMode, 1), Qt::LeftButton, {}, QPoint(6, 8));
    EXPECT_TRUE(radioButton(config, tcpMode, 0)->isChecked());
    QTest::mouseClick(radioButton(config, tcpMode, 1), Qt::LeftButton, {}, QPoint(6, 8));
    EXPECT_TRUE(radioButton(config, udpMode, 0)->isChecked());
    // The wheel scrolls the dialog by 50, whatever is under the pointer.
    QWheelEvent wheel(QPointF(10, 10), QPointF(10, 10), QPoint(), QPoint(0, -120), Qt::NoButton, Qt::NoModifier,
                      Qt::NoScrollPhase, false);
    QApplication::sendEvent(nameEdit, &wheel);
    EXPECT_EQ(config.mainBox()->verticalScrollBar()->value(), 50);

    nameEdit->setText(u"Press-9"_s);
    ipEdit->setText(u"10.79.60.9"_s);
    portEdit->setText(u"0"_s);
    QTest::mouseClick(config.okButton(), Qt::LeftButton);
    EXPECT_EQ(shownError(*m_program),
              u"These values are not valid; nothing was written:\n"_s + QString::fromStdString(localPort->caption));
    EXPECT_TRUE(config.isVisible()) << "the input stays to be mended";

    // Cancel drops the edits: the next opening shows the device's values (and logs in by
    // itself with what worked before).
    QTest::mouseClick(config.cancelButton(), Qt::LeftButton);
    EXPECT_FALSE(config.isVisible());
    form().configureCommand();
    ASSERT_TRUE(waitUntil([&] { return config.isVisible(); }));
    EXPECT_FALSE(login.isVisible());
    EXPECT_EQ(nameEdit->text(), u"Line-2"_s);
    // The focus starts on the form's first field, not where the last opening left it; Enter,
    // in a field or on the OK picture, never writes.
    QWidget* focused = config.focusWidget();
    ASSERT_NE(focused, nullptr);
    EXPECT_TRUE(config.mainBox()->widget()->isAncestorOf(focused));
    EXPECT_NE(focused, config.okButton());
    QTest::keyClick(nameEdit, Qt::Key_Return);
    config.okButton()->setFocus();
    QTest::keyClick(config.okButton(), Qt::Key_Enter);
    EXPECT_FALSE(m_program->messageBox().isVisible()) << "a write was started";
    EXPECT_TRUE(config.isVisible());
    // Another device's configure while this one is open is refused: the OK below must write
    // to the device this dialog shows and to no other.
    const QString other = form().deviceModel()->cell(1, 2);
    form().deviceView()->selectRow(1);
    form().configureCommand();
    EXPECT_TRUE(config.isVisible());
    EXPECT_FALSE(login.isVisible());
    EXPECT_EQ(nameEdit->text(), u"Line-2"_s);

    nameEdit->setText(u"Press-9"_s);
    ipEdit->setText(u"10.79.60.9"_s);
    QTest::mouseClick(radioButton(config, tcpMode, 1), Qt::LeftButton, {}, QPoint(6, 8));
    QTest::mouseClick(config.okBarButton(), Qt::LeftButton); // the labelled OK below the form
    ASSERT_TRUE(waitUntil([&] { return !config.isVisible(); }));
    EXPECT_TRUE(shownError(*m_program).isEmpty()) << shownError(*m_program).toStdString();
    EXPECT_TRUE(waitUntil([&] {
        const auto* log = form().deviceLog();
        return log->rowCount() > 0 &&
               log->cell(log->rowCount() - 1, 1) == u"Configuration of "_s + deviceIp + u" written."_s;
    }));

    // The device answers the next search with what was written.
    form().searchCommand();
    ASSERT_TRUE(waitUntil([&] { return !m_program->searchDialog().isVisible(); }));
    QStringList names = column(form().deviceView(), 2);
    const int row = static_cast<int>(names.indexOf(u"Press-9"_s));
    ASSERT_GE(row, 0) << names.join(u',').toStdString();
    EXPECT_EQ(names.count(u"Press-9"_s), 1);
    EXPECT_TRUE(names.contains(other)) << names.join(u',').toStdString();
    EXPECT_EQ(form().deviceModel()->cell(row, 5), u"10.79.60.9"_s);
    std::array<std::uint8_t, 1> mode{};
    core::ProgramCoreProbe::devices(m_program->core())->findOption("10.79.60.9", 4, mode);
    EXPECT_EQ(mode[0], 2) << "the device is now a TCP client";

    // A box ticked and cancelled on one device, then the UDP device, each through the login
    // dialog: nothing of the dialog shown last stays.
    const config::XMLGUI* delimiter = fieldAt(config, 165, "check", "delimiter");
    ASSERT_NE(delimiter, nullptr);
    auto* delimiterBox = qobject_cast<QCheckBox*>(config.widgetOf(delimiter->control));
    ASSERT_NE(delimiterBox, nullptr);
    const auto configureThroughLogin = [&](const QString& device) {
        form().deviceView()->selectRow(static_cast<int>(column(form().deviceView(), 2).indexOf(device)));
        form().configureCommand();
        ASSERT_TRUE(waitUntil([&] { return login.isVisible(); }));
        QTest::keyClicks(login.accountField(), u"admin"_s);
        QTest::keyClicks(login.passwordField(), u"admin"_s);
        QTest::mouseClick(login.okButton(), Qt::LeftButton);
        ASSERT_TRUE(waitUntil([&] { return config.isVisible(); }));
        EXPECT_EQ(nameEdit->text(), device);
    };
    ASSERT_NO_FATAL_FAILURE(configureThroughLogin(other));
    ASSERT_FALSE(delimiterBox->isChecked());
    delimiterBox->setChecked(true);
    QTest::mouseClick(config.cancelButton(), Qt::LeftButton);
    ASSERT_NO_FATAL_FAILURE(configureThroughLogin(u"Line-4"_s));
    EXPECT_TRUE(radioButton(config, udpMode, 1)->isChecked());
    EXPECT_FALSE(delimiterBox->isChecked()) << "a tick of the dialog shown last";
    QTest::mouseClick(config.cancelButton(), Qt::LeftButton);
}

// Every window and dialog lies whole on the screen, OK and Cancel in view; a ctest entry runs
// this again at QT_SCALE_FACTOR=2 on a 1366x768 screen, where the specified sizes do not fit.
TEST_F(DevicePages, EveryDialogFitsTheScreen) {
    start(true);
    ASSERT_TRUE(waitUntil([&] { return form().deviceModel()->rowCount() == 3; }));
    const auto expectOnScreen = [](QWidget& window, QWidget* mustShow = nullptr) {
        ASSERT_TRUE(window.isVisible()) << window.windowTitle().toStdString();
        const QRect area = window.screen()->availableGeometry();
        EXPECT_TRUE(area.contains(window.frameGeometry()))
            << window.windowTitle().toStdString() << " at " << window.frameGeometry().x() << ","
            << window.frameGeometry().y() << " " << window.frameGeometry().width() << "x"
            << window.frameGeometry().height() << " on " << area.width() << "x" << area.height();
        if (mustShow) {
            EXPECT_TRUE(window.rect().contains(QRect(mustShow->mapTo(&window, QPoint(0, 0)), mustShow->size())))
                << mustShow->objectName().toStdString() << " is out of " << window.windowTitle().toStdString();
        }
    };
    form().showNormal();
    expectOnScreen(form());

    form().selectPage(TForm1::Page::ComMapping);
    form().addMappingCommand();
    TTARNAddGUI& add = m_program->addDialog();
    expectOnScreen(add, add.findChild<QPushButton*>(u"BitBtn2"_s));
    add.reject();

    form().selectPage(TForm1::Page::DeviceInfo);
    form().deviceView()->selectRow(0);
    form().configureCommand();
    TsmallInputDialog& login = m_program->loginDialog();
    ASSERT_TRUE(waitUntil([&] { return login.isVisible(); }));
    expectOnScreen(login, login.cancelButton());
    QTest::keyClicks(login.accountField(), u"admin"_s);
    QTest::keyClicks(login.passwordField(), u"admin"_s);
    QTest::mouseClick(login.okButton(), Qt::LeftButton);
    TConfigDialog& config = m_program->configDialog();
    ASSERT_TRUE(waitUntil([&] { return config.isVisible(); }));
    expectOnScreen(config, config.okBarButton());
    QTest::mouseClick(config.cancelButton(), Qt::LeftButton);

    form().showAbout();
    expectOnScreen(m_program->messageBox());
    m_program->messageBox().hide();
    form().searchCommand();
    expectOnScreen(m_program->searchDialog());
}

// A broken description says so and leaves configuration out for the run; the program and
// its mappings go on.
TEST_F(DevicePages, ABrokenDescriptionIsReportedAndTheProgramGoesOn) {
    ASSERT_TRUE(writeFileBytes(m_home->root() + "/config/tarn/eeprom_GUI.xml", {'<', 'X', 'M', 'L', '>', '<', 'a'}));
    start(true);
    ASSERT_TRUE(waitUntil([&] { return form().deviceModel()->rowCount() == 3; }));
    form().deviceView()->selectRow(0);
    form().configureCommand();
    QMessageBox* box = form().findChild<QMessageBox*>();
    ASSERT_NE(box, nullptr);
    EXPECT_TRUE(box->isVisible());
    EXPECT_EQ(box->windowTitle(), u"XML Parsing error"_s);
    EXPECT_TRUE(box->text().startsWith(u"XML Parsing error inside file '"_s)) << box->text().toStdString();
    EXPECT_FALSE(m_program->configDialog().isVisible());
    EXPECT_FALSE(m_program->core().isShutDown());
    // Asked again, it answers the same way without reading the file again.
    box->hide();
    form().configureCommand();
    EXPECT_TRUE(box->isVisible());
    EXPECT_FALSE(m_program->configDialog().loaded());
}

} // namespace
