#pragma once
// The program core shared by the window and the daemon: it owns the mapping lists and the
// two message logs, runs the main-loop queue, the worker and the start-up and shut-down
// sequences. A front end sends commands in and receives events out; nothing here draws.

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bridge/portable_sock.h"
#include "core/add_path.h"
#include "core/device_pick.h"
#include "core/event_queue.h"
#include "core/message_logs.h"
#include "core/traffic_meter.h"
#include "mapping/thread_set.h"
#include "model/mapping_lists.h"
#include "model/port_monitor.h"
#include "model/tarn_desc.h"
#include "platform/result.h"
#include "platform/time_source.h"

class Worker;
class DeviceList;

namespace core {

class ControlService;
struct ProgramCoreProbe;
class DeviceService;

// Messages the core delivers to its front end on the main thread.
enum class CoreEvent : int {
    kSearchFinished = 8024,     // the device list was rebuilt by a search
    kLoginSucceeded = 8074,     // continue the configure sequence
    kStoreConfiguration = 9024, // store the edited device configuration
    kStartUpDone = 1,           // the start-up load ran: hide the window into the tray
    kWebPageDone = 2,           // the browser was started: close the "processing" box
};

// Texts the front end shows in its error box.
inline constexpr const char* kSelectItemFirst = "Please select an item first.";
inline constexpr const char* kCloseOpenPortsFirst = "Please first close the currently open TARN(s).";
// Mapping log line after an add or remove whose mapping file could not be rewritten.
inline constexpr const char* kMappingFileNotWritten = "The mapping file could not be written; this change is not kept.";

// Outcome of a front-end command: its error is what the error box shows.
using CommandOutcome = Result<void, std::string>;

// One row of the mapping list as a view draws it.
struct MappingRow {
    std::array<std::string, 15> cells;
    bool drawnRed = false; // TCP, port open, connection down
    std::int32_t comNumber = 0;
    // A TCP client that speaks RFC 2217 in band: its cells match a TCP client's.
    bool rfc2217 = false;
    // The device's input lines as the port shows them ("CTS on, DSR on, DCD off, RI off"):
    // an application on a pseudo-terminal cannot read them, so the row's tooltip does.
    std::string inputLines;
    // The file an application opens (the link in the port directory) and the pseudo-terminal
    // behind it; empty while the port does not exist.
    std::string portLink;
    std::string portDevice;
    // Bytes both ways, counted now, with the rates of the last sampled second.
    Traffic traffic;
};

// A port monitor's hold on one mapping: while `watch` lives, the mapping's records reach its
// ring. A record's time plus wallOffsetUs is its Unix time in microseconds.
struct MonitorHold {
    std::shared_ptr<monitor::Watch> watch;
    std::int64_t wallOffsetUs = 0;
    std::int32_t comNumber = 0;
};
// MappingRow::inputLines of a port whose input lines are all off.
std::string inputLinesAllOff();

struct CoreOptions {
    // Keep every thread on the first permitted processor.
    bool pinToFirstCpu = true;
    // What the mappings' timed steps count by (the closing wait, connect limits, retries);
    // null: the steady clock. Tests hand a source they can move on.
    const TimeSource* time = nullptr;
    // Empty: the default place ($XDG_CONFIG_HOME/tarn/...).
    std::string mappingFile;
    // The worker looks at its command this often; it runs the start-up command at its
    // first look.
    std::chrono::milliseconds workerPeriod{1000};
    bool runStartUpCommand = true;
    // The device side: the NetCmd endpoint (UDP port 8000), the device list and the capture
    // adapters for raw discovery, made at start and used by the worker's searches. Only in
    // a network namespace of the program's own: a search broadcasts on every local subnet.
    bool deviceManagement = false;
    // How long a device search collects answers.
    int searchTimeoutMs = 3000;
    // Whether the start-up command ends with a search (with the device side, or searchJob).
    bool searchAtStartUp = true;
    // Without the device side: a search job of the caller's (tests), and the number of
    // devices it found, for "%u device(s) searched.".
    std::function<void()> searchJob;
    std::function<std::size_t()> deviceCount;
    // The daemon has no search dialog to announce the end of a search: with this set, the
    // worker posts kSearchFinished itself after each search it runs.
    bool workerAnnouncesSearch = false;
    // Opens an address in the browser (worker thread).
    std::function<void(const std::string&)> openBrowser;
    // Releases the device list and the device-management endpoint at shut-down.
    std::function<void()> releaseDevices;
    // The window has a search dialog that announces the searches it starts; the start-up
    // search has none, so with this set the worker announces that one itself.
    bool announceStartUpSearch = false;
    // Serve the control channel (tarnctl's way in), from the start-up load on. Only the holder
    // of the owner lock may: the socket's place is shared by every tarn and tarnd of the user.
    bool controlChannel = false;
    // Empty: <port dir>/tarn.sock.
    std::string controlSocket;
    // Rows each message log keeps (the most recent ones).
    std::size_t logRowLimit = MessageLog::kDefaultLimit;
};

// The order of two cells of a list when sorting by their column: texts that both read as a
// non-zero integer (as atoi reads them) compare as numbers, all others byte by byte.
// Negative, zero or positive.
int compareCells(const std::string& a, const std::string& b);

class ProgramCore {
public:
    explicit ProgramCore(CoreOptions options = {});
    // Runs the shut-down sequence if it has not run yet.
    ~ProgramCore();
    ProgramCore(const ProgramCore&) = delete;
    ProgramCore& operator=(const ProgramCore&) = delete;

    // Pins the process, starts the socket layer, installs the log and notification sinks
    // and starts the worker with its start-up command. Call on the main thread.
    void start();

    EventQueue& mainLoop() { return m_queue; }
    MessageLog& mappingLog() { return m_mappingLog; }
    MessageLog& deviceLog() { return m_deviceLog; }
    // Any thread.
    void logMappingMessage(std::string text) { m_mappingLog.append(std::move(text)); }
    void logDeviceMessage(std::string text) { m_deviceLog.append(std::move(text)); }

    // Front end's receiver of CoreEvents (main thread).
    void setEventHandler(std::function<void(CoreEvent)> handler);
    // Any thread: queues a numbered message for the main thread (8024, 8074, 9024).
    void postMessage(CoreEvent event);
    // Front end's error box (main thread); without one, errors go to the device log.
    void setErrorHandler(std::function<void(const std::string&)> handler);
    // Any thread: shows `text` in the front end's error box, on the main thread.
    void postError(std::string text);
    // Any thread: runs `work` on the worker (after the command it may be running), then
    // `done` on the main thread. Keeps the main thread free during blocking device traffic.
    void runOnWorker(std::function<void()> work, std::function<void()> done = {});

    // Commands; main thread only.
    // The add dialog's OK: the add checks against the live lists, then the mapping is created
    // and the mapping file rewritten. A port that cannot be made leaves no trace.
    CommandOutcome addMapping(const AddRequest& request);
    // Creates and runs a mapping from a description that needs no dialog checks (tests, and
    // callers that checked already), then rewrites the mapping file.
    CommandOutcome addMapping(const tarnDesc& desc);
    // Removes the mapping on COM<n> unless an application holds its port open.
    CommandOutcome removeMapping(std::int32_t comNumber);
    // The window's exit command: refused while any mapped port is open; otherwise runs the
    // shut-down sequence. After ok the front end ends its loop.
    CommandOutcome requestExit();
    // Starts a device search on the worker (the search dialog's job 1).
    void startSearch();
    // Opens http://<ip> in the default browser from the worker; kWebPageDone follows, and
    // "Unable to open default browser." goes to the error box when it cannot be started.
    CommandOutcome openWebPage(const std::string& ip);
    // Session end or a termination signal: the shut-down sequence without the open-port
    // check. Idempotent.
    void shutDown();
    bool exiting() const { return m_exiting.load(); }
    bool isShutDown() const { return m_shutDown; }

    // Display; main thread only.
    std::size_t mappingCount() const { return m_lists.size(); }
    std::vector<MappingRow> mappingRows();
    // The device list as the device page shows it, in list order.
    std::vector<std::array<std::string, 8>> deviceRows() const;
    // Whether the last search found a device with that IP.
    bool hasDevice(const std::string& ipText) const;
    // The refresh tick: true when the mapping list must be rebuilt (marked stale, or one of
    // the watched values of some mapping changed since the last tick). Clears the mark.
    bool refreshTick();
    void markMappingListStale() { m_mappingListStale = true; }
    // Starts a port monitor on COM<n>; an error text when nothing is mapped there.
    Result<MonitorHold, std::string> watchMapping(std::int32_t comNumber,
                                                  std::size_t capacity = monitor::Ring::kDefaultCapacity);
    // Samples every mapping's byte counters for the rates; main thread, about once a second.
    void sampleTraffic();
    // The last minute's rates of COM<n>, oldest first.
    std::vector<RatePoint> rateHistory(std::int32_t comNumber) const { return m_traffic.history(comNumber); }
    // Logs a row for each port whose application sent breaks since the last call: the control
    // protocol has no message that could carry them. Main thread, about once a second.
    void reportUncarriedBreaks();

    // What the add checks and proposals see; main thread only.
    std::vector<ExistingMapping> existingMappings() const;
    std::int32_t proposedComNumber() const;
    // What the add dialog fills in for the device of the last search with that IP.
    DevicePick pickDevice(const std::string& ipText, bool serverChecked, bool clientChecked);
    std::int32_t comNumberUp(std::int32_t n) const;
    std::int32_t comNumberDown(std::int32_t n) const;

    // The device side and its commands (null without deviceManagement); the commands that
    // talk to a device run on the worker (runOnWorker).
    DeviceService* deviceService() { return m_devices.get(); }
    std::size_t deviceCount() const;
    const std::string& mappingFile() const { return m_mappingFile; }
    // Whether the start-up load has run.
    bool mappingsLoaded() const { return m_loaded.load(); }

private:
    // The command socket's search waits on the worker's own progress.
    friend class ControlService;
    // Tests look at the records themselves through this (tests/support/core_probe.h).
    friend struct ProgramCoreProbe;
    // Main thread only.
    MappingLists& lists() { return m_lists; }
    // Null without the device side; may be read from any thread.
    DeviceList* deviceList();
    Worker* worker() { return m_worker.get(); }

    void loadMappings();
    void handleNotification(const SocketNotification& notification);
    void closeControlSocket(const SocketNotification& notification);
    void deliver(CoreEvent event);
    // Posts `task` to the main loop and waits until it ran (or can no longer run).
    void runOnMainAndWait(std::function<void()> task);
    void saveMappings();
    // The one creation step behind both add commands.
    CommandOutcome createMapping(const tarnDesc& desc);
    void openDeviceSide();
    void runDeviceSearch();
    void openControlChannel();

    CoreOptions m_options;
    std::string m_mappingFile;
    EventQueue m_queue;
    MessageLog m_mappingLog{m_options.logRowLimit};
    MessageLog m_deviceLog{m_options.logRowLimit};
    // The control sessions look control ports up in the device side's list: it is made before
    // any mapping and goes after the last.
    MappingLists m_lists{[this](TARNThread& threads, TARNINFO* tarnInfo) {
        makeMappingThreadsUsing(threads, tarnInfo, deviceList(), m_options.time ? *m_options.time : steadyTime());
    }};
    std::unique_ptr<DeviceService> m_devices;
    std::unique_ptr<Worker> m_worker;
    std::unique_ptr<ControlService> m_controlService;
    std::function<void(CoreEvent)> m_eventHandler;
    std::function<void(const std::string&)> m_errorHandler;
    std::atomic<bool> m_exiting{false};
    std::atomic<bool> m_loaded{false};
    bool m_started = false;
    bool m_shutDown = false;
    bool m_mappingListStale = false;
    std::map<std::int32_t, std::uint32_t> m_reportedBreaks; // by COM number
    TrafficMeter m_traffic;
};

} // namespace core
