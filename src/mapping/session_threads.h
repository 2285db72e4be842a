#pragma once
// The four threads of a mapping's control connection: connection, receive, line settings
// and signals, heartbeat. Each pass runs under the mapping's lock and works on the mapping's
// TARNINFO and its mek_ncp record.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "bridge/pending_connect.h"
#include "mapping/mapping_thread.h"

class DeviceList;
class TVSPortAx;

// Receives what the device sends and handles it message by message. A message may arrive in
// pieces and several may arrive in one read: the start of an incomplete one is kept in the
// record's rxBuffer for the next pass.
class mek_ncp_RxThread : public ThreadInterface {
public:
    mek_ncp_RxThread(bool createSuspended, LockInterface& lock, TARNINFO* tarnInfo);
    ~mek_ncp_RxThread() override;

protected:
    void pass() override;
    // Idle between messages: woken by the control socket.
    bool hasPendingWork() const override { return false; }
    void idleWaitSources(std::vector<pollfd>& sources) const override;
};

// Opens the control connection to the device's control port while the port is open and the
// data connection is up: at most kAttemptLimit attempts until the port is closed again.
class mek_ncp_connBuilder : public ThreadInterface {
public:
    static constexpr std::int32_t kAttemptLimit = 2;

    // `devices`: where the control port is looked up (option type 5 of the device whose IP is
    // the mapping's peer); it outlives the thread. Without a list no device has a control
    // port, so the protocol is switched off at the first attempt.
    mek_ncp_connBuilder(bool createSuspended, LockInterface& lock, TARNINFO* tarnInfo,
                        const DeviceList* devices = nullptr);
    ~mek_ncp_connBuilder() override;

    // A connect has been started and its end not yet seen by a pass.
    bool connectUnderWay() const { return m_connect.pending(); }

protected:
    void pass() override;
    // Busy while an attempt is due; otherwise woken when the data connection or the port
    // changes, or when the connect under way ends.
    bool hasPendingWork() const override;
    void idleWaitSources(std::vector<pollfd>& sources) const override;
    std::chrono::milliseconds idleTimeout() const override;

private:
    // Whether the session is wanted and not up: the state in which attempts are made.
    bool wanted() const;
    void attempt();
    // Tells the device the application hung up, as the port's close is seen.
    void hangUp();
    // Acts on how the connect stands: on success the session is up.
    void settle(PendingConnect::Outcome outcome);

    std::int32_t m_attempts = 0;
    const DeviceList* const m_devices;
    PendingConnect m_connect;
    std::uint16_t m_port = 0;
};

// Its loop body is empty: the thread ends as soon as it is resumed. The protocol has no
// periodic message.
class mek_ncp_heartBeat : public ThreadInterface {
public:
    mek_ncp_heartBeat(bool createSuspended, LockInterface& lock, TARNINFO* tarnInfo);
    ~mek_ncp_heartBeat() override;

protected:
    void execute() override {}
    void pass() override {}
};

// Sends the port's line settings (0x01) and RTS/DTR (0x15) when the application changes them,
// and puts the device's CTS, DSR, DCD and RI on the port at every pass.
class mek_ncp_signalSet : public ThreadInterface {
public:
    // The longest an application's new line settings wait while the session is up.
    static constexpr std::chrono::milliseconds kSessionIdleTimeout{50};

    mek_ncp_signalSet(bool createSuspended, LockInterface& lock, TARNINFO* tarnInfo);
    ~mek_ncp_signalSet() override;

protected:
    void pass() override;
    // No descriptor reports an application's change of the line settings, so while the
    // session is up the idle wait is short enough for the device to follow promptly.
    bool hasPendingWork() const override { return false; }
    std::chrono::milliseconds idleTimeout() const override;
};

// The control port that an option-5 value names: its bytes read as one big-endian number.
// Empty when the value names no TCP port (no bytes, 0, or more than 65535), so a malformed
// option can never send the connection to a port the device did not mean.
std::optional<std::uint16_t> controlPortFromOption(std::span<const std::uint8_t> value);

// The device's input lines as the port reports them to the application, in signal-byte bits
// (kSignalCts, kSignalDsr, kSignalDcd, kSignalRi).
std::uint8_t portInputSignals(const TVSPortAx& port);
// "CTS on, DSR on, DCD off, RI off" for a mapping's detail line.
std::string inputSignalsText(std::uint8_t lines);
