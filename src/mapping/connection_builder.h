#pragma once
// Makes and remakes a mapping's TCP data connection while its port is open: as server it
// accepts one connection at a time, as client it reconnects after every loss.

#include <chrono>
#include <optional>
#include <vector>

#include "bridge/pending_connect.h"
#include "mapping/mapping_thread.h"

class ConnectionBuilder : public ThreadInterface {
public:
    ConnectionBuilder(bool createSuspended, LockInterface& lock, TARNINFO* tarnInfo);
    ~ConnectionBuilder() override;

protected:
    void pass() override;
    std::chrono::milliseconds passPeriod() const override { return std::chrono::milliseconds(30); }
    // Busy while a client connects or a listener is to be set up; a server waits for a
    // connection on its listener; connected, it waits for the loss.
    bool hasPendingWork() const override;
    void idleWaitSources(std::vector<pollfd>& sources) const override;
    std::chrono::milliseconds idleTimeout() const override;

private:
    // The state in which a pass tries to connect or accept.
    bool connecting() const;
    void serverPass();
    void clientPass();
    // Acts on how the client's connect stands.
    void settle(PendingConnect::Outcome outcome);
    void connectFailed();
    // The connect of clientPass() has succeeded: the connection is the mapping's.
    void clientConnected();
    // A connect left pending when the mapping stops wanting it is given up with its socket.
    void dropStaleConnect();
    void udpBindPass();
    bool waitingToBind() const;

    // The listening socket has been set up (successfully or not; it is not retried).
    bool m_listening = false;
    // While the local port cannot be bound: the next try, a few seconds on.
    TimeSource::time_point m_nextBind{};
    // An accept has found nothing since the last connection was accepted.
    bool m_relisten = false;
    // When the client last tried to connect: attempts are kept at least a pass period apart.
    std::optional<TimeSource::time_point> m_lastAttempt;
    // The client's connect while it goes on; its socket is the mapping's data socket.
    PendingConnect m_connect;
    int m_loggedFailure = 0; // the reason last logged for this outage
};
