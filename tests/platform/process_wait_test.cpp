// Waiting for another process to end: a limit that poll() would take as "for ever" (negative,
// or wrapped from a long count) must still come back.

#include <atomic>
#include <chrono>
#include <csignal>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "platform/process.h"
#include "support/wait.h"

namespace {

using namespace std::chrono_literals;

TEST(ProcessHandle, WaitExitedClampsItsLimitAndSeesTheEnd) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        for (;;)
            ::pause();
    }
    auto handle = ProcessHandle::open(child);
    ASSERT_TRUE(handle);

    for (const auto limit : {std::chrono::milliseconds(-1), std::chrono::milliseconds(-(1ll << 40))}) {
        std::atomic<bool> returned{false};
        bool exited = true;
        std::thread waiter([&] {
            exited = handle->waitExited(limit);
            returned = true;
        });
        const bool inTime = testsupport::waitUntil([&] { return returned.load(); }, 30s);
        if (!inTime)
            ::kill(child, SIGKILL); // ends the endless wait so the test can report
        waiter.join();
        EXPECT_TRUE(inTime) << "waited for ever on limit " << limit.count();
        if (!inTime)
            break;
        EXPECT_FALSE(exited);
    }

    ASSERT_TRUE(handle->signal(SIGKILL) || !handle->waitExited(0ms));
    EXPECT_TRUE(handle->waitExited(30s));
    int status = 0;
    EXPECT_EQ(::waitpid(child, &status, 0), child);
}

} // namespace
