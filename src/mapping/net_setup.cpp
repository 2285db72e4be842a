#include "mapping/net_setup.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <sys/socket.h>

#include "bridge/message_log.h"
#include "mapping/com_port_path.h"
#include "mapping/mapping_thread.h"
#include "model/mapping_lists.h"
#include "model/tarn_info.h"
#include "model/tarn_thread.h"

namespace {

constexpr std::uint16_t kFamilyInet = 2;

} // namespace

bool setUpNetworkSide(TARNINFO& tarnInfo, LockInterface& lock, std::int32_t mode, const char* ipText,
                      std::uint16_t localPort, std::uint16_t remotePort) {
    if (!isKnownMode(mode))
        return false;
    SyncLock hold(lock);
    NETSTRUCT& net = *tarnInfo.net;
    const char* peer = ipText ? ipText : "";
    switch (mode) {
    case kModeTcpServer:
        net.localAddr->set(kFamilyInet, g_sock->htons(localPort), "0.0.0.0");
        net.isServer.store(1);
        net.isTcp.store(1);
        break;
    case kModeTcpClient:
        net.remoteAddr->set(kFamilyInet, g_sock->htons(remotePort), peer);
        net.isServer.store(0);
        net.clientConnected.store(0);
        net.connectPending.store(1);
        net.isTcp.store(1);
        tarnInfo.control->enabled.store(1);
        break;
    case kModeUdp: {
        net.remoteAddr->set(kFamilyInet, g_sock->htons(remotePort), peer);
        net.localAddr->setFamily(kFamilyInet);
        net.localAddr->setAddress(0);
        net.localAddr->setPort(g_sock->htons(localPort));
        net.isTcp.store(0);
        // A port that cannot be bound now is tried again by the connection builder.
        openUdpSocket(tarnInfo);
        tarnInfo.control->enabled.store(0);
        break;
    }
    default:
        break;
    }
    tarnInfo.setDesc(tarnInfo.comNumber, mode, peer, localPort, remotePort);
    // The threads may be asleep with nothing to do; now they have a network side.
    ThreadInterface::wakeMapping(&tarnInfo);
    return true;
}

bool setUpNetworkSide(MappingLists& lists, std::size_t position, const tarnDesc& desc) {
    if (position >= lists.mappings.size() || position >= lists.threadSets.size())
        return false;
    return setUpNetworkSide(*lists.mappings[position], *lists.threadSets[position]->lock, desc.mode, desc.ipAddress,
                            desc.localPort, desc.remotePort);
}

bool bindLocalPort(TARNINFO& tarnInfo, SocketHandle sock) {
    NETSTRUCT& net = *tarnInfo.net;
    if (g_sock->bind(sock, net.localAddr.get()) == 0) {
        net.bindFailed.store(0);
        return true;
    }
    const int error = g_sock->lastError();
    if (net.bindFailed.exchange(1) == 0) {
        char line[160];
        std::snprintf(line, sizeof line, "COM%d cannot listen on port %u: %s.", tarnInfo.comNumber,
                      static_cast<unsigned>(g_sock->ntohs(net.localAddr->getPort())), std::strerror(error));
        logMappingMessage(line);
    }
    return false;
}

bool openUdpSocket(TARNINFO& tarnInfo) {
    NETSTRUCT& net = *tarnInfo.net;
    // Everything goes through listenSock; the UDP pumps run while dataSock names a socket.
    // An unbound socket would send from a port the kernel picks and could never take the
    // configured one afterwards: so neither is kept until the bind succeeds.
    const SocketHandle bound = g_sock->socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (bound <= 0)
        return false;
    if (!bindLocalPort(tarnInfo, bound)) {
        closeSocketHandle(bound);
        return false;
    }
    net.listenSock.store(bound);
    const SocketHandle marker = g_sock->socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (marker > 0)
        net.dataSock.store(marker);
    return true;
}

void closeDataSocket(NETSTRUCT& net) {
    closeSocketHandle(net.dataSock.exchange(0));
}

bool takeConnectionDown(TARNINFO& tarnInfo, bool peerClosed) {
    NETSTRUCT& net = *tarnInfo.net;
    if (net.isTcp.load() != 1)
        return false;
    if (net.isServer.load() == 1) {
        if (net.serverConnected.exchange(0) == 0)
            return false;
    } else {
        if (net.clientConnected.exchange(0) == 0)
            return false;
        net.connectPending.store(1);
    }
    if (peerClosed)
        net.peerClosed.store(1);
    // Nothing of this connection is wanted any more: a later notification for it must find
    // no socket to act on, and the builder's next pass starts from an empty field.
    closeDataSocket(net);
    stopComPort(tarnInfo);
    tarnInfo.buffers->clearReceive();
    tarnInfo.buffers->clearSend();
    char line[96];
    std::snprintf(line, sizeof line, "COM%d is disconnected and reconnection is being tried.", tarnInfo.comNumber);
    logMappingMessage(line);
    return true;
}

void applyCloseNotification(TARNINFO& tarnInfo, SocketHandle sock, std::uint64_t registration) {
    NETSTRUCT& net = *tarnInfo.net;
    if (sock <= 0 || net.isTcp.load() != 1 || net.dataSock.load() != sock)
        return;
    // Under the lock nobody can close and reuse the number meanwhile, so this check holds
    // for as long as the step below needs it.
    if (!g_sock->isCurrentRegistration(sock, registration))
        return;
    takeConnectionDown(tarnInfo, true);
}

bool handleSocketNotification(MappingLists& lists, const SocketNotification& notification) {
    const SocketHandle sock = notification.sock;
    if (sock <= 0)
        return false;
    const std::size_t count = std::min(lists.mappings.size(), lists.threadSets.size());
    for (std::size_t i = 0; i < count; ++i) {
        TARNINFO& tarnInfo = *lists.mappings[i];
        if (tarnInfo.net->isTcp.load() != 1 || tarnInfo.net->dataSock.load() != sock)
            continue;
        // A notification for an earlier socket of the same number is stale. The check is
        // repeated under the lock, where it cannot go out of date.
        if (!g_sock->isCurrentRegistration(sock, notification.registration))
            return false;
        // Readiness events tell nothing the pumps do not find out for themselves, and a late
        // one must not revive a connection already given up.
        if ((notification.event & FD_CLOSE) == 0)
            return true;
        TARNThread& threads = *lists.threadSets[i];
        if (!threads.netRXThread || !threads.lock)
            return true;
        LockInterface* lock = threads.lock.get();
        TARNINFO* target = &tarnInfo;
        const std::uint64_t registration = notification.registration;
        // Runs on the receive pump's thread, which outlives neither the lock nor the records:
        // a mapping is released only after its threads have ended.
        threads.netRXThread->post([lock, target, sock, registration] {
            SyncLock held(*lock);
            applyCloseNotification(*target, sock, registration);
        });
        return true;
    }
    return false;
}
