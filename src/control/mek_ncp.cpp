#include "control/mek_ncp.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Handles 0-2 are never sockets of ours (the socket layer keeps sockets above them, and 0
// is the "no socket" value).
bool isSocket(SocketHandle sock) {
    return sock > 2;
}

constexpr std::size_t kPasswordLength = 16;

} // namespace

mek_ncp::mek_ncp() : address(std::make_unique<Winsock_sockaddr_in>()) {}

mek_ncp::~mek_ncp() {
    const SocketHandle old = sock.exchange(0);
    if (!isSocket(old))
        return;
    // The layer may already be stopped at process end; the descriptor is closed regardless.
    if (g_sock)
        g_sock->close(old);
    else
        ::close(old);
}

void mek_ncp::setTarget(const char* ipText, std::uint16_t port) {
    address->set(AF_INET, ::htons(port), ipText);
}

void mek_ncp::closeSocket() {
    const SocketHandle old = sock.exchange(0);
    if (isSocket(old) && g_sock)
        g_sock->close(old);
}

std::uint8_t mek_ncp::baudIndex(std::uint32_t rate) {
    // All thirteen entries, 921600 included: stopping one short would announce 921600 as
    // index 0, which the device takes for 110 baud.
    for (std::size_t i = 0; i < std::size(kControlBaudTable); ++i) {
        if (kControlBaudTable[i] == rate)
            return static_cast<std::uint8_t>(i);
    }
    return 0;
}

std::uint8_t mek_ncp::flowCode(std::uint32_t h, std::uint32_t f) {
    constexpr std::uint32_t kDtrControl = 0x01;
    constexpr std::uint32_t kInputHandshakes = 0x1A; // DTR, CTS and DSR handshake
    constexpr std::uint32_t kXonXoffRts = 0x43;      // auto transmit, auto receive, RTS control
    constexpr std::uint32_t kXonXoff = 0x03;
    constexpr std::uint32_t kRtsHandshake = 0x80;
    if ((h & kDtrControl) && (f & kXonXoffRts) == kXonXoffRts && !(h & kInputHandshakes) && !(f & kRtsHandshake))
        return 1;
    if ((h & kInputHandshakes) == kInputHandshakes && (f & kRtsHandshake) && !(f & kXonXoff))
        return 2;
    return 0;
}

std::size_t mek_ncp::deviceMessageLength(std::uint8_t code) {
    switch (code) {
    case kNcpQuery:
        return 1;
    case kNcpLineSettingsAnswer:
    case kNcpSignalState:
    case kNcpSignalState14:
    case kNcpModemSignalsAnswer:
        return 2;
    case kNcpLineSettingsReport:
        return 6;
    default:
        return 0;
    }
}

std::uint8_t mek_ncp::signalByte() const {
    std::uint8_t value = 0;
    if (rts)
        value |= kSignalRts;
    if (dtr)
        value |= kSignalDtr;
    if (cts)
        value |= kSignalCts;
    if (dsr)
        value |= kSignalDsr;
    if (dcd)
        value |= kSignalDcd;
    if (ri)
        value |= kSignalRi;
    return value;
}

void mek_ncp::applySignalByte(std::uint8_t value) {
    rts = (value & kSignalRts) != 0;
    dtr = (value & kSignalDtr) != 0;
    cts = (value & kSignalCts) != 0;
    dsr = (value & kSignalDsr) != 0;
    dcd = (value & kSignalDcd) != 0;
    ri = (value & kSignalRi) != 0;
}

void mek_ncp::setTrace(const char* format, ...) {
    // Bounded: a long line (large handflow words, a full report) is cut, never overrun.
    va_list args;
    va_start(args, format);
    std::vsnprintf(trace, sizeof trace, format, args);
    va_end(args);
}

std::size_t mek_ncp::putLineSettings(std::size_t at) {
    txBuffer[at++] = baudIndex(baudRate);
    txBuffer[at++] = static_cast<std::uint8_t>(dataSize);
    txBuffer[at++] = static_cast<std::uint8_t>(parity);
    txBuffer[at++] = static_cast<std::uint8_t>(stopSize);
    txBuffer[at++] = flowCode(controlHandShake, flowReplace);
    return at;
}

std::size_t mek_ncp::putPassword(std::size_t at) {
    // Up to the terminator (a 16-character password has none); the rest stays zero.
    std::memcpy(txBuffer + at, password, ::strnlen(password, kPasswordLength));
    return at + kPasswordLength;
}

std::size_t mek_ncp::buildMessage(std::uint8_t code) {
    txBuffer[0] = code;
    switch (code) {
    case kNcpLineSettings:
        return putPassword(putLineSettings(1));
    case kNcpLineSettingsReport:
        // The answer to a device's query has the same line-settings bytes as 0x01 (baud
        // index, data size, parity, stop size, flow code), without the password: 6 bytes.
        return putLineSettings(1);
    case kNcpModemSignals:
        txBuffer[1] = signalByte();
        return putPassword(2);
    case kNcpQuery:
    case kNcp13:
    case kNcp21:
        return 1;
    default:
        txBuffer[0] = 0;
        return 0;
    }
}

int mek_ncp::send(std::uint8_t code) {
    std::memset(txBuffer, 0, sizeof txBuffer);
    lastSentLength = 0;
    if (!enabled.load() || !connected.load())
        return 0;
    const std::size_t length = buildMessage(code);
    if (length == 0)
        return 0;
    lastSentLength = length;
    if (g_sock == nullptr) {
        connected = 0;
        return -1;
    }

    switch (code) {
    case kNcpLineSettings:
        setTrace("\n\rmek_ncp: 0x01 is sent: BAUDRATE= %u,  DATASIZE= %u,  PARITY= %u,  STOPSIZE= %u, FLOWCONTROL= %u",
                 baudRate, dataSize, parity, stopSize, flowReplace);
        break;
    case kNcp13:
        setTrace("\n\rmek_ncp: 0x13 is sent");
        break;
    case kNcpModemSignals:
        setTrace("\n\rmek_ncp: 0x15 is sent: RTS= %d,  DTR= %d, CTS= %d, DSR= %d, DCD= %d, RI= %d", rts, dtr, cts, dsr,
                 dcd, ri);
        break;
    case kNcp21:
        setTrace("\n\rmek_ncp: 0x21 is sent");
        break;
    default:
        break;
    }

    // The stream has no framing, so a message cut short would make the device read the
    // rest of the stream as garbage: what one send leaves over is sent at once, and a
    // message that cannot go out whole marks the connection down (the session reconnects).
    std::size_t done = 0;
    while (done < length) {
        const int n = g_sock->send(sock, txBuffer + done, static_cast<int>(length - done), 0);
        if (n <= 0) {
            (void)g_sock->lastError();
            connected = 0;
            return -1;
        }
        done += static_cast<std::size_t>(n);
    }
    connected = 1;
    return static_cast<int>(length);
}

std::size_t mek_ncp::handleDeviceMessage(const std::uint8_t* message, std::size_t length) {
    if (message == nullptr || length == 0)
        return 0;
    const std::uint8_t code = message[0];
    const std::size_t need = deviceMessageLength(code);
    if (need == 0)
        return 1;
    // A message short of its content bytes changes nothing: inventing the missing bytes
    // (zeros, or whatever the buffer held before) would drop the device's lines or report
    // a status it never sent.
    if (length < need)
        return 0;

    switch (code) {
    case kNcpLineSettingsAnswer:
        if (message[1] == 0) {
            status = 0;
            setTrace("\n\rmek_ncp: 0x02 is received: OK");
        } else if (message[1] == 1) {
            status = 1;
            setTrace("\n\rmek_ncp: 0x02 is received: wrong user's password");
        } else {
            status = 2;
            setTrace("\n\rmek_ncp: 0x02 is received: error code");
        }
        break;
    case kNcpQuery:
        send(kNcpLineSettingsReport);
        setTrace("\n\rmek_ncp: 0x03 is received:tcc_send(0x04)");
        break;
    case kNcpLineSettingsReport:
        // An index outside the table names no rate: 0 marks the device's rate unknown, so
        // the port's own rate differs from it and is sent again.
        baudRate = message[1] < std::size(kControlBaudTable) ? kControlBaudTable[message[1]] : 0;
        dataSize = message[2];
        parity = message[3];
        stopSize = message[4];
        flowReplace = message[5];
        setTrace("\n\rmek_ncp: 0x04 is received: BAUDRATE= %u,  DATASIZE= %u,  PARITY= %u,  STOPSIZE= %u,  "
                 "FLOWCONTROL= %u",
                 baudRate, dataSize, parity, stopSize, flowReplace);
        break;
    case kNcpSignalState:
        applySignalByte(message[1]);
        setTrace("\n\rmek_ncp: 0x11 is received: RTS= %d,  DTR= %d,  CTS= %d,  DSR= %d,  DCD= %d, RI= %d", rts, dtr,
                 cts, dsr, dcd, ri);
        break;
    case kNcpSignalState14:
        applySignalByte(message[1]);
        setTrace("\n\rmek_ncp: 0x14 is received: RTS= %d,  DTR= %d,  CTS= %d,  DSR= %d,  DCD= %d, RI= %d", rts, dtr,
                 cts, dsr, dcd, ri);
        break;
    case kNcpModemSignalsAnswer:
        if (message[1] == 0) {
            status = 0;
        } else if (message[1] == 1) {
            status = 1;
            setTrace("\n\rmek_ncp: 0x16 is received: wrong user's password");
        } else {
            status = 2;
            setTrace("\n\rmek_ncp: 0x16 is received: Error code");
        }
        break;
    default:
        break;
    }
    return need;
}
