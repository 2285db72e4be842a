#include "core/program_entry.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace core {
namespace {

int g_wakePipe[2] = {-1, -1};

extern "C" void onEndSignal(int) {
    const int saved = errno;
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
    struct sigaction action {};
    action.sa_handler = onEndSignal;
    sigemptyset(&action.sa_mask);
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
