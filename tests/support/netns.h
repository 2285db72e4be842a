#pragma once
// Network namespaces for tests: the whole test process in a private namespace, a test body
// in a forked child with its own namespace, and named namespaces joined by veth pairs.
// Nothing here touches the machine's own network: every address lives inside namespaces
// the test made itself.

#include <functional>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>
#include <vector>

namespace testsupport {

// Moves the calling process into a new network namespace with only `lo`, brought up. Runs
// once per process; later calls return the first result. Call it before the test starts any
// thread: threads started earlier stay where they were. Returns empty on success, else why
// no namespace could be made (the caller skips).
std::string enterPrivateNetworkNamespace();

// The network namespace of the calling thread, as its inode; 0 when unreadable.
inline ino_t networkNamespaceOfThread() {
    struct stat own = {};
    return ::stat("/proc/thread-self/ns/net", &own) == 0 ? own.st_ino : 0;
}
// Taken before main, so in the namespace the program was started in: shared with whatever
// else runs there.
inline const ino_t kStartNetworkNamespace = networkNamespaceOfThread();
// Whether the calling thread has left the namespace the program started in for one that the
// test made.
inline bool inPrivateNetworkNamespace() {
    const ino_t now = networkNamespaceOfThread();
    return now != 0 && kStartNetworkNamespace != 0 && now != kStartNetworkNamespace;
}

// Brings an interface of the current namespace up. Returns false with errno set on failure.
bool bringInterfaceUp(const char* name);

struct NamespaceRun {
    enum Outcome { Passed, Failed, Unavailable };
    Outcome outcome = Failed;
    std::string reason; // why Unavailable or Failed
};

// Runs `body` in a forked child inside a fresh network namespace (`lo` up). The child's
// GoogleTest failures (and exceptions) make the outcome Failed, with their texts as the
// reason. Fork before the test starts threads of its own.
NamespaceRun runInFreshNetworkNamespace(const std::function<void()>& body);

// Result of a program run to its end.
struct CommandResult {
    int exitCode = -1;  // -1: could not be started or was ended by a signal
    std::string output; // standard output and standard error together
};
CommandResult runCommand(const std::vector<std::string>& argv);

// Called in a forked child before it runs a program that outlives a step of the test (a
// simulator, a daemon): the child gets SIGTERM when the test process dies, so a test that a
// sanitizer or a crash ends leaves no program of ours behind.
void endWithTestProcess(pid_t testProcess);

// Starts argv[0] (searched in PATH) in a forked child that ends with the test process. Its
// standard input reads `in` and its standard output (with `errorToo` its standard error
// too) writes `out`, each where given. Returns the PID, or -1.
pid_t startProgram(const std::vector<std::string>& argv, int in = -1, int out = -1, bool errorToo = false);

// A namespace made with `ip netns add` under a unique name, deleted (with every process the
// test started in it ended by PID) on destruction.
class NamedNetns {
public:
    explicit NamedNetns(const std::string& prefix);
    ~NamedNetns();
    NamedNetns(const NamedNetns&) = delete;
    NamedNetns& operator=(const NamedNetns&) = delete;

    bool ok() const { return m_ok; }
    const std::string& name() const { return m_name; }
    const std::string& error() const { return m_error; }

    // Runs a command inside the namespace to its end.
    CommandResult run(const std::vector<std::string>& argv) const;
    // Starts a program inside the namespace; it is ended (SIGTERM, then SIGKILL) and reaped
    // when the namespace goes. Output goes to `logPath` when given. Returns the PID or -1.
    pid_t spawn(const std::vector<std::string>& argv, const std::string& logPath = {});
    // Ends one program started by spawn (SIGTERM, wait up to `graceMs`, then SIGKILL).
    // Returns its exit status as waitpid gave it, or -1.
    int stop(pid_t pid, int graceMs = 3000);

private:
    std::string m_name;
    std::string m_error;
    bool m_ok = false;
    std::vector<pid_t> m_children;
};

// A veth pair between two named namespaces, each end given an address in CIDR form
// ("10.77.1.1/24"); both ends and `lo` are brought up. Deleting one end removes the pair,
// and deleting a namespace deletes the end inside it, so destruction only tidies.
class VethPair {
public:
    VethPair(const NamedNetns& a, const std::string& cidrA, const NamedNetns& b, const std::string& cidrB);
    ~VethPair();
    VethPair(const VethPair&) = delete;
    VethPair& operator=(const VethPair&) = delete;

    bool ok() const { return m_ok; }
    const std::string& error() const { return m_error; }
    const std::string& nameA() const { return m_nameA; }
    const std::string& nameB() const { return m_nameB; }

private:
    const NamedNetns& m_a;
    std::string m_nameA, m_nameB, m_error;
    bool m_ok = false;
};

// Re-runs this test program's `filter` inside the named namespace (`ip netns exec`), for
// tests whose body must run there. Returns the child's result.
CommandResult runTestInNamespace(const NamedNetns& ns, const std::string& filter);

} // namespace testsupport

// Skips the current test with the reason when a private namespace cannot be had.
#define TARN_REQUIRE_PRIVATE_NETNS()                                                                                   \
    do {                                                                                                               \
        const std::string tarnNetnsReason = ::testsupport::enterPrivateNetworkNamespace();                             \
        if (!tarnNetnsReason.empty())                                                                                  \
            GTEST_SKIP() << "needs a private network namespace: " << tarnNetnsReason;                                  \
    } while (0)

// Runs the statements in a fresh namespace in a forked child; skips or fails the test as the
// child's outcome says.
#define TARN_IN_FRESH_NETNS(...)                                                                                       \
    do {                                                                                                               \
        const ::testsupport::NamespaceRun tarnRun = ::testsupport::runInFreshNetworkNamespace([&] { __VA_ARGS__; });   \
        if (tarnRun.outcome == ::testsupport::NamespaceRun::Unavailable)                                               \
            GTEST_SKIP() << "needs a network namespace: " << tarnRun.reason;                                           \
        if (tarnRun.outcome == ::testsupport::NamespaceRun::Failed)                                                    \
            ADD_FAILURE() << "in the namespace child: " << tarnRun.reason;                                             \
    } while (0)
