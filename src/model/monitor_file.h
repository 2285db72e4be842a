#pragma once
// The port monitor's capture file, version 1; every number little-endian:
//   header:  "TARNMON\n", u16 version (1), u16 length of the rest of the header (12),
//            i64 wall-clock offset (microseconds: added to a record's time, gives Unix time),
//            u32 COM number
//   records: u8 flow (monitor::Flow), i64 time (steady clock, microseconds), u32 length,
//            then that many bytes: the data, an event's text, or a lost count as decimal text
// A reader skips what a longer header adds and records of flows it does not know.

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "model/port_monitor.h"
#include "platform/result.h"

namespace monitor {

inline constexpr std::uint16_t kFileVersion = 1;

struct Capture {
    std::int64_t wallOffsetUs = 0;
    std::int32_t comNumber = 0;
    std::vector<Record> records;
};

std::string encodeHeader(std::int64_t wallOffsetUs, std::int32_t comNumber);
void appendRecord(std::string& out, const Record& record);
// The whole file's contents; an error names what is wrong and where.
Result<Capture, std::string> decodeCapture(const std::string& contents);

// Writes a capture as it comes, so what was seen is on disk even if the program is stopped.
class CaptureWriter {
public:
    static Result<std::unique_ptr<CaptureWriter>, std::string>
    create(const std::string& path, std::int64_t wallOffsetUs, std::int32_t comNumber);
    ~CaptureWriter();
    CaptureWriter(const CaptureWriter&) = delete;
    CaptureWriter& operator=(const CaptureWriter&) = delete;
    // False once a write failed (the disk is full, say).
    bool write(const std::vector<Record>& records);

private:
    explicit CaptureWriter(std::FILE* file) : m_file(file) {}
    std::FILE* m_file;
};

// Reads a capture file whole.
Result<Capture, std::string> readCapture(const std::string& path);

} // namespace monitor
