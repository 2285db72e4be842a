// End to end over the control connection: the program core in-process with an application on
// COM<n>, tarn-devsim as the device server in a namespace of its own, found by the real device
// search. All inside a private network namespace.

#include <gtest/gtest.h>

#include <map>

#include "bridge/tcp_tuning.h"
#include "control_harness.h"
#include "support/core_probe.h"

namespace {

using namespace control_test;

constexpr std::uint16_t kDataPort = 4001;
constexpr std::uint16_t kControlPort = 4002;

std::string deviceSpec(const std::string& ip, const std::string& rest) {
    return "ip=" + ip + "," + rest;
}

class ControlSessionEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        TARN_REQUIRE_PRIVATE_NETNS();
        if (::access(devsimPath().c_str(), X_OK) != 0)
            GTEST_FAIL() << "the simulator is not built: " << devsimPath();
        m_home = std::make_unique<TempHome>();
    }
    void TearDown() override {
        m_apps.clear();
        m_core.reset();
        m_devsims.clear();
        m_link.reset();
        m_home.reset();
    }

    // The device namespace on its own subnet; every test takes another.
    void makeLink(int subnet) {
        m_link = std::make_unique<DeviceLink>(subnet);
        ASSERT_TRUE(m_link->ok()) << m_link->error();
    }

    Devsim& startDevsim(const std::vector<std::string>& devices) {
        std::vector<std::string> arguments{"--no-raw"};
        for (const auto& device : devices) {
            arguments.push_back("--device");
            arguments.push_back(device);
        }
        m_devsims.push_back(std::make_unique<Devsim>());
        Devsim& devsim = *m_devsims.back();
        EXPECT_TRUE(devsim.start(m_link->ns(), arguments));
        // Before the core runs there is no main loop to keep turning: a plain wait.
        EXPECT_TRUE(testsupport::waitUntil([&] { return devsim.count("devsim ready") == 1; }, kDeadline))
            << devsim.transcript();
        return devsim;
    }

    // The core starts and its start-up search finds `devices` devices.
    void startCoreAndSearch(std::size_t devices) {
        m_core = std::make_unique<SessionCore>();
        ASSERT_NE(core::ProgramCoreProbe::devices(**m_core), nullptr);
        ASSERT_TRUE(m_core->waitFor([&] { return (*m_core)->deviceCount() == devices; }))
            << "devices found: " << (*m_core)->deviceCount();
    }

    void addMapping(const tarnDesc& desc) {
        const core::CommandOutcome outcome = (**m_core).addMapping(desc);
        ASSERT_TRUE(outcome.ok()) << outcome.error();
    }

    AppPort& openApp(int com, std::uint32_t baud = 9600) {
        auto& app = m_apps[com];
        if (!app)
            app = std::make_unique<AppPort>();
        EXPECT_TRUE(app->open(m_home->portLink(com), baud));
        EXPECT_TRUE(m_core->waitFor([&] { return m_core->mapping(com)->isOpen(); }));
        return *app;
    }
    void closeApp(int com) {
        m_apps[com]->close();
        EXPECT_TRUE(m_core->waitFor([&] { return !m_core->mapping(com)->isOpen(); }));
    }

    mek_ncp& control(int com) { return *m_core->mapping(com)->control; }
    std::string cell14(int com) { return m_core->row(com)->cells[14]; }

    std::unique_ptr<TempHome> m_home;
    std::unique_ptr<DeviceLink> m_link;
    std::vector<std::unique_ptr<Devsim>> m_devsims;
    std::unique_ptr<SessionCore> m_core;
    std::map<int, std::unique_ptr<AppPort>> m_apps;
};

TEST_F(ControlSessionEndToEnd, SessionCarriesThePortsSettingsAndTheDevicesLines) {
    constexpr int kCom = 21;
    makeLink(21);
    Devsim& device = startDevsim({deviceSpec(m_link->deviceIp(), "mode=tcp-server,data-port=4001,control-port=4002")});
    startCoreAndSearch(1);
    std::uint8_t option[4] = {};
    ASSERT_EQ(core::ProgramCoreProbe::devices(**m_core)->findOption(m_link->deviceIp().c_str(), 5, option), 2);
    EXPECT_EQ(option[0] * 256 + option[1], kControlPort);

    // The application has set up its line before the data connection can come up, so the
    // first 0x01 carries what it chose.
    ASSERT_TRUE(m_link->setHostLink(false));
    addMapping(makeDesc(kCom, kModeTcpClient, m_link->deviceIp().c_str(), 0, kDataPort));
    AppPort& app = openApp(kCom, 9600);
    ASSERT_TRUE(m_link->setHostLink(true));

    const std::string settings9600 = hexText(withZeroPassword({0x01, 0x05, 0x08, 0x00, 0x00, 0x00}));
    const std::string raisedLines = hexText(withZeroPassword({0x15, 0x0C}));
    ASSERT_TRUE(m_core->waitFor([&] { return device.controlReceived().size() >= 2; })) << device.transcript();
    EXPECT_EQ(device.count("control connected"), 1u);
    EXPECT_EQ(device.controlReceived()[0], settings9600);
    EXPECT_EQ(device.controlReceived()[1], raisedLines);
    ASSERT_TRUE(m_core->waitFor([&] { return control(kCom).status.load() == 0 && cell14(kCom) == "Connected"; }))
        << "status " << control(kCom).status.load() << ", cell 14 " << cell14(kCom);
    // A device that dies must end the session too, not leave it up for good.
    const int controlSock = control(kCom).sock.load();
    EXPECT_EQ(intOption(controlSock, SOL_SOCKET, SO_KEEPALIVE), 1);
    EXPECT_EQ(intOption(controlSock, IPPROTO_TCP, TCP_KEEPIDLE), kTcpTuning.keepIdle.count());
    EXPECT_EQ(intOption(controlSock, IPPROTO_TCP, TCP_USER_TIMEOUT), kTcpTuning.userTimeout.count());

    // Each change of the line is one message; setting the same line again is none. The next
    // message after a quiet stretch shows what, if anything, went out in between.
    TARNThread& threads = *m_core->threads(kCom);
    auto nextSettings = [&](const std::function<void(termios&)>& edit, const Bytes& expected) {
        const std::size_t before = device.controlReceived().size();
        ASSERT_TRUE(changeLine(app.fd(), edit));
        ASSERT_TRUE(m_core->waitFor([&] { return device.controlReceived().size() > before; }));
        EXPECT_EQ(device.controlReceived()[before], hexText(withZeroPassword(expected)));
    };
    ASSERT_TRUE(changeLine(app.fd(), [](termios&) {}));
    ASSERT_TRUE(m_core->passes(*threads.mek_ncp_signalSet, 3));
    nextSettings([](termios& tio) { ::cfsetspeed(&tio, B115200); }, {0x01, 0x09, 0x08, 0x00, 0x00, 0x00});
    nextSettings([](termios& tio) { tio.c_cflag |= CRTSCTS; }, {0x01, 0x09, 0x08, 0x00, 0x00, 0x02});
    nextSettings(
        [](termios& tio) {
            tio.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
            tio.c_iflag |= IXON | IXOFF;
        },
        {0x01, 0x09, 0x08, 0x00, 0x00, 0x01});

    // The device's lines reach the port; the port's own outputs stay as the application left
    // them, and the mapping's row shows what the application cannot read from a pty. A
    // change of the lines alone is enough to have the window refresh its rows.
    TARNINFO& mapping = *m_core->mapping(kCom);
    // (A list marked stale takes one tick of its own before the values are compared.)
    (*m_core)->refreshTick();
    (*m_core)->refreshTick();
    ASSERT_FALSE((*m_core)->refreshTick()) << "nothing changes while the session is idle";
    device.command("send 11 30");
    ASSERT_TRUE(m_core->waitFor([&] { return mapping.port->cts() && mapping.port->dsr(); })) << device.transcript();
    EXPECT_FALSE(mapping.port->dcd());
    EXPECT_FALSE(mapping.port->ring());
    EXPECT_TRUE(mapping.rtsState());
    EXPECT_TRUE(mapping.dtrState());
    EXPECT_TRUE((*m_core)->refreshTick());
    EXPECT_EQ(m_core->row(kCom)->inputLines, "CTS on, DSR on, DCD off, RI off");

    // A wrong password is a status, not a loss: the session goes on sending.
    device.command("send 02 01");
    ASSERT_TRUE(m_core->waitFor([&] { return control(kCom).status.load() == 1; }));
    ASSERT_TRUE(m_core->passes(*threads.mek_ncp_RxThread, 3));
    EXPECT_EQ(control(kCom).connected.load(), 1);
    nextSettings([](termios& tio) { ::cfsetspeed(&tio, B9600); }, {0x01, 0x05, 0x08, 0x00, 0x00, 0x01});

    // A query is answered with the line settings.
    const std::size_t before = device.controlReceived().size();
    device.command("send 03");
    ASSERT_TRUE(m_core->waitFor([&] { return device.controlReceived().size() > before; })) << device.transcript();
    EXPECT_EQ(device.controlReceived()[before], "04 05 08 00 00 01");

    EXPECT_EQ(device.count("control connected"), 1u);
    EXPECT_EQ(device.count("control closed"), 0u) << device.transcript();
}

TEST_F(ControlSessionEndToEnd, ClosedControlPortGetsTwoAttemptsPerOpening) {
    constexpr int kCom = 22;
    makeLink(22);
    // The search finds the device with its control port; then the device comes back without
    // one listening, its data port served as before.
    Devsim* device = &startDevsim({deviceSpec(m_link->deviceIp(), "mode=tcp-server,data-port=4001,control-port=4002")});
    startCoreAndSearch(1);
    device->stop();
    device = &startDevsim({deviceSpec(m_link->deviceIp(), "mode=tcp-server,data-port=4001,control-port=0")});

    addMapping(makeDesc(kCom, kModeTcpClient, m_link->deviceIp().c_str(), 0, kDataPort));
    TARNThread& threads = *m_core->threads(kCom);
    const long base = tcpCounter("AttemptFails");
    ASSERT_GE(base, 0);

    openApp(kCom);
    ASSERT_TRUE(m_core->waitFor([&] { return tcpCounter("AttemptFails") >= base + 2; }));
    ASSERT_TRUE(m_core->passes(*threads.mek_ncp_connBuilder, 3));
    EXPECT_EQ(tcpCounter("AttemptFails"), base + 2);
    EXPECT_TRUE(m_core->mapping(kCom)->isConnected()) << "the data connection is not what failed";
    EXPECT_EQ(control(kCom).enabled.load(), 1);
    EXPECT_EQ(control(kCom).connected.load(), 0);
    EXPECT_EQ(cell14(kCom), "Disconnected");

    closeApp(kCom);
    ASSERT_TRUE(m_core->passes(*threads.mek_ncp_connBuilder, 2));
    EXPECT_EQ(cell14(kCom), "N/A");
    openApp(kCom);
    ASSERT_TRUE(m_core->waitFor([&] { return tcpCounter("AttemptFails") >= base + 4; }));
    ASSERT_TRUE(m_core->passes(*threads.mek_ncp_connBuilder, 3));
    EXPECT_EQ(tcpCounter("AttemptFails"), base + 4);
    EXPECT_EQ(device->count("control connected"), 0u);
}

TEST_F(ControlSessionEndToEnd, DeviceWithoutControlPortSwitchesTheProtocolOff) {
    constexpr int kCom = 23;
    makeLink(23);
    Devsim& device = startDevsim({deviceSpec(m_link->deviceIp(), "mode=tcp-server,data-port=4001,control-port=0")});
    startCoreAndSearch(1);
    std::uint8_t option[4] = {};
    ASSERT_EQ(core::ProgramCoreProbe::devices(**m_core)->findOption(m_link->deviceIp().c_str(), 5, option), 0);

    addMapping(makeDesc(kCom, kModeTcpClient, m_link->deviceIp().c_str(), 0, kDataPort));
    EXPECT_EQ(control(kCom).enabled.load(), 1) << "on for a TCP client until the device is looked at";
    const long base = tcpCounter("ActiveOpens");
    openApp(kCom);
    ASSERT_TRUE(
        m_core->waitFor([&] { return m_core->mapping(kCom)->isConnected() && control(kCom).enabled.load() == 0; }));
    ASSERT_TRUE(m_core->passes(*m_core->threads(kCom)->mek_ncp_connBuilder, 3));
    EXPECT_EQ(cell14(kCom), "Disabled");
    EXPECT_EQ(control(kCom).sock.load(), 0);
    EXPECT_EQ(tcpCounter("ActiveOpens"), base + 1) << "the data connection only";
    EXPECT_EQ(device.count("control connected"), 0u);
}

TEST_F(ControlSessionEndToEnd, ServerAndUdpMappingsNeverOpenAControlConnection) {
    constexpr int kUdpCom = 24;
    constexpr int kServerCom = 25;
    constexpr std::uint16_t kUdpLocal = 5001;
    constexpr std::uint16_t kServerLocal = 5002;
    makeLink(24);
    ASSERT_TRUE(m_link->addDeviceAddress(3));
    // Both devices advertise a listening control port, so only the mapping's mode keeps the
    // protocol off.
    Devsim& device =
        startDevsim({deviceSpec(m_link->deviceIp(2), "mode=udp,data-port=4001,control-port=4002"),
                     deviceSpec(m_link->deviceIp(3), "mode=tcp-client,remote=" + m_link->hostIp() + ":" +
                                                         std::to_string(kServerLocal) + ",control-port=4002")});
    startCoreAndSearch(2);

    addMapping(makeDesc(kUdpCom, kModeUdp, m_link->deviceIp(2).c_str(), kUdpLocal, kDataPort));
    addMapping(makeDesc(kServerCom, kModeTcpServer, "0.0.0.0", kServerLocal, 0));
    AppPort& udpApp = openApp(kUdpCom);
    AppPort& serverApp = openApp(kServerCom);
    ASSERT_TRUE(m_core->waitFor([&] { return m_core->mapping(kServerCom)->isConnected(); })) << device.transcript();

    // Both data paths work (the devices echo their serial side).
    const Bytes ping{'p', 'i', 'n', 'g'};
    for (AppPort* app : {&udpApp, &serverApp}) {
        ASSERT_TRUE(app->writeAll(ping));
        EXPECT_EQ(app->readExactly(ping.size()), ping);
    }

    for (int com : {kUdpCom, kServerCom}) {
        ASSERT_TRUE(m_core->passes(*m_core->threads(com)->mek_ncp_connBuilder, 3));
        EXPECT_EQ(control(com).enabled.load(), 0) << "COM" << com;
        EXPECT_EQ(control(com).connected.load(), 0) << "COM" << com;
        EXPECT_EQ(control(com).sock.load(), 0) << "COM" << com;
        EXPECT_EQ(cell14(com), "Disabled") << "COM" << com;
    }
    EXPECT_EQ(device.count("control connected"), 0u) << device.transcript();
}

} // namespace
