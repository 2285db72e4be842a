#include "platform/pcap_capture.h"

#include <pcap/pcap.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int kSnapshotLength = 65536;
constexpr int kPromiscuous = 1;
constexpr int kReadTimeoutMs = 1000;

bool usableMac(const unsigned char* bytes) {
    return std::any_of(bytes, bytes + 6, [](unsigned char b) { return b != 0; });
}

std::optional<MacAddress> macFromPacketAddress(const std::string& name) {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return std::nullopt;
    std::optional<MacAddress> mac;
    for (const ifaddrs* entry = list; entry != nullptr && !mac; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_PACKET || name != entry->ifa_name)
            continue;
        sockaddr_ll link{};
        std::memcpy(&link, entry->ifa_addr, sizeof link);
        if (link.sll_hatype == ARPHRD_ETHER && link.sll_halen == 6 && usableMac(link.sll_addr)) {
            MacAddress found{};
            std::copy_n(link.sll_addr, 6, found.begin());
            mac = found;
        }
    }
    freeifaddrs(list);
    return mac;
}

std::optional<MacAddress> macFromIoctl(const std::string& name) {
    if (name.size() >= IFNAMSIZ)
        return std::nullopt;
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return std::nullopt;
    ifreq request{};
    std::memcpy(request.ifr_name, name.c_str(), name.size() + 1);
    const int rc = ::ioctl(fd, SIOCGIFHWADDR, &request);
    ::close(fd);
    if (rc != 0 || request.ifr_hwaddr.sa_family != ARPHRD_ETHER)
        return std::nullopt;
    const auto* bytes = reinterpret_cast<const unsigned char*>(request.ifr_hwaddr.sa_data);
    if (!usableMac(bytes))
        return std::nullopt;
    MacAddress mac{};
    std::copy_n(bytes, 6, mac.begin());
    return mac;
}

class PcapChannel final : public CaptureChannel {
public:
    explicit PcapChannel(pcap_t* handle) : m_handle(handle) {}
    ~PcapChannel() override { pcap_close(m_handle); }
    PcapChannel(const PcapChannel&) = delete;
    PcapChannel& operator=(const PcapChannel&) = delete;

    bool send(std::span<const std::uint8_t> frame) override {
        return pcap_sendpacket(m_handle, frame.data(), static_cast<int>(frame.size())) == 0;
    }

    int collect(const FrameHandler& onFrame, std::chrono::steady_clock::time_point until) override {
        const int fd = pcap_get_selectable_fd(m_handle);
        int total = 0;
        for (;;) {
            // The handle is non-blocking: this takes what is waiting and returns.
            const int taken = pcap_dispatch(m_handle, -1, &PcapChannel::trampoline,
                                            reinterpret_cast<u_char*>(const_cast<FrameHandler*>(&onFrame)));
            if (taken < 0)
                return total > 0 ? total : -1;
            total += taken;
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
            if (left.count() <= 0 || fd < 0)
                return total;
            pollfd entry{fd, POLLIN, 0};
            const int ready = ::poll(&entry, 1, static_cast<int>(left.count()));
            if (ready < 0 && errno != EINTR)
                return total;
        }
    }

    bool setFilter(const std::string& expression) override {
        bpf_program program{};
        if (pcap_compile(m_handle, &program, expression.c_str(), 1, PCAP_NETMASK_UNKNOWN) != 0)
            return false;
        const bool ok = pcap_setfilter(m_handle, &program) == 0;
        pcap_freecode(&program);
        return ok;
    }

    void discardPending() override {
        const FrameHandler ignore = [](std::span<const std::uint8_t>) {};
        // Bounded: a flooded adapter must not keep us here for ever.
        for (int round = 0; round < 64; ++round) {
            if (pcap_dispatch(m_handle, -1, &PcapChannel::trampoline,
                              reinterpret_cast<u_char*>(const_cast<FrameHandler*>(&ignore))) <= 0)
                break;
        }
    }

    std::string lastError() const override { return pcap_geterr(m_handle); }

private:
    static void trampoline(u_char* user, const pcap_pkthdr* header, const u_char* bytes) {
        const auto* onFrame = reinterpret_cast<const FrameHandler*>(user);
        // caplen is what was stored; len may be larger when the snapshot cut the frame.
        (*onFrame)(std::span<const std::uint8_t>(bytes, header->caplen));
    }

    pcap_t* m_handle;
};

} // namespace

std::optional<MacAddress> interfaceMacAddress(const std::string& name) {
    if (auto mac = macFromPacketAddress(name))
        return mac;
    return macFromIoctl(name);
}

std::vector<std::string> PcapBackend::listDevices() {
    std::vector<std::string> names;
    char error[PCAP_ERRBUF_SIZE] = {};
    pcap_if_t* devices = nullptr;
    if (pcap_findalldevs(&devices, error) != 0)
        return names;
    for (const pcap_if_t* device = devices; device != nullptr; device = device->next)
        names.emplace_back(device->name);
    pcap_freealldevs(devices);
    return names;
}

std::optional<MacAddress> PcapBackend::macAddress(const std::string& device) {
    return interfaceMacAddress(device);
}

std::unique_ptr<CaptureChannel> PcapBackend::open(const std::string& device) {
    char error[PCAP_ERRBUF_SIZE] = {};
    pcap_t* handle = pcap_create(device.c_str(), error);
    if (handle == nullptr)
        return nullptr;
    auto channel = std::make_unique<PcapChannel>(handle);
    if (pcap_set_snaplen(handle, kSnapshotLength) != 0 || pcap_set_promisc(handle, kPromiscuous) != 0 ||
        pcap_set_timeout(handle, kReadTimeoutMs) != 0 || pcap_set_immediate_mode(handle, 1) != 0 ||
        pcap_activate(handle) < 0)
        return nullptr;
    // The discovery frame and its answers are laid out from an Ethernet header.
    if (pcap_datalink(handle) != DLT_EN10MB || pcap_setnonblock(handle, 1, error) != 0)
        return nullptr;
    return channel;
}

CaptureBackend& pcapBackend() {
    static PcapBackend backend;
    return backend;
}
