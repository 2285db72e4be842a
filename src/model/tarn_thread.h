#pragma once
// The nine threads of one mapping and the lock they share.

#include <functional>
#include <memory>

#include "bridge/lock_interface.h"
#include "bridge/thread_interface.h"

struct TARNINFO;
struct TARNThread;

// Makes a mapping's nine threads into a new set: the layer that knows the threads (above the
// records) hands it to the lists, so that the records depend on nothing above them.
using ThreadMaker = std::function<void(TARNThread& threads, TARNINFO* tarnInfo)>;

struct TARNThread {
    // A new lock and, when `maker` is given, the nine threads it makes.
    TARNThread(TARNINFO* tarnInfo, const ThreadMaker& maker);
    // Ends the threads (if release() was not called yet), then frees the lock.
    ~TARNThread();
    TARNThread(const TARNThread&) = delete;
    TARNThread& operator=(const TARNThread&) = delete;

    void resumeAll();
    // Sets every terminate request; does not wait.
    void terminateAll();
    // Asks every thread to end, waits for each in the fixed release order, then releases
    // the lock. The mapping's records may be released only after this.
    void release();

    std::unique_ptr<ThreadInterface2> tarnTXThread;
    std::unique_ptr<ThreadInterface2> tarnRXThread;
    std::unique_ptr<ThreadInterface2> netTXThread;
    std::unique_ptr<ThreadInterface2> netRXThread;
    std::unique_ptr<ThreadInterface2> ConnectionBuilder;
    std::unique_ptr<ThreadInterface2> mek_ncp_RxThread;
    std::unique_ptr<ThreadInterface2> mek_ncp_connBuilder;
    std::unique_ptr<ThreadInterface2> mek_ncp_heartBeat;
    std::unique_ptr<ThreadInterface2> mek_ncp_signalSet;
    std::unique_ptr<LockInterface> lock;
};
