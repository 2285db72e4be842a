#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "mapping/mapping_thread.h"
#include "support/wait.h"

namespace {

using testsupport::waitUntil;

using namespace std::chrono_literals;

// Counts passes and records whether two passes of one lock ever overlapped.
class CountingThread : public ThreadInterface {
public:
    CountingThread(LockInterface& lock, std::atomic<int>& inside, std::atomic<bool>& overlap)
        : ThreadInterface(true, lock, nullptr), m_inside(inside), m_overlap(overlap) {}
    ~CountingThread() override { release(); }
    std::atomic<int> passes{0};
    std::atomic<bool> holdPass{false};

protected:
    void pass() override {
        if (m_inside.fetch_add(1) != 0)
            m_overlap = true;
        while (holdPass.load())
            std::this_thread::yield();
        ++passes;
        m_inside.fetch_sub(1);
    }

private:
    std::atomic<int>& m_inside;
    std::atomic<bool>& m_overlap;
};

class Worker2 : public ThreadInterface2 {
public:
    explicit Worker2(bool suspended, std::chrono::milliseconds period = 1000ms)
        : ThreadInterface2(suspended), m_period(period) {
        startIfRunning();
    }
    ~Worker2() override { release(); }
    std::atomic<int> loops{0};
    std::atomic<int> waitsBegun{0};

protected:
    void execute() override {
        while (!terminated()) {
            dispatchOneMessage();
            ++waitsBegun;
            waitBetweenPasses(m_period);
            ++loops;
        }
    }

private:
    const std::chrono::milliseconds m_period;
};

} // namespace

TEST(ThreadBase, SuspendedThreadRunsOnlyAfterResume) {
    BCBLock lock;
    std::atomic<int> inside{0};
    std::atomic<bool> overlap{false};
    CountingThread thread(lock, inside, overlap);
    std::this_thread::sleep_for(20ms); // nothing may happen meanwhile; not a synchronisation
    EXPECT_EQ(thread.passes.load(), 0);
    thread.resume();
    EXPECT_TRUE(waitUntil([&] { return thread.passes.load() > 3; }));
}

TEST(ThreadBase, PassesOfOneMappingNeverOverlap) {
    BCBLock lock;
    std::atomic<int> inside{0};
    std::atomic<bool> overlap{false};
    std::vector<std::unique_ptr<CountingThread>> threads;
    for (int i = 0; i < 9; ++i)
        threads.push_back(std::make_unique<CountingThread>(lock, inside, overlap));
    for (auto& t : threads)
        t->resume();
    EXPECT_TRUE(waitUntil([&] {
        for (auto& t : threads)
            if (t->passes.load() < 20)
                return false;
        return true;
    }));
    threads.clear();
    EXPECT_FALSE(overlap.load());
}

TEST(ThreadBase, ReleaseWaitsForTheRunningPassToFinish) {
    BCBLock lock;
    std::atomic<int> inside{0};
    std::atomic<bool> overlap{false};
    auto thread = std::make_unique<CountingThread>(lock, inside, overlap);
    thread->holdPass = true;
    thread->resume();
    ASSERT_TRUE(waitUntil([&] { return inside.load() == 1; }));
    std::atomic<bool> released{false};
    std::thread releaser([&] {
        thread->release();
        released = true;
    });
    std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(released.load()) << "release returned while a pass was still running";
    const int before = thread->passes.load();
    thread->holdPass = false;
    releaser.join();
    EXPECT_EQ(inside.load(), 0);
    EXPECT_EQ(thread->passes.load(), before + 1) << "the running pass finishes, no further pass starts";
}

TEST(ThreadBase, MessagesAreTakenOnePerPassInOrder) {
    Worker2 worker(true);
    std::vector<int> seen;
    std::mutex m;
    for (int i = 0; i < 5; ++i)
        worker.post([&, i] {
            std::lock_guard g(m);
            seen.push_back(i);
        });
    EXPECT_EQ(worker.pendingMessages(), 5u);
    worker.resume();
    ASSERT_TRUE(waitUntil([&] {
        std::lock_guard g(m);
        return seen.size() == 5;
    }));
    EXPECT_EQ(seen, (std::vector<int>{0, 1, 2, 3, 4}));
}

TEST(ThreadBase, PostedMessageAndTerminateEndTheWaitEarly) {
    // Each wait lasts ten minutes unless something ends it, so within the deadlines below
    // only the post and the terminate request can have ended one.
    Worker2 worker(false, 10min);
    ASSERT_TRUE(waitUntil([&] { return worker.waitsBegun.load() == 1; }));
    std::atomic<bool> ran{false};
    worker.post([&] { ran = true; });
    EXPECT_TRUE(waitUntil([&] { return ran.load(); }, 20s));
    EXPECT_EQ(worker.loops.load(), 1) << "the post ended the first wait";
    ASSERT_TRUE(waitUntil([&] { return worker.waitsBegun.load() == 2; }));

    std::atomic<bool> released{false};
    std::thread releaser([&] {
        worker.release();
        released = true;
    });
    const bool endedInTime = waitUntil([&] { return released.load(); }, 20s);
    if (!endedInTime)
        worker.post([] {}); // let the stuck wait end, so the test can finish and report
    releaser.join();
    EXPECT_TRUE(endedInTime) << "terminate did not end the second wait";
    EXPECT_FALSE(worker.running());
}

TEST(ThreadBase, SyncLockReleasesOnException) {
    BCBLock lock;
    try {
        SyncLock hold(lock);
        throw 1;
    } catch (int) {
    }
    std::atomic<bool> got{false};
    std::thread other([&] {
        SyncLock hold(lock);
        got = true;
    });
    other.join();
    EXPECT_TRUE(got.load());
}
