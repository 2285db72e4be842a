#include "data_endpoint.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <sys/epoll.h>
#include <sys/socket.h>

#include "net_util.h"

namespace devsim {

DataEndpoint::DataEndpoint(Reactor& reactor, DataSettings settings, SerialSide& serial, EventHandler events)
    : m_reactor(reactor), m_settings(settings), m_serial(serial), m_events(std::move(events)) {
    m_serial.setSink(this);
    if (m_settings.mode == WorkingMode::TcpServer && m_settings.comPort != ComPortControl::Off)
        m_telnet = std::make_unique<TelnetServer>(m_settings.comPort, m_serial, m_toNetwork, m_events);
}

DataEndpoint::~DataEndpoint() {
    m_serial.setSink(nullptr);
    if (m_reconnectTimer)
        m_reactor.cancelTimer(m_reconnectTimer);
    if (m_listener)
        m_reactor.remove(m_listener.get());
    if (m_connection)
        m_reactor.remove(m_connection.get());
}

bool DataEndpoint::start(std::string& error) {
    switch (m_settings.mode) {
    case WorkingMode::TcpServer:
        return m_settings.localPort == 0 || startListening(error);
    case WorkingMode::Udp:
        return m_settings.localPort == 0 || startUdp(error);
    case WorkingMode::TcpClient:
        if (ipValue(m_settings.remoteIp) != 0 && m_settings.remotePort != 0)
            startConnect();
        return true;
    }
    return true;
}

bool DataEndpoint::connected() const {
    return m_established || (m_settings.mode == WorkingMode::Udp && m_connection && m_udpPeerIp != 0);
}

bool DataEndpoint::startListening(std::string& error) {
    m_listener = listenTcp(m_settings.deviceIp, m_settings.localPort, error);
    if (!m_listener)
        return false;
    return m_reactor.add(m_listener.get(), EPOLLIN, [this](std::uint32_t) { onAccept(); });
}

bool DataEndpoint::startUdp(std::string& error) {
    m_connection = bindUdp(m_settings.deviceIp, m_settings.localPort, false, error);
    if (!m_connection)
        return false;
    m_interest = EPOLLIN;
    return m_reactor.add(m_connection.get(), m_interest, [this](std::uint32_t events) { onUdpEvents(events); });
}

void DataEndpoint::onAccept() {
    while (true) {
        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        UniqueFd socket(
            ::accept4(m_listener.get(), reinterpret_cast<sockaddr*>(&peer), &length, SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (!socket)
            return;
        // One data connection at a time; the newest wins, since a host that reconnects after
        // a loss may do so before this side has noticed the old connection is gone.
        if (m_connection)
            dropConnection("replaced");
        adopt(std::move(socket), endpointText(peer));
    }
}

void DataEndpoint::startConnect() {
    m_reconnectTimer = 0;
    UniqueFd socket(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!socket) {
        scheduleReconnect();
        return;
    }
    // Connect from the device's own address, as the host expects to see it.
    const sockaddr_in local = socketAddress(m_settings.deviceIp, 0);
    ::bind(socket.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local);
    const sockaddr_in remote = socketAddress(m_settings.remoteIp, m_settings.remotePort);
    const int result = ::connect(socket.get(), reinterpret_cast<const sockaddr*>(&remote), sizeof remote);
    if (result != 0 && errno != EINPROGRESS) {
        scheduleReconnect();
        return;
    }
    m_connection = std::move(socket);
    m_connecting = true;
    m_interest = EPOLLOUT;
    m_reactor.add(m_connection.get(), m_interest, [this](std::uint32_t events) { onConnectionEvents(events); });
}

void DataEndpoint::scheduleReconnect() {
    if (m_settings.mode != WorkingMode::TcpClient || m_reconnectTimer)
        return;
    m_reconnectTimer = m_reactor.addTimer(kReconnectDelay, [this] { startConnect(); });
}

void DataEndpoint::adopt(UniqueFd socket, const std::string& peer) {
    m_connection = std::move(socket);
    m_established = true;
    m_connecting = false;
    m_interest = 0;
    m_reactor.add(m_connection.get(), 0, [this](std::uint32_t events) { onConnectionEvents(events); });
    m_events("data connected " + peer);
    if (m_telnet)
        m_telnet->begin();
    updateInterest();
    flush();
}

void DataEndpoint::dropConnection(const char* why) {
    if (!m_connection)
        return;
    m_reactor.remove(m_connection.get());
    m_connection.reset();
    const bool wasEstablished = m_established;
    m_established = false;
    m_connecting = false;
    // Bytes queued for a peer that is gone belong to its conversation, not to the next one.
    m_toNetwork.clear();
    if (m_telnet)
        m_telnet->end();
    if (wasEstablished)
        m_events(std::string("data closed") + (why[0] ? std::string(" (") + why + ")" : std::string()));
    m_serial.networkRoomAvailable();
    scheduleReconnect();
}

void DataEndpoint::onConnectionEvents(std::uint32_t events) {
    if (m_connecting) {
        int error = 0;
        socklen_t length = sizeof error;
        ::getsockopt(m_connection.get(), SOL_SOCKET, SO_ERROR, &error, &length);
        if (error != 0) {
            dropConnection("");
            return;
        }
        sockaddr_in peer{};
        socklen_t peerLength = sizeof peer;
        ::getpeername(m_connection.get(), reinterpret_cast<sockaddr*>(&peer), &peerLength);
        UniqueFd socket(m_connection.release());
        m_reactor.remove(socket.get());
        adopt(std::move(socket), endpointText(peer));
        return;
    }
    m_inHandler = true;
    m_flushFailed = false;
    if ((events & EPOLLOUT) && !flush())
        m_flushFailed = true;
    if (events & (EPOLLIN | EPOLLHUP | EPOLLERR)) {
        std::uint8_t buffer[4096];
        while (!m_flushFailed && m_serial.hasRoom()) {
            const ssize_t got = ::recv(m_connection.get(), buffer, sizeof buffer, 0);
            if (got < 0 && errno == EINTR)
                continue;
            if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                break;
            if (got <= 0) {
                m_inHandler = false;
                dropConnection(got == 0 ? "peer closed" : std::strerror(errno));
                return;
            }
            if (!m_telnet) {
                m_serial.toSerial(buffer, static_cast<std::size_t>(got));
                continue;
            }
            // Replies go out at once; a resume or purge may give the serial side room again.
            const bool hadRoom = networkHasRoom();
            m_telnet->fromNetwork(buffer, static_cast<std::size_t>(got));
            sendQueued();
            if (!hadRoom && networkHasRoom())
                m_serial.networkRoomAvailable();
        }
    }
    m_inHandler = false;
    if (m_flushFailed) {
        dropConnection("send failed");
        return;
    }
    updateInterest();
}

bool DataEndpoint::flush() {
    if (!m_established)
        return true;
    const bool hadRoom = networkHasRoom();
    std::size_t sent = 0;
    while (sent < m_toNetwork.size()) {
        const ssize_t put =
            ::send(m_connection.get(), m_toNetwork.data() + sent, m_toNetwork.size() - sent, MSG_NOSIGNAL);
        if (put < 0 && errno == EINTR)
            continue;
        if (put < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        if (put <= 0) {
            m_toNetwork.erase(m_toNetwork.begin(), m_toNetwork.begin() + static_cast<std::ptrdiff_t>(sent));
            return false;
        }
        sent += static_cast<std::size_t>(put);
    }
    m_toNetwork.erase(m_toNetwork.begin(), m_toNetwork.begin() + static_cast<std::ptrdiff_t>(sent));
    updateInterest();
    if (!hadRoom && networkHasRoom())
        m_serial.networkRoomAvailable();
    return true;
}

void DataEndpoint::updateInterest() {
    if (!m_connection || m_connecting)
        return;
    std::uint32_t wanted = 0;
    if (m_serial.hasRoom())
        wanted |= EPOLLIN;
    if (m_established && !m_toNetwork.empty())
        wanted |= EPOLLOUT;
    if (wanted != m_interest) {
        m_interest = wanted;
        m_reactor.modify(m_connection.get(), wanted);
    }
}

void DataEndpoint::sendQueued() {
    if (flush())
        return;
    if (m_inHandler)
        m_flushFailed = true; // the connection's own handler drops it when the pass ends
    else
        dropConnection("send failed");
}

bool DataEndpoint::networkHasRoom() const {
    // Bytes held for a host that suspended them count too: the serial side pauses instead.
    return m_settings.mode == WorkingMode::Udp || m_toNetwork.size() + (m_telnet ? m_telnet->held() : 0) < kHighWater;
}

std::optional<std::uint8_t> DataEndpoint::setModemLines(std::uint8_t lines) {
    if (!m_telnet)
        return std::nullopt;
    const auto reported = m_telnet->setModemLines(lines);
    if (reported)
        sendQueued();
    return reported;
}

void DataEndpoint::fromSerial(const std::uint8_t* data, std::size_t size) {
    if (m_settings.mode == WorkingMode::Udp) {
        if (!m_connection)
            return;
        // The configured peer, else whoever sent last.
        std::uint32_t ip = ipValue(m_settings.remoteIp);
        std::uint16_t port = m_settings.remotePort;
        if (ip == 0 || port == 0) {
            ip = m_udpPeerIp;
            port = m_udpPeerPort;
        }
        if (ip == 0 || port == 0)
            return; // nobody to send to yet: a datagram link drops
        const sockaddr_in peer = socketAddress(ip, port);
        for (std::size_t at = 0; at < size; at += 1400) {
            const std::size_t chunk = std::min<std::size_t>(1400, size - at);
            ::sendto(m_connection.get(), data + at, chunk, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&peer),
                     sizeof peer);
        }
        return;
    }
    if (m_telnet)
        m_telnet->fromSerial(data, size);
    else
        m_toNetwork.insert(m_toNetwork.end(), data, data + size);
    sendQueued();
}

void DataEndpoint::onUdpEvents(std::uint32_t) {
    std::uint8_t buffer[65536];
    while (m_connection && m_serial.hasRoom()) {
        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        const ssize_t got =
            ::recvfrom(m_connection.get(), buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&peer), &length);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            break;
        const std::uint32_t ip = ntohl(peer.sin_addr.s_addr);
        const std::uint16_t port = ntohs(peer.sin_port);
        if (ip != m_udpPeerIp || port != m_udpPeerPort) {
            m_udpPeerIp = ip;
            m_udpPeerPort = port;
            m_events("data from " + endpointText(peer));
        }
        m_serial.toSerial(buffer, static_cast<std::size_t>(got));
    }
    updateInterest();
}

} // namespace devsim
