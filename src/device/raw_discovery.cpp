#include "device/raw_discovery.h"

#include <thread>
#include <utility>

#include "device/raw_frame.h"

RawDiscovery::RawDiscovery(CaptureBackend& backend, TraceSink trace) : m_backend(backend), m_trace(std::move(trace)) {}

RawDiscovery::~RawDiscovery() {
    closeCaptureAdapters();
}

std::size_t RawDiscovery::openCaptureAdapters() {
    std::vector<CaptureAdapter> adapters;
    for (const std::string& name : m_backend.listDevices()) {
        // The address comes first: pseudo-devices (`any`, netfilter, bus captures, loopback)
        // have none and are never opened, since opening some of them has side effects.
        const auto mac = m_backend.macAddress(name);
        if (!mac)
            continue;
        auto capture = m_backend.open(name);
        if (!capture)
            continue;
        // Without the filter every frame still goes through the handler's checks.
        capture->setFilter(kRawAnswerFilter);
        adapters.push_back(CaptureAdapter{std::move(capture), *mac});
    }
    std::lock_guard lock(m_adaptersMutex);
    m_adapters = std::move(adapters);
    return m_adapters.size();
}

void RawDiscovery::closeCaptureAdapters() {
    std::vector<CaptureAdapter> closing;
    {
        std::lock_guard lock(m_adaptersMutex);
        closing.swap(m_adapters);
    }
}

std::size_t RawDiscovery::adapterCount() const {
    std::lock_guard lock(m_adaptersMutex);
    return m_adapters.size();
}

std::vector<MacAddress> RawDiscovery::adapterMacs() const {
    std::lock_guard lock(m_adaptersMutex);
    std::vector<MacAddress> macs;
    for (const auto& adapter : m_adapters)
        macs.push_back(adapter.adapterMac);
    return macs;
}

NodeList RawDiscovery::rawDiscover() {
    if (m_stopped.load())
        return {};
    std::lock_guard adaptersLock(m_adaptersMutex);
    {
        // The previous answers were handed over to their caller; only the display copies remain.
        std::lock_guard lock(m_mutex);
        m_answers.clear();
        m_display.clear();
    }
    // Frames captured since the adapters were opened are old news: drop them, so that stale
    // traffic cannot crowd out the answers to this request.
    for (auto& adapter : m_adapters)
        adapter.capture->discardPending();

    m_capturing.store(true, std::memory_order_release);
    for (auto& adapter : m_adapters) {
        const DiscoveryFrame frame = buildDiscoveryFrame(adapter.adapterMac);
        if (!adapter.capture->send(frame))
            tracef(m_trace, "send arp packet error\n");
    }
    // One shared window: every capture buffers meanwhile, so the adapters after the first
    // find their answers waiting instead of each adding a second of its own.
    const auto until = std::chrono::steady_clock::now() + kAnswerWindow;
    const FrameHandler handler = [this](std::span<const std::uint8_t> frame) { handleFrame(frame); };
    for (auto& adapter : m_adapters)
        adapter.capture->collect(handler, until);
    std::this_thread::yield();
    m_capturing.store(false, std::memory_order_release);

    std::lock_guard lock(m_mutex);
    return std::exchange(m_answers, {});
}

std::vector<_KT550Node> RawDiscovery::rawAnswers() const {
    std::lock_guard lock(m_mutex);
    return m_display;
}

std::size_t RawDiscovery::rawAnswerCount() const {
    std::lock_guard lock(m_mutex);
    return m_display.size();
}

void RawDiscovery::handleFrame(std::span<const std::uint8_t> frame) {
    if (!capturing())
        return;
    auto answer = parseRawAnswer(frame);
    if (!answer)
        return;
    std::lock_guard lock(m_mutex);
    // A device is known by the frame's source address; its own stated address is checked too,
    // so a device that answers from another source still gives one node.
    if (containsMac(m_answers, answer->sourceMac.data()) || containsMac(m_answers, answer->node.mac))
        return;
    m_display.push_back(answer->node);
    m_answers.push_back(std::make_unique<_KT550Node>(std::move(answer->node)));
}
