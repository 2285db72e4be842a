#include "mapping/com_port_path.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>
#include <span>
#include <utility>

#include "bridge/message_log.h"
#include "bridge/portable_sock.h"
#include "bridge/tvs_port_ax.h"
#include "mapping/data_pumps.h"
#include "mapping/monitor_events.h"
#include "mapping/net_setup.h"
#include "model/tarn_info.h"

namespace {

// A break the application asked for without a length (tcsendbreak) lasts as a serial
// port's does.
constexpr std::int64_t kTimedBreakNs = 250'000'000;

// SET-CONTROL values.
constexpr std::uint8_t kFlowNone = 1, kFlowXonXoff = 2, kFlowHardware = 3;
constexpr std::uint8_t kBreakOn = 5, kBreakOff = 6, kDtrOn = 8, kDtrOff = 9, kRtsOn = 11, kRtsOff = 12;

TelnetComPort::TimePoint at(std::int64_t nowNs) {
    return TelnetComPort::TimePoint(std::chrono::nanoseconds(nowNs));
}

// Sends what the wire holds, the codec's newest commands last.
WireSend flush(TARNINFO& tarnInfo) {
    NETSTRUCT& net = *tarnInfo.net;
    ComPortLink& link = *net.comPort;
    const auto commands = link.codec.takeOutgoing();
    link.wire.insert(link.wire.end(), commands.begin(), commands.end());
    if (link.wire.empty())
        return WireSend::Idle;
    const int size = static_cast<int>(std::min<std::size_t>(link.wire.size(), INT_MAX));
    const int sent = g_sock->send(net.dataSock.load(), link.wire.data(), size, 0);
    if (sent < 0) {
        if (g_sock->lastError() == kWouldBlock)
            return WireSend::Short;
        takeConnectionDown(tarnInfo, false); // and the link with it
        return WireSend::Failed;
    }
    link.wire.erase(link.wire.begin(), link.wire.begin() + sent);
    return link.wire.empty() ? WireSend::Whole : WireSend::Short;
}

template <class T, class Send> void sendOnChange(std::optional<T>& last, T now, Send send) {
    if (last == now)
        return;
    last = now;
    send(now);
}

std::uint8_t flowValue(const TARNINFO& tarnInfo) {
    const char* flow = flowControlText(static_cast<std::uint32_t>(tarnInfo.controlHandShake()),
                                       static_cast<std::uint32_t>(tarnInfo.flowReplace()));
    return std::strcmp(flow, "Hardware") == 0   ? kFlowHardware
           : std::strcmp(flow, "Xon/Xoff") == 0 ? kFlowXonXoff
                                                : kFlowNone;
}

// The port's stop bits (0 one, 1 one and a half, 2 two) as the command has them.
std::uint8_t stopSizeValue(int stopBits) {
    return stopBits == 1 ? 3 : stopBits == 2 ? 2 : 1;
}

void sendSettings(TARNINFO& tarnInfo, ComPortLink& link) {
    TelnetComPort& codec = link.codec;
    if (const int baud = tarnInfo.baudRate(); baud > 0)
        sendOnChange(link.baud, baud, [&](int v) { codec.setBaudRate(static_cast<std::uint32_t>(v)); });
    sendOnChange(link.dataBits, tarnInfo.dataBits(), [&](int v) { codec.setDataSize(static_cast<std::uint8_t>(v)); });
    // Parity as the port reports it (none, odd, even, mark, space from 0) is one less than the
    // command's value.
    sendOnChange(link.parity, tarnInfo.parity(), [&](int v) { codec.setParity(static_cast<std::uint8_t>(v + 1)); });
    sendOnChange(link.stopBits, tarnInfo.stopBits(), [&](int v) { codec.setStopSize(stopSizeValue(v)); });
    sendOnChange(link.flow, static_cast<int>(flowValue(tarnInfo)),
                 [&](int v) { codec.setControl(static_cast<std::uint8_t>(v)); });
}

// RTS and DTR as the application holds them. When the last application closes the port they
// drop, as a serial port's do with HUPCL set (the default); cleared, they stay as they were.
void sendLines(TARNINFO& tarnInfo, ComPortLink& link) {
    if (!tarnInfo.isOpen() && !tarnInfo.hangUpOnClose())
        return;
    TelnetComPort& codec = link.codec;
    sendOnChange(link.dtr, tarnInfo.dtrState(), [&](bool on) { codec.setControl(on ? kDtrOn : kDtrOff); });
    sendOnChange(link.rts, tarnInfo.rtsState(), [&](bool on) { codec.setControl(on ? kRtsOn : kRtsOff); });
}

void sendBreaks(TARNINFO& tarnInfo, ComPortLink& link, std::int64_t nowNs) {
    const TVSPortAx& port = *tarnInfo.port;
    TelnetComPort& codec = link.codec;
    const bool on = port.breakOn();
    const std::uint32_t requests = port.breakRequests();
    if (on != link.breakOn) {
        link.breakOn = on;
        link.breakEndsNs = 0;
        codec.setControl(on ? kBreakOn : kBreakOff);
    } else if (!on && requests != link.breaksSeen && link.breakEndsNs == 0) {
        codec.setControl(kBreakOn);
        link.breakEndsNs = nowNs + kTimedBreakNs;
    } else if (link.breakEndsNs != 0 && nowNs >= link.breakEndsNs) {
        codec.setControl(kBreakOff);
        link.breakEndsNs = 0;
    }
    link.breaksSeen = requests;
}

// The application's flushes: the server drops what it holds in the same direction. Its
// receive buffer holds what goes to the application, its transmit buffer what came from it.
void sendPurges(TARNINFO& tarnInfo, ComPortLink& link) {
    const TVSPortAx& port = *tarnInfo.port;
    const std::uint32_t in = port.inputFlushes(), out = port.outputFlushes();
    const bool purgeIn = link.inputFlushes && *link.inputFlushes != in;
    const bool purgeOut = link.outputFlushes && *link.outputFlushes != out;
    link.inputFlushes = in;
    link.outputFlushes = out;
    if (purgeIn || purgeOut)
        link.codec.purgeData(purgeIn && purgeOut ? 3 : purgeIn ? 1 : 2);
}

// The server's CTS, DSR, RI and DCD, where the port's lines are taken from.
void takeModemState(TARNINFO& tarnInfo, const TelnetComPort& codec) {
    const auto state = codec.modemState();
    if (!state)
        return;
    mek_ncp& control = *tarnInfo.control;
    control.cts = (*state & TelnetComPort::kCts) ? 1 : 0;
    control.dsr = (*state & TelnetComPort::kDsr) ? 1 : 0;
    control.ri = (*state & TelnetComPort::kRi) ? 1 : 0;
    control.dcd = (*state & TelnetComPort::kDcd) ? 1 : 0;
}

void logNotices(TARNINFO& tarnInfo, ComPortLink& link) {
    TelnetComPort& codec = link.codec;
    for (const auto& notice : codec.takeNotices()) {
        using Kind = TelnetComPort::Notice::Kind;
        // Line changes are the port's business, not the log's.
        if (notice.kind == Kind::ModemStateChanged || notice.kind == Kind::LineStateChanged ||
            notice.kind == Kind::SuspendChanged)
            continue;
        // Many servers confirm some settings and not others, or none: one row per connection
        // says so, since nothing waits for a confirmation anyway.
        if (notice.kind == Kind::NoAcknowledgement && std::exchange(link.missingConfirmationLogged, true))
            continue;
        logMappingMessage("COM" + std::to_string(tarnInfo.comNumber) + ": " + codec.describe(notice));
    }
}

} // namespace

void startComPort(TARNINFO& tarnInfo, std::int64_t nowNs) {
    NETSTRUCT& net = *tarnInfo.net;
    net.comPortAgreed.store(0);
    if (!tarnInfo.isRfc2217()) {
        stopComPort(tarnInfo);
        return;
    }
    net.comPort = std::make_unique<ComPortLink>();
    net.comPortUp.store(true);
    // Breaks and flushes are events of a connection: those before it are nobody's.
    const TVSPortAx& port = *tarnInfo.port;
    net.comPort->breaksSeen = port.breakRequests();
    net.comPort->inputFlushes = port.inputFlushes();
    net.comPort->outputFlushes = port.outputFlushes();
    TelnetComPort& codec = net.comPort->codec;
    codec.start(at(nowNs));
    // Every line the server can report; the port shows them all.
    codec.setModemStateMask(0xFF);
    flush(tarnInfo);
}

void stopComPort(TARNINFO& tarnInfo) {
    tarnInfo.net->comPortUp.store(false);
    tarnInfo.net->comPort.reset();
    tarnInfo.net->comPortAgreed.store(0);
}

std::uint32_t comPortReceived(TARNINFO& tarnInfo, const std::uint8_t* data, std::uint32_t size, bool deliver) {
    NETSTRUCT& net = *tarnInfo.net;
    ComPortLink& link = *net.comPort;
    link.toPort.clear();
    const bool wasSuspended = link.codec.outputSuspended();
    link.codec.receive(std::span(data, size), link.toPort);
    const auto bytes = static_cast<std::uint32_t>(link.toPort.size());
    // Unescaping only shortens, so what the ring had room for still fits.
    if (deliver)
        gaveToPort(tarnInfo, link.toPort.data(), bytes);
    takeModemState(tarnInfo, link.codec);
    // Answers go at once: a server may wait for them before it sends on. The send pump sleeps
    // through a suspension with bytes waiting, so a resume wakes it.
    const bool resumed = wasSuspended && !link.codec.outputSuspended();
    if (flush(tarnInfo) == WireSend::Short || resumed)
        ThreadInterface::wakeMapping(&tarnInfo);
    return bytes;
}

WireSend comPortSend(TARNINFO& tarnInfo, bool takeData) {
    NETSTRUCT& net = *tarnInfo.net;
    ComPortLink& link = *net.comPort;
    ByteRing& ring = *tarnInfo.portToNet;
    const std::uint32_t queued = ring.count.load();
    if (takeData && queued > 0 && link.wire.size() < kNetSendChunk && !link.codec.outputSuspended()) {
        const std::uint32_t n = std::min(kNetSendChunk, queued);
        std::uint8_t* scratch = tarnInfo.buffers->sendScratch.get();
        ring.copyOut(scratch, n);
        TelnetComPort::escape(std::span<const std::uint8_t>(scratch, n), link.wire);
        ring.consume(n);
        ring.restartIfEmpty();
        tookForNetwork(tarnInfo, scratch, n);
    }
    return flush(tarnInfo);
}

bool comPortSendPending(const TARNINFO& tarnInfo, bool takeData) {
    const ComPortLink* link = tarnInfo.net->comPort.get();
    if (!link)
        return false;
    return !link->wire.empty() || (takeData && tarnInfo.portToNet->count.load() > 0 && !link->codec.outputSuspended());
}

void comPortSignals(TARNINFO& tarnInfo, std::int64_t nowNs) {
    NETSTRUCT& net = *tarnInfo.net;
    if (!net.comPort || !tarnInfo.isConnected())
        return;
    ComPortLink& link = *net.comPort;
    TelnetComPort& codec = link.codec;
    codec.tick(at(nowNs));
    if (tarnInfo.isOpen()) {
        sendSettings(tarnInfo, link);
        sendBreaks(tarnInfo, link, nowNs);
        sendPurges(tarnInfo, link);
    }
    sendLines(tarnInfo, link);
    net.comPortAgreed.store(codec.comPort() == TelnetComPort::ComPort::Agreed ? 1 : 0);
    logNotices(tarnInfo, link);
    if (flush(tarnInfo) == WireSend::Short)
        ThreadInterface::wakeMapping(&tarnInfo);
}
