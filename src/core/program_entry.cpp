#include "core/program_entry.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "bridge/tvs_port_ax.h"
#include "platform/xdg.h"

namespace core {

std::string windowLayoutPath() {
    return xdgConfigHome() + "/tarn/window.conf";
}

std::optional<int> parseEntryOptions(int argc, char** argv, const char* programName, const char* version, Usage usage,
                                     EntryOptions& options, bool passOn) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            usage(stdout);
            return 0;
        }
        if (arg == "--version") {
            std::printf("%s %s\n", programName, version);
            return 0;
        }
        if (arg == "--no-search") {
            options.search = false;
            continue;
        }
        if (passOn && arg == "--minimized") {
            options.minimized = true;
            continue;
        }
        if (passOn && arg.rfind("--", 0) != 0)
            continue;
        std::fprintf(stderr, "%s: unknown option %s\n", programName, arg.c_str());
        usage(stderr);
        return 2;
    }
    return std::nullopt;
}
namespace {

int g_wakePipe[2] = {-1, -1};
// Whether an end signal came. The handler never nests on one thread (both signals are blocked
// while it runs), but two threads may each take one at once: atomic, not sig_atomic_t.
std::atomic<int> g_endSignals{0};
static_assert(std::atomic<int>::is_always_lock_free, "used in a signal handler");
char g_portDir[PATH_MAX] = {};

// What follows runs inside the signal handler: raw system calls and plain loops only, no
// allocation, no stdio, no locks.

struct DirEntry64 {
    std::uint64_t ino;
    std::int64_t off;
    unsigned short reclen;
    unsigned char type;
    char name[1];
};

// Calls `each` with every entry name of the open directory `dir`.
template <typename Each> void forEachEntry(int dir, Each each) {
    alignas(8) char buffer[4096];
    for (;;) {
        const long got = ::syscall(SYS_getdents64, dir, buffer, sizeof buffer);
        if (got <= 0)
            return;
        for (long at = 0; at < got;) {
            const auto* entry = reinterpret_cast<const DirEntry64*>(buffer + at);
            each(entry->name);
            at += entry->reclen;
        }
    }
}

// The number after `prefix` in `text`, or -1 when `text` is not prefix + digits.
long numberAfter(const char* text, const char* prefix) {
    while (*prefix)
        if (*text++ != *prefix++)
            return -1;
    if (*text == 0)
        return -1;
    long value = 0;
    for (; *text; ++text) {
        if (*text < '0' || *text > '9' || value > 1'000'000)
            return -1;
        value = value * 10 + (*text - '0');
    }
    return value;
}

// Removes the links COM<n> of the port directory that lead to a pseudo-terminal whose master
// this process holds, with their lock files: the ports' own clean-up does not run when the
// program ends at once. Other programs' links stay, whatever they are.
void removeOwnPortLinks() {
    constexpr int kMaxMasters = 4096;
    static long masters[kMaxMasters];
    int count = 0;
    const int fds = ::open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fds < 0)
        return;
    forEachEntry(fds, [&](const char* name) {
        const long fd = numberAfter(name, "");
        unsigned int pts = 0;
        if (fd >= 0 && fd != fds && count < kMaxMasters && ::ioctl(static_cast<int>(fd), TIOCGPTN, &pts) == 0)
            masters[count++] = static_cast<long>(pts);
    });
    ::close(fds);
    const int dir = ::open(g_portDir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0)
        return;
    forEachEntry(dir, [&](const char* name) {
        if (numberAfter(name, "COM") < 0)
            return;
        char target[64];
        const ssize_t length = ::readlinkat(dir, name, target, sizeof target - 1);
        if (length <= 0)
            return;
        target[length] = 0;
        const long pts = numberAfter(target, "/dev/pts/");
        bool ours = false;
        for (int i = 0; i < count && !ours; ++i)
            ours = masters[i] == pts;
        if (!ours)
            return;
        ::unlinkat(dir, name, 0);
        char lock[64] = ".";
        std::size_t at = 1;
        for (const char* c = name; *c && at < sizeof lock - 6; ++c)
            lock[at++] = *c;
        for (const char* c = ".lock"; *c; ++c)
            lock[at++] = *c;
        lock[at] = 0;
        ::unlinkat(dir, lock, 0);
    });
    ::close(dir);
}

// The first end signal asks the main loop for the shut-down sequence. A second one ends the
// program at once, however long that sequence waits (a search, a blocked output): the ports'
// links are removed here, and the signal is raised again to end the process by it.
extern "C" void onEndSignal(int signal) {
    const int saved = errno;
    if (g_endSignals.exchange(1) > 0) {
        removeOwnPortLinks();
        struct sigaction standard {};
        standard.sa_handler = SIG_DFL;
        sigemptyset(&standard.sa_mask);
        ::sigaction(signal, &standard, nullptr);
        // Pending until this handler returns and the signal is unblocked; then it ends us.
        ::raise(signal);
        errno = saved;
        return;
    }
    const char byte = 1;
    [[maybe_unused]] auto n = ::write(g_wakePipe[1], &byte, 1);
    errno = saved;
}

} // namespace

int installEndSignals(const char* programName) {
    if (g_wakePipe[0] >= 0)
        return g_wakePipe[0];
    if (::pipe2(g_wakePipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::fprintf(stderr, "%s: pipe: %s\n", programName, std::strerror(errno));
        return -1;
    }
    const std::string portDir = portDirectory();
    std::snprintf(g_portDir, sizeof g_portDir, "%s", portDir.c_str());
    struct sigaction action {};
    action.sa_handler = onEndSignal;
    sigemptyset(&action.sa_mask);
    sigaddset(&action.sa_mask, SIGTERM);
    sigaddset(&action.sa_mask, SIGINT);
    action.sa_flags = SA_RESTART;
    if (::sigaction(SIGTERM, &action, nullptr) != 0 || ::sigaction(SIGINT, &action, nullptr) != 0) {
        std::fprintf(stderr, "%s: sigaction: %s\n", programName, std::strerror(errno));
        return -1;
    }
    std::signal(SIGPIPE, SIG_IGN);
    return g_wakePipe[0];
}

void drainEndSignals(int fd) {
    char drain[16];
    while (::read(fd, drain, sizeof drain) > 0) {
    }
}

std::optional<SingleInstance> takeOwnerLock(const char* programName) {
    std::optional<SingleInstance> instance;
    if (const auto lockPath = defaultLockPath()) {
        SingleInstance::Options options;
        options.lockPath = *lockPath;
        instance.emplace(SingleInstance::acquire(options));
        if (instance->outcome() != SingleInstance::Outcome::Acquired)
            std::fprintf(stderr, "%s: %s\n", programName, outcomeText(instance->outcome()));
    }
    return instance;
}

} // namespace core
