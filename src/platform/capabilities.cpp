#include "platform/capabilities.h"

#include <charconv>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <linux/capability.h>

std::optional<unsigned long long> effectiveCapabilities(std::string_view statusText) {
    constexpr std::string_view key = "CapEff:";
    std::size_t at = 0;
    while (at < statusText.size()) {
        std::size_t end = statusText.find('\n', at);
        if (end == std::string_view::npos)
            end = statusText.size();
        std::string_view line = statusText.substr(at, end - at);
        at = end + 1;
        if (line.substr(0, key.size()) != key)
            continue;
        line.remove_prefix(key.size());
        while (!line.empty() && (line.front() == ' ' || line.front() == '\t'))
            line.remove_prefix(1);
        unsigned long long value = 0;
        const auto [rest, error] = std::from_chars(line.data(), line.data() + line.size(), value, 16);
        if (error != std::errc() || line.empty() || rest != line.data() + line.size())
            return std::nullopt;
        return value;
    }
    return std::nullopt;
}

bool mayCaptureRaw() {
    std::ifstream in("/proc/self/status");
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto caps = effectiveCapabilities(text);
    return !caps || (*caps & (1ULL << CAP_NET_RAW)) != 0;
}

std::string rawCaptureOffNotice() {
    std::error_code error;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    return "Raw Ethernet discovery is off: it needs root or CAP_NET_RAW (sudo setcap cap_net_raw+ep " +
           (error ? std::string("<program>") : self.string()) + "); the UDP search works without it.";
}
