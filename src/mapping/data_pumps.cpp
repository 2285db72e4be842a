#include "mapping/data_pumps.h"

#include <algorithm>
#include <atomic>
#include <cstdio>

#include "bridge/message_log.h"
#include "bridge/tvs_port_ax.h"
#include "mapping/com_port_path.h"
#include "mapping/monitor_events.h"
#include "mapping/net_setup.h"
#include "model/tarn_info.h"

namespace {

// The data path is usable: UDP always, TCP while its connection is up.
bool linked(const TARNINFO& tarnInfo) {
    return !tarnInfo.isTcp() || tarnInfo.isConnected();
}

bool active(const TARNINFO& tarnInfo) {
    return tarnInfo.active.load() == 1;
}

// The port side of a pump acts only while this holds.
bool carrying(const TARNINFO& tarnInfo) {
    return active(tarnInfo) && linked(tarnInfo) && tarnInfo.isOpen();
}

// The application's bytes go out while it holds the port, and after it closed the port
// for as long as what it wrote still drains.
bool sending(const TARNINFO& tarnInfo) {
    return active(tarnInfo) && (tarnInfo.isOpen() || closingDrains(*tarnInfo.net));
}

// Bytes read from a socket in one pass while no application holds the port: a peer that
// streams meanwhile is kept up with, and the pass stays short.
constexpr std::uint32_t kDiscardPerPass = 16 * kNetRecvChunk;

} // namespace

tarnRXThread::tarnRXThread(bool createSuspended, LockInterface& lock, TARNINFO* tarnInfo)
    : ThreadInterface(createSuspended, lock, tarnInfo) {}
tarnRXThread::~tarnRXThread() {
    release();
}

void tarnRXThread::pass() {
    m_lastRead = 0;
    TARNINFO& tarnInfo = *m_tarnInfo;
    NETSTRUCT& net = *tarnInfo.net;
    const bool open = tarnInfo.isOpen();
    if (!open && m_paced) {
        // The next open period sets pacing up anew, from the rate then in force; until
        // then the emulation follows whatever rate the application chooses.
        m_paced = false;
        net.pacedBaud = 0;
        tarnInfo.setBaudRate(0);
    }
    if (open)
        net.closingUntilNs.store(0); // whatever waits goes out as the open port's own bytes
    else if (!drainAfterClose())
        return;
    if (!active(tarnInfo) || !linked(tarnInfo))
        return;
    const std::uint32_t waiting = tarnInfo.inQueue();
    if (waiting == 0)
        return;

    // The application's own rate is the base; the paced rate only ever lives in the port's
    // emulation, so a new rate the application sets is seen here and becomes the new base.
    const std::int32_t appBaud = tarnInfo.baudRate();
    if (!m_paced || appBaud != m_baseBaud) {
        m_paced = true;
        m_baseBaud = appBaud;
        net.pacedBaud = appBaud;
        net.baudStep = appBaud / 100;
        net.backlogLimit = static_cast<std::int32_t>(static_cast<std::int64_t>(appBaud) * 10 / 100);
    }
    // While the network lags by more than a tenth of the rate (in bytes), slow the
    // application by one step per pass; restore the full rate as soon as it has caught up.
    const std::uint32_t backlog = tarnInfo.portToNet->count.load();
    if (net.backlogLimit >= 0 && backlog > static_cast<std::uint32_t>(net.backlogLimit) && net.pacedBaud > net.baudStep)
        net.pacedBaud -= net.baudStep;
    else
        net.pacedBaud = m_baseBaud;
    tarnInfo.setBaudRate(net.pacedBaud);

    std::uint32_t n = std::min({kPortChunk, waiting, tarnInfo.portToNet->freeSpace()});
    if (n == 0)
        return;
    std::uint8_t chunk[kPortChunk];
    if (!tarnInfo.port->Read(chunk, &n))
        return;
    n = std::min(n, kPortChunk);
    // Never more than the free space was asked for, so the chunk always fits.
    tarnInfo.portToNet->copyIn(chunk, n);
    m_lastRead = n;
    monitor::Counters::add(tarnInfo.traffic.appWrote, n);
    if (tarnInfo.tap.watched())
        tarnInfo.tap.data(monitor::Flow::kAppWrote, chunk, n);
}

// A serial port drains its output on close: what the application wrote before it closed the
// port (still in the pseudo-terminal, or already in the ring) goes on out for the closing
// wait, connection permitting; what is left then is dropped and counted.
bool tarnRXThread::drainAfterClose() {
    TARNINFO& tarnInfo = *m_tarnInfo;
    NETSTRUCT& net = *tarnInfo.net;
    ByteRing& ring = *tarnInfo.portToNet;
    if (tarnInfo.inQueue() == 0 && ring.count.load() == 0) {
        net.closingUntilNs.store(0);
        return false;
    }
    const std::int64_t now = time().nowNs();
    const std::int64_t until = net.closingUntilNs.load();
    if (until == 0) {
        // Seen at the first pass after the close, which the close itself wakes.
        net.closingUntilNs.store(now + std::chrono::nanoseconds(kClosingWait).count());
        return true;
    }
    if (now < until)
        return true;

    std::uint64_t dropped = ring.count.load();
    ring.consume(ring.count.load());
    // Read unpaced: these bytes go nowhere. The next pass that moves data paces again.
    tarnInfo.port->SetStrictBaudrate(false);
    std::uint8_t chunk[kPortChunk];
    for (std::uint32_t left = tarnInfo.inQueue(); left > 0;) {
        std::uint32_t n = std::min(left, kPortChunk);
        if (!tarnInfo.port->Read(chunk, &n) || n == 0)
            break;
        dropped += n;
        left -= std::min(left, n);
    }
    net.closingUntilNs.store(0);
    char line[128];
    std::snprintf(line, sizeof line, "COM%d: %llu byte(s) written before the close could not be sent.",
                  tarnInfo.comNumber, static_cast<unsigned long long>(dropped));
    logMappingMessage(line);
    if (tarnInfo.tap.watched())
        tarnInfo.tap.event(std::to_string(dropped) + " byte(s) written before the close could not be sent");
    return false;
}

std::chrono::milliseconds tarnRXThread::idleTimeout() const {
    const std::chrono::milliseconds base = ThreadInterface::idleTimeout();
    const std::int64_t until = m_tarnInfo->net->closingUntilNs.load();
    if (until == 0)
        return base;
    // The end of the closing wait needs a pass even when nothing else happens.
    const std::int64_t left = (until - time().nowNs()) / 1'000'000 + 1;
    return std::clamp(std::chrono::milliseconds(left), std::chrono::milliseconds(1), base);
}

tarnTXThread::tarnTXThread(bool createSuspended, LockInterface& lock, TARNINFO* tarnInfo)
    : ThreadInterface(createSuspended, lock, tarnInfo) {}
tarnTXThread::~tarnTXThread() {
    release();
}

void tarnTXThread::pass() {
    m_portFull = false;
    TARNINFO& tarnInfo = *m_tarnInfo;
    // Received bytes are the open application's, even once the peer has hung up.
    if (!tarnInfo.isOpen() || !active(tarnInfo))
        return;
    // Keep strict emulation on at the rate in force: the paced one while the read pump holds
    // the application back, else the application's own.
    const std::int32_t paced = tarnInfo.net->pacedBaud;
    tarnInfo.setBaudRate(paced > 0 ? paced : tarnInfo.baudRate());

    ByteRing& ring = *tarnInfo.netToPort;
    const std::uint32_t queued = ring.count.load();
    if (queued == 0 || !tarnInfo.isOpen())
        return;
    const std::uint32_t n = std::min(kPortChunk, queued);
    std::uint8_t chunk[kPortChunk];
    ring.copyOut(chunk, n);
    // The port may take less than offered (its input is full, or the emulated rate allows no
    // more yet); what it did not take stays at the head of the ring for the next pass.
    const std::uint32_t taken = std::min(tarnInfo.port->Write(chunk, n), n);
    if (taken > 0) {
        ring.consume(taken);
        ring.restartIfEmpty();
        monitor::Counters::add(tarnInfo.traffic.delivered, taken);
        if (tarnInfo.tap.watched())
            tarnInfo.tap.data(monitor::Flow::kDelivered, chunk, taken);
    }
    // Cut short with the rate's credit left: the application's input had no more room.
    m_portFull = taken < n && tarnInfo.port->writeWaitNs(n - taken) == 0;
}

netTXThread::netTXThread(bool createSuspended, LockInterface& lock, TARNINFO* tarnInfo)
    : ThreadInterface(createSuspended, lock, tarnInfo) {}
netTXThread::~netTXThread() {
    release();
}

void netTXThread::pass() {
    m_lastSend = SendResult::None;
    TARNINFO& tarnInfo = *m_tarnInfo;
    NETSTRUCT& net = *tarnInfo.net;
    ByteRing& ring = *tarnInfo.portToNet;
    if (net.comPort) {
        // Commands go out whether or not the application has bytes to send.
        switch (comPortSend(tarnInfo, sending(tarnInfo))) {
        case WireSend::Whole:
            m_lastSend = SendResult::Whole;
            break;
        case WireSend::Short:
            m_lastSend = SendResult::Short;
            break;
        case WireSend::Failed:
            m_lastSend = SendResult::Failed;
            break;
        case WireSend::Idle:
            break;
        }
        return;
    }
    const std::uint32_t queued = ring.count.load();
    if (queued == 0 || !sending(tarnInfo))
        return;
    const bool tcp = tarnInfo.isTcp();
    if (tcp ? !tarnInfo.isConnected() : net.dataSock.load() == 0)
        return;

    const std::uint32_t n = std::min(kNetSendChunk, queued);
    std::uint8_t* scratch = tarnInfo.buffers->sendScratch.get();
    tarnInfo.buffers->clearSend();
    // Copied, not consumed: only what the network accepts leaves the ring.
    ring.copyOut(scratch, n);
    if (tcp) {
        const int sent = g_sock->send(net.dataSock.load(), scratch, static_cast<int>(n), 0);
        if (sent < 0) {
            if (g_sock->lastError() != kWouldBlock) {
                m_lastSend = SendResult::Failed;
                takeConnectionDown(tarnInfo, false);
                return;
            }
            m_lastSend = SendResult::Short;
            return;
        }
        ring.consume(std::min(static_cast<std::uint32_t>(sent), n));
        ring.restartIfEmpty();
        tookForNetwork(tarnInfo, scratch, static_cast<std::uint32_t>(sent));
        m_lastSend = static_cast<std::uint32_t>(sent) >= n ? SendResult::Whole : SendResult::Short;
        return;
    }
    // One pass, one datagram: the datagram boundaries the peer sees are these chunks.
    const int sent = g_sock->sendto(net.listenSock.load(), scratch, static_cast<int>(n), 0, net.remoteAddr.get());
    if (sent < 0) {
        // Retried on a later pass, whatever the error.
        m_lastSend = g_sock->lastError() == kWouldBlock ? SendResult::Short : SendResult::Failed;
        return;
    }
    ring.consume(std::min(static_cast<std::uint32_t>(sent), n));
    ring.restartIfEmpty();
    tookForNetwork(tarnInfo, scratch, static_cast<std::uint32_t>(sent));
    m_lastSend = static_cast<std::uint32_t>(sent) >= n ? SendResult::Whole : SendResult::Failed;
}

netRXThread::netRXThread(bool createSuspended, LockInterface& lock, TARNINFO* tarnInfo)
    : ThreadInterface(createSuspended, lock, tarnInfo) {}
netRXThread::~netRXThread() {
    release();
}

void netRXThread::pass() {
    TARNINFO& tarnInfo = *m_tarnInfo;
    NETSTRUCT& net = *tarnInfo.net;
    if (!active(tarnInfo))
        return;
    const bool open = tarnInfo.isOpen();
    if (open && net.discardedWhileClosed > 0) {
        char line[128];
        std::snprintf(line, sizeof line, "COM%d: %llu byte(s) received while the port was closed were discarded.",
                      tarnInfo.comNumber, static_cast<unsigned long long>(net.discardedWhileClosed));
        logMappingMessage(line);
        if (tarnInfo.tap.watched())
            tarnInfo.tap.event(std::to_string(net.discardedWhileClosed) +
                               " byte(s) received while the port was closed were discarded");
        net.discardedWhileClosed = 0;
    }
    const bool tcp = tarnInfo.isTcp();
    if (!open) {
        // What arrives for nobody is dropped, so the next application hears only what the
        // peer sends from its open on. The connection stays up.
        ByteRing& ring = *tarnInfo.netToPort;
        net.discardedWhileClosed += ring.count.load();
        ring.consume(ring.count.load());
        discardWhileClosed();
        return;
    }
    if (tcp ? !tarnInfo.isConnected() : net.dataSock.load() == 0)
        return;
    // Take nothing from the network unless a whole chunk fits: the bytes stay in the socket,
    // TCP's window holds the peer back, and a datagram is never split or dropped here.
    ByteRing& ring = *tarnInfo.netToPort;
    if (ring.freeSpace() < kNetRecvChunk)
        return;

    std::uint8_t* scratch = tarnInfo.buffers->recvScratch.get();
    tarnInfo.buffers->clearReceive();
    if (tcp) {
        const int received = g_sock->recv(net.dataSock.load(), scratch, static_cast<int>(kNetRecvChunk), 0);
        if (received < 0 && g_sock->lastError() == kWouldBlock)
            return;
        if (received <= 0) {
            // The peer closed (0) or the connection failed.
            takeConnectionDown(tarnInfo, false);
            return;
        }
        if (net.comPort)
            comPortReceived(tarnInfo, scratch, static_cast<std::uint32_t>(received), true);
        else
            gaveToPort(tarnInfo, scratch, static_cast<std::uint32_t>(received));
        return;
    }
    const int received =
        g_sock->recvfrom(net.listenSock.load(), scratch, static_cast<int>(kNetRecvChunk), 0, net.remoteAddr.get());
    if (received <= 0)
        return;
    gaveToPort(tarnInfo, scratch, static_cast<std::uint32_t>(received));
}

void netRXThread::discardWhileClosed() {
    TARNINFO& tarnInfo = *m_tarnInfo;
    NETSTRUCT& net = *tarnInfo.net;
    const bool tcp = tarnInfo.isTcp();
    if (tcp ? !tarnInfo.isConnected() : net.dataSock.load() == 0)
        return;
    std::uint8_t* scratch = tarnInfo.buffers->recvScratch.get();
    for (std::uint32_t taken = 0; taken < kDiscardPerPass;) {
        const int received = tcp ? g_sock->recv(net.dataSock.load(), scratch, static_cast<int>(kNetRecvChunk), 0)
                                 : g_sock->recvfrom(net.listenSock.load(), scratch, static_cast<int>(kNetRecvChunk), 0,
                                                    net.remoteAddr.get());
        if (received > 0) {
            // The server's commands count even while nobody holds the port; its data does not.
            const auto size = static_cast<std::uint32_t>(received);
            net.discardedWhileClosed += net.comPort ? comPortReceived(tarnInfo, scratch, size, false) : size;
            taken += size;
            if (tcp && !tarnInfo.isConnected())
                break; // an answer could not be sent and took the connection down
            continue;
        }
        if (tcp && (received == 0 || g_sock->lastError() != kWouldBlock))
            takeConnectionDown(tarnInfo, false); // the peer closed (0) or the connection failed
        break;
    }
    tarnInfo.buffers->clearReceive();
}

// The waits between passes. Whatever a pump waits for that it cannot see on a descriptor of
// its own (a sibling filling or draining a ring, a connection coming up) wakes it through
// the mapping; see ThreadInterface.

bool tarnRXThread::hasPendingWork() const {
    const TARNINFO& tarnInfo = *m_tarnInfo;
    return active(tarnInfo) && linked(tarnInfo) && (tarnInfo.isOpen() || closingDrains(*tarnInfo.net)) &&
           tarnInfo.inQueue() > 0;
}

std::optional<std::chrono::nanoseconds> tarnRXThread::busyWait(std::vector<pollfd>&) const {
    const TARNINFO& tarnInfo = *m_tarnInfo;
    const NETSTRUCT& net = *tarnInfo.net;
    // Over UDP what one pass reads becomes one datagram: a batch would merge the datagrams
    // the peer has always seen.
    if (!tarnInfo.isTcp())
        return std::nullopt;
    const ByteRing& ring = *tarnInfo.portToNet;
    if (net.backlogLimit >= 0 && ring.count.load() > static_cast<std::uint32_t>(net.backlogLimit))
        return std::nullopt;
    const std::uint32_t wanted = std::min({kPortChunk, tarnInfo.inQueue(), ring.freeSpace()});
    if (wanted == 0)
        return std::nullopt;
    const std::int64_t wait = tarnInfo.port->readWaitNs(wanted);
    // The rate let bytes through, yet the last pass moved none: look again at the cadence.
    if (wait == 0 && m_lastRead == 0)
        return std::nullopt;
    return std::chrono::nanoseconds(wait);
}

void tarnRXThread::idleWaitSources(std::vector<pollfd>& sources) const {
    if (carrying(*m_tarnInfo))
        sources.push_back(pollfd{m_tarnInfo->port->masterFd(), POLLIN, 0});
}

bool tarnTXThread::hasPendingWork() const {
    const TARNINFO& tarnInfo = *m_tarnInfo;
    return active(tarnInfo) && tarnInfo.isOpen() && tarnInfo.netToPort->count.load() > 0;
}

std::optional<std::chrono::nanoseconds> tarnTXThread::busyWait(std::vector<pollfd>&) const {
    const TARNINFO& tarnInfo = *m_tarnInfo;
    const std::uint32_t queued = tarnInfo.netToPort->count.load();
    const std::int64_t wait = tarnInfo.port->writeWaitNs(std::min(kPortChunk, queued));
    if (wait > 0)
        return std::chrono::nanoseconds(wait);
    // A full input drains as the application reads, which shows on no descriptor of ours.
    if (m_portFull)
        return std::chrono::nanoseconds(BaudBudget::kBatchNs);
    return std::chrono::nanoseconds::zero();
}

std::optional<std::chrono::nanoseconds> netTXThread::busyWait(std::vector<pollfd>& sources) const {
    const TARNINFO& tarnInfo = *m_tarnInfo;
    switch (m_lastSend) {
    case SendResult::Whole:
        return std::chrono::nanoseconds::zero();
    case SendResult::Short: {
        const SocketHandle sock = tarnInfo.isTcp() ? tarnInfo.net->dataSock.load() : tarnInfo.net->listenSock.load();
        if (sock <= 0)
            return std::nullopt;
        sources.push_back(pollfd{sock, POLLOUT, 0});
        return idleTimeout();
    }
    default:
        return std::nullopt;
    }
}

std::uint32_t netTXThread::idleWakeAbove() const {
    return m_tarnInfo->isTcp() ? 2 * kPortChunk : 0u;
}

bool netTXThread::hasPendingWork() const {
    const TARNINFO& tarnInfo = *m_tarnInfo;
    if (tarnInfo.net->comPort)
        return tarnInfo.isConnected() && comPortSendPending(tarnInfo, sending(tarnInfo));
    if (tarnInfo.portToNet->count.load() == 0 || !sending(tarnInfo))
        return false;
    return tarnInfo.isTcp() ? tarnInfo.isConnected() : tarnInfo.net->dataSock.load() != 0;
}

bool netRXThread::refilled() const {
    return m_tarnInfo->isTcp() && m_tarnInfo->netToPort->count.load() >= kRefillLevel;
}

std::uint32_t netRXThread::idleWakeInterest() const {
    const bool full = m_tarnInfo->netToPort->freeSpace() < kNetRecvChunk;
    return kWakeOnState | (full || refilled() ? kWakeOnNetToPort : 0u);
}

std::uint32_t netRXThread::idleWakeBelow() const {
    return refilled() ? kRefillLevel : 0u;
}

void netRXThread::idleWaitSources(std::vector<pollfd>& sources) const {
    const TARNINFO& tarnInfo = *m_tarnInfo;
    const NETSTRUCT& net = *tarnInfo.net;
    if (!active(tarnInfo))
        return;
    // Closed, the socket is drained whatever the ring holds.
    if (tarnInfo.isOpen() && (tarnInfo.netToPort->freeSpace() < kNetRecvChunk || refilled()))
        return;
    const bool tcp = tarnInfo.isTcp();
    if (tcp ? !tarnInfo.isConnected() : net.dataSock.load() == 0)
        return;
    const SocketHandle sock = tcp ? net.dataSock.load() : net.listenSock.load();
    if (sock > 0)
        sources.push_back(pollfd{sock, POLLIN, 0});
}
