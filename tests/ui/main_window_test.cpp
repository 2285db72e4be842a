// The main window as a person uses it: tray and close, exit, remove, the tree, sorting and
// the mapping list's colours and refresh, with real ports and loopback peers.

#include <QClipboard>
#include <QGuiApplication>
#include <QSystemTrayIcon>
#include <QTreeWidget>
#include <netinet/in.h>

#include "program_harness.h"
#include "support/core_probe.h"
#include "support/netns.h"
#include "support/pty_app.h"
#include "ui/t_tarn_add_gui.h"

namespace {

using namespace ui_test;

class MainWindow : public ::testing::Test {
protected:
    void SetUp() override {
        TARN_REQUIRE_PRIVATE_NETNS();
        m_home = std::make_unique<TempHome>();
    }
    void start(bool trayAvailable = false) {
        m_program = std::make_unique<TarnProgram>(programOptions(trayAvailable));
        m_program->form().show();
    }
    void add(int com, std::int32_t mode, const char* ip, std::uint16_t localPort, std::uint16_t remotePort) {
        const auto outcome = core().addMapping(makeDesc(com, mode, ip, localPort, remotePort));
        ASSERT_TRUE(outcome.ok()) << outcome.error();
    }
    core::ProgramCore& core() { return m_program->core(); }
    TForm1& form() { return m_program->form(); }
    // The mapping page, rebuilt from the core.
    void showMappings() {
        form().selectPage(TForm1::Page::ComMapping);
        core().markMappingListStale();
        form().refreshMappingList();
    }

    std::unique_ptr<TempHome> m_home;
    std::unique_ptr<TarnProgram> m_program;
};

TEST_F(MainWindow, StartUpLeavesForATrayOnlyOrWhenAskedToStartMinimised) {
    struct Case {
        bool tray, minimized;
        bool shown, minimisedWindow;
    };
    for (const Case c :
         {Case{true, false, false, false}, Case{false, false, true, false}, Case{false, true, true, true}}) {
        SCOPED_TRACE(std::string(c.tray ? "tray" : "no tray") + (c.minimized ? ", --minimized" : ""));
        m_program.reset();
        TarnProgram::Options options = programOptions(c.tray);
        options.core.runStartUpCommand = true;
        options.core.searchAtStartUp = false;
        options.window.startMinimized = c.minimized;
        m_program = std::make_unique<TarnProgram>(std::move(options));
        form().show();
        ASSERT_TRUE(waitUntil([&] { return form().startUpDone(); }));
        EXPECT_EQ(form().isVisible(), c.shown);
        EXPECT_EQ(form().isMinimized(), c.minimisedWindow);
        EXPECT_EQ(form().trayIcon()->isVisible(), c.tray);
    }
}

TEST_F(MainWindow, SizeColumnsAndPageComeBackInTheNextRun) {
    start();
    EXPECT_EQ(form().mappingView()->columnWidth(7), 150) << "the first run's width";
    form().resize(900, 640);
    form().mappingView()->setColumnWidth(7, 222);
    form().selectPage(TForm1::Page::ComMapping);
    m_program.reset();

    start();
    EXPECT_EQ(form().size(), QSize(900, 640));
    EXPECT_EQ(form().mappingView()->columnWidth(7), 222);
    EXPECT_EQ(form().page(), TForm1::Page::ComMapping);
}

TEST_F(MainWindow, CloseGoesToTheTrayOrMinimisesAndRestoreBringsItBack) {
    start(true);
    form().close();
    EXPECT_FALSE(form().isVisible());
    EXPECT_TRUE(form().trayIcon()->isVisible());
    form().restoreFromTray();
    EXPECT_TRUE(form().isVisible());
    EXPECT_FALSE(form().trayIcon()->isVisible());
    EXPECT_FALSE(core().isShutDown());

    // Without a tray the window must stay reachable.
    m_program.reset();
    start(false);
    form().close();
    EXPECT_TRUE(form().isVisible());
    EXPECT_TRUE(form().isMinimized());
    EXPECT_FALSE(form().trayIcon()->isVisible());
    form().restoreFromTray();
    EXPECT_FALSE(form().isMinimized());
}

TEST_F(MainWindow, ExitIsRefusedWhileAPortIsOpenAndRemoveKeepsWhatItCannotTake) {
    start(true);
    add(61, kModeTcpServer, "0.0.0.0", 45061, 0);
    add(62, kModeTcpServer, "0.0.0.0", 45062, 0);
    add(63, kModeTcpServer, "0.0.0.0", 45063, 0);
    showMappings();
    ASSERT_EQ(form().mappingModel()->rowCount(), 3);

    EXPECT_TRUE(clickTool(form().mappingToolBar(), u"Remove"_s));
    EXPECT_EQ(shownError(*m_program), u"Please select an item first."_s);

    testsupport::PtyApp app(m_home->portLink(62));
    ASSERT_TRUE(app.ok()) << app.error();
    ASSERT_TRUE(waitUntil([&] { return core::ProgramCoreProbe::lists(core()).at(1).isOpen(); }));
    clickRow(form().mappingView(), 1);
    EXPECT_TRUE(clickTool(form().mappingToolBar(), u"Remove"_s));
    EXPECT_EQ(shownError(*m_program), u"COM62 is still open.\nPlease close it first."_s);
    EXPECT_EQ(form().mappingModel()->rowCount(), 3);

    EXPECT_TRUE(clickTool(form().mappingToolBar(), u"Exit"_s));
    EXPECT_EQ(shownError(*m_program), QString::fromLatin1(core::kCloseOpenPortsFirst) + u"\nStill open: COM62"_s);
    EXPECT_FALSE(form().exiting());
    // Still not exiting: the close button only hides the window.
    form().close();
    EXPECT_FALSE(form().isVisible());
    EXPECT_FALSE(core().isShutDown());
    form().restoreFromTray();

    // The first of three goes: logged, the rest renumbered 1 and 2, the file rewritten.
    clickRow(form().mappingView(), 0);
    EXPECT_TRUE(clickTool(form().mappingToolBar(), u"Remove"_s));
    EXPECT_EQ(column(form().mappingView(), 0), (QStringList{u"1"_s, u"2"_s}));
    EXPECT_EQ(column(form().mappingView(), 1), (QStringList{u"62"_s, u"63"_s}));
    EXPECT_EQ(form().headerText(), u"COM Mapping - 2 COM(s)"_s);
    EXPECT_EQ(readFileBytes(m_home->mappingFile()).size(), 2u * 112u);
    ASSERT_TRUE(waitUntil([&] { return form().mappingLog()->rowCount() >= 4; }));
    EXPECT_EQ(form().mappingLog()->cell(3, 1), u"COM61 is removed."_s);

    app.close();
    ASSERT_TRUE(waitUntil([&] { return !core::ProgramCoreProbe::lists(core()).at(0).isOpen(); }));
    form().exitCommand();
    EXPECT_TRUE(form().exiting());
    EXPECT_TRUE(core().isShutDown());
    EXPECT_FALSE(form().isVisible());
    EXPECT_EQ(readFileBytes(m_home->mappingFile()).size(), 2u * 112u) << "the file is not written at exit";
}

TEST_F(MainWindow, TheComCellSaysWhereThePortIsAndARemoveFromOutsideClearsTheLastRow) {
    start();
    add(64, kModeTcpServer, "0.0.0.0", 45064, 0);
    showMappings();
    ASSERT_EQ(form().mappingModel()->rowCount(), 1);
    // The file an application opens, and the terminal behind it; the context menu copies it.
    const QString link = QString::fromStdString(m_home->portLink(64));
    const QString tip = form().mappingModel()->data(form().mappingModel()->index(0, 1), Qt::ToolTipRole).toString();
    EXPECT_TRUE(tip.startsWith(link + u" \u2192 /dev/pts/"_s)) << tip.toStdString();
    clickRow(form().mappingView(), 0);
    form().copyPortPath();
    EXPECT_EQ(QGuiApplication::clipboard()->text(), link);
    // As tarnctl's remove arrives through the control socket: no click on the window.
    ASSERT_TRUE(core().removeMapping(64).ok());
    form().refreshMappingList();
    EXPECT_EQ(form().mappingModel()->rowCount(), 0);
    EXPECT_EQ(form().headerText(), u"COM Mapping - 0 COM(s)"_s);
}

TEST_F(MainWindow, TheKeysReachTheirCommandsAndTheMenuListsThemAll) {
    start();
    add(65, kModeTcpServer, "0.0.0.0", 45065, 0);
    QStringList entries;
    for (QAction* action : form().actions())
        entries << action->text() + u" "_s + action->shortcut().toString();
    EXPECT_EQ(entries, (QStringList{u"&Search F5"_s, u"&Add Mapping... Ctrl+N"_s, u"&Remove Mapping Del"_s,
                                    u"&Monitor... Ctrl+M"_s, u"&Configure Device... "_s, u"Open &Web Page "_s,
                                    u"A&bout... "_s, u"&Exit Ctrl+Q"_s}));
    ASSERT_TRUE(QTest::qWaitForWindowActive(&form()));

    QTest::keyClick(&form(), Qt::Key_Insert);
    EXPECT_TRUE(m_program->addDialog().isVisible());
    m_program->addDialog().hide();
    // Delete on the device page only brings the mappings up; on their page it removes.
    form().selectPage(TForm1::Page::DeviceInfo);
    QTest::keyClick(&form(), Qt::Key_Delete);
    ASSERT_EQ(form().page(), TForm1::Page::ComMapping);
    EXPECT_EQ(core().mappingCount(), 1u);
    showMappings();
    clickRow(form().mappingView(), 0);
    QTest::keyClick(&form(), Qt::Key_Delete);
    EXPECT_EQ(core().mappingCount(), 0u);
    QTest::keyClick(&form(), Qt::Key_Q, Qt::ControlModifier);
    EXPECT_TRUE(form().exiting());
}

TEST_F(MainWindow, TheTreeRefusesItsRootAndNeverCollapses) {
    start();
    QTreeWidget* tree = form().tree();
    QTreeWidgetItem* root = tree->topLevelItem(0);
    EXPECT_EQ(tree->currentItem()->text(0), u"Device Info"_s);
    form().selectPage(TForm1::Page::ComMapping);
    tree->setCurrentItem(root);
    ASSERT_TRUE(waitUntil([&] { return tree->currentItem() != root; }));
    EXPECT_EQ(tree->currentItem()->text(0), u"COM Mapping"_s);
    EXPECT_EQ(form().page(), TForm1::Page::ComMapping);
    EXPECT_TRUE(form().mappingToolBar()->isVisible());
    EXPECT_FALSE(form().deviceToolBar()->isVisible());

    tree->collapseItem(root);
    EXPECT_TRUE(root->isExpanded());
    // The configure button exists but nothing shows it.
    EXPECT_FALSE(form().configureAction()->isVisible());
}

TEST_F(MainWindow, SortingSharesItsColumnAndDirectionAndReadsNumbersLikeAtoi) {
    start();
    // Nothing listens and no port is opened: these only give the columns their texts.
    add(9, kModeTcpClient, "10.0.0.2", 0, 7);
    add(10, kModeTcpClient, "10.0.0.1", 0, 7);
    add(1, kModeTcpClient, "9.0.0.1", 0, 7);
    showMappings();
    QTableView* view = form().mappingView();

    // A new column keeps the direction, which starts descending.
    clickHeader(view, 1);
    EXPECT_EQ(column(view, 1), (QStringList{u"10"_s, u"9"_s, u"1"_s}));
    clickHeader(view, 1);
    EXPECT_EQ(column(view, 1), (QStringList{u"1"_s, u"9"_s, u"10"_s}));
    // The address column compares only the number before the first dot: the two 10.x keep
    // their order.
    clickHeader(view, 4);
    EXPECT_EQ(column(view, 4), (QStringList{u"9.0.0.1"_s, u"10.0.0.2"_s, u"10.0.0.1"_s}));
    EXPECT_EQ(form().sortState().column, 4);
    EXPECT_TRUE(form().sortState().ascending);
    // The arrow marks the sorted column and its direction.
    EXPECT_TRUE(view->horizontalHeader()->isSortIndicatorShown());
    EXPECT_EQ(view->horizontalHeader()->sortIndicatorSection(), 4);
    EXPECT_EQ(view->horizontalHeader()->sortIndicatorOrder(), Qt::AscendingOrder);

    EXPECT_EQ(core::compareCells("9", "10"), -1);
    EXPECT_EQ(core::compareCells("0", "1"), -1) << "0 is no number: compared as texts";
    EXPECT_EQ(core::compareCells("10", "1a"), 1);
    EXPECT_EQ(core::compareCells("Press-Line-2", "Press-Line-10"), 1);
    EXPECT_EQ(core::compareCells("\xC3\xA9", "z"), 1) << "bytes compare unsigned";
}

TEST_F(MainWindow, ARedRowTurnsBlackOnceConnectedAndTheDevicePageLeavesTheListAlone) {
    start();
    // A listener that is not accepting yet: the client mapping stays down until it listens.
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    socklen_t length = sizeof address;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    add(64, kModeTcpClient, "127.0.0.1", 0, ntohs(address.sin_port));

    // On the device page the tick does nothing, however stale the list is.
    form().refreshMappingList();
    EXPECT_EQ(form().mappingModel()->rowCount(), 0);
    EXPECT_EQ(form().headerText(), u"Device Info- 0 Device(s)"_s);

    testsupport::PtyApp app(m_home->portLink(64));
    ASSERT_TRUE(app.ok()) << app.error();
    form().selectPage(TForm1::Page::ComMapping);
    ASSERT_TRUE(waitUntil([&] {
        form().refreshMappingList();
        return form().mappingModel()->rowCount() == 1 && form().mappingModel()->row(0).red;
    }));
    EXPECT_EQ(form().mappingModel()->data(form().mappingModel()->index(0, 0), Qt::ForegroundRole).value<QColor>(),
              QColor(255, 0, 0));
    EXPECT_TRUE(form().mappingModel()->row(0).toolTip.contains(u"CTS off"_s));

    ASSERT_EQ(::listen(listener, 1), 0);
    EXPECT_TRUE(waitUntil([&] {
        form().refreshMappingList();
        return !form().mappingModel()->row(0).red;
    }));
    EXPECT_EQ(form().mappingModel()->cell(0, 7), u"Connected"_s);
    ::close(listener);
}

} // namespace
