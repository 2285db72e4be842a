#pragma once
// The device's data connection in its working mode (TCP server, TCP client or UDP), joined
// to its serial side.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "eeprom_image.h"
#include "reactor.h"
#include "serial_side.h"
#include "telnet_server.h"
#include "text_util.h"
#include "unique_fd.h"

namespace devsim {

struct DataSettings {
    WorkingMode mode = WorkingMode::TcpServer;
    Ipv4 deviceIp{};
    std::uint16_t localPort = 0;
    Ipv4 remoteIp{};
    std::uint16_t remotePort = 0;
    ComPortControl comPort = ComPortControl::Off; // a TCP server only
    bool operator==(const DataSettings&) const = default;
};

class DataEndpoint : public SerialSink {
public:
    using EventHandler = std::function<void(const std::string&)>;

    DataEndpoint(Reactor& reactor, DataSettings settings, SerialSide& serial, EventHandler events);
    ~DataEndpoint() override;
    DataEndpoint(const DataEndpoint&) = delete;
    DataEndpoint& operator=(const DataEndpoint&) = delete;

    bool start(std::string& error);
    bool connected() const;
    bool comPortOn() const { return m_telnet && m_settings.comPort == ComPortControl::On; }
    // See TelnetServer::setModemLines.
    std::optional<std::uint8_t> setModemLines(std::uint8_t lines);

    // SerialSink
    bool networkHasRoom() const override;
    void fromSerial(const std::uint8_t* data, std::size_t size) override;
    void serialRoomAvailable() override { updateInterest(); }

private:
    static constexpr std::size_t kHighWater = 64 * 1024;
    static constexpr std::chrono::milliseconds kReconnectDelay{300};

    bool startListening(std::string& error);
    bool startUdp(std::string& error);
    void startConnect();
    void scheduleReconnect();
    void onAccept();
    void adopt(UniqueFd socket, const std::string& peer);
    void dropConnection(const char* why);
    void onConnectionEvents(std::uint32_t events);
    void onUdpEvents(std::uint32_t events);
    // False when the connection failed; the caller drops it (never from inside a send).
    bool flush();
    // Sends what is queued; a failure drops the connection, or marks it for the running handler.
    void sendQueued();
    void updateInterest();

    Reactor& m_reactor;
    DataSettings m_settings;
    SerialSide& m_serial;
    EventHandler m_events;
    UniqueFd m_listener;
    UniqueFd m_connection; // TCP data connection, or the UDP socket
    bool m_connecting = false;
    bool m_established = false;
    bool m_inHandler = false;
    bool m_flushFailed = false;
    std::uint32_t m_interest = 0;
    std::vector<std::uint8_t> m_toNetwork;
    std::unique_ptr<TelnetServer> m_telnet; // frames m_toNetwork, so declared after it
    Reactor::TimerId m_reconnectTimer = 0;
    std::uint32_t m_udpPeerIp = 0; // host order; last sender when no peer is configured
    std::uint16_t m_udpPeerPort = 0;
};

} // namespace devsim
