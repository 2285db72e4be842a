#include "support/pty_app.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace testsupport {

namespace {

speed_t speedConstant(std::uint32_t speed) {
    static const struct {
        std::uint32_t rate;
        speed_t constant;
    } table[] = {
        {50, B50},           {75, B75},           {110, B110},         {134, B134},         {150, B150},
        {200, B200},         {300, B300},         {600, B600},         {1200, B1200},       {1800, B1800},
        {2400, B2400},       {4800, B4800},       {9600, B9600},       {19200, B19200},     {38400, B38400},
        {57600, B57600},     {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
        {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
        {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
    };
    for (const auto& entry : table)
        if (entry.rate == speed)
            return entry.constant;
    return B0;
}

// Waits up to the deadline for the descriptor to become ready for `events`.
bool waitReady(int fd, short events, std::chrono::steady_clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() < 0)
        return false;
    pollfd pfd{fd, events, 0};
    return ::poll(&pfd, 1, static_cast<int>(std::min<long long>(left.count() + 1, 100))) >= 0;
}

} // namespace

PtyApp::PtyApp(const std::string& path, const Line& line) {
    m_fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_fd < 0) {
        m_error = std::strerror(errno);
        return;
    }
    // Deadlines need non-blocking moves; the terminal behaves the same either way.
    const int flags = ::fcntl(m_fd, F_GETFL);
    if (flags < 0 || ::fcntl(m_fd, F_SETFL, flags | O_NONBLOCK) != 0 || !configure(line)) {
        m_error = std::strerror(errno);
        close();
    }
}

PtyApp::~PtyApp() {
    close();
}

void PtyApp::close() {
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

bool PtyApp::configure(const Line& line) {
    termios tio{};
    const speed_t speed = speedConstant(line.speed);
    if (m_fd < 0 || speed == B0 || ::tcgetattr(m_fd, &tio) != 0)
        return false;
    ::cfmakeraw(&tio);
    ::cfsetispeed(&tio, speed);
    ::cfsetospeed(&tio, speed);
    tio.c_cflag |= CREAD | CLOCAL;
    tio.c_cflag = line.twoStopBits ? (tio.c_cflag | CSTOPB) : (tio.c_cflag & ~tcflag_t(CSTOPB));
    tio.c_cflag = line.rtsCts ? (tio.c_cflag | CRTSCTS) : (tio.c_cflag & ~tcflag_t(CRTSCTS));
    tio.c_iflag = line.xonXoff ? (tio.c_iflag | IXON | IXOFF) : (tio.c_iflag & ~tcflag_t(IXON | IXOFF));
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    return ::tcsetattr(m_fd, TCSANOW, &tio) == 0;
}

std::size_t PtyApp::writeSome(const void* data, std::size_t size) {
    if (m_fd < 0 || size == 0)
        return 0;
    const ssize_t n = ::write(m_fd, data, size);
    return n > 0 ? static_cast<std::size_t>(n) : 0;
}

std::size_t PtyApp::readSome(void* buffer, std::size_t size) {
    if (m_fd < 0 || size == 0)
        return 0;
    const ssize_t n = ::read(m_fd, buffer, size);
    return n > 0 ? static_cast<std::size_t>(n) : 0;
}

std::size_t PtyApp::writeAll(const void* data, std::size_t size, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    std::size_t done = 0;
    while (done < size && m_fd >= 0) {
        done += writeSome(bytes + done, size - done);
        if (done < size && !waitReady(m_fd, POLLOUT, deadline))
            break;
    }
    return done;
}

std::vector<std::uint8_t> PtyApp::readExactly(std::size_t size, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::vector<std::uint8_t> bytes(size);
    std::size_t done = 0;
    while (done < size && m_fd >= 0) {
        done += readSome(bytes.data() + done, size - done);
        if (done < size && !waitReady(m_fd, POLLIN, deadline))
            break;
    }
    bytes.resize(done);
    return bytes;
}

} // namespace testsupport
