#pragma once
// The NetCmd loopback fixture: a scripted device's side of login and EEPROM access, and a
// test base that makes NetCmd endpoints aimed at a Responder and collects their traces.

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "bridge/portable_sock.h"
#include "device/device_list.h"
#include "device/eeprom_access.h"
#include "device/net_cmd.h"
#include "device/netcmd_responder.h"

namespace testnetcmd {

inline constexpr std::uint32_t kLoopback = 0x7F000001;

inline std::size_t countOf(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size()))
        ++n;
    return n;
}

// A device's side of login and EEPROM access over a 2048-byte image.
class ScriptedDevice {
public:
    ScriptedDevice() {
        for (std::size_t i = 0; i < m_image.size(); ++i)
            m_image[i] = static_cast<std::uint8_t>(i * 7 + 3);
    }

    std::vector<Bytes> answer(const Bytes& request) {
        std::lock_guard lock(m_mutex);
        if (silent || request.size() < 14)
            return {};
        const std::uint8_t group = request[8], opcode = request[9];
        if (group == 0 && opcode == 0x05) {
            Bytes a = header(15, 0, 0x06);
            a[14] = refuseStart ? 1 : 0;
            return {a};
        }
        if (group == 0 && opcode == 0x07) {
            const std::size_t accountLength = request[14], passwordLength = request[15];
            const std::string account(request.begin() + 16, request.begin() + 16 + static_cast<long>(accountLength));
            const std::string password(request.begin() + 16 + static_cast<long>(accountLength),
                                       request.begin() + 16 + static_cast<long>(accountLength + passwordLength));
            Bytes a = header(15, 0, 0x08);
            if (account == "admin" && password == "secret")
                std::copy(std::begin(kConnection), std::end(kConnection), a.begin() + 4);
            else
                a[14] = 1;
            return {a};
        }
        if (group == 1 && std::memcmp(request.data() + 4, kConnection, 4) != 0)
            return {};
        const std::uint16_t start = netcmd::readBe16(request.data() + 10);
        const std::uint16_t count = netcmd::readBe16(request.data() + 12);
        if (opcode != 0x25 && (start + count > m_image.size() || (opcode == 0x07 && request.size() < 14u + count)))
            return {};
        if (group == 1 && opcode == 0x05) {
            std::vector<Bytes> out;
            if (wrongAddressFirst) {
                Bytes wrong = header(14 + count, 1, 0x06);
                netcmd::writeBe16(wrong.data() + 10, static_cast<std::uint16_t>(start + 1));
                netcmd::writeBe16(wrong.data() + 12, count);
                out.push_back(wrong);
            }
            Bytes a = header(14 + count, 1, 0x06);
            std::copy(request.begin() + 10, request.begin() + 14, a.begin() + 10);
            std::copy_n(m_image.begin() + start, count, a.begin() + 14);
            out.push_back(a);
            return out;
        }
        if (group == 1 && opcode == 0x07) {
            Bytes a = header(14, 1, 0x08);
            if (failWrites > 0) {
                --failWrites;
                a[10] = 1;
            } else {
                std::copy_n(request.begin() + 14, count, m_image.begin() + start);
            }
            return {a};
        }
        if (group == 1 && opcode == 0x25) {
            ++writeDones;
            Bytes a = header(14, 1, 0x26);
            a[10] = request[10] == 0xAA ? 0 : 1;
            return {a};
        }
        return {};
    }

    EepromImage image() {
        std::lock_guard lock(m_mutex);
        return m_image;
    }

    static constexpr std::uint8_t kConnection[4] = {0x10, 0x20, 0x30, 0x40};
    // Set before the exchange starts.
    bool silent = false;
    bool refuseStart = false;
    bool wrongAddressFirst = false;
    std::atomic<int> failWrites{0};
    std::atomic<int> writeDones{0};

private:
    std::mutex m_mutex;
    EepromImage m_image{};
};

class NetCmdLoopback : public ::testing::Test {
protected:
    void SetUp() override { startSocketLayer(); }

    // One search pass of five polls; ten answer polls.
    std::unique_ptr<NetCmd> makeNetCmd(const Responder& responder, std::vector<std::uint32_t> targets = {kLoopback}) {
        NetCmdOptions options;
        options.localPort = 0;
        options.remotePort = responder.port();
        options.broadcastTargets = [targets] { return targets; };
        auto netCmd = std::make_unique<NetCmd>(0, 1000, 2000, options);
        netCmd->setTraceSink([this](std::string_view line) {
            std::lock_guard lock(m_traceMutex);
            m_trace.append(line);
        });
        return netCmd;
    }

    std::string trace() {
        std::lock_guard lock(m_traceMutex);
        return m_trace;
    }
    void clearTrace() {
        std::lock_guard lock(m_traceMutex);
        m_trace.clear();
    }

    // The device at 127.0.0.1; `loggedIn`, it holds the connection ID a login gave.
    static _KT550Node loopbackNode(bool loggedIn = false) {
        _KT550Node node;
        node.ip[0] = 127;
        node.ip[3] = 1;
        if (loggedIn)
            std::copy(std::begin(ScriptedDevice::kConnection), std::end(ScriptedDevice::kConnection),
                      node.connectionId);
        return node;
    }

    // A device list holding one device at 127.0.0.1.
    static void addLoopbackDevice(DeviceList& list) {
        auto node = std::make_unique<_KT550Node>();
        const std::uint8_t ip[4] = {127, 0, 0, 1};
        std::copy(std::begin(ip), std::end(ip), node->ip);
        DeviceList::Entries entries;
        entries.push_back(makeDeviceInfo(std::move(node)));
        list.replace(std::move(entries));
    }

private:
    std::mutex m_traceMutex;
    std::string m_trace;
};

} // namespace testnetcmd
