#pragma once
// The one checked way to a new mapping, shared by the window's add dialog, the control
// channel and tarnctl's work on the mapping file: the add dialog's checks in their order with
// their texts, and the proposal of a free COM number with its up and down steps.

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "model/tarn_desc.h"
#include "platform/result.h"

namespace core {

// What a user typed, as the add dialog's fields hold it.
struct AddRequest {
    std::string comText;       // the COM field
    std::string ipText;        // the IP field (blanks are removed before use)
    std::string localPortText; // the three port fields
    std::string remotePortText;
    std::string controlPortText; // checked like the others; hands nothing to the mapping
    bool isTcp = true;
    bool isServer = false;
    // A TCP client that speaks RFC 2217 in band; ignored for the other modes.
    bool rfc2217 = false;
};

// A mapping that exists already, as the checks see it.
struct ExistingMapping {
    std::int32_t comNumber = 0;
    std::int32_t mode = 0; // kModeTcpServer, kModeTcpClient, kModeUdp
    std::string ipText;
    std::uint16_t localPort = 0;
};

struct AddRefusal {
    // The error box's text, one line per failed check.
    std::string message;
    // A COM-number check failed (those stop before the port and address checks).
    bool comFailed = false;
};
// The record to create, or why not.
using AddCheck = Result<tarnDesc, AddRefusal>;

// A decimal number as atoi reads it, as the add checks read every number: leading white
// space, an optional sign, the digits up to the first other character; no digits reads as 0.
// Saturates instead of overflowing.
std::int32_t readNumber(const std::string& text);

// The checks of the add dialog's OK, in order: the COM number (0; a system port; in use),
// then the ports, the IP text, the same IP in use, a TCP server's local port in use.
AddCheck checkAdd(const AddRequest& request, const std::deque<std::int32_t>& systemPorts,
                  const std::vector<ExistingMapping>& existing);

// The first COM number that is neither a system port nor in use, counting up from the
// smallest of both lists (1 when both are empty).
std::int32_t proposeComNumber(const std::deque<std::int32_t>& systemPorts, const std::deque<std::int32_t>& inUse);
// The up-down's steps from `n`.
std::int32_t comNumberUp(std::int32_t n, const std::deque<std::int32_t>& systemPorts,
                         const std::deque<std::int32_t>& inUse);
std::int32_t comNumberDown(std::int32_t n, const std::deque<std::int32_t>& systemPorts,
                           const std::deque<std::int32_t>& inUse);

} // namespace core
