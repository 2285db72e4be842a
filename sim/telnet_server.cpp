#include "telnet_server.h"

#include <cstdio>
#include <iterator>
#include <utility>

#include "serial_side.h"

namespace devsim {

namespace {

constexpr std::uint8_t kIac = 255, kDont = 254, kDo = 253, kWont = 252, kWill = 251, kSb = 250, kSe = 240;
constexpr std::uint8_t kBinary = 0, kSuppressGoAhead = 3, kComPort = 44;

// Host command codes; the device answers with the code plus 100.
enum Command : std::uint8_t {
    kSignature = 0,
    kSetBaudRate = 1,
    kSetDataSize = 2,
    kSetParity = 3,
    kSetStopSize = 4,
    kSetControl = 5,
    kNotifyModemState = 7,
    kFlowSuspend = 8,
    kFlowResume = 9,
    kSetLineStateMask = 10,
    kSetModemStateMask = 11,
    kPurgeData = 12,
};
constexpr std::uint8_t kAnswerOffset = 100;

// SET-CONTROL values per group: the query, then the settings it answers with.
struct ControlGroup {
    std::uint8_t query, first, last;
    const char* name;
    const char* values[3];
};
constexpr ControlGroup kControlGroups[] = {{0, 1, 3, "flow", {"none", "xon/xoff", "hardware"}},
                                           {4, 5, 6, "break", {"on", "off"}},
                                           {7, 8, 9, "DTR", {"on", "off"}},
                                           {10, 11, 12, "RTS", {"on", "off"}},
                                           {13, 14, 16, "inbound flow", {"none", "xon/xoff", "hardware"}}};

std::string controlText(const ControlGroup& group, std::uint8_t value) {
    return std::string("rfc2217 control ") + group.name + " " + group.values[value - group.first];
}

std::string hexByte(std::uint8_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", value);
    return text;
}

} // namespace

TelnetServer::TelnetServer(ComPortControl mode, SerialSide& serial, std::vector<std::uint8_t>& toNetwork,
                           EventHandler events)
    : m_mode(mode), m_serial(serial), m_out(toNetwork), m_events(std::move(events)) {}

void TelnetServer::begin() {
    end();
    for (const std::uint8_t option : {kBinary, kSuppressGoAhead}) {
        m_options[option].localAsked = m_options[option].remoteAsked = true;
        sendVerb(kWill, option);
        sendVerb(kDo, option);
    }
}

void TelnetServer::end() {
    m_state = State::Data;
    m_options = {};
    m_data.clear();
    m_sub.clear();
    m_subOverflow = false;
    m_malformedSeen = false;
    m_suspended = false;
    m_held.clear();
    m_lineStateMask = 0;
    m_modemStateMask = 0xFF;
}

void TelnetServer::fromNetwork(const std::uint8_t* data, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) {
        const std::uint8_t byte = data[i];
        switch (m_state) {
        case State::Data:
            if (byte == kIac)
                m_state = State::Iac;
            else
                m_data.push_back(byte);
            break;
        case State::Iac:
            afterIac(byte);
            break;
        case State::Verb:
            m_state = State::Data;
            negotiate(m_verb, byte);
            break;
        case State::Sub:
            if (byte == kIac)
                m_state = State::SubIac;
            else
                keepSub(byte);
            break;
        case State::SubIac:
            if (byte == kIac) {
                keepSub(kIac);
                m_state = State::Sub;
            } else if (byte == kSe) {
                m_state = State::Data;
                // Data before a command reaches the line first: a purge must find it queued.
                passData();
                finishSub();
            } else {
                // The subnegotiation never ended; the byte is a command of its own.
                malformed();
                afterIac(byte);
            }
            break;
        }
    }
    passData();
}

void TelnetServer::afterIac(std::uint8_t byte) {
    m_state = State::Data;
    if (byte == kIac) {
        m_data.push_back(kIac);
    } else if (byte >= kWill) {
        m_verb = byte;
        m_state = State::Verb;
    } else if (byte == kSb) {
        m_sub.clear();
        m_subOverflow = false;
        m_state = State::Sub;
    }
    // Anything else (no-op, go-ahead, break, interrupt, ...) is nothing for the serial line.
}

// Only a request that changes an option's state is answered, and an answer to our own request
// is not answered back, so neither side can start a loop.
void TelnetServer::negotiate(std::uint8_t verb, std::uint8_t option) {
    Option& state = m_options[option];
    const bool ours = option == kBinary || option == kSuppressGoAhead;
    switch (verb) {
    case kWill:
        if (state.remote)
            return;
        if (!ours && !(option == kComPort && m_mode == ComPortControl::On)) {
            sendVerb(kDont, option);
            if (option == kComPort)
                m_events("rfc2217 refused");
            return;
        }
        state.remote = true;
        if (!std::exchange(state.remoteAsked, false))
            sendVerb(kDo, option);
        if (option == kComPort) {
            m_events("rfc2217 agreed");
            reply(kNotifyModemState, {static_cast<std::uint8_t>(m_modemLines & m_modemStateMask)});
        }
        return;
    case kWont:
        state.remoteAsked = false;
        if (!state.remote)
            return;
        state.remote = false;
        sendVerb(kDont, option);
        return;
    case kDo:
        if (state.local)
            return;
        if (!ours) {
            sendVerb(kWont, option);
            return;
        }
        state.local = true;
        if (!std::exchange(state.localAsked, false))
            sendVerb(kWill, option);
        return;
    default: // DONT
        state.localAsked = false;
        if (!state.local)
            return;
        state.local = false;
        sendVerb(kWont, option);
        return;
    }
}

void TelnetServer::keepSub(std::uint8_t byte) {
    if (m_sub.size() < kSubLimit)
        m_sub.push_back(byte);
    else
        m_subOverflow = true;
}

void TelnetServer::finishSub() {
    if (m_subOverflow || m_sub.empty()) {
        malformed();
        return;
    }
    // Subnegotiations of options nobody agreed mean nothing.
    if (m_sub[0] != kComPort || !m_options[kComPort].remote)
        return;
    if (m_sub.size() < 2) {
        malformed();
        return;
    }
    comPortCommand(m_sub[1], m_sub.data() + 2, m_sub.size() - 2);
}

void TelnetServer::comPortCommand(std::uint8_t code, const std::uint8_t* value, std::size_t size) {
    const bool oneByte = size == 1;
    const std::uint8_t asked = oneByte ? value[0] : 0;
    switch (code) {
    case kSignature:
        if (size == 0) {
            m_events("rfc2217 signature");
            const std::string ours = "tarn-devsim";
            reply(code, std::vector<std::uint8_t>(ours.begin(), ours.end()));
        } else {
            // The host's own signature is only noted.
            std::string text(value, value + size);
            for (char& c : text)
                c = c >= 0x20 && c < 0x7F ? c : '.';
            m_events("rfc2217 signature " + text);
        }
        return;
    case kSetBaudRate: {
        if (size != 4)
            break;
        const std::uint32_t rate =
            std::uint32_t{value[0]} << 24 | std::uint32_t{value[1]} << 16 | std::uint32_t{value[2]} << 8 | value[3];
        const bool changed = rate != 0 && changeLine(true, [&](SerialLine& line) { line.baud = rate; });
        const std::uint32_t now = m_serial.line().baud;
        noteLine("baud " + std::to_string(now), rate, changed);
        reply(code, {static_cast<std::uint8_t>(now >> 24), static_cast<std::uint8_t>(now >> 16),
                     static_cast<std::uint8_t>(now >> 8), static_cast<std::uint8_t>(now)});
        return;
    }
    case kSetDataSize: {
        if (!oneByte)
            break;
        const bool changed =
            asked != 0 && changeLine(asked >= 5 && asked <= 8, [&](SerialLine& line) { line.dataBits = asked; });
        const std::uint8_t now = m_serial.line().dataBits;
        noteLine("data size " + std::to_string(now), asked, changed);
        reply(code, {now});
        return;
    }
    case kSetParity: {
        if (!oneByte)
            break;
        const bool changed =
            asked != 0 && changeLine(asked <= 5, [&](SerialLine& line) { line.parity = static_cast<Parity>(asked); });
        const auto now = static_cast<std::uint8_t>(m_serial.line().parity);
        static constexpr const char* kNames[] = {"?", "none", "odd", "even", "mark", "space"};
        noteLine(std::string("parity ") + kNames[now <= 5 ? now : 0], asked, changed);
        reply(code, {now});
        return;
    }
    case kSetStopSize: {
        if (!oneByte)
            break;
        const bool changed = asked != 0 && changeLine(asked <= 3, [&](SerialLine& line) {
                                 line.stopBits = static_cast<StopBits>(asked);
                             });
        const auto now = static_cast<std::uint8_t>(m_serial.line().stopBits);
        static constexpr const char* kNames[] = {"?", "1", "2", "1.5"};
        noteLine(std::string("stop size ") + kNames[now <= 3 ? now : 0], asked, changed);
        reply(code, {now});
        return;
    }
    case kSetControl:
        if (!oneByte)
            break;
        setControl(asked);
        return;
    case kFlowSuspend:
    case kFlowResume:
        // Not answered: the same code from the device would ask the host to stop or go on.
        m_suspended = code == kFlowSuspend;
        m_events(m_suspended ? "rfc2217 suspend" : "rfc2217 resume");
        if (!m_suspended) {
            appendEscaped(m_held.data(), m_held.size());
            m_held.clear();
        }
        return;
    case kSetLineStateMask:
    case kSetModemStateMask:
        if (!oneByte)
            break;
        (code == kSetLineStateMask ? m_lineStateMask : m_modemStateMask) = asked;
        m_events(std::string(code == kSetLineStateMask ? "rfc2217 line" : "rfc2217 modem") + " state mask " +
                 hexByte(asked));
        reply(code, {asked});
        return;
    case kPurgeData: {
        if (!oneByte || asked < 1 || asked > 3)
            break;
        // 1 is what the line received (towards the host), 2 what waits to go out on it.
        const bool received = asked != 2, unsent = asked != 1;
        if (received)
            m_held.clear();
        m_serial.purge(received, unsent);
        static constexpr const char* kNames[] = {"", "rx", "tx", "both"};
        m_events(std::string("rfc2217 purge ") + kNames[asked]);
        reply(code, {asked});
        return;
    }
    default:
        m_events("rfc2217 unknown command " + std::to_string(code));
        return;
    }
    malformed();
}

void TelnetServer::setControl(std::uint8_t asked) {
    for (std::size_t group = 0; group < std::size(kControlGroups); ++group) {
        const ControlGroup& values = kControlGroups[group];
        const bool query = asked == values.query;
        if (!query && (asked < values.first || asked > values.last))
            continue;
        if (!query)
            m_control[group] = asked;
        m_events(controlText(values, m_control[group]) + (query ? " (query)" : ""));
        reply(kSetControl, {m_control[group]});
        return;
    }
    // DCD, DTR or DSR flow control: the line keeps the flow control it has.
    m_events(controlText(kControlGroups[0], m_control[0]) + " (refused " + std::to_string(asked) + ")");
    reply(kSetControl, {m_control[0]});
}

bool TelnetServer::changeLine(bool valid, const std::function<void(SerialLine&)>& change) {
    if (!valid)
        return false;
    SerialLine line = m_serial.line();
    change(line);
    return m_serial.applyLine(line);
}

void TelnetServer::noteLine(const std::string& inForce, std::uint32_t asked, bool changed) {
    std::string text = "rfc2217 " + inForce;
    if (asked == 0)
        text += " (query)";
    else if (!changed)
        text += " (refused " + std::to_string(asked) + ")";
    m_events(text);
}

void TelnetServer::fromSerial(const std::uint8_t* data, std::size_t size) {
    if (m_suspended)
        m_held.insert(m_held.end(), data, data + size);
    else
        appendEscaped(data, size);
}

std::optional<std::uint8_t> TelnetServer::setModemLines(std::uint8_t lines) {
    // Change bits sit four below their lines; RI reports only its trailing edge.
    auto deltas = static_cast<std::uint8_t>(((lines ^ m_modemLines) & (kModemCts | kModemDsr | kModemDcd)) >> 4);
    if ((m_modemLines & kModemRi) && !(lines & kModemRi))
        deltas |= 0x04;
    m_modemLines = lines;
    if (!m_options[kComPort].remote)
        return std::nullopt;
    const auto report = static_cast<std::uint8_t>((lines | deltas) & m_modemStateMask);
    reply(kNotifyModemState, {report});
    return report;
}

void TelnetServer::passData() {
    if (m_data.empty())
        return;
    m_serial.toSerial(m_data.data(), m_data.size());
    m_data.clear();
}

void TelnetServer::sendVerb(std::uint8_t verb, std::uint8_t option) {
    m_out.insert(m_out.end(), {kIac, verb, option});
}

void TelnetServer::reply(std::uint8_t code, const std::vector<std::uint8_t>& value) {
    m_out.insert(m_out.end(), {kIac, kSb, kComPort, static_cast<std::uint8_t>(code + kAnswerOffset)});
    appendEscaped(value.data(), value.size());
    m_out.insert(m_out.end(), {kIac, kSe});
}

void TelnetServer::appendEscaped(const std::uint8_t* data, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) {
        m_out.push_back(data[i]);
        if (data[i] == kIac)
            m_out.push_back(kIac);
    }
}

void TelnetServer::malformed() {
    if (!std::exchange(m_malformedSeen, true))
        m_events("rfc2217 malformed");
}

} // namespace devsim
