#pragma once
// Device side of the control connection: accepts the host's connection on the control port,
// reports every message it receives, answers line settings (0x01 -> 0x02), modem signals
// (0x15 -> 0x16) and queries (0x03 -> 0x04), and sends whatever the operator asks for.

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "reactor.h"
#include "text_util.h"
#include "unique_fd.h"

namespace devsim {

// The serial settings as the control protocol carries them: rate-table index, data bits,
// parity code (0 none, 1 odd, 2 even, 3 mark, 4 space), stop code (0 one, 1 one and a half,
// 2 two), flow code (0 none, 1 XON/XOFF, 2 RTS/CTS).
struct LineSettings {
    std::uint8_t baudIndex = 5;
    std::uint8_t dataBits = 8;
    std::uint8_t parity = 0;
    std::uint8_t stopBits = 0;
    std::uint8_t flow = 0;
};

class ControlEndpoint {
public:
    using EventHandler = std::function<void(const std::string&)>;
    using BaudHandler = std::function<void(std::uint32_t rate)>;

    struct Settings {
        Ipv4 deviceIp{};
        std::uint16_t port = 0;
        std::array<std::uint8_t, 16> password{}; // NUL-padded
        std::optional<std::uint8_t> forcedResult;
        LineSettings line;
    };

    ControlEndpoint(Reactor& reactor, Settings settings, EventHandler events, BaudHandler baud);
    ~ControlEndpoint();
    ControlEndpoint(const ControlEndpoint&) = delete;
    ControlEndpoint& operator=(const ControlEndpoint&) = delete;

    bool start(std::string& error);
    bool connected() const { return m_connection.valid(); }
    // Sends raw bytes on the connection; false when there is none.
    bool send(const std::vector<std::uint8_t>& bytes);

    // Length of the message starting with `code` as the host sends it; 0 when unknown.
    static std::size_t hostMessageLength(std::uint8_t code);

private:
    static constexpr std::chrono::milliseconds kPartialTimeout{200};

    void onAccept();
    void onEvents(std::uint32_t events);
    void drop(const char* why);
    void parseReceived();
    void handleMessage(const std::uint8_t* message, std::size_t size);
    std::uint8_t resultFor(const std::uint8_t* password) const;
    void flush();

    Reactor& m_reactor;
    Settings m_settings;
    EventHandler m_events;
    BaudHandler m_baud;
    UniqueFd m_listener;
    UniqueFd m_connection;
    std::vector<std::uint8_t> m_received;
    std::vector<std::uint8_t> m_toSend;
    Reactor::TimerId m_partialTimer = 0;
};

} // namespace devsim
