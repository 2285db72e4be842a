#pragma once
// Process, terminal and /proc helpers that the benchmarks share.

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <net/if.h>
#include <sched.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// A network namespace of the process's own with its loopback up: every benchmark's traffic
// stays there. False, with the reason, when it cannot be had (not root).
inline bool enterPrivateNamespace(std::string& why) {
    if (::unshare(CLONE_NEWNET) != 0) {
        why = std::string("unshare(CLONE_NEWNET): ") + std::strerror(errno);
        return false;
    }
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    ifreq request{};
    std::snprintf(request.ifr_name, IFNAMSIZ, "lo");
    const bool up =
        ::ioctl(fd, SIOCGIFFLAGS, &request) == 0 &&
        (request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP), ::ioctl(fd, SIOCSIFFLAGS, &request) == 0);
    ::close(fd);
    if (!up)
        why = "cannot bring lo up";
    return up;
}

inline constexpr auto kSetupLimit = 30s;

inline double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Standard output and error go to `output` when it is given, else nowhere when `quiet`.
inline pid_t spawn(const std::vector<std::string>& argv, bool quiet, int output = -1) {
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid != 0)
        return pid;
    if (output < 0 && quiet)
        output = ::open("/dev/null", O_WRONLY);
    if (output >= 0) {
        ::dup2(output, STDOUT_FILENO);
        ::dup2(output, STDERR_FILENO);
    }
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ::execvp(args[0], args.data());
    ::_exit(127);
}

inline void stopProcess(pid_t pid) {
    if (pid <= 0)
        return;
    ::kill(pid, SIGTERM);
    for (int i = 0; i < 500; ++i) {
        int status;
        if (::waitpid(pid, &status, WNOHANG) == pid)
            return;
        std::this_thread::sleep_for(10ms);
    }
    ::kill(pid, SIGKILL);
    int status;
    ::waitpid(pid, &status, 0);
}

inline speed_t speedConstant(std::uint32_t baud) {
    switch (baud) {
    case 9600:
        return B9600;
    case 115200:
        return B115200;
    case 921600:
        return B921600;
    default:
        return B4000000;
    }
}

// A field of /proc/<pid>/status ("Threads", "VmRSS" in kB), summed over the processes.
inline long statusField(const std::vector<pid_t>& pids, const char* field) {
    long total = 0;
    const std::size_t length = std::strlen(field);
    for (pid_t pid : pids) {
        std::FILE* f = std::fopen(("/proc/" + std::to_string(pid) + "/status").c_str(), "r");
        if (!f)
            continue;
        char line[256];
        while (std::fgets(line, sizeof line, f)) {
            if (std::strncmp(line, field, length) == 0 && line[length] == ':') {
                total += std::atol(line + length + 1);
                break;
            }
        }
        std::fclose(f);
    }
    return total;
}

inline int openApplication(const std::string& link, std::uint32_t baud) {
    const int fd = ::open(link.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return -1;
    termios tio{};
    ::tcgetattr(fd, &tio);
    ::cfmakeraw(&tio);
    ::cfsetispeed(&tio, speedConstant(baud));
    ::cfsetospeed(&tio, speedConstant(baud));
    ::tcsetattr(fd, TCSANOW, &tio);
    return fd;
}

inline void setSpeed(int fd, std::uint32_t baud) {
    termios tio{};
    ::tcgetattr(fd, &tio);
    ::cfsetispeed(&tio, speedConstant(baud));
    ::cfsetospeed(&tio, speedConstant(baud));
    ::tcsetattr(fd, TCSANOW, &tio);
}

inline bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds limit = kSetupLimit) {
    const auto deadline = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

} // namespace bench
