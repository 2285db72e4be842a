#pragma once
// How our TCP connections notice a dead peer, and how data connections send small writes.

#include <chrono>
#include <optional>
#include <string_view>

#include "bridge/portable_sock.h"

// A device that loses power or its cable sends nothing, so without probes an idle connection
// would look up forever and a writing one would retry for the system's ~15 minutes. Idle,
// keepalive probes go out after kKeepIdle, then every kKeepInterval; with data unacknowledged,
// kUserTimeout ends the connection. Either way the loss is seen within about 30-45 s.
struct TcpTuning {
    std::chrono::seconds keepIdle{10};
    std::chrono::seconds keepInterval{5};
    int keepCount = 3;
    // Also bounds the keepalive: Linux ends a probed connection once this much time has
    // passed without an answer, whatever keepCount says.
    std::chrono::milliseconds userTimeout{30000};
};

inline constexpr TcpTuning kTcpTuning{};

// The tuning in force: kTcpTuning, unless TARN_TEST_TCP_TUNING ("idle_s,interval_s,count,
// user_timeout_ms", e.g. "1,1,3,3000") is set when the first connection is tuned. It is read
// once, for tests that prove dead-peer detection without waiting the full time.
const TcpTuning& tcpTuning();
// The override's text read as a tuning; nullopt for anything but four positive numbers.
std::optional<TcpTuning> parseTcpTuning(std::string_view text);

// Keepalive and user time-out on a control connection's socket. Failures are ignored: the
// connection works without them, only a dead peer is noticed later.
void tuneControlSocket(SocketHandle sock);
// The same on a data connection's socket, plus TCP_NODELAY: the application's bytes are sent
// as they come, not held back while an earlier segment waits for the peer's delayed ACK.
void tuneDataSocket(SocketHandle sock);
