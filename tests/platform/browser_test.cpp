// Starting the default browser, with a script standing in for xdg-open that writes down the
// arguments it was given.

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <signal.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "platform/browser.h"
#include "support/temp_dir.h"
#include "support/wait.h"

namespace {

using testsupport::waitUntil;

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr auto kDeadline = 30s; // generous: a shell starts slowly under sanitizers on a busy machine

// True when this process has no child left at all, ended or running. WNOWAIT only looks, so
// the reaping stays the code's own job.
bool noChildren() {
    siginfo_t info{};
    return ::waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) < 0 && errno == ECHILD;
}

class BrowserTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(noChildren()) << "the checks below count on a process without children";
        ASSERT_FALSE(m_dir.path().empty());
        m_opener = m_dir.file("opener");
        // NUL after each argument, so every byte arrives as given; the rename makes the file
        // appear complete or not at all.
        std::ofstream(m_opener) << "#!/bin/sh\n"
                                   "for a in \"$@\"; do printf '%s\\0' \"$a\"; done > \"$0.args.tmp\"\n"
                                   "mv \"$0.args.tmp\" \"$0.args\"\n";
        fs::permissions(m_opener, fs::perms::owner_all);
    }
    void TearDown() override { EXPECT_TRUE(waitUntil(noChildren)) << "every opener ended and was reaped"; }

    // The arguments the opener received, once it wrote them down.
    std::vector<std::string> openerArguments() {
        const std::string file = m_opener + ".args";
        if (!waitUntil([&] { return fs::exists(file); }))
            return {"(the opener never ran)"};
        std::ifstream in(file, std::ios::binary);
        const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        fs::remove(file);
        std::vector<std::string> arguments;
        for (std::size_t start = 0; start < text.size();) {
            const std::size_t end = text.find('\0', start);
            arguments.push_back(text.substr(start, end - start));
            start = end + 1;
        }
        return arguments;
    }

    testsupport::TempDir m_dir{"browser"};
    std::string m_opener;
};

TEST_F(BrowserTest, TheAddressArrivesAsOneUnchangedArgument) {
    const std::string injected = m_dir.file("injected");
    const std::vector<std::string> addresses = {
        "http://10.0.0.7",
        "http://10.0.0.7/a b?x=1&y=2",
        "http://x/;touch " + injected,
        "http://x/$(touch " + injected + ")",
        "http://x/`touch " + injected + "` | touch " + injected + " '\"\\",
    };
    for (const std::string& address : addresses) {
        SCOPED_TRACE(address);
        ASSERT_TRUE(openDefaultBrowser(address, m_opener));
        EXPECT_EQ(openerArguments(), std::vector<std::string>{address});
    }
    EXPECT_FALSE(fs::exists(injected)) << "no shell ever read the address";
}

TEST_F(BrowserTest, TheOpenerIsLookedUpOnPath) {
    const char* saved = std::getenv("PATH");
    const std::string savedPath = saved ? saved : "";
    ::setenv("PATH", (m_dir.path() + ":" + savedPath).c_str(), 1);
    const bool started = openDefaultBrowser("http://10.0.0.8", "opener");
    ::setenv("PATH", savedPath.c_str(), 1);
    ASSERT_TRUE(started);
    EXPECT_EQ(openerArguments(), std::vector<std::string>{"http://10.0.0.8"});
}

TEST_F(BrowserTest, AnOpenerThatCannotStartGivesFalse) {
    EXPECT_FALSE(openDefaultBrowser("http://10.0.0.9", "tarn-no-such-opener-program"));
    EXPECT_FALSE(openDefaultBrowser("http://10.0.0.9", m_dir.file("missing")));
    const std::string notExecutable = m_dir.file("plain");
    std::ofstream(notExecutable) << "#!/bin/sh\n";
    EXPECT_FALSE(openDefaultBrowser("http://10.0.0.9", notExecutable));
    EXPECT_TRUE(noChildren()) << "a failed start leaves no child behind";

    // Started but failing, as xdg-open does when no browser is installed ("no method available").
    const std::string failing = m_dir.file("failing");
    std::ofstream(failing) << "#!/bin/sh\nexit 3\n";
    fs::permissions(failing, fs::perms::owner_all);
    EXPECT_FALSE(openDefaultBrowser("http://10.0.0.9", failing, kDeadline));
    EXPECT_TRUE(noChildren()) << "the failed opener was reaped";
}

TEST_F(BrowserTest, AnAddressThatWouldReadAsAnOptionOrIsEmptyIsRefused) {
    EXPECT_FALSE(openDefaultBrowser("--version", m_opener));
    EXPECT_FALSE(openDefaultBrowser("", m_opener));
    EXPECT_TRUE(noChildren());
}

TEST_F(BrowserTest, ReturnsAtOnceAndTheEndedOpenerIsReaped) {
    // An opener that outlives the call, as xdg-open does when it runs the browser itself.
    const std::string slow = m_dir.file("slow");
    const std::string release = m_dir.file("release");
    std::ofstream(slow) << "#!/bin/sh\nwhile [ ! -e '" << release << "' ]; do sleep 0.01; done\n";
    fs::permissions(slow, fs::perms::owner_all);
    const auto before = std::chrono::steady_clock::now();
    ASSERT_TRUE(openDefaultBrowser("http://10.0.0.10", slow, 100ms));
    EXPECT_LT(std::chrono::steady_clock::now() - before, 5s) << "the call does not wait for the opener to end";
    EXPECT_FALSE(noChildren()) << "the opener is still running";

    std::ofstream(release) << "";
    EXPECT_TRUE(waitUntil(noChildren)) << "the ended opener was never reaped: a zombie is left";

    ASSERT_TRUE(openDefaultBrowser("http://10.0.0.11", m_opener));
    EXPECT_EQ(openerArguments(), std::vector<std::string>{"http://10.0.0.11"});
    EXPECT_TRUE(waitUntil(noChildren));
}

} // namespace
