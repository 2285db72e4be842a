#pragma once
// A mapping's control endpoint: the line settings and modem signals last exchanged with the
// device, and the builder, sender and parser of the control messages.

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "bridge/portable_sock.h"

// Baud rates by the index the control messages carry.
inline constexpr std::uint32_t kControlBaudTable[13] = {110,   300,   1200,   2400,   4800,   9600,  19200,
                                                        38400, 57600, 115200, 230400, 460800, 921600};

// Modem-signal byte bits (same layout both ways).
enum : std::uint8_t {
    kSignalRts = 0x04,
    kSignalDtr = 0x08,
    kSignalCts = 0x10,
    kSignalDsr = 0x20,
    kSignalDcd = 0x40,
    kSignalRi = 0x80,
};

class mek_ncp {
public:
    mek_ncp();
    ~mek_ncp();
    mek_ncp(const mek_ncp&) = delete;
    mek_ncp& operator=(const mek_ncp&) = delete;

    void setRts(int flag) { rts = flag != 0; }
    void setDtr(int flag) { dtr = flag != 0; }
    void setTarget(const char* ipText, std::uint16_t port);
    void closeSocket();
    // Builds and sends one message of `code` (0x01, 0x03, 0x04, 0x13, 0x15, 0x21); sends
    // nothing unless enabled and connected.
    void send(std::uint8_t code);
    // Handles one device message (code in byte 0). `length` is how many bytes arrived.
    void handleDeviceMessage(const std::uint8_t* message, std::size_t length);

    // Pure helpers, exposed for the session and for tests.
    static std::uint8_t baudIndex(std::uint32_t baudRate);
    static std::uint8_t flowCode(std::uint32_t controlHandShake, std::uint32_t flowReplace);
    std::uint8_t signalByte() const;

    Winsock_sockaddr_in* address;
    SocketHandle sock = 0;
    std::uint8_t rxBuffer[1000] = {};
    std::uint8_t txBuffer[1000] = {};
    std::uint32_t baudRate = 0, dataSize = 0, parity = 0, stopSize = 0, flowReplace = 0, controlHandShake = 0;
    char password[16] = {};
    std::atomic<std::int32_t> status{3};
    std::int32_t shownStatus = 3;
    std::uint8_t dcd = 0, dtr = 0, dsr = 0, rts = 0, cts = 0, ri = 0;
    char trace[100] = {};
    std::atomic<std::uint8_t> connected{0};
    std::uint8_t shownConnected = 0;
    std::atomic<std::uint8_t> enabled{0};
    // Bytes of the last message sent (txBuffer holds them too); for tests and traces.
    std::size_t lastSentLength = 0;
};
