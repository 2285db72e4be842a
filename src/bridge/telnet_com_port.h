#pragma once
// The client side of Telnet COM port control, in band on a TCP data connection: splits what the
// device server sends into application bytes and its commands, and builds what we send back.
// No socket, thread or clock of its own: the caller feeds bytes, drains bytes and passes time.

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

class TelnetComPort {
public:
    using TimePoint = std::chrono::steady_clock::time_point;

    // Whether the server takes our line settings; once refused, the connection is a plain byte
    // pipe for the rest of its life.
    enum class ComPort { Pending, Agreed, Refused };

    // What the server can confirm, and what we keep only the latest of while it has not agreed.
    enum class Setting : std::uint8_t {
        BaudRate,
        DataSize,
        Parity,
        StopSize,
        FlowControl, // outbound or both ways
        InboundFlow,
        Break,
        Dtr,
        Rts,
        LineStateMask,
        ModemStateMask,
        Purge,
        Suspend, // asking the server to hold or resume its data; never confirmed
    };
    static constexpr std::size_t kSettingCount = 13;

    struct Notice {
        enum class Kind {
            ComPortAgreed,
            ComPortRefused,
            ComPortNoAnswer, // no answer in time: treated as refused
            MalformedSubnegotiation,
            NoAcknowledgement, // value: the Setting
            ModemStateChanged, // value: the modem state byte
            LineStateChanged,  // value: the line state byte
            SuspendChanged,    // value: 1 when the server asks us to hold our data
            ServerSignature,   // the text is serverSignature()
        };
        Kind kind;
        std::uint32_t value = 0;
        bool operator==(const Notice&) const = default;
    };

    // Modem state bits; the low nibble holds the matching "changed since last notice" bits.
    static constexpr std::uint8_t kCts = 0x10, kDsr = 0x20, kRi = 0x40, kDcd = 0x80;

    static constexpr auto kAgreeTimeout = std::chrono::seconds(5);
    static constexpr auto kAckTimeout = std::chrono::seconds(5);
    // Longer than any command we understand (a signature text is the longest).
    static constexpr std::size_t kMaxSubnegotiation = 128;
    // Our answers are made from what the server sends; one that sends without reading ours
    // loses answers beyond this rather than growing our memory.
    static constexpr std::size_t kMaxOutgoing = 4096;

    // `signature` is what we answer when the server asks who we are.
    explicit TelnetComPort(std::string signature = "tarn");

    // Queues the opening negotiation; the server's answer is awaited from `now`.
    void start(TimePoint now);
    // Splits bytes from the network: application bytes are appended to `appData`, everything
    // else is consumed. Any split of the stream between calls gives the same result.
    void receive(std::span<const std::uint8_t> in, std::vector<std::uint8_t>& appData);
    // Gives up on an agreement or a confirmation that is overdue. Call it now and then.
    void tick(TimePoint now);

    // Application bytes as they go on the wire.
    static void escape(std::span<const std::uint8_t> in, std::vector<std::uint8_t>& out);

    // Each is sent at once when agreed, kept (latest value only) until agreed, dropped when
    // refused; false for a value that the command does not take.
    bool setBaudRate(std::uint32_t baud);
    bool setDataSize(std::uint8_t bits);     // 5 to 8
    bool setParity(std::uint8_t parity);     // 1 none, 2 odd, 3 even, 4 mark, 5 space
    bool setStopSize(std::uint8_t stopSize); // 1 one, 2 two, 3 one and a half
    bool setControl(std::uint8_t value);     // 1-3 flow, 5/6 break, 8/9 DTR, 11/12 RTS, 14-19 more flow
    void setLineStateMask(std::uint8_t mask);
    void setModemStateMask(std::uint8_t mask);
    bool purgeData(std::uint8_t which); // 1 received, 2 to send, 3 both
    void flowControlSuspend();
    void flowControlResume();

    // Negotiation and command bytes to send, in order, between chunks of escaped data.
    std::vector<std::uint8_t> takeOutgoing();
    std::vector<Notice> takeNotices();
    // A short English line for a log.
    std::string describe(const Notice& notice) const;

    ComPort comPort() const { return m_comPort; }
    std::optional<std::uint8_t> modemState() const { return m_modemState; }
    std::optional<std::uint8_t> lineState() const { return m_lineState; }
    // The server asked us to hold our data until it resumes (our few command bytes may go on).
    bool outputSuspended() const { return m_outputSuspended; }
    // The value the server last reported for a setting.
    std::optional<std::uint32_t> confirmed(Setting setting) const { return m_confirmed[index(setting)]; }
    const std::string& serverSignature() const { return m_serverSignature; }
    std::size_t malformedCount() const { return m_malformed; }

private:
    enum class Parse : std::uint8_t { Data, Iac, Option, Sub, SubIac };
    enum class Q : std::uint8_t { No, Yes, WantYes };
    struct OptionState {
        Q us = Q::No;  // our side: WILL/WONT from us
        Q him = Q::No; // the server's side: DO/DONT from us
    };
    struct Awaited {
        bool waiting = false;
        std::optional<TimePoint> since; // stamped by the first tick after sending
    };

    static std::size_t index(Setting setting) { return static_cast<std::size_t>(setting); }
    OptionState* option(std::uint8_t code);
    bool supportsUs(std::uint8_t code) const;
    void keepSubByte(std::uint8_t byte);
    void negotiate(std::uint8_t verb, std::uint8_t code);
    void sendNegotiation(std::uint8_t verb, std::uint8_t code);
    void agree();
    void refuse(Notice::Kind why);
    void subnegotiation();
    void acknowledge(Setting setting, std::uint32_t value);
    void malformed();
    void request(Setting setting, std::uint32_t value);
    void send(Setting setting, std::uint32_t value);
    void sendSubnegotiation(std::uint8_t code, std::span<const std::uint8_t> payload);
    void notify(Notice notice);

    const std::string m_signature;
    Parse m_parse = Parse::Data;
    std::uint8_t m_verb = 0;
    std::vector<std::uint8_t> m_sub; // option code and payload, IAC IAC undone
    bool m_subDiscard = false;       // too long or broken: skipped up to its end, already reported

    OptionState m_binary, m_sga, m_comPortOption;
    ComPort m_comPort = ComPort::Pending;
    std::optional<TimePoint> m_startedAt;

    std::array<std::optional<std::uint32_t>, kSettingCount> m_pending{};
    std::array<std::optional<std::uint32_t>, kSettingCount> m_confirmed{};
    std::array<Awaited, kSettingCount> m_awaited{};
    std::array<bool, kSettingCount> m_noAckReported{};

    std::optional<std::uint8_t> m_modemState, m_lineState;
    bool m_outputSuspended = false;
    std::string m_serverSignature;
    std::size_t m_malformed = 0;

    std::vector<std::uint8_t> m_out;
    std::vector<Notice> m_notices;
};
