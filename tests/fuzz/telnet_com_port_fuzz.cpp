// libFuzzer target: what a device server sends on an RFC 2217 data connection, in pieces of
// the sizes the input's first bytes choose. The application may receive no more bytes than
// came in, and what the codec answers stays bounded whatever the server sends.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "bridge/telnet_com_port.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2)
        return 0;
    TelnetComPort codec;
    TelnetComPort::TimePoint now{};
    codec.start(now);
    codec.setBaudRate(19200);
    codec.setControl(8);
    const std::size_t step = 1 + data[0] % 64;
    std::vector<std::uint8_t> app;
    for (std::size_t at = 1; at < size; at += step) {
        const std::size_t n = std::min(step, size - at);
        const std::size_t before = app.size();
        codec.receive(std::span(data + at, n), app);
        if (app.size() - before > n)
            __builtin_trap();
        now += std::chrono::seconds(1);
        codec.tick(now);
        if (codec.takeOutgoing().size() > TelnetComPort::kMaxOutgoing + 64)
            __builtin_trap();
        for (const auto& notice : codec.takeNotices())
            (void)codec.describe(notice);
    }
    return 0;
}
