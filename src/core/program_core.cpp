#include "core/program_core.h"

#include <filesystem>

#include <cassert>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>

#include "bridge/message_log.h"
#include "core/affinity.h"
#include "core/command_service.h"
#include "core/device_service.h"
#include "core/mapping_assembly.h"
#include "core/worker.h"
#include "device/device_list.h"
#include "mapping/mapping_thread.h"
#include "mapping/net_setup.h"
#include "mapping/session_threads.h"
#include "model/mapping_file.h"
#include "model/system_ports.h"
#include "model/tarn_thread.h"
#include "platform/browser.h"

namespace core {

std::string inputLinesAllOff() {
    return inputSignalsText(0);
}
namespace {

std::string format(const char* pattern, std::int32_t number) {
    char text[128];
    std::snprintf(text, sizeof text, pattern, number, number);
    return text;
}

Traffic countedTraffic(const TARNINFO& tarnInfo) {
    const monitor::Counters& counted = tarnInfo.traffic;
    Traffic traffic;
    traffic.toDevice = counted.appWrote.load(std::memory_order_relaxed);
    traffic.toApp = counted.delivered.load(std::memory_order_relaxed);
    traffic.sent = counted.sent.load(std::memory_order_relaxed);
    traffic.received = counted.received.load(std::memory_order_relaxed);
    return traffic;
}

} // namespace

ProgramCore::ProgramCore(CoreOptions options)
    : m_options(std::move(options)),
      m_mappingFile(m_options.mappingFile.empty() ? mappingFilePath() : m_options.mappingFile) {}

ProgramCore::~ProgramCore() {
    shutDown();
}

void ProgramCore::start() {
    if (m_started)
        return;
    m_started = true;
    m_queue.adoptCurrentThread();
    // First, so that every thread the program starts afterwards inherits the processor.
    if (m_options.pinToFirstCpu)
        pinToFirstPermittedCpu();
    startSocketLayer();
    // Before any mapping exists: the add checks refuse these numbers, and a port left behind
    // by an earlier run is cleared out of the way.
    recordSystemPorts();
    setMappingMessageSink([this](const std::string& text) { m_mappingLog.append(text); });
    // The monitor thread only queues; the handler runs on the main thread, which owns the
    // lists.
    g_sock->setNotificationSink([this](const SocketNotification& notification) {
        m_queue.post([this, notification] { handleNotification(notification); });
    });

    if (m_options.deviceManagement)
        openDeviceSide();

    Worker::Hooks hooks;
    hooks.loadMappings = [this] { runOnMainAndWait([this] { loadMappings(); }); };
    hooks.startUpDone = [this] { postMessage(CoreEvent::kStartUpDone); };
    if (m_options.deviceManagement)
        hooks.search = [this] { runDeviceSearch(); };
    else if (m_options.searchJob)
        hooks.search = m_options.searchJob;
    if (hooks.search && m_options.workerAnnouncesSearch)
        hooks.searchDone = [this] { postMessage(CoreEvent::kSearchFinished); };
    else if (hooks.search && m_options.announceStartUpSearch)
        hooks.startUpSearchDone = [this] { postMessage(CoreEvent::kSearchFinished); };
    hooks.searchAtStartUp = m_options.searchAtStartUp;
    if (m_options.openBrowser) {
        hooks.openWebPage = m_options.openBrowser;
    } else {
        hooks.openWebPage = [this](const std::string& address) {
            if (!openDefaultBrowser(address))
                postError("Unable to open default browser.\n" + address);
        };
    }
    hooks.webPageDone = [this] { postMessage(CoreEvent::kWebPageDone); };
    m_worker = std::make_unique<Worker>(std::move(hooks), m_options.workerPeriod);
    m_worker->startIfRunning();
    if (m_options.runStartUpCommand)
        m_worker->setCommand(Worker::kStartUp);
    // Otherwise once the stored mappings are loaded: a change made before the load would
    // rewrite the file without them.
    if (m_options.controlChannel && !m_options.runStartUpCommand)
        openControlChannel();
}

void ProgramCore::openControlChannel() {
    ControlService::Options options;
    options.canSearch = m_options.deviceManagement || static_cast<bool>(m_options.searchJob);
    options.announceSearches = !m_options.workerAnnouncesSearch;
    const std::string path = m_options.controlSocket.empty() ? controlSocketPath() : m_options.controlSocket;
    auto service = ControlService::open(*this, path, options);
    // The mappings run without it; tarnctl then finds no program and says so.
    if (!service)
        logMappingMessage("The control channel is not available: " + service.error());
    else
        m_controlService = std::move(service.value());
}

void ProgramCore::openDeviceSide() {
    // The socket layer is already up.
    DeviceService::Options options;
    options.searchTimeoutMs = m_options.searchTimeoutMs;
    m_devices = std::make_unique<DeviceService>(std::move(options));
}

void ProgramCore::runDeviceSearch() {
    m_devices->search();
}

DevicePick ProgramCore::pickDevice(const std::string& ipText, bool serverChecked, bool clientChecked) {
    assert(m_queue.onMainThread());
    return core::pickDevice(deviceList(), m_lists, ipText, serverChecked, clientChecked);
}

DeviceList* ProgramCore::deviceList() {
    return m_devices ? &m_devices->devices() : nullptr;
}

std::size_t ProgramCore::deviceCount() const {
    if (m_devices)
        return m_devices->devices().size();
    return m_options.deviceCount ? m_options.deviceCount() : 0;
}

void ProgramCore::loadMappings() {
    if (m_shutDown || m_loaded.load())
        return;
    loadMappingFile(m_lists, m_mappingFile);
    m_mappingListStale = true;
    m_loaded.store(true);
    if (m_options.controlChannel)
        openControlChannel();
}

void ProgramCore::runOnMainAndWait(std::function<void()> task) {
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> finished = done->get_future();
    m_queue.post([task = std::move(task), done] {
        task();
        done->set_value();
    });
    // A dropped task (queue closed at shut-down) breaks the promise, which also ends the wait.
    while (finished.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready) {
        if (m_worker && m_worker->terminated())
            return;
    }
}

void ProgramCore::setEventHandler(std::function<void(CoreEvent)> handler) {
    assert(m_queue.onMainThread());
    m_eventHandler = std::move(handler);
}

void ProgramCore::postMessage(CoreEvent event) {
    m_queue.post([this, event] { deliver(event); });
}

void ProgramCore::setErrorHandler(std::function<void(const std::string&)> handler) {
    assert(m_queue.onMainThread());
    m_errorHandler = std::move(handler);
}

void ProgramCore::postError(std::string text) {
    m_queue.post([this, text = std::move(text)] {
        if (m_shutDown)
            return;
        if (m_errorHandler)
            m_errorHandler(text);
        else
            logDeviceMessage(text);
    });
}

void ProgramCore::runOnWorker(std::function<void()> work, std::function<void()> done) {
    if (!m_worker || m_shutDown)
        return;
    m_worker->post([this, work = std::move(work), done = std::move(done)]() mutable {
        work();
        if (done)
            m_queue.post([this, done = std::move(done)] {
                if (!m_shutDown)
                    done();
            });
    });
}

void ProgramCore::startSearch() {
    if (m_worker && !m_shutDown)
        m_worker->setCommand(Worker::kSearch);
}

CommandOutcome ProgramCore::openWebPage(const std::string& ip) {
    if (!m_worker || m_shutDown)
        return failure("The program is ending.");
    m_worker->openWebPage("http://" + ip);
    return {};
}

std::vector<std::array<std::string, 8>> ProgramCore::deviceRows() const {
    return m_devices ? m_devices->rows() : std::vector<std::array<std::string, 8>>{};
}

bool ProgramCore::hasDevice(const std::string& ipText) const {
    return m_devices && m_devices->devices().find(ipText.c_str()) != nullptr;
}

void ProgramCore::deliver(CoreEvent event) {
    if (m_shutDown)
        return;
    if (m_eventHandler)
        m_eventHandler(event);
    if (event == CoreEvent::kSearchFinished) {
        const std::size_t devices = deviceCount();
        char text[64];
        std::snprintf(text, sizeof text, "%u device(s) searched.", static_cast<unsigned>(devices));
        logDeviceMessage(text);
    }
}

void ProgramCore::handleNotification(const SocketNotification& notification) {
    if (m_shutDown)
        return;
    // Data sockets belong to the bridge's handler; what it does not own may be a control
    // connection's socket.
    if (handleSocketNotification(m_lists, notification))
        return;
    if (notification.event == FD_CLOSE)
        closeControlSocket(notification);
}

// The control socket is read and replaced by the mapping's control threads under the
// mapping's lock. Closing it from here would leave its number in the record, where a later
// socket of the same number could be read by the wrong owner; so the close is handed to the
// mapping's own control thread, which does it under the lock, only while that socket is
// still the one the notification was registered for.
void ProgramCore::closeControlSocket(const SocketNotification& notification) {
    for (std::size_t position = 0; position < m_lists.threadSets.size(); ++position) {
        TARNThread& threads = *m_lists.threadSets[position];
        if (!threads.mek_ncp_connBuilder || position >= m_lists.mappings.size())
            continue;
        TARNINFO* tarnInfo = m_lists.mappings[position].get();
        LockInterface* lock = threads.lock.get();
        threads.mek_ncp_connBuilder->post([tarnInfo, lock, notification] {
            SyncLock hold(*lock);
            mek_ncp* control = tarnInfo->control.get();
            if (!control || control->sock != notification.sock ||
                !g_sock->isCurrentRegistration(notification.sock, notification.registration))
                return;
            control->closeSocket();
            control->connected.store(0);
        });
    }
}

CommandOutcome ProgramCore::addMapping(const AddRequest& request) {
    assert(m_queue.onMainThread());
    if (m_shutDown)
        return failure("The program is ending.");
    // Whatever the outcome, the list is drawn afresh at the next tick.
    m_mappingListStale = true;
    const AddCheck check = checkAdd(request, systemPortNumbers(), existingMappings());
    if (!check)
        return failure(check.error().message);
    return createMapping(check.value());
}

CommandOutcome ProgramCore::addMapping(const tarnDesc& desc) {
    assert(m_queue.onMainThread());
    if (m_shutDown)
        return failure("The program is ending.");
    m_mappingListStale = true;
    if (desc.comNum <= 0)
        return failure("Please DON'T give an invalid comport number.\n");
    if (m_lists.findByCom(desc.comNum) >= 0)
        return failure("Please DON'T create the existing comport.\n");
    if (!isKnownMode(desc.mode))
        return failure("Please choose TCP server, TCP client or UDP.\n");
    return createMapping(desc);
}

CommandOutcome ProgramCore::createMapping(const tarnDesc& desc) {
    if (!assembleMapping(m_lists, desc)) {
        logMappingMessage(format("COM%u is unable to be created.", desc.comNum));
        return failure(format("COM%u cannot be created.\nPlease check if COM%u is occupied.", desc.comNum));
    }
    logMappingMessage(format("COM%u is created.", desc.comNum));
    saveMappings();
    return {};
}

std::vector<ExistingMapping> ProgramCore::existingMappings() const {
    assert(m_queue.onMainThread());
    std::vector<ExistingMapping> existing;
    existing.reserve(m_lists.size());
    for (const auto& tarnInfo : m_lists.mappings) {
        ExistingMapping mapping;
        mapping.comNumber = tarnInfo->comNumber;
        if (tarnInfo->desc) {
            mapping.mode = tarnInfo->desc->mode;
            mapping.ipText = tarnInfo->desc->ipAddress;
            mapping.localPort = tarnInfo->desc->localPort;
        }
        existing.push_back(std::move(mapping));
    }
    return existing;
}

std::int32_t ProgramCore::proposedComNumber() const {
    return proposeComNumber(systemPortNumbers(), m_lists.comNumbers);
}

std::int32_t ProgramCore::comNumberUp(std::int32_t n) const {
    return core::comNumberUp(n, systemPortNumbers(), m_lists.comNumbers);
}

std::int32_t ProgramCore::comNumberDown(std::int32_t n) const {
    return core::comNumberDown(n, systemPortNumbers(), m_lists.comNumbers);
}

CommandOutcome ProgramCore::removeMapping(std::int32_t comNumber) {
    assert(m_queue.onMainThread());
    if (m_shutDown)
        return failure("The program is ending.");
    const int position = m_lists.findByCom(comNumber);
    if (position < 0)
        return failure(format("COM%d is not mapped.", comNumber));
    if (m_lists.at(static_cast<std::size_t>(position)).isOpen())
        return failure(format("COM%d is still open.\nPlease close it first.", comNumber));
    m_lists.removeAt(static_cast<std::size_t>(position), [this](const TARNINFO& tarnInfo) {
        logMappingMessage(format("COM%d is removed.", tarnInfo.comNumber));
    });
    m_mappingListStale = true;
    saveMappings();
    return {};
}

// A failed save keeps the old file, so the change would be gone at the next start: the user
// is told, where the change itself was reported.
void ProgramCore::saveMappings() {
    if (!saveMappingFile(m_lists, m_mappingFile))
        logMappingMessage(kMappingFileNotWritten);
}

CommandOutcome ProgramCore::requestExit() {
    assert(m_queue.onMainThread());
    // The refusal names the ports, so the user knows which applications to end.
    std::string open;
    for (const auto& tarnInfo : m_lists.mappings) {
        if (tarnInfo->isOpen())
            open += (open.empty() ? "\nStill open: COM" : ", COM") + std::to_string(tarnInfo->comNumber);
    }
    if (!open.empty())
        return failure(kCloseOpenPortsFirst + open);
    shutDown();
    return {};
}

void ProgramCore::shutDown() {
    if (m_shutDown)
        return;
    m_shutDown = true;
    m_exiting.store(true);
    // A start-up still in progress must not go on into a search, and a running search or
    // configuration is cut short rather than waited out.
    if (m_worker)
        m_worker->terminate();
    if (m_devices)
        m_devices->stop();
    // Nothing queued may run against records that are about to go.
    m_queue.close();
    // No command may come in once the queue is closed; its clients see the connection end.
    m_controlService.reset();
    if (m_started)
        g_sock->setNotificationSink(nullptr);
    // Every mapping's threads are asked to end before any is waited for; then the mappings
    // go front to back. The mapping file is not written at exit.
    m_lists.stopAll();
    m_lists.destroyAll();
    if (m_devices) {
        // Capture adapters first, as a discovery may still be collecting on them.
        m_devices->closeCapture();
    }
    if (m_worker) {
        m_worker->release();
        m_worker.reset();
    }
    if (m_devices)
        m_devices->devices().clear();
    m_devices.reset();
    if (m_options.releaseDevices)
        m_options.releaseDevices();
    if (m_started) {
        setMappingMessageSink(nullptr);
        stopSocketLayer();
    }
}

std::vector<MappingRow> ProgramCore::mappingRows() {
    assert(m_queue.onMainThread());
    std::vector<MappingRow> rows;
    rows.reserve(m_lists.size());
    for (const auto& tarnInfo : m_lists.mappings) {
        tarnInfo->refreshRowText();
        MappingRow row;
        for (std::size_t cell = 0; cell < row.cells.size(); ++cell)
            row.cells[cell] = tarnInfo->rowText[cell];
        row.drawnRed = tarnInfo->isTcp() && tarnInfo->isOpen() && !tarnInfo->isConnected();
        row.comNumber = tarnInfo->comNumber;
        row.rfc2217 = tarnInfo->desc && tarnInfo->isRfc2217();
        row.inputLines = inputSignalsText(portInputSignals(*tarnInfo->port));
        row.portLink = tarnInfo->port->linkPath();
        std::error_code unreadable;
        if (!row.portLink.empty())
            row.portDevice = std::filesystem::read_symlink(row.portLink, unreadable).string();
        row.traffic = countedTraffic(*tarnInfo);
        const Traffic sampled = m_traffic.figures(tarnInfo->comNumber);
        row.traffic.toDeviceRate = sampled.toDeviceRate;
        row.traffic.toAppRate = sampled.toAppRate;
        rows.push_back(std::move(row));
    }
    return rows;
}

bool ProgramCore::refreshTick() {
    assert(m_queue.onMainThread());
    // Looked at first: a remove that emptied the list must still clear its last row.
    if (m_mappingListStale) {
        m_mappingListStale = false;
        return true;
    }
    if (m_lists.empty())
        return false;
    bool changed = false;
    for (const auto& tarnInfo : m_lists.mappings) {
        const std::int32_t baud = tarnInfo->baudRate();
        const std::int32_t open = tarnInfo->isOpen() ? 1 : 0;
        const std::int32_t connected = tarnInfo->isConnected() ? 1 : 0;
        const std::uint8_t controlConnected = tarnInfo->control->connected.load();
        const std::int32_t controlStatus = tarnInfo->control->status.load();
        // The control protocol's switch (cell 14) and the device's lines (the tooltip) change
        // on their own too, e.g. a device without a control port is found out after the
        // data connection came up.
        const std::uint8_t controlEnabled = tarnInfo->control->enabled.load();
        const std::uint8_t inputSignals = portInputSignals(*tarnInfo->port);
        changed = changed || baud != tarnInfo->lastBaud || open != tarnInfo->lastOpen.load() ||
                  connected != tarnInfo->net->lastConnected || controlConnected != tarnInfo->control->shownConnected ||
                  controlStatus != tarnInfo->control->shownStatus ||
                  controlEnabled != tarnInfo->control->shownEnabled || inputSignals != tarnInfo->control->shownSignals;
        tarnInfo->lastBaud = baud;
        tarnInfo->lastOpen.store(open);
        tarnInfo->net->lastConnected = connected;
        tarnInfo->control->shownConnected = controlConnected;
        tarnInfo->control->shownStatus = controlStatus;
        tarnInfo->control->shownEnabled = controlEnabled;
        tarnInfo->control->shownSignals = inputSignals;
        const std::int32_t bindFailed = tarnInfo->net->bindFailed.load();
        changed = changed || bindFailed != tarnInfo->net->shownBindFailed;
        tarnInfo->net->shownBindFailed = bindFailed;
    }
    return changed;
}

Result<MonitorHold, std::string> ProgramCore::watchMapping(std::int32_t comNumber, std::size_t capacity) {
    assert(m_queue.onMainThread());
    for (const auto& tarnInfo : m_lists.mappings) {
        if (tarnInfo->comNumber != comNumber)
            continue;
        MonitorHold hold{tarnInfo->tap.watch(capacity), monitor::wallOffsetUs(), comNumber};
        // The new watcher hears the mapping's state at the next pass, which this brings on.
        ThreadInterface::wakeMapping(tarnInfo.get());
        return hold;
    }
    return failure("COM" + std::to_string(comNumber) + " is not mapped");
}

void ProgramCore::sampleTraffic() {
    assert(m_queue.onMainThread());
    const std::int64_t now = steadyTime().nowNs();
    std::vector<std::int32_t> mapped;
    for (const auto& tarnInfo : m_lists.mappings) {
        m_traffic.sample(tarnInfo->comNumber, countedTraffic(*tarnInfo), now);
        mapped.push_back(tarnInfo->comNumber);
    }
    m_traffic.keepOnly(mapped);
}

void ProgramCore::reportUncarriedBreaks() {
    assert(m_queue.onMainThread());
    for (const auto& tarnInfo : m_lists.mappings) {
        const std::uint32_t breaks = tarnInfo->port->breakRequests();
        std::uint32_t& reported = m_reportedBreaks[tarnInfo->comNumber];
        // A port made anew under the same number counts from 0 again.
        if (breaks > reported)
            logMappingMessage(format("COM%d: a break from the application is not sent on: the control protocol has no "
                                     "message for it.",
                                     tarnInfo->comNumber));
        reported = breaks;
    }
}

int compareCells(const std::string& a, const std::string& b) {
    const int numberA = std::atoi(a.c_str());
    const int numberB = std::atoi(b.c_str());
    // 0 is no number here: "0" and "abc" both read as 0, so they compare as texts.
    if (numberA != 0 && numberB != 0)
        return numberA < numberB ? -1 : (numberA > numberB ? 1 : 0);
    // std::string compares its chars as unsigned bytes; the C texts end at their terminator.
    const int order = std::strcmp(a.c_str(), b.c_str());
    return order < 0 ? -1 : (order > 0 ? 1 : 0);
}

} // namespace core
