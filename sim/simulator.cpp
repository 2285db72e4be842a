#include "simulator.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include "net_util.h"

namespace devsim {

Simulator::Simulator(Options options) : m_options(std::move(options)) {}

Simulator::~Simulator() {
    if (m_stdinOpen)
        m_reactor.remove(STDIN_FILENO);
    for (auto& raw : m_raw)
        m_reactor.remove(raw->socket.get());
    for (auto& [address, entry] : m_broadcast)
        m_reactor.remove(entry->socket.get());
    if (m_limitedBroadcast)
        m_reactor.remove(m_limitedBroadcast->socket.get());
    if (m_signals)
        m_reactor.remove(m_signals.get());
    m_devices.clear();
}

bool Simulator::start(std::string& error) {
    if (!m_reactor.ok()) {
        error = std::string("epoll: ") + std::strerror(errno);
        return false;
    }
    // The caller blocked these signals before any thread or child could start.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    m_signals.reset(::signalfd(-1, &stopSignals, SFD_NONBLOCK | SFD_CLOEXEC));
    if (!m_signals) {
        error = std::string("signalfd: ") + std::strerror(errno);
        return false;
    }
    m_reactor.add(m_signals.get(), EPOLLIN, [this](std::uint32_t) { m_reactor.stop(); });

    const bool tagged = m_options.devices.size() > 1;
    for (const auto& spec : m_options.devices) {
        auto device = std::make_unique<SimDevice>(m_reactor, spec, m_options.controlResult, tagged, m_options.quiet);
        std::string deviceError;
        if (!device->start(deviceError)) {
            error = ipText(spec.ip) + ": " + deviceError;
            return false;
        }
        m_devices.push_back(std::move(device));
    }
    if (!startBroadcast(error))
        return false;
    if (m_options.raw)
        startRaw();

    m_stdinOpen = m_reactor.add(STDIN_FILENO, EPOLLIN, [this](std::uint32_t) { onStdin(); });
    return true;
}

bool Simulator::startBroadcast(std::string&) {
    for (auto& device : m_devices) {
        const Ipv4 broadcast = device->broadcastAddress();
        if (broadcast == device->ip())
            continue; // a host route has no broadcast
        auto& entry = m_broadcast[ipValue(broadcast)];
        if (!entry) {
            entry = std::make_unique<BroadcastSocket>();
            std::string error;
            // Shared with other simulators on the same subnet: every bound socket gets a copy.
            entry->socket = bindUdp(broadcast, netcmd::kPort, true, error);
            if (!entry->socket) {
                emitError("no search answers by broadcast to " + ipText(broadcast) + ": " + error);
            } else {
                BroadcastSocket* raw = entry.get();
                m_reactor.add(entry->socket.get(), EPOLLIN, [this, raw](std::uint32_t) { onBroadcast(*raw, false); });
            }
        }
        entry->devices.push_back(device.get());
    }
    m_limitedBroadcast = std::make_unique<BroadcastSocket>();
    std::string error;
    m_limitedBroadcast->socket = bindUdp({255, 255, 255, 255}, netcmd::kPort, true, error);
    if (m_limitedBroadcast->socket) {
        const int one = 1;
        ::setsockopt(m_limitedBroadcast->socket.get(), IPPROTO_IP, IP_PKTINFO, &one, sizeof one);
        for (auto& device : m_devices)
            m_limitedBroadcast->devices.push_back(device.get());
        m_reactor.add(m_limitedBroadcast->socket.get(), EPOLLIN,
                      [this](std::uint32_t) { onBroadcast(*m_limitedBroadcast, true); });
    } else {
        m_limitedBroadcast.reset();
    }
    return true;
}

void Simulator::onBroadcast(BroadcastSocket& entry, bool limited) {
    std::uint8_t buffer[65536];
    while (true) {
        sockaddr_in peer{};
        iovec io{buffer, sizeof buffer};
        alignas(cmsghdr) char control[256];
        msghdr message{};
        message.msg_name = &peer;
        message.msg_namelen = sizeof peer;
        message.msg_iov = &io;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        const ssize_t got = ::recvmsg(entry.socket.get(), &message, MSG_TRUNC);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return;
        if (static_cast<std::size_t>(got) > netcmd::kMaxDatagram)
            continue;
        int interfaceIndex = 0;
        for (cmsghdr* c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c))
            if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO)
                interfaceIndex = reinterpret_cast<const in_pktinfo*>(CMSG_DATA(c))->ipi_ifindex;
        for (SimDevice* device : entry.devices) {
            // 255.255.255.255 reaches only the devices of the interface it arrived on.
            if (limited && device->interfaceInfo().index != interfaceIndex)
                continue;
            device->onNetCmdRequest(buffer, static_cast<std::size_t>(got), peer);
        }
    }
}

void Simulator::startRaw() {
    for (auto& device : m_devices) {
        const InterfaceInfo& info = device->interfaceInfo();
        if (info.loopback || info.index == 0)
            continue; // no Ethernet below a loopback device
        RawSocket* target = nullptr;
        for (auto& raw : m_raw)
            if (raw->interfaceIndex == info.index)
                target = raw.get();
        if (!target) {
            auto raw = std::make_unique<RawSocket>();
            raw->interfaceIndex = info.index;
            // Discovery frames carry the ARP EtherType; the kernel's own ARP ignores them
            // (their protocol type is not IPv4).
            raw->socket.reset(::socket(AF_PACKET, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, htons(ETH_P_ARP)));
            sockaddr_ll address{};
            address.sll_family = AF_PACKET;
            address.sll_protocol = htons(ETH_P_ARP);
            address.sll_ifindex = info.index;
            if (!raw->socket ||
                ::bind(raw->socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
                emitError("no raw discovery answers on " + info.name + ": " + std::strerror(errno));
                continue;
            }
            RawSocket* entry = raw.get();
            m_reactor.add(raw->socket.get(), EPOLLIN, [this, entry](std::uint32_t) { onRawFrame(*entry); });
            target = entry;
            m_raw.push_back(std::move(raw));
        }
        target->devices.push_back(device.get());
    }
}

void Simulator::onRawFrame(RawSocket& entry) {
    std::uint8_t frame[2048];
    while (true) {
        sockaddr_ll from{};
        socklen_t length = sizeof from;
        const ssize_t got =
            ::recvfrom(entry.socket.get(), frame, sizeof frame, 0, reinterpret_cast<sockaddr*>(&from), &length);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return;
        if (from.sll_pkttype == PACKET_OUTGOING)
            continue; // our own answers
        if (!NetCmdLogic::isRawRequest(frame, static_cast<std::size_t>(got)))
            continue;
        const bool broadcast = std::all_of(frame, frame + 6, [](std::uint8_t b) { return b == 0xFF; });
        MacAddress requester{};
        std::memcpy(requester.data(), frame + 6, 6);
        for (SimDevice* device : entry.devices) {
            if (device->silent() || (!broadcast && std::memcmp(frame, device->mac().data(), 6) != 0))
                continue;
            device->event("raw discovery from " + macText(requester));
            const auto answer = device->rawAnswer(requester);
            sockaddr_ll to{};
            to.sll_family = AF_PACKET;
            to.sll_protocol = htons(ETH_P_ARP);
            to.sll_ifindex = entry.interfaceIndex;
            to.sll_halen = 6;
            std::memcpy(to.sll_addr, requester.data(), 6);
            for (int copy = 0; copy < (device->answerTwice() ? 2 : 1); ++copy)
                ::sendto(entry.socket.get(), answer.data(), answer.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                         sizeof to);
        }
    }
}

void Simulator::onStdin() {
    char buffer[4096];
    // One read per readiness report: standard input stays blocking, as the terminal or pipe
    // it shares with others expects.
    const ssize_t got = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR)
        return;
    if (got <= 0) {
        // End of input does not end the simulator; only a signal or "quit" does.
        m_reactor.remove(STDIN_FILENO);
        m_stdinOpen = false;
        return;
    }
    m_stdinBuffer.append(buffer, static_cast<std::size_t>(got));
    std::size_t newline;
    while ((newline = m_stdinBuffer.find('\n')) != std::string::npos) {
        const std::string line = m_stdinBuffer.substr(0, newline);
        m_stdinBuffer.erase(0, newline + 1);
        runCommand(line);
    }
    if (m_stdinBuffer.size() > 65536)
        m_stdinBuffer.clear(); // no command is that long
}

SimDevice* Simulator::pickDevice(std::vector<std::string>& words, std::string& error) {
    if (words.size() > 1 && words[1].find('.') != std::string::npos) {
        const auto ip = parseIpv4(words[1]);
        for (auto& device : m_devices)
            if (ip && device->ip() == *ip) {
                words.erase(words.begin() + 1);
                return device.get();
            }
        error = "error no device " + words[1];
        return nullptr;
    }
    return m_devices.front().get();
}

void Simulator::runCommand(const std::string& line) {
    std::vector<std::string> words = splitWords(line);
    if (words.empty() || words[0][0] == '#')
        return;
    const std::string command = words[0];
    if (command == "quit" || command == "exit") {
        emitLine("ok quit");
        m_reactor.stop();
        return;
    }
    if (command == "help") {
        emitLine("ok commands: send serial silent status modem quit");
        return;
    }
    if (command != "send" && command != "serial" && command != "silent" && command != "status" && command != "modem") {
        emitLine("error unknown command '" + command + "'");
        return;
    }
    std::string error;
    SimDevice* device = pickDevice(words, error);
    if (!device) {
        emitLine(error);
        return;
    }
    if (command == "status") {
        emitLine("ok " + device->status());
        return;
    }
    if (command == "silent") {
        if (words.size() != 2 || (words[1] != "on" && words[1] != "off")) {
            emitLine("error usage: silent [IP] on|off");
            return;
        }
        device->setSilent(words[1] == "on");
        emitLine("ok silent " + words[1]);
        return;
    }
    if (command == "modem") {
        std::uint8_t lines = 0;
        bool valid = words.size() > 1;
        for (std::size_t i = 1; i < words.size(); ++i) {
            const std::string& name = words[i];
            if (name == "cts")
                lines |= kModemCts;
            else if (name == "dsr")
                lines |= kModemDsr;
            else if (name == "ri")
                lines |= kModemRi;
            else if (name == "dcd")
                lines |= kModemDcd;
            else
                valid = valid && name == "none" && words.size() == 2;
        }
        emitLine(valid ? device->setModemLines(lines) : "error usage: modem [IP] cts|dsr|ri|dcd...|none");
        return;
    }
    const auto bytes = parseHexTokens(std::vector<std::string>(words.begin() + 1, words.end()));
    if (!bytes || bytes->empty()) {
        emitLine("error usage: " + command + " [IP] HEX...");
        return;
    }
    if (command == "send") {
        if (device->sendControl(*bytes))
            emitLine("ok send " + std::to_string(bytes->size()));
        else
            emitLine("error no control connection");
        return;
    }
    if (device->injectSerial(*bytes))
        emitLine("ok serial " + std::to_string(bytes->size()));
    else
        emitLine("error no data endpoint");
}

int Simulator::run() {
    if (!m_reactor.run()) {
        emitError(std::string("event loop: ") + std::strerror(errno));
        return 1;
    }
    return 0;
}

} // namespace devsim
