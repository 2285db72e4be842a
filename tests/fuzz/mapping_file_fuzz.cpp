// libFuzzer target: a mapping file as the programs read it, then every record it would run
// written back and read again unchanged.

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/offline_mappings.h"
#include "fuzz_input.h"
#include "model/tarn_desc.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const fuzz::InputFile file(data, size);
    const auto mappings = core::storedMappings(file.path());
    if (!mappings)
        return 0;
    for (const tarnDesc& desc : *mappings) {
        const DescRecord record = encodeDesc(desc);
        const tarnDesc again = decodeDesc(record.data());
        if (again.comNum != desc.comNum || again.mode != desc.mode || again.localPort != desc.localPort ||
            again.remotePort != desc.remotePort || std::strcmp(again.ipAddress, desc.ipAddress) != 0)
            __builtin_trap();
    }
    return 0;
}
