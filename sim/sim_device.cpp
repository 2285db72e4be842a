#include "sim_device.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ifaddrs.h>
#include <net/if.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include "net_util.h"

namespace devsim {

namespace {

constexpr std::uint32_t kBaudRates[13] = {110,   300,   1200,   2400,   4800,   9600,  19200,
                                          38400, 57600, 115200, 230400, 460800, 921600};

// Parity byte of the image (UART line-control bits) to the control protocol's parity code.
std::uint8_t parityCode(std::uint8_t lcrBits) {
    switch (lcrBits) {
    case 0x08:
        return 1; // odd
    case 0x18:
        return 2; // even
    case 0x28:
        return 3; // mark
    case 0x38:
        return 4; // space
    default:
        return 0;
    }
}

} // namespace

namespace {

struct InterfaceAddress {
    std::string name;
    std::uint32_t address;
    std::uint32_t mask;
    bool loopback;
};

// Read once: with a thousand devices on one interface, asking the kernel per device would
// cost a million entries.
const std::vector<InterfaceAddress>& interfaceAddresses() {
    static const std::vector<InterfaceAddress> table = [] {
        std::vector<InterfaceAddress> entries;
        ifaddrs* list = nullptr;
        if (::getifaddrs(&list) != 0)
            return entries;
        for (ifaddrs* entry = list; entry; entry = entry->ifa_next) {
            if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET || !entry->ifa_netmask)
                continue;
            entries.push_back({entry->ifa_name, ntohl(reinterpret_cast<sockaddr_in*>(entry->ifa_addr)->sin_addr.s_addr),
                               ntohl(reinterpret_cast<sockaddr_in*>(entry->ifa_netmask)->sin_addr.s_addr),
                               (entry->ifa_flags & IFF_LOOPBACK) != 0});
        }
        ::freeifaddrs(list);
        return entries;
    }();
    return table;
}

} // namespace

InterfaceInfo findInterface(const Ipv4& ip) {
    const std::uint32_t wanted = ipValue(ip);
    const InterfaceAddress* best = nullptr;
    for (const auto& entry : interfaceAddresses()) {
        if (entry.address == wanted) {
            best = &entry;
            break;
        }
        // Within a subnet of an interface counts too (all of 127/8 is local on loopback).
        if (!best && (entry.address & entry.mask) == (wanted & entry.mask))
            best = &entry;
    }
    InterfaceInfo info;
    if (!best)
        return info;
    info.found = true;
    info.name = best->name;
    info.index = static_cast<int>(::if_nametoindex(best->name.c_str()));
    info.mask = ipFromValue(best->mask);
    info.loopback = best->loopback;
    return info;
}

SimDevice::SimDevice(Reactor& reactor, DeviceSpec spec, std::optional<std::uint8_t> controlResult, bool tagged,
                     bool quiet)
    : m_reactor(reactor), m_spec(std::move(spec)), m_controlResult(controlResult),
      m_tag(tagged ? " [" + ipText(m_spec.ip) + "]" : std::string()), m_quiet(quiet), m_silent(m_spec.silent) {}

SimDevice::~SimDevice() {
    if (m_netcmdSocket)
        m_reactor.remove(m_netcmdSocket.get());
    // Endpoints first: they hold the serial side as their sink.
    m_control.reset();
    m_data.reset();
    m_serial.reset();
}

void SimDevice::event(const std::string& text) const {
    if (!m_quiet)
        emitLine(text + m_tag);
}

void SimDevice::reply(const std::string& text) const {
    emitLine(text + m_tag);
}

Ipv4 SimDevice::broadcastAddress() const {
    return ipFromValue(ipValue(m_spec.ip) | ~ipValue(m_interface.mask));
}

void SimDevice::buildImage(bool fresh) {
    using namespace eeprom;
    EepromImage& image = m_image;
    DeviceIdentity identity;
    identity.mac = m_spec.mac.value_or(MacAddress{0x02, 0x00, m_spec.ip[0], m_spec.ip[1], m_spec.ip[2], m_spec.ip[3]});
    identity.id = m_spec.id.value_or(1);

    if (fresh) {
        image.setU8(kBaudIndex, 5); // 9600
        image.setU8(kDataBits, 3);  // 8 bits
        image.setU8(kDelimiter1, 0x0D);
        image.setU8(kDelimiter2, 0x0A);
        image.setU8(kWorkingMode, kModeTcpServer);
        image.setU16(kLocalPort, 4001);
        image.setU16(kControlPort, 4002);
        image.setIp4(kMask, m_interface.mask);
        image.setText(kDeviceName, kDeviceNameSize, "devsim");
        image.setText(kProjectName, kProjectNameSize, "tarn");
        image.setText(kAccount, kCredentialSize, "admin");
        image.setText(kPassword, kCredentialSize, "admin");
    }
    // The factory area always holds what the device is.
    image.setU16(kLayoutVersion, 1);
    image.setU16(kDeviceId, identity.id);
    std::memcpy(&image.bytes()[kMac], identity.mac.data(), identity.mac.size());
    image.setText(kModel, kModelSize, "TARN-DEVSIM");

    // Whatever the command line names overrides the stored image.
    image.setIp4(kIp, m_spec.ip);
    if (m_spec.mask)
        image.setIp4(kMask, *m_spec.mask);
    if (m_spec.gateway)
        image.setIp4(kGateway, *m_spec.gateway);
    if (m_spec.name)
        image.setText(kDeviceName, kDeviceNameSize, *m_spec.name);
    if (m_spec.project)
        image.setText(kProjectName, kProjectNameSize, *m_spec.project);
    if (m_spec.mode)
        image.setU8(kWorkingMode, *m_spec.mode == WorkingMode::TcpServer   ? kModeTcpServer
                                  : *m_spec.mode == WorkingMode::TcpClient ? kModeTcpClient
                                                                           : kModeUdp);
    if (m_spec.dataPort)
        image.setU16(kLocalPort, *m_spec.dataPort);
    if (m_spec.remoteIp)
        image.setIp4(kRemoteIp, *m_spec.remoteIp);
    if (m_spec.remotePort)
        image.setU16(kRemotePort, *m_spec.remotePort);
    if (m_spec.controlPort)
        image.setU16(kControlPort, *m_spec.controlPort);
    if (m_spec.baudIndex)
        image.setU8(kBaudIndex, *m_spec.baudIndex);
    if (m_spec.account)
        image.setText(kAccount, kCredentialSize, *m_spec.account);
    if (m_spec.password)
        image.setText(kPassword, kCredentialSize, *m_spec.password);
    if (m_spec.controlPassword)
        image.setText(kControlPassword, kCredentialSize, *m_spec.controlPassword);

    m_logic = std::make_unique<NetCmdLogic>(m_image, identity);
}

bool SimDevice::start(std::string& error) {
    m_interface = findInterface(m_spec.ip);
    if (!m_interface.found) {
        error = ipText(m_spec.ip) + " is not an address of any interface here";
        return false;
    }
    bool fresh = true;
    if (!m_spec.eepromPath.empty()) {
        struct stat info {};
        if (::stat(m_spec.eepromPath.c_str(), &info) == 0) {
            if (auto loadError = m_image.load(m_spec.eepromPath)) {
                error = *loadError;
                return false;
            }
            fresh = false;
        }
    }
    buildImage(fresh);
    if (m_spec.comPort != ComPortControl::Off && m_image.workingMode() != WorkingMode::TcpServer) {
        error = "rfc2217= needs mode=tcp-server: the host connects to the device's data port";
        return false;
    }
    if (!m_spec.eepromPath.empty()) {
        if (auto saveError = m_image.save(m_spec.eepromPath)) {
            error = *saveError;
            return false;
        }
    }
    m_logic->setEventHandler([this](const std::string& text) { event(text); });
    m_logic->setCommitHandler([this] { return commit(); });
    m_logic->setAnswerTwice(m_spec.answerTwice);
    m_logic->setRefuseLoginStart(m_spec.refuseLoginStart);

    m_netcmdSocket = bindUdp(m_spec.ip, netcmd::kPort, false, error);
    if (!m_netcmdSocket)
        return false;
    m_reactor.add(m_netcmdSocket.get(), EPOLLIN, [this](std::uint32_t) { onUnicastReadable(); });

    m_serial = SerialSide::create(m_spec.serial, m_reactor);
    if (!m_serial) {
        error = "bad serial side '" + m_spec.serial + "'";
        return false;
    }
    if (!m_serial->start(error))
        return false;
    if (auto endpointError = startEndpoints()) {
        error = *endpointError;
        return false;
    }
    event("device " + ipText(m_spec.ip) + " mac " + macText(mac()) + " id " + std::to_string(m_logic->identity().id) +
          " on " + m_interface.name);
    return true;
}

DataSettings SimDevice::dataSettings() const {
    DataSettings settings;
    settings.mode = m_image.workingMode();
    settings.deviceIp = m_spec.ip;
    settings.localPort = m_image.u16(eeprom::kLocalPort);
    settings.remoteIp = m_image.ip4(eeprom::kRemoteIp);
    settings.remotePort = m_image.u16(eeprom::kRemotePort);
    settings.comPort = m_spec.comPort;
    return settings;
}

ControlEndpoint::Settings SimDevice::controlSettings() const {
    ControlEndpoint::Settings settings;
    settings.deviceIp = m_spec.ip;
    settings.port = m_image.u16(eeprom::kControlPort);
    std::memcpy(settings.password.data(), &m_image.bytes()[eeprom::kControlPassword], 16);
    settings.forcedResult = m_controlResult;
    const std::uint8_t baud = m_image.u8(eeprom::kBaudIndex);
    settings.line.baudIndex = baud < 13 ? baud : 5;
    settings.line.dataBits = static_cast<std::uint8_t>(5 + (m_image.u8(eeprom::kDataBits) & 3));
    settings.line.parity = parityCode(m_image.u8(eeprom::kParity));
    settings.line.stopBits = m_image.u8(eeprom::kStopBits) ? 2 : 0;
    settings.line.flow = m_image.u8(eeprom::kFlowControl) <= 2 ? m_image.u8(eeprom::kFlowControl) : 0;
    return settings;
}

std::optional<std::string> SimDevice::startEndpoints() {
    std::string error;
    const DataSettings data = dataSettings();
    if (!m_data || !(data == m_runningData)) {
        m_data.reset();
        m_runningData = data;
        m_data = std::make_unique<DataEndpoint>(m_reactor, data, *m_serial,
                                                [this](const std::string& text) { event(text); });
        if (!m_data->start(error))
            return error;
        if (data.mode != WorkingMode::TcpClient && data.localPort != 0)
            event(std::string("data ") + (data.mode == WorkingMode::Udp ? "udp " : "tcp ") + ipText(data.deviceIp) +
                  ":" + std::to_string(data.localPort));
    }
    const ControlEndpoint::Settings control = controlSettings();
    const bool controlChanged =
        !m_runningControl || m_runningControl->port != control.port || m_runningControl->password != control.password;
    if (controlChanged) {
        m_control.reset();
        m_runningControl = control;
        if (control.port != 0) {
            m_control = std::make_unique<ControlEndpoint>(
                m_reactor, control, [this](const std::string& text) { event(text); },
                [this](std::uint32_t rate) {
                    if (m_serial)
                        m_serial->applyBaudRate(rate);
                });
            if (!m_control->start(error))
                return error;
            event("control tcp " + ipText(control.deviceIp) + ":" + std::to_string(control.port));
        }
    }
    if (m_serial)
        m_serial->applyBaudRate(kBaudRates[control.line.baudIndex]);
    return std::nullopt;
}

std::uint8_t SimDevice::commit() {
    std::uint8_t result = netcmd::kOk;
    if (!m_spec.eepromPath.empty()) {
        if (auto error = m_image.save(m_spec.eepromPath)) {
            event("eeprom save failed: " + *error);
            result = netcmd::kSaveFailed;
        } else {
            event("eeprom saved " + m_spec.eepromPath);
        }
    }
    // A device applies its stored working mode and ports when the write is complete.
    if (auto error = startEndpoints())
        emitError(ipText(m_spec.ip) + ": " + *error);
    return result;
}

void SimDevice::onUnicastReadable() {
    std::uint8_t buffer[65536];
    while (true) {
        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        const ssize_t got = ::recvfrom(m_netcmdSocket.get(), buffer, sizeof buffer, MSG_TRUNC,
                                       reinterpret_cast<sockaddr*>(&peer), &length);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return;
        // A request never exceeds what a host can build; anything longer is not ours.
        if (static_cast<std::size_t>(got) > netcmd::kMaxDatagram)
            continue;
        onNetCmdRequest(buffer, static_cast<std::size_t>(got), peer);
    }
}

void SimDevice::onNetCmdRequest(const std::uint8_t* data, std::size_t size, const sockaddr_in& peer) {
    if (m_silent)
        return;
    if (size >= 10 && data[8] == netcmd::kGroupSearch && data[9] == netcmd::kOpSearch)
        event("search from " + endpointText(peer));
    for (const auto& answer : m_logic->handle(data, size, ntohl(peer.sin_addr.s_addr)))
        ::sendto(m_netcmdSocket.get(), answer.data(), answer.size(), 0, reinterpret_cast<const sockaddr*>(&peer),
                 sizeof peer);
}

bool SimDevice::sendControl(const std::vector<std::uint8_t>& bytes) {
    return m_control && m_control->send(bytes);
}

bool SimDevice::injectSerial(const std::vector<std::uint8_t>& bytes) {
    if (!m_data)
        return false;
    m_data->fromSerial(bytes.data(), bytes.size());
    return true;
}

std::string SimDevice::setModemLines(std::uint8_t lines) {
    if (!m_data || !m_data->comPortOn())
        return "error rfc2217 is not on";
    const auto reported = m_data->setModemLines(lines);
    char text[40];
    std::snprintf(text, sizeof text, reported ? "ok modem sent 0x%02X" : "ok modem set 0x%02X",
                  reported ? *reported : lines);
    return text;
}

std::string SimDevice::status() const {
    return "status " + ipText(m_spec.ip) + " data=" + (m_data && m_data->connected() ? "up" : "down") +
           " control=" + (m_control && m_control->connected() ? "up" : "down") + " silent=" + (m_silent ? "on" : "off");
}

} // namespace devsim
