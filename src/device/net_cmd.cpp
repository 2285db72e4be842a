#include "device/net_cmd.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <random>
#include <sys/socket.h>

#include "device/netcmd_codec.h"
#include "platform/interfaces.h"

namespace {

using Clock = std::chrono::steady_clock;

std::uint8_t clampCount(int value) {
    return static_cast<std::uint8_t>(std::clamp(value, 1, 255));
}

// A fresh value per run, never 0 (the devices read 0 as "no nonce").
std::uint32_t makeNonce() {
    std::random_device random;
    const std::uint32_t value = (static_cast<std::uint32_t>(random()) << 16) + static_cast<std::uint32_t>(random());
    return value == 0 ? 1 : value;
}

} // namespace

NetCmd::NetCmd(int ownsSocketLibraryFlag, int searchTimeoutMs, int answerTimeoutMs, NetCmdOptions options)
    : nonce(makeNonce()), buffer(netcmd::kBufferSize, 0), ownsSocketLibrary(ownsSocketLibraryFlag),
      port(options.localPort), searchPasses(clampCount(searchTimeoutMs / 1000)),
      answerPolls(clampCount(answerTimeoutMs / 200)), m_options(std::move(options)) {
    if (ownsSocketLibrary)
        startSocketLayer();
}

NetCmd::~NetCmd() {
    closeSocket();
    if (ownsSocketLibrary)
        stopSocketLayer();
}

void NetCmd::closeSocket() {
    if (m_socket >= 0 && g_sock)
        g_sock->close(m_socket);
    m_socket = -1;
}

bool NetCmd::openSocket(int protocol) {
    closeSocket();
    m_answerSource.reset();
    m_remote = Winsock_sockaddr_in{};
    m_local = Winsock_sockaddr_in{};
    if (!g_sock)
        return false;
    m_socket = g_sock->socket(AF_INET, SOCK_DGRAM, protocol);
    if (m_socket < 0)
        return false;
    ++m_useCount;
    // Sized at creation, before any answer can arrive: a thousand devices answer a search
    // within a few milliseconds. The forced size needs privilege; the plain one is capped by
    // the system but is the best an ordinary user gets.
    const int size = m_options.receiveBufferBytes;
    if (g_sock->setOption(m_socket, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0)
        g_sock->setOption(m_socket, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    return true;
}

std::string NetCmd::nodeIpText(const _KT550Node& node) const {
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", node.ip[0], node.ip[1], node.ip[2], node.ip[3]);
    return text;
}

int NetCmd::sendRequest(const char* destination, std::uint16_t localPortNumber, std::uint16_t remotePortNumber,
                        const std::uint8_t* data, int length) {
    if (destination && std::strcmp(destination, "0.0.0.0") == 0)
        return broadcastSearch();
    return sendUnicast(destination, localPortNumber, remotePortNumber, data, length);
}

int NetCmd::sendToNode(const _KT550Node& node, std::size_t length) {
    // A node without an address (all zero) cannot be reached; its text "0.0.0.0" would
    // otherwise turn the request into a search broadcast.
    if (std::all_of(std::begin(node.ip), std::end(node.ip), [](std::uint8_t b) { return b == 0; }))
        return -1;
    return sendUnicast(nodeIpText(node).c_str(), port, m_options.remotePort, buffer.data(), static_cast<int>(length));
}

int NetCmd::sendUnicast(const char* destination, std::uint16_t localPortNumber, std::uint16_t remotePortNumber,
                        const std::uint8_t* data, int length) {
    if (!openSocket(IPPROTO_UDP))
        return -1;
    m_remote.set(AF_INET, g_sock->htons(remotePortNumber), destination);
    m_local.set(AF_INET, g_sock->htons(localPortNumber), "0.0.0.0");
    g_sock->bind(m_socket, &m_local);
    // Set before the send: the answer may be back before sendto returns.
    m_answerSource = Destination{m_remote.getAddress(), m_remote.getPort()};
    const int result = g_sock->sendto(m_socket, data, length, 0, &m_remote);
    if (result >= 0)
        ++m_sent;
    return result;
}

int NetCmd::broadcastSearch() {
    const std::vector<std::uint32_t> targets = m_options.broadcastTargets
                                                   ? m_options.broadcastTargets()
                                                   : platform::subnetBroadcasts(platform::listInterfaceAddresses());
    // Answers of an earlier request must not linger into this search.
    closeSocket();
    if (targets.empty())
        return -1;
    if (!openSocket(0))
        return -1;
    const int on = 1;
    g_sock->setOption(m_socket, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    std::uint8_t request[netcmd::kSearchRequestSize];
    netcmd::buildSearchRequest(request);
    int result = -1;
    bool bound = false;
    for (const std::uint32_t target : targets) {
        m_remote.sin_family = AF_INET;
        m_remote.setPort(g_sock->htons(m_options.remotePort));
        m_remote.setAddress(htonl(target));
        if (!bound) {
            m_local.set(AF_INET, g_sock->htons(port), "0.0.0.0");
            bound = g_sock->bind(m_socket, &m_local) == 0;
        }
        // A destination that refuses the send does not stop the others.
        const int sent = g_sock->sendto(m_socket, request, static_cast<int>(sizeof request), 0, &m_remote);
        if (sent < 0)
            continue;
        ++m_sent;
        result = sent;
    }
    return result;
}

int NetCmd::receiveAnswer(std::uint8_t* into, int size) {
    if (m_socket < 0 || !g_sock)
        return -1;
    // MSG_TRUNC reports an oversized datagram's real length, so it is refused rather than
    // read as a cut-off answer.
    return g_sock->recvfrom(m_socket, into, size, MSG_TRUNC, &m_local);
}

bool NetCmd::nextAnswerFromDestination() {
    if (!m_answerSource || m_socket < 0)
        return true;
    // A peek learns the sender without taking the datagram: the socket layer stays the one
    // that receives, and reports nothing about senders.
    sockaddr_in sender{};
    socklen_t length = sizeof sender;
    if (::recvfrom(m_socket, nullptr, 0, MSG_PEEK | MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&sender), &length) < 0)
        return true; // nothing waits; the receive itself reports that
    // Any host on the link can send to our port: a forged login or EEPROM answer must come
    // from somewhere else than the device asked.
    if (sender.sin_family == AF_INET && sender.sin_addr.s_addr == m_answerSource->address &&
        sender.sin_port == m_answerSource->port)
        return true;
    char text[INET_ADDRSTRLEN] = "?";
    ::inet_ntop(AF_INET, &sender.sin_addr, text, sizeof text);
    tracef(m_trace, "\n ignored answer from %s:%u", text, static_cast<unsigned>(::ntohs(sender.sin_port)));
    std::uint8_t discard;
    receiveAnswer(&discard, 1);
    return false;
}

bool NetCmd::pollAnswers(int polls, const std::function<bool(long received)>& onDatagram) {
    for (int poll = 0; poll < polls && !m_stopped.load(); ++poll) {
        const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(pollInterval);
        bool received = false;
        for (;;) {
            // Take every datagram waiting, not just one.
            for (;;) {
                // A stream of strangers' datagrams must not hold the poll past its end.
                if (!nextAnswerFromDestination()) {
                    if (Clock::now() >= deadline)
                        break;
                    continue;
                }
                std::fill(buffer.begin(), buffer.end(), std::uint8_t{0});
                const int n = receiveAnswer(buffer.data(), static_cast<int>(buffer.size()));
                if (n < 0)
                    break;
                received = true;
                if (onDatagram(n))
                    return true;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0)
                break;
            if (m_stopped.load())
                return false;
            const int wait = static_cast<int>(std::min<long long>(left, kStopLookMs));
            if (m_socket >= 0) {
                pollfd waitFor{m_socket, POLLIN, 0};
                ::poll(&waitFor, 1, wait);
            } else {
                ::poll(nullptr, 0, wait);
            }
        }
        if (!received) {
            std::fill(buffer.begin(), buffer.end(), std::uint8_t{0});
            if (onDatagram(-1))
                return true;
        }
    }
    return false;
}

NodeList NetCmd::NcmdSrhDevice(const AnswerObserver& onAnswer) {
    tracef(m_trace, "\n calling NcmdSrhDevice!");
    devices.clear();
    for (int pass = 0; pass < searchPasses && !m_stopped.load(); ++pass) {
        sendRequest("0.0.0.0", port, m_options.remotePort, nullptr, 0);
        pollAnswers(5, [&](long received) {
            tracef(m_trace, "\n ackLength=[%ld]", received);
            netcmd::walkRecords(buffer, received, m_trace, [&](std::span<const std::uint8_t> record) {
                if (!netcmd::isSearchAnswer(record) || containsMac(devices, netcmd::searchAnswerMac(record)))
                    return false;
                auto node = netcmd::parseSearchAnswer(record, m_trace);
                if (node) {
                    if (onAnswer)
                        onAnswer(*node);
                    devices.push_back(std::move(node));
                }
                return false;
            });
            return false;
        });
    }
    closeSocket();
    NodeList result;
    result.swap(devices);
    return result;
}

int NetCmd::NcmdLogin(_KT550Node& node, std::string_view account, std::string_view password) {
    std::size_t length = netcmd::buildLoginStart(buffer, nonce);
    if (sendToNode(node, length) < 0) {
        tracef(m_trace, "NetCmd Login Fail:Didn't Receive Ack!");
        return -1;
    }

    netcmd::AnswerResult start = netcmd::AnswerResult::NotIt;
    pollAnswers(answerPolls, [&](long received) {
        if (received <= 0 || received > static_cast<long>(buffer.size()))
            return false;
        start =
            netcmd::parseLoginAnswer({buffer.data(), static_cast<std::size_t>(received)}, netcmd::kOpLoginStartAnswer)
                .result;
        return start != netcmd::AnswerResult::NotIt;
    });
    if (start == netcmd::AnswerResult::Refused) {
        tracef(m_trace, "NetCmd Login Fail:Connection ID!");
        return -1;
    }
    if (start != netcmd::AnswerResult::Accepted) {
        tracef(m_trace, "NetCmd Login Fail:Didn't Receive Ack!");
        return -1;
    }

    length = netcmd::buildLoginCredentials(buffer, nonce, account, password);
    if (length == 0 || sendToNode(node, length) < 0)
        return -1;
    netcmd::LoginAnswer answer;
    pollAnswers(answerPolls, [&](long received) {
        if (received <= 0 || received > static_cast<long>(buffer.size()))
            return false;
        answer = netcmd::parseLoginAnswer({buffer.data(), static_cast<std::size_t>(received)},
                                          netcmd::kOpLoginCredentialsAnswer);
        return answer.result != netcmd::AnswerResult::NotIt;
    });
    if (answer.result == netcmd::AnswerResult::Accepted) {
        std::memcpy(node.connectionId, answer.connectionId, 4);
        return 1;
    }
    if (answer.result == netcmd::AnswerResult::Refused)
        tracef(m_trace, "NetCmd Login Fail:Invalid User or Pwd!");
    return -1;
}

int NetCmd::NcmdEEPRomRead(_KT550Node& node, std::uint16_t start, std::uint8_t* destination, std::uint16_t count) {
    tracef(m_trace, "\n->NcmdEEPRomRead()");
    if (!node.loggedIn()) {
        tracef(m_trace, "NetCmd Read EEPROM Fail:Invalid ConnectionId!");
        return -1;
    }
    const std::size_t length = netcmd::buildEepromRead(buffer, node.connectionId, start, count);
    if (sendToNode(node, length) < 0) {
        tracef(m_trace, "NetCmd Read EEPROM Fail:Never Receive Ack!");
        return -1;
    }

    int result = 0;
    pollAnswers(answerPolls, [&](long received) {
        tracef(m_trace, "\n ackLength=[%ld]", received);
        netcmd::walkRecords(buffer, received, m_trace, [&](std::span<const std::uint8_t> record) {
            switch (netcmd::matchEepromReadAnswer(record, start, count)) {
            case netcmd::AnswerResult::Accepted:
                if (destination)
                    std::memcpy(destination, record.data() + netcmd::kHeaderSize, count);
                result = 1;
                return true;
            case netcmd::AnswerResult::Refused:
                result = -1;
                return true;
            case netcmd::AnswerResult::NotIt:
                break;
            }
            tracef(m_trace, "\n Error: cmd failure!");
            return false;
        });
        return result != 0;
    });
    if (result == 1)
        return 1;
    tracef(m_trace, result == -1 ? "NetCmd Read EEPROM Fail:Ack Fail!" : "NetCmd Read EEPROM Fail:Never Receive Ack!");
    return -1;
}

int NetCmd::NcmdEEPRomWrite(_KT550Node& node, std::uint16_t start, const std::uint8_t* source, std::uint16_t count) {
    if (!node.loggedIn()) {
        tracef(m_trace, "NetCmd Write EEPROM Fail:Invalid ConnectionId!");
        return -1;
    }
    if (!source && count > 0)
        return -1;
    const std::size_t length =
        netcmd::buildEepromWrite(buffer, node.connectionId, start, {source, source ? count : std::size_t{0}});
    if (length == 0)
        return -1;
    if (sendToNode(node, length) < 0) {
        tracef(m_trace, "NetCmd Write EEPROM Fail:Never Receive Ack!");
        return -1;
    }

    netcmd::AnswerResult answer = netcmd::AnswerResult::NotIt;
    pollAnswers(answerPolls, [&](long received) {
        if (received <= 0 || received > static_cast<long>(buffer.size()))
            return false;
        answer = netcmd::parseEepromWriteAnswer({buffer.data(), static_cast<std::size_t>(received)});
        return answer != netcmd::AnswerResult::NotIt;
    });
    if (answer == netcmd::AnswerResult::Accepted)
        return 1;
    tracef(m_trace, answer == netcmd::AnswerResult::Refused ? "NetCmd Write EEPROM Fail:Ack Fail!"
                                                            : "NetCmd Write EEPROM Fail:Never Receive Ack!");
    return -1;
}

int NetCmd::NcmdWriteDone(_KT550Node& node) {
    const std::size_t length = netcmd::buildWriteDone(buffer, node.connectionId);
    if (sendToNode(node, length) < 0)
        return -1;
    netcmd::AnswerResult answer = netcmd::AnswerResult::NotIt;
    pollAnswers(answerPolls, [&](long received) {
        if (received <= 0 || received > static_cast<long>(buffer.size()))
            return false;
        answer = netcmd::parseWriteDoneAnswer({buffer.data(), static_cast<std::size_t>(received)});
        return answer != netcmd::AnswerResult::NotIt;
    });
    return answer == netcmd::AnswerResult::Accepted ? 1 : -1;
}
