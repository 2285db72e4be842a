// Unmodified serial applications on a port that the real tarnd maps to tarn-devsim: pyserial,
// stty and a small C program, each with the port shim (tarn-run) and without it. With the
// shim the device gets the application's data size, parity, RTS and DTR, and the application
// sees the device's input lines; without it everything is as a plain pseudo-terminal has it.

#include <gtest/gtest.h>

#include <sstream>

#include "control_harness.h"
#include "support/pty_app.h"

namespace {

using namespace control_test;

// Opens the port at 9600, asks for 7E1, drops RTS, raises DTR, then reports its own view of
// the line (until the device has raised and dropped CTS, with "wait"). Every call that fails
// is printed, not raised: some kernels refuse 7E1 on a pseudo-terminal, others force 8N.
const std::string kPyserialClient = R"(
import sys, termios, time, serial
def attempt(name, call):
    try:
        return call()
    except (OSError, termios.error) as error:
        print(name, 'error', error.args[0] if error.args and isinstance(error.args[0], int) else '-', flush=True)
port = serial.Serial(sys.argv[1], 9600, timeout=1)
attempt('frame', lambda: setattr(port, 'bytesize', serial.SEVENBITS))
attempt('frame', lambda: setattr(port, 'parity', serial.PARITY_EVEN))
cflag = termios.tcgetattr(port.fd)[2]
print('frame', 7 if cflag & termios.CSIZE == termios.CS7 else 8, 'parenb', int(bool(cflag & termios.PARENB)), flush=True)
attempt('rts', lambda: setattr(port, 'rts', False))
attempt('dtr', lambda: setattr(port, 'dtr', True))
attempt('break', lambda: port.send_break(0.01))
lines = lambda: (int(port.cts), int(port.dsr), int(port.cd), int(port.ri))
print('lines', *(attempt('lines', lines) or ('-',)), flush=True)
if sys.argv[2] == 'wait':
    deadline = time.monotonic() + 60
    while not port.cts and time.monotonic() < deadline:
        time.sleep(0.01)
    print('lines', *lines(), flush=True)
    while port.cts and time.monotonic() < deadline:
        time.sleep(0.01)
print('done', flush=True)
)";

// A shell command line with the port as $1, standard error joined to standard output.
std::string shell(const std::string& command, const std::string& port) {
    return runToEnd({"sh", "-c", command + " 2>&1", "sh", port});
}

class LineFidelity : public ::testing::Test {
protected:
    static constexpr int kCom = 27;

    void SetUp() override {
        TARN_REQUIRE_PRIVATE_NETNS();
        if (::access(kPython.c_str(), X_OK) != 0 ||
            std::system((kPython + " -c 'import serial' 2>/dev/null").c_str()) != 0)
            GTEST_SKIP() << "pyserial for " << kPython << " is not installed (scripts/install-deps.sh installs it)";
        for (const auto& program : {devsimPath(), kTarnd, kTarnRun, kProbe})
            ASSERT_EQ(::access(program.c_str(), X_OK), 0) << program;
        // Made only now: its host end belongs in the namespace just entered.
        m_link = std::make_unique<DeviceLink>(kCom);
        ASSERT_TRUE(m_link->ok()) << m_link->error();
        ASSERT_TRUE(m_device.start(m_link->ns(),
                                   {"--no-raw", "--device",
                                    "ip=" + m_link->deviceIp() + ",mode=tcp-server,data-port=4001,control-port=4002"}));
        ASSERT_TRUE(waitFor([&] { return m_device.count("devsim ready") == 1; })) << m_device.transcript();
        const DescRecord record = encodeDesc(makeDesc(kCom, kModeTcpClient, m_link->deviceIp().c_str(), 0, 4001));
        ASSERT_TRUE(writeFileBytes(m_home.mappingFile(), std::vector<std::uint8_t>(record.begin(), record.end())));
        ASSERT_TRUE(m_tarnd.start({kTarnd}, true));
        ASSERT_TRUE(waitFor([&] { return m_tarnd.printed("1 device(s) searched.", true); })) << m_tarnd.output();
    }

    void TearDown() override {
        if (m_tarnd.pid() > 0) {
            const int status = m_tarnd.stop(SIGTERM);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        }
    }

    static bool waitFor(const std::function<bool()>& done) { return testsupport::waitUntil(done, kDeadline); }
    bool deviceLogged(const std::string& line) { return m_device.count(line) > 0; }
    std::string port() const { return m_home.portLink(kCom); }
    // Whether `tarnctl list` shows these cells side by side ("7 Even 1": data bits, parity, stop bits).
    bool rowShows(const std::string& cells) {
        std::istringstream in(runToEnd({kTarnctl, "list"}));
        std::string words;
        for (std::string word; in >> word;)
            words += " " + word;
        return words.find(" " + cells + " ") != std::string::npos;
    }

    TempHome m_home;
    std::unique_ptr<DeviceLink> m_link;
    Devsim m_device;
    ChildProcess m_tarnd;
};

TEST_F(LineFidelity, WithoutTheShimClientsSeeAPlainPseudoTerminalAndWithItOtherDescriptorsDoToo) {
    AppPort holder; // keeps the session up, and stty's settings for its second look
    ASSERT_TRUE(holder.open(port(), 9600));

    // A small C program on a file, a pipe, a socket pair and a pseudo-terminal of its own,
    // while a port of ours is served: the shim changes none of its results.
    const std::string plain = runToEnd({kProbe, "others"});
    EXPECT_EQ(runToEnd({kTarnRun, kProbe, "others"}), plain);
    EXPECT_NE(plain.find("again=0 cs7=0 parenb=0 TIOCMGET=-1/ENOTTY"), std::string::npos) << plain;
    EXPECT_NE(plain.find("terminal bytes 1 1 x"), std::string::npos) << plain;
    EXPECT_NE(plain.find("pipe tcgetattr=-1/ENOTTY"), std::string::npos) << plain;
    EXPECT_NE(plain.find("FIONREAD=0/5"), std::string::npos) << plain;
    ASSERT_TRUE(waitFor([&] { return deviceLogged("control line settings 9600 8N1 flow none"); }))
        << m_device.transcript();

    ChildProcess client;
    ASSERT_TRUE(client.start({kPython, "-c", kPyserialClient, port(), "once"}, true));
    ASSERT_NE(client.waitExit(30s), -1);
    const std::string enotty = std::to_string(ENOTTY);
    EXPECT_TRUE(client.printed("frame 8 parenb 0")) << client.output();
    EXPECT_TRUE(client.printed("rts error " + enotty)) << client.output();
    EXPECT_TRUE(client.printed("lines error " + enotty)) << client.output();
    EXPECT_TRUE(client.printed("done")) << client.output();

    // stty says it failed: the kernel refused, or the read-back differs from what it set.
    const std::string set = shell("stty -F \"$1\" cs7 parenb -parodd", port());
    EXPECT_NE(set.find("exit "), std::string::npos) << set;
    const std::string shown = shell("stty -F \"$1\" -a", port());
    EXPECT_NE(shown.find(" cs8 "), std::string::npos) << shown;
    EXPECT_NE(shown.find("-parenb"), std::string::npos) << shown;
    EXPECT_EQ(runToEnd({kProbe, "wait", port()}), "waiting\nerror wait ENOTTY\nexit 256");

    // A last change the device must see: every line setting it got before was 8N1.
    EXPECT_EQ(shell("stty -F \"$1\" 19200", port()), "");
    ASSERT_TRUE(waitFor([&] { return deviceLogged("control line settings 19200 8N1 flow none"); }))
        << m_device.transcript();
    EXPECT_EQ(m_device.count("control line settings"), 2u) << m_device.transcript();
    EXPECT_EQ(m_device.count("control modem lines RTS on, DTR on"), 1u) << m_device.transcript();
}

TEST_F(LineFidelity, WithTheShimTheDeviceAndTheApplicationsShareTheWholeLine) {
    ChildProcess client;
    ASSERT_TRUE(client.start({kTarnRun, kPython, "-c", kPyserialClient, port(), "wait"}, true));
    ASSERT_TRUE(waitFor([&] { return client.printed("lines 0 0 0 0"); })) << client.output();
    EXPECT_TRUE(client.printed("frame 7 parenb 1")) << client.output();
    ASSERT_TRUE(waitFor([&] { return deviceLogged("control line settings 9600 7E1 flow none"); }))
        << m_device.transcript();
    const auto received = m_device.controlReceived();
    EXPECT_NE(
        std::find(received.begin(), received.end(), hexText(withZeroPassword({0x01, 0x05, 0x07, 0x02, 0x00, 0x00}))),
        received.end())
        << m_device.transcript();
    ASSERT_TRUE(waitFor([&] { return deviceLogged("control modem lines RTS off, DTR on"); })) << m_device.transcript();
    ASSERT_TRUE(waitFor([&] {
        return m_tarnd.printed(
            "COM27: a break from the application is not sent on: the control protocol has no message for it.", true);
    })) << m_tarnd.output();
    ASSERT_TRUE(waitFor([&] { return rowShows("7 Even 1"); })) << runToEnd({kTarnctl, "list"});

    // stty in a process of its own reads back what pyserial set, and sets what it is asked.
    const std::string shown = shell(kTarnRun + " stty -F \"$1\" -a", port());
    EXPECT_NE(shown.find(" cs7 "), std::string::npos) << shown;
    EXPECT_NE(shown.find("parenb -parodd"), std::string::npos) << shown;
    EXPECT_EQ(shell(kTarnRun + " stty -F \"$1\" cs8 parenb parodd", port()), "");
    ASSERT_TRUE(waitFor([&] { return deviceLogged("control line settings 9600 8O1 flow none"); }))
        << m_device.transcript();

    // The device's lines reach pyserial; the client ends when CTS drops again.
    m_device.command("send 11 30");
    ASSERT_TRUE(waitFor([&] { return client.printed("lines 1 1 0 0"); })) << client.output();
    m_device.command("send 11 00");
    ASSERT_NE(client.waitExit(30s), -1);
    EXPECT_TRUE(client.printed("done")) << client.output();

    // A C program blocked in TIOCMIWAIT wakes on the device's CTS change. Its wait may begin
    // after a change, so the device changes CTS until it has woken.
    const auto woke = waitWokenByCts(port(), [&](bool on) { m_device.command(on ? "send 11 10" : "send 11 00"); });
    ASSERT_TRUE(woke.has_value());
    const std::string& waited = *woke;
    EXPECT_NE(waited.find("woke cts="), std::string::npos) << waited;
    EXPECT_EQ(waited.find("dsr=1"), std::string::npos) << waited;

    // Closed, the port keeps the frame as a serial port keeps its settings, and the next
    // open raises RTS and DTR again.
    AppPort plain;
    ASSERT_TRUE(plain.open(port(), 9600));
    ASSERT_TRUE(waitFor([&] { return rowShows("8 Odd 1"); })) << runToEnd({kTarnctl, "list"});
    ASSERT_TRUE(waitFor([&] { return m_device.count("control modem lines RTS on, DTR on") >= 1; }))
        << m_device.transcript();
}

// Drops DTR and clears HUPCL, then holds the port until the file $2 exists.
const std::string kNoHangUpClient = R"(
import fcntl, os, struct, sys, termios, time
fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)
attrs = termios.tcgetattr(fd)
attrs[2] &= ~termios.HUPCL
termios.tcsetattr(fd, termios.TCSANOW, attrs)
fcntl.ioctl(fd, termios.TIOCMBIC, struct.pack('I', termios.TIOCM_DTR))
while not os.path.exists(sys.argv[2]):
    time.sleep(0.01)
os.close(fd)
)";

TEST_F(LineFidelity, ClosingHangsUpUnlessHupclIsOffAndTheSettingsStayForTheNextProgram) {
    const std::string raised = "control modem lines RTS on, DTR on";
    const std::string dropped = "control modem lines RTS off, DTR off";
    // The device's modem-line events in order (a short-lived program's open may add some).
    const auto modemLines = [&] {
        std::vector<std::string> lines;
        std::istringstream in(m_device.transcript());
        for (std::string line; std::getline(in, line);) {
            const auto at = line.find("control modem lines ");
            if (at != std::string::npos)
                lines.push_back(line.substr(at));
        }
        return lines;
    };
    const auto lastIs = [&](const std::string& line) {
        return waitFor([&] {
            const auto lines = modemLines();
            return !lines.empty() && lines.back() == line;
        });
    };
    // A shell holds the port open without touching its settings.
    const auto hold = [&](ChildProcess& holder) {
        ASSERT_TRUE(holder.start({"sh", "-c", "exec sleep 60 <> \"$1\"", "sh", port()}));
    };
    {
        ChildProcess holder;
        hold(holder);
        ASSERT_TRUE(lastIs(raised)) << m_device.transcript();
    }
    ASSERT_TRUE(lastIs(dropped)) << m_device.transcript();

    // stty sets the frame in one process, reads it back in another, and the device gets it
    // at the next open.
    EXPECT_EQ(shell(kTarnRun + " stty -F \"$1\" cs7 parenb -parodd", port()), "");
    const std::string shown = shell(kTarnRun + " stty -F \"$1\" -a", port());
    EXPECT_NE(shown.find(" cs7 "), std::string::npos) << shown;
    EXPECT_NE(shown.find("parenb -parodd"), std::string::npos) << shown;
    {
        ChildProcess holder;
        hold(holder);
        ASSERT_TRUE(lastIs(raised)) << m_device.transcript();
        ASSERT_TRUE(waitFor([&] { return deviceLogged("control line settings 9600 7E1 flow none"); }))
            << m_device.transcript();
        ASSERT_TRUE(waitFor([&] { return rowShows("7 Even 1"); })) << runToEnd({kTarnctl, "list"});
    }
    ASSERT_TRUE(lastIs(dropped)) << m_device.transcript();

    // HUPCL off: the application's DTR stays as it left it; the next open raises it again.
    const std::string release = m_home.root() + "/release";
    ChildProcess client;
    ASSERT_TRUE(client.start({kTarnRun, kPython, "-c", kNoHangUpClient, port(), release}));
    ASSERT_TRUE(lastIs("control modem lines RTS on, DTR off")) << m_device.transcript();
    const std::size_t before = modemLines().size();
    ASSERT_TRUE(writeFileBytes(release, {}));
    ASSERT_NE(client.waitExit(), -1);
    ChildProcess holder;
    hold(holder);
    ASSERT_TRUE(lastIs(raised)) << m_device.transcript();
    EXPECT_EQ(modemLines().size(), before + 1) << m_device.transcript();
}

// tarnctl monitor shows the application's line and modem-line changes between its open and
// its close, where the device was told them, and its capture file shows them again.
TEST_F(LineFidelity, TheMonitorShowsTheChangesTheDeviceWasToldAndKeepsThemInItsFile) {
    const std::string capture = m_home.root() + "/COM27.capture";
    ChildProcess monitor;
    ASSERT_TRUE(monitor.start({kTarnctl, "monitor", "COM27", "--raw", capture}, true));
    // The first line of an event from line `from` on, by its words; -1 while there is none.
    auto eventLine = [](const std::vector<std::string>& lines, const std::string& words, long from = 0) {
        for (auto i = static_cast<std::size_t>(from); i < lines.size(); ++i) {
            if (lines[i].size() >= words.size() + 3 && lines[i].ends_with("*  " + words))
                return static_cast<long>(i);
        }
        return -1L;
    };
    ASSERT_TRUE(waitFor([&] { return eventLine(monitor.outputLines(), "monitor started") >= 0; })) << monitor.output();

    ChildProcess client;
    ASSERT_TRUE(client.start({kTarnRun, kPython, "-c", kPyserialClient, port(), "wait"}, true));
    ASSERT_TRUE(waitFor([&] { return deviceLogged("control modem lines RTS off, DTR on"); })) << m_device.transcript();
    // The device raises CTS and DSR, then drops them, which ends the client.
    m_device.command("send 11 30");
    ASSERT_TRUE(waitFor([&] { return client.printed("lines 1 1 0 0"); })) << client.output();
    m_device.command("send 11 00");
    ASSERT_NE(client.waitExit(30s), -1);
    ASSERT_TRUE(waitFor([&] {
        const auto lines = monitor.outputLines();
        const long open = eventLine(lines, "port open");
        return open > 0 && eventLine(lines, "port closed", open) > 0;
    })) << monitor.output();
    const int status = monitor.stop(SIGINT);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << status;
    const auto lines = monitor.outputLines();
    const long open = eventLine(lines, "port open");
    EXPECT_LT(open, eventLine(lines, "line 9600 7E1, flow None")) << monitor.output();
    EXPECT_LT(eventLine(lines, "line 9600 7E1, flow None"), eventLine(lines, "RTS off, DTR on")) << monitor.output();
    EXPECT_LT(eventLine(lines, "RTS off, DTR on"), eventLine(lines, "CTS on, DSR on, DCD off, RI off"))
        << monitor.output();
    const long closed = eventLine(lines, "port closed", open);
    EXPECT_LT(eventLine(lines, "CTS on, DSR on, DCD off, RI off"), closed) << monitor.output();

    // The file holds the records the monitor printed, in their order.
    std::istringstream replay(runToEnd({kTarnctl, "monitor", "--read", capture}));
    std::vector<std::string> read;
    for (std::string line; std::getline(replay, line);)
        read.push_back(line);
    ASSERT_FALSE(read.empty());
    EXPECT_EQ(read.front(), "COM27");
    ASSERT_GT(std::ssize(read), closed);
    EXPECT_EQ(std::vector<std::string>(read.begin() + 1, read.begin() + closed + 1),
              std::vector<std::string>(lines.begin() + 1, lines.begin() + closed + 1));
}

} // namespace
