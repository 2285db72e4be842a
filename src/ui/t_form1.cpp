#include "ui/t_form1.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QDate>
#include <QGuiApplication>
#include <QHeaderView>
#include <QLabel>
#include <QLocale>
#include <QMenu>
#include <QMessageBox>
#include <QSettings>
#include <QSplitter>
#include <QStackedWidget>
#include <QStatusBar>
#include <QSystemTrayIcon>
#include <QTabWidget>
#include <QTableView>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <climits>

#include "core/command_protocol.h"
#include "core/device_service.h"
#include "core/login_dialog_logic.h"
#include "core/program_entry.h"
#include "ui/screen_fit.h"
#include "ui/t_config_dialog.h"
#include "ui/t_port_monitor.h"
#include "ui/t_progress_bar_box.h"
#include "ui/t_small_box.h"
#include "ui/t_small_input_dialog.h"
#include "ui/t_tarn_add_gui.h"
#include "ui/t_temp_search_dialog.h"
#include "ui/traffic_text.h"

using namespace Qt::StringLiterals;

namespace {

// The root node carries this in its data word; a selection that lands on it is refused.
constexpr int kRootMarker = 0xFFFF;
constexpr int kDataWordRole = Qt::UserRole;
constexpr int kDeviceNameColumn = 2;
constexpr int kIpAddressColumn = 5;
constexpr int kComPortColumn = 1;
constexpr const char* kEepromError = "Error: unable to access EEPROM.\nPlease check if EEPROM is valid.";

QStringList mappingColumns() {
    QStringList columns;
    for (const char* name : core::kMappingColumnNames)
        columns.push_back(QString::fromLatin1(name));
    return columns;
}

QStringList deviceColumns() {
    QStringList columns;
    for (const char* name : kDeviceColumns)
        columns.push_back(QString::fromLatin1(name));
    return columns;
}

QFont desktopFont(int pointSize, bool bold = false) {
    QFont font = QApplication::font();
    font.setPointSize(pointSize);
    font.setBold(bold);
    return font;
}

QLabel* makeHeader(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setFont(desktopFont(11, true));
    label->setStyleSheet(u"color: blue;"_s);
    label->setTextFormat(Qt::PlainText);
    return label;
}

} // namespace

TForm1::TForm1(core::ProgramCore& core, Options options, QWidget* parent)
    : QMainWindow(parent), m_core(core), m_options(options) {
    setWindowTitle(u"TARN3.1"_s);
    setWindowIcon(QIcon(u":/icons/app.svg"_s));
    setFont(desktopFont(8));
    resize(692, 519);

    // Core events and log rows arrive from any thread; they are taken on this one.
    m_core.mainLoop().setWakeup([this] { QMetaObject::invokeMethod(this, &TForm1::drainCore, Qt::QueuedConnection); });
    auto pull = [this](const core::LogRow&) {
        if (!m_logPullPending.exchange(true))
            QMetaObject::invokeMethod(this, &TForm1::pullLogs, Qt::QueuedConnection);
    };
    m_core.mappingLog().setObserver(pull);
    m_core.deviceLog().setObserver(pull);

    buildMenuBand();
    buildToolBars();

    // Left: "Utilities" over the tree; right: the page header over the page's list; below
    // both, the two logs.
    auto* left = new QWidget(this);
    auto* leftLayout = new QVBoxLayout(left);
    leftLayout->setContentsMargins(0, 0, 0, 0);
    leftLayout->addWidget(makeHeader(u"Utilities"_s, left));
    m_tree = new QTreeWidget(left);
    leftLayout->addWidget(m_tree);

    auto* right = new QWidget(this);
    auto* rightLayout = new QVBoxLayout(right);
    rightLayout->setContentsMargins(0, 0, 0, 0);
    m_header = makeHeader(m_deviceHeader, right);
    rightLayout->addWidget(m_header);
    m_lists = new QStackedWidget(right);
    rightLayout->addWidget(m_lists);

    auto* panes = m_panes = new QSplitter(Qt::Horizontal, this);
    panes->addWidget(left);
    panes->addWidget(right);
    panes->setStretchFactor(1, 1);
    panes->setSizes({180, 512});

    m_logTabs = new QTabWidget(this);
    auto* body = m_body = new QSplitter(Qt::Vertical, this);
    body->addWidget(panes);
    body->addWidget(m_logTabs);
    body->setStretchFactor(0, 1);
    body->setSizes({400, 112});
    setCentralWidget(body);

    buildLists();
    buildTree();
    m_refreshTimer = new QTimer(this);
    m_refreshTimer->setInterval(1000);
    connect(m_refreshTimer, &QTimer::timeout, this, &TForm1::refreshMappingList);
    m_refreshTimer->start();
    buildLogs();
    buildStatusBar();
    buildTray();
    restoreLayout();

    m_core.setEventHandler([this](core::CoreEvent event) { onCoreEvent(event); });
    m_core.setErrorHandler([this](const std::string& text) { showError(QString::fromStdString(text)); });
    m_core.start();
}

namespace {

QSettings layoutSettings() {
    return QSettings(QString::fromStdString(core::windowLayoutPath()), QSettings::IniFormat);
}

} // namespace

void TForm1::restoreLayout() {
    const QSettings settings = layoutSettings();
    // A restored geometry is kept on screen by Qt; the first run's size is fitted here.
    if (!restoreGeometry(settings.value(u"geometry"_s).toByteArray()))
        ui::fitToScreen(*this);
    m_panes->restoreState(settings.value(u"panes"_s).toByteArray());
    m_body->restoreState(settings.value(u"body"_s).toByteArray());
    m_deviceView->horizontalHeader()->restoreState(settings.value(u"deviceColumns"_s).toByteArray());
    m_mappingView->horizontalHeader()->restoreState(settings.value(u"mappingColumns"_s).toByteArray());
    if (settings.value(u"page"_s).toString() == u"mappings"_s)
        selectPage(Page::ComMapping);
}

void TForm1::saveLayout() const {
    QSettings settings = layoutSettings();
    settings.setValue(u"geometry"_s, saveGeometry());
    settings.setValue(u"panes"_s, m_panes->saveState());
    settings.setValue(u"body"_s, m_body->saveState());
    settings.setValue(u"deviceColumns"_s, m_deviceView->horizontalHeader()->saveState());
    settings.setValue(u"mappingColumns"_s, m_mappingView->horizontalHeader()->saveState());
    settings.setValue(u"page"_s, page() == Page::ComMapping ? u"mappings"_s : u"devices"_s);
}

TForm1::~TForm1() {
    saveLayout();
    // No core thread may reach this window once it goes.
    m_core.shutDown();
    m_core.mappingLog().setObserver(nullptr);
    m_core.deviceLog().setObserver(nullptr);
}

void TForm1::setForms(const SharedForms& forms) {
    m_forms = forms;
    if (m_forms.configDialog)
        connect(m_forms.configDialog, &TConfigDialog::storeRequested, this, &TForm1::storeConfiguration);
    if (m_forms.progressBox)
        connect(m_forms.progressBox, &TprogressBarBox::cancelRequested, this, [this] { m_deviceModel->clear(); });
}

void TForm1::buildMenuBand() {
    m_menuBand = addToolBar(u"Menu"_s);
    m_menuBand->setObjectName(u"CoolBar1"_s);
    m_menuBand->setMovable(false);
    m_menuBand->setFixedHeight(24);
    auto* menu = new QMenu(u"&Main"_s, this);
    menu->setFont(desktopFont(10));
    // Every command the tool bars and the tray offer, with the keys a desktop user tries. The
    // actions belong to the window too, so their keys work while the menu is closed.
    auto command = [this, menu](const QString& text, QList<QKeySequence> keys, void (TForm1::*slot)()) {
        QAction* action = menu->addAction(text, this, slot);
        action->setShortcuts(keys);
        addAction(action);
        return action;
    };
    command(u"&Search"_s, {QKeySequence(Qt::Key_F5)}, &TForm1::searchCommand);
    command(u"&Add Mapping..."_s, {QKeySequence(Qt::CTRL | Qt::Key_N), QKeySequence(Qt::Key_Insert)},
            &TForm1::addMappingCommand);
    command(u"&Remove Mapping"_s, {QKeySequence(Qt::Key_Delete)}, &TForm1::removeMappingFromMenu);
    command(u"&Monitor..."_s, {QKeySequence(Qt::CTRL | Qt::Key_M)}, &TForm1::monitorCommand);
    command(u"&Configure Device..."_s, {}, &TForm1::configureCommand);
    command(u"Open &Web Page"_s, {}, &TForm1::webCommand);
    menu->addSeparator();
    command(u"A&bout..."_s, {}, &TForm1::showAbout);
    command(u"&Exit"_s, {QKeySequence(Qt::CTRL | Qt::Key_Q)}, &TForm1::exitCommand);
    auto* button = new QToolButton(m_menuBand);
    button->setText(u"&Main"_s);
    button->setFont(desktopFont(10));
    button->setMenu(menu);
    button->setPopupMode(QToolButton::InstantPopup);
    button->setAutoRaise(true);
    m_menuBand->addWidget(button);
    addToolBarBreak();
}

void TForm1::buildToolBars() {
    auto makeBar = [this](const QString& name) {
        QToolBar* bar = addToolBar(name);
        bar->setObjectName(name);
        bar->setMovable(false);
        bar->setIconSize(QSize(45, 45));
        bar->setToolButtonStyle(Qt::ToolButtonIconOnly);
        return bar;
    };
    auto addButton = [this](QToolBar* bar, const char* icon, const QString& tip, void (TForm1::*command)()) {
        QAction* action = bar->addAction(QIcon(QString::fromLatin1(icon)), tip, this, command);
        if (auto* button = bar->widgetForAction(action))
            button->setFixedSize(50, 50);
        return action;
    };
    m_mappingToolBar = makeBar(u"COM Mapping"_s);
    addButton(m_mappingToolBar, ":/icons/remove_com.svg", u"Remove"_s, &TForm1::removeMappingCommand);
    addButton(m_mappingToolBar, ":/icons/add_com.svg", u"Add"_s, &TForm1::addMappingCommand);
    addButton(m_mappingToolBar, ":/icons/exit.svg", u"Exit"_s, &TForm1::exitCommand);
    m_mappingToolBar->hide();

    m_deviceToolBar = makeBar(u"Device Info"_s);
    addButton(m_deviceToolBar, ":/icons/web.svg", u"Web"_s, &TForm1::webCommand);
    m_configureAction =
        addButton(m_deviceToolBar, ":/icons/config.svg", u"Configure Device(s)"_s, &TForm1::configureCommand);
    // Created hidden: nothing in the window shows it.
    m_configureAction->setVisible(false);
    addButton(m_deviceToolBar, ":/icons/search.svg", u"Search Device(s)"_s, &TForm1::searchCommand);
    addButton(m_deviceToolBar, ":/icons/exit.svg", u"Exit"_s, &TForm1::exitCommand);
}

void TForm1::buildTree() {
    m_tree->setFont(desktopFont(10));
    m_tree->setHeaderHidden(true);
    m_tree->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_tree->setSelectionMode(QAbstractItemView::SingleSelection);
    // Keep the selection visible when the tree loses focus.
    QPalette palette = m_tree->palette();
    palette.setBrush(QPalette::Inactive, QPalette::Highlight, palette.brush(QPalette::Active, QPalette::Highlight));
    palette.setBrush(QPalette::Inactive, QPalette::HighlightedText,
                     palette.brush(QPalette::Active, QPalette::HighlightedText));
    m_tree->setPalette(palette);

    auto* root = new QTreeWidgetItem(m_tree, {u"TARN"_s});
    root->setIcon(0, QIcon(u":/icons/tree_root.svg"_s));
    root->setData(0, kDataWordRole, kRootMarker);
    m_deviceItem = new QTreeWidgetItem(root, {u"Device Info"_s});
    m_deviceItem->setIcon(0, QIcon(u":/icons/tree_device.svg"_s));
    m_deviceItem->setData(0, kDataWordRole, 0);
    m_mappingItem = new QTreeWidgetItem(root, {u"COM Mapping"_s});
    m_mappingItem->setIcon(0, QIcon(u":/icons/tree_mapping.svg"_s));
    m_mappingItem->setData(0, kDataWordRole, 0);

    // The tree never collapses: every collapse is undone at once.
    connect(m_tree, &QTreeWidget::itemCollapsed, this, [this](QTreeWidgetItem* item) { m_tree->expandItem(item); });
    connect(m_tree, &QTreeWidget::currentItemChanged, this, &TForm1::changeOnTreeView);
    m_tree->expandAll();
    // The expansion selects the first node on from the root that is not the root.
    m_tree->setCurrentItem(m_deviceItem);
}

QTableView* TForm1::makeListView(ui::TextRowsModel* model, int columnWidth, bool grid) {
    auto* view = new QTableView(this);
    view->setModel(model);
    view->setSelectionBehavior(QAbstractItemView::SelectRows);
    view->setSelectionMode(QAbstractItemView::SingleSelection);
    view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view->setShowGrid(grid);
    view->setWordWrap(false);
    view->verticalHeader()->hide();
    view->verticalHeader()->setDefaultSectionSize(view->fontMetrics().height() + 6);
    view->horizontalHeader()->setDefaultSectionSize(columnWidth);
    view->horizontalHeader()->setHighlightSections(false);
    view->horizontalHeader()->setStretchLastSection(false);
    return view;
}

void TForm1::buildLists() {
    m_mappingModel = new ui::TextRowsModel(mappingColumns(), this);
    m_mappingView = makeListView(m_mappingModel, 150, true);
    m_mappingView->setObjectName(u"mappingList"_s);
    m_deviceModel = new ui::TextRowsModel(deviceColumns(), this);
    m_deviceView = makeListView(m_deviceModel, 150, true);
    m_deviceView->setObjectName(u"deviceList"_s);
    m_lists->addWidget(m_deviceView);
    // The configure command's visible ways in: a double click and the context menu.
    // Activation is a double click, or Enter on the row.
    connect(m_deviceView, &QTableView::activated, this, [this](const QModelIndex&) { configureCommand(); });
    m_deviceView->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(m_deviceView, &QTableView::customContextMenuRequested, this, [this](const QPoint& at) {
        const QModelIndex index = m_deviceView->indexAt(at);
        if (!index.isValid())
            return;
        m_deviceView->selectRow(index.row());
        // Popped up, not exec'd: no nested loop.
        auto* menu = new QMenu(this);
        menu->setAttribute(Qt::WA_DeleteOnClose);
        menu->addAction(u"Configure Device..."_s, this, &TForm1::configureCommand);
        menu->popup(m_deviceView->viewport()->mapToGlobal(at));
    });
    m_lists->addWidget(m_mappingView);
    m_mappingView->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(m_mappingView, &QTableView::customContextMenuRequested, this, [this](const QPoint& at) {
        const QModelIndex index = m_mappingView->indexAt(at);
        if (!index.isValid())
            return;
        m_mappingView->selectRow(index.row());
        auto* menu = new QMenu(this);
        menu->setAttribute(Qt::WA_DeleteOnClose);
        menu->addAction(u"Monitor..."_s, this, &TForm1::monitorCommand);
        menu->addAction(u"Copy Port Path"_s, this, &TForm1::copyPortPath);
        menu->popup(m_mappingView->viewport()->mapToGlobal(at));
    });
    // Both lists sort on a header click with one shared column and direction.
    for (auto [view, model] : {std::pair{m_deviceView, m_deviceModel}, std::pair{m_mappingView, m_mappingModel}}) {
        view->horizontalHeader()->setSectionsClickable(true);
        view->horizontalHeader()->setSortIndicatorShown(false);
        connect(view->horizontalHeader(), &QHeaderView::sectionClicked, this,
                [this, view = view, model = model](int column) {
                    model->sortByClick(column, m_sort);
                    // An arrow on the sorted column, pointing the way the rows now run.
                    view->horizontalHeader()->setSortIndicatorShown(true);
                    view->horizontalHeader()->setSortIndicator(column, m_sort.ascending ? Qt::AscendingOrder
                                                                                        : Qt::DescendingOrder);
                });
    }
}

void TForm1::buildLogs() {
    auto makeLog = [this](ui::TextRowsModel*& model, QTableView*& view, const QString& tab) {
        model = new ui::TextRowsModel({QString(), QString()}, this);
        view = makeListView(model, 150, false);
        view->setColumnWidth(1, 500);
        view->horizontalHeader()->hide();
        view->setSelectionBehavior(QAbstractItemView::SelectItems);
        view->setStyleSheet(u"QTableView { background: white; }"_s);
        m_logTabs->addTab(view, tab);
    };
    makeLog(m_deviceLog, m_deviceLogView, u"Message Log- Device Info"_s);
    makeLog(m_mappingLog, m_mappingLogView, u"Message Log- TARN Info"_s);
    // Tab runs tree, list, logs (the hidden list is passed over).
    setTabOrder(m_tree, m_deviceView);
    setTabOrder(m_deviceView, m_mappingView);
    setTabOrder(m_mappingView, m_deviceLogView);
    setTabOrder(m_deviceLogView, m_mappingLogView);
}

void TForm1::buildStatusBar() {
    m_clockPanel = new QLabel(this);
    m_clockPanel->setFixedWidth(200);
    m_secondPanel = new QLabel(this);
    m_secondPanel->setFixedWidth(50);
    statusBar()->addWidget(m_clockPanel);
    statusBar()->addWidget(m_secondPanel);
    m_clockTimer = new QTimer(this);
    m_clockTimer->setInterval(1000);
    connect(m_clockTimer, &QTimer::timeout, this, &TForm1::tickClock);
    m_clockTimer->start();
    tickClock();
}

void TForm1::buildTray() {
    m_trayMenu = new QMenu(this);
    m_trayMenu->addAction(u"Exit"_s, this, &TForm1::exitCommand);
    m_trayMenu->addAction(u"Show"_s, this, &TForm1::restoreFromTray);
    m_trayMenu->addSeparator();
    m_trayMenu->addAction(u"About..."_s, this, &TForm1::showAbout);
    m_tray = new QSystemTrayIcon(QIcon(u":/icons/app.svg"_s), this);
    m_tray->setToolTip(u"TARN3.1"_s);
    m_tray->setContextMenu(m_trayMenu);
    connect(m_tray, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::DoubleClick)
            restoreFromTray();
    });
}

QString TForm1::clockText() const {
    const QLocale locale = QLocale::system();
    return u"Now: "_s + locale.toString(QDate::currentDate(), QLocale::ShortFormat) + u' ' +
           QString::fromStdString(core::logTimeText(std::chrono::system_clock::now()));
}

void TForm1::tickClock() {
    m_clockPanel->setText(clockText());
}

TForm1::Page TForm1::page() const {
    return m_tree->currentItem() == m_mappingItem ? Page::ComMapping : Page::DeviceInfo;
}

void TForm1::selectPage(Page page) {
    m_tree->setCurrentItem(page == Page::ComMapping ? m_mappingItem : m_deviceItem);
}

QString TForm1::headerText() const {
    return m_header->text();
}

void TForm1::changeOnTreeView(QTreeWidgetItem* current, QTreeWidgetItem* previous) {
    if (!current)
        return;
    if (current->data(0, kDataWordRole).toInt() == kRootMarker) {
        // Refused: back to where the selection was (or the first page).
        QTreeWidgetItem* back = previous && previous != current ? previous : m_deviceItem;
        QMetaObject::invokeMethod(
            this, [this, back] { m_tree->setCurrentItem(back); }, Qt::QueuedConnection);
        return;
    }
    if (current == m_deviceItem) {
        m_header->setText(m_deviceHeader);
        m_mappingToolBar->hide();
        m_lists->setCurrentWidget(m_deviceView);
        m_deviceToolBar->show();
    } else {
        m_header->setText(u"COM Mapping - %1 COM(s)"_s.arg(m_core.mappingCount()));
        m_deviceToolBar->hide();
        m_lists->setCurrentWidget(m_mappingView);
        m_mappingToolBar->show();
    }
}

void TForm1::drainCore() {
    m_core.mainLoop().drain();
}

void TForm1::pullLogs() {
    m_logPullPending.store(false);
    // By sequence, not by the view's row count: the log discards its oldest rows, and the view
    // keeps no more rows than the log does.
    auto pullFrom = [](core::MessageLog& log, ui::TextRowsModel* model, std::uint64_t& next) {
        std::vector<ui::TextRow> rows;
        for (const core::LogRow& row : log.rowsFrom(next, log.limit())) {
            rows.push_back(
                ui::TextRow{{QString::fromStdString(row.time), QString::fromStdString(row.text)}, false, {}, {}, {}});
            next = row.sequence + 1;
        }
        model->appendRows(std::move(rows));
        const auto limit = static_cast<int>(std::min<std::size_t>(log.limit(), INT_MAX));
        if (model->rowCount() > limit)
            model->removeFirstRows(model->rowCount() - limit);
    };
    pullFrom(m_core.deviceLog(), m_deviceLog, m_deviceLogNext);
    pullFrom(m_core.mappingLog(), m_mappingLog, m_mappingLogNext);
}

void TForm1::onCoreEvent(core::CoreEvent event) {
    switch (event) {
    case core::CoreEvent::kStartUpDone:
        m_startUpDone = true;
        // A window that vanishes at start is lost on a desktop without a task bar: it leaves
        // only for a tray, which says where it went, or when asked to (--minimized).
        if (m_options.trayAvailable) {
            hideIntoTray();
            m_tray->showMessage(u"tarn"_s, u"tarn is running in the notification area"_s, QSystemTrayIcon::Information,
                                5000);
        } else if (m_options.startMinimized) {
            hideIntoTray();
        }
        break;
    case core::CoreEvent::kSearchFinished:
        if (m_forms.searchDialog)
            m_forms.searchDialog->finishSearch();
        setEnabled(true);
        rebuildDeviceList();
        // The core logs "%u device(s) searched." right after this.
        break;
    case core::CoreEvent::kWebPageDone:
        hideProcessing();
        break;
    case core::CoreEvent::kLoginSucceeded:
        continueConfigure();
        break;
    case core::CoreEvent::kStoreConfiguration:
        storeConfiguration();
        break;
    }
}

void TForm1::rebuildDeviceList() {
    const auto rows = m_core.deviceRows();
    m_deviceHeader = u"Device Info- %1 Device(s)"_s.arg(rows.size());
    if (page() == Page::DeviceInfo)
        m_header->setText(m_deviceHeader);
    if (m_forms.progressBox) {
        m_forms.progressBox->setMaximum(static_cast<int>(rows.size()));
        m_forms.progressBox->show();
    }
    setEnabled(false);
    std::vector<ui::TextRow> textRows;
    textRows.reserve(rows.size());
    for (const auto& cells : rows)
        textRows.push_back(ui::textRow(cells));
    m_deviceModel->setRows(std::move(textRows));
    if (m_forms.progressBox)
        m_forms.progressBox->setPosition(static_cast<int>(rows.size()));
    setEnabled(true);
    if (m_forms.progressBox)
        m_forms.progressBox->hide();
}

void TForm1::refreshMappingList() {
    m_core.reportUncarriedBreaks();
    // Every second whatever the page: the rates and the monitors' plots count on it.
    m_core.sampleTraffic();
    if (page() != Page::ComMapping)
        return;
    m_header->setText(u"COM Mapping - %1 COM(s)"_s.arg(m_core.mappingCount()));
    if (m_core.refreshTick())
        rebuildMappingRows();
    else
        refreshMappingToolTips();
}

namespace {

QString mappingToolTip(const core::MappingRow& mapping) {
    QString tip = u"Device's input lines: "_s + QString::fromStdString(mapping.inputLines);
    // Its cells read like a TCP client's, so the tooltip names the kind.
    if (mapping.rfc2217)
        tip += u"\nRFC 2217 (Telnet COM Port Control)"_s;
    return tip + u'\n' + ui::trafficLines(mapping.traffic);
}

} // namespace

void TForm1::refreshMappingToolTips() {
    // By COM number: a header click may have put the rows in another order than the core's.
    for (const core::MappingRow& mapping : m_core.mappingRows()) {
        for (int row = 0; row < m_mappingModel->rowCount(); ++row) {
            if (m_mappingModel->cell(row, kComPortColumn).toInt() == mapping.comNumber)
                m_mappingModel->setToolTip(row, mappingToolTip(mapping));
        }
    }
}

void TForm1::rebuildMappingRows() {
    std::vector<ui::TextRow> rows;
    for (const core::MappingRow& mapping : m_core.mappingRows()) {
        ui::TextRow row = ui::textRow(mapping.cells);
        row.red = mapping.drawnRed;
        row.toolTip = mappingToolTip(mapping);
        // Where the port is: the file an application opens, and the terminal behind it.
        if (!mapping.portLink.empty()) {
            row.cellToolTips = QStringList(kComPortColumn + 1);
            row.cellToolTips[kComPortColumn] =
                QString::fromStdString(mapping.portLink) + u" \u2192 "_s + QString::fromStdString(mapping.portDevice);
        }
        row.path = QString::fromStdString(mapping.portLink);
        rows.push_back(std::move(row));
    }
    m_mappingModel->setRows(std::move(rows));
}

int TForm1::selectedRow(QTableView* view) const {
    const QModelIndexList rows = view->selectionModel()->selectedRows();
    return rows.isEmpty() ? -1 : rows.first().row();
}

void TForm1::showError(const QString& text) {
    if (m_forms.messageBox)
        m_forms.messageBox->showMessage(TsmallBox::Style::Error, text);
}

void TForm1::showAbout() {
    if (m_forms.messageBox)
        m_forms.messageBox->showMessage(
            TsmallBox::Style::About,
            u"TARN Version 3.1\nVirtual serial ports for serial-to-Ethernet device servers."_s);
}

void TForm1::webCommand() {
    const int row = selectedRow(m_deviceView);
    if (row < 0) {
        showError(u"Please select a device first."_s);
        return;
    }
    const core::CommandOutcome outcome = m_core.openWebPage(m_deviceModel->cell(row, kIpAddressColumn).toStdString());
    if (!outcome.ok()) {
        showError(QString::fromStdString(outcome.error()));
        return;
    }
    if (m_forms.messageBox)
        m_forms.messageBox->showMessage(TsmallBox::Style::Processing, u"Processing, please wait..."_s);
}

bool TForm1::configureRunning() const {
    return m_configureOnWorker || (m_forms.loginDialog && m_forms.loginDialog->isVisible()) ||
           (m_forms.configDialog && m_forms.configDialog->isVisible());
}

void TForm1::configureCommand() {
    if (configureRunning()) {
        // The running sequence's own dialog comes forward instead.
        for (QWidget* open : {static_cast<QWidget*>(m_forms.loginDialog), static_cast<QWidget*>(m_forms.configDialog)})
            if (open && open->isVisible()) {
                open->raise();
                open->activateWindow();
            }
        return;
    }
    const int row = selectedRow(m_deviceView);
    if (row < 0) {
        showError(u"Please select a device first."_s);
        return;
    }
    if (!m_forms.configDialog || !m_forms.loginDialog)
        return;
    if (!m_guiDescriptionLoaded && m_descriptionError.isEmpty()) {
        const config::LoadResult result = m_forms.configDialog->load(config::descriptionPath());
        if (!result) {
            m_descriptionError = QString::fromStdString(result.error());
        } else {
            m_guiDescriptionLoaded = true;
            if (!result.value().empty()) {
                QString names;
                for (const std::string& name : result.value())
                    names += u"\n"_s + QString::fromStdString(name);
                showError(u"These fields lie outside the EEPROM image and are left out:"_s + names);
            }
        }
    }
    if (!m_descriptionError.isEmpty()) {
        // The program and its mappings go on; only configuration is unavailable this run.
        if (!m_descriptionErrorBox) {
            m_descriptionErrorBox = new QMessageBox(QMessageBox::Critical, u"XML Parsing error"_s, m_descriptionError,
                                                    QMessageBox::Ok, this);
            m_descriptionErrorBox->setWindowFlag(Qt::WindowStaysOnTopHint);
            m_descriptionErrorBox->setWindowModality(Qt::NonModal);
        }
        m_descriptionErrorBox->show();
        return;
    }
    const QString ip = m_deviceModel->cell(row, kIpAddressColumn);
    core::DeviceService* devices = m_core.deviceService();
    if (!devices || !m_core.hasDevice(ip.toStdString())) {
        showError(u"No device with IP %1."_s.arg(ip));
        return;
    }
    m_configureIp = ip.toStdString();
    m_forms.configDialog->setDevice(m_deviceModel->cell(row, kDeviceNameColumn), ip);
    m_forms.loginDialog->setDevice(m_deviceModel->cell(row, kDeviceNameColumn), ip);
    m_forms.loginDialog->setMode(QString::fromLatin1(LoginDialogLogic::kModeNcmd));

    // The login and the transfer wait on the device: they run on the worker. The credentials
    // are the ones that last worked for this device; when they fail, the login dialog asks.
    auto loggedIn = std::make_shared<bool>(false);
    auto image = std::make_shared<std::optional<EepromImage>>();
    const std::string target = m_configureIp;
    showProcessing();
    m_configureOnWorker = true;
    m_core.runOnWorker(
        [devices, target, loggedIn, image] {
            *loggedIn = devices->logInAgain(target).ok();
            if (*loggedIn)
                *image = readImage(*devices, target);
        },
        [this, loggedIn, image] {
            m_configureOnWorker = false;
            hideProcessing();
            if (!*loggedIn) {
                m_forms.loginDialog->open();
                return;
            }
            showConfiguration(*image);
        });
}

// After the login dialog logged in: read and show.
void TForm1::continueConfigure() {
    core::DeviceService* devices = m_core.deviceService();
    if (!m_forms.configDialog || !devices || m_configureIp.empty())
        return;
    const std::string target = m_configureIp;
    auto image = std::make_shared<std::optional<EepromImage>>();
    showProcessing();
    m_configureOnWorker = true;
    m_core.runOnWorker([devices, target, image] { *image = readImage(*devices, target); },
                       [this, image] {
                           m_configureOnWorker = false;
                           hideProcessing();
                           showConfiguration(*image);
                       });
}

std::optional<EepromImage> TForm1::readImage(core::DeviceService& devices, const std::string& ip) {
    auto read = devices.readImage(ip);
    if (!read)
        return std::nullopt;
    return read.value();
}

// The dialog shows its own copy of the image, so nothing else can change what it writes back.
void TForm1::showConfiguration(const std::optional<EepromImage>& image) {
    if (!image) {
        showError(QString::fromLatin1(kEepromError));
        return;
    }
    m_configImage = *image;
    core::DeviceService::showConfiguration(m_forms.configDialog->items(), m_configImage);
    m_forms.configDialog->open();
}

// The dialog's OK. Nothing is written unless every value is accepted: a refused value keeps
// the dialog open with the user's input and names its field.
void TForm1::storeConfiguration() {
    core::DeviceService* devices = m_core.deviceService();
    if (!m_forms.configDialog || !devices)
        return;
    auto collected = core::DeviceService::collectConfiguration(m_forms.configDialog->items(), m_configImage);
    if (!collected) {
        QString names;
        for (const std::string& name : collected.error().refused)
            names += u"\n"_s + QString::fromStdString(name);
        showError(u"These values are not valid; nothing was written:"_s + names);
        return;
    }
    m_configImage = collected.value();
    const std::string target = m_configureIp;
    const EepromImage image = m_configImage;
    auto written = std::make_shared<bool>(false);
    showProcessing();
    m_configureOnWorker = true;
    m_core.runOnWorker([devices, target, image, written] { *written = devices->writeImage(target, image).ok(); },
                       [this, written, target] {
                           m_configureOnWorker = false;
                           hideProcessing();
                           if (!*written)
                               showError(QString::fromLatin1(kEepromError));
                           else
                               m_core.logDeviceMessage("Configuration of " + target + " written.");
                           m_forms.configDialog->hide();
                       });
}

void TForm1::showProcessing() {
    if (m_forms.messageBox)
        m_forms.messageBox->showMessage(TsmallBox::Style::Processing, u"Processing, please wait..."_s);
}

void TForm1::hideProcessing() {
    if (m_forms.messageBox && m_forms.messageBox->messageStyle() == TsmallBox::Style::Processing)
        m_forms.messageBox->hide();
}

void TForm1::searchCommand() {
    if (!m_forms.searchDialog)
        return;
    m_forms.searchDialog->startSearch();
}

void TForm1::addMappingCommand() {
    // Not modal: the window stays usable; the next refresh tick shows a new mapping.
    if (m_forms.addDialog)
        m_forms.addDialog->showDialog();
}

// Delete anywhere removes only what the user sees: on the device page it shows the mappings.
void TForm1::removeMappingFromMenu() {
    if (page() != Page::ComMapping) {
        selectPage(Page::ComMapping);
        return;
    }
    removeMappingCommand();
}

void TForm1::copyPortPath() {
    const int row = selectedRow(m_mappingView);
    if (row >= 0)
        QGuiApplication::clipboard()->setText(m_mappingModel->row(row).path);
}

void TForm1::monitorCommand() {
    // The mapping it acts on must be in sight, as Delete does.
    selectPage(Page::ComMapping);
    const int row = selectedRow(m_mappingView);
    if (row < 0) {
        showError(QString::fromLatin1(core::kSelectItemFirst));
        return;
    }
    const std::int32_t com = m_mappingModel->cell(row, kComPortColumn).toInt();
    if (TPortMonitor* open = monitorWindow(com)) {
        open->showNormal();
        open->raise();
        open->activateWindow();
        return;
    }
    auto hold = m_core.watchMapping(com, m_options.monitorCapacity);
    if (!hold.ok()) {
        showError(QString::fromStdString(hold.error()));
        return;
    }
    auto* monitor = new TPortMonitor(m_core, std::move(hold.value()), this);
    m_monitors[com] = monitor;
    monitor->show();
}

TPortMonitor* TForm1::monitorWindow(std::int32_t comNumber) const {
    const auto found = m_monitors.find(comNumber);
    return found == m_monitors.end() ? nullptr : found->second.data();
}

void TForm1::removeMappingCommand() {
    const int row = selectedRow(m_mappingView);
    if (row < 0) {
        showError(QString::fromLatin1(core::kSelectItemFirst));
        return;
    }
    const core::CommandOutcome outcome = m_core.removeMapping(m_mappingModel->cell(row, kComPortColumn).toInt());
    if (!outcome.ok()) {
        showError(QString::fromStdString(outcome.error()));
        return;
    }
    // The rows behind the removed one are renumbered.
    rebuildMappingRows();
    m_header->setText(u"COM Mapping - %1 COM(s)"_s.arg(m_core.mappingCount()));
}

void TForm1::exitCommand() {
    const core::CommandOutcome outcome = m_core.requestExit();
    if (!outcome.ok()) {
        showError(QString::fromStdString(outcome.error()));
        return;
    }
    m_exiting = true;
    close();
    QCoreApplication::quit();
}

void TForm1::endSession() {
    m_exiting = true;
    if (m_forms.searchDialog)
        m_forms.searchDialog->abandon();
    m_core.shutDown();
    close();
    // Not quit(), which a dialog that refuses to close (the search counting down) can veto.
    QCoreApplication::exit(0);
}

void TForm1::hideIntoTray() {
    if (m_options.trayAvailable) {
        hide();
        m_tray->show();
    } else {
        // No tray to come back from: a minimised window stays reachable.
        showMinimized();
    }
}

void TForm1::restoreFromTray() {
    showNormal();
    raise();
    activateWindow();
    m_tray->hide();
}

void TForm1::closeEvent(QCloseEvent* event) {
    if (m_exiting) {
        event->accept();
        return;
    }
    event->ignore();
    hideIntoTray();
}
