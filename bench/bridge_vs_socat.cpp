// The bridge against socat on the same workloads, in one run, inside a private network
// namespace: tarnd (TCP client mappings, plain and RFC 2217, whose peer then answers as their
// device server; and plain again with a port monitor watching every mapping through its control
// socket) and socat (pty <-> tcp) each carry an application's
// bytes to a TCP peer on loopback. Prints, per program:
//   - throughput in each direction at 921600 and 4000000 baud, as a share of baud/10 bytes/s
//     (socat does not pace a pseudo-terminal to its line speed, so its share exceeds 100 %);
//   - one-byte round-trip latency, application -> peer -> application (median, p99);
//   - split writes of 2 and 3 bytes 1 ms apart to a peer that delays its ACKs (also through
//     socat without nodelay, which shows what Nagle's algorithm costs);
//   - idle CPU (run time of every thread, from /proc) with 1, 8 and 32 open, connected, idle mappings;
//   - concurrent streams: N mappings in one tarnd (socat: N processes), all 2N directions
//     streaming at once with a bounded window, every byte checked; per direction the minimum,
//     median and maximum share of line rate, then CPU (share of one processor), CPU seconds
//     per MB moved, threads and resident memory, for 32 mappings at 115200 and 16 at 921600.
// Reports numbers; never fails the build and is not a test.
//   bench_bridge_vs_socat [--tarnd PATH] [--seconds S] [--streams-only]
// Needs root (for the namespace); tarnd defaults to ../src/app/tarnd beside this program.

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "bench_support.h"
#include "model/tarn_desc.h"

namespace {

using namespace bench;

constexpr std::uint16_t kPeerPort = 47000;
constexpr auto kIdleWindow = 5s;

// ---- plumbing ------------------------------------------------------------------------------

// CPU time of a process, in seconds: the sum over its threads of the scheduler's run time
// (nanoseconds), far finer than utime + stime in clock ticks, which cannot resolve the few
// milliseconds per second that idle mappings cost. Threads that ended meanwhile are not
// counted; idle mappings start and end none.
double cpuSeconds(pid_t pid) {
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    std::error_code error;
    double total = 0;
    for (const auto& task : std::filesystem::directory_iterator(tasks, error)) {
        std::FILE* f = std::fopen((task.path() / "schedstat").c_str(), "r");
        if (!f)
            continue;
        unsigned long long runNs = 0;
        if (std::fscanf(f, "%llu", &runNs) == 1)
            total += static_cast<double>(runNs) / 1e9;
        std::fclose(f);
    }
    return total;
}

int acceptOne(int listener) {
    pollfd p{listener, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(std::chrono::milliseconds(kSetupLimit).count())) <= 0)
        return -1;
    const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return fd;
}

// Connections left in the listener's queue by an earlier set-up: none of them is the next one's.
void dropQueued(int listener) {
    pollfd p{listener, POLLIN, 0};
    while (::poll(&p, 1, 0) == 1) {
        const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            return;
        ::close(fd);
    }
}

// ---- the device server's end of an RFC 2217 mapping ----------------------------------------

// The server's side of the Telnet framing, just enough to measure through: it agrees to
// whatever the mapping offers, drops commands, and escapes and unescapes 0xFF.
struct TelnetPeer {
    enum class State { Data, Iac, Option, Sub, SubIac } state = State::Data;
    std::uint8_t verb = 0;
};
std::map<int, TelnetPeer> g_telnetPeers;
bool g_rfc2217 = false; // the mappings tarnd is started with are RFC 2217 ones

void sendAll(int fd, const std::uint8_t* data, std::size_t size) {
    for (std::size_t sent = 0; sent < size;) {
        const ssize_t n = ::send(fd, data + sent, size - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN)
            return;
        pollfd p{fd, POLLOUT, 0};
        ::poll(&p, 1, 10);
    }
}

// read() for either end: from a Telnet peer, only the application's bytes.
ssize_t readEnd(int fd, std::uint8_t* into, std::size_t size) {
    const auto peer = g_telnetPeers.find(fd);
    if (peer == g_telnetPeers.end())
        return ::read(fd, into, size);
    std::uint8_t raw[65536];
    const ssize_t n = ::read(fd, raw, std::min(size, sizeof raw));
    if (n <= 0)
        return n;
    TelnetPeer& t = peer->second;
    std::size_t out = 0;
    std::vector<std::uint8_t> answers;
    for (ssize_t i = 0; i < n; ++i) {
        const std::uint8_t b = raw[i];
        switch (t.state) {
        case TelnetPeer::State::Data:
            if (b == 0xFF)
                t.state = TelnetPeer::State::Iac;
            else
                into[out++] = b;
            break;
        case TelnetPeer::State::Iac:
            t.state = b == 0xFF   ? (into[out++] = b, TelnetPeer::State::Data)
                      : b == 0xFA ? TelnetPeer::State::Sub
                      : b >= 0xFB ? (t.verb = b, TelnetPeer::State::Option)
                                  : TelnetPeer::State::Data;
            break;
        case TelnetPeer::State::Option:
            // WILL gets DO, DO gets WILL; refusals need no answer.
            if (t.verb == 0xFB || t.verb == 0xFD)
                answers.insert(answers.end(), {0xFF, static_cast<std::uint8_t>(t.verb == 0xFB ? 0xFD : 0xFB), b});
            t.state = TelnetPeer::State::Data;
            break;
        case TelnetPeer::State::Sub:
            if (b == 0xFF)
                t.state = TelnetPeer::State::SubIac;
            break;
        case TelnetPeer::State::SubIac:
            t.state = b == 0xF0 ? TelnetPeer::State::Data : TelnetPeer::State::Sub;
            break;
        }
    }
    if (!answers.empty())
        sendAll(fd, answers.data(), answers.size());
    if (out == 0) {
        errno = EAGAIN;
        return -1;
    }
    return static_cast<ssize_t>(out);
}

// write() for either end: to a Telnet peer, escaped and whole.
ssize_t writeEnd(int fd, const std::uint8_t* data, std::size_t size) {
    if (!g_telnetPeers.count(fd))
        return ::write(fd, data, size);
    std::vector<std::uint8_t> wire;
    wire.reserve(size + size / 64);
    for (std::size_t i = 0; i < size; ++i) {
        wire.push_back(data[i]);
        if (data[i] == 0xFF)
            wire.push_back(0xFF);
    }
    sendAll(fd, wire.data(), wire.size());
    return static_cast<ssize_t>(size);
}

// Moves `total` bytes from `from` to `to` (both non-blocking), the writer on its own thread.
// Returns the seconds from the first write until the last byte was read, or -1.
double timeTransfer(int from, int to, std::size_t total) {
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        std::vector<std::uint8_t> chunk(16384);
        for (std::size_t i = 0; i < chunk.size(); ++i)
            chunk[i] = static_cast<std::uint8_t>(i * 7);
        std::size_t sent = 0;
        while (sent < total && !stop.load()) {
            const ssize_t n = writeEnd(from, chunk.data(), std::min(chunk.size(), total - sent));
            if (n > 0) {
                sent += static_cast<std::size_t>(n);
                continue;
            }
            pollfd p{from, POLLOUT, 0};
            ::poll(&p, 1, 10);
        }
    });
    const auto start = Clock::now();
    std::size_t received = 0;
    std::vector<std::uint8_t> buffer(65536);
    const auto deadline = start + 120s;
    while (received < total && Clock::now() < deadline) {
        const ssize_t n = readEnd(to, buffer.data(), buffer.size());
        if (n > 0) {
            received += static_cast<std::size_t>(n);
            continue;
        }
        pollfd p{to, POLLIN, 0};
        ::poll(&p, 1, 10);
    }
    const double seconds = secondsSince(start);
    stop.store(true);
    writer.join();
    return received == total ? seconds : -1;
}

bool readOne(int fd, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    std::uint8_t byte;
    while (Clock::now() < deadline) {
        if (readEnd(fd, &byte, 1) == 1)
            return true;
        pollfd p{fd, POLLIN, 0};
        ::poll(&p, 1, 5);
    }
    return false;
}

// Round trips of one byte: application -> peer, then peer -> application. Microseconds.
std::vector<double> roundTrips(int app, int peer, int count) {
    std::vector<double> times;
    const std::uint8_t byte = 0x55;
    for (int i = 0; i < count; ++i) {
        const auto start = Clock::now();
        if (::write(app, &byte, 1) != 1 || !readOne(peer, 5s) || writeEnd(peer, &byte, 1) != 1 || !readOne(app, 5s))
            break;
        times.push_back(secondsSince(start) * 1e6);
    }
    std::sort(times.begin(), times.end());
    return times;
}

// Split writes of 2 and then 3 bytes, 1 ms apart, to a peer that delays its ACKs as a small
// device does: microseconds until the peer has all 5. A sender that holds back the second
// segment until the first one's ACK (Nagle's algorithm) shows the peer's delayed-ACK time.
std::vector<double> splitWrites(int app, int peer, int count) {
    std::vector<double> times;
    const std::uint8_t bytes[5] = {1, 2, 3, 4, 5};
    for (int i = 0; i < count; ++i) {
        const int off = 0;
        ::setsockopt(peer, IPPROTO_TCP, TCP_QUICKACK, &off, sizeof off);
        const auto start = Clock::now();
        if (::write(app, bytes, 2) != 2)
            break;
        std::this_thread::sleep_for(1ms);
        if (::write(app, bytes + 2, 3) != 3)
            break;
        int received = 0;
        const auto deadline = start + 5s;
        while (received < 5 && Clock::now() < deadline) {
            std::uint8_t chunk[8];
            const ssize_t n = readEnd(peer, chunk, sizeof chunk);
            if (n > 0) {
                received += static_cast<int>(n);
                continue;
            }
            pollfd p{peer, POLLIN, 0};
            ::poll(&p, 1, 5);
        }
        if (received != 5)
            break;
        times.push_back(secondsSince(start) * 1e6);
        std::this_thread::sleep_for(50ms); // past the peer's delayed-ACK timer
    }
    std::sort(times.begin(), times.end());
    return times;
}

double percentile(const std::vector<double>& sorted, double share) {
    if (sorted.empty())
        return -1;
    const std::size_t at =
        std::min(sorted.size() - 1, static_cast<std::size_t>(share * static_cast<double>(sorted.size())));
    return sorted[at];
}

// The byte at `offset` of stream `stream`: a shifted, lost, doubled or crossed byte shows.
std::uint8_t streamByte(std::size_t stream, std::uint64_t offset) {
    return static_cast<std::uint8_t>(offset * 7 + offset / 251 + stream * 31);
}

// One direction of one mapping: written at one end, read and checked at the other.
struct Stream {
    int from = -1, to = -1;
    std::size_t index = 0;
    std::uint64_t written = 0, received = 0, bad = 0;
    std::uint64_t receivedAtStart = 0, receivedAtEnd = 0;
};

// ---- the two programs ---------------------------------------------------------------------

// Port monitors on a running tarnd: one control-socket client a mapping, each asking for its
// records and reading them as fast as they come, on a thread of the bench's own.
struct Watchers {
    std::vector<int> fds;
    std::atomic<bool> stop{false};
    std::atomic<std::uint64_t> bytes{0};
    std::thread reader;

    ~Watchers() {
        stop = true;
        if (reader.joinable())
            reader.join();
        for (int fd : fds)
            ::close(fd);
    }
    bool watch(const std::string& socketPath, int count) {
        for (int i = 1; i <= count; ++i) {
            const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_un address{};
            address.sun_family = AF_UNIX;
            std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socketPath.c_str());
            if (fd < 0 || ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
                if (fd >= 0)
                    ::close(fd);
                return false;
            }
            fds.push_back(fd);
            const std::string request = "monitor\tCOM" + std::to_string(i) + "\n";
            if (::write(fd, request.data(), request.size()) != static_cast<ssize_t>(request.size()))
                return false;
        }
        reader = std::thread([this] {
            std::vector<pollfd> polled;
            for (int fd : fds)
                polled.push_back({fd, POLLIN, 0});
            std::vector<char> buffer(65536);
            while (!stop) {
                if (::poll(polled.data(), polled.size(), 50) <= 0)
                    continue;
                for (pollfd& p : polled) {
                    if (p.revents & POLLIN) {
                        const ssize_t n = ::read(p.fd, buffer.data(), buffer.size());
                        if (n > 0)
                            bytes += static_cast<std::uint64_t>(n);
                    }
                    if (p.revents & (POLLHUP | POLLERR))
                        p.fd = -1;
                }
            }
        });
        return true;
    }
};

// One running program with `count` mappings, each an application end and a peer end.
struct Setup {
    std::vector<pid_t> pids;
    std::vector<int> apps;
    std::vector<int> peers;
    std::vector<std::string> links;
    std::unique_ptr<Watchers> watchers;
    bool ok = false;

    // The programs end first: a mapping whose peer hung up would connect again, and leave
    // a connection in the listener's queue that the next set-up would take for its own.
    ~Setup() {
        for (pid_t pid : pids)
            stopProcess(pid);
        watchers.reset();
        for (int fd : apps)
            ::close(fd);
        for (int fd : peers) {
            g_telnetPeers.erase(fd);
            ::close(fd);
        }
    }
};

std::string g_tarnd;
std::string g_home;

void startTarnd(Setup& setup, int listener, int count, std::uint32_t baud) {
    dropQueued(listener);
    const std::string run = g_home + "/run", config = g_home + "/config";
    std::filesystem::remove_all(run);
    std::filesystem::remove_all(config);
    std::filesystem::create_directories(run);
    std::filesystem::create_directories(config + "/tarn");
    std::FILE* f = std::fopen((config + "/tarn/79828669767684658278").c_str(), "wb");
    if (!f)
        return;
    for (int i = 1; i <= count; ++i) {
        tarnDesc desc;
        desc.comNum = i;
        desc.mode = kModeTcpClient;
        std::snprintf(desc.ipAddress, sizeof desc.ipAddress, "127.0.0.1");
        desc.remotePort = kPeerPort;
        if (g_rfc2217)
            setRfc2217(desc, true);
        const DescRecord record = encodeDesc(desc);
        std::fwrite(record.data(), 1, record.size(), f);
    }
    std::fclose(f);
    ::setenv("XDG_RUNTIME_DIR", run.c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", config.c_str(), 1);
    setup.pids.push_back(spawn({g_tarnd, "--no-search"}, true));
    for (int i = 1; i <= count; ++i) {
        const std::string link = run + "/tarn/COM" + std::to_string(i);
        struct stat st;
        if (!waitFor([&] { return ::lstat(link.c_str(), &st) == 0; }))
            return;
        // A client mapping connects once its port is open, so each accept is this one's.
        const int app = openApplication(link, baud);
        const int peer = app < 0 ? -1 : acceptOne(listener);
        if (peer < 0)
            return;
        if (g_rfc2217)
            g_telnetPeers[peer] = {};
        setup.apps.push_back(app);
        setup.peers.push_back(peer);
    }
    setup.ok = true;
}

// The same with RFC 2217 mappings, the peer answering as their device server.
void startTarndRfc2217(Setup& setup, int listener, int count, std::uint32_t baud) {
    g_rfc2217 = true;
    startTarnd(setup, listener, count, baud);
    g_rfc2217 = false;
}

// The same plain mappings, each watched by a port monitor that takes every record.
void startTarndWatched(Setup& setup, int listener, int count, std::uint32_t baud) {
    startTarnd(setup, listener, count, baud);
    if (!setup.ok)
        return;
    setup.ok = false;
    setup.watchers = std::make_unique<Watchers>();
    if (setup.watchers->watch(g_home + "/run/tarn/tarn.sock", count))
        setup.ok = true;
}

// socat as most bridges are set up, with Nagle's algorithm on: for the split-write figure.
bool g_socatNagle = false;

void startSocat(Setup& setup, int listener, int count, std::uint32_t baud) {
    dropQueued(listener);
    const std::string dir = g_home + "/socat";
    std::filesystem::create_directories(dir);
    for (int i = 1; i <= count; ++i) {
        const std::string link = dir + "/pty" + std::to_string(i);
        ::unlink(link.c_str());
        setup.pids.push_back(spawn({"socat", "pty,link=" + link + ",raw,echo=0",
                                    "tcp:127.0.0.1:" + std::to_string(kPeerPort) + (g_socatNagle ? "" : ",nodelay")},
                                   true));
        const int peer = acceptOne(listener);
        struct stat st;
        if (peer < 0 || !waitFor([&] { return ::lstat(link.c_str(), &st) == 0; }))
            return;
        const int app = openApplication(link, baud);
        if (app < 0)
            return;
        setup.apps.push_back(app);
        setup.peers.push_back(peer);
    }
    setup.ok = true;
}

using Starter = void (*)(Setup&, int, int, std::uint32_t);

struct Results {
    double share[2][2] = {{-1, -1}, {-1, -1}}; // [baud 921600, 4000000][app->net, net->app]
    double latencyMedian = -1, latencyP99 = -1;
    double splitMedian = -1, splitP99 = -1;
    double idleCpu[3] = {-1, -1, -1}; // 1, 8, 32 mappings, percent of one processor
};

// Concurrent streams: per direction (0 app -> net, 1 net -> app) the minimum, median and
// maximum per-stream share of line rate, and the program's cost while they run.
struct StreamResults {
    int count = 0;
    std::uint32_t baud = 0;
    double share[2][3] = {{-1, -1, -1}, {-1, -1, -1}};
    double cpu = -1;      // percent of one processor
    double cpuPerMb = -1; // CPU seconds per MB moved (all directions)
    long threads = -1;
    long rssKb = -1;
    std::uint64_t badBytes = 0;
    bool ok = false;
};

// Moves what the window allows on every stream, reading and checking whatever arrived.
void pumpStreams(std::vector<Stream>& streams, std::uint64_t window, std::vector<std::uint8_t>& buffer) {
    for (Stream& s : streams) {
        while (s.written - s.received < window) {
            const std::size_t want = std::min<std::uint64_t>({window - (s.written - s.received), buffer.size()});
            for (std::size_t i = 0; i < want; ++i)
                buffer[i] = streamByte(s.index, s.written + i);
            const ssize_t n = writeEnd(s.from, buffer.data(), want);
            if (n <= 0)
                break;
            s.written += static_cast<std::uint64_t>(n);
        }
        for (;;) {
            const ssize_t n = readEnd(s.to, buffer.data(), buffer.size());
            if (n <= 0)
                break;
            for (ssize_t i = 0; i < n; ++i)
                if (buffer[static_cast<std::size_t>(i)] !=
                    streamByte(s.index, s.received + static_cast<std::uint64_t>(i)))
                    ++s.bad;
            s.received += static_cast<std::uint64_t>(n);
        }
    }
}

StreamResults measureStreams(Starter start, int listener, int count, std::uint32_t baud, double seconds) {
    StreamResults results;
    results.count = count;
    results.baud = baud;
    Setup setup;
    start(setup, listener, count, baud);
    if (!setup.ok)
        return results;
    std::vector<Stream> streams;
    for (int i = 0; i < count; ++i) {
        const auto at = static_cast<std::size_t>(i);
        streams.push_back({setup.apps[at], setup.peers[at], streams.size()});
        streams.push_back({setup.peers[at], setup.apps[at], streams.size()});
    }
    const double lineRate = baud / 10.0;
    // A fifth of a second of line rate in flight: enough to keep every line busy, bounded so
    // that an unpaced program (socat) cannot pile up unlimited data.
    const auto window = std::max<std::uint64_t>(4096, static_cast<std::uint64_t>(lineRate / 5));
    std::vector<std::uint8_t> buffer(65536);
    std::vector<pollfd> fds;
    auto run = [&](double runSeconds) {
        const auto until = Clock::now() + std::chrono::duration<double>(runSeconds);
        while (Clock::now() < until) {
            pumpStreams(streams, window, buffer);
            // The window holds far more than a few milliseconds of line rate, so this loop
            // can sleep between rounds and stay cheap beside the program under test.
            std::this_thread::sleep_for(2ms);
        }
    };
    run(1.0); // every stream up to speed
    const auto t0 = Clock::now();
    for (Stream& s : streams)
        s.receivedAtStart = s.received;
    double cpuBefore = 0;
    for (pid_t pid : setup.pids)
        cpuBefore += cpuSeconds(pid);
    run(seconds);
    double cpuAfter = 0;
    for (pid_t pid : setup.pids)
        cpuAfter += cpuSeconds(pid);
    for (Stream& s : streams)
        s.receivedAtEnd = s.received;
    const double elapsed = secondsSince(t0);
    results.threads = statusField(setup.pids, "Threads");
    results.rssKb = statusField(setup.pids, "VmRSS");
    // The rest in flight arrives too, and is checked.
    run(1.0);

    double moved = 0;
    std::vector<double> shares[2];
    for (const Stream& s : streams) {
        const double bytes = static_cast<double>(s.receivedAtEnd - s.receivedAtStart);
        moved += bytes;
        shares[s.index % 2].push_back(100.0 * bytes / elapsed / lineRate);
        results.badBytes += s.bad;
    }
    for (int d = 0; d < 2; ++d) {
        std::sort(shares[d].begin(), shares[d].end());
        results.share[d][0] = shares[d].front();
        results.share[d][1] = shares[d][shares[d].size() / 2];
        results.share[d][2] = shares[d].back();
    }
    results.cpu = 100.0 * (cpuAfter - cpuBefore) / elapsed;
    results.cpuPerMb = moved > 0 ? (cpuAfter - cpuBefore) / (moved / 1e6) : -1;
    results.ok = true;
    return results;
}

Results measure(Starter start, int listener, double seconds) {
    Results results;
    const std::uint32_t bauds[2] = {921600, 4000000};
    {
        Setup setup;
        start(setup, listener, 1, bauds[0]);
        if (!setup.ok) {
            std::fprintf(stderr, "  set-up failed\n");
            return results;
        }
        for (int b = 0; b < 2; ++b) {
            setSpeed(setup.apps[0], bauds[b]);
            const double lineRate = bauds[b] / 10.0;
            const auto bytes = static_cast<std::size_t>(lineRate * seconds);
            const double out = timeTransfer(setup.apps[0], setup.peers[0], bytes);
            const double in = timeTransfer(setup.peers[0], setup.apps[0], bytes);
            results.share[b][0] = out > 0 ? 100.0 * (static_cast<double>(bytes) / out) / lineRate : -1;
            results.share[b][1] = in > 0 ? 100.0 * (static_cast<double>(bytes) / in) / lineRate : -1;
        }
        setSpeed(setup.apps[0], bauds[0]);
        const auto trips = roundTrips(setup.apps[0], setup.peers[0], 300);
        results.latencyMedian = percentile(trips, 0.5);
        results.latencyP99 = percentile(trips, 0.99);
        const auto splits = splitWrites(setup.apps[0], setup.peers[0], 60);
        results.splitMedian = percentile(splits, 0.5);
        results.splitP99 = percentile(splits, 0.99);
    }
    const int counts[3] = {1, 8, 32};
    for (int c = 0; c < 3; ++c) {
        Setup setup;
        start(setup, listener, counts[c], bauds[0]);
        if (!setup.ok)
            continue;
        std::this_thread::sleep_for(500ms); // let the set-up's own work settle
        double before = 0, after = 0;
        for (pid_t pid : setup.pids)
            before += cpuSeconds(pid);
        const auto t0 = Clock::now();
        std::this_thread::sleep_for(kIdleWindow);
        for (pid_t pid : setup.pids)
            after += cpuSeconds(pid);
        results.idleCpu[c] = 100.0 * (after - before) / secondsSince(t0);
    }
    return results;
}

std::string cell(double value, const char* format) {
    if (value < 0)
        return "n/a";
    char text[32];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

// One program measured: its column in the table.
struct Column {
    std::string name;
    Starter start = nullptr;
    std::string tarnd; // for tarnd columns
    Results results;
    StreamResults streams[2];
};

// The concurrent-streams workloads: mappings and baud rate.
constexpr int kStreamMappings[2] = {32, 16};
constexpr std::uint32_t kStreamBauds[2] = {115200, 921600};

void printRow(const std::string& label, const std::vector<Column>& columns,
              const std::function<std::string(const Column&)>& value) {
    std::printf("%-52s", label.c_str());
    for (const Column& column : columns)
        std::printf(" %16s", value(column).c_str());
    std::printf("\n");
}

} // namespace

int main(int argc, char** argv) {
    double seconds = 3;
    bool streamsOnly = false;
    std::string baseline;
    char self[4096] = {};
    if (::readlink("/proc/self/exe", self, sizeof self - 1) > 0)
        g_tarnd = (std::filesystem::path(self).parent_path().parent_path() / "src/app/tarnd").string();
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--tarnd" && i + 1 < argc)
            g_tarnd = argv[++i];
        else if (arg == "--baseline" && i + 1 < argc)
            baseline = argv[++i];
        else if (arg == "--seconds" && i + 1 < argc)
            seconds = std::max(0.5, std::atof(argv[++i]));
        else if (arg == "--streams-only")
            streamsOnly = true;
        else {
            std::printf("usage: %s [--tarnd PATH] [--baseline PATH] [--seconds S] [--streams-only]\n"
                        "  --baseline PATH  a second tarnd (an earlier build) measured in the same run\n",
                        argv[0]);
            return 0;
        }
    }
    std::string why;
    if (!enterPrivateNamespace(why)) {
        std::printf("bridge_vs_socat: skipped, no private network namespace (%s)\n", why.c_str());
        return 0;
    }
    if (::access(g_tarnd.c_str(), X_OK) != 0 || (!baseline.empty() && ::access(baseline.c_str(), X_OK) != 0)) {
        std::printf("bridge_vs_socat: skipped, no tarnd at %s (use --tarnd, --baseline)\n",
                    ::access(g_tarnd.c_str(), X_OK) != 0 ? g_tarnd.c_str() : baseline.c_str());
        return 0;
    }
    const bool haveSocat = std::system("socat -V >/dev/null 2>&1") == 0;
    char pattern[] = "/tmp/tarn-bench-XXXXXX";
    if (!::mkdtemp(pattern))
        return 0;
    g_home = pattern;
    std::signal(SIGPIPE, SIG_IGN);

    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(kPeerPort);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listener, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(listener, 64) != 0) {
        std::printf("bridge_vs_socat: cannot listen on 127.0.0.1:%u\n", kPeerPort);
        return 0;
    }

    std::vector<Column> columns;
    columns.push_back({"tarnd", startTarnd, g_tarnd, {}, {}});
    columns.push_back({"tarnd rfc2217", startTarndRfc2217, g_tarnd, {}, {}});
    columns.push_back({"tarnd watched", startTarndWatched, g_tarnd, {}, {}});
    if (!baseline.empty())
        columns.push_back({"tarnd baseline", startTarnd, baseline, {}, {}});
    if (haveSocat)
        columns.push_back({"socat", startSocat, {}, {}, {}});
    std::printf("bridge_vs_socat: %.1f s per throughput measurement, peer on 127.0.0.1:%u\n", seconds, kPeerPort);
    for (Column& column : columns) {
        std::printf("measuring %s%s...\n", column.name.c_str(),
                    column.tarnd.empty() ? "" : (" (" + column.tarnd + ")").c_str());
        g_tarnd = column.tarnd;
        if (!streamsOnly)
            column.results = measure(column.start, listener, seconds);
        for (int w = 0; w < 2; ++w) {
            column.streams[w] = measureStreams(column.start, listener, kStreamMappings[w], kStreamBauds[w], seconds);
            if (!column.streams[w].ok)
                std::fprintf(stderr, "  streams: set-up failed\n");
        }
    }

    Results nagle;
    if (haveSocat && !streamsOnly) {
        std::printf("measuring socat without nodelay (split writes)...\n");
        g_socatNagle = true;
        Setup setup;
        startSocat(setup, listener, 1, 921600);
        if (setup.ok) {
            const auto splits = splitWrites(setup.apps[0], setup.peers[0], 60);
            nagle.splitMedian = percentile(splits, 0.5);
            nagle.splitP99 = percentile(splits, 0.99);
        }
        g_socatNagle = false;
    }

    std::printf("\n%-52s", "");
    for (const Column& column : columns)
        std::printf(" %16s", column.name.c_str());
    std::printf("\n");
    if (!streamsOnly) {
        const char* bauds[2] = {"921600", "4000000"};
        for (int b = 0; b < 2; ++b) {
            printRow("throughput app -> net @ " + std::string(bauds[b]) + " (% of line)", columns,
                     [&](const Column& c) { return cell(c.results.share[b][0], "%.1f %%"); });
            printRow("throughput net -> app @ " + std::string(bauds[b]) + " (% of line)", columns,
                     [&](const Column& c) { return cell(c.results.share[b][1], "%.1f %%"); });
        }
        printRow("1-byte round trip, median (us)", columns,
                 [](const Column& c) { return cell(c.results.latencyMedian, "%.0f"); });
        printRow("1-byte round trip, p99 (us)", columns,
                 [](const Column& c) { return cell(c.results.latencyP99, "%.0f"); });
        printRow("split writes 2+3 bytes, median (us)", columns,
                 [](const Column& c) { return cell(c.results.splitMedian, "%.0f"); });
        printRow("split writes 2+3 bytes, p99 (us)", columns,
                 [](const Column& c) { return cell(c.results.splitP99, "%.0f"); });
        const char* counts[3] = {"1", "8", "32"};
        for (int c = 0; c < 3; ++c)
            printRow("idle CPU, " + std::string(counts[c]) + " connected mapping(s) (% of a CPU)", columns,
                     [&](const Column& col) { return cell(col.results.idleCpu[c], "%.2f %%"); });
    }
    for (int w = 0; w < 2; ++w) {
        const std::string name = std::to_string(kStreamMappings[w]) + " x " + std::to_string(kStreamBauds[w]);
        std::printf("streams: %s, all %d directions at once\n", name.c_str(), 2 * kStreamMappings[w]);
        const char* directions[2] = {"app -> net", "net -> app"};
        for (int d = 0; d < 2; ++d)
            printRow(std::string("  ") + directions[d] + " min/median/max (% of line)", columns, [&](const Column& c) {
                const StreamResults& r = c.streams[w];
                if (!r.ok)
                    return std::string("n/a");
                char text[48];
                std::snprintf(text, sizeof text, "%.0f/%.0f/%.0f", r.share[d][0], r.share[d][1], r.share[d][2]);
                return std::string(text);
            });
        printRow("  CPU (% of one processor)", columns,
                 [&](const Column& c) { return cell(c.streams[w].cpu, "%.1f %%"); });
        printRow("  CPU seconds per MB", columns, [&](const Column& c) { return cell(c.streams[w].cpuPerMb, "%.3f"); });
        printRow("  threads", columns,
                 [&](const Column& c) { return cell(static_cast<double>(c.streams[w].threads), "%.0f"); });
        printRow("  resident memory (MB)", columns,
                 [&](const Column& c) { return cell(static_cast<double>(c.streams[w].rssKb) / 1024.0, "%.1f"); });
        printRow("  bytes that arrived wrong", columns, [&](const Column& c) {
            return c.streams[w].ok ? std::to_string(c.streams[w].badBytes) : std::string("n/a");
        });
    }
    if (haveSocat && !streamsOnly)
        std::printf("\nsplit writes through socat without nodelay (Nagle's algorithm on): median %s us, p99 %s us\n",
                    cell(nagle.splitMedian, "%.0f").c_str(), cell(nagle.splitP99, "%.0f").c_str());
    std::printf("\nsocat does not pace a pseudo-terminal to its line speed; tarnd does (strict baud rate).\n");

    ::close(listener);
    std::error_code ignored;
    std::filesystem::remove_all(g_home, ignored);
    return 0;
}
