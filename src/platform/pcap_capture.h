#pragma once
// Packet capture behind a small interface: raw discovery works on CaptureChannel and
// CaptureBackend, so a test can hand it scripted adapters instead of libpcap.

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

using MacAddress = std::array<std::uint8_t, 6>;
using FrameHandler = std::function<void(std::span<const std::uint8_t> frame)>;

// One open capture on one adapter: sends whole Ethernet frames and hands over the frames
// that arrive.
class CaptureChannel {
public:
    virtual ~CaptureChannel() = default;
    // Sends one frame as it stands; false (see lastError()) when the adapter refused it.
    virtual bool send(std::span<const std::uint8_t> frame) = 0;
    // Hands every frame that is waiting or arrives before `until` to `onFrame`, in arrival
    // order, then returns how many were handed over (-1 on a capture error). Returns at once,
    // after the waiting frames, when `until` has passed.
    virtual int collect(const FrameHandler& onFrame, std::chrono::steady_clock::time_point until) = 0;
    // Keeps only frames that match a capture-filter expression; false when it does not compile.
    virtual bool setFilter(const std::string& expression) = 0;
    // Drops what was captured before now, so the next collect sees only fresh frames.
    virtual void discardPending() = 0;
    virtual std::string lastError() const = 0;
};

// The adapters of the current network namespace.
class CaptureBackend {
public:
    virtual ~CaptureBackend() = default;
    // Names of every device the capture library lists, pseudo-devices included.
    virtual std::vector<std::string> listDevices() = 0;
    // The device's Ethernet address; nothing for devices without one (loopback, `any`,
    // netfilter and bus captures, tunnels).
    virtual std::optional<MacAddress> macAddress(const std::string& device) = 0;
    // Opens the device for capture and sending; nullptr when it cannot be opened.
    virtual std::unique_ptr<CaptureChannel> open(const std::string& device) = 0;
};

// libpcap: promiscuous, 65536-byte snapshots, 1000 ms read time-out, in immediate mode: on
// Linux a buffered capture hands frames over only when its buffer block times out, and waits
// without end while nothing arrives, so a bounded wait for answers needs each frame at once.
class PcapBackend final : public CaptureBackend {
public:
    std::vector<std::string> listDevices() override;
    std::optional<MacAddress> macAddress(const std::string& device) override;
    std::unique_ptr<CaptureChannel> open(const std::string& device) override;
};

// The Ethernet address of a network interface by name, from its AF_PACKET address or, failing
// that, SIOCGIFHWADDR. Only Ethernet-type interfaces with a non-zero address qualify.
std::optional<MacAddress> interfaceMacAddress(const std::string& name);

// Whole-program libpcap backend.
CaptureBackend& pcapBackend();
