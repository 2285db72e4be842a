#include "serial_side.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace devsim {

std::unique_ptr<SerialSide> SerialSide::create(const std::string& description, Reactor& reactor) {
    if (description == "echo")
        return std::make_unique<EchoSerial>();
    if (description == "none")
        return std::make_unique<NullSerial>();
    if (description.rfind("pty:", 0) == 0 && description.size() > 4)
        return std::make_unique<PtySerial>(reactor, description.substr(4));
    return nullptr;
}

void EchoSerial::toSerial(const std::uint8_t* data, std::size_t size) {
    if (m_sink)
        m_sink->fromSerial(data, size);
}

PtySerial::PtySerial(Reactor& reactor, std::string linkPath) : m_reactor(reactor), m_linkPath(std::move(linkPath)) {}

PtySerial::~PtySerial() {
    if (m_master)
        m_reactor.remove(m_master.get());
    if (m_linked)
        ::unlink(m_linkPath.c_str());
}

bool PtySerial::start(std::string& error) {
    m_master.reset(::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!m_master || ::grantpt(m_master.get()) != 0 || ::unlockpt(m_master.get()) != 0) {
        error = std::string("pseudo-terminal: ") + std::strerror(errno);
        return false;
    }
    char slaveName[128];
    if (::ptsname_r(m_master.get(), slaveName, sizeof slaveName) != 0) {
        error = std::string("ptsname: ") + std::strerror(errno);
        return false;
    }
    m_slave.reset(::open(slaveName, O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!m_slave) {
        error = std::string(slaveName) + ": " + std::strerror(errno);
        return false;
    }
    // Raw: no echo back into the master, no line editing, no character translation.
    termios settings{};
    ::tcgetattr(m_slave.get(), &settings);
    ::cfmakeraw(&settings);
    ::cfsetspeed(&settings, B9600);
    ::tcsetattr(m_slave.get(), TCSANOW, &settings);

    // Replace a stale link of an earlier run, never anything else.
    struct stat existing {};
    if (::lstat(m_linkPath.c_str(), &existing) == 0) {
        if (!S_ISLNK(existing.st_mode)) {
            error = m_linkPath + " exists and is not a symbolic link";
            return false;
        }
        ::unlink(m_linkPath.c_str());
    }
    if (::symlink(slaveName, m_linkPath.c_str()) != 0) {
        error = m_linkPath + ": " + std::strerror(errno);
        return false;
    }
    m_linked = true;
    m_interest = EPOLLIN;
    if (!m_reactor.add(m_master.get(), m_interest, [this](std::uint32_t events) { onEvents(events); })) {
        error = "cannot watch the pseudo-terminal";
        return false;
    }
    return true;
}

void PtySerial::toSerial(const std::uint8_t* data, std::size_t size) {
    m_toPty.insert(m_toPty.end(), data, data + size);
    flush();
}

void PtySerial::flush() {
    const bool hadRoom = hasRoom();
    while (!m_toPty.empty()) {
        const ssize_t put = ::write(m_master.get(), m_toPty.data(), m_toPty.size());
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            break; // EAGAIN: the application has not read what is queued; wait for writability
        m_toPty.erase(m_toPty.begin(), m_toPty.begin() + put);
    }
    updateInterest();
    if (!hadRoom && hasRoom() && m_sink)
        m_sink->serialRoomAvailable();
}

void PtySerial::updateInterest() {
    std::uint32_t wanted = 0;
    if (!m_sink || m_sink->networkHasRoom())
        wanted |= EPOLLIN;
    if (!m_toPty.empty())
        wanted |= EPOLLOUT;
    if (wanted != m_interest) {
        m_interest = wanted;
        m_reactor.modify(m_master.get(), wanted);
    }
}

void PtySerial::onEvents(std::uint32_t events) {
    if (events & EPOLLOUT)
        flush();
    if (events & (EPOLLIN | EPOLLHUP | EPOLLERR)) {
        std::uint8_t buffer[4096];
        while (!m_sink || m_sink->networkHasRoom()) {
            const ssize_t got = ::read(m_master.get(), buffer, sizeof buffer);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                break;
            if (m_sink)
                m_sink->fromSerial(buffer, static_cast<std::size_t>(got));
        }
    }
    updateInterest();
}

void PtySerial::applyBaudRate(std::uint32_t rate) {
    static const struct {
        std::uint32_t rate;
        speed_t speed;
    } kSpeeds[] = {{110, B110},       {300, B300},       {1200, B1200},    {2400, B2400},   {4800, B4800},
                   {9600, B9600},     {19200, B19200},   {38400, B38400},  {57600, B57600}, {115200, B115200},
                   {230400, B230400}, {460800, B460800}, {921600, B921600}};
    for (const auto& entry : kSpeeds) {
        if (entry.rate != rate)
            continue;
        // Shown to the application as the line's speed; the pseudo-terminal itself ignores it.
        termios settings{};
        if (::tcgetattr(m_slave.get(), &settings) == 0) {
            ::cfsetspeed(&settings, entry.speed);
            ::tcsetattr(m_slave.get(), TCSANOW, &settings);
        }
    }
}

} // namespace devsim
