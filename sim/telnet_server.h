#pragma once
// The device's half of a Telnet data connection on which the host sets the serial line in
// band (the COM port option): negotiation, framing both ways, and the line commands.

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace devsim {

class SerialSide;
struct SerialLine;

// Whether the data connection speaks Telnet, and whether it takes the COM port option.
enum class ComPortControl { Off, On, Refuse };

// Modem line bits of the state byte the device reports.
inline constexpr std::uint8_t kModemCts = 0x10;
inline constexpr std::uint8_t kModemDsr = 0x20;
inline constexpr std::uint8_t kModemRi = 0x40;
inline constexpr std::uint8_t kModemDcd = 0x80;

class TelnetServer {
public:
    using EventHandler = std::function<void(const std::string&)>;

    // Replies and framed serial bytes are appended to `toNetwork`; the owner sends them.
    TelnetServer(ComPortControl mode, SerialSide& serial, std::vector<std::uint8_t>& toNetwork, EventHandler events);

    // A new connection: forgets the last one and offers binary and no go-ahead both ways.
    void begin();
    void end();
    // Bytes from the host; their data goes to the serial side, which must have room.
    void fromNetwork(const std::uint8_t* data, std::size_t size);
    // Bytes from the serial line, held while the host has suspended them.
    void fromSerial(const std::uint8_t* data, std::size_t size);
    std::size_t held() const { return m_held.size(); }
    // New modem lines (kModem* bits). Returns the byte reported to the host, or nullopt when no
    // host has the option; the state then goes out when one agrees it.
    std::optional<std::uint8_t> setModemLines(std::uint8_t lines);

private:
    enum class State { Data, Iac, Verb, Sub, SubIac };
    struct Option {
        bool local = false;
        bool remote = false;
        bool localAsked = false;  // our WILL awaits an answer
        bool remoteAsked = false; // our DO awaits an answer
    };
    static constexpr std::size_t kSubLimit = 128;

    void afterIac(std::uint8_t byte);
    void negotiate(std::uint8_t verb, std::uint8_t option);
    void keepSub(std::uint8_t byte);
    void finishSub();
    void comPortCommand(std::uint8_t code, const std::uint8_t* value, std::size_t size);
    void setControl(std::uint8_t asked);
    // Applies one field of the line when `valid`; false when nothing changed.
    bool changeLine(bool valid, const std::function<void(SerialLine&)>& change);
    void noteLine(const std::string& inForce, std::uint32_t asked, bool changed);
    void passData();
    void sendVerb(std::uint8_t verb, std::uint8_t option);
    void reply(std::uint8_t code, const std::vector<std::uint8_t>& value);
    void appendEscaped(const std::uint8_t* data, std::size_t size);
    void malformed();

    ComPortControl m_mode;
    SerialSide& m_serial;
    std::vector<std::uint8_t>& m_out;
    EventHandler m_events;

    // One connection's conversation.
    State m_state = State::Data;
    std::uint8_t m_verb = 0;
    std::array<Option, 256> m_options{};
    std::vector<std::uint8_t> m_data; // data bytes of the current input, for the serial side
    std::vector<std::uint8_t> m_sub;
    bool m_subOverflow = false;
    bool m_malformedSeen = false;
    bool m_suspended = false;
    std::vector<std::uint8_t> m_held;
    std::uint8_t m_lineStateMask = 0; // answered only: this line never reports line state
    std::uint8_t m_modemStateMask = 0xFF;

    // The line's own state, kept between connections. Control codes in force per group: flow,
    // break, DTR, RTS, inbound flow (flow none, break off, DTR on, RTS on, inbound none).
    std::array<std::uint8_t, 5> m_control{1, 6, 8, 11, 14};
    std::uint8_t m_modemLines = 0;
};

} // namespace devsim
