#pragma once
// Makes and remakes a mapping's TCP data connection while its port is open: as server it
// accepts one connection at a time, as client it reconnects after every loss.

#include <chrono>

#include "bridge/thread_interface.h"

class ConnectionBuilder : public ThreadInterface {
public:
    ConnectionBuilder(bool createSuspended, LockInterface& lock, TARNINFO* tarnInfo);
    ~ConnectionBuilder() override;

protected:
    void pass() override;
    std::chrono::milliseconds passPeriod() const override { return std::chrono::milliseconds(30); }

private:
    void serverPass();
    void clientPass();

    // The listening socket has been set up (successfully or not; it is not retried).
    bool m_listening = false;
    // An accept has found nothing since the last connection was accepted.
    bool m_relisten = false;
};
