#pragma once
// The in-band port control of an RFC 2217 mapping's current connection: the Telnet codec, the
// bytes on their way to the socket, and what the device server was last sent of the port.
// Made when the connection comes up and dropped with it, so a new connection negotiates and
// sends every setting afresh. Under the mapping's lock.

#include <cstdint>
#include <optional>
#include <vector>

#include "bridge/telnet_com_port.h"

struct ComPortLink {
    TelnetComPort codec;
    // Escaped application bytes and commands, in the order they go on the wire.
    std::vector<std::uint8_t> wire;
    // Bytes for the application that one receive produced.
    std::vector<std::uint8_t> toPort;

    std::optional<int> baud, dataBits, parity, stopBits, flow;
    std::optional<bool> dtr, rts;
    bool breakOn = false;
    bool missingConfirmationLogged = false;
    std::optional<std::uint32_t> inputFlushes, outputFlushes;
    std::uint32_t breaksSeen = 0;
    std::int64_t breakEndsNs = 0; // a timed break's end; 0 while none runs
};
