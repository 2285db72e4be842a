#include "support/netns.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "support/wait.h"

namespace testsupport {
namespace {

std::atomic<int> g_serial{0};

std::string errnoText(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

std::string uniqueSuffix() {
    return std::to_string(::getpid() % 100000) + "x" + std::to_string(g_serial.fetch_add(1));
}

std::vector<char*> toArgv(const std::vector<std::string>& argv) {
    std::vector<char*> out;
    for (const auto& a : argv)
        out.push_back(const_cast<char*>(a.c_str()));
    out.push_back(nullptr);
    return out;
}

// Reads `fd` to its end and closes it, then reaps `pid`; returns what was read.
std::string readToEndAndReap(int fd, pid_t pid, int* status) {
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0)
            text.append(buffer, static_cast<std::size_t>(n));
        else if (n == 0 || errno != EINTR)
            break;
    }
    ::close(fd);
    while (::waitpid(pid, status, 0) < 0 && errno == EINTR) {
    }
    return text;
}

// Waits for `pid` up to `ms`; returns true with the status when it ended.
bool waitFor(pid_t pid, int ms, int* status) {
    pid_t r = 0;
    testsupport::waitUntil(
        [&] {
            r = ::waitpid(pid, status, WNOHANG);
            return r == pid || (r < 0 && errno == ECHILD);
        },
        std::chrono::milliseconds(ms));
    return r == pid;
}

} // namespace

bool bringInterfaceUp(const char* name) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    ifreq request{};
    std::snprintf(request.ifr_name, IFNAMSIZ, "%s", name);
    bool ok = ::ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    if (ok) {
        request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
        ok = ::ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    }
    const int saved = errno;
    ::close(fd);
    errno = saved;
    return ok;
}

std::string enterPrivateNetworkNamespace() {
    static const std::string result = []() -> std::string {
        if (::unshare(CLONE_NEWNET) != 0)
            return errnoText("unshare(CLONE_NEWNET)");
        if (!bringInterfaceUp("lo"))
            return errnoText("bringing lo up");
        return {};
    }();
    return result;
}

NamespaceRun runInFreshNetworkNamespace(const std::function<void()>& body) {
    NamespaceRun run;
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        run.reason = errnoText("pipe");
        return run;
    }
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) {
        run.reason = errnoText("fork");
        ::close(pipeFds[0]);
        ::close(pipeFds[1]);
        return run;
    }
    if (pid == 0) {
        ::close(pipeFds[0]);
        // First byte: 'U' with a reason when no namespace could be made, else 'R' (ran).
        auto tell = [&](const std::string& message) {
            [[maybe_unused]] auto n = ::write(pipeFds[1], message.data(), message.size());
        };
        if (::unshare(CLONE_NEWNET) != 0) {
            tell("U" + errnoText("unshare(CLONE_NEWNET)"));
            ::_exit(0);
        }
        if (!bringInterfaceUp("lo")) {
            tell("U" + errnoText("bringing lo up"));
            ::_exit(0);
        }
        tell("R");
        // The child's failures are collected here rather than left to the test's result: the
        // parent may itself be inside a failure interceptor that fork copied into the child.
        ::testing::TestPartResultArray results;
        bool failed = false;
        {
            // Both kinds: a per-thread interceptor copied from the parent would otherwise win
            // on this thread, and the all-threads one catches the body's own threads.
            ::testing::ScopedFakeTestPartResultReporter allThreads(
                ::testing::ScopedFakeTestPartResultReporter::INTERCEPT_ALL_THREADS, &results);
            ::testing::ScopedFakeTestPartResultReporter thisThread(
                ::testing::ScopedFakeTestPartResultReporter::INTERCEPT_ONLY_CURRENT_THREAD, &results);
            try {
                body();
            } catch (const std::exception& e) {
                tell(std::string("exception: ") + e.what() + "\n");
                failed = true;
            } catch (...) {
                tell("unknown exception\n");
                failed = true;
            }
        }
        for (int i = 0; i < results.size(); ++i) {
            const ::testing::TestPartResult& result = results.GetTestPartResult(i);
            if (!result.failed())
                continue;
            failed = true;
            const std::string where = std::string(result.file_name() ? result.file_name() : "?") + ":" +
                                      std::to_string(result.line_number()) + ": ";
            tell(where + result.message() + "\n");
        }
        std::fflush(nullptr);
        ::_exit(failed ? 1 : 0);
    }
    ::close(pipeFds[1]);
    int status = 0;
    const std::string message = readToEndAndReap(pipeFds[0], pid, &status);
    if (!message.empty() && message[0] == 'U') {
        run.outcome = NamespaceRun::Unavailable;
        run.reason = message.substr(1);
        return run;
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        run.outcome = NamespaceRun::Passed;
        return run;
    }
    run.outcome = NamespaceRun::Failed;
    if (WIFSIGNALED(status))
        run.reason = "ended by signal " + std::to_string(WTERMSIG(status)) + "\n";
    if (message.size() > 1)
        run.reason += message.substr(1);
    else if (!WIFSIGNALED(status))
        run.reason += "exit " + std::to_string(WEXITSTATUS(status));
    return run;
}

void endWithTestProcess(pid_t testProcess) {
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != testProcess) // it died before the request took hold
        ::_exit(1);
}

pid_t startProgram(const std::vector<std::string>& argv, int in, int out, bool errorToo) {
    std::fflush(nullptr);
    const pid_t test = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) {
        endWithTestProcess(test);
        if (in >= 0)
            ::dup2(in, STDIN_FILENO);
        if (out >= 0)
            ::dup2(out, STDOUT_FILENO);
        if (out >= 0 && errorToo)
            ::dup2(out, STDERR_FILENO);
        auto args = toArgv(argv);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    return pid;
}

CommandResult runCommand(const std::vector<std::string>& argv) {
    CommandResult result;
    int pipeFds[2];
    if (argv.empty() || ::pipe2(pipeFds, O_CLOEXEC) != 0)
        return result;
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) {
        ::close(pipeFds[0]);
        ::close(pipeFds[1]);
        return result;
    }
    if (pid == 0) {
        ::dup2(pipeFds[1], STDOUT_FILENO);
        ::dup2(pipeFds[1], STDERR_FILENO);
        auto args = toArgv(argv);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    ::close(pipeFds[1]);
    int status = 0;
    result.output = readToEndAndReap(pipeFds[0], pid, &status);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

NamedNetns::NamedNetns(const std::string& prefix) : m_name(prefix + uniqueSuffix()) {
    const CommandResult r = runCommand({"ip", "netns", "add", m_name});
    if (r.exitCode != 0) {
        m_error = "ip netns add " + m_name + ": " + r.output;
        return;
    }
    m_ok = true;
    const CommandResult up = run({"ip", "link", "set", "lo", "up"});
    if (up.exitCode != 0) {
        m_error = "lo up: " + up.output;
        m_ok = false;
    }
}

NamedNetns::~NamedNetns() {
    for (const pid_t pid : m_children)
        stop(pid, 2000);
    if (!m_name.empty())
        runCommand({"ip", "netns", "del", m_name});
}

CommandResult NamedNetns::run(const std::vector<std::string>& argv) const {
    std::vector<std::string> full{"ip", "netns", "exec", m_name};
    full.insert(full.end(), argv.begin(), argv.end());
    return runCommand(full);
}

pid_t NamedNetns::spawn(const std::vector<std::string>& argv, const std::string& logPath) {
    if (!m_ok || argv.empty())
        return -1;
    std::vector<std::string> full{"ip", "netns", "exec", m_name};
    full.insert(full.end(), argv.begin(), argv.end());
    const int log = logPath.empty() ? -1 : ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const pid_t pid = startProgram(full, -1, log, true);
    if (log >= 0)
        ::close(log);
    if (pid < 0)
        return -1;
    m_children.push_back(pid);
    return pid;
}

int NamedNetns::stop(pid_t pid, int graceMs) {
    std::erase(m_children, pid);
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid)
        return status;
    ::kill(pid, SIGTERM);
    if (waitFor(pid, graceMs, &status))
        return status;
    ::kill(pid, SIGKILL);
    return waitFor(pid, 5000, &status) ? status : -1;
}

VethPair::VethPair(const NamedNetns& a, const std::string& cidrA, const NamedNetns& b, const std::string& cidrB)
    : m_a(a) {
    // Interface names are at most 15 characters.
    const std::string base = "vt" + uniqueSuffix();
    m_nameA = base + "a";
    m_nameB = base + "b";
    const std::vector<std::vector<std::string>> steps = {
        {"ip", "link", "add", m_nameA, "netns", a.name(), "type", "veth", "peer", "name", m_nameB, "netns", b.name()},
        {"ip", "-n", a.name(), "addr", "add", cidrA, "dev", m_nameA},
        {"ip", "-n", b.name(), "addr", "add", cidrB, "dev", m_nameB},
        {"ip", "-n", a.name(), "link", "set", m_nameA, "up"},
        {"ip", "-n", b.name(), "link", "set", m_nameB, "up"},
    };
    for (const auto& step : steps) {
        const CommandResult r = runCommand(step);
        if (r.exitCode != 0) {
            m_error = step[0] + " " + step[1] + " " + step[2] + " ...: " + r.output;
            return;
        }
    }
    m_ok = true;
}

VethPair::~VethPair() {
    runCommand({"ip", "-n", m_a.name(), "link", "del", m_nameA});
}

CommandResult runTestInNamespace(const NamedNetns& ns, const std::string& filter) {
    char self[4096];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0)
        return {};
    self[n] = '\0';
    return ns.run({self, "--gtest_filter=" + filter});
}

} // namespace testsupport
