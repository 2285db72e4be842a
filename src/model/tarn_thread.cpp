#include "model/tarn_thread.h"

TARNThread::TARNThread(TARNINFO* tarnInfo, const ThreadMaker& maker) : lock(std::make_unique<BCBLock>()) {
    if (maker)
        maker(*this, tarnInfo);
}

TARNThread::~TARNThread() {
    release();
}

void TARNThread::resumeAll() {
    for (auto* thread : {&tarnTXThread, &tarnRXThread, &netTXThread, &netRXThread, &ConnectionBuilder,
                         &mek_ncp_signalSet, &mek_ncp_RxThread, &mek_ncp_connBuilder, &mek_ncp_heartBeat})
        if (*thread)
            (*thread)->resume();
}

void TARNThread::terminateAll() {
    for (auto* thread : {&tarnTXThread, &tarnRXThread, &netTXThread, &netRXThread, &ConnectionBuilder,
                         &mek_ncp_signalSet, &mek_ncp_RxThread, &mek_ncp_connBuilder, &mek_ncp_heartBeat})
        if (*thread)
            (*thread)->terminate();
}

void TARNThread::release() {
    terminateAll();
    for (auto* thread : {&mek_ncp_RxThread, &mek_ncp_connBuilder, &netRXThread, &netTXThread, &tarnTXThread,
                         &tarnRXThread, &mek_ncp_signalSet, &ConnectionBuilder, &mek_ncp_heartBeat}) {
        if (*thread) {
            (*thread)->release();
            thread->reset();
        }
    }
    // Only now is no thread inside a pass that holds the lock.
    lock.reset();
}
