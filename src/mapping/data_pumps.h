#pragma once
// The four pumps that move a mapping's bytes, each one hop in one direction, one chunk per
// pass under the mapping's lock:
//   tarnRXThread  port -> portToNet ring   (512 bytes, paces the application)
//   netTXThread   portToNet ring -> network (1400 bytes: one TCP send or one datagram)
//   netRXThread   network -> netToPort ring (2048 bytes, only when the ring has room)
//   tarnTXThread  netToPort ring -> port   (512 bytes, only what the port took)
// Open and close act as on a serial port: what the application wrote before it closed the
// port still goes out (for kClosingWait), what the peer sent before it hung up is still
// delivered, and what the peer sends while the port is closed is dropped.

#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

#include "mapping/mapping_thread.h"

inline constexpr std::uint32_t kPortChunk = 512;
inline constexpr std::uint32_t kNetSendChunk = 1400;
inline constexpr std::uint32_t kNetRecvChunk = 2048;

// How long bytes an application wrote before it closed the port still go out: the closing
// wait of a serial port's drain on close.
inline constexpr std::chrono::seconds kClosingWait{30};

// Reads what the application wrote and slows the port's emulated rate while the network
// falls behind.
class tarnRXThread : public ThreadInterface {
public:
    tarnRXThread(bool createSuspended, LockInterface& lock, TARNINFO* tarnInfo);
    ~tarnRXThread() override;

protected:
    void pass() override;
    // Busy while the application's bytes wait; idle, it wakes when the application writes.
    bool hasPendingWork() const override;
    // Busy, it waits until the port's rate lets a batch through; while the backlog is over
    // its limit it keeps the fixed cadence, since each pass then takes the rate down a step.
    std::optional<std::chrono::nanoseconds> busyWait(std::vector<pollfd>& sources) const override;
    void idleWaitSources(std::vector<pollfd>& sources) const override;
    std::chrono::milliseconds idleTimeout() const override;

private:
    // The port is closed: starts, continues or ends the drain of what its application wrote.
    // True while bytes still go out.
    bool drainAfterClose();

    // Pacing is set up from the application's rate once per open period, and again whenever
    // the application chooses another rate.
    bool m_paced = false;
    std::int32_t m_baseBaud = 0;
    std::uint32_t m_lastRead = 0; // bytes the last pass moved
};

// Delivers received bytes to the application.
class tarnTXThread : public ThreadInterface {
public:
    tarnTXThread(bool createSuspended, LockInterface& lock, TARNINFO* tarnInfo);
    ~tarnTXThread() override;

protected:
    void pass() override;
    // Busy while received bytes wait for the port; idle, the receive pump wakes it.
    bool hasPendingWork() const override;
    // Busy, it waits until the port's rate lets a batch through, or a while when the
    // application's input is full.
    std::optional<std::chrono::nanoseconds> busyWait(std::vector<pollfd>& sources) const override;
    std::uint32_t idleWakeInterest() const override { return kWakeOnState | kWakeOnNetToPort; }
    // The receive pump delivers to an idle port itself: a reply reaches the application
    // without a second wake-up.
    std::uint32_t handOffRing() const override { return kWakeOnNetToPort; }

private:
    bool m_portFull = false; // the last pass's write was cut short by the application's input
};

// Sends queued bytes to the peer.
class netTXThread : public ThreadInterface {
public:
    netTXThread(bool createSuspended, LockInterface& lock, TARNINFO* tarnInfo);
    ~netTXThread() override;

protected:
    void pass() override;
    // Busy while bytes wait to be sent (a send that would block included); idle, the read
    // pump wakes it.
    bool hasPendingWork() const override;
    // Busy, the next chunk goes at once after a send the socket took whole, and when the
    // socket can take more after one it could not; after any other failure, the fixed cadence.
    std::optional<std::chrono::nanoseconds> busyWait(std::vector<pollfd>& sources) const override;
    std::uint32_t idleWakeInterest() const override { return kWakeOnState | kWakeOnPortToNet; }
    // A TCP stream goes out in fewer, larger segments while the read pump streams: it wakes
    // for two port chunks, or when the read pump stops for a while. A datagram is sent as
    // soon as its bytes are read.
    std::uint32_t idleWakeAbove() const override;
    // The read pump sends for an idle send pump itself: a request reaches the peer without a
    // second wake-up.
    std::uint32_t handOffRing() const override { return kWakeOnPortToNet; }

private:
    enum class SendResult { None, Whole, Short, Failed };
    SendResult m_lastSend = SendResult::None;
};

// Receives from the peer; while no application holds the port, it reads and drops. Also the thread on which a close
// notification is applied.
class netRXThread : public ThreadInterface {
public:
    netRXThread(bool createSuspended, LockInterface& lock, TARNINFO* tarnInfo);
    ~netRXThread() override;

protected:
    void pass() override;
    // Waits on the socket, which stays ready while bytes remain, so the next pass comes as
    // soon as the peer sends; while the ring has no room for a chunk it waits for the port
    // write pump to make some instead. A TCP stream needs no wake-up per segment while the
    // ring holds kRefillLevel for the port: it waits until the port write pump takes the ring
    // below that, and TCP's window holds the peer back meanwhile.
    static constexpr std::uint32_t kRefillLevel = 2 * kNetRecvChunk;
    bool hasPendingWork() const override { return false; }
    void idleWaitSources(std::vector<pollfd>& sources) const override;
    std::uint32_t idleWakeInterest() const override;
    std::uint32_t idleWakeBelow() const override;

private:
    bool refilled() const;
    // Reads and drops what the peer sends while no application holds the port.
    void discardWhileClosed();
};
