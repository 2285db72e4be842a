#pragma once
// The device-management endpoint: NetCmd requests over UDP (search broadcast, login, EEPROM
// read, write and write-complete) and the polling of their answers. One per program.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

#include "bridge/portable_sock.h"
#include "device/kt550_node.h"
#include "device/netcmd_trace.h"

struct NetCmdOptions {
    // Local and remote UDP ports. The devices use 8000 for both; a test on loopback gives
    // the local side 0 (any free port) so it can run beside its own responder.
    std::uint16_t localPort = 8000;
    std::uint16_t remotePort = 8000;
    // Destinations of the search broadcast (host byte order). Unset: one broadcast per local
    // subnet, from the interfaces that are up.
    std::function<std::vector<std::uint32_t>()> broadcastTargets;
    // Receive buffer asked of the kernel: room for about a thousand simultaneous answers.
    int receiveBufferBytes = 4 * 1024 * 1024;
};

class NetCmd {
public:
    // Timeouts in milliseconds; the program uses (0, 3000, 2000): 3 search passes and 10
    // answer polls of 200 ms. A non-zero `ownsSocketLibrary` starts (and later stops) the
    // socket layer; otherwise the caller has started it.
    NetCmd(int ownsSocketLibraryFlag, int searchTimeoutMs, int answerTimeoutMs, NetCmdOptions options = {});
    ~NetCmd();
    NetCmd(const NetCmd&) = delete;
    NetCmd& operator=(const NetCmd&) = delete;

    // Trace lines are dropped until a sink is installed.
    void setTraceSink(TraceSink sink) { m_trace = std::move(sink); }
    const TraceSink& traceSink() const { return m_trace; }

    // Broadcasts the search `searchPasses` times, collecting one node per MAC (the first
    // answer wins). `onAnswer` sees each new node as it is added (for a live display).
    using AnswerObserver = std::function<void(const _KT550Node&)>;
    NodeList NcmdSrhDevice(const AnswerObserver& onAnswer = {});

    // Each returns 1 on success, -1 on failure (with one trace message where one applies).
    int NcmdLogin(_KT550Node& node, std::string_view account, std::string_view password);
    int NcmdEEPRomRead(_KT550Node& node, std::uint16_t start, std::uint8_t* destination, std::uint16_t count);
    int NcmdEEPRomWrite(_KT550Node& node, std::uint16_t start, const std::uint8_t* source, std::uint16_t count);
    int NcmdWriteDone(_KT550Node& node);

    // Sends `length` bytes of `data` from a fresh socket; the destination "0.0.0.0" is the
    // search broadcast instead (data and length are then ignored). -1 on failure.
    int sendRequest(const char* destination, std::uint16_t localPortNumber, std::uint16_t remotePortNumber,
                    const std::uint8_t* data, int length);
    // One non-blocking receive: the datagram's full length (which may exceed `size`, when
    // only `size` bytes were stored), or -1 when nothing is waiting. Takes any sender.
    int receiveAnswer(std::uint8_t* into, int size);

    // Any thread: a running or later search or exchange stops at its next look (within
    // kStopLookMs) as if nothing had answered. For the end of the program; not undone.
    void stop() { m_stopped.store(true); }
    static constexpr int kStopLookMs = 50;

    // Datagrams sent since creation (every unicast and every broadcast destination).
    std::uint64_t sentDatagrams() const { return m_sent; }
    std::uint16_t remotePort() const { return m_options.remotePort; }

    // The endpoint's state, in the protocol's order.
    std::uint32_t nonce = 1;
    NodeList devices;                 // answers of the search in progress
    std::vector<std::uint8_t> buffer; // every request and every answer; 8192 bytes
    int ownsSocketLibrary = 0;
    std::uint16_t pollInterval = 200; // milliseconds between polls
    std::uint16_t port = 8000;
    std::uint8_t searchPasses = 1;
    std::uint8_t answerPolls = 1;

private:
    void closeSocket();
    bool openSocket(int protocol);
    int broadcastSearch();
    int sendUnicast(const char* destination, std::uint16_t localPortNumber, std::uint16_t remotePortNumber,
                    const std::uint8_t* data, int length);
    // Sends the request in `buffer` to the node's address; -1 when it cannot be sent.
    int sendToNode(const _KT550Node& node, std::size_t length);
    // Runs up to `polls` polls of `pollInterval`. Every datagram that arrives is received
    // into `buffer` and given to `onDatagram(received)` at once, so none waits in the kernel
    // for a later poll; a poll that received nothing calls it once with -1. After a unicast
    // request only datagrams from its destination count; others are dropped unseen. Returns
    // true as soon as `onDatagram` does.
    bool pollAnswers(int polls, const std::function<bool(long received)>& onDatagram);
    // Whether the datagram waiting next comes from where the unicast request went; traces
    // and drops it when not. True after a broadcast, whose answers come from anyone.
    bool nextAnswerFromDestination();
    std::string nodeIpText(const _KT550Node& node) const;

    NetCmdOptions m_options;
    TraceSink m_trace;
    SocketHandle m_socket = -1;
    Winsock_sockaddr_in m_remote;
    Winsock_sockaddr_in m_local;
    int m_useCount = 0;
    std::uint64_t m_sent = 0;
    // Address and port (network order) of the last unicast request; unset for a broadcast.
    struct Destination {
        std::uint32_t address;
        std::uint16_t port;
    };
    std::optional<Destination> m_answerSource;
    std::atomic<bool> m_stopped{false};
};
