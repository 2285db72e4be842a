#pragma once
// The network side of a mapping: set-up by mode, the one way a connection is declared lost,
// and what the main loop does with a socket notification.

#include <cstddef>
#include <cstdint>

#include "bridge/lock_interface.h"
#include "bridge/portable_sock.h"

struct TARNINFO;
struct NETSTRUCT;
struct tarnDesc;
class MappingLists;

// Sets up the network side of a new mapping by mode (1 TCP server, 2 TCP client, 3 UDP) and
// fills its desc. Takes the mapping's lock, since its threads already run. UDP opens and
// binds its socket here; a failed bind is not an error (the mapping stays, as configured).
// Returns false, changing nothing, for an unknown mode.
bool setUpNetworkSide(TARNINFO& tarnInfo, LockInterface& lock, std::int32_t mode, const char* ipText,
                      std::uint16_t localPort, std::uint16_t remotePort);
// The same for the mapping at `position` of the lists, from a stored description.
bool setUpNetworkSide(MappingLists& lists, std::size_t position, const tarnDesc& desc);

// Under the mapping's lock. Takes the TCP data connection down if it is up: applies the loss
// step of the role, closes the data socket and logs "COM%d is disconnected and reconnection
// is being tried.". Returns false (and does nothing) when it was already down, so however
// many parties notice one loss, it is logged once.
bool takeConnectionDown(TARNINFO& tarnInfo, bool peerClosed);

// Under the mapping's lock: a close notification for `sock` is acted on only while it is
// still this mapping's data socket under the same registration. A late notification for a
// number that has since been closed and reused by a new connection changes nothing.
void applyCloseNotification(TARNINFO& tarnInfo, SocketHandle sock, std::uint64_t registration);

// Main loop: a socket notification (message 1025 + offset). A close of a TCP mapping's data
// socket is handed to that mapping's receive pump, which applies it under the lock; the main
// loop never waits for a mapping's lock (a client's connect may hold it for seconds). Other
// events, and notifications for no current data socket, change nothing. Returns whether
// the notification named a current data socket.
bool handleSocketNotification(MappingLists& lists, const SocketNotification& notification);

// Closes the data socket, if any, and marks the field empty first, so the number can never be
// closed twice.
void closeDataSocket(NETSTRUCT& net);

// Binds `sock` to the mapping's local port. A failure is logged once per run of failures
// ("COM%d cannot listen on port %u: %s.") and marked in bindFailed; a success clears the mark.
bool bindLocalPort(TARNINFO& tarnInfo, SocketHandle sock);
// A UDP mapping's socket, bound to its local port; marks the mapping ready to move data.
// False (nothing kept) while the port cannot be bound.
bool openUdpSocket(TARNINFO& tarnInfo);
