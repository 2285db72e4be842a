// The main-loop queue, the message logs, the worker and the processor pinning.

#include <atomic>
#include <gtest/gtest.h>
#include <poll.h>
#include <regex>
#include <sched.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "core/affinity.h"
#include "core/event_queue.h"
#include "core/message_logs.h"
#include "core/worker.h"
#include "support/wait.h"

namespace {

using testsupport::waitUntil;

using namespace std::chrono_literals;

TEST(EventQueue, RunsTasksFromManyThreadsInPostOrderPerThreadOnTheDrainingThread) {
    core::EventQueue queue;
    queue.adoptCurrentThread();
    constexpr int kThreads = 4, kPerThread = 500;
    std::vector<std::vector<int>> seen(kThreads);
    std::atomic<int> wrongThread{0};
    const auto mainId = std::this_thread::get_id();
    {
        std::vector<std::thread> posters;
        for (int t = 0; t < kThreads; ++t) {
            posters.emplace_back([&, t] {
                for (int i = 0; i < kPerThread; ++i)
                    queue.post([&, t, i] {
                        if (std::this_thread::get_id() != mainId)
                            ++wrongThread;
                        seen[static_cast<std::size_t>(t)].push_back(i);
                    });
            });
        }
        std::size_t ran = 0;
        for (auto& p : posters)
            p.join();
        ran += queue.drain();
        EXPECT_EQ(ran, static_cast<std::size_t>(kThreads * kPerThread));
    }
    EXPECT_EQ(wrongThread.load(), 0);
    for (const auto& list : seen) {
        ASSERT_EQ(list.size(), static_cast<std::size_t>(kPerThread));
        for (int i = 0; i < kPerThread; ++i)
            EXPECT_EQ(list[static_cast<std::size_t>(i)], i);
    }
    EXPECT_TRUE(queue.onMainThread());
    bool otherIsMain = true;
    std::thread([&] { otherIsMain = queue.onMainThread(); }).join();
    EXPECT_FALSE(otherIsMain);
}

TEST(EventQueue, WaitFdSignalsPendingWorkAndWakeupRunsOnEveryPost) {
    core::EventQueue queue;
    std::atomic<int> wakeups{0};
    queue.setWakeup([&] { ++wakeups; });
    pollfd p{queue.waitFd(), POLLIN, 0};
    EXPECT_EQ(::poll(&p, 1, 0), 0);
    int ran = 0;
    std::thread([&] { queue.post([&] { ++ran; }); }).join();
    EXPECT_EQ(::poll(&p, 1, 0), 1);
    EXPECT_EQ(wakeups.load(), 1);
    EXPECT_EQ(queue.waitAndDrain(1s), 1u);
    EXPECT_EQ(ran, 1);
    EXPECT_EQ(::poll(&p, 1, 0), 0) << "drained queue must not stay readable";
    // A task posted by a task runs in the same drain.
    queue.post([&] { queue.post([&] { ++ran; }); });
    EXPECT_EQ(queue.drain(), 2u);
    EXPECT_EQ(ran, 2);
}

TEST(EventQueue, CloseDropsPendingTasksAndRefusesNewOnes) {
    core::EventQueue queue;
    int ran = 0;
    queue.post([&] { ++ran; });
    queue.close();
    queue.post([&] { ++ran; });
    EXPECT_EQ(queue.pending(), 0u);
    EXPECT_EQ(queue.drain(), 0u);
    EXPECT_EQ(ran, 0);
}

TEST(MessageLog, AppendsTimeStampedRowsAndTellsTheObserverInOrder) {
    core::MessageLog log;
    std::vector<std::string> observed;
    log.setObserver([&](const core::LogRow& row) { observed.push_back(row.text); });
    std::vector<std::thread> writers;
    for (int t = 0; t < 3; ++t)
        writers.emplace_back([&, t] {
            for (int i = 0; i < 100; ++i)
                log.append("row " + std::to_string(t) + "." + std::to_string(i));
        });
    for (auto& w : writers)
        w.join();
    const auto rows = log.rows();
    ASSERT_EQ(rows.size(), 300u);
    ASSERT_EQ(observed.size(), 300u);
    const std::regex time("^[0-2][0-9]:[0-5][0-9]:[0-6][0-9]$");
    for (std::size_t i = 0; i < rows.size(); ++i) {
        EXPECT_TRUE(std::regex_match(rows[i].time, time)) << rows[i].time;
        EXPECT_EQ(rows[i].text, observed[i]) << "observer order differs from row order at " << i;
    }
    EXPECT_EQ(log.rowsFrom(298).size(), 2u);
    EXPECT_TRUE(log.rowsFrom(300).empty());
    EXPECT_TRUE(log.rowsFrom(1000).empty());
}

TEST(MessageLog, TimeTextIsLocalTimeOfDay) {
    std::tm noon{};
    noon.tm_year = 124;
    noon.tm_mon = 0;
    noon.tm_mday = 2;
    noon.tm_hour = 13;
    noon.tm_min = 5;
    noon.tm_sec = 9;
    noon.tm_isdst = -1;
    const auto when = std::chrono::system_clock::from_time_t(std::mktime(&noon));
    EXPECT_EQ(core::logTimeText(when), "13:05:09");
}

struct WorkerRecord {
    std::mutex mutex;
    std::vector<std::string> calls;
    void add(const std::string& call) {
        std::lock_guard guard(mutex);
        calls.push_back(call);
    }
    std::vector<std::string> get() {
        std::lock_guard guard(mutex);
        return calls;
    }
};

Worker::Hooks recordingHooks(WorkerRecord& record) {
    Worker::Hooks hooks;
    hooks.loadMappings = [&] { record.add("load"); };
    hooks.startUpDone = [&] { record.add("startUpDone"); };
    hooks.search = [&] { record.add("search"); };
    hooks.searchDone = [&] { record.add("searchDone"); };
    hooks.openWebPage = [&](const std::string& url) { record.add("open " + url); };
    hooks.webPageDone = [&] { record.add("webPageDone"); };
    return hooks;
}

TEST(Worker, StartUpLoadsThenSearchesOnceAndIsNotRepeated) {
    WorkerRecord record;
    Worker worker(recordingHooks(record), 5ms);
    worker.startIfRunning();
    worker.setCommand(Worker::kStartUp);
    ASSERT_TRUE(waitUntil([&] { return worker.completedCommands() >= 1; }));
    EXPECT_TRUE(worker.startUpDone());
    EXPECT_EQ(record.get(), (std::vector<std::string>{"load", "startUpDone", "search", "searchDone"}));
    EXPECT_EQ(worker.command(), Worker::kIdle);

    // A second start-up command stays set and does nothing; a search still runs after it.
    worker.setCommand(Worker::kStartUp);
    worker.setCommand(Worker::kSearch);
    ASSERT_TRUE(waitUntil([&] { return worker.completedCommands() >= 2; }));
    EXPECT_EQ(record.get().size(), 6u);
    EXPECT_EQ(record.get()[4], "search");
    worker.release();
    EXPECT_FALSE(worker.running());
}

TEST(Worker, StartUpWithoutSearchOnlyLoads) {
    WorkerRecord record;
    Worker::Hooks hooks = recordingHooks(record);
    hooks.searchAtStartUp = false;
    Worker worker(std::move(hooks), 5ms);
    worker.startIfRunning();
    worker.setCommand(Worker::kStartUp);
    ASSERT_TRUE(waitUntil([&] { return worker.completedCommands() >= 1; }));
    EXPECT_EQ(record.get(), (std::vector<std::string>{"load", "startUpDone"}));
}

TEST(Worker, WebPageAddressIsCutToTheBufferAndTheBoxIsClosedAfterwards) {
    WorkerRecord record;
    Worker worker(recordingHooks(record), 5ms);
    worker.startIfRunning();
    const std::string longAddress = "http://" + std::string(200, '9');
    worker.openWebPage(longAddress);
    ASSERT_TRUE(waitUntil([&] { return worker.completedCommands() >= 1; }));
    const auto calls = record.get();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0], "open " + longAddress.substr(0, 99));
    EXPECT_EQ(calls[1], "webPageDone");
}

TEST(Worker, ReleaseEndsAnIdleWorkerWithoutWaitingOutItsPeriod) {
    WorkerRecord record;
    auto worker = std::make_unique<Worker>(recordingHooks(record), std::chrono::hours(1));
    worker->startIfRunning();
    ASSERT_TRUE(waitUntil([&] { return worker->running(); }));
    worker->release(); // returns only because terminate wakes the wait
    EXPECT_FALSE(worker->running());
    EXPECT_TRUE(record.get().empty());
}

// Pinning must reach threads that already run, not only the caller: checked in a child so
// the test process keeps its own processors.
TEST(Affinity, PinsEveryThreadToTheFirstPermittedProcessor) {
    std::fflush(nullptr);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        cpu_set_t permitted;
        CPU_ZERO(&permitted);
        ::sched_getaffinity(0, sizeof permitted, &permitted);
        int first = -1;
        for (int cpu = 0; cpu < CPU_SETSIZE && first < 0; ++cpu)
            if (CPU_ISSET(cpu, &permitted))
                first = cpu;
        std::atomic<bool> stop{false};
        std::atomic<int> helperCount{-1};
        std::atomic<bool> pinned{false};
        std::thread helper([&] {
            waitUntil([&] { return pinned.load(); });
            cpu_set_t mine;
            CPU_ZERO(&mine);
            ::sched_getaffinity(0, sizeof mine, &mine);
            helperCount.store(CPU_COUNT(&mine) == 1 && CPU_ISSET(first, &mine) ? 1 : 0);
            waitUntil([&] { return stop.load(); });
        });
        const auto cpu = core::pinToFirstPermittedCpu();
        pinned.store(true);
        waitUntil([&] { return helperCount.load() >= 0; });
        stop.store(true);
        helper.join();
        cpu_set_t mine;
        CPU_ZERO(&mine);
        ::sched_getaffinity(0, sizeof mine, &mine);
        const bool ok =
            cpu && *cpu == first && helperCount.load() == 1 && CPU_COUNT(&mine) == 1 && CPU_ISSET(first, &mine);
        ::_exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

} // namespace
