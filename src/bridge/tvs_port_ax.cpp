#include "bridge/tvs_port_ax.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <new>
#include <optional>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#include "bridge/line_channel.h"
#include "bridge/message_log.h"
#include "platform/pty.h"
#include "shim/line_wire.h"

namespace {

// An inotify descriptor that becomes readable on each open and close of `path`; -1 on failure.
int watchOpenClose(const std::string& path) {
    const int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0)
        return -1;
    if (::inotify_add_watch(fd, path.c_str(), IN_OPEN | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE) < 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// One live port of this process, shared by every TVSPortAx that created or attached it.
// Besides the link, a port holds an open-file-description lock on <port dir>/.COM<n>.lock
// for its whole life. The lock tells other processes the name is served, and the file keeps
// the slave path the link was made for, so that a link left by a process of ours that died
// is known as ours even when the kernel has since given that pseudo-terminal to someone else.
struct PortCore {
    PortCore(std::string linkPath, std::string lock, int lockDescriptor, Pty master,
             std::unique_ptr<LineChannel> channel)
        : link(std::move(linkPath)), lockPath(std::move(lock)), lockFd(lockDescriptor), pty(std::move(master)),
          events(watchOpenClose(pty.slavePath())), line(std::move(channel)) {}
    ~PortCore() {
        if (lockFd >= 0)
            ::close(lockFd);
        if (events >= 0)
            ::close(events);
    }
    PortCore(const PortCore&) = delete;
    PortCore& operator=(const PortCore&) = delete;

    const std::string link;
    const std::string lockPath;
    int lockFd;
    int handles = 1; // objects bound to it; guarded by the registry's mutex
    Pty pty;
    // Opens and closes of the slave, for threads that sleep until the port changes: while
    // no application holds the slave, the master reports hang-up without end and cannot be
    // waited on. Our own brief open to flush on close shows too, but only once per close.
    const int events;

    // Orders every look at the open state, and each write, against the flush on close.
    std::mutex ioMutex;
    bool seenOpen = false; // under ioMutex
    // Each direction paces on its own, as a full-duplex line does.
    BaudBudget writeBudget; // under ioMutex
    std::mutex readPaceMutex;
    BaudBudget readBudget; // under readPaceMutex

    // What an application with the port shim set on the port; null when the side
    // channel could not be made, and the port then offers what a pseudo-terminal does.
    const std::unique_ptr<LineChannel> line;

    std::atomic<bool> strict{false};
    std::atomic<int> emulatedBaud{0};
    std::atomic<bool> cts{false}, dsr{false}, dcd{false}, ring{false};
};

// Live ports of this process by name. Create, attach and release run under its mutex,
// which also orders their work in the port directory.
struct Registry {
    std::mutex mutex;
    std::map<std::string, std::shared_ptr<PortCore>> ports;
};

// Never destroyed: ports held by objects in other static storage (the process-wide mapping
// lists) may be let go after this file's statics would have been torn down.
Registry& registry() {
    alignas(Registry) static unsigned char storage[sizeof(Registry)];
    static Registry* const instance = ::new (storage) Registry();
    return *instance;
}

std::optional<std::string> portNameOf(const std::wstring& wide) {
    std::string name;
    for (const wchar_t c : wide) {
        if (c < 0x20 || c > 0x7e)
            return std::nullopt;
        name.push_back(static_cast<char>(c));
    }
    return name;
}

// Only COM<n> may become a file name in the port directory: no separators, no dot names.
bool validPortName(const std::string& name) {
    if (name.size() < 4 || name.size() > 8 || name.compare(0, 3, "COM") != 0 || name[3] == '0')
        return false;
    return std::all_of(name.begin() + 3, name.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool ensurePortDirectory(const std::string& dir) {
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
        return false;
    return privatePortDirectory(dir);
}

std::string lockPathOf(const std::string& dir, const std::string& name) {
    return dir + "/." + name + ".lock";
}
std::string lineChannelPathOf(const std::string& dir, const std::string& name) {
    return dir + "/." + name + TARN_LINE_SUFFIX;
}

flock wholeFileLock() {
    flock lock{};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    return lock;
}

bool sameFile(int fd, const std::string& path) {
    struct stat a {};
    struct stat b {};
    return ::fstat(fd, &a) == 0 && ::lstat(path.c_str(), &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Takes the name's lock, creating the lock file if needed. -1 when another open file
// description (another process, or one of ours) holds it, or the file is not a plain file of ours.
int takeNameLock(const std::string& lockPath) {
    for (int attempt = 0; attempt < 4; ++attempt) {
        const int fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0)
            return -1;
        struct stat st {};
        flock lock = wholeFileLock();
        if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid() ||
            ::fcntl(fd, F_OFD_SETLK, &lock) != 0) {
            ::close(fd);
            return -1;
        }
        // A releasing owner unlinks the file while holding the lock; if we locked such an
        // unlinked file, try again on the path's current file.
        if (sameFile(fd, lockPath))
            return fd;
        ::close(fd);
    }
    return -1;
}

bool nameLockHeldElsewhere(const std::string& lockPath) {
    const int fd = ::open(lockPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return false;
    flock lock = wholeFileLock();
    const bool held = ::fcntl(fd, F_OFD_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
    ::close(fd);
    return held;
}

std::string recordedSlave(const std::string& lockPath) {
    const int fd = ::open(lockPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return {};
    char text[256];
    const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
    ::close(fd);
    if (n <= 0)
        return {};
    std::string slave(text, static_cast<std::size_t>(n));
    const auto end = slave.find('\n');
    return end == std::string::npos ? std::string{} : slave.substr(0, end);
}

void recordSlave(int lockFd, const std::string& slave) {
    const std::string text = slave + "\n";
    if (::ftruncate(lockFd, 0) == 0)
        (void)!::pwrite(lockFd, text.data(), text.size(), 0);
}

std::optional<std::string> linkTarget(const std::string& link) {
    char target[4096];
    const ssize_t n = ::readlink(link.c_str(), target, sizeof target);
    if (n < 0 || static_cast<std::size_t>(n) >= sizeof target)
        return std::nullopt;
    return std::string(target, static_cast<std::size_t>(n));
}

// What the link at COM<n> is, given that no port of ours serves the name. A dangling link
// is left over (a pseudo-terminal's node goes with its master). A link to a live
// pseudo-terminal is ours to replace only if the lock file says we made it; otherwise that
// terminal belongs to someone else's program and the name stays theirs.
PortNameState unservedLinkState(const std::string& link, const std::string& lockPath) {
    struct stat st {};
    if (::lstat(link.c_str(), &st) != 0)
        return errno == ENOENT ? PortNameState::Free : PortNameState::Foreign;
    if (!S_ISLNK(st.st_mode))
        return PortNameState::Foreign;
    const auto target = linkTarget(link);
    if (!target)
        return PortNameState::Foreign;
    struct stat targetStat {};
    if (::stat(link.c_str(), &targetStat) != 0)
        return errno == ENOENT ? PortNameState::Stale : PortNameState::Foreign;
    if (S_ISCHR(targetStat.st_mode) && target->rfind("/dev/pts/", 0) == 0 && *target == recordedSlave(lockPath))
        return PortNameState::Stale;
    return PortNameState::Foreign;
}

// Removes what a port leaves in the port directory: its link, if it still points at our
// slave, and its lock file, which is unlinked while the lock is still held.
void removePortFiles(PortCore& core) {
    if (core.line)
        core.line->unlinkPath();
    if (linkTarget(core.link) == core.pty.slavePath())
        ::unlink(core.link.c_str());
    if (core.lockFd >= 0 && sameFile(core.lockFd, core.lockPath))
        ::unlink(core.lockPath.c_str());
    if (core.lockFd >= 0)
        ::close(core.lockFd);
    core.lockFd = -1;
}

std::int64_t steadyNowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Start bit, data bits, parity bit, stop bits (one and a half count as two). Without the
// shim a pseudo-terminal carries 8 data bits and no parity.
std::uint32_t bitsPerChar(const PortCore& core, const PtyLineSettings& settings) {
    const auto frame = core.line ? core.line->frame() : std::nullopt;
    const LineChannel::Frame line = frame.value_or(LineChannel::Frame{});
    return 1u + static_cast<std::uint32_t>(line.dataBits) + (line.parity != LineChannel::kParityNone ? 1u : 0u) +
           (settings.twoStopBits ? 2u : 1u);
}

// Call with ioMutex held: the flush opens the slave for a moment, which no other look at
// the open state may see, and no write may slip in between the look and the flush.
bool portOpenLocked(PortCore& core) {
    const bool open = core.pty.slaveOpen();
    if (open) {
        core.seenOpen = true;
    } else if (core.seenOpen) {
        core.seenOpen = false;
        if (core.line)
            core.line->portClosed();
        // A real line loses what a closed application did not read; so must we, or the next
        // application to open the port would start with the last one's data.
        core.pty.discardOutput();
    }
    return open;
}

} // namespace

std::string portDirectory() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && *runtime)
        return std::string(runtime) + "/tarn";
    return "/tmp/tarn-" + std::to_string(::getuid());
}

// The directory must be a real directory of ours that nobody else can write into, since
// applications follow the links in it; a group- or world-open one of ours is closed down.
bool privatePortDirectory(const std::string& dir) {
    struct stat st {};
    if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid())
        return false;
    if ((st.st_mode & 077) != 0 && ::chmod(dir.c_str(), 0700) != 0)
        return false;
    return true;
}

PortNameState portNameState(const std::string& name) {
    if (!validPortName(name))
        return PortNameState::Foreign;
    {
        Registry& reg = registry();
        std::lock_guard guard(reg.mutex);
        if (reg.ports.count(name))
            return PortNameState::Live;
    }
    const std::string dir = portDirectory();
    const std::string lockPath = lockPathOf(dir, name);
    if (nameLockHeldElsewhere(lockPath))
        return PortNameState::Live;
    return unservedLinkState(dir + "/" + name, lockPath);
}

PortNameState clearStalePortName(const std::string& dir, const std::string& name) {
    if (!validPortName(name) || !privatePortDirectory(dir))
        return PortNameState::Foreign;
    Registry& reg = registry();
    std::lock_guard guard(reg.mutex);
    const std::string link = dir + "/" + name;
    const auto live = reg.ports.find(name);
    if (live != reg.ports.end() && live->second->link == link)
        return PortNameState::Live;
    // The name's lock, as CreatePort takes it: a process of ours cannot create the port
    // between our look and the unlink, and one that serves it keeps the lock from us.
    const std::string lockPath = lockPathOf(dir, name);
    const int lockFd = takeNameLock(lockPath);
    if (lockFd < 0)
        return nameLockHeldElsewhere(lockPath) ? PortNameState::Live : PortNameState::Foreign;
    PortNameState state = unservedLinkState(link, lockPath);
    if (state == PortNameState::Stale && ::unlink(link.c_str()) != 0 && errno != ENOENT)
        state = PortNameState::Foreign;
    // The side channel of a port whose program died goes with its link.
    struct stat channel {};
    const std::string channelPath = lineChannelPathOf(dir, name);
    if (state == PortNameState::Stale && ::lstat(channelPath.c_str(), &channel) == 0 && S_ISSOCK(channel.st_mode))
        ::unlink(channelPath.c_str());
    ::unlink(lockPath.c_str());
    ::close(lockFd);
    return state;
}

// ---- BaudBudget ----

std::int64_t BaudBudget::capacity(std::uint32_t baud, std::uint32_t bitsPerChar) {
    const std::int64_t charCost = static_cast<std::int64_t>(bitsPerChar) * 1'000'000'000;
    return std::max(static_cast<std::int64_t>(kMinBurstChars) * charCost, static_cast<std::int64_t>(baud) * kBurstNs);
}

std::uint32_t BaudBudget::available(std::int64_t nowNs, std::uint32_t baud, std::uint32_t bitsPerChar,
                                    std::uint32_t wanted) {
    if (baud == 0 || bitsPerChar == 0)
        return 0;
    const std::int64_t charCost = static_cast<std::int64_t>(bitsPerChar) * 1'000'000'000;
    const std::int64_t cap = capacity(baud, bitsPerChar);
    if (!m_started) {
        m_started = true;
        m_credit = cap;
    } else {
        const std::int64_t elapsed = std::max<std::int64_t>(0, nowNs - m_lastNs);
        const std::int64_t room = std::max<std::int64_t>(0, cap - m_credit);
        // Compare before multiplying: a long idle time times a high rate would overflow.
        if (elapsed > room / baud)
            m_credit = std::max(m_credit, cap);
        else
            m_credit += elapsed * baud;
    }
    m_lastNs = std::max(m_lastNs, nowNs);
    const std::int64_t chars = std::max<std::int64_t>(0, m_credit / charCost);
    return static_cast<std::uint32_t>(std::min<std::int64_t>(chars, wanted));
}

void BaudBudget::spend(std::uint32_t chars, std::uint32_t bitsPerChar) {
    m_credit -= static_cast<std::int64_t>(chars) * bitsPerChar * 1'000'000'000;
}

std::int64_t BaudBudget::waitNs(std::int64_t nowNs, std::uint32_t baud, std::uint32_t bitsPerChar,
                                std::uint32_t chars) const {
    if (baud == 0 || bitsPerChar == 0)
        return kBatchNs; // nothing passes at all: look again later rather than spin
    if (!m_started || chars == 0)
        return 0;
    const std::int64_t charCost = static_cast<std::int64_t>(bitsPerChar) * 1'000'000'000;
    const std::int64_t cap = capacity(baud, bitsPerChar);
    const std::int64_t need = std::min(static_cast<std::int64_t>(chars) * charCost, cap / charCost * charCost);
    const std::int64_t elapsed = std::max<std::int64_t>(0, nowNs - m_lastNs);
    const std::int64_t room = std::max<std::int64_t>(0, cap - m_credit);
    const std::int64_t credit = elapsed > room / baud ? std::max(m_credit, cap) : m_credit + elapsed * baud;
    if (credit >= need)
        return 0;
    return (need - credit + baud - 1) / baud;
}

std::uint32_t BaudBudget::batchChars(std::uint32_t baud, std::uint32_t bitsPerChar) {
    if (baud == 0 || bitsPerChar == 0)
        return 1;
    const std::int64_t charCost = static_cast<std::int64_t>(bitsPerChar) * 1'000'000'000;
    const std::int64_t batch = static_cast<std::int64_t>(baud) * kBatchNs / charCost;
    const std::int64_t burst = capacity(baud, bitsPerChar) / charCost;
    const std::int64_t late = std::max(burst / 4, static_cast<std::int64_t>(baud) * kLateNs / charCost);
    return static_cast<std::uint32_t>(
        std::clamp<std::int64_t>(batch, 1, std::min<std::int64_t>(kMinBurstChars, burst - late)));
}

// ---- TVSPortAx ----

struct TVSPortAx::Impl {
    mutable std::mutex mutex;
    std::shared_ptr<PortCore> core;

    // A reference that keeps the port alive for one call, even if another thread lets go.
    std::shared_ptr<PortCore> get() const {
        std::lock_guard guard(mutex);
        return core;
    }
};

TVSPortAx::TVSPortAx() : m_impl(std::make_unique<Impl>()) {}

TVSPortAx::~TVSPortAx() {
    Delete();
}

bool TVSPortAx::CreatePort(const std::wstring& wideName) {
    Delete();
    const auto name = portNameOf(wideName);
    if (!name || !validPortName(*name))
        return false;
    Registry& reg = registry();
    std::lock_guard guard(reg.mutex);
    if (reg.ports.count(*name))
        return false; // ours and live: Attach is the way to it

    const std::string dir = portDirectory();
    if (!ensurePortDirectory(dir))
        return false;
    const std::string link = dir + "/" + *name;
    const std::string lockPath = lockPathOf(dir, *name);
    const int lockFd = takeNameLock(lockPath);
    if (lockFd < 0)
        return false; // served by another process of ours, or the lock file is not ours
    auto fail = [&] {
        ::unlink(lockPath.c_str());
        ::close(lockFd);
        return false;
    };

    switch (unservedLinkState(link, lockPath)) {
    case PortNameState::Free:
        break;
    case PortNameState::Stale:
        if (::unlink(link.c_str()) != 0 && errno != ENOENT)
            return fail();
        break;
    default:
        return fail();
    }
    auto pty = Pty::open();
    if (!pty)
        return fail();
    // Listening before the link appears, so the shim of the first application finds it.
    // Without it the port works as a plain pseudo-terminal.
    auto opened = LineChannel::open(lineChannelPathOf(dir, *name));
    std::unique_ptr<LineChannel> line = opened ? std::move(opened.value()) : nullptr;
    if (!opened)
        logMappingMessage(*name + ": no side channel (" + opened.error() +
                          "); applications see a plain pseudo-terminal.");
    // symlink() never replaces: if something appeared under the name meanwhile, it stays.
    if (::symlink(pty->slavePath().c_str(), link.c_str()) != 0) {
        if (line)
            line->unlinkPath();
        return fail();
    }
    recordSlave(lockFd, pty->slavePath());

    auto core = std::make_shared<PortCore>(link, lockPath, lockFd, std::move(*pty), std::move(line));
    reg.ports.emplace(*name, core);
    std::lock_guard own(m_impl->mutex);
    m_impl->core = std::move(core);
    return true;
}

bool TVSPortAx::Attach(const std::wstring& wideName) {
    Delete();
    const auto name = portNameOf(wideName);
    if (!name)
        return false;
    Registry& reg = registry();
    std::lock_guard guard(reg.mutex);
    const auto it = reg.ports.find(*name);
    if (it == reg.ports.end())
        return false;
    ++it->second->handles;
    std::lock_guard own(m_impl->mutex);
    m_impl->core = it->second;
    return true;
}

// A pseudo-terminal has no wiring to choose between.
void TVSPortAx::SetWiring(int, int, int, int) {}

void TVSPortAx::Delete() {
    std::shared_ptr<PortCore> core;
    {
        std::lock_guard own(m_impl->mutex);
        core = std::move(m_impl->core);
    }
    if (!core)
        return;
    Registry& reg = registry();
    std::lock_guard guard(reg.mutex);
    if (--core->handles > 0)
        return;
    for (auto it = reg.ports.begin(); it != reg.ports.end(); ++it) {
        if (it->second == core) {
            reg.ports.erase(it);
            break;
        }
    }
    // The files go now, under the registry's mutex, so the name is free at once; the master
    // closes when the last call still using the port returns.
    removePortFiles(*core);
}

bool TVSPortAx::Read(void* buffer, std::uint32_t* count) {
    if (!count)
        return false;
    const auto core = m_impl->get();
    if (!core || (!buffer && *count > 0)) {
        *count = 0;
        return false;
    }
    std::uint32_t wanted = *count;
    ssize_t moved = 0;
    if (core->strict.load(std::memory_order_relaxed)) {
        const auto settings = core->pty.lineSettings();
        if (!settings) {
            *count = 0;
            return false;
        }
        const int emulated = core->emulatedBaud.load(std::memory_order_relaxed);
        const std::uint32_t baud = emulated > 0 ? static_cast<std::uint32_t>(emulated) : settings->speed;
        const std::uint32_t bits = bitsPerChar(*core, *settings);
        std::lock_guard pace(core->readPaceMutex);
        wanted = core->readBudget.available(steadyNowNs(), baud, bits, wanted);
        moved = core->pty.read(buffer, wanted);
        if (moved > 0)
            core->readBudget.spend(static_cast<std::uint32_t>(moved), bits);
    } else {
        moved = core->pty.read(buffer, wanted);
    }
    if (moved < 0) {
        *count = 0;
        return false;
    }
    if (moved > 0 && core->line)
        core->line->countTx(static_cast<std::uint32_t>(moved));
    *count = static_cast<std::uint32_t>(moved);
    return true;
}

std::uint32_t TVSPortAx::Write(const void* buffer, std::uint32_t count) {
    const auto core = m_impl->get();
    if (!core || !buffer || count == 0)
        return 0;
    std::lock_guard io(core->ioMutex);
    if (!portOpenLocked(*core))
        return 0;
    ssize_t taken = 0;
    if (core->strict.load(std::memory_order_relaxed)) {
        const auto settings = core->pty.lineSettings();
        if (!settings)
            return 0;
        const int emulated = core->emulatedBaud.load(std::memory_order_relaxed);
        const std::uint32_t baud = emulated > 0 ? static_cast<std::uint32_t>(emulated) : settings->speed;
        const std::uint32_t bits = bitsPerChar(*core, *settings);
        const std::uint32_t allowed = core->writeBudget.available(steadyNowNs(), baud, bits, count);
        taken = core->pty.write(buffer, allowed);
        if (taken > 0)
            core->writeBudget.spend(static_cast<std::uint32_t>(taken), bits);
    } else {
        taken = core->pty.write(buffer, count);
    }
    if (taken > 0 && core->line)
        core->line->countRx(static_cast<std::uint32_t>(taken));
    return taken > 0 ? static_cast<std::uint32_t>(taken) : 0;
}

namespace {
bool setLine(const std::shared_ptr<PortCore>& core, std::atomic<bool> PortCore::*line, bool on) {
    if (!core)
        return false;
    if (((*core).*line).exchange(on, std::memory_order_relaxed) != on && core->line) {
        std::uint32_t lines = 0;
        lines |= core->cts.load(std::memory_order_relaxed) ? TIOCM_CTS : 0;
        lines |= core->dsr.load(std::memory_order_relaxed) ? TIOCM_DSR : 0;
        lines |= core->dcd.load(std::memory_order_relaxed) ? TIOCM_CAR : 0;
        lines |= core->ring.load(std::memory_order_relaxed) ? TIOCM_RNG : 0;
        core->line->setInputs(lines);
    }
    return true;
}
bool getLine(const std::shared_ptr<PortCore>& core, std::atomic<bool> PortCore::*line) {
    return core && ((*core).*line).load(std::memory_order_relaxed);
}
} // namespace

bool TVSPortAx::SetDSR(bool on) {
    return setLine(m_impl->get(), &PortCore::dsr, on);
}
bool TVSPortAx::SetCTS(bool on) {
    return setLine(m_impl->get(), &PortCore::cts, on);
}
bool TVSPortAx::SetDCD(bool on) {
    return setLine(m_impl->get(), &PortCore::dcd, on);
}
bool TVSPortAx::SetRING(bool on) {
    return setLine(m_impl->get(), &PortCore::ring, on);
}
bool TVSPortAx::cts() const {
    return getLine(m_impl->get(), &PortCore::cts);
}
bool TVSPortAx::dsr() const {
    return getLine(m_impl->get(), &PortCore::dsr);
}
bool TVSPortAx::dcd() const {
    return getLine(m_impl->get(), &PortCore::dcd);
}
bool TVSPortAx::ring() const {
    return getLine(m_impl->get(), &PortCore::ring);
}

namespace {
// The rate and character size strict emulation paces this port to; empty while it is off.
std::optional<std::pair<std::uint32_t, std::uint32_t>> strictPacing(const PortCore& core) {
    if (!core.strict.load(std::memory_order_relaxed))
        return std::nullopt;
    const auto settings = core.pty.lineSettings();
    if (!settings)
        return std::nullopt;
    const int emulated = core.emulatedBaud.load(std::memory_order_relaxed);
    return std::pair{emulated > 0 ? static_cast<std::uint32_t>(emulated) : settings->speed,
                     bitsPerChar(core, *settings)};
}

std::int64_t batchWait(const BaudBudget& budget, std::uint32_t baud, std::uint32_t bits, std::uint32_t wanted) {
    return budget.waitNs(steadyNowNs(), baud, bits, std::min(wanted, BaudBudget::batchChars(baud, bits)));
}
} // namespace

std::int64_t TVSPortAx::readWaitNs(std::uint32_t wanted) const {
    const auto core = m_impl->get();
    const auto pacing = core ? strictPacing(*core) : std::nullopt;
    if (!pacing)
        return 0;
    std::lock_guard pace(core->readPaceMutex);
    return batchWait(core->readBudget, pacing->first, pacing->second, wanted);
}

std::int64_t TVSPortAx::writeWaitNs(std::uint32_t wanted) const {
    const auto core = m_impl->get();
    const auto pacing = core ? strictPacing(*core) : std::nullopt;
    if (!pacing)
        return 0;
    std::lock_guard io(core->ioMutex);
    return batchWait(core->writeBudget, pacing->first, pacing->second, wanted);
}

void TVSPortAx::SetStrictBaudrate(bool on) {
    if (const auto core = m_impl->get())
        core->strict.store(on, std::memory_order_relaxed);
}

bool TVSPortAx::strictBaudrate() const {
    const auto core = m_impl->get();
    return core && core->strict.load(std::memory_order_relaxed);
}

void TVSPortAx::setBaudRate(int baud) {
    if (const auto core = m_impl->get())
        core->emulatedBaud.store(std::max(baud, 0), std::memory_order_relaxed);
}

int TVSPortAx::emulatedBaudRate() const {
    const auto core = m_impl->get();
    if (!core)
        return 0;
    const int emulated = core->emulatedBaud.load(std::memory_order_relaxed);
    return emulated > 0 ? emulated : baudRate();
}

bool TVSPortAx::isOpen() const {
    const auto core = m_impl->get();
    if (!core)
        return false;
    std::lock_guard io(core->ioMutex);
    return portOpenLocked(*core);
}

std::uint32_t TVSPortAx::inQueue() const {
    const auto core = m_impl->get();
    return core ? core->pty.pendingInput() : 0;
}

int TVSPortAx::baudRate() const {
    const auto core = m_impl->get();
    const auto settings = core ? core->pty.lineSettings() : std::nullopt;
    if (!settings)
        return 0;
    return static_cast<int>(std::min<std::uint32_t>(settings->speed, 0x7fffffff));
}

// The pseudo-terminal driver forces 8 data bits and clears parity on every change an
// application makes: only an application with the port shim can tell us what it set.
namespace {
std::optional<LineChannel::Frame> shimFrame(const std::shared_ptr<PortCore>& core) {
    return core && core->line ? core->line->frame() : std::nullopt;
}
} // namespace

int TVSPortAx::dataBits() const {
    const auto core = m_impl->get();
    if (!core)
        return 0;
    const auto frame = shimFrame(core);
    return frame ? frame->dataBits : 8;
}

int TVSPortAx::parity() const {
    const auto frame = shimFrame(m_impl->get());
    return frame ? frame->parity : LineChannel::kParityNone;
}

// Two stop bits on a 5-bit character are one and a half, as a UART sends them.
int TVSPortAx::stopBits() const {
    const auto core = m_impl->get();
    const auto settings = core ? core->pty.lineSettings() : std::nullopt;
    if (!settings || !settings->twoStopBits)
        return 0;
    const auto frame = shimFrame(core);
    return frame && frame->dataBits == 5 ? 1 : 2;
}

// Hardware: CTS and DSR handshake with DTR handshake, RTS handshake. Xon/Xoff: both automatic
// directions with DTR and RTS simply raised. None: DTR and RTS raised. Hardware wins when
// an application asks for both, since the words cannot say both and still decode as either.
std::uint32_t TVSPortAx::controlHandShake() const {
    const auto core = m_impl->get();
    const auto settings = core ? core->pty.lineSettings() : std::nullopt;
    if (!settings)
        return 0;
    if (settings->rtsCtsFlow)
        return kDtrControl | kDtrHandshake | kCtsHandshake | kDsrHandshake;
    return kDtrControl;
}

std::uint32_t TVSPortAx::flowReplace() const {
    const auto core = m_impl->get();
    const auto settings = core ? core->pty.lineSettings() : std::nullopt;
    if (!settings)
        return 0;
    if (settings->rtsCtsFlow)
        return kRtsHandshake;
    if (settings->xonXoffFlow)
        return kAutoTransmit | kAutoReceive | kRtsControl;
    return kRtsControl;
}

// A pseudo-terminal has no modem lines: the application's RTS and DTR are up while it
// holds the port open, as opening a serial port raises them, unless it set them through the shim.
bool TVSPortAx::rts() const {
    const auto core = m_impl->get();
    return isOpen() && !(core && core->line && core->line->rts() == false);
}
bool TVSPortAx::dtr() const {
    const auto core = m_impl->get();
    return isOpen() && !(core && core->line && core->line->dtr() == false);
}

bool TVSPortAx::hangUpOnClose() const {
    const auto core = m_impl->get();
    const auto settings = core ? core->pty.lineSettings() : std::nullopt;
    return settings && settings->hangUpOnClose;
}

std::uint32_t TVSPortAx::breakRequests() const {
    const auto core = m_impl->get();
    return core && core->line ? core->line->breakRequests() : 0;
}

std::uint32_t TVSPortAx::inputFlushes() const {
    const auto core = m_impl->get();
    return core && core->line ? core->line->inputFlushes() : 0;
}

std::uint32_t TVSPortAx::outputFlushes() const {
    const auto core = m_impl->get();
    return core && core->line ? core->line->outputFlushes() : 0;
}

bool TVSPortAx::breakOn() const {
    const auto core = m_impl->get();
    return core && core->line && core->line->breakOn();
}

std::string TVSPortAx::lineChannelPath() const {
    const auto core = m_impl->get();
    return core && core->line ? core->line->path() : std::string{};
}

std::int64_t TVSPortAx::getProperty(int index) const {
    switch (index) {
    case kPortOpen:
        return isOpen();
    case kInQueue:
        return inQueue();
    case kLocked:
        return 0;
    case kParity:
        return parity();
    case kStopBits:
        return stopBits();
    case kDatabits:
        return dataBits();
    case kBaudrate:
        return baudRate();
    case kControlHandShake:
        return controlHandShake();
    case kFlowReplace:
        return flowReplace();
    case kRts:
        return rts();
    case kDtr:
        return dtr();
    default:
        return 0;
    }
}

void TVSPortAx::setProperty(int index, std::int64_t value) {
    if (index == kBaudrate)
        setBaudRate(static_cast<int>(std::clamp<std::int64_t>(value, 0, 0x7fffffff)));
}

std::string TVSPortAx::linkPath() const {
    const auto core = m_impl->get();
    return core ? core->link : std::string{};
}

int TVSPortAx::masterFd() const {
    const auto core = m_impl->get();
    return core ? core->pty.masterFd() : -1;
}

int TVSPortAx::eventFd() const {
    const auto core = m_impl->get();
    return core ? core->events : -1;
}

void TVSPortAx::drainEvents() {
    const auto core = m_impl->get();
    if (!core || core->events < 0)
        return;
    alignas(inotify_event) char buffer[4096];
    while (::read(core->events, buffer, sizeof buffer) > 0) {
    }
}
