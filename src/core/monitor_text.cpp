#include "core/monitor_text.h"

#include <charconv>
#include <cstdio>
#include <ctime>

namespace core {

using monitor::Flow;

std::string monitorTime(std::int64_t timeUs, std::int64_t wallOffsetUs) {
    const std::int64_t wall = timeUs + wallOffsetUs;
    const std::time_t seconds = static_cast<std::time_t>(wall / 1'000'000);
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%06lld", local.tm_hour, local.tm_min, local.tm_sec,
                  static_cast<long long>(wall % 1'000'000));
    return text;
}

const char* flowArrow(Flow flow) {
    if (flow == Flow::kEvent || flow == Flow::kLost)
        return "";
    return monitor::towardDevice(flow) ? "app→dev" : "dev→app";
}

const char* flowSide(Flow flow) {
    if (flow == Flow::kEvent || flow == Flow::kLost)
        return "";
    return monitor::portSide(flow) ? "port" : "net";
}

namespace {

// The bytes as two lowercase hex digits each, with `separator` between them when it is not 0.
std::string hexDigits(const std::string& bytes, char separator) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 3);
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (separator != 0 && !out.empty())
            out += separator;
        out += kDigits[byte >> 4];
        out += kDigits[byte & 15];
    }
    return out;
}

} // namespace

std::string hexText(const std::string& bytes) {
    return hexDigits(bytes, ' ');
}

std::string printableText(const std::string& bytes) {
    std::string out = bytes;
    for (char& c : out) {
        if (c < 0x20 || c > 0x7e)
            c = '.';
    }
    return out;
}

std::string eventText(const monitor::Record& record) {
    if (record.flow == Flow::kLost)
        return record.bytes + " record(s) lost: the monitor fell behind";
    return record.bytes;
}

std::string monitorLine(const monitor::Record& record, std::int64_t wallOffsetUs, MonitorShow show) {
    std::string line = monitorTime(record.timeUs, wallOffsetUs);
    if (record.flow == Flow::kEvent || record.flow == Flow::kLost)
        return line + (record.flow == Flow::kLost ? "  !  " : "  *  ") + eventText(record);
    char head[48];
    std::snprintf(head, sizeof head, "  %s %-4s %5zu  ", flowArrow(record.flow), flowSide(record.flow),
                  record.bytes.size());
    line += head;
    if (show != MonitorShow::kAscii)
        line += hexText(record.bytes);
    if (show == MonitorShow::kBoth)
        line += "  ";
    if (show != MonitorShow::kHex) {
        line += '|';
        line += printableText(record.bytes);
        line += '|';
    }
    return line;
}

std::vector<std::string> monitorFields(const monitor::Record& record) {
    const bool words = record.flow == Flow::kEvent || record.flow == Flow::kLost;
    std::string payload = words ? record.bytes : hexDigits(record.bytes, 0);
    return {"rec", std::to_string(static_cast<int>(record.flow)), std::to_string(record.timeUs), std::move(payload)};
}

std::optional<monitor::Record> monitorRecord(const std::vector<std::string>& fields) {
    if (fields.size() != 4 || fields[0] != "rec")
        return std::nullopt;
    int flow = 0;
    monitor::Record record;
    const auto number = [](const std::string& text, auto& value) {
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
        return error == std::errc() && end == text.data() + text.size() && !text.empty();
    };
    if (!number(fields[1], flow) || flow < 0 || flow > 255 || !monitor::isFlow(static_cast<std::uint8_t>(flow)) ||
        !number(fields[2], record.timeUs))
        return std::nullopt;
    record.flow = static_cast<Flow>(flow);
    const std::string& payload = fields[3];
    if (record.flow == Flow::kEvent || record.flow == Flow::kLost) {
        record.bytes = payload;
        return record;
    }
    if (payload.size() % 2 != 0)
        return std::nullopt;
    record.bytes.resize(payload.size() / 2);
    for (std::size_t i = 0; i < record.bytes.size(); ++i) {
        unsigned value = 0;
        const auto [end, error] = std::from_chars(payload.data() + 2 * i, payload.data() + 2 * i + 2, value, 16);
        if (error != std::errc() || end != payload.data() + 2 * i + 2)
            return std::nullopt;
        record.bytes[i] = static_cast<char>(value);
    }
    return record;
}

} // namespace core
