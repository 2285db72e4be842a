#pragma once
// Helpers of the device integration tests: running code on a thread inside a named network
// namespace, and waiting for a simulator's output lines.

#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <memory>
#include <sched.h>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "bridge/portable_sock.h"
#include "device/device_list.h"
#include "device/net_cmd.h"
#include "device/search_job.h"
#include "support/netns.h"
#include "support/temp_dir.h"
#include "support/wait.h"

namespace testdevice {

// Runs `body` on a thread that has joined the namespace made by `ip netns add name`; only
// that thread moves, so the test process itself stays where it is. Returns false, without
// running `body`, when the namespace cannot be joined: a search must never run in the
// machine's own namespace.
inline bool runInNamedNamespace(const std::string& name, const std::function<void()>& body) {
    bool joined = false;
    std::thread thread([&] {
        const std::string path = "/run/netns/" + name;
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return;
        const bool ok = ::setns(fd, CLONE_NEWNET) == 0;
        ::close(fd);
        if (!ok)
            return;
        joined = true;
        body();
    });
    thread.join();
    return joined;
}

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Waits until the file holds `count` occurrences of `text`, up to `limit`.
inline bool waitForText(const std::string& path, const std::string& text, std::size_t count = 1,
                        std::chrono::milliseconds limit = std::chrono::seconds(30)) {
    return testsupport::waitUntil(
        [&] {
            const std::string content = readFile(path);
            std::size_t found = 0;
            for (std::size_t at = content.find(text); at != std::string::npos; at = content.find(text, at + 1))
                ++found;
            return found >= count;
        },
        limit);
}

inline std::size_t countOf(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size()))
        ++n;
    return n;
}

inline std::string devsimPath() {
    return TARN_BINARY_DIR "/sim/tarn-devsim";
}
inline std::string tarnctlPath() {
    return TARN_BINARY_DIR "/src/app/tarnctl";
}

// A host namespace (where the search runs) joined to device namespaces by veth pairs, one
// subnet each: host 10.77.N.1, devices from 10.77.N.10. Simulators run in the device
// namespaces; everything is ended and deleted with the fixture.
class DeviceNetworkTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0)
            GTEST_SKIP() << "needs root to create network namespaces (ip netns add)";
        if (::access(devsimPath().c_str(), X_OK) != 0)
            GTEST_FAIL() << "the simulator is not built: " << devsimPath();
        m_host = std::make_unique<testsupport::NamedNetns>("tdh");
        if (!m_host->ok())
            GTEST_SKIP() << "no network namespace: " << m_host->error();
        startSocketLayer();
    }

    void TearDown() override {
        m_veths.clear();
        m_devices.clear();
        m_host.reset();
    }

    testsupport::NamedNetns& host() { return *m_host; }

    struct Subnet {
        testsupport::NamedNetns* ns = nullptr;
        std::string hostInterface;
        std::string deviceInterface;
    };

    // A device namespace on 10.77.`third`.0/`prefix`; the host end gets .1 and the device
    // end .10. Returns a subnet with a null namespace (and records a failure) on error.
    Subnet addSubnet(int third, int prefix = 24) {
        const std::string net = "10.77." + std::to_string(third) + ".";
        return addLink(net + "1/" + std::to_string(prefix), net + "10/" + std::to_string(prefix));
    }

    // A device namespace whose link end has `deviceCidr`, the host end `hostCidr`.
    Subnet addLink(const std::string& hostCidr, const std::string& deviceCidr) {
        auto ns = std::make_unique<testsupport::NamedNetns>("tdd");
        if (!ns->ok()) {
            ADD_FAILURE() << ns->error();
            return {};
        }
        auto veth = std::make_unique<testsupport::VethPair>(*m_host, hostCidr, *ns, deviceCidr);
        if (!veth->ok()) {
            ADD_FAILURE() << veth->error();
            return {};
        }
        Subnet subnet{ns.get(), veth->nameA(), veth->nameB()};
        m_devices.push_back(std::move(ns));
        m_veths.push_back(std::move(veth));
        return subnet;
    }

    // Starts the simulator in `ns` and waits for its ready line; returns the log path.
    std::string startDevsim(testsupport::NamedNetns& ns, std::vector<std::string> arguments,
                            std::chrono::milliseconds limit = std::chrono::seconds(30)) {
        const std::string log = m_temp.file("devsim" + std::to_string(m_logs++) + ".log");
        arguments.insert(arguments.begin(), devsimPath());
        const pid_t pid = ns.spawn(arguments, log);
        EXPECT_GT(pid, 0);
        EXPECT_TRUE(waitForText(log, "devsim ready", 1, limit)) << readFile(log);
        return log;
    }

    struct SearchOutcome {
        std::size_t count = 0;
        std::uint64_t sent = 0;
        std::string trace;
    };
    // One search job in the host namespace, with the program's timeouts.
    SearchOutcome searchFromHost(DeviceList& devices, const RawDiscoverFn& raw = {}) {
        SearchOutcome outcome;
        const bool ran = runInNamedNamespace(m_host->name(), [&] {
            NetCmd netCmd(0, 3000, 2000);
            netCmd.setTraceSink([&](std::string_view text) { outcome.trace.append(text); });
            outcome.count = runSearchJob(netCmd, devices, raw);
            outcome.sent = netCmd.sentDatagrams();
        });
        EXPECT_TRUE(ran) << "could not join " << m_host->name();
        return outcome;
    }

    // Text of a command's output run in the host namespace.
    std::string inHost(const std::vector<std::string>& argv) { return m_host->run(argv).output; }

    testsupport::TempDir m_temp{"device-test"};

private:
    std::unique_ptr<testsupport::NamedNetns> m_host;
    std::vector<std::unique_ptr<testsupport::NamedNetns>> m_devices;
    std::vector<std::unique_ptr<testsupport::VethPair>> m_veths;
    int m_logs = 0;
};

} // namespace testdevice
