#pragma once
// A mapping's control endpoint: the line settings and modem signals last exchanged with the
// device, and the builder, sender and parser of the control messages.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

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

// Message codes.
enum : std::uint8_t {
    kNcpLineSettings = 0x01,       // host -> device, 22 bytes
    kNcpLineSettingsAnswer = 0x02, // device -> host, 2 bytes
    kNcpQuery = 0x03,              // both ways, 1 byte
    kNcpLineSettingsReport = 0x04, // both ways, 6 bytes
    kNcpSignalState = 0x11,        // device -> host, 2 bytes
    kNcp13 = 0x13,                 // host -> device, 1 byte
    kNcpSignalState14 = 0x14,      // device -> host, 2 bytes
    kNcpModemSignals = 0x15,       // host -> device, 18 bytes
    kNcpModemSignalsAnswer = 0x16, // device -> host, 2 bytes
    kNcp21 = 0x21,                 // host -> device, 1 byte
};

class mek_ncp {
public:
    mek_ncp();
    ~mek_ncp();
    mek_ncp(const mek_ncp&) = delete;
    mek_ncp& operator=(const mek_ncp&) = delete;

    void setRts(int flag) { rts = flag != 0; }
    void setDtr(int flag) { dtr = flag != 0; }
    // address := AF_INET, `port` (host order, stored in network order), the dotted text.
    void setTarget(const char* ipText, std::uint16_t port);
    // Closes `sock` through the socket layer and forgets the number (sock := 0), so a later
    // close can never hit a descriptor that has been reused meanwhile.
    void closeSocket();
    // Builds and sends one message of `code` (0x01, 0x03, 0x04, 0x13, 0x15, 0x21). The send
    // buffer is cleared first in every case; nothing is built or sent unless enabled and
    // connected, or for a code the builder does not know. Returns the bytes sent, 0 when
    // nothing was sent, -1 when the send failed (connected is then 0).
    int send(std::uint8_t code);
    // Handles one device message (code in byte 0); reads no byte at or past `length`.
    // Returns the bytes the message occupies when it was handled, 0 when it is incomplete
    // (nothing changed: the caller may wait for more bytes), 1 for an unknown code (ignored).
    std::size_t handleDeviceMessage(const std::uint8_t* message, std::size_t length);

    // Pure helpers, exposed for the session and for tests.
    // Index of `baudRate` in kControlBaudTable; 0 (110 baud) for a rate not in it.
    static std::uint8_t baudIndex(std::uint32_t baudRate);
    static std::uint8_t flowCode(std::uint32_t controlHandShake, std::uint32_t flowReplace);
    // Full length of a device message starting with `code`, 0 for a code that is not one.
    static std::size_t deviceMessageLength(std::uint8_t code);
    std::uint8_t signalByte() const;

    std::unique_ptr<Winsock_sockaddr_in> address;
    // 0 while there is no socket. Atomic: the main window compares notified sockets with it.
    std::atomic<SocketHandle> sock{0};
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
    // Bytes of the last message built (txBuffer holds them); 0 when send() built nothing.
    std::size_t lastSentLength = 0;
    // Bytes at the start of rxBuffer that begin a device message not complete yet; cleared
    // for every new connection, so no piece of an old stream is read as part of the new one.
    std::size_t rxLength = 0;
    // Copies of `enabled` and of the port's input lines (signal-byte bits) as the main
    // window last showed them.
    std::uint8_t shownEnabled = 0;
    std::uint8_t shownSignals = 0;

private:
    std::size_t buildMessage(std::uint8_t code);
    std::size_t putLineSettings(std::size_t at);
    std::size_t putPassword(std::size_t at);
    void applySignalByte(std::uint8_t value);
    void setTrace(const char* format, ...) __attribute__((format(printf, 2, 3)));
};
