#pragma once
// The main window: the device and mapping pages chosen from a tree, their commands, the two
// message logs, the clock and the tray. It draws what the core hands it and turns clicks into
// core commands.

#include <QMainWindow>
#include <QPointer>
#include <atomic>
#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "core/device_service.h"
#include "core/program_core.h"
#include "ui/text_rows_model.h"

class QLabel;
class QSplitter;
class QStackedWidget;
class QSystemTrayIcon;
class QTableView;
class QTabWidget;
class QTimer;
class QToolBar;
class QTreeWidget;
class QTreeWidgetItem;
class QMenu;
class TsmallBox;
class TprogressBarBox;
class TsmallInputDialog;
class TtempSearchDialog;
class TTARNAddGUI;
class TConfigDialog;
class QMessageBox;
class TPortMonitor;

// The forms the window works with, made by the program entry in their fixed order.
struct SharedForms {
    TTARNAddGUI* addDialog = nullptr;
    TprogressBarBox* progressBox = nullptr;
    TsmallBox* messageBox = nullptr;
    TsmallInputDialog* loginDialog = nullptr;
    TtempSearchDialog* searchDialog = nullptr;
    TConfigDialog* configDialog = nullptr;
};

class TForm1 : public QMainWindow {
    Q_OBJECT
public:
    enum class Page { DeviceInfo, ComMapping };

    struct Options {
        // Whether a tray can hold the window; without one, closing minimises instead.
        bool trayAvailable = false;
        // Started for the session (autostart): without a tray the window starts minimised.
        // Otherwise it goes to the tray only when there is one, and stays shown when not.
        bool startMinimized = false;
        // The ring of each monitor window's watch; tests make it small to see it overflow.
        std::size_t monitorCapacity = monitor::Ring::kDefaultCapacity;
    };

    // Starts the core (pinning, sockets, system ports, device side, worker with its start-up
    // command) and builds the window.
    TForm1(core::ProgramCore& core, Options options, QWidget* parent = nullptr);
    ~TForm1() override;

    void setForms(const SharedForms& forms);

    // Commands, as the buttons, menus and tray run them.
    void webCommand();
    // Also from the device list's context menu and a double click on a device row.
    void configureCommand();
    // The menu's Remove Mapping (Delete): the mapping page first, then the selected row.
    void removeMappingFromMenu();
    // The start-up command has run and the window has gone where it goes at start.
    bool startUpDone() const { return m_startUpDone; }
    // The selected mapping's port file, to the clipboard.
    void copyPortPath();
    // The selected mapping's monitor window: opened, or brought forward when it is open.
    void monitorCommand();
    void searchCommand();
    void addMappingCommand();
    void removeMappingCommand();
    void exitCommand();
    void restoreFromTray();
    void showAbout();
    void showError(const QString& text);
    // Session end or a termination signal: the shut-down without the open-port check.
    void endSession();

    // The refresh tick and the device-list rebuild (also run by their timer and event).
    void refreshMappingList();
    void rebuildDeviceList();
    void logDeviceMessage(const QString& text) { m_core.logDeviceMessage(text.toStdString()); }
    void logMappingMessage(const QString& text) { m_core.logMappingMessage(text.toStdString()); }

    // What tests and the screenshots look at.
    Page page() const;
    void selectPage(Page page);
    QString headerText() const;
    bool exiting() const { return m_exiting; }
    QTreeWidget* tree() const { return m_tree; }
    QTableView* deviceView() const { return m_deviceView; }
    QTableView* mappingView() const { return m_mappingView; }
    QTableView* deviceLogView() const { return m_deviceLogView; }
    QTableView* mappingLogView() const { return m_mappingLogView; }
    ui::TextRowsModel* deviceModel() const { return m_deviceModel; }
    ui::TextRowsModel* mappingModel() const { return m_mappingModel; }
    ui::TextRowsModel* deviceLog() const { return m_deviceLog; }
    ui::TextRowsModel* mappingLog() const { return m_mappingLog; }
    QSystemTrayIcon* trayIcon() const { return m_tray; }
    QToolBar* deviceToolBar() const { return m_deviceToolBar; }
    QToolBar* mappingToolBar() const { return m_mappingToolBar; }
    QTabWidget* logTabs() const { return m_logTabs; }
    QAction* configureAction() const { return m_configureAction; }
    const ui::SortState& sortState() const { return m_sort; }
    QString clockText() const;
    // The open monitor window of COM<n>, or null.
    TPortMonitor* monitorWindow(std::int32_t comNumber) const;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void buildMenuBand();
    void buildToolBars();
    void buildTree();
    void buildLists();
    void buildLogs();
    void buildStatusBar();
    void buildTray();
    QTableView* makeListView(ui::TextRowsModel* model, int columnWidth, bool grid);
    void changeOnTreeView(QTreeWidgetItem* current, QTreeWidgetItem* previous);
    void onCoreEvent(core::CoreEvent event);
    void drainCore();
    void pullLogs();
    void rebuildMappingRows();
    // The figures of the rows' traffic move every second, without a rebuild.
    void refreshMappingToolTips();
    void continueConfigure();
    void showConfiguration(const std::optional<EepromImage>& image);
    void storeConfiguration();
    static std::optional<EepromImage> readImage(core::DeviceService& devices, const std::string& ip);
    void showProcessing();
    void hideProcessing();
    void hideIntoTray();
    void tickClock();
    int selectedRow(QTableView* view) const;

    core::ProgramCore& m_core;
    const Options m_options;
    SharedForms m_forms;
    bool m_exiting = false;
    bool m_guiDescriptionLoaded = false;
    // The description could not be read: configuration stays unavailable for this run.
    QString m_descriptionError;
    QMessageBox* m_descriptionErrorBox = nullptr;
    // The device whose configuration is open or being fetched.
    std::string m_configureIp;
    // A step of the configure sequence runs on the worker. While it does, or while its login
    // or configuration dialog is open, another configure would retarget the sequence and
    // write one device's image to another: it is refused.
    bool m_configureOnWorker = false;
    bool m_startUpDone = false;
    // The window's size and place, its dividers, the lists' column widths and the page, kept
    // between runs in the user's configuration folder.
    void restoreLayout();
    void saveLayout() const;
    bool configureRunning() const;
    EepromImage m_configImage{}; // what the configuration dialog shows and writes back
    QString m_deviceHeader = QStringLiteral("Device Info- 0 Device(s)");
    ui::SortState m_sort;

    QToolBar* m_menuBand = nullptr;
    QToolBar* m_deviceToolBar = nullptr;
    QToolBar* m_mappingToolBar = nullptr;
    QAction* m_configureAction = nullptr;
    QTreeWidget* m_tree = nullptr;
    QTreeWidgetItem* m_deviceItem = nullptr;
    QTreeWidgetItem* m_mappingItem = nullptr;
    QLabel* m_header = nullptr;
    QStackedWidget* m_lists = nullptr;
    ui::TextRowsModel* m_deviceModel = nullptr;
    ui::TextRowsModel* m_mappingModel = nullptr;
    ui::TextRowsModel* m_deviceLog = nullptr;
    ui::TextRowsModel* m_mappingLog = nullptr;
    QTableView* m_deviceView = nullptr;
    QTableView* m_mappingView = nullptr;
    QTableView* m_deviceLogView = nullptr;
    QTableView* m_mappingLogView = nullptr;
    QTabWidget* m_logTabs = nullptr;
    QSplitter* m_panes = nullptr; // tree | list
    QSplitter* m_body = nullptr;  // panes over logs
    QLabel* m_clockPanel = nullptr;
    QLabel* m_secondPanel = nullptr;
    QTimer* m_refreshTimer = nullptr;
    QTimer* m_clockTimer = nullptr;
    QSystemTrayIcon* m_tray = nullptr;
    QMenu* m_trayMenu = nullptr;
    std::atomic<bool> m_logPullPending{false};
    // The sequence of the next row each log view has not shown yet.
    std::uint64_t m_deviceLogNext = 0;
    std::uint64_t m_mappingLogNext = 0;
    // One monitor window a mapping, by COM number; each deletes itself on close.
    std::map<std::int32_t, QPointer<TPortMonitor>> m_monitors;
};
