#pragma once
// Other processes of this machine: which program they run, and ending one safely.

#include <chrono>
#include <optional>
#include <string>
#include <sys/types.h>

// The executable a process runs (/proc/<pid>/exe), without the " (deleted)" mark that the
// kernel adds after the file was replaced. Nothing when the process is gone or not ours to see.
std::optional<std::string> processExecutable(pid_t pid);

// True when `pid` runs the same program file as this process: the same file by device and
// inode, or, when the file has since been replaced (an update), the same path.
bool runsThisProgram(pid_t pid);

// True when `pid` runs one of the two programs that share a user's mappings: this same program
// file (as runsThisProgram), or a file named `tarn` or `tarnd` in the directory that this
// process's executable lies in (they are built and installed side by side). Never for our own pid.
bool runsOneOfOurPrograms(pid_t pid);

// A reference to one process that stays with it even if its number is reused later.
class ProcessHandle {
public:
    // Nothing when the process does not exist (any more).
    static std::optional<ProcessHandle> open(pid_t pid);

    ProcessHandle(ProcessHandle&& other) noexcept;
    ProcessHandle& operator=(ProcessHandle&& other) noexcept;
    ProcessHandle(const ProcessHandle&) = delete;
    ProcessHandle& operator=(const ProcessHandle&) = delete;
    ~ProcessHandle();

    pid_t pid() const { return m_pid; }
    // Sends `signal` to exactly this process; false when it has already ended.
    bool signal(int signal) const;
    // Waits up to `limit` for the process to end; true once it has.
    bool waitExited(std::chrono::milliseconds limit) const;

private:
    ProcessHandle(int fd, pid_t pid) : m_fd(fd), m_pid(pid) {}

    int m_fd = -1;
    pid_t m_pid = 0;
};
