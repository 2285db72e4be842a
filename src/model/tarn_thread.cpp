#include "model/tarn_thread.h"

#include "bridge/connection_builder.h"
#include "bridge/data_pumps.h"
#include "control/session_threads.h"

namespace {

template <class Thread> std::unique_ptr<ThreadInterface> makeSuspended(LockInterface& lock, TARNINFO* tarnInfo) {
    return std::make_unique<Thread>(true, lock, tarnInfo);
}

} // namespace

TARNThread::TARNThread(TARNINFO* tarnInfo) : lock(std::make_unique<BCBLock>()) {
    tarnTXThread = makeSuspended<::tarnTXThread>(*lock, tarnInfo);
    tarnRXThread = makeSuspended<::tarnRXThread>(*lock, tarnInfo);
    netTXThread = makeSuspended<::netTXThread>(*lock, tarnInfo);
    netRXThread = makeSuspended<::netRXThread>(*lock, tarnInfo);
    mek_ncp_signalSet = makeSuspended<::mek_ncp_signalSet>(*lock, tarnInfo);
    ConnectionBuilder = makeSuspended<::ConnectionBuilder>(*lock, tarnInfo);
    mek_ncp_RxThread = makeSuspended<::mek_ncp_RxThread>(*lock, tarnInfo);
    mek_ncp_connBuilder = makeSuspended<::mek_ncp_connBuilder>(*lock, tarnInfo);
    mek_ncp_heartBeat = makeSuspended<::mek_ncp_heartBeat>(*lock, tarnInfo);
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
