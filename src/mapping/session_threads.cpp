#include "mapping/session_threads.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <sys/socket.h>

#include "bridge/portable_sock.h"
#include "bridge/tcp_tuning.h"
#include "control/mek_ncp.h"
#include "device/device_list.h"
#include "mapping/com_port_path.h"
#include "model/tarn_info.h"

namespace {

constexpr std::uint8_t kControlPortOption = 5;
constexpr unsigned kControlSocketEvents = FD_READ | FD_WRITE | FD_ACCEPT | FD_CONNECT | FD_CLOSE;

// A device that drops the connection request instead of refusing it would otherwise keep the
// attempt going for the system's connect time-out (minutes). A device on the local network
// answers well within.
constexpr std::chrono::milliseconds kConnectTimeout{1000};

// Receiving and signalling need all four: the protocol switched on, the control connection
// up, the data connection up and an application on the port.
bool sessionUp(const TARNINFO& tarnInfo) {
    const mek_ncp& control = *tarnInfo.control;
    return control.enabled.load() == 1 && control.connected.load() == 1 && tarnInfo.isConnected() && tarnInfo.isOpen();
}

// Every pass, not only on a change: the port is the only place the application can see the
// device's lines, and it must show them whatever happened to the port meanwhile.
void applyInputLines(TARNINFO& tarnInfo) {
    tarnInfo.applyRing();
    tarnInfo.applyDcd();
    tarnInfo.applyDsr();
    tarnInfo.applyCts();
}

} // namespace

std::optional<std::uint16_t> controlPortFromOption(std::span<const std::uint8_t> value) {
    std::uint32_t port = 0;
    for (const std::uint8_t byte : value) {
        port = port * 256 + byte;
        if (port > 0xFFFF)
            return std::nullopt;
    }
    if (port == 0)
        return std::nullopt;
    return static_cast<std::uint16_t>(port);
}

std::uint8_t portInputSignals(const TVSPortAx& port) {
    std::uint8_t signals = 0;
    if (port.cts())
        signals |= kSignalCts;
    if (port.dsr())
        signals |= kSignalDsr;
    if (port.dcd())
        signals |= kSignalDcd;
    if (port.ring())
        signals |= kSignalRi;
    return signals;
}

std::string inputSignalsText(std::uint8_t signals) {
    auto state = [signals](std::uint8_t bit) { return (signals & bit) ? " on" : " off"; };
    return std::string("CTS") + state(kSignalCts) + ", DSR" + state(kSignalDsr) + ", DCD" + state(kSignalDcd) + ", RI" +
           state(kSignalRi);
}

// Each destructor ends the loop before the derived part goes away.

mek_ncp_RxThread::mek_ncp_RxThread(bool createSuspended, LockInterface& lock, TARNINFO* tarnInfo)
    : ThreadInterface(createSuspended, lock, tarnInfo) {}
mek_ncp_RxThread::~mek_ncp_RxThread() {
    release();
}

void mek_ncp_RxThread::pass() {
    TARNINFO& tarnInfo = *m_tarnInfo;
    mek_ncp& control = *tarnInfo.control;
    if (!sessionUp(tarnInfo) || g_sock == nullptr)
        return;

    // The stream has no framing: a message is known by its code and the length that code has.
    // Reading a fixed 4 bytes would cut the 6-byte report 0x04 in two and lose any message
    // that follows another in the same read, so the read appends to what is held and every
    // whole message is handled; the start of an incomplete one waits for the next pass.
    std::size_t held = std::min(control.rxLength, sizeof control.rxBuffer);
    const int received =
        g_sock->recv(control.sock.load(), control.rxBuffer + held, static_cast<int>(sizeof control.rxBuffer - held), 0);
    if (received <= 0) {
        const int error = g_sock->lastError();
        // 0 is the peer's orderly close; the error left over from an earlier call must not
        // make it look like "nothing yet".
        if (received == 0 || error != kWouldBlock)
            control.connected.store(0);
        return;
    }
    held += static_cast<std::size_t>(received);

    std::size_t at = 0;
    while (at < held) {
        const std::size_t used = control.handleDeviceMessage(control.rxBuffer + at, held - at);
        if (used == 0)
            break;
        at += used;
        // Answering a query can fail; what is left belongs to a stream that is gone.
        if (control.connected.load() == 0) {
            control.rxLength = 0;
            return;
        }
    }
    std::memmove(control.rxBuffer, control.rxBuffer + at, held - at);
    control.rxLength = held - at;
}

void mek_ncp_RxThread::idleWaitSources(std::vector<pollfd>& sources) const {
    const SocketHandle sock = m_tarnInfo->control->sock.load();
    if (sessionUp(*m_tarnInfo) && sock > 0)
        sources.push_back(pollfd{sock, POLLIN, 0});
}

mek_ncp_connBuilder::mek_ncp_connBuilder(bool createSuspended, LockInterface& lock, TARNINFO* tarnInfo,
                                         const DeviceList* devices)
    : ThreadInterface(createSuspended, lock, tarnInfo), m_devices(devices) {}
mek_ncp_connBuilder::~mek_ncp_connBuilder() {
    release();
}

void mek_ncp_connBuilder::pass() {
    TARNINFO& tarnInfo = *m_tarnInfo;
    mek_ncp& control = *tarnInfo.control;
    if (m_connect.pending()) {
        // The socket was closed by someone else, or the session is no longer wanted.
        if (control.sock.load() != m_connect.socket()) {
            m_connect.clear();
        } else if (!wanted()) {
            m_connect.clear();
            control.closeSocket();
        } else {
            settle(m_connect.check());
            return;
        }
    }
    if (wanted() && m_attempts < kAttemptLimit) {
        ++m_attempts;
        attempt();
    }
    // Closing the port ends the session and grants new attempts to the next application.
    if (!tarnInfo.isOpen()) {
        if (control.connected.load() == 1)
            hangUp();
        m_attempts = 0;
        control.connected.store(0);
    }
}

// As a serial port's last close does with HUPCL set (the default), the device sees RTS and
// DTR drop; cleared, the lines stay as the application left them. The next open raises them
// again, since the lines remembered as sent are now the dropped ones.
void mek_ncp_connBuilder::hangUp() {
    TARNINFO& tarnInfo = *m_tarnInfo;
    if (!tarnInfo.hangUpOnClose())
        return;
    mek_ncp& control = *tarnInfo.control;
    control.setRts(0);
    control.setDtr(0);
    if (control.send(kNcpModemSignals) > 0) {
        tarnInfo.lastRts = 0;
        tarnInfo.lastDtr = 0;
    }
}

bool mek_ncp_connBuilder::wanted() const {
    const mek_ncp& control = *m_tarnInfo->control;
    return control.enabled.load() == 1 && control.connected.load() == 0 && m_tarnInfo->isConnected() &&
           m_tarnInfo->isOpen();
}

bool mek_ncp_connBuilder::hasPendingWork() const {
    return !m_connect.pending() && wanted() && m_attempts < kAttemptLimit;
}

void mek_ncp_connBuilder::idleWaitSources(std::vector<pollfd>& sources) const {
    m_connect.addWaitSource(sources);
}

std::chrono::milliseconds mek_ncp_connBuilder::idleTimeout() const {
    return m_connect.timeLeft(ThreadInterface::idleTimeout());
}

void mek_ncp_connBuilder::attempt() {
    TARNINFO& tarnInfo = *m_tarnInfo;
    mek_ncp& control = *tarnInfo.control;
    const std::string peer = tarnInfo.peerText();

    std::uint8_t value[255] = {};
    // The option's length byte: 0 when the device or the option is missing.
    const int length = m_devices ? m_devices->findOption(peer.c_str(), kControlPortOption, value) : 0;
    const auto port = controlPortFromOption(std::span<const std::uint8_t>(value, static_cast<std::size_t>(length)));
    if (!port) {
        // No control port for this device (or none we could use): off until the next TCP
        // client data connection switches the protocol on again.
        control.enabled.store(0);
        return;
    }
    if (g_sock == nullptr) {
        control.connected.store(0);
        return;
    }

    control.setTarget(peer.c_str(), *port);
    control.closeSocket();
    const SocketHandle sock = g_sock->socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (sock <= 0) {
        (void)g_sock->lastError();
        control.connected.store(0);
        return;
    }
    control.sock.store(sock);
    tuneControlSocket(sock);
    m_port = *port;
    settle(m_connect.start(sock, control.address.get(), kConnectTimeout, time()));
}

void mek_ncp_connBuilder::settle(PendingConnect::Outcome outcome) {
    mek_ncp& control = *m_tarnInfo->control;
    if (outcome == PendingConnect::Outcome::Pending)
        return;
    if (outcome == PendingConnect::Outcome::Failed) {
        // A socket whose connect failed is of no further use; it would only be held open
        // until the port is reopened.
        control.closeSocket();
        control.connected.store(0);
        return;
    }
    control.rxLength = 0;
    // Offset: the control port, so its notifications arrive as message 1025 + port.
    g_sock->asyncSelect(control.sock.load(), m_port, kControlSocketEvents);
    control.connected.store(1);
}

mek_ncp_heartBeat::mek_ncp_heartBeat(bool createSuspended, LockInterface& lock, TARNINFO* tarnInfo)
    : ThreadInterface(createSuspended, lock, tarnInfo) {}
mek_ncp_heartBeat::~mek_ncp_heartBeat() {
    release();
}

mek_ncp_signalSet::mek_ncp_signalSet(bool createSuspended, LockInterface& lock, TARNINFO* tarnInfo)
    : ThreadInterface(createSuspended, lock, tarnInfo) {}
mek_ncp_signalSet::~mek_ncp_signalSet() {
    release();
}

std::chrono::milliseconds mek_ncp_signalSet::idleTimeout() const {
    // Called without the lock.
    return sessionUp(*m_tarnInfo) || m_tarnInfo->net->comPortUp.load() ? kSessionIdleTimeout
                                                                       : ThreadInterface::idleTimeout();
}

void mek_ncp_signalSet::pass() {
    TARNINFO& tarnInfo = *m_tarnInfo;
    mek_ncp& control = *tarnInfo.control;
    if (tarnInfo.net->comPort) {
        comPortSignals(tarnInfo, time().nowNs());
        applyInputLines(tarnInfo);
        return;
    }
    if (!sessionUp(tarnInfo))
        return;

    // A change of the handshake word alone is not sent: it shows in the flow code only
    // together with a change of the other word.
    auto word = [](std::int32_t value) { return static_cast<std::uint32_t>(value); };
    const std::uint32_t baud = word(tarnInfo.baudRate());
    if (baud != control.baudRate || word(tarnInfo.dataBits()) != control.dataSize ||
        word(tarnInfo.parity()) != control.parity || word(tarnInfo.stopBits()) != control.stopSize ||
        word(tarnInfo.flowReplace()) != control.flowReplace) {
        control.baudRate = baud;
        control.dataSize = word(tarnInfo.dataBits());
        control.parity = word(tarnInfo.parity());
        control.stopSize = word(tarnInfo.stopBits());
        control.flowReplace = word(tarnInfo.flowReplace());
        control.controlHandShake = word(tarnInfo.controlHandShake());
        // Settings that did not reach the device must not count as sent: back to the state
        // of a new record, so the next connection sends them.
        if (control.send(kNcpLineSettings) < 0) {
            control.baudRate = control.dataSize = control.parity = 0;
            control.stopSize = control.flowReplace = control.controlHandShake = 0;
        }
    }

    if (tarnInfo.modemLinesChanged()) {
        tarnInfo.pushDtr();
        tarnInfo.pushRts();
        control.send(kNcpModemSignals);
    }
    // Only lines the device was told about are remembered; after a failed send the change
    // stays pending and goes out at the first pass on the next connection.
    if (control.connected.load() == 1)
        tarnInfo.snapshotModemLines();

    applyInputLines(tarnInfo);
}
