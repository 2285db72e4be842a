// libFuzzer target: a device's control connection stream, cut into messages as the session
// reads it, each handed to the control protocol's reader.

#include <cstddef>
#include <cstdint>

#include "control/mek_ncp.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    mek_ncp control;
    std::size_t at = 0;
    while (at < size) {
        const std::size_t used = control.handleDeviceMessage(data + at, size - at);
        if (used == 0)
            break; // incomplete: the session would wait for more
        if (used > size - at)
            __builtin_trap();
        at += used;
    }
    (void)control.signalByte();
    return 0;
}
