#include "model/tarn_desc.h"

#include <cstring>

namespace {

void put32(std::uint8_t* out, std::int32_t value) {
    const auto bits = static_cast<std::uint32_t>(value);
    for (int i = 0; i < 4; ++i)
        out[i] = static_cast<std::uint8_t>(bits >> (8 * i));
}

void put16(std::uint8_t* out, std::uint16_t value) {
    out[0] = static_cast<std::uint8_t>(value);
    out[1] = static_cast<std::uint8_t>(value >> 8);
}

std::int32_t get32(const std::uint8_t* in) {
    std::uint32_t bits = 0;
    for (int i = 0; i < 4; ++i)
        bits |= static_cast<std::uint32_t>(in[i]) << (8 * i);
    return static_cast<std::int32_t>(bits);
}

std::uint16_t get16(const std::uint8_t* in) {
    return static_cast<std::uint16_t>(in[0] | (in[1] << 8));
}

// Where the mark sits in ipAddress: a NUL, then the name, inside the 99 bytes every reader keeps.
constexpr std::size_t kMarkAt = 90;
constexpr char kMark[] = "RFC2217";

} // namespace

bool isRfc2217(const tarnDesc& desc) {
    return desc.mode == kModeTcpClient && desc.ipAddress[kMarkAt] == '\0' &&
           std::memcmp(desc.ipAddress + kMarkAt + 1, kMark, sizeof kMark - 1) == 0;
}

bool setRfc2217(tarnDesc& desc, bool on) {
    if (!on) {
        if (isRfc2217(desc))
            std::memset(desc.ipAddress + kMarkAt, 0, kDescIpSize - kMarkAt);
        return true;
    }
    if (desc.mode != kModeTcpClient || strnlen(desc.ipAddress, kDescIpSize) >= kMarkAt)
        return false;
    std::memset(desc.ipAddress + kMarkAt, 0, kDescIpSize - kMarkAt);
    std::memcpy(desc.ipAddress + kMarkAt + 1, kMark, sizeof kMark - 1);
    return true;
}

DescRecord encodeDesc(const tarnDesc& desc) {
    DescRecord record{};
    put32(record.data(), desc.comNum);
    put32(record.data() + 4, desc.mode);
    std::memcpy(record.data() + 8, desc.ipAddress, kDescIpSize);
    put16(record.data() + 108, desc.localPort);
    put16(record.data() + 110, desc.remotePort);
    return record;
}

tarnDesc decodeDesc(const std::uint8_t* record) {
    tarnDesc desc;
    desc.comNum = get32(record);
    desc.mode = get32(record + 4);
    std::memcpy(desc.ipAddress, record + 8, kDescIpSize - 1);
    desc.ipAddress[kDescIpSize - 1] = '\0';
    desc.localPort = get16(record + 108);
    desc.remotePort = get16(record + 110);
    return desc;
}
