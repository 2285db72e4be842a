#pragma once
// The nine threads of one mapping and the lock they share.

#include <memory>

#include "bridge/lock_interface.h"
#include "bridge/thread_interface.h"

struct TARNINFO;

struct TARNThread {
    // Creates the nine threads suspended, all on one new lock, in the fixed creation order.
    explicit TARNThread(TARNINFO* tarnInfo);
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

    std::unique_ptr<ThreadInterface> tarnTXThread;
    std::unique_ptr<ThreadInterface> tarnRXThread;
    std::unique_ptr<ThreadInterface> netTXThread;
    std::unique_ptr<ThreadInterface> netRXThread;
    std::unique_ptr<ThreadInterface> ConnectionBuilder;
    std::unique_ptr<ThreadInterface> mek_ncp_RxThread;
    std::unique_ptr<ThreadInterface> mek_ncp_connBuilder;
    std::unique_ptr<ThreadInterface> mek_ncp_heartBeat;
    std::unique_ptr<ThreadInterface> mek_ncp_signalSet;
    std::unique_ptr<LockInterface> lock;
};
