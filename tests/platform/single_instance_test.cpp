// The single-instance rule with real processes: copies of this test program play the old and
// the new instance, and a copy of it under another file name plays a different program; copies
// named tarn and tarnd in one folder play the desktop program and the daemon.

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "platform/process.h"
#include "platform/single_instance.h"
#include "support/temp_dir.h"
#include "support/wait.h"

namespace {

using testsupport::TempDir;
using testsupport::waitUntil;

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr const char* kRoleEnv = "TARN_SINGLE_INSTANCE_ROLE";
constexpr const char* kLockEnv = "TARN_SINGLE_INSTANCE_LOCK";
constexpr const char* kReportEnv = "TARN_SINGLE_INSTANCE_REPORT";
constexpr const char* kAskEnv = "TARN_SINGLE_INSTANCE_ASK";
constexpr auto kDeadline = 30s; // generous: helpers start slowly under sanitizers on a busy machine

std::string selfExe() {
    return fs::read_symlink("/proc/self/exe").string();
}

// A helper process started by the test; killed and reaped if the test leaves it running.
class Child {
public:
    Child(const std::string& exe, const std::string& role, const std::string& lock, const std::string& report,
          const std::string& ask = {}) {
        std::fflush(nullptr);
        m_pid = ::fork();
        if (m_pid == 0) {
            ::setenv(kRoleEnv, role.c_str(), 1);
            ::setenv(kLockEnv, lock.c_str(), 1);
            ::setenv(kReportEnv, report.c_str(), 1);
            ::setenv(kAskEnv, ask.c_str(), 1);
            const int null = ::open("/dev/null", O_WRONLY);
            if (null >= 0) {
                ::dup2(null, STDOUT_FILENO);
            }
            const std::string filter = "--gtest_filter=SingleInstanceRole.Run";
            ::execl(exe.c_str(), exe.c_str(), filter.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
    }
    ~Child() {
        if (m_pid > 0 && !m_reaped) {
            ::kill(m_pid, SIGKILL);
            int status = 0;
            ::waitpid(m_pid, &status, 0);
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t pid() const { return m_pid; }
    bool running() {
        if (m_reaped)
            return false;
        int status = 0;
        const pid_t r = ::waitpid(m_pid, &status, WNOHANG);
        if (r == m_pid) {
            m_reaped = true;
            m_status = status;
        }
        return r == 0;
    }
    // The wait status once the process ended within the deadline; nothing otherwise.
    std::optional<int> waitEnded() {
        if (!waitUntil([&] { return !running(); }, kDeadline))
            return std::nullopt;
        return m_status;
    }

private:
    pid_t m_pid = -1;
    bool m_reaped = false;
    int m_status = 0;
};

// The lock's holder as another process sees it (F_GETLK never reports our own locks).
pid_t holderOf(const std::string& lock) {
    const int fd = ::open(lock.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    flock region{};
    region.l_type = F_WRLCK;
    region.l_whence = SEEK_SET;
    const bool ok = ::fcntl(fd, F_GETLK, &region) == 0;
    ::close(fd);
    return ok && region.l_type != F_UNLCK ? region.l_pid : 0;
}

// The holder as a forked child sees it: the way to look at a lock this process holds itself.
pid_t holderSeenFromOutside(const std::string& lock) {
    int fds[2];
    if (::pipe(fds) != 0)
        return -1;
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        const pid_t holder = holderOf(lock);
        [[maybe_unused]] const ssize_t n = ::write(fds[1], &holder, sizeof holder);
        ::_exit(0);
    }
    ::close(fds[1]);
    pid_t holder = -1;
    if (::read(fds[0], &holder, sizeof holder) != sizeof holder)
        holder = -1;
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return holder;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

SingleInstance::Options options(const std::string& lock, std::chrono::milliseconds grace = 5000ms,
                                std::chrono::milliseconds waitLimit = 5000ms) {
    SingleInstance::Options o;
    o.lockPath = lock;
    o.shutdownGrace = grace;
    o.waitLimit = waitLimit;
    return o;
}

// Runs only inside a helper process: plays one instance of the program.
//   hold      take the lock and run until ended
//   stubborn  the same, ignoring SIGTERM
//   idle      run until ended without touching the lock
//   start     take the lock (ending whoever holds it), report, and keep running
//   ask       report, for itself and for each process in the ask list, whether it runs one of
//             our programs (1 or 0), and end
TEST(SingleInstanceRole, Run) {
    const char* role = std::getenv(kRoleEnv);
    if (role == nullptr)
        GTEST_SKIP() << "runs only as a helper process of the single-instance tests";
    const std::string which = role;
    if (which == "ask") {
        std::istringstream pids(std::getenv(kAskEnv));
        std::string answers = std::to_string(runsOneOfOurPrograms(::getpid()));
        for (pid_t pid = 0; pids >> pid;)
            answers += " " + std::to_string(runsOneOfOurPrograms(pid));
        // Written whole under its final name, so the test never reads half of it.
        const std::string report = std::getenv(kReportEnv);
        std::ofstream(report + ".tmp") << answers << "\n";
        fs::rename(report + ".tmp", report);
        return;
    }
    if (which == "stubborn")
        std::signal(SIGTERM, SIG_IGN);
    if (which != "idle") {
        SingleInstance instance = SingleInstance::acquire(options(std::getenv(kLockEnv), 20000ms, 20000ms));
        std::ofstream(std::getenv(kReportEnv))
            << static_cast<int>(instance.outcome()) << " " << instance.endedPid() << "\n";
        for (;;)
            ::pause();
    }
    for (;;)
        ::pause();
}

class SingleInstanceTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(m_dir.path().empty());
        m_lock = m_dir.path() + "/tarn.lock";
    }
    std::string report(const char* name) const { return m_dir.path() + "/" + name; }
    // A copy of this test program at `path`: the same code, but by its file another program.
    static std::string copyOfSelf(const std::string& path) {
        fs::create_directories(fs::path(path).parent_path());
        fs::copy_file(selfExe(), path);
        fs::permissions(path, fs::perms::owner_all);
        return path;
    }

    TempDir m_dir{"si-test"};
    std::string m_lock;
};

TEST_F(SingleInstanceTest, ANewInstanceEndsTheOldOneAndTakesTheLock) {
    Child old(selfExe(), "hold", m_lock, report("old"));
    ASSERT_TRUE(waitUntil([&] { return holderOf(m_lock) == old.pid(); })) << "the old instance never took the lock";

    SingleInstance instance = SingleInstance::acquire(options(m_lock));
    EXPECT_EQ(instance.outcome(), SingleInstance::Outcome::ReplacedOwner);
    EXPECT_EQ(instance.endedPid(), old.pid());
    EXPECT_TRUE(instance.held());
    const auto status = old.waitEnded();
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == SIGTERM) << "ended with a shut-down request first";
    EXPECT_EQ(readFile(m_lock), std::to_string(::getpid()) + "\n");
}

TEST_F(SingleInstanceTest, BetweenTwoSeparateProcessesTheStartingOneSurvives) {
    Child old(selfExe(), "hold", m_lock, report("old"));
    ASSERT_TRUE(waitUntil([&] { return holderOf(m_lock) == old.pid(); }));
    Child fresh(selfExe(), "start", m_lock, report("new"));
    ASSERT_TRUE(waitUntil([&] { return holderOf(m_lock) == fresh.pid(); })) << "the new instance never took over";
    ASSERT_TRUE(waitUntil([&] { return !readFile(report("new")).empty(); }));
    EXPECT_EQ(readFile(report("new")), std::to_string(static_cast<int>(SingleInstance::Outcome::ReplacedOwner)) + " " +
                                           std::to_string(old.pid()) + "\n");
    const auto status = old.waitEnded();
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFSIGNALED(*status));
    EXPECT_TRUE(fresh.running()) << "the starting instance must never end itself";
}

TEST_F(SingleInstanceTest, AnOldInstanceThatIgnoresTheRequestIsKilledAfterTheGrace) {
    Child old(selfExe(), "stubborn", m_lock, report("old"));
    ASSERT_TRUE(waitUntil([&] { return holderOf(m_lock) == old.pid(); }));
    SingleInstance instance = SingleInstance::acquire(options(m_lock, 200ms, 20000ms));
    EXPECT_EQ(instance.outcome(), SingleInstance::Outcome::ReplacedOwner);
    const auto status = old.waitEnded();
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == SIGKILL);
}

TEST_F(SingleInstanceTest, AnotherProgramHoldingTheLockIsNeverEnded) {
    // The same code under another file name is, by its executable, another program.
    const std::string other = m_dir.path() + "/other-program";
    fs::copy_file(selfExe(), other);
    fs::permissions(other, fs::perms::owner_all);
    Child foreign(other, "hold", m_lock, report("foreign"));
    ASSERT_TRUE(waitUntil([&] { return holderOf(m_lock) == foreign.pid(); }));

    SingleInstance instance = SingleInstance::acquire(options(m_lock, 100ms, 300ms));
    EXPECT_EQ(instance.outcome(), SingleInstance::Outcome::HeldElsewhere);
    EXPECT_FALSE(instance.held());
    EXPECT_TRUE(foreign.running());
    EXPECT_EQ(holderOf(m_lock), foreign.pid());
}

TEST_F(SingleInstanceTest, NeverEndsItselfNorAProcessThatDoesNotHoldTheLock) {
    // A stale file naming this very process and another live instance of the program: the text
    // is no evidence of who holds the lock, so nobody is signalled.
    Child idle(selfExe(), "idle", m_lock, report("idle"));
    std::ofstream(m_lock) << ::getpid() << "\n" << idle.pid() << "\n";
    SingleInstance instance = SingleInstance::acquire(options(m_lock));
    EXPECT_EQ(instance.outcome(), SingleInstance::Outcome::Acquired);
    EXPECT_EQ(instance.endedPid(), 0);
    EXPECT_TRUE(idle.running());

    // A second attempt inside the same process neither signals it nor drops the first lock.
    SingleInstance again = SingleInstance::acquire(options(m_lock, 100ms, 100ms));
    EXPECT_EQ(again.outcome(), SingleInstance::Outcome::HeldElsewhere);
    EXPECT_FALSE(again.held());
    EXPECT_TRUE(instance.held());
    EXPECT_EQ(holderSeenFromOutside(m_lock), ::getpid()) << "the first lock is still in place";
}

TEST_F(SingleInstanceTest, TheLockIsFreeAgainWhenTheInstanceGoes) {
    {
        SingleInstance instance = SingleInstance::acquire(options(m_lock));
        ASSERT_TRUE(instance.held());
    }
    Child next(selfExe(), "start", m_lock, report("next"));
    ASSERT_TRUE(waitUntil([&] { return !readFile(report("next")).empty(); }));
    EXPECT_EQ(readFile(report("next")), std::to_string(static_cast<int>(SingleInstance::Outcome::Acquired)) + " 0\n");
}

TEST_F(SingleInstanceTest, TheDefaultLockLivesInThePrivatePortDirectory) {
    m_dir.pointEnv("XDG_RUNTIME_DIR");
    const auto path = defaultLockPath();
    ASSERT_TRUE(path.has_value());
    EXPECT_EQ(*path, m_dir.path() + "/tarn/tarn.lock");
    struct stat info {};
    ASSERT_EQ(::stat((m_dir.path() + "/tarn").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);

    // A port directory that is a symbolic link is not ours to use.
    TempDir elsewhere("si-test");
    TempDir runtime("si-test");
    fs::create_directory_symlink(elsewhere.path(), runtime.path() + "/tarn");
    runtime.pointEnv("XDG_RUNTIME_DIR");
    EXPECT_FALSE(defaultLockPath().has_value());
}

TEST_F(SingleInstanceTest, TheDesktopProgramAndTheDaemonEndEachOther) {
    // Separate copies, not links: only their names and their folder make them one pair.
    const std::string tarn = copyOfSelf(m_dir.path() + "/bin/tarn");
    const std::string tarnd = copyOfSelf(m_dir.path() + "/bin/tarnd");

    Child daemon(tarnd, "hold", m_lock, report("daemon"));
    ASSERT_TRUE(waitUntil([&] { return holderOf(m_lock) == daemon.pid(); }));
    Child desktop(tarn, "start", m_lock, report("desktop"));
    ASSERT_TRUE(waitUntil([&] { return holderOf(m_lock) == desktop.pid(); })) << "tarn never took over from tarnd";
    ASSERT_TRUE(waitUntil([&] { return !readFile(report("desktop")).empty(); }));
    EXPECT_EQ(readFile(report("desktop")), std::to_string(static_cast<int>(SingleInstance::Outcome::ReplacedOwner)) +
                                               " " + std::to_string(daemon.pid()) + "\n");
    auto status = daemon.waitEnded();
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == SIGTERM);

    Child nextDaemon(tarnd, "start", m_lock, report("next-daemon"));
    ASSERT_TRUE(waitUntil([&] { return holderOf(m_lock) == nextDaemon.pid(); })) << "tarnd never took over from tarn";
    status = desktop.waitEnded();
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == SIGTERM);
    EXPECT_TRUE(nextDaemon.running());
}

TEST_F(SingleInstanceTest, OnlyTarnAndTarndBesideUsCountAsOurPrograms) {
    const std::string bin = m_dir.path() + "/bin";
    Child besideUs(copyOfSelf(bin + "/tarnd"), "idle", m_lock, report("unused"));
    Child elsewhere(copyOfSelf(m_dir.path() + "/elsewhere/tarnd"), "idle", m_lock, report("unused"));
    Child otherName(copyOfSelf(bin + "/tarnctl"), "idle", m_lock, report("unused"));
    Child sameFile(selfExe(), "idle", m_lock, report("unused"));
    const std::string asked = std::to_string(besideUs.pid()) + " " + std::to_string(elsewhere.pid()) + " " +
                              std::to_string(otherName.pid()) + " " + std::to_string(sameFile.pid());
    // Each helper runs its own file only once exec is done; before that it is still a fork of us.
    ASSERT_TRUE(waitUntil([&] {
        for (const auto& [pid, path] :
             {std::pair{besideUs.pid(), bin + "/tarnd"}, std::pair{elsewhere.pid(), m_dir.path() + "/elsewhere/tarnd"},
              std::pair{otherName.pid(), bin + "/tarnctl"}}) {
            if (processExecutable(pid) != path)
                return false;
        }
        return true;
    }));

    Child asker(copyOfSelf(bin + "/tarn"), "ask", m_lock, report("answers"), asked);
    ASSERT_TRUE(waitUntil([&] { return fs::exists(report("answers")); }));
    // Itself never; tarnd beside it yes; tarnd in another folder no; another name beside it
    // no; this test program, a file of another name in another folder, no.
    EXPECT_EQ(readFile(report("answers")), "0 1 0 0 0\n");

    // From here: the same program file counts, our own process never does.
    EXPECT_TRUE(runsOneOfOurPrograms(sameFile.pid()));
    EXPECT_FALSE(runsOneOfOurPrograms(besideUs.pid())) << "tarnd, but not in this test program's folder";
    EXPECT_FALSE(runsOneOfOurPrograms(::getpid()));
    EXPECT_FALSE(runsOneOfOurPrograms(0));
    EXPECT_FALSE(runsOneOfOurPrograms(-1));
}

} // namespace
