#include "mapping/thread_set.h"

#include "mapping/connection_builder.h"
#include "mapping/data_pumps.h"
#include "mapping/session_threads.h"

namespace {

template <class Thread, class... Extra>
std::unique_ptr<ThreadInterface2> makeSuspended(const TimeSource& time, LockInterface& lock, TARNINFO* tarnInfo,
                                                Extra... extra) {
    auto thread = std::make_unique<Thread>(true, lock, tarnInfo, extra...);
    thread->useTime(time);
    return thread;
}

} // namespace

void makeMappingThreadsUsing(TARNThread& threads, TARNINFO* tarnInfo, const DeviceList* devices,
                             const TimeSource& time) {
    LockInterface& lock = *threads.lock;
    threads.tarnTXThread = makeSuspended<::tarnTXThread>(time, lock, tarnInfo);
    threads.tarnRXThread = makeSuspended<::tarnRXThread>(time, lock, tarnInfo);
    threads.netTXThread = makeSuspended<::netTXThread>(time, lock, tarnInfo);
    threads.netRXThread = makeSuspended<::netRXThread>(time, lock, tarnInfo);
    threads.mek_ncp_signalSet = makeSuspended<::mek_ncp_signalSet>(time, lock, tarnInfo);
    threads.ConnectionBuilder = makeSuspended<::ConnectionBuilder>(time, lock, tarnInfo);
    threads.mek_ncp_RxThread = makeSuspended<::mek_ncp_RxThread>(time, lock, tarnInfo);
    threads.mek_ncp_connBuilder = makeSuspended<::mek_ncp_connBuilder>(time, lock, tarnInfo, devices);
    threads.mek_ncp_heartBeat = makeSuspended<::mek_ncp_heartBeat>(time, lock, tarnInfo);
}
