// The real tarnd program with a TCP client mapping from its mapping file: its start-up search
// finds tarn-devsim in a device namespace, the control connection follows an application on
// the port, and each change of the device's input lines becomes a log row.

#include <gtest/gtest.h>

#include "control_harness.h"

namespace {

using namespace control_test;

TEST(ControlSessionTarnd, DeviceLinesBecomeLogRows) {
    TARN_REQUIRE_PRIVATE_NETNS();
    ASSERT_EQ(::access(devsimPath().c_str(), X_OK), 0) << devsimPath();
    ASSERT_EQ(::access(kTarnd.c_str(), X_OK), 0) << kTarnd;
    constexpr int kCom = 26;

    TempHome home;
    DeviceLink link(26);
    ASSERT_TRUE(link.ok()) << link.error();
    Devsim device;
    ASSERT_TRUE(
        device.start(link.ns(), {"--no-raw", "--device",
                                 "ip=" + link.deviceIp() + ",mode=tcp-server,data-port=4001,control-port=4002"}));
    ASSERT_TRUE(testsupport::waitUntil([&] { return device.count("devsim ready") == 1; })) << device.transcript();

    const DescRecord record = encodeDesc(makeDesc(kCom, kModeTcpClient, link.deviceIp().c_str(), 0, 4001));
    ASSERT_TRUE(writeFileBytes(home.mappingFile(), std::vector<std::uint8_t>(record.begin(), record.end())));

    ChildProcess tarnd;
    ASSERT_TRUE(tarnd.start({kTarnd}, true));
    ASSERT_TRUE(testsupport::waitUntil([&] { return tarnd.printed("1 device(s) searched.", true); })) << tarnd.output();

    AppPort app;
    ASSERT_TRUE(app.open(home.portLink(kCom), 9600));
    ASSERT_TRUE(testsupport::waitUntil([&] { return device.controlReceived().size() >= 2; })) << device.transcript();
    EXPECT_EQ(device.controlReceived()[0], hexText(withZeroPassword({0x01, 0x05, 0x08, 0x00, 0x00, 0x00})));

    device.command("send 11 30");
    ASSERT_TRUE(testsupport::waitUntil([&] {
        return tarnd.printed("COM26 input lines: CTS on, DSR on, DCD off, RI off", true);
    })) << tarnd.output();
    device.command("send 14 c0");
    ASSERT_TRUE(testsupport::waitUntil([&] {
        return tarnd.printed("COM26 input lines: CTS off, DSR off, DCD on, RI on", true);
    })) << tarnd.output();

    app.close();
    const int status = tarnd.stop(SIGTERM);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

} // namespace
