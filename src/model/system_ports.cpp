#include "model/system_ports.h"

#include <algorithm>
#include <dirent.h>
#include <mutex>
#include <optional>
#include <sys/stat.h>
#include <vector>

#include "bridge/tvs_port_ax.h"

namespace {

// The number after `prefix` in `name`: digits only, no leading zero, at most `limit`.
std::optional<std::int32_t> numberAfter(const std::string& name, const std::string& prefix, std::int32_t limit) {
    if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0)
        return std::nullopt;
    const std::string digits = name.substr(prefix.size());
    if (digits.size() > 5 || (digits.size() > 1 && digits[0] == '0') ||
        !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    const std::int32_t value = std::stoi(digits);
    if (value > limit)
        return std::nullopt;
    return value;
}

std::vector<std::string> entryNames(const std::string& dir) {
    std::vector<std::string> names;
    DIR* stream = ::opendir(dir.c_str());
    if (!stream)
        return names;
    while (const dirent* entry = ::readdir(stream))
        names.emplace_back(entry->d_name);
    ::closedir(stream);
    return names;
}

// A serial driver registers ttyS0..ttyS<N> whether or not a port sits behind each; only the
// ones with a device link have hardware.
std::vector<std::int32_t> hardwareSerialPorts(const std::string& sysClassTty) {
    std::vector<std::int32_t> numbers;
    for (const std::string& name : entryNames(sysClassTty)) {
        const auto k = numberAfter(name, "ttyS", kHighestComNumber - 1);
        struct stat st {};
        if (k && ::stat((sysClassTty + "/" + name + "/device").c_str(), &st) == 0)
            numbers.push_back(*k + 1);
    }
    std::sort(numbers.begin(), numbers.end());
    return numbers;
}

// COM<n> names in the port directory that something other than a port of ours holds.
std::vector<std::int32_t> takenPortNames(const std::string& portDir) {
    std::vector<std::int32_t> numbers;
    // A directory that is a link or not ours could be anyone's: never read, never cleaned.
    if (!privatePortDirectory(portDir))
        return numbers;
    for (const std::string& name : entryNames(portDir)) {
        const auto n = numberAfter(name, "COM", kHighestComNumber);
        if (n && *n >= 1 && clearStalePortName(portDir, name) == PortNameState::Foreign)
            numbers.push_back(*n);
    }
    std::sort(numbers.begin(), numbers.end());
    return numbers;
}

std::deque<std::int32_t>& recorded() {
    static std::deque<std::int32_t> numbers;
    return numbers;
}

} // namespace

std::deque<std::int32_t> scanSystemPorts(const SystemPortSources& sources) {
    std::deque<std::int32_t> numbers;
    for (const std::int32_t n : hardwareSerialPorts(sources.sysClassTty)) {
        if (std::find(numbers.begin(), numbers.end(), n) == numbers.end())
            numbers.push_back(n);
    }
    const std::string portDir = sources.portDir.empty() ? portDirectory() : sources.portDir;
    for (const std::int32_t n : takenPortNames(portDir)) {
        if (std::find(numbers.begin(), numbers.end(), n) == numbers.end())
            numbers.push_back(n);
    }
    return numbers;
}

void recordSystemPorts() {
    recordSystemPorts(SystemPortSources{});
}

void recordSystemPorts(const SystemPortSources& sources) {
    static std::once_flag once;
    std::call_once(once, [&] { recorded() = scanSystemPorts(sources); });
}

const std::deque<std::int32_t>& systemPortNumbers() {
    return recorded();
}
