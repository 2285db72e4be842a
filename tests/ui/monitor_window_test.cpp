// The port monitor window on a real port: an application on the pseudo-terminal and a
// loopback TCP peer as the device, the window opened as a person opens it.

#include <QCheckBox>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <thread>

#include "model/monitor_file.h"
#include "program_harness.h"
#include "support/core_probe.h"
#include "support/pty_app.h"
#include "ui/monitor_records_model.h"
#include "ui/t_port_monitor.h"

namespace {

using namespace ui_test;
using Column = ui::MonitorRecordsModel::Column;
using monitor::Flow;

constexpr int kCom = 66;
constexpr std::uint16_t kPort = 45066;

class MonitorWindow : public ::testing::Test {
protected:
    void SetUp() override {
        TARN_REQUIRE_PRIVATE_NETNS();
        m_home = std::make_unique<TempHome>();
    }
    // A TCP server mapping on the mapping page, its port open, the test as its device.
    void start(std::size_t monitorCapacity = monitor::Ring::kDefaultCapacity) {
        TarnProgram::Options options = programOptions();
        options.window.monitorCapacity = monitorCapacity;
        m_program = std::make_unique<TarnProgram>(std::move(options));
        form().show();
        ASSERT_TRUE(core().addMapping(makeDesc(kCom, kModeTcpServer, "0.0.0.0", kPort, 0)).ok());
        form().selectPage(TForm1::Page::ComMapping);
        core().markMappingListStale();
        form().refreshMappingList();
        // Fast: the mapping paces what it sends at the port's speed.
        m_app = std::make_unique<testsupport::PtyApp>(m_home->portLink(kCom), testsupport::PtyLine{921600});
        ASSERT_TRUE(m_app->ok()) << m_app->error();
        m_peer = tcpConnect(kPort);
        ASSERT_TRUE(m_peer.valid());
        ASSERT_TRUE(waitUntil([&] { return tarnInfo().isConnected(); }));
    }
    TPortMonitor* openMonitor() {
        // The menu's keys reach only the active window.
        form().activateWindow();
        if (!QTest::qWaitForWindowActive(&form()))
            return nullptr;
        clickRow(form().mappingView(), 0);
        QTest::keyClick(&form(), Qt::Key_M, Qt::ControlModifier);
        return form().monitorWindow(kCom);
    }
    // "hello\r\n" from the application, "OK\r\n" back from the device.
    void exchange() {
        const std::string out = "hello\r\n", back = "OK\r\n";
        ASSERT_EQ(m_app->writeAll(out.data(), out.size(), 30s), out.size());
        ASSERT_EQ(recvExactly(m_peer.fd(), out.size()).size(), out.size());
        ASSERT_TRUE(sendAll(m_peer.fd(), reinterpret_cast<const std::uint8_t*>(back.data()), back.size()));
        ASSERT_EQ(m_app->readExactly(back.size(), 30s).size(), back.size());
    }
    // The bytes of a flow's rows from `first` on, joined.
    static std::string joined(const ui::MonitorRecordsModel& model, Flow flow, int first = 0) {
        std::string bytes;
        for (int row = first; row < model.rowCount(); ++row)
            if (model.record(row).flow == flow)
                bytes += model.record(row).bytes;
        return bytes;
    }
    // Each hand-over's record is made after its bytes moved on, so a later one may come first:
    // wait for all four.
    static bool showsAll(const ui::MonitorRecordsModel& model, const std::string& out, const std::string& back) {
        return joined(model, Flow::kAppWrote) == out && joined(model, Flow::kSent) == out &&
               joined(model, Flow::kReceived) == back && joined(model, Flow::kDelivered) == back;
    }
    static int firstRow(const ui::MonitorRecordsModel& model, Flow flow) {
        for (int row = 0; row < model.rowCount(); ++row)
            if (model.record(row).flow == flow)
                return row;
        return -1;
    }
    core::ProgramCore& core() { return m_program->core(); }
    TForm1& form() { return m_program->form(); }
    TARNINFO& tarnInfo() { return core::ProgramCoreProbe::lists(core()).at(0); }

    std::unique_ptr<TempHome> m_home;
    std::unique_ptr<TarnProgram> m_program;
    std::unique_ptr<testsupport::PtyApp> m_app;
    Sock m_peer;
};

TEST_F(MonitorWindow, OneWindowAMappingShowsEachHandOverWithItsDirection) {
    start();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&form()));
    QTest::keyClick(&form(), Qt::Key_M, Qt::ControlModifier);
    EXPECT_EQ(shownError(*m_program), QString::fromLatin1(core::kSelectItemFirst));
    m_program->messageBox().hide();

    TPortMonitor* monitor = openMonitor();
    ASSERT_NE(monitor, nullptr);
    EXPECT_EQ(monitor->windowTitle(), u"COM66 Monitor"_s);
    EXPECT_TRUE(tarnInfo().tap.watched());
    // The context menu's Monitor... brings the same window forward instead of a second one.
    QTableView* list = form().mappingView();
    emit list->customContextMenuRequested(list->visualRect(list->model()->index(0, 0)).center());
    QAction* entry = nullptr;
    for (QMenu* menu : form().findChildren<QMenu*>())
        for (QAction* action : menu->actions())
            entry = menu->isVisible() && action->text() == u"Monitor..."_s ? action : entry;
    ASSERT_NE(entry, nullptr);
    entry->trigger();
    EXPECT_EQ(form().findChildren<TPortMonitor*>().size(), 1);

    exchange();
    ui::MonitorRecordsModel& model = *monitor->model();
    ASSERT_TRUE(waitUntil([&] { return showsAll(model, "hello\r\n", "OK\r\n"); }));
    const int wrote = firstRow(model, Flow::kAppWrote);
    const int delivered = firstRow(model, Flow::kDelivered);
    auto cell = [&](int row, int column, int role = Qt::DisplayRole) { return model.index(row, column).data(role); };
    EXPECT_EQ(cell(wrote, Column::kDirection).toString(), u"app\u2192dev"_s);
    EXPECT_EQ(cell(wrote, Column::kSide).toString(), u"port"_s);
    EXPECT_TRUE(cell(wrote, Column::kHex).toString().startsWith(u"68 65 6c"_s));
    EXPECT_EQ(cell(delivered, Column::kDirection).toString(), u"dev\u2192app"_s);
    EXPECT_EQ(cell(delivered, Column::kText).toString(), u"OK.."_s);
    EXPECT_NE(cell(wrote, 0, Qt::ForegroundRole), cell(delivered, 0, Qt::ForegroundRole));
    // The events that describe the mapping's state as the watch began come before the data.
    const int event = firstRow(model, Flow::kEvent);
    ASSERT_GE(event, 0);
    EXPECT_LT(event, wrote);
    EXPECT_FALSE(cell(event, Column::kText).toString().isEmpty());

    // The list's tooltip follows the counters without a rebuild of its rows.
    EXPECT_TRUE(waitUntil([&] {
        form().refreshMappingList();
        return form().mappingModel()->row(0).toolTip.contains(u"App \u2192 device: 7 bytes"_s);
    })) << form().mappingModel()->row(0).toolTip.toStdString();

    monitor->close();
    EXPECT_FALSE(tarnInfo().tap.watched()) << "a closed window ends its watch";
    EXPECT_TRUE(waitUntil([&] { return form().monitorWindow(kCom) == nullptr; }));
}

TEST_F(MonitorWindow, PausedTheRingKeepsTheNewestAndResumeShowsWhatWasLost) {
    // Room for the largest record (a network read of 2048 bytes) but far less than is sent.
    start(8192);
    TPortMonitor* monitor = openMonitor();
    ASSERT_NE(monitor, nullptr);
    monitor->pauseButton()->click();
    const std::vector<std::uint8_t> data = testPattern(64 * 1024, 7);
    std::size_t arrived = 0;
    std::thread device([&] { arrived = recvExactly(m_peer.fd(), data.size()).size(); });
    EXPECT_EQ(m_app->writeAll(data.data(), data.size(), 30s), data.size());
    device.join();
    ASSERT_EQ(arrived, data.size());
    ui::MonitorRecordsModel& model = *monitor->model();
    monitor->poll();
    EXPECT_EQ(firstRow(model, Flow::kSent), -1) << "nothing is taken while paused";

    monitor->pauseButton()->click();
    const int lost = firstRow(model, Flow::kLost);
    ASSERT_GE(lost, 0);
    EXPECT_GT(std::stoull(model.record(lost).bytes), 0u);
    EXPECT_TRUE(model.index(lost, Column::kText).data().toString().contains(u"record(s) lost"_s));
    // What follows the lost row is the newest of each hand-over, up to the last byte sent (a
    // send's record may follow the peer's receipt by a moment).
    const std::string sent(data.begin(), data.end());
    const std::string tail = sent.substr(sent.size() - 64);
    ASSERT_TRUE(waitUntil([&] { return joined(model, Flow::kSent, lost).ends_with(tail); }));
    for (const Flow flow : {Flow::kAppWrote, Flow::kSent}) {
        const std::string kept = joined(model, flow, lost);
        EXPECT_LT(kept.size(), sent.size());
        EXPECT_TRUE(kept == sent.substr(sent.size() - kept.size())) << "flow " << static_cast<int>(flow);
    }
}

TEST_F(MonitorWindow, FindSelectsTheNextMatchSaveReadsBackAndARemovalEndsThePolling) {
    start();
    TPortMonitor* monitor = openMonitor();
    ASSERT_NE(monitor, nullptr);
    exchange();
    exchange();
    ui::MonitorRecordsModel& model = *monitor->model();
    ASSERT_TRUE(waitUntil([&] { return showsAll(model, "hello\r\nhello\r\n", "OK\r\nOK\r\n"); }));

    // Hex finds the bytes in every hand-over that carried them, one after the other.
    monitor->hexCheck()->setChecked(true);
    monitor->findField()->setText(u"4f 4b"_s);
    std::vector<int> rows;
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(monitor->findNext());
        rows.push_back(monitor->view()->currentIndex().row());
        EXPECT_TRUE(monitor->view()->selectionModel()->isRowSelected(rows.back()));
        EXPECT_EQ(monitor->selectedHex(), u"4f 4b 0d 0a"_s);
    }
    // Twice received, twice delivered, then round to the first again.
    EXPECT_TRUE(rows[0] < rows[1] && rows[1] < rows[2] && rows[2] < rows[3]);
    EXPECT_EQ(rows[4], rows[0]);
    monitor->findField()->setText(u"4g"_s);
    EXPECT_FALSE(monitor->findNext());
    monitor->hexCheck()->setChecked(false);
    monitor->findField()->setText(u"hello"_s);
    ASSERT_TRUE(monitor->findNext());
    EXPECT_EQ(model.record(monitor->view()->currentIndex().row()).flow, Flow::kAppWrote);

    const std::string path = m_home->root() + "/capture.tarnmon";
    EXPECT_EQ(monitor->saveTo(QString::fromStdString(path)), QString());
    const auto capture = monitor::readCapture(path);
    ASSERT_TRUE(capture.ok()) << capture.error();
    EXPECT_EQ(capture->comNumber, kCom);
    ASSERT_EQ(capture->records.size(), model.records().size());
    for (std::size_t i = 0; i < capture->records.size(); ++i) {
        EXPECT_EQ(capture->records[i].flow, model.records()[i].flow);
        EXPECT_EQ(capture->records[i].timeUs, model.records()[i].timeUs);
        EXPECT_EQ(capture->records[i].bytes, model.records()[i].bytes);
    }
    EXPECT_FALSE(monitor->saveTo(QString::fromStdString(m_home->root() + "/no/such/folder/x")).isEmpty());

    m_app->close();
    ASSERT_TRUE(waitUntil([&] { return !tarnInfo().isOpen(); }));
    ASSERT_TRUE(core().removeMapping(kCom).ok());
    EXPECT_TRUE(waitUntil([&] { return monitor->ended(); }));
    EXPECT_TRUE(monitor->statusLabel()->text().contains(u"COM66 was removed"_s));
}

} // namespace
