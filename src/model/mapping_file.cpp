#include "model/mapping_file.h"
#include "platform/xdg.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr const char* kMappingFileName = "79828669767684658278";

// mkdir -p, new folders private to the user.
bool makeFolders(const std::string& folder) {
    if (folder.empty())
        return true;
    struct stat info {};
    if (::stat(folder.c_str(), &info) == 0)
        return S_ISDIR(info.st_mode);
    const auto slash = folder.find_last_of('/');
    if (slash != std::string::npos && slash > 0 && !makeFolders(folder.substr(0, slash)))
        return false;
    return ::mkdir(folder.c_str(), 0700) == 0 || errno == EEXIST;
}

std::string folderOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool writeAll(int fd, const std::uint8_t* data, std::size_t length) {
    while (length > 0) {
        const ssize_t written = ::write(fd, data, length);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += written;
        length -= static_cast<std::size_t>(written);
    }
    return true;
}

enum class ReadResult { Read, Missing, Unreadable, TooLong };

// The whole file, up to `maxBytes`. Opened non-blocking and checked to be a regular file, so
// a FIFO or device put in its place cannot hang the start-up; a longer file is not read at all.
ReadResult readAll(const std::string& path, std::vector<std::uint8_t>& contents, std::size_t maxBytes) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return errno == ENOENT ? ReadResult::Missing : ReadResult::Unreadable;
    struct stat info {};
    ReadResult result = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) ? ReadResult::Read : ReadResult::Unreadable;
    if (result == ReadResult::Read && static_cast<std::uint64_t>(info.st_size) > maxBytes)
        result = ReadResult::TooLong;
    std::uint8_t chunk[4096];
    while (result == ReadResult::Read) {
        const ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            result = ReadResult::Unreadable;
        if (got <= 0)
            break;
        // The file may grow while it is read.
        if (contents.size() + static_cast<std::size_t>(got) > maxBytes) {
            result = ReadResult::TooLong;
            break;
        }
        contents.insert(contents.end(), chunk, chunk + got);
    }
    ::close(fd);
    return result;
}

} // namespace

std::string mappingFilePath() {
    return xdgConfigHome() + "/tarn/" + kMappingFileName;
}

bool saveMappingFile(const MappingLists& lists) {
    return saveMappingFile(lists, mappingFilePath());
}

bool saveMappingFile(const MappingLists& lists, const std::string& path) {
    // The list never held the records of a file that exists but could not be read; writing
    // it would replace them all.
    if (lists.fileUnreadable)
        return false;
    std::vector<DescRecord> records;
    records.reserve(lists.mappings.size() + lists.preservedRecords.size());
    for (const auto& tarnInfo : lists.mappings)
        records.push_back(encodeDesc(tarnInfo->desc ? *tarnInfo->desc : tarnDesc{}));
    records.insert(records.end(), lists.preservedRecords.begin(), lists.preservedRecords.end());
    return writeMappingRecords(path, records);
}

std::optional<std::vector<DescRecord>> readMappingRecords(const std::string& path, MappingReadFailure* failure) {
    std::vector<std::uint8_t> contents;
    // A partial record after the last whole one is still within bounds.
    const ReadResult read = readAll(path, contents, (kMaxMappingRecords + 1) * kDescRecordSize - 1);
    if (read == ReadResult::Unreadable || read == ReadResult::TooLong) {
        if (failure)
            *failure = read == ReadResult::TooLong ? MappingReadFailure::TooLong : MappingReadFailure::Unreadable;
        return std::nullopt;
    }
    // A partial record at the end is what a torn write leaves; it describes nothing usable,
    // so it is ignored rather than filled up from stale bytes.
    std::vector<DescRecord> records(contents.size() / kDescRecordSize);
    for (std::size_t i = 0; i < records.size(); ++i)
        std::memcpy(records[i].data(), contents.data() + i * kDescRecordSize, kDescRecordSize);
    return records;
}

bool writeMappingRecords(const std::string& path, const std::vector<DescRecord>& records) {
    std::vector<std::uint8_t> contents;
    contents.reserve(records.size() * kDescRecordSize);
    for (const DescRecord& record : records)
        contents.insert(contents.end(), record.begin(), record.end());

    const std::string folder = folderOf(path);
    if (!makeFolders(folder))
        return false;
    // Write a sibling file and rename it over the old one: a crash at any point leaves
    // either the complete old file or the complete new one.
    std::string temp = path + ".XXXXXX";
    const int fd = ::mkstemp(temp.data());
    if (fd < 0)
        return false;
    const bool written = writeAll(fd, contents.data(), contents.size()) && ::fsync(fd) == 0;
    const bool closed = ::close(fd) == 0;
    if (!written || !closed || ::rename(temp.c_str(), path.c_str()) != 0) {
        ::unlink(temp.c_str());
        return false;
    }
    // Make the rename itself durable.
    const int dirFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    return true;
}
