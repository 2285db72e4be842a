#pragma once
// The whole simulator: every device, the sockets they share (subnet broadcasts of the
// device-management protocol, raw discovery per interface), operator commands on standard
// input, and an orderly stop on SIGTERM/SIGINT.

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "options.h"
#include "reactor.h"
#include "sim_device.h"
#include "unique_fd.h"

namespace devsim {

class Simulator {
public:
    explicit Simulator(Options options);
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    bool start(std::string& error);
    // Runs until a stop signal or "quit"; returns the exit status.
    int run();

private:
    struct BroadcastSocket {
        UniqueFd socket;
        std::vector<SimDevice*> devices;
    };
    struct RawSocket {
        UniqueFd socket;
        int interfaceIndex = 0;
        std::vector<SimDevice*> devices;
    };

    bool startBroadcast(std::string& error);
    void startRaw();
    void onBroadcast(BroadcastSocket& entry, bool limited);
    void onRawFrame(RawSocket& entry);
    void onStdin();
    void runCommand(const std::string& line);
    SimDevice* pickDevice(std::vector<std::string>& words, std::string& error);

    Options m_options;
    Reactor m_reactor;
    std::vector<std::unique_ptr<SimDevice>> m_devices;
    std::map<std::uint32_t, std::unique_ptr<BroadcastSocket>> m_broadcast;
    std::unique_ptr<BroadcastSocket> m_limitedBroadcast;
    std::vector<std::unique_ptr<RawSocket>> m_raw;
    UniqueFd m_signals;
    std::string m_stdinBuffer;
    bool m_stdinOpen = false;
};

} // namespace devsim
