#pragma once
// Shared pieces of the connection-builder and pump tests: one mapping on a real virtual
// port, its bridge threads either driven pass by pass from the test or running, an
// application end of the port, loopback peers and a capture of the mapping log.

#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

#include "bridge/lock_interface.h"
#include "bridge/message_log.h"
#include "bridge/portable_sock.h"
#include "mapping/connection_builder.h"
#include "mapping/data_pumps.h"
#include "mapping/net_setup.h"
#include "mapping/thread_set.h"
#include "model/mapping_lists.h"
#include "model/tarn_info.h"
#include "model/tarn_thread.h"
#include "support/netns.h"
#include "support/socket.h"
#include "support/temp_dir.h"
#include "support/wait.h"

namespace bridgetest {

using testsupport::waitUntil;

using namespace std::chrono_literals;

using testsupport::inPrivateNetworkNamespace;
using testsupport::loopback;

// Bytes 0..255 repeating from `seed`, so a shifted, lost or doubled byte shows.
inline std::vector<std::uint8_t> pattern(std::size_t size, std::uint8_t seed = 0) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<std::uint8_t>(seed + i * 7 + i / 251);
    return bytes;
}

// Collects the mapping log for the life of the object.
class LogCapture {
public:
    LogCapture() {
        setMappingMessageSink([this](const std::string& text) {
            std::lock_guard guard(m_mutex);
            m_lines.push_back(text);
        });
    }
    ~LogCapture() { setMappingMessageSink(nullptr); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::string> lines() const {
        std::lock_guard guard(m_mutex);
        return m_lines;
    }
    int count(const std::string& text) const {
        std::lock_guard guard(m_mutex);
        return static_cast<int>(std::count(m_lines.begin(), m_lines.end(), text));
    }
    bool waitForCount(const std::string& text, int wanted, std::chrono::milliseconds limit = 20s) const {
        return waitUntil([&] { return count(text) >= wanted; }, limit);
    }

private:
    mutable std::mutex m_mutex;
    std::vector<std::string> m_lines;
};

inline std::string acceptsLine(int com) {
    return "COM" + std::to_string(com) + " as a server accepts 1 connection(s).";
}
inline std::string connectsLine(int com, const char* peer = "127.0.0.1") {
    return "COM" + std::to_string(com) + " as a client connects server( " + peer + ").";
}
inline std::string lossLine(int com) {
    return "COM" + std::to_string(com) + " is disconnected and reconnection is being tried.";
}

// Each test program gets its own port directory, so parallel test programs never meet; it
// goes when the program ends.
inline void usePrivatePortDirectory() {
    static testsupport::TempDir dir("bridge-test");
    static const bool done = !dir.pointEnv("XDG_RUNTIME_DIR").empty();
    ASSERT_TRUE(done);
}

// A bridge thread whose passes the test runs itself: created suspended and never resumed.
template <class Thread> class Driven : public Thread {
public:
    Driven(LockInterface& lock, TARNINFO* tarnInfo) : Thread(true, lock, tarnInfo) {}
    void runPass() {
        SyncLock hold(this->m_lock);
        this->pass();
    }
    // Runs a message posted to this thread (a close notification's work), as its loop would.
    bool runMessage() { return this->dispatchOneMessage(); }
};

// The application holding COM<n> open: raw mode, non-blocking, at a chosen speed.
class PortApp {
public:
    explicit PortApp(const std::string& path, speed_t speed = B115200) {
        m_fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (m_fd >= 0)
            setSpeed(speed);
    }
    ~PortApp() { close(); }
    PortApp(const PortApp&) = delete;
    PortApp& operator=(const PortApp&) = delete;

    bool ok() const { return m_fd >= 0; }
    void close() {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }
    void setSpeed(speed_t speed) {
        termios tio{};
        ::tcgetattr(m_fd, &tio);
        ::cfmakeraw(&tio);
        ::cfsetispeed(&tio, speed);
        ::cfsetospeed(&tio, speed);
        ::tcsetattr(m_fd, TCSANOW, &tio);
    }
    // Writes what the port accepts now; returns how many bytes.
    std::size_t writeSome(const std::uint8_t* data, std::size_t size) {
        const ssize_t n = ::write(m_fd, data, size);
        return n > 0 ? static_cast<std::size_t>(n) : 0;
    }
    bool writeAll(const std::vector<std::uint8_t>& data, std::chrono::milliseconds limit = 20s) {
        std::size_t done = 0;
        return waitUntil(
            [&] {
                done += writeSome(data.data() + done, data.size() - done);
                return done == data.size();
            },
            limit);
    }
    // Appends whatever is readable now.
    std::size_t readSome(std::vector<std::uint8_t>& into) {
        std::uint8_t chunk[4096];
        std::size_t total = 0;
        for (;;) {
            const ssize_t n = ::read(m_fd, chunk, sizeof chunk);
            if (n <= 0)
                return total;
            into.insert(into.end(), chunk, chunk + n);
            total += static_cast<std::size_t>(n);
        }
    }
    // Reads until at least `size` bytes have arrived or the deadline passes; returns them all.
    std::vector<std::uint8_t> readAtLeast(std::size_t size, std::chrono::milliseconds limit) {
        std::vector<std::uint8_t> got;
        waitUntil(
            [&] {
                readSome(got);
                return got.size() >= size;
            },
            limit);
        return got;
    }
    int fd() const { return m_fd; }

private:
    int m_fd = -1;
};

// A loopback TCP or UDP socket of the test's own, standing in for the device server.
class Peer {
public:
    Peer() = default;
    explicit Peer(int fd) : m_fd(fd) {}

    // A listening TCP socket on an ephemeral loopback port.
    static Peer listener(std::uint16_t port = 0, int backlog = 4) {
        Peer p(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        const int on = 1;
        ::setsockopt(p.m_fd.fd(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in sa = loopback(port);
        if (::bind(p.m_fd.fd(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
            ::listen(p.m_fd.fd(), backlog) != 0)
            p.close();
        return p;
    }
    static Peer connectTo(std::uint16_t port) {
        Peer p(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in sa = loopback(port);
        if (::connect(p.m_fd.fd(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0)
            p.close();
        return p;
    }
    static Peer udp() {
        Peer p(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        sockaddr_in sa = loopback(0);
        ::bind(p.m_fd.fd(), reinterpret_cast<sockaddr*>(&sa), sizeof sa);
        return p;
    }
    // A port that nothing listens on right now (bound once, then released, for the mapping to
    // take later). Safe only where no other process can take it meanwhile, so every user runs
    // in a private network namespace (BridgeTest enters one); anywhere else this refuses and
    // fails the test.
    static std::uint16_t freePort(int type = SOCK_STREAM) {
        if (!inPrivateNetworkNamespace()) {
            ADD_FAILURE() << "freePort outside a private network namespace: another test could take the port";
            return 0;
        }
        Peer p(::socket(AF_INET, type | SOCK_CLOEXEC, 0));
        sockaddr_in sa = loopback(0);
        ::bind(p.m_fd.fd(), reinterpret_cast<sockaddr*>(&sa), sizeof sa);
        return p.port();
    }

    // Waits (bounded) for an incoming connection.
    Peer accept(std::chrono::milliseconds limit = 20s) {
        pollfd pfd{m_fd.fd(), POLLIN, 0};
        if (::poll(&pfd, 1, static_cast<int>(limit.count())) != 1)
            return Peer();
        return Peer(::accept4(m_fd.fd(), nullptr, nullptr, SOCK_CLOEXEC));
    }
    std::uint16_t port() const { return testsupport::boundPort(m_fd.fd()); }
    bool ok() const { return m_fd.valid(); }
    int fd() const { return m_fd.fd(); }
    void close() { m_fd.reset(); }
    bool sendAll(const std::vector<std::uint8_t>& data) {
        std::size_t done = 0;
        while (done < data.size()) {
            const ssize_t n = ::send(m_fd.fd(), data.data() + done, data.size() - done, MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            done += static_cast<std::size_t>(n);
        }
        return true;
    }
    bool sendTo(const std::vector<std::uint8_t>& data, std::uint16_t port) {
        sockaddr_in sa = loopback(port);
        return ::sendto(m_fd.fd(), data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&sa), sizeof sa) ==
               static_cast<ssize_t>(data.size());
    }
    // Reads until `size` bytes arrived or the deadline passed.
    std::vector<std::uint8_t> receive(std::size_t size, std::chrono::milliseconds limit = 20s) {
        return testsupport::receive(fd(), size, std::chrono::steady_clock::now() + limit);
    }
    // One datagram, or empty when none came in time.
    std::optional<std::vector<std::uint8_t>> datagram(std::chrono::milliseconds limit = 5s) {
        pollfd pfd{m_fd.fd(), POLLIN, 0};
        if (::poll(&pfd, 1, static_cast<int>(limit.count())) != 1)
            return std::nullopt;
        std::vector<std::uint8_t> buffer(65536);
        const ssize_t n = ::recv(m_fd.fd(), buffer.data(), buffer.size(), 0);
        if (n < 0)
            return std::nullopt;
        buffer.resize(static_cast<std::size_t>(n));
        return buffer;
    }
    int pendingBytes() const {
        int n = 0;
        ::ioctl(m_fd.fd(), FIONREAD, &n);
        return n;
    }

private:
    testsupport::Fd m_fd;
};

inline int pendingBytes(int fd) {
    int n = 0;
    ::ioctl(fd, FIONREAD, &n);
    return n;
}

inline bool isOpenFd(int fd) {
    return fd > 0 && ::fcntl(fd, F_GETFD) != -1;
}

inline int nextComNumber() {
    // High numbers, distinct per test program run, so ports never clash with a real setup.
    static std::atomic<int> next{40000 + static_cast<int>(::getpid() % 1000) * 20};
    return next++;
}

// One mapping of a test's lists: a real virtual port, its network side set up by mode, and
// its five bridge threads, driven by the test (or resumed to run on their own).
struct Mapping {
    std::string link() const { return info->port->linkPath(); }
    NETSTRUCT& net() { return *info->net; }
    ByteRing& toPort() { return *info->netToPort; }
    ByteRing& toNet() { return *info->portToNet; }
    bool connected() const { return info->isConnected(); }
    bool ready() const { return portCreated && setUp; }

    // Runs passes of `thread` until `condition` holds (bounded).
    template <class T> bool passUntil(T& thread, const std::function<bool()>& condition, int limit = 20000) {
        for (int i = 0; i < limit; ++i) {
            if (condition())
                return true;
            thread.runPass();
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        return condition();
    }
    // Runs `count` passes of `thread`.
    template <class T> void passes(T& thread, int count) {
        for (int i = 0; i < count; ++i)
            thread.runPass();
    }

    // Puts bytes straight into a ring, as the pump that feeds it would.
    void queue(ByteRing& ring, const std::vector<std::uint8_t>& bytes) {
        SyncLock hold(*lock);
        ASSERT_TRUE(ring.copyIn(bytes.data(), static_cast<std::uint32_t>(bytes.size())));
    }
    std::vector<std::uint8_t> peek(ByteRing& ring) {
        SyncLock hold(*lock);
        std::vector<std::uint8_t> bytes(ring.count.load());
        if (!bytes.empty())
            ring.copyOut(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
        return bytes;
    }
    // A server mapping listens from the first builder pass with the port open.
    bool listen() {
        return passUntil(*builder, [&] { return net().listenSock.load() > 0; });
    }
    // Starts the five bridge threads' own loops.
    void resumeBridgeThreads() {
        builder->resume();
        tarnRX->resume();
        tarnTX->resume();
        netTX->resume();
        netRX->resume();
    }

    TARNINFO* info = nullptr;
    TARNThread* threads = nullptr;
    LockInterface* lock = nullptr;
    int com = 0;
    bool portCreated = false;
    bool setUp = false;
    Driven<ConnectionBuilder>* builder = nullptr;
    Driven<tarnRXThread>* tarnRX = nullptr;
    Driven<tarnTXThread>* tarnTX = nullptr;
    Driven<netTXThread>* netTX = nullptr;
    Driven<netRXThread>* netRX = nullptr;
};

// Mappings entered in real process-wide lists, in the program's creation order; the lists'
// own destroy sequence ends them. The four control threads stay suspended.
class TestMappings {
public:
    Mapping& add(std::int32_t mode, const char* ip = "127.0.0.1", std::uint16_t localPort = 0,
                 std::uint16_t remotePort = 0) {
        Mapping& m = m_views.emplace_back();
        auto owned = std::make_unique<TARNINFO>();
        m.info = owned.get();
        m.com = nextComNumber();
        m.info->comNumber = m.com;
        lists.mappings.push_back(std::move(owned));
        m.info->index = static_cast<std::int32_t>(lists.mappings.size() - 1);
        lists.comNumbers.push_back(m.com);
        auto threadSet = std::make_unique<TARNThread>(m.info, &makeMappingThreads);
        m.threads = threadSet.get();
        m.lock = threadSet->lock.get();
        m.builder = install<ConnectionBuilder>(threadSet->ConnectionBuilder, m);
        m.tarnRX = install<tarnRXThread>(threadSet->tarnRXThread, m);
        m.tarnTX = install<tarnTXThread>(threadSet->tarnTXThread, m);
        m.netTX = install<netTXThread>(threadSet->netTXThread, m);
        m.netRX = install<netRXThread>(threadSet->netRXThread, m);
        lists.threadSets.push_back(std::move(threadSet));
        m.portCreated = m.info->createPort(m.com);
        m.setUp = setUpNetworkSide(*m.info, *m.lock, mode, ip, localPort, remotePort);
        return m;
    }

    // Destroyed after the views, through the lists' own stop and destroy sequence.
    MappingLists lists{&makeMappingThreads};

private:
    template <class T> Driven<T>* install(std::unique_ptr<ThreadInterface2>& slot, Mapping& m) {
        auto thread = std::make_unique<Driven<T>>(*m.lock, m.info);
        Driven<T>* raw = thread.get();
        slot = std::move(thread);
        return raw;
    }
    std::deque<Mapping> m_views;
};

// Socket notifications as the monitor delivers them, queued for the test's "main loop".
class NotificationQueue {
public:
    NotificationQueue() {
        g_sock->setNotificationSink([this](const SocketNotification& n) {
            std::lock_guard guard(m_mutex);
            m_queue.push_back(n);
        });
    }
    ~NotificationQueue() { g_sock->setNotificationSink(nullptr); }
    NotificationQueue(const NotificationQueue&) = delete;
    NotificationQueue& operator=(const NotificationQueue&) = delete;

    // Waits for the close notification of `sock`'s current registration and takes it (and
    // anything before it, such as late notifications of earlier sockets of that number).
    std::optional<SocketNotification> waitForClose(SocketHandle sock, std::chrono::milliseconds limit = 20s) {
        std::optional<SocketNotification> found;
        waitUntil(
            [&] {
                std::lock_guard guard(m_mutex);
                while (!m_queue.empty()) {
                    const SocketNotification n = m_queue.front();
                    m_queue.pop_front();
                    if (n.sock == sock && (n.event & FD_CLOSE) && g_sock->isCurrentRegistration(sock, n.registration)) {
                        found = n;
                        return true;
                    }
                }
                return false;
            },
            limit);
        return found;
    }
    std::optional<SocketNotification> take() {
        std::lock_guard guard(m_mutex);
        if (m_queue.empty())
            return std::nullopt;
        const SocketNotification n = m_queue.front();
        m_queue.pop_front();
        return n;
    }

private:
    std::mutex m_mutex;
    std::deque<SocketNotification> m_queue;
};

// Enters a private network namespace (before any thread of the test starts), then starts the
// socket layer and a private port directory once per program. A derived SetUp returns when
// IsSkipped().
class BridgeTest : public ::testing::Test {
protected:
    void SetUp() override {
        TARN_REQUIRE_PRIVATE_NETNS();
        startSocketLayer();
        usePrivatePortDirectory();
    }
};

// One mapping under test, its application and its peer.
class MappingTest : public BridgeTest {
protected:
    // Adds the mapping, then opens its port as the application does, at 921600.
    void addAndOpen(std::int32_t mode, const char* ip, std::uint16_t localPort, std::uint16_t remotePort) {
        m = &ms.add(mode, ip, localPort, remotePort);
        ASSERT_TRUE(m->ready());
        app = std::make_unique<PortApp>(m->link(), B921600);
        ASSERT_TRUE(app->ok());
        ASSERT_TRUE(waitUntil([&] { return m->info->isOpen(); }));
    }

    LogCapture log;
    TestMappings ms;
    Mapping* m = nullptr;
    std::unique_ptr<PortApp> app;
    Peer peer;
};

} // namespace bridgetest
