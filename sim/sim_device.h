#pragma once
// One simulated device server: its EEPROM image, its device-management endpoint on UDP port
// 8000, its data endpoint with the serial side, and its control port.

#include <memory>
#include <netinet/in.h>
#include <optional>
#include <string>

#include "control_endpoint.h"
#include "data_endpoint.h"
#include "eeprom_image.h"
#include "netcmd_logic.h"
#include "options.h"
#include "reactor.h"
#include "serial_side.h"
#include "unique_fd.h"

namespace devsim {

// Where the device's address lives on this host.
struct InterfaceInfo {
    int index = 0;
    std::string name;
    Ipv4 mask{255, 255, 255, 0};
    bool loopback = false;
    bool found = false;
};
InterfaceInfo findInterface(const Ipv4& ip);

class SimDevice {
public:
    SimDevice(Reactor& reactor, DeviceSpec spec, std::optional<std::uint8_t> controlResult, bool tagged, bool quiet);
    ~SimDevice();
    SimDevice(const SimDevice&) = delete;
    SimDevice& operator=(const SimDevice&) = delete;

    bool start(std::string& error);

    const Ipv4& ip() const { return m_spec.ip; }
    const InterfaceInfo& interfaceInfo() const { return m_interface; }
    // The broadcast address of the subnet the device's interface address belongs to.
    Ipv4 broadcastAddress() const;
    const MacAddress& mac() const { return m_logic->identity().mac; }

    bool silent() const { return m_silent; }
    void setSilent(bool silent) { m_silent = silent; }

    // A device-management request that reached the device (unicast or broadcast).
    void onNetCmdRequest(const std::uint8_t* data, std::size_t size, const sockaddr_in& peer);
    std::vector<std::uint8_t> rawAnswer(const MacAddress& requester) const { return m_logic->rawAnswer(requester); }
    bool answerTwice() const { return m_spec.answerTwice; }

    bool sendControl(const std::vector<std::uint8_t>& bytes);
    bool injectSerial(const std::vector<std::uint8_t>& bytes);
    // New modem lines for an RFC 2217 host; returns the operator's answer line.
    std::string setModemLines(std::uint8_t lines);
    std::string status() const;

    // Prints one event line (unless quiet), tagged with the device address when several run.
    void event(const std::string& text) const;
    // Lines that answer the operator are printed even when quiet.
    void reply(const std::string& text) const;

private:
    void buildImage(bool fresh);
    std::optional<std::string> startEndpoints();
    std::uint8_t commit();
    DataSettings dataSettings() const;
    ControlEndpoint::Settings controlSettings() const;
    void onUnicastReadable();

    Reactor& m_reactor;
    DeviceSpec m_spec;
    std::optional<std::uint8_t> m_controlResult;
    std::string m_tag;
    bool m_quiet;
    bool m_silent;
    InterfaceInfo m_interface;
    EepromImage m_image;
    std::unique_ptr<NetCmdLogic> m_logic;
    UniqueFd m_netcmdSocket;
    std::unique_ptr<SerialSide> m_serial;
    std::unique_ptr<DataEndpoint> m_data;
    std::unique_ptr<ControlEndpoint> m_control;
    DataSettings m_runningData;
    std::optional<ControlEndpoint::Settings> m_runningControl;
};

} // namespace devsim
