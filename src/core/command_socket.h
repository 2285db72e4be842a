#pragma once
// The I/O side of the running program's control channel: a Unix stream socket served by one
// thread of its own (epoll, non-blocking sockets). It cuts what clients send into request
// lines, hands each on, and writes back what the program answers; it knows no command.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/result.h"

#include "core/command_protocol.h"

namespace core {

class ControlChannel {
public:
    using ClientId = std::uint64_t;
    // Channel thread: one request line of a client (without its LF). The client's next line
    // waits until this request's final answer has been given. It may be called before open()
    // has returned, so it answers through the channel it is handed.
    using RequestHandler = std::function<void(ControlChannel& channel, ClientId client, std::string line)>;
    // Channel thread: appends about `room` bytes more of a long answer to `out`; false once
    // the answer is complete (its last line then is in `out`).
    using Stream = std::function<bool(std::string& out, std::size_t room)>;

    struct Limits {
        std::size_t maxLine = kMaxControlLine;
        // A client whose unsent answers grow beyond this has stopped reading: it is dropped.
        std::size_t maxPending = std::size_t{4} << 20;
        // A stream is asked for more while less than this waits to be sent.
        std::size_t streamChunk = std::size_t{64} << 10;
        // A stream that had nothing to give is asked again after this.
        std::chrono::milliseconds streamPoll{100};
        std::size_t maxClients = 128;
        // A client that sends no complete request for this long (counted from its connection,
        // its last answer or the last bytes it read) is dropped, so idle connections cannot
        // use up maxClients. One waiting for an answer or following a log is not idle.
        std::chrono::milliseconds idleLimit{10000};
    };

    // Serves `path` (mode 0600) to processes of this user only. A socket file left there is
    // replaced: the caller holds the owner lock, so whoever made it has gone.
    using Opened = Result<std::unique_ptr<ControlChannel>, std::string>;
    static Opened open(const std::string& path, RequestHandler handler, const Limits& limits);
    static Opened open(const std::string& path, RequestHandler handler) {
        return open(path, std::move(handler), Limits{});
    }
    // Drops every client and removes the socket file (only if it is still ours).
    ~ControlChannel();
    ControlChannel(const ControlChannel&) = delete;
    ControlChannel& operator=(const ControlChannel&) = delete;

    // Any thread. Queues `text` for the client; with `final` its request is answered and the
    // next one is read. Nothing happens for a client that has gone.
    void reply(ClientId client, std::string text, bool final = true);
    // Any thread. The rest of the client's answer comes from `stream`, pulled as the client
    // reads; the request is answered when the stream ends.
    void stream(ClientId client, Stream stream);

    const std::string& path() const { return m_path; }

private:
    struct Client;
    struct Outgoing {
        ClientId client = 0;
        std::string text;
        bool final = false;
        Stream stream;
    };

    ControlChannel(std::string path, RequestHandler handler, const Limits& limits);
    void run();
    void accept();
    void readFrom(ClientId id, Client& client);
    void takeLines(ClientId id, Client& client);
    void append(Client& client, const std::string& text);
    void flush(Client& client);
    void pump(ClientId id, Client& client);
    void updateInterest(ClientId id, Client& client);
    bool finished(const Client& client) const;
    // Drops the idle clients; returns the milliseconds until the next one would be, or -1.
    int dropIdleClients();
    void post(Outgoing outgoing);

    const std::string m_path;
    const RequestHandler m_handler;
    const Limits m_limits;
    int m_listenFd = -1;
    int m_epollFd = -1;
    int m_wakeFd = -1;
    // Identity of the socket file, so a successor's file is never removed.
    std::uint64_t m_fileDevice = 0;
    std::uint64_t m_fileInode = 0;

    std::mutex m_mutex;
    std::vector<Outgoing> m_outbox;

    // Channel thread only.
    std::unordered_map<ClientId, std::unique_ptr<Client>> m_clients;
    ClientId m_nextId = 16;

    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

} // namespace core
