#pragma once
// A TCP connect that goes on between a thread's passes. The connecting threads run their
// passes under the mapping's lock, which the data pumps need as well; a connect that waited
// for the peer there would stop the mapping's data for as long as the peer took to answer.

#include <chrono>
#include <poll.h>
#include <vector>

#include "bridge/portable_sock.h"
#include "platform/time_source.h"

class PendingConnect {
public:
    enum class Outcome { Pending, Connected, Failed };

    // Starts connecting `sock` (owned by the caller, who keeps it in its record) and gives
    // it until `limit` from now, as `time` counts it.
    Outcome start(SocketHandle sock, const Winsock_sockaddr_in* address, std::chrono::milliseconds limit,
                  const TimeSource& time = steadyTime());
    // How the connect stands; a connect past its limit has failed. Either end clears it.
    Outcome check();
    // Forgets the connect (its socket is the owner's to close).
    void clear() { m_sock = 0; }

    bool pending() const { return m_sock > 0; }
    // Why the last connect failed (an errno value; ETIMEDOUT past the limit), 0 if it did not.
    int failure() const { return m_failure; }
    SocketHandle socket() const { return m_sock; }
    // For the idle wait: the socket becomes writable when the connect ends either way...
    void addWaitSource(std::vector<pollfd>& sources) const;
    // ...and the wait must end by the limit, whatever else bounds it.
    std::chrono::milliseconds timeLeft(std::chrono::milliseconds bound) const;

private:
    SocketHandle m_sock = 0;
    int m_failure = 0;
    const TimeSource* m_time = &steadyTime();
    TimeSource::time_point m_deadline{};
};
