#include "model/monitor_file.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

namespace monitor {
namespace {

constexpr char kMagic[8] = {'T', 'A', 'R', 'N', 'M', 'O', 'N', '\n'};
constexpr std::size_t kRecordHeader = 1 + 8 + 4;
// Far beyond any record the program writes; a larger length means a damaged file.
constexpr std::uint32_t kLongestRecord = 16u << 20;

template <class T> void put(std::string& out, T value) {
    for (std::size_t i = 0; i < sizeof value; ++i)
        out += static_cast<char>((static_cast<std::uint64_t>(value) >> (8 * i)) & 0xff);
}

template <class T> T get(const std::string& in, std::size_t at) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i)
        value |= static_cast<std::uint64_t>(static_cast<std::uint8_t>(in[at + i])) << (8 * i);
    return static_cast<T>(value);
}

} // namespace

std::string encodeHeader(std::int64_t wallOffsetUs, std::int32_t comNumber) {
    std::string out(kMagic, sizeof kMagic);
    put<std::uint16_t>(out, kFileVersion);
    put<std::uint16_t>(out, 12);
    put<std::int64_t>(out, wallOffsetUs);
    put<std::int32_t>(out, comNumber);
    return out;
}

void appendRecord(std::string& out, const Record& record) {
    put<std::uint8_t>(out, static_cast<std::uint8_t>(record.flow));
    put<std::int64_t>(out, record.timeUs);
    put<std::uint32_t>(out, static_cast<std::uint32_t>(record.bytes.size()));
    out += record.bytes;
}

Result<Capture, std::string> decodeCapture(const std::string& in) {
    if (in.size() < sizeof kMagic + 4 || in.compare(0, sizeof kMagic, kMagic, sizeof kMagic) != 0)
        return failure(std::string("not a port monitor capture"));
    const auto version = get<std::uint16_t>(in, 8);
    const auto headerRest = get<std::uint16_t>(in, 10);
    if (version == 0 || version > kFileVersion)
        return failure("capture version " + std::to_string(version) + " is newer than this program reads (" +
                       std::to_string(kFileVersion) + ")");
    if (headerRest < 12 || in.size() < 12 + std::size_t{headerRest})
        return failure(std::string("capture header is cut short"));
    Capture capture;
    capture.wallOffsetUs = get<std::int64_t>(in, 12);
    capture.comNumber = get<std::int32_t>(in, 20);
    for (std::size_t at = 12 + std::size_t{headerRest}; at < in.size();) {
        if (in.size() - at < kRecordHeader)
            return failure("capture cut short at byte " + std::to_string(at));
        const auto flow = get<std::uint8_t>(in, at);
        const auto size = get<std::uint32_t>(in, at + 9);
        if (size > kLongestRecord || in.size() - at - kRecordHeader < size)
            return failure("capture cut short or damaged at byte " + std::to_string(at));
        if (isFlow(flow))
            capture.records.push_back(
                Record{get<std::int64_t>(in, at + 1), static_cast<Flow>(flow), in.substr(at + kRecordHeader, size)});
        at += kRecordHeader + size;
    }
    return capture;
}

Result<std::unique_ptr<CaptureWriter>, std::string>
CaptureWriter::create(const std::string& path, std::int64_t wallOffsetUs, std::int32_t comNumber) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file)
        return failure("cannot write " + path + ": " + std::strerror(errno));
    std::unique_ptr<CaptureWriter> writer(new CaptureWriter(file));
    const std::string header = encodeHeader(wallOffsetUs, comNumber);
    if (std::fwrite(header.data(), 1, header.size(), file) != header.size() || std::fflush(file) != 0)
        return failure("cannot write " + path + ": " + std::strerror(errno));
    return writer;
}

CaptureWriter::~CaptureWriter() {
    std::fclose(m_file);
}

bool CaptureWriter::write(const std::vector<Record>& records) {
    std::string out;
    for (const Record& record : records)
        appendRecord(out, record);
    return std::fwrite(out.data(), 1, out.size(), m_file) == out.size() && std::fflush(m_file) == 0;
}

Result<Capture, std::string> readCapture(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file)
        return failure("cannot read " + path + ": " + std::strerror(errno));
    const std::string contents((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    auto capture = decodeCapture(contents);
    if (!capture)
        return failure(path + ": " + capture.error());
    return capture;
}

} // namespace monitor
