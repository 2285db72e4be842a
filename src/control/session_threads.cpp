#include "control/session_threads.h"

// Each destructor ends the loop before the derived part goes away.

mek_ncp_RxThread::mek_ncp_RxThread(bool createSuspended, LockInterface& lock, TARNINFO* tarnInfo)
    : ThreadInterface(createSuspended, lock, tarnInfo) {}
mek_ncp_RxThread::~mek_ncp_RxThread() { release(); }

mek_ncp_connBuilder::mek_ncp_connBuilder(bool createSuspended, LockInterface& lock, TARNINFO* tarnInfo)
    : ThreadInterface(createSuspended, lock, tarnInfo) {}
mek_ncp_connBuilder::~mek_ncp_connBuilder() { release(); }

mek_ncp_heartBeat::mek_ncp_heartBeat(bool createSuspended, LockInterface& lock, TARNINFO* tarnInfo)
    : ThreadInterface(createSuspended, lock, tarnInfo) {}
mek_ncp_heartBeat::~mek_ncp_heartBeat() { release(); }

mek_ncp_signalSet::mek_ncp_signalSet(bool createSuspended, LockInterface& lock, TARNINFO* tarnInfo)
    : ThreadInterface(createSuspended, lock, tarnInfo) {}
mek_ncp_signalSet::~mek_ncp_signalSet() { release(); }
