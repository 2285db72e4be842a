#include "mapping/thread_set.h"

#include "mapping/connection_builder.h"
#include "mapping/data_pumps.h"
#include "mapping/session_threads.h"

namespace {

template <class Thread> std::unique_ptr<ThreadInterface2> makeSuspended(LockInterface& lock, TARNINFO* tarnInfo) {
    return std::make_unique<Thread>(true, lock, tarnInfo);
}

} // namespace

void makeMappingThreads(TARNThread& threads, TARNINFO* tarnInfo) {
    LockInterface& lock = *threads.lock;
    threads.tarnTXThread = makeSuspended<::tarnTXThread>(lock, tarnInfo);
    threads.tarnRXThread = makeSuspended<::tarnRXThread>(lock, tarnInfo);
    threads.netTXThread = makeSuspended<::netTXThread>(lock, tarnInfo);
    threads.netRXThread = makeSuspended<::netRXThread>(lock, tarnInfo);
    threads.mek_ncp_signalSet = makeSuspended<::mek_ncp_signalSet>(lock, tarnInfo);
    threads.ConnectionBuilder = makeSuspended<::ConnectionBuilder>(lock, tarnInfo);
    threads.mek_ncp_RxThread = makeSuspended<::mek_ncp_RxThread>(lock, tarnInfo);
    threads.mek_ncp_connBuilder = makeSuspended<::mek_ncp_connBuilder>(lock, tarnInfo);
    threads.mek_ncp_heartBeat = makeSuspended<::mek_ncp_heartBeat>(lock, tarnInfo);
}
