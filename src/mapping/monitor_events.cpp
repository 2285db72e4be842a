#include "mapping/monitor_events.h"

#include <cstdio>
#include <string>

#include "mapping/session_threads.h"
#include "model/tarn_info.h"

void tookForNetwork(TARNINFO& tarnInfo, const std::uint8_t* data, std::uint32_t size) {
    monitor::Counters::add(tarnInfo.traffic.sent, size);
    if (tarnInfo.tap.watched())
        tarnInfo.tap.data(monitor::Flow::kSent, data, size);
}

void gaveToPort(TARNINFO& tarnInfo, const std::uint8_t* data, std::uint32_t size) {
    tarnInfo.netToPort->copyIn(data, size);
    monitor::Counters::add(tarnInfo.traffic.received, size);
    if (tarnInfo.tap.watched())
        tarnInfo.tap.data(monitor::Flow::kReceived, data, size);
}

namespace {

std::string lineSettingsText(const TARNINFO& tarnInfo) {
    static constexpr char kParity[] = {'N', 'O', 'E', 'M', 'S'};
    static constexpr const char* kStop[] = {"1", "1.5", "2"};
    const std::int32_t parity = tarnInfo.parity();
    const std::int32_t stop = tarnInfo.stopBits();
    char text[96];
    std::snprintf(text, sizeof text, "line %d %d%c%s, flow %s", tarnInfo.baudRate(), tarnInfo.dataBits(),
                  parity >= 0 && parity < 5 ? kParity[parity] : '?', stop >= 0 && stop < 3 ? kStop[stop] : "?",
                  flowControlText(static_cast<std::uint32_t>(tarnInfo.controlHandShake()),
                                  static_cast<std::uint32_t>(tarnInfo.flowReplace())));
    return text;
}

// Tells the watchers `now` when it differs from what they were last told.
template <class T> void note(monitor::Tap& tap, T& last, const T& now, const std::string& text) {
    if (now == last)
        return;
    last = now;
    tap.event(text);
}

} // namespace

void noteMonitorState(TARNINFO& tarnInfo, bool changed) {
    monitor::Tap& tap = tarnInfo.tap;
    monitor::Tap::State& last = tap.state;
    const std::int64_t now = monitor::nowUs();
    if (tap.takePrimeRequest()) {
        last = {};
        tap.event("monitor started");
    } else if (!changed && now - last.checkedUs < kMonitorRecheckUs) {
        return;
    }
    last.checkedUs = now;
    const std::int32_t open = tarnInfo.isOpen() ? 1 : 0;
    note(tap, last.open, open, open ? "port open" : "port closed");
    if (tarnInfo.isTcp()) {
        const std::int32_t connected = tarnInfo.isConnected() ? 1 : 0;
        note(tap, last.connected, connected,
             connected ? "connection up (" + tarnInfo.peerText() + ":" + std::to_string(tarnInfo.remotePort()) + ")"
                       : std::string("connection down"));
    }
    // Told once it was up: a mapping without a control port never has one.
    const std::int32_t control = tarnInfo.control->connected.load();
    if (control == 1 || last.controlConnected == 1) {
        note(tap, last.controlConnected, control,
             control ? std::string("control connection up") : std::string("control connection down"));
    }
    if (open) {
        const std::string settings = lineSettingsText(tarnInfo);
        note(tap, last.settings, settings, settings);
        std::string lines = std::string("RTS ") + (tarnInfo.rtsState() ? "on" : "off") + ", DTR " +
                            (tarnInfo.dtrState() ? "on" : "off");
        note(tap, last.outputLines, lines, lines);
    }
    const std::string input = inputSignalsText(portInputSignals(*tarnInfo.port));
    note(tap, last.inputLines, input, input);
    const std::int32_t paced = tarnInfo.net->pacedBaud;
    note(tap, last.pacedBaud, paced, paced > 0 ? "pacing " + std::to_string(paced) + " baud" : "pacing off");
}
