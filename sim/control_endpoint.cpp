#include "control_endpoint.h"

#include <cerrno>
#include <cstring>
#include <sys/epoll.h>
#include <sys/socket.h>

#include "net_util.h"

namespace devsim {

namespace {
constexpr std::uint32_t kBaudRates[13] = {110,   300,   1200,   2400,   4800,   9600,  19200,
                                          38400, 57600, 115200, 230400, 460800, 921600};

// "9600 7E1 flow none" for a 0x01's five setting bytes, as a serial line's frame is written.
std::string lineSettingsText(const std::uint8_t* settings) {
    static constexpr char kParity[] = {'N', 'O', 'E', 'M', 'S'};
    static constexpr const char* kStop[] = {"1", "1.5", "2"};
    static constexpr const char* kFlow[] = {"none", "xon/xoff", "rts/cts"};
    const std::string baud = settings[0] < 13 ? std::to_string(kBaudRates[settings[0]]) : "?";
    return baud + " " + std::to_string(settings[1]) + (settings[2] < 5 ? kParity[settings[2]] : '?') +
           (settings[3] < 3 ? kStop[settings[3]] : "?") + " flow " + (settings[4] < 3 ? kFlow[settings[4]] : "?");
}

std::string modemLinesText(std::uint8_t signals) {
    return std::string("RTS ") + ((signals & 0x04) ? "on" : "off") + ", DTR " + ((signals & 0x08) ? "on" : "off");
}
} // namespace

ControlEndpoint::ControlEndpoint(Reactor& reactor, Settings settings, EventHandler events, BaudHandler baud)
    : m_reactor(reactor), m_settings(settings), m_events(std::move(events)), m_baud(std::move(baud)) {}

ControlEndpoint::~ControlEndpoint() {
    if (m_partialTimer)
        m_reactor.cancelTimer(m_partialTimer);
    if (m_listener)
        m_reactor.remove(m_listener.get());
    if (m_connection)
        m_reactor.remove(m_connection.get());
}

bool ControlEndpoint::start(std::string& error) {
    m_listener = listenTcp(m_settings.deviceIp, m_settings.port, error);
    if (!m_listener)
        return false;
    return m_reactor.add(m_listener.get(), EPOLLIN, [this](std::uint32_t) { onAccept(); });
}

std::size_t ControlEndpoint::hostMessageLength(std::uint8_t code) {
    switch (code) {
    case 0x01:
        return 22; // code, five settings, 16 password bytes
    case 0x15:
        return 18; // code, signal byte, 16 password bytes
    case 0x04:
        return 6; // code, five settings (the answer to our 0x03)
    case 0x03:
    case 0x13:
    case 0x21:
        return 1;
    default:
        return 0;
    }
}

void ControlEndpoint::onAccept() {
    while (true) {
        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        UniqueFd socket(
            ::accept4(m_listener.get(), reinterpret_cast<sockaddr*>(&peer), &length, SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (!socket)
            return;
        // A host reconnects after every loss it notices; the newest connection is the live one.
        if (m_connection)
            drop("replaced");
        m_connection = std::move(socket);
        m_reactor.add(m_connection.get(), EPOLLIN, [this](std::uint32_t events) { onEvents(events); });
        m_events("control connected " + endpointText(peer));
    }
}

void ControlEndpoint::drop(const char* why) {
    if (!m_connection)
        return;
    if (!m_received.empty()) {
        m_events("control rx " + hexBytes(m_received));
        m_received.clear();
    }
    if (m_partialTimer) {
        m_reactor.cancelTimer(m_partialTimer);
        m_partialTimer = 0;
    }
    m_reactor.remove(m_connection.get());
    m_connection.reset();
    m_toSend.clear();
    m_events(std::string("control closed") + (why[0] ? std::string(" (") + why + ")" : std::string()));
}

void ControlEndpoint::onEvents(std::uint32_t events) {
    if (events & EPOLLOUT)
        flush();
    if (!m_connection)
        return;
    if (events & (EPOLLIN | EPOLLHUP | EPOLLERR)) {
        std::uint8_t buffer[4096];
        while (m_connection) {
            const ssize_t got = ::recv(m_connection.get(), buffer, sizeof buffer, 0);
            if (got < 0 && errno == EINTR)
                continue;
            if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                break;
            if (got <= 0) {
                parseReceived();
                drop(got == 0 ? "peer closed" : std::strerror(errno));
                return;
            }
            m_received.insert(m_received.end(), buffer, buffer + got);
            parseReceived();
        }
    }
}

void ControlEndpoint::parseReceived() {
    // The protocol has no framing: a message is known by its first byte and the fixed length
    // the host sends for that code. Unknown codes take everything that has arrived.
    std::size_t at = 0;
    while (at < m_received.size()) {
        std::size_t length = hostMessageLength(m_received[at]);
        if (length == 0)
            length = m_received.size() - at;
        if (at + length > m_received.size())
            break; // wait for the rest of the message
        handleMessage(&m_received[at], length);
        at += length;
        if (!m_connection)
            return;
    }
    m_received.erase(m_received.begin(), m_received.begin() + static_cast<std::ptrdiff_t>(at));
    if (m_partialTimer) {
        m_reactor.cancelTimer(m_partialTimer);
        m_partialTimer = 0;
    }
    if (!m_received.empty()) {
        // A message cut short by the host must not swallow the next one for ever: report the
        // fragment as it stands if nothing completes it soon.
        m_partialTimer = m_reactor.addTimer(kPartialTimeout, [this] {
            m_partialTimer = 0;
            if (!m_received.empty()) {
                m_events("control rx " + hexBytes(m_received));
                m_received.clear();
            }
        });
    }
}

std::uint8_t ControlEndpoint::resultFor(const std::uint8_t* password) const {
    if (m_settings.forcedResult)
        return *m_settings.forcedResult;
    return std::memcmp(password, m_settings.password.data(), 16) == 0 ? 0 : 1;
}

void ControlEndpoint::handleMessage(const std::uint8_t* message, std::size_t size) {
    m_events("control rx " + hexBytes(message, size));
    switch (message[0]) {
    case 0x01: {
        m_events("control line settings " + lineSettingsText(&message[1]));
        const std::uint8_t result = resultFor(&message[6]);
        if (result == 0) {
            m_settings.line = {message[1], message[2], message[3], message[4], message[5]};
            if (message[1] < 13 && m_baud)
                m_baud(kBaudRates[message[1]]);
        }
        send({0x02, result});
        break;
    }
    case 0x15:
        m_events("control modem lines " + modemLinesText(message[1]));
        send({0x16, resultFor(&message[2])});
        break;
    case 0x03: {
        const LineSettings& line = m_settings.line;
        send({0x04, line.baudIndex, line.dataBits, line.parity, line.stopBits, line.flow});
        break;
    }
    default:
        break; // recorded only
    }
}

bool ControlEndpoint::send(const std::vector<std::uint8_t>& bytes) {
    if (!m_connection)
        return false;
    m_events("control tx " + hexBytes(bytes));
    m_toSend.insert(m_toSend.end(), bytes.begin(), bytes.end());
    flush();
    return true;
}

void ControlEndpoint::flush() {
    std::size_t sent = 0;
    while (m_connection && sent < m_toSend.size()) {
        const ssize_t put = ::send(m_connection.get(), m_toSend.data() + sent, m_toSend.size() - sent, MSG_NOSIGNAL);
        if (put < 0 && errno == EINTR)
            continue;
        if (put < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        if (put <= 0) {
            // Left to the receive path, which sees the same failure and drops the connection.
            m_toSend.clear();
            return;
        }
        sent += static_cast<std::size_t>(put);
    }
    m_toSend.erase(m_toSend.begin(), m_toSend.begin() + static_cast<std::ptrdiff_t>(sent));
    if (m_connection)
        m_reactor.modify(m_connection.get(), m_toSend.empty() ? EPOLLIN : EPOLLIN | EPOLLOUT);
}

} // namespace devsim
