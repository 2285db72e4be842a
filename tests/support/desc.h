#pragma once
// A mapping's description with the five fields the mapping dialog fills in.

#include <cstdint>
#include <cstdio>

#include "model/tarn_desc.h"

namespace testsupport {

inline tarnDesc makeDesc(std::int32_t com, std::int32_t mode, const char* ip, std::uint16_t localPort,
                         std::uint16_t remotePort) {
    tarnDesc desc;
    desc.comNum = com;
    desc.mode = mode;
    std::snprintf(desc.ipAddress, sizeof desc.ipAddress, "%s", ip);
    desc.localPort = localPort;
    desc.remotePort = remotePort;
    return desc;
}

} // namespace testsupport
