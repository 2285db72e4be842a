#include "core/offline_mappings.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <utility>

#include "model/mapping_file.h"
#include "model/system_ports.h"
#include "platform/single_instance.h"

namespace core {
namespace {

// The program's own record of whether it could run a record: the first of its COM number
// with a mode it knows. Others are kept in the file but are not mappings.
std::vector<std::size_t> runnablePositions(const std::vector<DescRecord>& records) {
    std::vector<std::size_t> positions;
    std::vector<std::int32_t> seen;
    for (std::size_t i = 0; i < records.size(); ++i) {
        const tarnDesc desc = decodeDesc(records[i].data());
        if (!isKnownMode(desc.mode) || std::find(seen.begin(), seen.end(), desc.comNum) != seen.end())
            continue;
        seen.push_back(desc.comNum);
        positions.push_back(i);
    }
    return positions;
}

Failure<FileFailure> fileFailed(const std::string& what, const std::string& path) {
    return failure(FileFailure{FileFailure::kFileFailed, what + " " + path});
}

} // namespace

std::string storedMappingsPath() {
    return mappingFilePath();
}

std::deque<std::int32_t> machineSerialPorts() {
    return scanSystemPorts(SystemPortSources{});
}

QuietOwnerLock QuietOwnerLock::tryTake(std::string& error) {
    QuietOwnerLock lock;
    const auto path = defaultLockPath();
    if (!path) {
        error = "no usable port directory for the owner lock";
        return lock;
    }
    const int fd = ::open(path->c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        error = *path + ": " + std::strerror(errno);
        return lock;
    }
    flock region{};
    region.l_type = F_WRLCK;
    region.l_whence = SEEK_SET;
    if (::fcntl(fd, F_SETLK, &region) != 0) {
        lock.m_busy = errno == EAGAIN || errno == EACCES;
        if (!lock.m_busy)
            error = *path + ": " + std::strerror(errno);
        ::close(fd);
        return lock;
    }
    lock.m_fd = fd;
    return lock;
}

QuietOwnerLock::QuietOwnerLock(QuietOwnerLock&& other) noexcept
    : m_fd(std::exchange(other.m_fd, -1)), m_busy(other.m_busy) {}

QuietOwnerLock& QuietOwnerLock::operator=(QuietOwnerLock&& other) noexcept {
    if (this != &other) {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = std::exchange(other.m_fd, -1);
        m_busy = other.m_busy;
    }
    return *this;
}

QuietOwnerLock::~QuietOwnerLock() {
    if (m_fd >= 0)
        ::close(m_fd);
}

std::optional<std::vector<tarnDesc>> storedMappings(const std::string& path) {
    const auto records = readMappingRecords(path);
    if (!records)
        return std::nullopt;
    std::vector<tarnDesc> mappings;
    for (const std::size_t position : runnablePositions(*records))
        mappings.push_back(decodeDesc((*records)[position].data()));
    return mappings;
}

FileChange addToMappingFile(const std::string& path, AddRequest request, bool proposeCom,
                            const std::deque<std::int32_t>& systemPorts) {
    auto records = readMappingRecords(path);
    if (!records)
        return fileFailed("cannot read", path);
    std::vector<ExistingMapping> existing;
    std::deque<std::int32_t> inUse;
    for (const std::size_t position : runnablePositions(*records)) {
        const tarnDesc desc = decodeDesc((*records)[position].data());
        ExistingMapping mapping;
        mapping.comNumber = desc.comNum;
        mapping.mode = desc.mode;
        mapping.ipText = desc.ipAddress;
        mapping.localPort = desc.localPort;
        existing.push_back(std::move(mapping));
        inUse.push_back(desc.comNum);
    }
    if (proposeCom)
        request.comText = std::to_string(proposeComNumber(systemPorts, inUse));
    const AddCheck check = checkAdd(request, systemPorts, existing);
    if (!check)
        return failure(FileFailure{FileFailure::kRefused, check.error().message});
    records->push_back(encodeDesc(check.value()));
    if (!writeMappingRecords(path, *records))
        return fileFailed("cannot write", path);
    return check.value().comNum;
}

FileChange removeFromMappingFile(const std::string& path, std::int32_t comNumber) {
    auto records = readMappingRecords(path);
    if (!records)
        return fileFailed("cannot read", path);
    for (const std::size_t position : runnablePositions(*records)) {
        if (decodeDesc((*records)[position].data()).comNum != comNumber)
            continue;
        records->erase(records->begin() + static_cast<std::ptrdiff_t>(position));
        if (!writeMappingRecords(path, *records))
            return fileFailed("cannot write", path);
        return comNumber;
    }
    // The running program's text for the same case.
    return failure(FileFailure{FileFailure::kRefused, "COM" + std::to_string(comNumber) + " is not mapped."});
}

} // namespace core
