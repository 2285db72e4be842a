// A search while a thousand simulated devices answer at once: every one must be found.

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <set>

#include "device/netns_harness.h"

namespace {

using testdevice::DeviceNetworkTest;
using testdevice::readFile;

class DeviceScale : public DeviceNetworkTest {};

constexpr int kDevices = 1000;

TEST_F(DeviceScale, SearchFindsAllOfAThousandDevices) {
    // One /22 holds them all: the host at 10.77.4.1, devices from 10.77.4.10 on.
    const Subnet subnet = addSubnet(4, 22);
    ASSERT_TRUE(subnet.ns);
    const std::string batch = m_temp.file("addresses.batch");
    {
        std::ofstream out(batch);
        for (int i = 1; i < kDevices; ++i) {
            const int host = 10 + i; // 10.77.4.10 is on the link already
            out << "addr add 10.77." << 4 + host / 256 << "." << host % 256 << "/22 dev " << subnet.deviceInterface
                << "\n";
        }
    }
    const auto added = testsupport::runCommand({"ip", "-n", subnet.ns->name(), "-batch", batch});
    ASSERT_EQ(added.exitCode, 0) << added.output;
    startDevsim(*subnet.ns,
                {"--quiet", "--no-raw", "--serial", "none", "--count", std::to_string(kDevices), "--base-ip",
                 "10.77.4.10", "--template", "control-port=0"},
                std::chrono::seconds(120));

    DeviceList devices;
    const auto started = std::chrono::steady_clock::now();
    const auto outcome = searchFromHost(devices);
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
    std::printf("[ scale    ] %zu of %d devices found in %lld ms\n", outcome.count, kDevices,
                static_cast<long long>(took.count()));
    RecordProperty("devices_found", static_cast<int>(outcome.count));
    RecordProperty("search_ms", static_cast<int>(took.count()));
    ASSERT_EQ(outcome.count, static_cast<std::size_t>(kDevices));

    std::set<std::string> addresses, macs;
    for (const auto& entry : devices.snapshot()) {
        addresses.insert(dottedText(entry->node->ip));
        macs.insert(macText(entry->node->mac));
    }
    EXPECT_EQ(addresses.size(), static_cast<std::size_t>(kDevices));
    EXPECT_EQ(macs.size(), static_cast<std::size_t>(kDevices));
    EXPECT_TRUE(addresses.count("10.77.4.10") && addresses.count("10.77.7.241"));
}

} // namespace
