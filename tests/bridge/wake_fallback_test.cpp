// The thread base when no eventfd could be made for it (the process was out of descriptors):
// posts, wakes, watched descriptors and terminate still end a wait of ten minutes, which
// nothing else could end in time.

#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <optional>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "bridge/thread_interface.h"
#include "support/wait.h"

namespace {

using testsupport::waitUntil;

using namespace std::chrono_literals;

// Waits ten minutes per pass, watching `watched` when set.
class Looper : public ThreadInterface2 {
public:
    explicit Looper(int watched) : ThreadInterface2(true), m_watched(watched) {}
    ~Looper() override { release(); }

    std::atomic<int> messages{0};
    std::atomic<int> waits{0};
    std::atomic<int> ready{0};

protected:
    void execute() override {
        while (!terminated()) {
            if (dispatchOneMessage())
                ++messages;
            std::vector<pollfd> sources{{m_watched, POLLIN, 0}};
            waitBetweenPasses(10min, sources);
            if (sources[0].revents & POLLIN) {
                char byte;
                (void)!::read(m_watched, &byte, 1);
                ++ready;
            }
            ++waits;
        }
    }

private:
    const int m_watched;
};

// A plain waiter: no descriptors, only the base's wait.
class Sleeper : public ThreadInterface2 {
public:
    Sleeper() : ThreadInterface2(true) {}
    ~Sleeper() override { release(); }
    std::atomic<int> waits{0};

protected:
    void execute() override {
        while (!terminated()) {
            dispatchOneMessage();
            waitBetweenPasses(10min);
            ++waits;
        }
    }
};

TEST(WakeFallback, WithoutAnEventfdEveryWayOfEndingAWaitStillWorks) {
    int pipeFds[2];
    ASSERT_EQ(::pipe2(pipeFds, O_CLOEXEC), 0);
    std::optional<Looper> looper;
    std::optional<Sleeper> sleeper;
    // UBSan checks a class's dynamic type through a pipe the first time it sees the class, and
    // takes a failed pipe for unreadable memory; it remembers classes it has checked.
    {
        Looper warmLooper(pipeFds[0]);
        Sleeper warmSleeper;
    }
    {
        rlimit saved{};
        ::getrlimit(RLIMIT_NOFILE, &saved);
        rlimit low = saved;
        low.rlim_cur = 256;
        ::setrlimit(RLIMIT_NOFILE, &low);
        std::vector<int> taken;
        for (int fd; (fd = ::dup(0)) >= 0;)
            taken.push_back(fd);
        looper.emplace(pipeFds[0]);
        sleeper.emplace();
        for (int fd : taken)
            ::close(fd);
        ::setrlimit(RLIMIT_NOFILE, &saved);
    }
    ASSERT_FALSE(looper->hasWakeFd());
    ASSERT_FALSE(sleeper->hasWakeFd());
    looper->resume();
    sleeper->resume();

    looper->post([] {});
    EXPECT_TRUE(waitUntil([&] { return looper->messages.load() == 1; })) << "a post ended no wait";
    const int before = looper->waits.load();
    looper->wake();
    EXPECT_TRUE(waitUntil([&] { return looper->waits.load() > before; })) << "wake() ended no wait";
    ASSERT_EQ(::write(pipeFds[1], "x", 1), 1);
    EXPECT_TRUE(waitUntil([&] { return looper->ready.load() == 1; })) << "a ready descriptor ended no wait";

    const int sleeps = sleeper->waits.load();
    sleeper->wake();
    EXPECT_TRUE(waitUntil([&] { return sleeper->waits.load() > sleeps; }));

    // release() returns only because terminate ends the ten-minute waits.
    looper->release();
    sleeper->release();
    EXPECT_FALSE(looper->running());
    EXPECT_FALSE(sleeper->running());
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
}

} // namespace
