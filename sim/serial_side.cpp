#include "serial_side.h"

#include <algorithm>
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

bool PtySerial::applyLine(const SerialLine& line) {
    static const struct {
        std::uint32_t rate;
        speed_t speed;
    } kSpeeds[] = {{50, B50},         {75, B75},         {110, B110},        {134, B134},       {150, B150},
                   {200, B200},       {300, B300},       {600, B600},        {1200, B1200},     {1800, B1800},
                   {2400, B2400},     {4800, B4800},     {9600, B9600},      {19200, B19200},   {38400, B38400},
                   {57600, B57600},   {115200, B115200}, {230400, B230400},  {460800, B460800}, {500000, B500000},
                   {576000, B576000}, {921600, B921600}, {1000000, B1000000}};
    const auto* entry = std::find_if(std::begin(kSpeeds), std::end(kSpeeds),
                                     [&](const auto& candidate) { return candidate.rate == line.baud; });
    termios settings{};
    if (entry == std::end(kSpeeds) || line.dataBits < 5 || line.dataBits > 8 ||
        ::tcgetattr(m_slave.get(), &settings) != 0)
        return false;
    // Shown to the application as the line's settings; the pseudo-terminal moves bytes at no
    // rate and in no format. Its driver keeps CS8 without PARENB whatever is set, which the C
    // library reports as a failure after the rest took effect: the line runs as asked anyway.
    ::cfsetspeed(&settings, entry->speed);
    static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    settings.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB);
    settings.c_cflag |= kSizes[line.dataBits - 5];
    if (line.parity != Parity::None)
        settings.c_cflag |= PARENB;
    if (line.parity == Parity::Odd || line.parity == Parity::Mark)
        settings.c_cflag |= PARODD;
    if (line.parity == Parity::Mark || line.parity == Parity::Space)
        settings.c_cflag |= CMSPAR;
    if (line.stopBits != StopBits::One)
        settings.c_cflag |= CSTOPB; // with five data bits, termios reads this as one and a half
    ::tcsetattr(m_slave.get(), TCSANOW, &settings);
    m_line = line;
    return true;
}

void PtySerial::purge(bool received, bool unsent) {
    const bool hadRoom = hasRoom();
    // What the application has not read yet waits in the slave's input queue; what it wrote and
    // we have not read waits in the master's.
    if (unsent) {
        m_toPty.clear();
        ::tcflush(m_slave.get(), TCIFLUSH);
    }
    if (received)
        ::tcflush(m_master.get(), TCIFLUSH);
    updateInterest();
    if (!hadRoom && m_sink)
        m_sink->serialRoomAvailable();
}

} // namespace devsim
