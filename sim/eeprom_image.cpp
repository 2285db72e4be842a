#include "eeprom_image.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "unique_fd.h"

namespace devsim {

std::uint16_t EepromImage::u16(std::size_t offset) const {
    return static_cast<std::uint16_t>((m_bytes[offset] << 8) | m_bytes[offset + 1]);
}

void EepromImage::setU16(std::size_t offset, std::uint16_t value) {
    m_bytes[offset] = static_cast<std::uint8_t>(value >> 8);
    m_bytes[offset + 1] = static_cast<std::uint8_t>(value);
}

Ipv4 EepromImage::ip4(std::size_t offset) const {
    return {m_bytes[offset], m_bytes[offset + 1], m_bytes[offset + 2], m_bytes[offset + 3]};
}

void EepromImage::setIp4(std::size_t offset, const Ipv4& value) {
    std::memcpy(&m_bytes[offset], value.data(), value.size());
}

std::string EepromImage::text(std::size_t offset, std::size_t size) const {
    std::string value;
    for (std::size_t i = 0; i + 1 < size && m_bytes[offset + i] != 0; ++i)
        value.push_back(static_cast<char>(m_bytes[offset + i]));
    return value;
}

std::string EepromImage::credential(std::size_t offset) const {
    std::string value;
    for (std::size_t i = 0; i < eeprom::kCredentialSize && m_bytes[offset + i] != 0; ++i)
        value.push_back(static_cast<char>(m_bytes[offset + i]));
    return value;
}

void EepromImage::setText(std::size_t offset, std::size_t size, const std::string& value) {
    std::memset(&m_bytes[offset], 0, size);
    std::memcpy(&m_bytes[offset], value.data(), std::min(size, value.size()));
}

WorkingMode EepromImage::workingMode() const {
    switch (m_bytes[eeprom::kWorkingMode]) {
    case eeprom::kModeTcpClient:
        return WorkingMode::TcpClient;
    case eeprom::kModeUdp:
        return WorkingMode::Udp;
    default:
        // 0, the reserved 2 and any value the device does not know run as a TCP server, so a
        // stray byte never leaves the device unreachable.
        return WorkingMode::TcpServer;
    }
}

std::optional<std::string> EepromImage::load(const std::string& path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd)
        return path + ": " + std::strerror(errno);
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0)
        return path + ": " + std::strerror(errno);
    if (info.st_size != static_cast<off_t>(eeprom::kSize))
        return path + ": size " + std::to_string(info.st_size) + ", expected " + std::to_string(eeprom::kSize);
    Bytes loaded{};
    std::size_t done = 0;
    while (done < loaded.size()) {
        const ssize_t got = ::read(fd.get(), loaded.data() + done, loaded.size() - done);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return path + ": short read";
        done += static_cast<std::size_t>(got);
    }
    m_bytes = loaded;
    return std::nullopt;
}

std::optional<std::string> EepromImage::save(const std::string& path) const {
    const std::string temporary = path + ".tmp";
    {
        UniqueFd fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        if (!fd)
            return temporary + ": " + std::strerror(errno);
        std::size_t done = 0;
        while (done < m_bytes.size()) {
            const ssize_t put = ::write(fd.get(), m_bytes.data() + done, m_bytes.size() - done);
            if (put < 0 && errno == EINTR)
                continue;
            if (put <= 0) {
                const std::string error = temporary + ": " + std::strerror(errno);
                ::unlink(temporary.c_str());
                return error;
            }
            done += static_cast<std::size_t>(put);
        }
        if (::fsync(fd.get()) != 0) {
            const std::string error = temporary + ": " + std::strerror(errno);
            ::unlink(temporary.c_str());
            return error;
        }
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        const std::string error = path + ": " + std::strerror(errno);
        ::unlink(temporary.c_str());
        return error;
    }
    return std::nullopt;
}

} // namespace devsim
