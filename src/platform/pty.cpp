#include "platform/pty.h"

// termios2 carries the speed as a number, so rates outside the B* table read back exactly.
// The kernel header clashes with <termios.h>, which is why this file keeps to it alone.
#include <asm/termbits.h>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>
#include <utility>

namespace {

bool makeRaw(int master) {
    termios2 tio{};
    if (::ioctl(master, TCGETS2, &tio) != 0)
        return false;
    tio.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF);
    tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tio.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CBAUD | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CREAD | CLOCAL | HUPCL | B9600;
    tio.c_ispeed = 9600;
    tio.c_ospeed = 9600;
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    return ::ioctl(master, TCSETS2, &tio) == 0;
}

int openSlave(int master, const std::string& slavePath) {
    const int slave = ::ioctl(master, TIOCGPTPEER, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (slave >= 0)
        return slave;
    return ::open(slavePath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK); // kernels before 4.13
}

// Opening and closing the slave once makes the master report hang-up until an application
// opens it; a pair whose slave was never opened reports no hang-up at all.
bool markSlaveClosed(int master, const std::string& slavePath) {
    const int slave = openSlave(master, slavePath);
    if (slave < 0)
        return false;
    ::close(slave);
    return true;
}

bool transient(int error) {
    return error == EAGAIN || error == EWOULDBLOCK || error == EINTR || error == EIO;
}

} // namespace

std::optional<Pty> Pty::open() {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (master < 0)
        return std::nullopt;
    char name[128];
    if (::grantpt(master) != 0 || ::unlockpt(master) != 0 || ::ptsname_r(master, name, sizeof name) != 0) {
        ::close(master);
        return std::nullopt;
    }
    Pty pty(master, name);
    if (!makeRaw(master) || !markSlaveClosed(master, pty.m_slavePath))
        return std::nullopt;
    return pty;
}

Pty::Pty(int master, std::string slavePath) : m_master(master), m_slavePath(std::move(slavePath)) {}

Pty::~Pty() {
    close();
}

Pty::Pty(Pty&& other) noexcept
    : m_master(std::exchange(other.m_master, -1)), m_slavePath(std::move(other.m_slavePath)) {}

Pty& Pty::operator=(Pty&& other) noexcept {
    if (this != &other) {
        close();
        m_master = std::exchange(other.m_master, -1);
        m_slavePath = std::move(other.m_slavePath);
    }
    return *this;
}

void Pty::close() {
    if (m_master >= 0)
        ::close(m_master);
    m_master = -1;
}

bool Pty::slaveOpen() const {
    if (m_master < 0)
        return false;
    pollfd pfd{m_master, 0, 0};
    if (::poll(&pfd, 1, 0) < 0)
        return false;
    return (pfd.revents & (POLLHUP | POLLERR | POLLNVAL)) == 0;
}

std::uint32_t Pty::pendingInput() const {
    int count = 0;
    if (m_master < 0 || ::ioctl(m_master, FIONREAD, &count) != 0 || count < 0)
        return 0;
    return static_cast<std::uint32_t>(count);
}

std::optional<PtyLineSettings> Pty::lineSettings() const {
    termios2 tio{};
    if (m_master < 0 || ::ioctl(m_master, TCGETS2, &tio) != 0)
        return std::nullopt;
    PtyLineSettings settings;
    settings.speed = tio.c_ospeed;
    settings.twoStopBits = (tio.c_cflag & CSTOPB) != 0;
    settings.rtsCtsFlow = (tio.c_cflag & CRTSCTS) != 0;
    settings.xonXoffFlow = (tio.c_iflag & (IXON | IXOFF)) != 0;
    settings.hangUpOnClose = (tio.c_cflag & HUPCL) != 0;
    return settings;
}

ssize_t Pty::read(void* buffer, std::size_t count) {
    if (m_master < 0)
        return -1;
    if (count == 0)
        return 0;
    const ssize_t n = ::read(m_master, buffer, count);
    if (n < 0)
        return transient(errno) ? 0 : -1;
    return n;
}

ssize_t Pty::write(const void* buffer, std::size_t count) {
    if (m_master < 0)
        return -1;
    if (count == 0)
        return 0;
    const ssize_t n = ::write(m_master, buffer, count);
    if (n < 0)
        return transient(errno) ? 0 : -1;
    return n;
}

// A flush from the master side does not reach the slave's input queue, so it is done from
// a slave descriptor of our own, held only for the flush.
void Pty::discardOutput() {
    if (m_master < 0)
        return;
    const int slave = openSlave(m_master, m_slavePath);
    if (slave < 0)
        return;
    ::ioctl(slave, TCFLSH, TCIFLUSH);
    ::close(slave);
}
