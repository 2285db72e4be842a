#include "platform/browser.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <system_error>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace {

// Spawn attributes that own their cleanup, so every early return releases them.
struct SpawnSetup {
    posix_spawnattr_t attributes{};
    posix_spawn_file_actions_t actions{};
    bool ready = false;

    SpawnSetup() {
        if (::posix_spawnattr_init(&attributes) != 0)
            return;
        if (::posix_spawn_file_actions_init(&actions) != 0) {
            ::posix_spawnattr_destroy(&attributes);
            return;
        }
        ready = true;
    }
    ~SpawnSetup() {
        if (ready) {
            ::posix_spawn_file_actions_destroy(&actions);
            ::posix_spawnattr_destroy(&attributes);
        }
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;
};

// The browser outlives us and must not inherit what this process changed for itself: a
// blocked signal mask (threads that wait for signals block them), ignored SIGPIPE, or our
// session, whose Ctrl-C or hang-up would take the browser down with us.
bool prepare(SpawnSetup& setup) {
    if (!setup.ready)
        return false;
    sigset_t none;
    sigset_t defaults;
    ::sigemptyset(&none);
    ::sigemptyset(&defaults);
    for (const int signal : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGCHLD})
        ::sigaddset(&defaults, signal);
    const short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSID;
    return ::posix_spawnattr_setsigmask(&setup.attributes, &none) == 0 &&
           ::posix_spawnattr_setsigdefault(&setup.attributes, &defaults) == 0 &&
           ::posix_spawnattr_setflags(&setup.attributes, flags) == 0 &&
           ::posix_spawn_file_actions_addopen(&setup.actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0) == 0;
}

} // namespace

bool openDefaultBrowser(const std::string& address) {
    return openDefaultBrowser(address, "xdg-open");
}

bool openDefaultBrowser(const std::string& address, const std::string& opener, std::chrono::milliseconds verdictWait) {
    // An address starting with '-' would reach the opener as an option.
    if (address.empty() || address.front() == '-' || opener.empty())
        return false;
    SpawnSetup setup;
    if (!prepare(setup))
        return false;
    std::string program = opener;
    std::string argument = address;
    char* argv[] = {program.data(), argument.data(), nullptr};
    pid_t pid = 0;
    // posix_spawnp reports a failed exec (not found, not executable) as its result and
    // reaps that child itself.
    if (::posix_spawnp(&pid, program.c_str(), &setup.actions, &setup.attributes, argv, environ) != 0)
        return false;
    // Only this one child is waited for, so SIGCHLD handling and other children's waits stay
    // as the rest of the program set them. The opener usually hands over and ends at once,
    // and says so by its status; the caller is the program's worker, never the window.
    const auto until = std::chrono::steady_clock::now() + verdictWait;
    for (;;) {
        int status = 0;
        const pid_t ended = ::waitpid(pid, &status, WNOHANG);
        if (ended == pid)
            return WIFEXITED(status) && WEXITSTATUS(status) == 0;
        if (ended < 0 && errno != EINTR)
            return true; // reaped elsewhere: its verdict is not ours to read
        if (std::chrono::steady_clock::now() >= until)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    try {
        std::thread([pid] {
            int status = 0;
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
        }).detach();
    } catch (const std::system_error&) {
        // No thread to spare: the opener still runs, and leaves a zombie until we end.
    }
    return true;
}
