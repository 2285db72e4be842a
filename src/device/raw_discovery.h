#pragma once
// Discovery below IP: one raw broadcast frame on every capture adapter, and the devices'
// answer frames collected for a second. Reaches devices whose IP settings fit no local subnet.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "device/kt550_node.h"
#include "device/netcmd_trace.h"
#include "platform/pcap_capture.h"

// One adapter that can both capture and send, with its own Ethernet address.
struct CaptureAdapter {
    std::unique_ptr<CaptureChannel> capture;
    MacAddress adapterMac{};
};

class RawDiscovery {
public:
    // `trace` receives the protocol's trace lines ("send arp packet error\n"); none by default.
    explicit RawDiscovery(CaptureBackend& backend, TraceSink trace = {});
    ~RawDiscovery();
    RawDiscovery(const RawDiscovery&) = delete;
    RawDiscovery& operator=(const RawDiscovery&) = delete;

    // Opens every listed device that has an Ethernet address and can be opened, in list order,
    // replacing the adapters opened before; returns how many. Called at start-up.
    std::size_t openCaptureAdapters();
    // Closes the adapters; waits for a discovery that is running to finish its wait.
    void closeCaptureAdapters();
    std::size_t adapterCount() const;
    std::vector<MacAddress> adapterMacs() const;

    // Sends the discovery frame on every adapter, then collects answers for one read time-out
    // (on all adapters at once). The answers (one per device, first answer wins) pass to the
    // caller, in arrival order.
    NodeList rawDiscover();

    // Copies of the answers of the running or last discovery, in arrival order: what the search
    // dialog shows while the raw phase counts down. Safe from any thread.
    std::vector<_KT550Node> rawAnswers() const;
    std::size_t rawAnswerCount() const;

    // How long a discovery collects answers.
    static constexpr std::chrono::milliseconds kAnswerWindow{1000};

    // Any thread: later discoveries send and collect nothing (one running ends with its
    // window). For the end of the program; not undone.
    void stop() { m_stopped.store(true); }

    // The answer handler: takes one captured frame. Frames count only while a discovery is
    // collecting; everything else (other traffic, short or foreign frames, repeats) is ignored.
    void handleFrame(std::span<const std::uint8_t> frame);
    bool capturing() const { return m_capturing.load(std::memory_order_acquire); }

private:
    CaptureBackend& m_backend;
    TraceSink m_trace;
    mutable std::mutex m_adaptersMutex; // held through a discovery, so closing waits for it
    std::vector<CaptureAdapter> m_adapters;
    std::atomic<bool> m_capturing{false};
    std::atomic<bool> m_stopped{false};

    mutable std::mutex m_mutex;        // guards the two answer lists
    NodeList m_answers;                // owned until handed over by rawDiscover()
    std::vector<_KT550Node> m_display; // copies for the dialog, kept until the next discovery
};

// Only discovery answers pass the capture filter, so a busy network cannot fill the capture
// buffer with traffic the handler would drop anyway.
inline constexpr const char* kRawAnswerFilter = "ether[16:2] = 0xf000 and ether[26:2] = 0x0002";
