#include "platform/single_instance.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <utility>

#include "platform/process.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::chrono::milliseconds kRetryStep{20};

// Record locks belong to the process: a second holder object in the same process would
// "succeed" and then drop the lock for both when it closed its descriptor.
std::atomic<bool> g_heldHere{false};

flock wholeFile(short type) {
    flock region{};
    region.l_type = type;
    region.l_whence = SEEK_SET;
    region.l_start = 0;
    region.l_len = 0;
    return region;
}

bool tryLock(int fd) {
    flock region = wholeFile(F_WRLCK);
    return ::fcntl(fd, F_SETLK, &region) == 0;
}

// The process that holds the lock now, as the kernel knows it (the file's text may be stale);
// 0 when nobody does or the holder is outside our view.
pid_t lockHolder(int fd) {
    flock region = wholeFile(F_WRLCK);
    if (::fcntl(fd, F_GETLK, &region) != 0 || region.l_type == F_UNLCK)
        return 0;
    return region.l_pid > 0 ? region.l_pid : 0;
}

void writeOwnPid(int fd) {
    const std::string text = std::to_string(::getpid()) + "\n";
    // The text is for people; the lock itself is what counts, so a failed write changes nothing.
    if (::ftruncate(fd, 0) == 0) {
        [[maybe_unused]] const ssize_t written = ::pwrite(fd, text.data(), text.size(), 0);
    }
}

bool ensurePrivateDirectory(const std::string& path) {
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
        return false;
    struct stat info {};
    // lstat: a symbolic link planted at a predictable /tmp name must not redirect us.
    return ::lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == ::getuid();
}

} // namespace

SingleInstance SingleInstance::acquire(const Options& options) {
    SingleInstance instance;
    if (g_heldHere.exchange(true)) {
        instance.m_outcome = Outcome::HeldElsewhere;
        return instance;
    }
    const int fd = ::open(options.lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        g_heldHere = false;
        instance.m_outcome = Outcome::Unavailable;
        return instance;
    }

    const pid_t self = ::getpid();
    const auto started = Clock::now();
    std::optional<ProcessHandle> ending;
    Clock::time_point signalledAt{};
    bool killed = false;

    for (;;) {
        if (tryLock(fd)) {
            writeOwnPid(fd);
            instance.m_fd = fd;
            instance.m_outcome = ending ? Outcome::ReplacedOwner : Outcome::Acquired;
            instance.m_endedPid = ending ? ending->pid() : 0;
            return instance;
        }
        const pid_t holder = lockHolder(fd);
        // Our own process can never be the conflicting holder; the test only guards the rule.
        if (holder > 0 && holder != self && (!ending || ending->pid() != holder) && runsOneOfOurPrograms(holder)) {
            auto handle = ProcessHandle::open(holder);
            // The number may have been reused between the two looks: signal only a process that
            // still holds the lock and still runs one of our programs, through a handle that pins it.
            if (handle && lockHolder(fd) == holder && runsOneOfOurPrograms(holder) && handle->signal(SIGTERM)) {
                ending = std::move(handle);
                signalledAt = Clock::now();
                killed = false;
            }
        }

        const auto now = Clock::now();
        if (ending) {
            if (!killed && now - signalledAt >= options.shutdownGrace) {
                ending->signal(SIGKILL);
                killed = true;
            }
            if (now - signalledAt >= options.shutdownGrace + options.waitLimit)
                break;
            ending->waitExited(kRetryStep);
        } else {
            if (now - started >= options.waitLimit)
                break;
            std::this_thread::sleep_for(kRetryStep);
        }
    }

    ::close(fd);
    g_heldHere = false;
    instance.m_outcome = Outcome::HeldElsewhere;
    return instance;
}

SingleInstance::SingleInstance(SingleInstance&& other) noexcept
    : m_fd(std::exchange(other.m_fd, -1)), m_outcome(other.m_outcome), m_endedPid(other.m_endedPid) {}

SingleInstance& SingleInstance::operator=(SingleInstance&& other) noexcept {
    if (this != &other) {
        releaseLock();
        m_fd = std::exchange(other.m_fd, -1);
        m_outcome = other.m_outcome;
        m_endedPid = other.m_endedPid;
    }
    return *this;
}

SingleInstance::~SingleInstance() {
    releaseLock();
}

void SingleInstance::releaseLock() {
    if (m_fd < 0)
        return;
    // Leave no PID behind that a reader could take for a live owner.
    [[maybe_unused]] const int truncated = ::ftruncate(m_fd, 0);
    ::close(m_fd);
    m_fd = -1;
    g_heldHere = false;
}

std::optional<std::string> defaultLockPath() {
    std::string directory;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && *runtime != '\0')
        directory = std::string(runtime) + "/tarn";
    else
        directory = "/tmp/tarn-" + std::to_string(::getuid());
    if (!ensurePrivateDirectory(directory))
        return std::nullopt;
    return directory + "/tarn.lock";
}

const char* outcomeText(SingleInstance::Outcome outcome) {
    switch (outcome) {
    case SingleInstance::Outcome::Acquired:
        return "single instance: lock taken";
    case SingleInstance::Outcome::ReplacedOwner:
        return "single instance: the running instance was ended";
    case SingleInstance::Outcome::HeldElsewhere:
        return "single instance: the lock is held by a process that is not an older instance; going on without it";
    case SingleInstance::Outcome::Unavailable:
        return "single instance: the lock file cannot be opened; going on without it";
    }
    return "";
}
