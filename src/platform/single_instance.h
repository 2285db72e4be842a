#pragma once
// One running instance per user: a starting instance ends the one that runs, then goes on.

#include <chrono>
#include <optional>
#include <string>
#include <sys/types.h>

class SingleInstance {
public:
    enum class Outcome {
        Acquired,      // nobody held the lock
        ReplacedOwner, // an instance of one of our programs (tarn or tarnd) held it and was ended
        HeldElsewhere, // the holder is none of ours (or could not be ended): went on without the lock
        Unavailable,   // the lock file could not be opened: went on without the lock
    };

    struct Options {
        std::string lockPath;
        // How long the old instance gets to shut down on SIGTERM before SIGKILL.
        std::chrono::milliseconds shutdownGrace{5000};
        // How long to wait for a lock that we may not or cannot take over.
        std::chrono::milliseconds waitLimit{10000};
    };

    // Takes the lock, ending an old tarn or tarnd that holds it. Never blocks for
    // longer than the two limits, never ends this process, and never ends another program.
    static SingleInstance acquire(const Options& options);

    SingleInstance(SingleInstance&& other) noexcept;
    SingleInstance& operator=(SingleInstance&& other) noexcept;
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;
    ~SingleInstance();

    Outcome outcome() const { return m_outcome; }
    bool held() const { return m_fd >= 0; }
    // The process that was ended to make room, 0 if none.
    pid_t endedPid() const { return m_endedPid; }

private:
    SingleInstance() = default;
    void releaseLock();

    int m_fd = -1;
    Outcome m_outcome = Outcome::Unavailable;
    pid_t m_endedPid = 0;
};

// `<port dir>/tarn.lock`, the port directory created (mode 0700) when missing: $XDG_RUNTIME_DIR/tarn
// when that variable is set, else /tmp/tarn-<uid>. Nothing when the directory is unusable
// (not ours, not a directory).
std::optional<std::string> defaultLockPath();

// The text of an outcome, for the start-up log.
const char* outcomeText(SingleInstance::Outcome outcome);
