#pragma once
// The four threads of a mapping's control connection. Their passes are placeholders until
// the control session is built: they keep the thread set complete and do nothing.

#include "bridge/thread_interface.h"

class mek_ncp_RxThread : public ThreadInterface {
public:
    mek_ncp_RxThread(bool createSuspended, LockInterface& lock, TARNINFO* tarnInfo);
    ~mek_ncp_RxThread() override;

protected:
    void pass() override {}
};

class mek_ncp_connBuilder : public ThreadInterface {
public:
    mek_ncp_connBuilder(bool createSuspended, LockInterface& lock, TARNINFO* tarnInfo);
    ~mek_ncp_connBuilder() override;

protected:
    void pass() override {}
};

// Its loop body is empty: the thread ends as soon as it is resumed.
class mek_ncp_heartBeat : public ThreadInterface {
public:
    mek_ncp_heartBeat(bool createSuspended, LockInterface& lock, TARNINFO* tarnInfo);
    ~mek_ncp_heartBeat() override;

protected:
    void execute() override {}
    void pass() override {}
};

class mek_ncp_signalSet : public ThreadInterface {
public:
    mek_ncp_signalSet(bool createSuspended, LockInterface& lock, TARNINFO* tarnInfo);
    ~mek_ncp_signalSet() override;

protected:
    void pass() override {}
};
