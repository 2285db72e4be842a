#pragma once
// What an RFC 2217 mapping does in place of a plain byte stream and a control connection: its
// application bytes travel escaped between Telnet commands on the data connection, and the
// port's settings and lines travel as commands beside them. Every function runs under the
// mapping's lock and does nothing while the mapping has no such connection.

#include <cstdint>

struct TARNINFO;

// The data connection came up (negotiation starts) or went down.
void startComPort(TARNINFO& tarnInfo, std::int64_t nowNs);
void stopComPort(TARNINFO& tarnInfo);

// Bytes read from the socket: the server's commands are taken in and answered, and the
// application's go to the ring towards the port (which has room for `size`) when `deliver`,
// else nowhere. Returns how many were the application's.
std::uint32_t comPortReceived(TARNINFO& tarnInfo, const std::uint8_t* data, std::uint32_t size, bool deliver);

enum class WireSend { Idle, Whole, Short, Failed };
// Moves the application's bytes from its ring onto the wire, unless the server holds them
// back, and sends what the wire holds.
WireSend comPortSend(TARNINFO& tarnInfo, bool takeData);
// Bytes are waiting for the wire: commands, or application bytes the server does not hold.
bool comPortSendPending(const TARNINFO& tarnInfo, bool takeData);

// The port's settings, lines and breaks to the server; the server's lines to the port; the
// negotiation's news to the log.
void comPortSignals(TARNINFO& tarnInfo, std::int64_t nowNs);
