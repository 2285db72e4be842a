#include "platform/process.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <utility>

namespace {

// Through syscall(): glibc 2.36's <sys/pidfd.h> declares its wrappers without C linkage.
int openPidfd(pid_t pid) {
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
}

int sendPidfdSignal(int fd, int signal) {
    return static_cast<int>(::syscall(SYS_pidfd_send_signal, fd, signal, nullptr, 0));
}

std::string exeLink(pid_t pid) {
    return "/proc/" + std::to_string(pid) + "/exe";
}

std::optional<std::string> readExeLink(const std::string& link) {
    char target[PATH_MAX];
    const ssize_t length = ::readlink(link.c_str(), target, sizeof target - 1);
    if (length <= 0)
        return std::nullopt;
    std::string path(target, static_cast<std::size_t>(length));
    static const std::string kDeleted = " (deleted)";
    if (path.size() > kDeleted.size() && path.ends_with(kDeleted))
        path.resize(path.size() - kDeleted.size());
    return path;
}

} // namespace

std::optional<std::string> processExecutable(pid_t pid) {
    if (pid <= 0)
        return std::nullopt;
    return readExeLink(exeLink(pid));
}

bool runsThisProgram(pid_t pid) {
    if (pid <= 0)
        return false;
    struct stat theirs {};
    struct stat ours {};
    // stat() follows the link to the very file the process was started from, even one that has
    // been deleted since.
    if (::stat(exeLink(pid).c_str(), &theirs) == 0 && ::stat("/proc/self/exe", &ours) == 0 &&
        theirs.st_dev == ours.st_dev && theirs.st_ino == ours.st_ino)
        return true;
    const auto theirPath = processExecutable(pid);
    const auto ourPath = readExeLink("/proc/self/exe");
    return theirPath && ourPath && *theirPath == *ourPath;
}

bool runsOneOfOurPrograms(pid_t pid) {
    if (pid <= 0 || pid == ::getpid())
        return false;
    if (runsThisProgram(pid))
        return true;
    const auto theirPath = processExecutable(pid);
    const auto ourPath = readExeLink("/proc/self/exe");
    if (!theirPath || !ourPath)
        return false;
    // The kernel gives both as absolute paths without links, so the folders compare as text.
    const auto slash = theirPath->rfind('/');
    const auto ourSlash = ourPath->rfind('/');
    if (slash == std::string::npos || ourSlash == std::string::npos)
        return false;
    const std::string name = theirPath->substr(slash + 1);
    return (name == "tarn" || name == "tarnd") && theirPath->substr(0, slash) == ourPath->substr(0, ourSlash);
}

std::optional<ProcessHandle> ProcessHandle::open(pid_t pid) {
    if (pid <= 0)
        return std::nullopt;
    const int fd = openPidfd(pid);
    if (fd < 0)
        return std::nullopt;
    return ProcessHandle(fd, pid);
}

ProcessHandle::ProcessHandle(ProcessHandle&& other) noexcept
    : m_fd(std::exchange(other.m_fd, -1)), m_pid(std::exchange(other.m_pid, 0)) {}

ProcessHandle& ProcessHandle::operator=(ProcessHandle&& other) noexcept {
    if (this != &other) {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = std::exchange(other.m_fd, -1);
        m_pid = std::exchange(other.m_pid, 0);
    }
    return *this;
}

ProcessHandle::~ProcessHandle() {
    if (m_fd >= 0)
        ::close(m_fd);
}

bool ProcessHandle::signal(int signal) const {
    return m_fd >= 0 && sendPidfdSignal(m_fd, signal) == 0;
}

bool ProcessHandle::waitExited(std::chrono::milliseconds limit) const {
    if (m_fd < 0)
        return true;
    pollfd entry{m_fd, POLLIN, 0};
    // A pidfd becomes readable when its process ends. The wait is clamped: a negative count
    // means "for ever" to poll(), and a long one could wrap into one. An interrupted wait goes
    // on with what is left of the limit, not the whole limit again.
    using std::chrono::milliseconds;
    const milliseconds longest(24 * 3600 * 1000);
    const auto deadline = std::chrono::steady_clock::now() + std::clamp(limit, milliseconds(0), longest);
    int rc;
    do {
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - std::chrono::steady_clock::now());
        rc = ::poll(&entry, 1, static_cast<int>(std::max(left, milliseconds(0)).count()));
    } while (rc < 0 && errno == EINTR);
    return rc > 0;
}
