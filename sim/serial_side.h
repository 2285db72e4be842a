#pragma once
// The serial line of a simulated device: either a loop-back (every byte from the network
// comes straight back) or a pseudo-terminal that a second application opens to play the
// serial device. Flow in both directions pauses instead of dropping bytes when one side
// cannot take more.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "reactor.h"
#include "unique_fd.h"

namespace devsim {

// Codes as hosts send them in band over Telnet, so they pass through unchanged.
enum class Parity : std::uint8_t { None = 1, Odd, Even, Mark, Space };
enum class StopBits : std::uint8_t { One = 1, Two, OneAndHalf };

// Rate and character format of the serial line.
struct SerialLine {
    std::uint32_t baud = 9600;
    std::uint8_t dataBits = 8;
    Parity parity = Parity::None;
    StopBits stopBits = StopBits::One;
};

// What the serial side needs from the network side.
class SerialSink {
public:
    virtual ~SerialSink() = default;
    virtual bool networkHasRoom() const = 0;
    virtual void fromSerial(const std::uint8_t* data, std::size_t size) = 0;
    // The serial side can take network bytes again after refusing them.
    virtual void serialRoomAvailable() = 0;
};

class SerialSide {
public:
    virtual ~SerialSide() = default;
    void setSink(SerialSink* sink) { m_sink = sink; }
    virtual bool start(std::string& error) = 0;
    // Bytes from the network towards the serial line; call only while hasRoom().
    virtual void toSerial(const std::uint8_t* data, std::size_t size) = 0;
    virtual bool hasRoom() const = 0;
    // The network side can take serial bytes again.
    virtual void networkRoomAvailable() {}
    const SerialLine& line() const { return m_line; }
    // False, with nothing changed, when the line cannot run with these settings.
    virtual bool applyLine(const SerialLine& line) {
        m_line = line;
        return true;
    }
    // The serial rate the host asked for over the control connection.
    void applyBaudRate(std::uint32_t rate) {
        SerialLine next = m_line;
        next.baud = rate;
        applyLine(next);
    }
    // Discards bytes the line received and nobody has taken yet, and/or bytes not yet sent on it.
    virtual void purge(bool /*received*/, bool /*unsent*/) {}

    // "echo", "pty:PATH" or "none"; nullptr for anything else.
    static std::unique_ptr<SerialSide> create(const std::string& description, Reactor& reactor);

protected:
    SerialSink* m_sink = nullptr;
    SerialLine m_line;
};

class EchoSerial : public SerialSide {
public:
    bool start(std::string&) override { return true; }
    void toSerial(const std::uint8_t* data, std::size_t size) override;
    bool hasRoom() const override { return m_sink && m_sink->networkHasRoom(); }
};

// A serial line with nothing attached: bytes from the network vanish.
class NullSerial : public SerialSide {
public:
    bool start(std::string&) override { return true; }
    void toSerial(const std::uint8_t*, std::size_t) override {}
    bool hasRoom() const override { return true; }
};

class PtySerial : public SerialSide {
public:
    PtySerial(Reactor& reactor, std::string linkPath);
    ~PtySerial() override;
    bool start(std::string& error) override;
    void toSerial(const std::uint8_t* data, std::size_t size) override;
    bool hasRoom() const override { return m_toPty.size() < kHighWater; }
    void networkRoomAvailable() override { updateInterest(); }
    bool applyLine(const SerialLine& line) override;
    void purge(bool received, bool unsent) override;

private:
    static constexpr std::size_t kHighWater = 64 * 1024;
    void onEvents(std::uint32_t events);
    void flush();
    void updateInterest();

    Reactor& m_reactor;
    std::string m_linkPath;
    bool m_linked = false;
    UniqueFd m_master;
    // Held open so the master never reports a hang-up while the application has the slave
    // closed, and so the raw line settings persist between its openings.
    UniqueFd m_slave;
    std::vector<std::uint8_t> m_toPty;
    std::uint32_t m_interest = 0;
};

} // namespace devsim
