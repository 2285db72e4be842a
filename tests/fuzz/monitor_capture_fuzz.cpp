// libFuzzer target: a port monitor capture file, as `tarnctl monitor --read` takes any file.
// What decodes must encode back to the same records, and a record can never be longer than
// the file it came from.

#include <cstddef>
#include <cstdint>
#include <string>

#include "model/monitor_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string contents(reinterpret_cast<const char*>(data), size);
    const auto capture = monitor::decodeCapture(contents);
    if (!capture)
        return 0;
    std::string again = monitor::encodeHeader(capture->wallOffsetUs, capture->comNumber);
    for (const monitor::Record& record : capture->records) {
        if (record.bytes.size() > size)
            __builtin_trap();
        monitor::appendRecord(again, record);
    }
    const auto reread = monitor::decodeCapture(again);
    if (!reread || reread->records.size() != capture->records.size())
        __builtin_trap();
    return 0;
}
