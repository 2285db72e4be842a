#include "core/add_path.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <limits>

#include "bridge/tvs_port_ax.h"
#include "config/text_helpers.h"

namespace core {
namespace {

constexpr std::int32_t kLowestPort = 1;
constexpr std::int32_t kHighestPort = 49151; // 0xBFFF: above it the system hands out ports itself
constexpr std::size_t kIpTextLimit = 50;

std::string withoutBlanks(const std::string& text) {
    std::string kept;
    for (const char c : text)
        if (c != ' ' && c != '\t')
            kept.push_back(c);
    return kept;
}

// The port a mapping really uses: blanks inside the field do not split the number.
std::uint16_t usedPort(const std::string& text) {
    return static_cast<std::uint16_t>(static_cast<std::uint32_t>(readNumber(withoutBlanks(text))) & 0xFFFFu);
}

bool validPort(std::int32_t port) {
    return port >= kLowestPort && port <= kHighestPort;
}

bool contains(const std::deque<std::int32_t>& list, std::int32_t number) {
    return std::find(list.begin(), list.end(), number) != list.end();
}

} // namespace

std::int32_t readNumber(const std::string& text) {
    std::size_t at = 0;
    while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at])))
        ++at;
    bool negative = false;
    if (at < text.size() && (text[at] == '+' || text[at] == '-'))
        negative = text[at++] == '-';
    std::int64_t value = 0;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at)
        value = std::min<std::int64_t>(value * 10 + (text[at] - '0'), std::int64_t{1} << 32);
    value = negative ? -value : value;
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(value, std::numeric_limits<std::int32_t>::min(),
                                                              std::numeric_limits<std::int32_t>::max()));
}

AddCheck checkAdd(const AddRequest& request, const std::deque<std::int32_t>& systemPorts,
                  const std::vector<ExistingMapping>& existing) {
    std::string message;
    const std::int32_t comNumber = readNumber(request.comText);
    std::string ipText = withoutBlanks(request.ipText);
    if (ipText.size() > kIpTextLimit)
        ipText.resize(kIpTextLimit);
    const bool isServer = request.isTcp && request.isServer;
    const bool isClient = request.isTcp && !request.isServer;

    // A negative number would name a port "COM4294967295"; it is as invalid as 0, and so is
    // one past the highest port name (a number too long to read saturates there too).
    if (comNumber <= 0 || comNumber > kHighestComNumber)
        message += "Please DON'T give an invalid comport number.\n";
    if (contains(systemPorts, comNumber))
        message += "Please DON'T create the existing comport.\n";
    if (std::any_of(existing.begin(), existing.end(),
                    [&](const ExistingMapping& mapping) { return mapping.comNumber == comNumber; }))
        message += "Please DON'T create the existing comport.\n";
    if (!message.empty())
        return failure(AddRefusal{message, true});

    const bool localValid = validPort(readNumber(request.localPortText));
    const bool remoteValid = validPort(readNumber(request.remotePortText));
    const bool portsValid = isServer ? localValid : (isClient ? remoteValid : localValid && remoteValid);
    if (!portsValid)
        message += "Please give valid Port Number(s).\n";
    // A TCP server listens on every address; it needs none.
    if (!isServer && config::checkAddressText(ipText) == config::kInvalidAddress)
        message += "Please give a valid IP Address.\n";
    if (std::any_of(existing.begin(), existing.end(),
                    [&](const ExistingMapping& mapping) { return mapping.ipText == ipText; }))
        message += "This IP has already been connected with a device.\n";
    const std::uint16_t localPort = usedPort(request.localPortText);
    const std::uint16_t remotePort = usedPort(request.remotePortText);
    // Compared with the port the new server would really listen on.
    if (isServer && std::any_of(existing.begin(), existing.end(), [&](const ExistingMapping& mapping) {
            return mapping.mode == kModeTcpServer && mapping.localPort == localPort;
        }))
        message += "This port number is in use by another server.\n";
    if (!message.empty())
        return failure(AddRefusal{message, false});

    tarnDesc desc;
    desc.comNum = comNumber;
    if (isServer) {
        desc.mode = kModeTcpServer;
        std::strcpy(desc.ipAddress, "0.0.0.0");
        desc.localPort = localPort;
    } else {
        desc.mode = isClient ? kModeTcpClient : kModeUdp;
        std::memcpy(desc.ipAddress, ipText.data(), ipText.size());
        desc.localPort = isClient ? 0 : localPort;
        desc.remotePort = remotePort;
        // The address text is at most kIpTextLimit characters, so the mark always fits.
        if (isClient && request.rfc2217)
            setRfc2217(desc, true);
    }
    return desc;
}

std::int32_t proposeComNumber(const std::deque<std::int32_t>& systemPorts, const std::deque<std::int32_t>& inUse) {
    std::vector<std::int32_t> taken(systemPorts.begin(), systemPorts.end());
    taken.insert(taken.end(), inUse.begin(), inUse.end());
    if (taken.empty())
        return 1;
    std::int32_t number = *std::min_element(taken.begin(), taken.end());
    while (std::find(taken.begin(), taken.end(), number) != taken.end() &&
           number < std::numeric_limits<std::int32_t>::max())
        ++number;
    return number;
}

std::int32_t comNumberUp(std::int32_t n, const std::deque<std::int32_t>& systemPorts,
                         const std::deque<std::int32_t>& inUse) {
    // One pass over each list in its own order, not a search: a number skipped over early in
    // a list is not looked at again.
    const auto step = [&n] {
        if (n < std::numeric_limits<std::int32_t>::max())
            ++n;
    };
    step();
    for (const std::int32_t taken : systemPorts)
        if (taken == n)
            step();
    for (const std::int32_t taken : inUse)
        if (taken == n)
            step();
    return n;
}

std::int32_t comNumberDown(std::int32_t n, const std::deque<std::int32_t>& systemPorts,
                           const std::deque<std::int32_t>& inUse) {
    for (std::int32_t candidate = n - 1; n > 1 && candidate >= 1; --candidate)
        if (!contains(systemPorts, candidate) && !contains(inUse, candidate))
            return candidate;
    return n;
}

} // namespace core
