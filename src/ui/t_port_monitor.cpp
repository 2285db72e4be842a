#include "ui/t_port_monitor.h"

#include <QAction>
#include <QCheckBox>
#include <QClipboard>
#include <QCloseEvent>
#include <QDateTime>
#include <QFileDialog>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSaveFile>
#include <QScrollBar>
#include <QTableView>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <cctype>
#include <climits>

#include "model/monitor_file.h"
#include "ui/monitor_records_model.h"
#include "ui/rate_plot.h"
#include "ui/traffic_text.h"

using namespace Qt::StringLiterals;

namespace {

// At 921600 baud both ways a tick brings some 40 kB; this leaves room for bursts while a
// tick's work stays short.
constexpr std::size_t kTakeBytes = std::size_t{1} << 20;
constexpr int kPollMs = 100;

bool isNote(monitor::Flow flow) {
    return flow == monitor::Flow::kEvent || flow == monitor::Flow::kLost;
}

// "0d 0a", "0d0a" or "0x0d 0x0a"; nothing when any of it is not hex.
std::optional<std::string> hexBytes(const QString& text) {
    std::string digits;
    for (const QString& word : text.split(u' ', Qt::SkipEmptyParts)) {
        const QString bare = word.startsWith(u"0x"_s, Qt::CaseInsensitive) ? word.mid(2) : word;
        digits += bare.toStdString();
    }
    if (digits.empty() || digits.size() % 2 != 0 ||
        !std::all_of(digits.begin(), digits.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); }))
        return std::nullopt;
    std::string bytes;
    for (std::size_t i = 0; i < digits.size(); i += 2)
        bytes += static_cast<char>(std::stoi(digits.substr(i, 2), nullptr, 16));
    return bytes;
}

} // namespace

TPortMonitor::TPortMonitor(core::ProgramCore& core, core::MonitorHold hold, QWidget* parent)
    : QWidget(parent, Qt::Window), m_core(core), m_hold(std::move(hold)), m_comNumber(m_hold.comNumber) {
    // Closing drops the hold, which ends the watch: the mapping stops copying for it.
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(u"COM%1 Monitor"_s.arg(m_comNumber));
    setWindowIcon(QIcon(u":/icons/app.svg"_s));

    auto* bar = new QHBoxLayout;
    m_pauseButton = new QPushButton(u"&Pause"_s, this);
    m_pauseButton->setCheckable(true);
    connect(m_pauseButton, &QPushButton::toggled, this, &TPortMonitor::setPaused);
    auto* clearButton = new QPushButton(u"C&lear"_s, this);
    connect(clearButton, &QPushButton::clicked, this, &TPortMonitor::clear);
    auto* saveButton = new QPushButton(u"&Save..."_s, this);
    connect(saveButton, &QPushButton::clicked, this, &TPortMonitor::saveAs);
    auto* copyButton = new QPushButton(u"&Copy as Hex"_s, this);
    connect(copyButton, &QPushButton::clicked, this, &TPortMonitor::copyAsHex);
    m_findField = new QLineEdit(this);
    m_findField->setPlaceholderText(u"Find text"_s);
    m_findField->setClearButtonEnabled(true);
    m_findField->setMinimumWidth(160);
    connect(m_findField, &QLineEdit::returnPressed, this, [this] { findNext(); });
    m_hexCheck = new QCheckBox(u"He&x"_s, this);
    connect(m_hexCheck, &QCheckBox::toggled, this,
            [this](bool hex) { m_findField->setPlaceholderText(hex ? u"Find bytes, e.g. 0d 0a"_s : u"Find text"_s); });
    auto* findButton = new QPushButton(u"Find &Next"_s, this);
    connect(findButton, &QPushButton::clicked, this, [this] { findNext(); });
    for (QWidget* widget : {static_cast<QWidget*>(m_pauseButton), static_cast<QWidget*>(clearButton),
                            static_cast<QWidget*>(saveButton), static_cast<QWidget*>(copyButton)})
        bar->addWidget(widget);
    bar->addStretch(1);
    bar->addWidget(m_findField, 2);
    bar->addWidget(m_hexCheck);
    bar->addWidget(findButton);

    m_plot = new ui::RatePlot(this);

    m_model = new ui::MonitorRecordsModel(m_hold.wallOffsetUs, this);
    // The window's own size: a system fixed font is often larger than the window's font.
    QFont fixedFont = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    fixedFont.setPointSizeF(font().pointSizeF());
    m_model->setFixedFont(fixedFont);
    m_view = new QTableView(this);
    m_view->setModel(m_model);
    m_view->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_view->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_view->setWordWrap(false);
    m_view->setShowGrid(false);
    m_view->setVerticalScrollMode(QAbstractItemView::ScrollPerItem);
    // Every row the same height, fixed: the view never measures the rows it does not draw.
    QHeaderView* rows = m_view->verticalHeader();
    rows->hide();
    rows->setSectionResizeMode(QHeaderView::Fixed);
    const QFontMetrics fixed(fixedFont);
    rows->setDefaultSectionSize(std::max(fixed.height(), fontMetrics().height()) + 4);
    QHeaderView* columns = m_view->horizontalHeader();
    columns->setHighlightSections(false);
    columns->setStretchLastSection(true);
    const int digit = fontMetrics().horizontalAdvance(u'0');
    m_view->setColumnWidth(ui::MonitorRecordsModel::kTime, fontMetrics().horizontalAdvance(u"00:00:00.000000"_s) + 16);
    m_view->setColumnWidth(
        ui::MonitorRecordsModel::kDirection,
        std::max(fontMetrics().horizontalAdvance(u"Direction"_s), fontMetrics().horizontalAdvance(u"dev\u2192app"_s)) +
            16);
    m_view->setColumnWidth(ui::MonitorRecordsModel::kSide, fontMetrics().horizontalAdvance(u"Side"_s) + 16);
    m_view->setColumnWidth(ui::MonitorRecordsModel::kLength, digit * 6 + 16);
    // Sixteen bytes of hex before the cell is cut; the text column takes the rest.
    m_view->setColumnWidth(ui::MonitorRecordsModel::kHex, fixed.horizontalAdvance(u'0') * 48 + 12);
    // A right-click in the list offers what the buttons do to the selected rows.
    m_view->setContextMenuPolicy(Qt::ActionsContextMenu);
    auto* copyAction = new QAction(u"Copy as Hex"_s, m_view);
    copyAction->setShortcut(QKeySequence::Copy);
    copyAction->setShortcutContext(Qt::WidgetShortcut);
    connect(copyAction, &QAction::triggered, this, &TPortMonitor::copyAsHex);
    m_view->addAction(copyAction);

    m_status = new QLabel(this);
    m_status->setTextFormat(Qt::PlainText);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(bar);
    layout->addWidget(m_plot);
    layout->addWidget(m_view, 1);
    layout->addWidget(m_status);
    resize(960, 560);

    m_pollTimer = new QTimer(this);
    m_pollTimer->setInterval(kPollMs);
    connect(m_pollTimer, &QTimer::timeout, this, &TPortMonitor::poll);
    m_pollTimer->start();
    m_rateTimer = new QTimer(this);
    m_rateTimer->setInterval(1000);
    connect(m_rateTimer, &QTimer::timeout, this, &TPortMonitor::refreshRates);
    m_rateTimer->start();
    refreshRates();
    showStatus();
}

TPortMonitor::~TPortMonitor() = default;

void TPortMonitor::closeEvent(QCloseEvent* event) {
    m_pollTimer->stop();
    m_rateTimer->stop();
    m_hold.watch.reset();
    event->accept();
}

void TPortMonitor::poll() {
    if (m_paused || m_ended || !m_hold.watch)
        return;
    monitor::Ring& ring = m_hold.watch->ring();
    std::vector<monitor::Record> records;
    std::uint64_t lost = 0;
    ring.take(records, kTakeBytes, lost);
    // What the ring dropped was older than anything taken now.
    if (lost > 0) {
        const std::int64_t at = records.empty() ? monitor::nowUs() : records.front().timeUs;
        records.insert(records.begin(), monitor::Record{at, monitor::Flow::kLost, std::to_string(lost)});
    }
    if (!records.empty()) {
        QScrollBar* scroll = m_view->verticalScrollBar();
        const bool atBottom = scroll->value() >= scroll->maximum();
        const std::size_t dropped = m_model->append(std::move(records));
        if (atBottom)
            m_view->scrollToBottom();
        else if (dropped > 0)
            // Rows went from the top: the rows the user reads stay where they are.
            scroll->setValue(scroll->value() - static_cast<int>(std::min<std::size_t>(dropped, INT_MAX)));
    }
    if (ring.ended()) {
        m_ended = true;
        m_pollTimer->stop();
        m_rateTimer->stop();
        m_pauseButton->setEnabled(false);
        m_note = u"COM%1 was removed"_s.arg(m_comNumber);
    }
    showStatus();
}

void TPortMonitor::refreshRates() {
    m_plot->setHistory(m_core.rateHistory(m_comNumber));
}

void TPortMonitor::showStatus() {
    QString text = u"%1 records"_s.arg(ui::byteCountText(static_cast<std::uint64_t>(m_model->rowCount())));
    if (m_paused && !m_ended)
        text += u" \u2014 paused: the newest are kept, older ones are counted as lost"_s;
    if (!m_note.isEmpty())
        text += u" \u2014 "_s + m_note;
    m_status->setText(text);
}

void TPortMonitor::setPaused(bool paused) {
    m_paused = paused;
    if (m_pauseButton->isChecked() != paused)
        m_pauseButton->setChecked(paused);
    m_pauseButton->setText(paused ? u"&Resume"_s : u"&Pause"_s);
    if (!paused)
        poll();
    showStatus();
}

void TPortMonitor::clear() {
    m_model->clear();
    if (!m_ended)
        m_note.clear();
    showStatus();
}

std::optional<std::string> TPortMonitor::findPattern() {
    const QString text = m_findField->text();
    if (text.isEmpty())
        return std::nullopt;
    if (!m_hexCheck->isChecked())
        return text.toStdString();
    return hexBytes(text);
}

bool TPortMonitor::findNext() {
    const std::optional<std::string> pattern = findPattern();
    if (!pattern) {
        m_note =
            m_findField->text().isEmpty() ? QString() : u"\u201c%1\u201d is not hex bytes"_s.arg(m_findField->text());
        showStatus();
        return false;
    }
    const int count = m_model->rowCount();
    const int current = m_view->currentIndex().isValid() ? m_view->currentIndex().row() : -1;
    // Data rows match on their bytes (hex or text); notes on their words, as text only.
    const bool hex = m_hexCheck->isChecked();
    for (int step = 1; step <= count; ++step) {
        const int row = (current + step) % count;
        const monitor::Record& record = m_model->record(row);
        const bool match = isNote(record.flow) ? !hex && core::eventText(record).find(*pattern) != std::string::npos
                                               : record.bytes.find(*pattern) != std::string::npos;
        if (!match)
            continue;
        const QModelIndex at = m_model->index(row, 0);
        m_view->selectionModel()->setCurrentIndex(at, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
        m_view->scrollTo(at, QAbstractItemView::PositionAtCenter);
        m_note.clear();
        showStatus();
        return true;
    }
    m_note = u"Not found"_s;
    showStatus();
    return false;
}

QString TPortMonitor::selectedHex() const {
    QModelIndexList rows = m_view->selectionModel()->selectedRows();
    std::sort(rows.begin(), rows.end(), [](const QModelIndex& a, const QModelIndex& b) { return a.row() < b.row(); });
    QStringList lines;
    for (const QModelIndex& index : rows) {
        const monitor::Record& record = m_model->record(index.row());
        if (!isNote(record.flow))
            lines.push_back(QString::fromStdString(core::hexText(record.bytes)));
    }
    return lines.join(u'\n');
}

void TPortMonitor::copyAsHex() {
    QGuiApplication::clipboard()->setText(selectedHex());
}

void TPortMonitor::saveAs() {
    const QString suggested =
        u"COM%1-%2.tarnmon"_s.arg(m_comNumber).arg(QDateTime::currentDateTime().toString(u"yyyyMMdd-HHmmss"_s));
    const QString path = QFileDialog::getSaveFileName(this, u"Save Capture"_s, suggested,
                                                      u"Port monitor captures (*.tarnmon);;All files (*)"_s);
    if (path.isEmpty())
        return;
    const QString error = saveTo(path);
    if (error.isEmpty()) {
        m_note = u"Saved %1 records to %2"_s.arg(m_model->rowCount()).arg(path);
        showStatus();
        return;
    }
    if (!m_errorBox) {
        m_errorBox = new QMessageBox(QMessageBox::Warning, u"Save Capture"_s, QString(), QMessageBox::Ok, this);
        m_errorBox->setWindowModality(Qt::WindowModal);
    }
    m_errorBox->setText(error);
    m_errorBox->open();
}

QString TPortMonitor::saveTo(const QString& path) const {
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return u"%1 could not be written: %2"_s.arg(path, file.errorString());
    // Written in pieces: a long capture never needs a second copy of itself in memory.
    std::string chunk = monitor::encodeHeader(m_hold.wallOffsetUs, m_comNumber);
    auto flush = [&] {
        const bool ok =
            file.write(chunk.data(), static_cast<qint64>(chunk.size())) == static_cast<qint64>(chunk.size());
        chunk.clear();
        return ok;
    };
    for (const monitor::Record& record : m_model->records()) {
        monitor::appendRecord(chunk, record);
        if (chunk.size() >= (std::size_t{1} << 20) && !flush())
            return u"%1 could not be written: %2"_s.arg(path, file.errorString());
    }
    if (!flush() || !file.commit())
        return u"%1 could not be written: %2"_s.arg(path, file.errorString());
    return {};
}
