// A bad link for as long as asked. One tarnd carries 16 mappings (6 TCP client, 6 TCP server,
// 4 UDP) to 16 simulated devices whose serial sides are pseudo-terminals held here, and every
// mapping streams both ways at 115200 with every byte checked at the far end. Between the
// program's namespace and the devices' lies a third one whose frame relay loses 2 % of the
// frames, delays the rest 50 +- 20 ms in order, sends 1 % ahead of those waiting (reordering),
// duplicates 1 %, and every few minutes takes the program's link down for 5-40 s.
//
// The stream is records of 8 bytes (marker, stream, sequence, check), so a receiver sees a lost,
// doubled, reordered or damaged record. The rules it holds them to:
//   - TCP: nothing lost, doubled or reordered while the data connection lasts; a loss is
//     allowed only where the device's data connection closed or was made again around it,
//     and after the end every record written must arrive;
//   - UDP: no more records lost than the datagrams the relay dropped could hold, plus what
//     was written while the link was down; no more doubled than its doubled datagrams held.
// Reports the bytes checked, the losses and what explains them, the reconnections after each
// outage, and the program's descriptors, threads and resident memory from the 2nd minute on.
// Exits 0 when every rule held, 1 when one did not, 2 when it could not set up.
//   bench_soak [--minutes M] [--tarnd PATH] [--devsim PATH] [--seed N]
// Needs root; creates its three namespaces and removes them. The relay is our own because
// netem is not in every kernel (nor in this one).

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <filesystem>
#include <future>
#include <linux/if_packet.h>
#include <map>
#include <mutex>
#include <net/ethernet.h>
#include <net/if.h>
#include <netinet/ip.h>
#include <poll.h>
#include <queue>
#include <random>
#include <sched.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include "bench_support.h"
#include "model/tarn_desc.h"

namespace {

using namespace bench;
using Ns = std::chrono::nanoseconds;

constexpr int kMappings = 16;
constexpr int kTcpClients = 6, kTcpServers = 6; // the rest are UDP
constexpr std::uint32_t kBaud = 115200;
constexpr double kWriteRate = 8000; // bytes/s per direction: 70 % of the line
constexpr std::size_t kRecord = 8;
constexpr std::uint8_t kMarker = 0xA5;
constexpr auto kDrainLimit = 180s;
constexpr auto kFlatFrom = 120s;
constexpr std::size_t kVirtioHeader =
    10; // struct virtio_net_hdr before every relayed frame // resources are compared from the 2nd minute to the end

enum class Kind { TcpClient, TcpServer, Udp };

Kind kindOf(int m) {
    return m < kTcpClients ? Kind::TcpClient : m < kTcpClients + kTcpServers ? Kind::TcpServer : Kind::Udp;
}

const char* kindName(Kind k) {
    return k == Kind::TcpClient ? "tcp-client" : k == Kind::TcpServer ? "tcp-server" : "udp";
}

std::string deviceIp(int m) {
    return "10.99.0." + std::to_string(11 + m);
}

const char* kProgramIp = "10.99.0.1";

Clock::time_point g_start;

double at(Clock::time_point t) {
    return std::chrono::duration<double>(t - g_start).count();
}

std::string clockText(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%d:%02d", static_cast<int>(seconds) / 60, static_cast<int>(seconds) % 60);
    return text;
}

std::atomic<bool> g_interrupted{false};

bool run(const std::string& command) {
    return std::system(command.c_str()) == 0;
}

// ---- records ------------------------------------------------------------------------------

std::uint16_t check(std::uint8_t stream, std::uint32_t seq) {
    const std::uint32_t h = (seq ^ (stream * 0x9E3779B9u)) * 2654435761u;
    return static_cast<std::uint16_t>(h >> 16);
}

void putRecord(std::vector<std::uint8_t>& out, std::uint8_t stream, std::uint32_t seq) {
    const std::uint16_t c = check(stream, seq);
    const std::uint8_t r[kRecord] = {kMarker,
                                     stream,
                                     static_cast<std::uint8_t>(seq),
                                     static_cast<std::uint8_t>(seq >> 8),
                                     static_cast<std::uint8_t>(seq >> 16),
                                     static_cast<std::uint8_t>(seq >> 24),
                                     static_cast<std::uint8_t>(c),
                                     static_cast<std::uint8_t>(c >> 8)};
    out.insert(out.end(), r, r + kRecord);
}

// Something a receiver saw that is not the next record: judged at the end against the events
// around it, since the event that explains it may be reported a little after it is seen.
struct Anomaly {
    Clock::time_point lastGood, seen;
    std::uint64_t lost = 0; // records skipped
    bool backwards = false; // a record again, or one that came late
};

// One direction of one mapping, written at one end and checked at the other.
struct Stream {
    int mapping = 0;
    bool toDevice = true;
    std::uint8_t id = 0;
    int writeFd = -1, readFd = -1;
    // writer
    std::uint32_t nextSeq = 0;
    std::vector<std::uint8_t> pending;
    double credit = 0;
    // reader
    std::vector<std::uint8_t> in;
    std::int64_t lastSeq = -1;
    Clock::time_point lastGood{};
    std::uint64_t records = 0, garbageRun = 0;
    std::vector<Anomaly> anomalies;
    // UDP: which records arrived, since reordering and doubling are the link's right there.
    std::vector<bool> seen;
    std::uint64_t distinct = 0, doubles = 0;
};

// ---- the link ----------------------------------------------------------------------------

// Relays frames between the program's side (0) and the devices' side (1) of the link
// namespace. Frames carry their virtio header so segmentation and checksum offload survive
// the trip.
class Relay {
public:
    explicit Relay(unsigned seed) : m_random(seed) {}

    bool open(const std::string& netns, std::string& why) {
        const int ns = ::open(("/run/netns/" + netns).c_str(), O_RDONLY | O_CLOEXEC);
        if (ns < 0 || ::setns(ns, CLONE_NEWNET) != 0) {
            why = "cannot enter " + netns;
            return false;
        }
        ::close(ns);
        const char* names[2] = {"lp", "ld"};
        for (int side = 0; side < 2; ++side) {
            const int fd = ::socket(AF_PACKET, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, htons(ETH_P_ALL));
            const int on = 1;
            sockaddr_ll address{};
            address.sll_family = AF_PACKET;
            address.sll_protocol = htons(ETH_P_ALL);
            address.sll_ifindex = static_cast<int>(::if_nametoindex(names[side]));
            if (fd < 0 || ::setsockopt(fd, SOL_PACKET, PACKET_VNET_HDR, &on, sizeof on) != 0 ||
                ::setsockopt(fd, SOL_PACKET, PACKET_IGNORE_OUTGOING, &on, sizeof on) != 0 ||
                ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
                why = std::string("packet socket on ") + names[side] + ": " + std::strerror(errno);
                return false;
            }
            m_fd[side] = fd;
        }
        return true;
    }

    void runUntil(const std::atomic<bool>& stop) {
        std::vector<std::uint8_t> buffer(70000);
        while (!stop.load()) {
            const auto now = Clock::now();
            sendDue(now);
            int wait = 100;
            if (!m_queue.empty())
                wait = static_cast<int>(std::clamp<std::int64_t>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(m_queue.top().due - now).count(), 0, 100));
            pollfd p[2] = {{m_fd[0], POLLIN, 0}, {m_fd[1], POLLIN, 0}};
            ::poll(p, 2, wait);
            for (int side = 0; side < 2; ++side) {
                if (!(p[side].revents & (POLLIN | POLLERR)))
                    continue;
                for (int i = 0; i < 64; ++i) {
                    const ssize_t n = ::recv(m_fd[side], buffer.data(), buffer.size(), 0);
                    if (n <= 0)
                        break; // EAGAIN, or ENETDOWN once when the link went down
                    take(side, buffer.data(), static_cast<std::size_t>(n));
                }
            }
        }
    }

    ~Relay() {
        for (int fd : m_fd)
            if (fd >= 0)
                ::close(fd);
    }

    std::uint64_t frames = 0, dropped = 0, doubled = 0, ahead = 0, lostDown = 0;
    // What each UDP flow [mapping][toDevice] lost or had doubled, counted in the records its
    // datagrams could hold: a datagram cut from the stream at any byte damages one more.
    struct FlowCount {
        std::uint64_t lostRecords = 0, doubledRecords = 0;
    };
    FlowCount flows[kMappings][2];

private:
    struct Frame {
        Clock::time_point due;
        std::uint64_t order;
        int to;
        std::vector<std::uint8_t> bytes;
        FlowCount* flow;
        std::uint64_t records;
        bool operator>(const Frame& o) const { return due != o.due ? due > o.due : order > o.order; }
    };

    // The UDP flow a frame belongs to, or nullptr, and the records its payload can touch.
    FlowCount* udpFlow(int from, const std::uint8_t* data, std::size_t size, std::uint64_t& records) {
        const std::size_t eth = kVirtioHeader;
        if (size < eth + 14 + 20 || data[eth + 12] != 0x08 || data[eth + 13] != 0x00)
            return nullptr;
        const std::uint8_t* ip = data + eth + 14;
        const std::size_t ipLength = (ip[0] & 0x0F) * 4u;
        if (ip[9] != IPPROTO_UDP || size < eth + 14 + ipLength + 8)
            return nullptr;
        const std::uint8_t* device = from == 0 ? ip + 16 : ip + 12;
        const int m = device[3] - 11;
        if (device[0] != 10 || device[1] != 99 || m < 0 || m >= kMappings || kindOf(m) != Kind::Udp)
            return nullptr;
        const std::uint8_t* udp = ip + ipLength;
        const std::size_t payload = static_cast<std::size_t>(udp[4] << 8 | udp[5]) - 8;
        records = payload / kRecord + 2;
        return &flows[m][from == 0];
    }

    void take(int from, const std::uint8_t* data, std::size_t size) {
        ++frames;
        const auto now = Clock::now();
        std::uint64_t records = 0;
        FlowCount* flow = udpFlow(from, data, size, records);
        std::uniform_real_distribution<double> unit(0, 1);
        if (unit(m_random) < 0.02) {
            ++dropped;
            if (flow)
                flow->lostRecords += records;
            return;
        }
        Frame frame{now, m_order++, 1 - from, std::vector<std::uint8_t>(data, data + size), flow, records};
        if (unit(m_random) < 0.01) {
            ++ahead; // ahead of every frame still waiting in this direction
        } else {
            const auto delay = std::chrono::duration_cast<Clock::duration>(
                std::chrono::duration<double, std::milli>(std::uniform_real_distribution<double>(30, 70)(m_random)));
            frame.due = std::max(now + delay, m_lastDue[from]);
            m_lastDue[from] = frame.due;
        }
        if (unit(m_random) < 0.01) {
            ++doubled;
            if (flow)
                flow->doubledRecords += records;
            Frame twin = frame;
            twin.order = m_order++;
            m_queue.push(std::move(twin));
        }
        m_queue.push(std::move(frame));
    }

    void sendDue(Clock::time_point now) {
        while (!m_queue.empty() && m_queue.top().due <= now) {
            const Frame& f = m_queue.top();
            if (::send(m_fd[f.to], f.bytes.data(), f.bytes.size(), 0) < 0) {
                ++lostDown;
                if (f.flow)
                    f.flow->lostRecords += f.records;
            }
            m_queue.pop();
        }
    }

    int m_fd[2] = {-1, -1};
    std::mt19937 m_random;
    std::priority_queue<Frame, std::vector<Frame>, std::greater<>> m_queue;
    std::uint64_t m_order = 0;
    Clock::time_point m_lastDue[2]{};
};

// ---- the run ------------------------------------------------------------------------------

struct Sample {
    double at;
    long fds, threads, rssKb;
};

long descriptorCount(pid_t pid) {
    std::error_code error;
    long n = 0;
    for (auto it = std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error);
         !error && it != std::filesystem::directory_iterator(); it.increment(error))
        ++n;
    return n;
}

struct Soak {
    std::string tarnd, devsim, dir, ns[3];
    double minutes = 10;
    unsigned seed = 0;

    pid_t tarndPid = -1, devsimPid = -1;
    int devsimOut = -1;
    std::vector<Stream> streams;
    std::atomic<bool> writing{true}, stopIo{false}, stopRelay{false}, drained{false};
    std::atomic<std::uint64_t> checkedBytes{0}, irregular{0}; // for the progress lines
    std::thread deviceEvents;

    std::mutex eventLock;
    std::vector<Clock::time_point> dataEvents[kMappings]; // "data closed" and "data connected"
    std::vector<Clock::time_point> connects[kMappings];
    std::vector<std::pair<Clock::time_point, Clock::time_point>> outages;
    std::vector<Sample> samples;

    ~Soak() {
        stopProcess(tarndPid);
        stopProcess(devsimPid);
        if (deviceEvents.joinable())
            deviceEvents.join();
        for (const Stream& s : streams)
            ::close(s.readFd); // each end is the read end of one stream
        for (const auto& n : ns)
            if (!n.empty())
                run("ip netns del " + n + " 2>/dev/null");
        if (!dir.empty())
            std::filesystem::remove_all(dir);
    }

    bool setUp(std::string& why) {
        const std::string tag = std::to_string(::getpid());
        ns[0] = "tsoak" + tag + "p";
        ns[1] = "tsoak" + tag + "l";
        ns[2] = "tsoak" + tag + "d";
        std::string script = "set -e\n";
        for (const auto& n : ns)
            script += "ip netns add " + n + "\nip -n " + n + " link set lo up\n" + "ip netns exec " + n +
                      " sysctl -qw net.ipv6.conf.all.disable_ipv6=1\n";
        script += "ip link add p0 netns " + ns[0] + " type veth peer name lp netns " + ns[1] + "\n";
        script += "ip link add d0 netns " + ns[2] + " type veth peer name ld netns " + ns[1] + "\n";
        script += "ip -n " + ns[0] + " addr add " + kProgramIp + "/24 dev p0\n";
        for (int m = 0; m < kMappings; ++m)
            script += "ip -n " + ns[2] + " addr add " + deviceIp(m) + "/24 dev d0\n";
        script += "ip -n " + ns[0] + " link set p0 up\nip -n " + ns[2] + " link set d0 up\n";
        script += "ip -n " + ns[1] + " link set lp up\nip -n " + ns[1] + " link set ld up\n";
        if (!run("sh -c '" + script + "'")) {
            why = "cannot create the namespaces";
            return false;
        }

        char pattern[] = "/tmp/tarn-soak.XXXXXX";
        if (!::mkdtemp(pattern)) {
            why = "mkdtemp";
            return false;
        }
        dir = pattern;
        return true;
    }

    bool startDevices(std::string& why) {
        std::string config;
        for (int m = 0; m < kMappings; ++m) {
            config += "ip=" + deviceIp(m) + ",id=" + std::to_string(m + 1) + ",serial=pty:" + dir + "/dev" +
                      std::to_string(m);
            if (kindOf(m) == Kind::TcpServer)
                config += ",mode=tcp-client,remote=" + std::string(kProgramIp) + ":" + std::to_string(5000 + m);
            else if (kindOf(m) == Kind::Udp)
                config += ",mode=udp,remote=" + std::string(kProgramIp) + ":" + std::to_string(6000 + m);
            config += "\n";
        }
        std::FILE* f = std::fopen((dir + "/devices").c_str(), "w");
        std::fputs(config.c_str(), f);
        std::fclose(f);
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0)
            return false;
        devsimPid = spawn({"ip", "netns", "exec", ns[2], devsim, "--config", dir + "/devices"}, false, out[1]);
        ::close(out[1]);
        devsimOut = out[0];
        deviceEvents = std::thread([this] { readDeviceEvents(); });
        for (int m = 0; m < kMappings; ++m) {
            struct stat st;
            if (!waitFor([&] { return ::lstat((dir + "/dev" + std::to_string(m)).c_str(), &st) == 0; })) {
                why = "the simulated devices did not start";
                return false;
            }
        }
        return true;
    }

    // devsim's events, one per line, " [IP]" last: the data connections' changes are what
    // explain a loss on a TCP mapping.
    void readDeviceEvents() {
        // Plain reads, not stdio: a thread blocked in fgets holds its stream's lock, which the
        // fflush before every fork would wait for.
        std::string pending;
        char chunk[4096];
        ssize_t n;
        while ((n = ::read(devsimOut, chunk, sizeof chunk)) > 0) {
            pending.append(chunk, static_cast<std::size_t>(n));
            std::size_t newline;
            while ((newline = pending.find('\n')) != std::string::npos) {
                const std::string text = pending.substr(0, newline);
                pending.erase(0, newline + 1);
                noteDeviceEvent(text);
            }
        }
        ::close(devsimOut);
    }

    void noteDeviceEvent(const std::string& text) {
        const auto open = text.rfind(" [10.99.0.");
        if (open == std::string::npos || text.rfind("data ", 0) != 0)
            return;
        const int m = std::atoi(text.c_str() + open + 10) - 11;
        if (m < 0 || m >= kMappings)
            return;
        std::lock_guard lock(eventLock);
        dataEvents[m].push_back(Clock::now());
        if (text.rfind("data connected", 0) == 0)
            connects[m].push_back(Clock::now());
    }

    bool startProgram(std::string& why) {
        const std::string runDir = dir + "/run", config = dir + "/config";
        std::filesystem::create_directories(runDir);
        std::filesystem::create_directories(config + "/tarn");
        ::chmod(runDir.c_str(), 0700);
        std::FILE* f = std::fopen((config + "/tarn/79828669767684658278").c_str(), "wb");
        for (int m = 0; m < kMappings; ++m) {
            tarnDesc desc;
            desc.comNum = m + 1;
            std::snprintf(desc.ipAddress, sizeof desc.ipAddress, "%s", deviceIp(m).c_str());
            switch (kindOf(m)) {
            case Kind::TcpClient:
                desc.mode = kModeTcpClient;
                desc.remotePort = 4001;
                break;
            case Kind::TcpServer:
                desc.mode = kModeTcpServer;
                desc.localPort = static_cast<std::uint16_t>(5000 + m);
                break;
            case Kind::Udp:
                desc.mode = kModeUdp;
                desc.localPort = static_cast<std::uint16_t>(6000 + m);
                desc.remotePort = 4001;
                break;
            }
            const DescRecord record = encodeDesc(desc);
            std::fwrite(record.data(), 1, record.size(), f);
        }
        std::fclose(f);
        ::setenv("XDG_RUNTIME_DIR", runDir.c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", config.c_str(), 1);
        const int log = ::open((dir + "/tarnd.log").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        tarndPid = spawn({"ip", "netns", "exec", ns[0], tarnd}, false, log);
        ::close(log);
        for (int m = 0; m < kMappings; ++m) {
            struct stat st;
            if (!waitFor([&] { return ::lstat((runDir + "/tarn/COM" + std::to_string(m + 1)).c_str(), &st) == 0; })) {
                why = "tarnd did not create its ports (see " + dir + "/tarnd.log)";
                return false;
            }
        }
        // The ports open once the search has found the devices, so that each TCP client's
        // control connection finds its device's control port at the first attempt and the
        // descriptors counted from the start include them.
        if (!waitFor([&] {
                std::FILE* f = std::fopen((dir + "/tarnd.log").c_str(), "r");
                char line[256];
                bool searched = false;
                while (f && !searched && std::fgets(line, sizeof line, f))
                    searched = std::strstr(line, "device(s) searched.") != nullptr;
                if (f)
                    std::fclose(f);
                return searched;
            })) {
            why = "tarnd's device search did not end (see " + dir + "/tarnd.log)";
            return false;
        }
        return true;
    }

    bool openEnds(std::string& why) {
        for (int m = 0; m < kMappings; ++m) {
            const int app = openApplication(dir + "/run/tarn/COM" + std::to_string(m + 1), kBaud);
            const int device = openApplication(dir + "/dev" + std::to_string(m), kBaud);
            if (app < 0 || device < 0) {
                why = "cannot open the ends of COM" + std::to_string(m + 1);
                return false;
            }
            for (const bool toDevice : {true, false}) {
                Stream s;
                s.mapping = m;
                s.toDevice = toDevice;
                s.id = static_cast<std::uint8_t>(m * 2 + (toDevice ? 0 : 1));
                s.writeFd = toDevice ? app : device;
                s.readFd = toDevice ? device : app;
                streams.push_back(std::move(s));
            }
        }
        // Every TCP data connection up before the clock starts, so a loss at the start is not
        // taken for one of the link's.
        if (!waitFor(
                [&] {
                    std::lock_guard lock(eventLock);
                    for (int m = 0; m < kMappings; ++m)
                        if (kindOf(m) != Kind::Udp && connects[m].empty())
                            return false;
                    return true;
                },
                60s)) {
            why = "not every TCP mapping connected to its device";
            return false;
        }
        return true;
    }

    // Writes each stream's records at its rate and checks what arrives, all on one thread.
    void pumpStreams() {
        std::vector<std::uint8_t> buffer(65536);
        auto last = Clock::now();
        while (!stopIo.load()) {
            const auto now = Clock::now();
            const double elapsed = std::chrono::duration<double>(now - last).count();
            last = now;
            for (Stream& s : streams) {
                if (writing.load()) {
                    s.credit += elapsed * kWriteRate;
                    while (s.credit >= kRecord && s.pending.size() < 4096) {
                        putRecord(s.pending, s.id, s.nextSeq++);
                        s.credit -= kRecord;
                    }
                }
                if (!s.pending.empty()) {
                    const ssize_t n = ::write(s.writeFd, s.pending.data(), s.pending.size());
                    if (n > 0)
                        s.pending.erase(s.pending.begin(), s.pending.begin() + n);
                }
                while (true) {
                    const ssize_t n = ::read(s.readFd, buffer.data(), buffer.size());
                    if (n <= 0)
                        break;
                    s.in.insert(s.in.end(), buffer.begin(), buffer.begin() + n);
                }
                parse(s, now);
            }
            if (!writing.load())
                drained.store(std::all_of(streams.begin(), streams.end(), [](const Stream& s) {
                    return kindOf(s.mapping) == Kind::Udp ||
                           (s.pending.empty() && s.lastSeq == static_cast<std::int64_t>(s.nextSeq) - 1);
                }));
            std::this_thread::sleep_for(10ms);
        }
    }

    void parse(Stream& s, Clock::time_point now) {
        const bool udp = kindOf(s.mapping) == Kind::Udp;
        std::size_t i = 0;
        for (; i + kRecord <= s.in.size();) {
            const std::uint8_t* r = s.in.data() + i;
            const std::uint32_t seq = r[2] | r[3] << 8 | r[4] << 16 | static_cast<std::uint32_t>(r[5]) << 24;
            if (r[0] != kMarker || r[1] != s.id || (r[6] | r[7] << 8) != check(s.id, seq)) {
                ++s.garbageRun;
                ++i;
                continue;
            }
            i += kRecord;
            ++s.records;
            checkedBytes += kRecord;
            if (udp) {
                if (s.seen.size() <= seq)
                    s.seen.resize(seq + 65536);
                if (s.seen[seq])
                    ++s.doubles;
                else
                    ++s.distinct;
                s.seen[seq] = true;
                continue;
            }
            const bool first = s.lastSeq < 0;
            if (!first && (s.garbageRun || seq != s.lastSeq + 1)) {
                Anomaly a{s.lastGood, now};
                if (seq > s.lastSeq + 1)
                    a.lost = seq - s.lastSeq - 1;
                a.backwards = seq <= s.lastSeq;
                s.anomalies.push_back(a);
                ++irregular;
            }
            s.garbageRun = 0;
            if (first || seq > s.lastSeq) {
                s.lastSeq = seq;
                s.lastGood = now;
            }
        }
        s.in.erase(s.in.begin(), s.in.begin() + static_cast<std::ptrdiff_t>(i));
    }

    void sample() {
        samples.push_back({at(Clock::now()), descriptorCount(tarndPid), statusField({tarndPid}, "Threads"),
                           statusField({tarndPid}, "VmRSS")});
    }

    void setLink(bool up) { run("ip -n " + ns[1] + " link set lp " + (up ? "up" : "down")); }
};

bool anyIn(const std::vector<Clock::time_point>& times, Clock::time_point from, Clock::time_point to) {
    const auto it = std::lower_bound(times.begin(), times.end(), from);
    return it != times.end() && *it <= to;
}

} // namespace

int main(int argc, char** argv) {
    Soak soak;
    const std::filesystem::path self = std::filesystem::canonical("/proc/self/exe");
    soak.tarnd = (self.parent_path().parent_path() / "src/app/tarnd").string();
    soak.devsim = (self.parent_path().parent_path() / "sim/tarn-devsim").string();
    soak.seed = static_cast<unsigned>(std::random_device{}());
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--minutes" && i + 1 < argc)
            soak.minutes = std::atof(argv[++i]);
        else if (a == "--tarnd" && i + 1 < argc)
            soak.tarnd = argv[++i];
        else if (a == "--devsim" && i + 1 < argc)
            soak.devsim = argv[++i];
        else if (a == "--seed" && i + 1 < argc)
            soak.seed = static_cast<unsigned>(std::atol(argv[++i]));
        else {
            std::fprintf(stderr, "usage: %s [--minutes M] [--tarnd PATH] [--devsim PATH] [--seed N]\n", argv[0]);
            return 2;
        }
    }
    std::signal(SIGINT, [](int) { g_interrupted.store(true); });
    std::signal(SIGTERM, [](int) { g_interrupted.store(true); });
    std::signal(SIGPIPE, SIG_IGN);

    std::string why;
    if (!soak.setUp(why)) {
        std::fprintf(stderr, "bench_soak: %s\n", why.c_str());
        return 2;
    }
    Relay relay(soak.seed);
    std::promise<bool> relayReady;
    std::thread relayThread([&] {
        std::string error;
        const bool open = relay.open(soak.ns[1], error);
        if (!open)
            std::fprintf(stderr, "bench_soak: %s\n", error.c_str());
        relayReady.set_value(open);
        if (open)
            relay.runUntil(soak.stopRelay);
    });
    const auto stopRelay = [&] {
        soak.stopRelay.store(true);
        relayThread.join();
    };
    if (!relayReady.get_future().get() || !soak.startDevices(why) || !soak.startProgram(why) || !soak.openEnds(why)) {
        std::fprintf(stderr, "bench_soak: %s\n", why.c_str());
        stopRelay();
        return 2;
    }
    std::printf("soak: %.0f min, seed %u, %d mappings at %u baud, writers at %.0f bytes/s each way\n", soak.minutes,
                soak.seed, kMappings, kBaud, kWriteRate);
    std::fflush(stdout);
    g_start = Clock::now();
    std::thread io([&] { soak.pumpStreams(); });

    // The outages: the first after 1-3 min, then every 2-5 min, each 5-40 s, none in the last
    // minute so the end is judged on a working link.
    std::mt19937 random(soak.seed + 1);
    const auto end =
        g_start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(soak.minutes * 60));
    auto nextOutage = g_start + std::chrono::seconds(std::uniform_int_distribution<int>(60, 180)(random));
    auto nextSample = g_start;
    auto nextReport = g_start + 60s;
    bool linkDown = false;
    Clock::time_point downSince, downUntil;
    while (Clock::now() < end && !g_interrupted.load()) {
        const auto now = Clock::now();
        if (now >= nextSample) {
            soak.sample();
            nextSample += 10s;
        }
        if (now >= nextReport) {
            const Sample& r = soak.samples.back();
            std::printf("  %s  %.1f MB checked, %llu TCP irregularities, %zu outages; tarnd %ld fds, %ld threads, "
                        "%ld kB\n",
                        clockText(at(now)).c_str(), static_cast<double>(soak.checkedBytes.load()) / 1e6,
                        static_cast<unsigned long long>(soak.irregular.load()), soak.outages.size(), r.fds, r.threads,
                        r.rssKb);
            std::fflush(stdout);
            nextReport += 60s;
        }
        const auto length = std::chrono::seconds(std::uniform_int_distribution<int>(5, 40)(random));
        if (!linkDown && now >= nextOutage && now + length + 60s < end) {
            soak.setLink(false);
            linkDown = true;
            downSince = now;
            downUntil = now + length;
        } else if (linkDown && now >= downUntil) {
            soak.setLink(true);
            linkDown = false;
            std::lock_guard lock(soak.eventLock);
            soak.outages.emplace_back(downSince, Clock::now());
            nextOutage = Clock::now() + std::chrono::seconds(std::uniform_int_distribution<int>(120, 300)(random));
        }
        std::this_thread::sleep_for(100ms);
    }
    if (linkDown) {
        soak.setLink(true);
        std::lock_guard lock(soak.eventLock);
        soak.outages.emplace_back(downSince, Clock::now());
    }
    soak.sample();

    // Drain: no new records; every TCP stream must deliver its last one.
    soak.writing.store(false);
    const auto drainStart = Clock::now();
    const bool drained = waitFor([&] { return soak.drained.load(); },
                                 std::chrono::duration_cast<std::chrono::milliseconds>(kDrainLimit));
    const double drainSeconds = secondsSince(drainStart);
    soak.stopIo.store(true);
    io.join();
    stopRelay();

    // ---- judgement and report ----
    std::lock_guard lock(soak.eventLock);
    const double total = at(Clock::now());
    bool pass = drained;
    std::printf("\nlink: %llu frames, %llu dropped (2 %%), %llu sent ahead, %llu doubled; %zu outages, "
                "%llu frames lost to them\n",
                static_cast<unsigned long long>(relay.frames), static_cast<unsigned long long>(relay.dropped),
                static_cast<unsigned long long>(relay.ahead), static_cast<unsigned long long>(relay.doubled),
                soak.outages.size(), static_cast<unsigned long long>(relay.lostDown));
    for (const auto& [down, up] : soak.outages) {
        int reconnected = 0;
        double slowest = 0;
        for (int m = 0; m < kMappings; ++m) {
            if (kindOf(m) == Kind::Udp)
                continue;
            const auto& c = soak.connects[m];
            const auto it = std::lower_bound(c.begin(), c.end(), down);
            if (it != c.end() && *it < up + 120s) {
                ++reconnected;
                slowest = std::max(slowest, std::chrono::duration<double>(*it - up).count());
            }
        }
        const std::string when = clockText(at(down));
        const double length = std::chrono::duration<double>(up - down).count();
        if (reconnected == 0)
            std::printf("  outage at %s for %.0f s: every TCP connection lasted through it\n", when.c_str(), length);
        else
            std::printf("  outage at %s for %.0f s: %d of %d TCP mappings reconnected, the last %.1f s after the "
                        "link came back\n",
                        when.c_str(), length, reconnected, kTcpClients + kTcpServers, slowest);
    }

    // Records written while the link was down, or the second around it: UDP has no way to
    // keep them.
    double downSeconds = 0;
    for (const auto& [down, up] : soak.outages)
        downSeconds += std::chrono::duration<double>(up - down).count() + 2;
    const auto outageRecords = static_cast<std::uint64_t>(downSeconds * kWriteRate / kRecord);

    std::printf("\nmapping           direction  MB checked  records lost  allowed  doubled  allowed  "
                "reconnections  verdict\n");
    std::uint64_t totalBytes = 0;
    for (const Stream& s : soak.streams) {
        const Kind kind = kindOf(s.mapping);
        std::uint64_t lost = 0, allowed = 0, doubles = 0, doublesAllowed = 0;
        bool ok = true;
        if (kind == Kind::Udp) {
            const Relay::FlowCount& flow = relay.flows[s.mapping][s.toDevice];
            lost = s.nextSeq - s.distinct;
            allowed = flow.lostRecords + outageRecords;
            doubles = s.doubles;
            doublesAllowed = flow.doubledRecords;
            ok = lost <= allowed && doubles <= doublesAllowed;
        } else {
            // A loss only where the data connection changed; nothing doubled or reordered ever;
            // and the last record arrived.
            for (const Anomaly& a : s.anomalies) {
                lost += a.lost;
                doubles += a.backwards;
                if (!a.backwards && anyIn(soak.dataEvents[s.mapping], a.lastGood - 2s, a.seen + 2s))
                    allowed += a.lost;
                else
                    ok = false;
            }
            ok = ok && s.lastSeq == static_cast<std::int64_t>(s.nextSeq) - 1;
        }
        pass = pass && ok;
        totalBytes += s.records * kRecord;
        std::printf("COM%-2d %-10s  %-9s  %10.2f  %12llu  %7llu  %7llu  %7llu  %13zu  %s\n", s.mapping + 1,
                    kindName(kind), s.toDevice ? "app->dev" : "dev->app",
                    static_cast<double>(s.records * kRecord) / 1e6, static_cast<unsigned long long>(lost),
                    static_cast<unsigned long long>(allowed), static_cast<unsigned long long>(doubles),
                    static_cast<unsigned long long>(doublesAllowed),
                    kind == Kind::Udp ? 0 : soak.connects[s.mapping].size() - 1, ok ? "ok" : "BROKEN");
    }
    std::printf("total %.1f MB checked in %.0f s; drained %s in %.1f s\n", static_cast<double>(totalBytes) / 1e6, total,
                drained ? "completely" : "NOT completely", drainSeconds);

    // Flat from the 2nd minute: the same descriptors and threads, and memory within 1 MiB.
    Sample first{}, last = soak.samples.back();
    long fdsMin = 1 << 30, fdsMax = 0, thrMin = 1 << 30, thrMax = 0, rssMax = 0;
    bool have = false;
    for (const Sample& s : soak.samples) {
        if (s.at < std::chrono::duration<double>(kFlatFrom).count())
            continue;
        if (!have)
            first = s;
        have = true;
        fdsMin = std::min(fdsMin, s.fds), fdsMax = std::max(fdsMax, s.fds);
        thrMin = std::min(thrMin, s.threads), thrMax = std::max(thrMax, s.threads);
        rssMax = std::max(rssMax, s.rssKb);
    }
    if (have) {
        // Growth from the 2nd minute is what counts: a sample taken during a reconnection may
        // hold a few sockets fewer, and one during an outage the backlog's pages.
        const bool flat = last.fds <= first.fds && last.threads <= first.threads && last.rssKb - first.rssKb <= 1024;
        pass = pass && flat;
        std::printf("tarnd from %s to %s: descriptors %ld-%ld, threads %ld-%ld, resident %ld -> %ld kB (max %ld): %s\n",
                    clockText(first.at).c_str(), clockText(last.at).c_str(), fdsMin, fdsMax, thrMin, thrMax,
                    first.rssKb, last.rssKb, rssMax, flat ? "flat" : "NOT flat");
    }
    std::printf("%s\n", pass ? "PASS" : "FAIL");
    return pass ? 0 : 1;
}
