#include "ui/t_temp_search_dialog.h"

#include <QCloseEvent>
#include <QHeaderView>
#include <QLabel>
#include <QTableView>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>

#include "core/device_service.h"
#include "core/program_core.h"

using namespace Qt::StringLiterals;

TtempSearchDialog::TtempSearchDialog(core::ProgramCore& core, QWidget* parent) : QDialog(parent) {
    setWindowTitle(u"Searching"_s);
    setWindowModality(Qt::ApplicationModal);
    SearchProgress* progress = core.deviceService() ? &core.deviceService()->progress() : nullptr;
    if (!progress) {
        m_ownProgress = std::make_unique<SearchProgress>();
        progress = m_ownProgress.get();
    }
    m_countdown = std::make_unique<SearchCountdown>(
        *progress, [&core] { core.startSearch(); }, [&core] { core.postMessage(core::CoreEvent::kSearchFinished); });

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(u"Searching for  Devices..."_s, this));
    m_status = new QLabel(this);
    QFont bold = m_status->font();
    bold.setBold(true);
    m_status->setFont(bold);
    m_status->setTextFormat(Qt::PlainText);
    layout->addWidget(m_status);

    QStringList columns;
    for (const char* name : SearchCountdown::kColumns)
        columns.push_back(QString::fromLatin1(name));
    m_answers = new ui::TextRowsModel(columns, this);
    m_answers->setBackground(Qt::white);
    m_list = new QTableView(this);
    m_list->setModel(m_answers);
    m_list->verticalHeader()->hide();
    m_list->verticalHeader()->setDefaultSectionSize(m_list->fontMetrics().height() + 6);
    m_list->setWordWrap(false);
    m_list->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_list->setEnabled(false);
    for (int column = 0; column < static_cast<int>(SearchCountdown::kColumnWidths.size()); ++column) {
        if (SearchCountdown::kColumnWidths[static_cast<std::size_t>(column)] > 0)
            m_list->setColumnWidth(column, SearchCountdown::kColumnWidths[static_cast<std::size_t>(column)]);
        else
            m_list->setColumnWidth(column, 40);
    }
    layout->addWidget(m_list);
    resize(400, 260);

    m_timer = new QTimer(this);
    m_timer->setInterval(1000);
    connect(m_timer, &QTimer::timeout, this, &TtempSearchDialog::tick);
}

TtempSearchDialog::~TtempSearchDialog() = default;

void TtempSearchDialog::startSearch() {
    if (isVisible())
        return;
    m_countdown->onShow();
    showCountdown();
    show();
    raise();
    m_timer->start();
}

void TtempSearchDialog::tick() {
    m_countdown->onTick();
    showCountdown();
}

void TtempSearchDialog::showCountdown() {
    m_status->setText(QString::fromStdString(m_countdown->status()));
    std::vector<ui::TextRow> rows;
    for (const SearchCountdown::Row& row : m_countdown->rows())
        rows.push_back(ui::textRow(row));
    m_answers->setRows(std::move(rows));
    // A name longer than the first-run width shows whole; the list itself takes no clicks.
    constexpr int kNameColumn = 1;
    m_list->resizeColumnToContents(kNameColumn);
    m_list->setColumnWidth(kNameColumn,
                           std::max(m_list->columnWidth(kNameColumn), SearchCountdown::kColumnWidths[kNameColumn]));
}

void TtempSearchDialog::finishSearch() {
    close();
    m_answers->clear();
    emit searchEnded();
}

void TtempSearchDialog::abandon() {
    m_timer->stop();
    m_countdown->onClose();
    close();
}

void TtempSearchDialog::reject() {
    close();
}

void TtempSearchDialog::closeEvent(QCloseEvent* event) {
    if (!m_countdown->canClose()) {
        event->ignore();
        return;
    }
    m_countdown->onClose();
    m_timer->stop();
    m_answers->clear();
    // Not QDialog's own handling, which would come back through reject().
    event->accept();
}
