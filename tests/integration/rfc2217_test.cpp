// RFC 2217 mappings against three servers: tarn-devsim, ser2net and pyserial's port manager,
// each in a namespace of its own, with the real tarnd and applications under the port shim.
// What must hold with every one: the application's bytes, 0xFF included, pass unchanged both
// ways, no byte of negotiation ever reaches it, and its line settings and lines reach the
// server while the server's lines reach it.

#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <sstream>

#include "control_harness.h"
#include "support/pty_app.h"

namespace {

using namespace control_test;

const std::string kSer2net = "/usr/sbin/ser2net";

// Sets 19200 7E1, drops RTS, raises DTR, sends a break, flushes both ways, then prints the input lines whenever
// they change until CTS has risen and fallen.
const std::string kPyserialClient = R"(
import sys, time, serial
port = serial.Serial(sys.argv[1], 19200, bytesize=7, parity='E', timeout=1)
port.rts = False
port.dtr = True
port.send_break(0.3)
port.reset_input_buffer()
port.reset_output_buffer()
print('set', flush=True)
lines = lambda: (int(port.cts), int(port.dsr), int(port.ri), int(port.cd))
last, seen, deadline = None, False, time.monotonic() + 60
while time.monotonic() < deadline:
    if lines() != last:
        last = lines()
        print('lines', *last, flush=True)
    seen = seen or last[0]
    if seen and not last[0]:
        break
    time.sleep(0.01)
print('done', flush=True)
)";

Bytes randomBytes(std::size_t size, unsigned seed) {
    std::mt19937 random(seed);
    Bytes bytes(size);
    for (auto& b : bytes)
        b = static_cast<std::uint8_t>(random());
    // Runs of IAC, and IAC before every command byte, at the start where a slip shows first.
    for (std::size_t i = 0; i < 512 && i < size; ++i)
        bytes[i] = i % 2 ? 0xFF : static_cast<std::uint8_t>(0xF0 + i % 16);
    return bytes;
}

class Rfc2217 : public ::testing::Test {
protected:
    static constexpr int kCom = 29;

    void SetUp() override {
        TARN_REQUIRE_PRIVATE_NETNS();
        if (std::system((kPython + " -c 'import serial.rfc2217' 2>/dev/null").c_str()) != 0)
            GTEST_SKIP() << "pyserial for " << kPython << " is not installed (scripts/install-deps.sh installs it)";
        for (const auto& program : {devsimPath(), kTarnd, kTarnRun, kProbe})
            ASSERT_EQ(::access(program.c_str(), X_OK), 0) << program;
        m_link = std::make_unique<DeviceLink>(kCom);
        ASSERT_TRUE(m_link->ok()) << m_link->error();
    }

    void TearDown() override {
        if (m_tarnd.pid() > 0) {
            const int status = m_tarnd.stop(SIGTERM);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        }
    }

    // tarnd with one RFC 2217 mapping to the device address, port `remote`.
    void startTarnd(std::uint16_t remote) {
        tarnDesc desc = makeDesc(kCom, kModeTcpClient, m_link->deviceIp().c_str(), 0, remote);
        ASSERT_TRUE(setRfc2217(desc, true));
        const DescRecord record = encodeDesc(desc);
        ASSERT_TRUE(writeFileBytes(m_home.mappingFile(), Bytes(record.begin(), record.end())));
        ASSERT_TRUE(m_tarnd.start({kTarnd, "--no-search"}, true));
        ASSERT_TRUE(waitFor([&] { return ::access(port().c_str(), F_OK) == 0; })) << m_tarnd.output();
    }

    // `size` random bytes each way at once, application and server end, checked whole.
    void exchange(AppPort& app, AppPort& device, std::size_t size) {
        const Bytes toDevice = randomBytes(size, 1), toApp = randomBytes(size, 2);
        Bytes atDevice, atApp;
        {
            Background appWriter([&] { EXPECT_TRUE(app.writeAll(toDevice.data(), size, 60s)); });
            Background deviceWriter([&] { EXPECT_TRUE(device.writeAll(toApp.data(), size, 60s)); });
            Background deviceReader([&] { atDevice = device.readExactly(size, 60s); });
            atApp = app.readExactly(size, 60s);
        }
        EXPECT_EQ(atDevice.size(), size);
        EXPECT_TRUE(atDevice == toDevice) << "the server's end got other bytes";
        EXPECT_EQ(atApp.size(), size);
        EXPECT_TRUE(atApp == toApp) << "the application got other bytes";
        EXPECT_TRUE(app.readExactly(1, 300ms).empty()) << "a byte more than the server sent";
    }

    static bool waitFor(const std::function<bool()>& done) { return testsupport::waitUntil(done, kDeadline); }
    std::string port() const { return m_home.portLink(kCom); }
    bool tarndLogged(const std::string& text) { return m_tarnd.printed(text, true); }

    TempHome m_home;
    std::unique_ptr<DeviceLink> m_link;
    ChildProcess m_tarnd;
};

TEST_F(Rfc2217, DevsimTakesTheApplicationsLineAndItsBytesPassUnchanged) {
    const std::string serial = m_home.root() + "/serial";
    Devsim device;
    ASSERT_TRUE(device.start(m_link->ns(), {"--no-raw", "--device",
                                            "ip=" + m_link->deviceIp() +
                                                ",mode=tcp-server,data-port=4001,rfc2217=on,serial=pty:" + serial}));
    ASSERT_TRUE(waitFor([&] { return device.count("devsim ready") == 1; })) << device.transcript();
    startTarnd(4001);
    {
        // The first open: the negotiation runs while these bytes flow.
        AppPort app, end;
        ASSERT_TRUE(app.open(port(), 921600));
        ASSERT_TRUE(end.open(serial, 921600));
        exchange(app, end, 256 * 1024);
    }

    ChildProcess client;
    ASSERT_TRUE(client.start({kTarnRun, kPython, "-c", kPyserialClient, port()}, true));
    ASSERT_TRUE(waitFor([&] { return client.printed("set"); })) << client.output();
    for (const char* line :
         {"rfc2217 agreed", "rfc2217 baud 19200", "rfc2217 data size 7", "rfc2217 parity even",
          "rfc2217 control RTS off", "rfc2217 control DTR on", "rfc2217 control break on", "rfc2217 control break off"})
        ASSERT_TRUE(waitFor([&] { return device.count(line) > 0; })) << line << "\n" << device.transcript();
    ASSERT_TRUE(waitFor([&] {
        return runToEnd({kTarnctl, "list"}).find("RFC 2217") != std::string::npos;
    })) << runToEnd({kTarnctl, "list"});

    // The device's lines reach the application; it ends when CTS falls again.
    device.command("modem cts dsr");
    ASSERT_TRUE(waitFor([&] { return client.printed("lines 1 1 0 0"); })) << client.output();
    device.command("modem dcd");
    ASSERT_NE(client.waitExit(30s), -1);
    EXPECT_TRUE(client.printed("lines 0 0 0 1")) << client.output();
    // Its close hangs up, as a serial port's does.
    ASSERT_TRUE(waitFor([&] { return device.count("rfc2217 control DTR off") > 0; })) << device.transcript();
}

// ser2net's telnet(rfc2217) accepter on a pseudo-terminal whose other end the test holds.
TEST_F(Rfc2217, Ser2netSetsItsLineAndCarriesAMegabyteUnchanged) {
    if (::access(kSer2net.c_str(), X_OK) != 0)
        GTEST_SKIP() << kSer2net << " is not installed (scripts/install-deps.sh installs it)";
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    AppPort end;
    end.adopt(master);
    termios raw{};
    ::tcgetattr(master, &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(master, TCSANOW, &raw);
    const std::string config = m_home.root() + "/ser2net.yaml";
    std::ofstream(config) << "connection: &serial\n"
                             "  accepter: telnet(rfc2217),tcp,"
                          << m_link->deviceIp() << ",4001\n  connector: serialdev," << ::ptsname(master)
                          << ",9600n81,local\n";
    ChildProcess ser2net;
    ASSERT_TRUE(ser2net.start({"ip", "netns", "exec", m_link->ns().name(), kSer2net, "-n", "-u", "-P",
                               m_home.root() + "/ser2net.pid", "-c", config},
                              true));
    ASSERT_TRUE(waitFor([&] { return m_link->connectInside(m_link->deviceIp(), 4001).valid(); })) << ser2net.output();
    startTarnd(4001);
    {
        AppPort app;
        ASSERT_TRUE(app.open(port(), 921600));
        exchange(app, end, 1024 * 1024);
    }
    // ser2net puts the application's rate on its port. A pseudo-terminal keeps no other frame
    // than 8N1, so the data size and parity cannot be read back here.
    ChildProcess client;
    ASSERT_TRUE(client.start({kTarnRun, kPython, "-c", kPyserialClient, port()}, true));
    ASSERT_TRUE(waitFor([&] { return client.printed("set"); })) << client.output();
    ASSERT_TRUE(waitFor([&] { return ::cfgetospeed(&(::tcgetattr(master, &raw), raw)) == B19200; }))
        << m_tarnd.output();
    client.stop(SIGTERM);
}

// pyserial's server side over a port object of the test's own, which prints what it is set to
// and reports the lines named in a file as its inputs. What arrives as data goes back.
const std::string kPortManager = R"(
import os, select, socket, sys, serial.rfc2217
class Port:
    def __init__(self):
        object.__setattr__(self, 'values', dict(baudrate=9600, bytesize=8, parity='N', stopbits=1, rtscts=False,
            xonxoff=False, rts=True, dtr=True, break_condition=False, cts=False, dsr=False, ri=False, cd=False,
            name='test', timeout=0, is_open=True))
    def __getattr__(self, name):
        if name in self.values:
            return self.values[name]
        raise AttributeError(name)
    def __setattr__(self, name, value):
        self.values[name] = value
        print('set', name, value, flush=True)
    def reset_input_buffer(self):
        print('purge input', flush=True)
    def reset_output_buffer(self):
        print('purge output', flush=True)
class Connection:
    def __init__(self, sock):
        self.sock = sock
    def write(self, data):
        self.sock.sendall(data)
listener = socket.create_server((sys.argv[1], int(sys.argv[2])))
print('listening', flush=True)
sock, _ = listener.accept()
print('connected', flush=True)
port = Port()
manager = serial.rfc2217.PortManager(port, Connection(sock))
shown = None
while True:
    if select.select([sock], [], [], 0.02)[0]:
        data = sock.recv(4096)
        if not data:
            break
        back = b''.join(manager.filter(data))
        if back:
            sock.sendall(b''.join(manager.escape(back)))
    try:
        names = open(sys.argv[3]).read().split()
    except OSError:
        names = []
    if names != shown:
        shown = names
        for line in ('cts', 'dsr', 'ri', 'cd'):
            port.values[line] = line in names
    manager.check_modem_lines()
)";

TEST_F(Rfc2217, PyserialsServerSeesTheApplicationsLinesAndSendsItsOwn) {
    const std::string lines = m_home.root() + "/lines";
    ChildProcess server;
    ASSERT_TRUE(server.start(
        {"ip", "netns", "exec", m_link->ns().name(), kPython, "-c", kPortManager, m_link->deviceIp(), "4001", lines},
        true));
    ASSERT_TRUE(waitFor([&] { return server.printed("listening"); })) << server.output();
    startTarnd(4001);
    // The connection is up before the client's breaks and flushes, which belong to it.
    AppPort first;
    ASSERT_TRUE(first.open(port(), 9600));
    ASSERT_TRUE(waitFor([&] { return server.printed("connected"); })) << server.output();

    ChildProcess client;
    ASSERT_TRUE(client.start({kTarnRun, kPython, "-c", kPyserialClient, port()}, true));
    ASSERT_TRUE(waitFor([&] { return client.printed("set"); })) << client.output();
    first.close();
    for (const char* line : {"set baudrate 19200", "set bytesize 7", "set parity E", "set rts False", "set dtr True",
                             "set break_condition True", "set break_condition False", "purge input", "purge output"})
        ASSERT_TRUE(waitFor([&] { return server.printed(line); })) << line << "\n" << server.output();
    std::ofstream(lines) << "cts dsr";
    ASSERT_TRUE(waitFor([&] { return client.printed("lines 1 1 0 0"); })) << client.output();
    std::ofstream(lines) << "ri cd";
    ASSERT_NE(client.waitExit(30s), -1);
    EXPECT_TRUE(client.printed("lines 0 0 1 1")) << client.output();
    ASSERT_TRUE(waitFor([&] { return server.printed("set dtr False"); })) << server.output();

    // A program blocked in TIOCMIWAIT wakes on the server's CTS. Its wait may begin after a
    // change, so the server changes CTS until it has woken.
    const auto woke = waitWokenByCts(port(), [&](bool on) { std::ofstream(lines) << (on ? "cts" : ""); });
    ASSERT_TRUE(woke.has_value());
    EXPECT_NE(woke->find("woke cts="), std::string::npos) << *woke;
}

// Servers that refuse, hang up during the negotiation, or send a subnegotiation without end:
// each leaves a row in the log, and not one byte of negotiation reaches the application.
TEST_F(Rfc2217, BadServersLeaveALogRowAndNeverReachTheApplication) {
    Devsim refusing;
    ASSERT_TRUE(refusing.start(
        m_link->ns(), {"--no-raw", "--device",
                       "ip=" + m_link->deviceIp() + ",mode=tcp-server,data-port=4001,rfc2217=refuse,serial=echo"}));
    ASSERT_TRUE(waitFor([&] { return refusing.count("devsim ready") == 1; })) << refusing.transcript();
    startTarnd(4001);
    AppPort app;
    ASSERT_TRUE(app.open(port(), 921600));
    const Bytes echoed = randomBytes(4096, 3);
    ASSERT_TRUE(app.writeAll(echoed));
    EXPECT_TRUE(app.readExactly(echoed.size()) == echoed) << "a refusing server still frames its data";
    EXPECT_TRUE(app.readExactly(1, 300ms).empty());
    ASSERT_TRUE(waitFor([&] {
        return tarndLogged("COM29: The device server refuses port settings; the connection carries data only.");
    })) << m_tarnd.output();
    app.close();
    refusing.stop();

    // The next servers are this test's own, on the same address and port.
    const Sock listener = m_link->listenInside(4001);
    ASSERT_TRUE(listener.valid());
    const auto accept = [&] {
        pollfd p{listener.fd(), POLLIN, 0};
        return Sock(::poll(&p, 1, 30'000) == 1 ? ::accept4(listener.fd(), nullptr, nullptr, SOCK_CLOEXEC) : -1);
    };
    ASSERT_TRUE(app.open(port(), 921600));
    {
        Sock first = accept(); // the mapping reconnects once its port opens
        ASSERT_TRUE(first.valid());
        EXPECT_FALSE(testsupport::receive(first.fd(), 3, Clock::now() + kDeadline).empty());
    } // hung up during the negotiation
    ASSERT_TRUE(waitFor([&] { return tarndLogged("COM29 is disconnected and reconnection is being tried."); }))
        << m_tarnd.output();

    Sock endless = accept();
    ASSERT_TRUE(endless.valid());
    Bytes flood = {0xFF, 0xFB, 0x2C, 0xFF, 0xFA, 0x2C, 0x6B}; // WILL, then a subnegotiation that runs on
    const Bytes noise = randomBytes(1 << 20, 4);
    flood.insert(flood.end(), noise.begin(), noise.end());
    // An IAC in the noise that is not IAC IAC or IAC SE would end it early: double them all.
    for (std::size_t i = 7; i < flood.size(); ++i)
        if (flood[i] == 0xFF)
            flood.insert(flood.begin() + static_cast<std::ptrdiff_t>(++i), 0xFF);
    Background sender([&] {
        EXPECT_EQ(::send(endless.fd(), flood.data(), flood.size(), MSG_NOSIGNAL), static_cast<ssize_t>(flood.size()));
    });
    EXPECT_TRUE(app.readExactly(1, 3s).empty()) << "a byte of the subnegotiation reached the application";
    sender.join();
    const Bytes after = {0xFF, 0xF0, 'o', 'k', 0xFF, 0xFF};
    ASSERT_EQ(::send(endless.fd(), after.data(), after.size(), MSG_NOSIGNAL), 6);
    EXPECT_TRUE(app.readExactly(3) == (Bytes{'o', 'k', 0xFF}));
    ASSERT_TRUE(waitFor([&] {
        return tarndLogged("COM29: The device server sent a malformed or unknown port command; it was ignored.");
    })) << m_tarnd.output();
}

} // namespace
