#include "bridge/line_channel.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include "shim/line_wire.h"

namespace {

// Applications that hold a connection at once (waiters, mostly); more are turned away.
constexpr std::size_t kMaxClients = 64;

// TIOCM_* bit of each counted input line, in the counters' order.
constexpr std::uint32_t kCountedLines[4] = {TIOCM_CTS, TIOCM_DSR, TIOCM_RNG, TIOCM_CAR};

constexpr std::uint32_t kFrameBits = CSIZE | PARENB | PARODD | CMSPAR;

std::string errnoText(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

} // namespace

LineChannel::Opened LineChannel::open(const std::string& path) {
    sockaddr_un addr{};
    if (path.size() >= sizeof addr.sun_path)
        return failure("side channel path too long: " + path);
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return failure(errnoText("socket"));
    // Only a socket may be replaced: the name is the port's, and nothing else of ours lives there.
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode))
        ::unlink(path.c_str());
    // Owner-only like its directory; chmod rather than umask, which other threads share.
    const bool bound = ::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
    if (!bound || ::chmod(path.c_str(), 0600) != 0 || ::listen(fd, 16) != 0) {
        const std::string reason = errnoText(path.c_str());
        if (bound)
            ::unlink(path.c_str());
        ::close(fd);
        return failure(reason);
    }
    const int wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake < 0) {
        const std::string reason = errnoText("eventfd");
        ::unlink(path.c_str());
        ::close(fd);
        return failure(reason);
    }
    std::unique_ptr<LineChannel> channel(new LineChannel(path, fd, wake));
    channel->m_thread = std::jthread([raw = channel.get()](std::stop_token stop) { raw->run(stop); });
    return channel;
}

LineChannel::LineChannel(std::string path, int listenFd, int wakeFd)
    : m_path(std::move(path)), m_listen(listenFd), m_wake(wakeFd) {}

LineChannel::~LineChannel() {
    m_thread.request_stop();
    wake();
    if (m_thread.joinable())
        m_thread.join();
    for (const Client& client : m_clients)
        ::close(client.fd);
    ::close(m_listen);
    ::close(m_wake);
}

// Called while the port's name lock is held, so a socket under the name is ours.
void LineChannel::unlinkPath() {
    struct stat st {};
    if (::lstat(m_path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode))
        ::unlink(m_path.c_str());
}

std::optional<LineChannel::Frame> LineChannel::frame() const {
    std::uint32_t bits = 0;
    {
        std::lock_guard hold(m_mutex);
        if (!m_frame)
            return std::nullopt;
        bits = *m_frame;
    }
    Frame frame;
    switch (bits & CSIZE) {
    case CS5:
        frame.dataBits = 5;
        break;
    case CS6:
        frame.dataBits = 6;
        break;
    case CS7:
        frame.dataBits = 7;
        break;
    default:
        frame.dataBits = 8;
        break;
    }
    if (bits & PARENB) {
        const bool odd = (bits & PARODD) != 0;
        frame.parity = (bits & CMSPAR) ? (odd ? kParityMark : kParitySpace) : (odd ? kParityOdd : kParityEven);
    }
    return frame;
}

std::optional<bool> LineChannel::rts() const {
    std::lock_guard hold(m_mutex);
    return m_rts;
}

std::optional<bool> LineChannel::dtr() const {
    std::lock_guard hold(m_mutex);
    return m_dtr;
}

void LineChannel::setInputs(std::uint32_t lines) {
    lines &= kInputLines;
    bool changed = false;
    {
        std::lock_guard hold(m_mutex);
        const std::uint32_t flipped = lines ^ m_inputs;
        if (flipped == 0)
            return;
        for (std::size_t i = 0; i < 4; ++i) {
            if (flipped & kCountedLines[i]) {
                ++m_lineCounts[i];
                changed = true;
            }
        }
        m_inputs = lines;
    }
    if (changed)
        wake();
}

// The frame stays, as a serial port keeps its termios from one application to the next;
// the next open raises RTS and DTR again.
void LineChannel::portClosed() {
    std::lock_guard hold(m_mutex);
    m_rts.reset();
    m_dtr.reset();
    m_breakOn.store(false, std::memory_order_relaxed);
}

void LineChannel::wake() {
    const std::uint64_t one = 1;
    (void)!::write(m_wake, &one, sizeof one);
}

void LineChannel::run(std::stop_token stop) {
    std::vector<pollfd> fds;
    while (!stop.stop_requested()) {
        fds.clear();
        fds.push_back(pollfd{m_wake, POLLIN, 0});
        fds.push_back(pollfd{m_listen, POLLIN, 0});
        for (const Client& client : m_clients)
            fds.push_back(pollfd{client.fd, POLLIN, 0});
        if (::poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (fds[0].revents & POLLIN) {
            std::uint64_t count = 0;
            (void)!::read(m_wake, &count, sizeof count);
        }
        // Clients first, by the poll's view: accept() below appends new ones past it.
        std::vector<Client> kept;
        kept.reserve(m_clients.size());
        for (std::size_t i = 0; i < m_clients.size(); ++i) {
            Client& client = m_clients[i];
            const short events = fds[i + 2].revents;
            bool keep = true;
            if (events & POLLIN)
                keep = serve(client);
            else if (events & (POLLHUP | POLLERR | POLLNVAL))
                keep = false;
            if (keep && client.waiting && waitOver(client)) {
                tarn_line_reply reply{};
                (void)!::send(client.fd, &reply, sizeof reply, MSG_NOSIGNAL);
                keep = false;
            }
            if (keep)
                kept.push_back(client);
            else
                ::close(client.fd);
        }
        m_clients = std::move(kept);
        if (fds[1].revents & POLLIN)
            accept();
    }
}

void LineChannel::accept() {
    for (;;) {
        const int fd = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0)
            return;
        // The directory is owner-only already; the port's lines are still only its owner's.
        ucred peer{};
        socklen_t size = sizeof peer;
        if (m_clients.size() >= kMaxClients || ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 ||
            peer.uid != ::geteuid()) {
            ::close(fd);
            continue;
        }
        m_clients.push_back(Client{fd});
    }
}

bool LineChannel::serve(Client& client) {
    tarn_line_request request{};
    const ssize_t got = ::recv(client.fd, &request, sizeof request, 0);
    if (got < 0 && (errno == EAGAIN || errno == EINTR))
        return true;
    // One request per connection, whole: anything else ends it (including the shim's close).
    if (got != static_cast<ssize_t>(sizeof request) || client.waiting)
        return false;
    if (request.op == TARN_LINE_WAIT) {
        const std::uint32_t mask = request.value & kInputLines;
        if (mask == 0) {
            tarn_line_reply reply{};
            reply.error = EINVAL;
            (void)!::send(client.fd, &reply, sizeof reply, MSG_NOSIGNAL);
            return false;
        }
        std::lock_guard hold(m_mutex);
        client.waiting = true;
        client.mask = mask;
        std::copy(std::begin(m_lineCounts), std::end(m_lineCounts), client.counts);
        return true;
    }
    tarn_line_reply reply{};
    answer(request, reply);
    (void)!::send(client.fd, &reply, sizeof reply, MSG_NOSIGNAL);
    return false;
}

bool LineChannel::waitOver(const Client& client) const {
    std::lock_guard hold(m_mutex);
    for (std::size_t i = 0; i < 4; ++i) {
        if ((client.mask & kCountedLines[i]) && m_lineCounts[i] != client.counts[i])
            return true;
    }
    return false;
}

void LineChannel::fillCounts(tarn_line_reply& reply) const {
    std::lock_guard hold(m_mutex);
    std::copy(std::begin(m_lineCounts), std::end(m_lineCounts), reply.counts);
    reply.counts[4] = m_rx.load(std::memory_order_relaxed);
    reply.counts[5] = m_tx.load(std::memory_order_relaxed);
}

void LineChannel::answer(const tarn_line_request& request, tarn_line_reply& reply) {
    switch (request.op) {
    case TARN_LINE_GET_FRAME: {
        std::lock_guard hold(m_mutex);
        reply.flags = m_frame ? 1 : 0;
        reply.value = m_frame.value_or(0);
        break;
    }
    case TARN_LINE_SET_FRAME: {
        std::lock_guard hold(m_mutex);
        m_frame = request.value & kFrameBits;
        break;
    }
    case TARN_LINE_GET_MODEM: {
        // RTS and DTR stay raised while the application has not set them: an open port raises them.
        std::lock_guard hold(m_mutex);
        reply.value = m_inputs;
        if (m_rts.value_or(true))
            reply.value |= TIOCM_RTS;
        if (m_dtr.value_or(true))
            reply.value |= TIOCM_DTR;
        break;
    }
    case TARN_LINE_SET_MODEM: {
        std::lock_guard hold(m_mutex);
        for (auto [bit, line] : {std::pair{TIOCM_RTS, &m_rts}, std::pair{TIOCM_DTR, &m_dtr}}) {
            const bool named = (request.value & static_cast<std::uint32_t>(bit)) != 0;
            if (request.arg == TARN_LINE_SET)
                *line = named;
            else if (named && request.arg == TARN_LINE_BIS)
                *line = true;
            else if (named && request.arg == TARN_LINE_BIC)
                *line = false;
        }
        break;
    }
    case TARN_LINE_COUNTS:
        fillCounts(reply);
        break;
    case TARN_LINE_FLUSH:
        // Counted per direction: a device server that is told can drop what it holds too.
        if (request.arg == TCIFLUSH || request.arg == TCIOFLUSH)
            m_inputFlushes.fetch_add(1, std::memory_order_relaxed);
        if (request.arg == TCOFLUSH || request.arg == TCIOFLUSH)
            m_outputFlushes.fetch_add(1, std::memory_order_relaxed);
        break;
    case TARN_LINE_BREAK:
        // Counted, and held while on: the control protocol has no message for a break, while
        // in-band port control carries both a break on/off and a timed one.
        if (request.arg != TARN_LINE_BIC)
            m_breaks.fetch_add(1, std::memory_order_relaxed);
        if (request.arg != TARN_LINE_SET)
            m_breakOn.store(request.arg == TARN_LINE_BIS, std::memory_order_relaxed);
        break;
    default:
        reply.error = EINVAL;
        break;
    }
}
