#pragma once
// Pieces of the end-to-end control-session tests: a device namespace joined to the test's own
// private namespace by a veth pair, tarn-devsim in it with its standard input and output
// wired to the test, the program core with its device side (so the real search fills the
// device list), and the kernel's TCP counters of the test's namespace. Header-only.

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "control/mek_ncp.h"
#include "device/device_list.h"
#include "mapping/session_threads.h"
#include "mapping_harness.h"
#include "model/tarn_thread.h"
#include "support/netns.h"

namespace control_test {

using namespace mapping_test;
using Bytes = std::vector<std::uint8_t>;

// The programs the end-to-end tests run, as built, and the interpreter pyserial is found for.
inline const std::string kBin = TARN_BINARY_DIR;
inline const std::string kTarnd = kBin + "/src/app/tarnd";
inline const std::string kTarnctl = kBin + "/src/app/tarnctl";
inline const std::string kTarnRun = kBin + "/src/shim/tarn-run";
inline const std::string kProbe = kBin + "/tests/line_probe";
inline const std::string kPython = "/usr/bin/python3";

inline std::string devsimPath() {
    return TARN_BINARY_DIR "/sim/tarn-devsim";
}

// "01 05 08": the simulator's spelling of bytes.
inline std::string hexText(const Bytes& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i > 0)
            text += ' ';
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 0x0F];
    }
    return text;
}

inline Bytes withZeroPassword(Bytes head) {
    head.insert(head.end(), 16, 0x00);
    return head;
}

// A namespace for simulated devices on 10.79.<subnet>.0/24: the test's namespace holds .1,
// the device end .2 (more addresses on request). The test process must already be in its
// own private namespace, where the host end is created.
class DeviceLink {
public:
    explicit DeviceLink(int subnet)
        : m_ns("tcs"), m_prefix("10.79." + std::to_string(subnet) + "."),
          m_hostEnd("vcs" + std::to_string(subnet) + "h"), m_deviceEnd("vcs" + std::to_string(subnet) + "d") {
        if (!m_ns.ok()) {
            m_error = m_ns.error();
            return;
        }
        const std::vector<std::vector<std::string>> steps = {
            {"ip", "link", "add", m_hostEnd, "type", "veth", "peer", "name", m_deviceEnd, "netns", m_ns.name()},
            {"ip", "addr", "add", m_prefix + "1/24", "dev", m_hostEnd},
            {"ip", "link", "set", m_hostEnd, "up"},
            {"ip", "-n", m_ns.name(), "addr", "add", m_prefix + "2/24", "dev", m_deviceEnd},
            {"ip", "-n", m_ns.name(), "link", "set", m_deviceEnd, "up"},
        };
        for (const auto& step : steps) {
            if (!run(step))
                return;
        }
        m_ok = true;
    }
    ~DeviceLink() { testsupport::runCommand({"ip", "link", "del", m_hostEnd}); }
    DeviceLink(const DeviceLink&) = delete;
    DeviceLink& operator=(const DeviceLink&) = delete;

    bool ok() const { return m_ok; }
    const std::string& error() const { return m_error; }
    const testsupport::NamedNetns& ns() const { return m_ns; }
    std::string hostIp() const { return m_prefix + "1"; }
    std::string deviceIp(int host = 2) const { return m_prefix + std::to_string(host); }

    bool addDeviceAddress(int host) {
        return run({"ip", "-n", m_ns.name(), "addr", "add", deviceIp(host) + "/24", "dev", m_deviceEnd});
    }
    // Down, the subnet has no route: connections to the devices fail at once.
    bool setHostLink(bool up) { return run({"ip", "link", "set", m_hostEnd, up ? "up" : "down"}); }
    // Down, the device end drops everything in silence while the host keeps its route: to
    // the host the devices look dead (switched off, cable pulled), not gone.
    bool setDeviceEnd(bool up) {
        return run({"ip", "-n", m_ns.name(), "link", "set", m_deviceEnd, up ? "up" : "down"});
    }

    // A TCP peer living in the device namespace but owned by this process: a listener on
    // the device address, or a client connected to `ip`:`port` (retried until the deadline).
    Sock listenInside(std::uint16_t port, int host = 2) const {
        Sock s = socketInside();
        const int on = 1;
        ::setsockopt(s.fd(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        const sockaddr_in sa = address(deviceIp(host), port);
        if (!s.valid() || ::bind(s.fd(), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0 ||
            ::listen(s.fd(), 4) != 0)
            return Sock();
        return s;
    }
    Sock connectInside(const std::string& ip, std::uint16_t port) const {
        Sock s;
        const sockaddr_in sa = address(ip, port);
        const bool connected = testsupport::waitUntil([&] {
            s = socketInside();
            return s.valid() && ::connect(s.fd(), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0;
        });
        return connected ? std::move(s) : Sock();
    }

private:
    static sockaddr_in address(const std::string& ip, std::uint16_t port) {
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(port);
        ::inet_pton(AF_INET, ip.c_str(), &sa.sin_addr);
        return sa;
    }
    // Made by a short-lived thread that joins the namespace: a socket stays in the namespace
    // it was made in, while the rest of the process stays in its own.
    Sock socketInside() const {
        int fd = -1;
        std::thread([&] {
            const int nsFd = ::open(("/run/netns/" + m_ns.name()).c_str(), O_RDONLY | O_CLOEXEC);
            if (nsFd < 0)
                return;
            if (::setns(nsFd, CLONE_NEWNET) == 0)
                fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            ::close(nsFd);
        }).join();
        return Sock(fd);
    }

    bool run(const std::vector<std::string>& argv) {
        const testsupport::CommandResult r = testsupport::runCommand(argv);
        if (r.exitCode != 0) {
            m_error = argv[0] + " " + argv[1] + " " + argv[2] + " ...: " + r.output;
            return false;
        }
        return true;
    }

    testsupport::NamedNetns m_ns;
    std::string m_prefix, m_hostEnd, m_deviceEnd, m_error;
    bool m_ok = false;
};

// tarn-devsim in a namespace: commands go to its standard input, its standard output comes
// back as lines. Ended by its PID.
class Devsim {
public:
    Devsim() = default;
    ~Devsim() { stop(); }
    Devsim(const Devsim&) = delete;
    Devsim& operator=(const Devsim&) = delete;

    bool start(const testsupport::NamedNetns& ns, const std::vector<std::string>& arguments) {
        int in[2], out[2];
        if (::pipe2(in, O_CLOEXEC) != 0)
            return false;
        if (::pipe2(out, O_CLOEXEC) != 0) {
            ::close(in[0]);
            ::close(in[1]);
            return false;
        }
        std::vector<std::string> argv{"ip", "netns", "exec", ns.name(), devsimPath()};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        m_pid = testsupport::startProgram(argv, in[0], out[1]);
        ::close(in[0]);
        ::close(out[1]);
        m_in = in[1];
        m_out = out[0];
        ::fcntl(m_out, F_SETFL, O_NONBLOCK);
        return m_pid > 0;
    }

    void command(const std::string& line) {
        const std::string text = line + "\n";
        [[maybe_unused]] auto n = ::write(m_in, text.data(), text.size());
    }

    // Every line so far.
    const std::vector<std::string>& lines() {
        char buffer[4096];
        ssize_t n;
        while (m_out >= 0 && (n = ::read(m_out, buffer, sizeof buffer)) > 0) {
            m_partial.append(buffer, static_cast<std::size_t>(n));
            std::size_t end;
            while ((end = m_partial.find('\n')) != std::string::npos) {
                m_lines.push_back(m_partial.substr(0, end));
                m_partial.erase(0, end + 1);
            }
        }
        return m_lines;
    }
    std::size_t count(const std::string& prefix) {
        std::size_t n = 0;
        for (const auto& line : lines())
            n += line.rfind(prefix, 0) == 0 ? 1 : 0;
        return n;
    }
    // The bytes of each control message the device received, in order.
    std::vector<std::string> controlReceived() {
        static const std::string kPrefix = "control rx ";
        std::vector<std::string> messages;
        for (const auto& line : lines()) {
            if (line.rfind(kPrefix, 0) == 0)
                messages.push_back(line.substr(kPrefix.size()));
        }
        return messages;
    }
    std::string transcript() {
        std::string text;
        for (const auto& line : lines())
            text += "  " + line + "\n";
        return text;
    }

    void stop() {
        if (m_pid > 0) {
            ::kill(m_pid, SIGTERM);
            int status = 0;
            if (!testsupport::waitUntil([&] { return ::waitpid(m_pid, &status, WNOHANG) != 0; }, 10s)) {
                ::kill(m_pid, SIGKILL);
                ::waitpid(m_pid, &status, 0);
            }
            m_pid = -1;
        }
        for (int* fd : {&m_in, &m_out}) {
            if (*fd >= 0)
                ::close(*fd);
            *fd = -1;
        }
    }

private:
    pid_t m_pid = -1;
    int m_in = -1;
    int m_out = -1;
    std::string m_partial;
    std::vector<std::string> m_lines;
};

// A TCP counter of the test's namespace from /proc/self/net/snmp ("AttemptFails": connects
// that ended before they were established, e.g. refused).
inline long tcpCounter(const std::string& name) {
    std::ifstream in("/proc/self/net/snmp");
    std::string header, values, line;
    while (std::getline(in, line)) {
        if (line.rfind("Tcp:", 0) != 0)
            continue;
        if (header.empty())
            header = line;
        else
            values = line;
    }
    std::istringstream names(header), numbers(values);
    std::string key, value;
    while (names >> key && numbers >> value) {
        if (key == name)
            return std::stol(value);
    }
    return -1;
}

// The program core with its device side, run in-process with the test thread as its main
// loop; the start-up runs the real search on the worker.
class SessionCore : public CoreUnderTest {
public:
    SessionCore() : CoreUnderTest(sessionOptions()) {}

    static core::CoreOptions sessionOptions() {
        core::CoreOptions options = testOptions(true);
        options.deviceManagement = true;
        options.workerAnnouncesSearch = true;
        return options;
    }

    TARNThread* threads(int com) {
        const int position = core::ProgramCoreProbe::lists(*m_core).findByCom(com);
        return position < 0
                   ? nullptr
                   : core::ProgramCoreProbe::lists(*m_core).threadSets[static_cast<std::size_t>(position)].get();
    }
    std::optional<core::MappingRow> row(int com) {
        for (auto& r : m_core->mappingRows()) {
            if (r.comNumber == com)
                return r;
        }
        return std::nullopt;
    }

    // Returns once `thread` has run `count` more whole passes. A thread takes at most one
    // posted message per pass, before the pass: so once the n-th of a chain of messages ran,
    // the pass after the (n-1)-th has finished.
    bool passes(ThreadInterface2& thread, int count) {
        for (int i = 0; i <= count; ++i) {
            auto ran = std::make_shared<std::atomic<bool>>(false);
            thread.post([ran] { ran->store(true); });
            if (!waitFor([&] { return ran->load(); }))
                return false;
        }
        return true;
    }
};

// Applies `edit` to the line settings of an open terminal, as an application does.
// The line probe blocked in TIOCMIWAIT on `port` (under the shim), while `setCts` raises and
// drops the device's CTS until it wakes: its wait may begin after a change. What the probe
// printed once it woke; empty if it never waited or never woke.
inline std::optional<std::string> waitWokenByCts(const std::string& port, const std::function<void(bool)>& setCts) {
    ChildProcess waiter;
    if (!waiter.start({kTarnRun, kProbe, "wait", port}, true) ||
        !testsupport::waitUntil([&] { return waiter.printed("waiting"); }, kDeadline))
        return std::nullopt;
    bool raised = false;
    const bool woke = testsupport::waitUntil(
        [&] {
            raised = !raised;
            setCts(raised);
            return waiter.waitExit(std::chrono::milliseconds(200)) != -1;
        },
        kDeadline);
    return woke ? std::optional(waiter.output()) : std::nullopt;
}

inline bool changeLine(int fd, const std::function<void(termios&)>& edit) {
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0)
        return false;
    edit(tio);
    return ::tcsetattr(fd, TCSANOW, &tio) == 0;
}

} // namespace control_test
