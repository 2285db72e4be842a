#include "mapping/connection_builder.h"

#include <cstdio>
#include <cstring>
#include <sys/socket.h>

#include "bridge/message_log.h"
#include "bridge/tcp_tuning.h"
#include "mapping/com_port_path.h"
#include "mapping/net_setup.h"
#include "model/tarn_info.h"

namespace {

// A host that does not answer would otherwise keep a connect going for the system's time-out
// (minutes on Linux). A device on the local network answers well within this.
constexpr std::chrono::milliseconds kConnectTimeout{3000};

// A local port in use is tried again this often, until whoever holds it lets it go.
constexpr std::chrono::seconds kBindRetry{3};

// A device that accepts and drops at once would otherwise be dialled as fast as the pumps
// report the loss, each time with two log rows; the builder's own cadence is the floor.
constexpr std::chrono::milliseconds kMinAttemptSpacing{30};

} // namespace

ConnectionBuilder::ConnectionBuilder(bool createSuspended, LockInterface& lock, TARNINFO* tarnInfo)
    : ThreadInterface(createSuspended, lock, tarnInfo) {}

ConnectionBuilder::~ConnectionBuilder() {
    release();
}

void ConnectionBuilder::pass() {
    TARNINFO& tarnInfo = *m_tarnInfo;
    dropStaleConnect();
    if (tarnInfo.active.load() == 1 && !tarnInfo.isTcp()) {
        udpBindPass();
        return;
    }
    if (!connecting())
        return;
    if (tarnInfo.isServer())
        serverPass();
    else
        clientPass();
}

void ConnectionBuilder::serverPass() {
    TARNINFO& tarnInfo = *m_tarnInfo;
    NETSTRUCT& net = *tarnInfo.net;
    closeDataSocket(net);
    if (!m_listening) {
        if (waitingToBind())
            return;
        // Set up once; a port in use (bind fails) is tried again every few seconds, so the
        // mapping never listens on a port the kernel picks instead of the configured one.
        const SocketHandle listener = g_sock->socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        if (listener <= 0)
            return;
        const int on = 1;
        g_sock->setOption(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (!bindLocalPort(tarnInfo, listener) || g_sock->listen(listener, 1) != 0) {
            closeSocketHandle(listener);
            m_nextBind = time().now() + kBindRetry;
            return;
        }
        m_listening = true;
        net.listenSock.store(listener);
    }
    const SocketHandle listener = net.listenSock.load();
    const SocketHandle accepted = listener > 0 ? g_sock->accept(listener, net.localAddr.get()) : -1;
    if (accepted <= 0) {
        net.serverConnected.store(0);
        m_relisten = true;
        return;
    }
    if (m_relisten) {
        tarnInfo.buffers->clearReceive();
        tarnInfo.buffers->clearSend();
        m_relisten = false;
    }
    tuneDataSocket(accepted);
    net.dataSock.store(accepted);
    net.peerClosed.store(0);
    g_sock->asyncSelect(accepted, static_cast<unsigned>(tarnInfo.comNumber), kDataSocketEvents);
    net.serverConnected.store(1);
    char line[96];
    std::snprintf(line, sizeof line, "COM%d as a server accepts 1 connection(s).", tarnInfo.comNumber);
    logMappingMessage(line);
}

void ConnectionBuilder::clientPass() {
    TARNINFO& tarnInfo = *m_tarnInfo;
    NETSTRUCT& net = *tarnInfo.net;
    if (m_connect.pending()) {
        settle(m_connect.check());
        return;
    }
    closeDataSocket(net);
    if (net.connectPending.load() != 1 || net.clientConnected.load() != 0)
        return;
    // A wake-up (a loss, the port opening) may bring this pass early; being busy while
    // connectPending holds, the builder comes back one period later.
    const auto now = time().now();
    if (m_lastAttempt && now - *m_lastAttempt < kMinAttemptSpacing)
        return;
    m_lastAttempt = now;
    const SocketHandle sock = g_sock->socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (sock <= 0)
        return;
    net.dataSock.store(sock);
    tuneDataSocket(sock);
    settle(m_connect.start(sock, net.remoteAddr.get(), kConnectTimeout, time()));
}

void ConnectionBuilder::settle(PendingConnect::Outcome outcome) {
    if (outcome == PendingConnect::Outcome::Connected)
        clientConnected();
    else if (outcome == PendingConnect::Outcome::Failed)
        connectFailed();
}

// A later pass tries again with a new socket. Why it failed is logged once per reason, so a
// red row's log says why without a row per attempt.
void ConnectionBuilder::connectFailed() {
    NETSTRUCT& net = *m_tarnInfo->net;
    closeDataSocket(net);
    const int reason = m_connect.failure();
    if (reason == 0 || reason == m_loggedFailure)
        return;
    m_loggedFailure = reason;
    char peer[16];
    net.remoteAddr->toText(peer);
    char line[160];
    std::snprintf(line, sizeof line, "COM%d cannot connect to %s:%u: %s.", m_tarnInfo->comNumber, peer,
                  static_cast<unsigned>(ntohs(net.remoteAddr->getPort())), std::strerror(reason));
    logMappingMessage(line);
}

void ConnectionBuilder::clientConnected() {
    m_loggedFailure = 0;
    TARNINFO& tarnInfo = *m_tarnInfo;
    NETSTRUCT& net = *tarnInfo.net;
    const SocketHandle sock = net.dataSock.load();
    net.connectPending.store(0);
    net.peerClosed.store(0);
    tarnInfo.buffers->clearReceive();
    tarnInfo.buffers->clearSend();
    g_sock->asyncSelect(sock, 0, kDataSocketEvents);
    net.clientConnected.store(1);
    char peer[16];
    net.remoteAddr->toText(peer);
    char line[128];
    std::snprintf(line, sizeof line, "COM%d as a client connects server( %s).", tarnInfo.comNumber, peer);
    logMappingMessage(line);
    startComPort(tarnInfo, time().nowNs());
    // An RFC 2217 server takes the port's settings on this connection: no second one.
    tarnInfo.control->enabled.store(tarnInfo.isRfc2217() ? 0 : 1);
}

void ConnectionBuilder::dropStaleConnect() {
    if (!m_connect.pending())
        return;
    NETSTRUCT& net = *m_tarnInfo->net;
    // Someone else closed the socket (a shut-down, a new set-up): nothing is left to drop.
    if (net.dataSock.load() != m_connect.socket()) {
        m_connect.clear();
        return;
    }
    if (connecting() && !m_tarnInfo->isServer() && net.connectPending.load() == 1)
        return;
    m_connect.clear();
    closeDataSocket(net);
}

void ConnectionBuilder::udpBindPass() {
    NETSTRUCT& net = *m_tarnInfo->net;
    if (net.listenSock.load() != 0 || net.bindFailed.load() == 0 || waitingToBind())
        return;
    if (openUdpSocket(*m_tarnInfo))
        wakeMapping(m_tarnInfo, this);
    else
        m_nextBind = time().now() + kBindRetry;
}

bool ConnectionBuilder::waitingToBind() const {
    return m_tarnInfo->net->bindFailed.load() != 0 && time().now() < m_nextBind;
}

// While the port is open, and while what its last application wrote still drains after the
// close. A server that listens takes a connection whenever one comes, so that what the peer
// sends while the port is closed is dropped then rather than read by the next application.
bool ConnectionBuilder::connecting() const {
    const TARNINFO& tarnInfo = *m_tarnInfo;
    if (tarnInfo.active.load() != 1 || !tarnInfo.isTcp() || tarnInfo.isConnected())
        return false;
    return tarnInfo.isOpen() || closingDrains(*tarnInfo.net) || (tarnInfo.isServer() && m_listening);
}

bool ConnectionBuilder::hasPendingWork() const {
    if (!connecting())
        return false;
    // A bind waiting for its retry needs no cadence: the idle wait's safety time-out brings
    // the next pass within half a second.
    if (m_tarnInfo->isServer())
        return !m_listening && !waitingToBind();
    // A connect under way is waited for on its socket, so its end is seen at once.
    return m_tarnInfo->net->connectPending.load() == 1 && !m_connect.pending();
}

void ConnectionBuilder::idleWaitSources(std::vector<pollfd>& sources) const {
    if (!connecting())
        return;
    if (!m_tarnInfo->isServer()) {
        m_connect.addWaitSource(sources);
        return;
    }
    const SocketHandle listener = m_tarnInfo->net->listenSock.load();
    if (listener > 0)
        sources.push_back(pollfd{listener, POLLIN, 0});
}

std::chrono::milliseconds ConnectionBuilder::idleTimeout() const {
    return m_connect.timeLeft(ThreadInterface::idleTimeout());
}
