#pragma once
// The network side of one mapping: its sockets, endpoints, connection flags and pacing state.
// The flags and handles are also read (and, by the close-notification handler, written)
// without the mapping's lock, so they are atomics.

#include <atomic>
#include <cstdint>
#include <memory>

#include "bridge/portable_sock.h"
#include "model/com_port_link.h"

struct NETSTRUCT {
    NETSTRUCT();
    // Closes dataSock, then listenSock (each only if it names a socket, i.e. is not 0).
    ~NETSTRUCT();
    NETSTRUCT(const NETSTRUCT&) = delete;
    NETSTRUCT& operator=(const NETSTRUCT&) = delete;

    // 0 means "no socket": the socket layer never hands out 0-2. Whoever closes one of
    // these sockets sets the field back to 0 (exchange(0) then close), so it is never closed
    // twice and a reused number is never closed by mistake.
    std::atomic<SocketHandle> listenSock{0};
    std::atomic<SocketHandle> dataSock{0};
    std::unique_ptr<Winsock_sockaddr_in> localAddr;
    std::unique_ptr<Winsock_sockaddr_in> remoteAddr;
    std::atomic<std::int32_t> connectPending{0};
    std::atomic<std::int32_t> clientConnected{0};
    std::atomic<std::int32_t> serverConnected{0};
    std::int32_t lastConnected = 0; // refresh-tick snapshot, user-interface thread only
    std::atomic<std::int32_t> isServer{0};
    std::atomic<std::int32_t> isTcp{0};
    std::atomic<std::int32_t> peerClosed{0};
    // The local port could not be bound (a TCP server's or a UDP mapping's): the mapping
    // serves nothing until a later bind succeeds.
    std::atomic<std::int32_t> bindFailed{0};
    std::int32_t shownBindFailed = 0; // refresh-tick snapshot, user-interface thread only
    // The application closed the port with bytes still to send: they go on out until this
    // steady-clock time (ns), as a serial port drains its output on close; 0 while none wait.
    std::atomic<std::int64_t> closingUntilNs{0};
    // What the peer sent while no application held the port, read and dropped; reported when
    // the port opens again. Under the mapping's lock only.
    std::uint64_t discardedWhileClosed = 0;
    // An RFC 2217 mapping's device server took the port's settings on this connection (1), or
    // refused or never answered (0): shown in the mapping's row.
    std::atomic<std::int32_t> comPortAgreed{0};
    // Set while an RFC 2217 mapping's connection is up; under the mapping's lock only.
    std::unique_ptr<ComPortLink> comPort;
    // Whether comPort is set, for what looks without the lock (a thread's idle wait).
    std::atomic<bool> comPortUp{false};
    // Pacing of the port read pump, under the mapping's lock only.
    std::int32_t pacedBaud = 0;
    std::int32_t baudStep = 0;
    std::int32_t backlogLimit = 0;
};

// Bytes an application wrote before it closed the port are still on their way out.
inline bool closingDrains(const NETSTRUCT& net) {
    return net.closingUntilNs.load() != 0;
}

// Closes a socket through the socket layer (or directly when the layer is not started).
void closeSocketHandle(SocketHandle sock);
