#pragma once
// What the fuzz targets share: a fuzz input as a file (the parsers of files take a path).

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

namespace fuzz {

// An in-memory file holding the input; its path is valid while the object lives.
class InputFile {
public:
    InputFile(const std::uint8_t* data, std::size_t size) : m_fd(::memfd_create("fuzz-input", MFD_CLOEXEC)) {
        std::size_t done = 0;
        while (m_fd >= 0 && done < size) {
            const ssize_t n = ::write(m_fd, data + done, size - done);
            if (n <= 0)
                break;
            done += static_cast<std::size_t>(n);
        }
    }
    ~InputFile() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    std::string path() const { return "/proc/self/fd/" + std::to_string(m_fd); }

private:
    int m_fd;
};

} // namespace fuzz
