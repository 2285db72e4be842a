#include "bridge/telnet_com_port.h"

#include <algorithm>
#include <utility>

namespace {

constexpr std::uint8_t kIac = 255, kDont = 254, kDo = 253, kWont = 252, kWill = 251, kSb = 250, kSe = 240;
constexpr std::uint8_t kOptBinary = 0, kOptSga = 3, kOptComPort = 44;

// Client command codes; the server answers with the same code plus kServerBase.
constexpr std::uint8_t kSignature = 0, kSetBaudRate = 1, kSuspend = 8, kResume = 9;
constexpr std::uint8_t kServerBase = 100;
constexpr std::uint8_t kNotifyLineState = 6, kNotifyModemState = 7, kSetControl = 5;

using Setting = TelnetComPort::Setting;

// The command that carries each setting, in Setting order.
constexpr std::uint8_t kCommandOf[TelnetComPort::kSettingCount] = {1, 2, 3, 4, 5, 5, 5, 5, 5, 10, 11, 12, kSuspend};

// SET-CONTROL packs several settings into one value range; the query values (0, 4, 7, 10, 13)
// are no setting of their own.
std::optional<Setting> controlSetting(std::uint8_t value) {
    if ((value >= 1 && value <= 3) || value == 17 || value == 19)
        return Setting::FlowControl;
    if ((value >= 14 && value <= 16) || value == 18)
        return Setting::InboundFlow;
    if (value == 5 || value == 6)
        return Setting::Break;
    if (value == 8 || value == 9)
        return Setting::Dtr;
    if (value == 11 || value == 12)
        return Setting::Rts;
    return std::nullopt;
}

// The setting that a server's one-byte confirmation (its code less kServerBase) is for.
std::optional<Setting> confirmedSetting(std::uint8_t command, std::uint8_t value) {
    if (command == kSetControl)
        return controlSetting(value);
    for (std::size_t i = 0; i < TelnetComPort::kSettingCount; ++i)
        if (kCommandOf[i] == command && command != kSuspend)
            return static_cast<Setting>(i);
    return std::nullopt;
}

const char* settingName(std::uint32_t setting) {
    static constexpr const char* kNames[TelnetComPort::kSettingCount] = {
        "baud rate",      "data size", "parity", "stop bits",       "flow control",     "inbound flow control",
        "break",          "DTR",       "RTS",    "line state mask", "modem state mask", "purge",
        "flow suspension"};
    return setting < TelnetComPort::kSettingCount ? kNames[setting] : "setting";
}

std::string hexByte(std::uint32_t value) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    return {'0', 'x', kDigits[(value >> 4) & 0xF], kDigits[value & 0xF]};
}

} // namespace

TelnetComPort::TelnetComPort(std::string signature) : m_signature(std::move(signature)) {
    m_sub.reserve(kMaxSubnegotiation);
}

void TelnetComPort::start(TimePoint now) {
    m_startedAt = now;
    // Both directions binary, so no byte is ever rewritten, and no go-aheads to interleave.
    for (const std::uint8_t code : {kOptBinary, kOptSga}) {
        OptionState& state = *option(code);
        sendNegotiation(kWill, code);
        sendNegotiation(kDo, code);
        state.us = state.him = Q::WantYes;
    }
    sendNegotiation(kWill, kOptComPort);
    m_comPortOption.us = Q::WantYes;
}

void TelnetComPort::receive(std::span<const std::uint8_t> in, std::vector<std::uint8_t>& appData) {
    auto at = in.begin();
    while (at != in.end()) {
        if (m_parse == Parse::Data) {
            // Runs of plain data are copied whole: this is the data pump's path.
            const auto iac = std::find(at, in.end(), kIac);
            appData.insert(appData.end(), at, iac);
            if (iac == in.end())
                return;
            at = iac + 1;
            m_parse = Parse::Iac;
            continue;
        }
        const std::uint8_t byte = *at++;
        switch (m_parse) {
        case Parse::Data: // handled above
            break;
        case Parse::Iac:
            m_parse = Parse::Data;
            if (byte == kIac) {
                appData.push_back(kIac);
            } else if (byte >= kWill) {
                m_verb = byte;
                m_parse = Parse::Option;
            } else if (byte == kSb) {
                m_sub.clear();
                m_subDiscard = false;
                m_parse = Parse::Sub;
            }
            // Anything else (no-op, go-ahead, data mark, a stray SE, an unknown code) is a
            // two-byte command with nothing for us to do.
            break;
        case Parse::Option:
            negotiate(m_verb, byte);
            m_parse = Parse::Data;
            break;
        case Parse::Sub:
            if (byte == kIac)
                m_parse = Parse::SubIac;
            else
                keepSubByte(byte);
            break;
        case Parse::SubIac:
            m_parse = Parse::Sub;
            if (byte == kSe) {
                subnegotiation();
                m_parse = Parse::Data;
            } else if (byte == kIac) {
                keepSubByte(kIac);
            } else if (!m_subDiscard) {
                // Its content can no longer be trusted; still only IAC SE ends it, so none of it
                // leaks into the data.
                m_subDiscard = true;
                malformed();
            }
            break;
        }
    }
}

void TelnetComPort::keepSubByte(std::uint8_t byte) {
    if (m_subDiscard)
        return;
    if (m_sub.size() < kMaxSubnegotiation) {
        m_sub.push_back(byte);
        return;
    }
    // Reported now rather than at its end, which may never come.
    m_subDiscard = true;
    malformed();
}

void TelnetComPort::tick(TimePoint now) {
    if (m_startedAt && m_comPort == ComPort::Pending && now - *m_startedAt >= kAgreeTimeout)
        refuse(Notice::Kind::ComPortNoAnswer);
    for (std::size_t i = 0; i < kSettingCount; ++i) {
        Awaited& awaited = m_awaited[i];
        if (!awaited.waiting)
            continue;
        if (!awaited.since) {
            awaited.since = now;
            continue;
        }
        if (now - *awaited.since < kAckTimeout)
            continue;
        // Confirmations only inform us, so a server that does not send them is reported once
        // per setting and otherwise left alone.
        awaited = {};
        if (!std::exchange(m_noAckReported[i], true))
            notify({Notice::Kind::NoAcknowledgement, static_cast<std::uint32_t>(i)});
    }
}

void TelnetComPort::escape(std::span<const std::uint8_t> in, std::vector<std::uint8_t>& out) {
    out.reserve(out.size() + in.size());
    for (const std::uint8_t byte : in) {
        out.push_back(byte);
        if (byte == kIac)
            out.push_back(kIac);
    }
}

bool TelnetComPort::setBaudRate(std::uint32_t baud) {
    // Zero would ask for the server's rate instead of setting one.
    if (baud == 0)
        return false;
    request(Setting::BaudRate, baud);
    return true;
}

bool TelnetComPort::setDataSize(std::uint8_t bits) {
    if (bits < 5 || bits > 8)
        return false;
    request(Setting::DataSize, bits);
    return true;
}

bool TelnetComPort::setParity(std::uint8_t parity) {
    if (parity < 1 || parity > 5)
        return false;
    request(Setting::Parity, parity);
    return true;
}

bool TelnetComPort::setStopSize(std::uint8_t stopSize) {
    if (stopSize < 1 || stopSize > 3)
        return false;
    request(Setting::StopSize, stopSize);
    return true;
}

bool TelnetComPort::setControl(std::uint8_t value) {
    const auto setting = controlSetting(value);
    if (!setting)
        return false;
    request(*setting, value);
    return true;
}

void TelnetComPort::setLineStateMask(std::uint8_t mask) {
    request(Setting::LineStateMask, mask);
}

void TelnetComPort::setModemStateMask(std::uint8_t mask) {
    request(Setting::ModemStateMask, mask);
}

bool TelnetComPort::purgeData(std::uint8_t which) {
    if (which < 1 || which > 3)
        return false;
    request(Setting::Purge, which);
    return true;
}

void TelnetComPort::flowControlSuspend() {
    request(Setting::Suspend, 1);
}

void TelnetComPort::flowControlResume() {
    request(Setting::Suspend, 0);
}

std::vector<std::uint8_t> TelnetComPort::takeOutgoing() {
    return std::exchange(m_out, {});
}

std::vector<TelnetComPort::Notice> TelnetComPort::takeNotices() {
    return std::exchange(m_notices, {});
}

std::string TelnetComPort::describe(const Notice& notice) const {
    using Kind = Notice::Kind;
    switch (notice.kind) {
    case Kind::ComPortAgreed:
        return "The device server takes the port settings.";
    case Kind::ComPortRefused:
        return "The device server refuses port settings; the connection carries data only.";
    case Kind::ComPortNoAnswer:
        return "The device server did not answer the offer of port settings; the connection carries data only.";
    case Kind::MalformedSubnegotiation:
        return "The device server sent a malformed or unknown port command; it was ignored.";
    case Kind::NoAcknowledgement:
        return std::string("The device server did not confirm the ") + settingName(notice.value) + '.';
    case Kind::ModemStateChanged:
        return "Modem state from the device server: " + hexByte(notice.value) + '.';
    case Kind::LineStateChanged:
        return "Line state from the device server: " + hexByte(notice.value) + '.';
    case Kind::SuspendChanged:
        return notice.value ? "The device server asks to hold the data sent to it."
                            : "The device server takes data again.";
    case Kind::ServerSignature:
        return "The device server is \"" + m_serverSignature + "\".";
    }
    return {};
}

TelnetComPort::OptionState* TelnetComPort::option(std::uint8_t code) {
    switch (code) {
    case kOptBinary:
        return &m_binary;
    case kOptSga:
        return &m_sga;
    case kOptComPort:
        return &m_comPortOption;
    default:
        return nullptr;
    }
}

bool TelnetComPort::supportsUs(std::uint8_t code) const {
    // Once refused, port control stays off: the caller was told the connection carries data only.
    return code == kOptBinary || code == kOptSga || (code == kOptComPort && m_comPort != ComPort::Refused);
}

void TelnetComPort::negotiate(std::uint8_t verb, std::uint8_t code) {
    // An answer goes only where the state changes, so two sides that both follow this cannot
    // loop; an option we do not support is always off, and refused whenever it is offered.
    const bool forHim = verb == kWill || verb == kWont;
    const bool supported = forHim ? (code == kOptBinary || code == kOptSga) : supportsUs(code);
    const bool enable = verb == kWill || verb == kDo;
    if (!supported) {
        if (enable)
            sendNegotiation(forHim ? kDont : kWont, code);
        return;
    }
    OptionState& state = *option(code);
    Q& side = forHim ? state.him : state.us;
    if (enable) {
        if (side == Q::No)
            sendNegotiation(forHim ? kDo : kWill, code);
        side = Q::Yes;
        if (code == kOptComPort && m_comPort == ComPort::Pending)
            agree();
    } else {
        if (side == Q::Yes)
            sendNegotiation(forHim ? kDont : kWont, code);
        side = Q::No;
        if (code == kOptComPort)
            refuse(Notice::Kind::ComPortRefused);
    }
}

void TelnetComPort::sendNegotiation(std::uint8_t verb, std::uint8_t code) {
    if (m_out.size() < kMaxOutgoing)
        m_out.insert(m_out.end(), {kIac, verb, code});
}

void TelnetComPort::agree() {
    m_comPort = ComPort::Agreed;
    notify({Notice::Kind::ComPortAgreed});
    for (std::size_t i = 0; i < kSettingCount; ++i)
        if (const auto value = std::exchange(m_pending[i], std::nullopt))
            send(static_cast<Setting>(i), *value);
}

void TelnetComPort::refuse(Notice::Kind why) {
    m_comPort = ComPort::Refused;
    m_comPortOption.us = Q::No;
    m_pending = {};
    m_awaited = {};
    if (std::exchange(m_outputSuspended, false))
        notify({Notice::Kind::SuspendChanged, 0});
    notify({why});
}

void TelnetComPort::subnegotiation() {
    if (m_subDiscard)
        return; // reported when it went wrong
    if (m_comPort == ComPort::Refused && !m_sub.empty() && m_sub[0] == kOptComPort)
        return; // late commands of an option the caller was told is off
    if (m_sub.size() < 2 || m_sub[0] != kOptComPort) {
        malformed();
        return;
    }
    const std::uint8_t code = m_sub[1];
    const std::span<const std::uint8_t> payload(m_sub.begin() + 2, m_sub.end());

    if (code == kServerBase + kSignature) {
        if (payload.empty()) {
            // The server asks who we are.
            const auto* text = reinterpret_cast<const std::uint8_t*>(m_signature.data());
            sendSubnegotiation(kSignature, {text, m_signature.size()});
            return;
        }
        // Only printable text goes on to a log.
        std::string signature(payload.begin(), payload.end());
        for (char& c : signature)
            if (c < 0x20 || c > 0x7E)
                c = '?';
        m_serverSignature = std::move(signature);
        notify({Notice::Kind::ServerSignature});
        return;
    }
    if (code == kServerBase + kSuspend || code == kServerBase + kResume) {
        if (!payload.empty())
            return malformed();
        const bool suspend = code == kServerBase + kSuspend;
        if (std::exchange(m_outputSuspended, suspend) != suspend)
            notify({Notice::Kind::SuspendChanged, suspend ? 1u : 0u});
        return;
    }
    if (code == kServerBase + kSetBaudRate) {
        if (payload.size() != 4)
            return malformed();
        acknowledge(Setting::BaudRate, std::uint32_t{payload[0]} << 24 | std::uint32_t{payload[1]} << 16 |
                                           std::uint32_t{payload[2]} << 8 | payload[3]);
        return;
    }
    // Everything else carries exactly one byte.
    if (payload.size() != 1)
        return malformed();
    const std::uint8_t value = payload[0];
    if (code == kServerBase + kNotifyModemState) {
        if (std::exchange(m_modemState, value) != value)
            notify({Notice::Kind::ModemStateChanged, value});
    } else if (code == kServerBase + kNotifyLineState) {
        if (std::exchange(m_lineState, value) != value)
            notify({Notice::Kind::LineStateChanged, value});
    } else if (const auto setting = confirmedSetting(static_cast<std::uint8_t>(code - kServerBase), value)) {
        acknowledge(*setting, value);
    } else {
        malformed();
    }
}

void TelnetComPort::acknowledge(Setting setting, std::uint32_t value) {
    m_confirmed[index(setting)] = value;
    m_awaited[index(setting)] = {};
}

void TelnetComPort::malformed() {
    // Once per connection: a broken server would otherwise fill the log.
    if (m_malformed++ == 0)
        notify({Notice::Kind::MalformedSubnegotiation});
}

void TelnetComPort::request(Setting setting, std::uint32_t value) {
    auto& pending = m_pending[index(setting)];
    switch (m_comPort) {
    case ComPort::Agreed:
        send(setting, value);
        break;
    case ComPort::Pending:
        // Purges add up; any other setting only matters in its latest value.
        pending = setting == Setting::Purge && pending ? (*pending | value) : value;
        break;
    case ComPort::Refused:
        break;
    }
}

void TelnetComPort::send(Setting setting, std::uint32_t value) {
    if (setting == Setting::Suspend) {
        sendSubnegotiation(value ? kSuspend : kResume, {});
        return; // never confirmed
    }
    if (setting == Setting::BaudRate) {
        const std::uint8_t bytes[4] = {static_cast<std::uint8_t>(value >> 24), static_cast<std::uint8_t>(value >> 16),
                                       static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
        sendSubnegotiation(kSetBaudRate, bytes);
    } else {
        const auto byte = static_cast<std::uint8_t>(value);
        sendSubnegotiation(kCommandOf[index(setting)], {&byte, 1});
    }
    // The wait runs from the oldest unconfirmed send, so frequent changes cannot hide a
    // server that never confirms.
    Awaited& awaited = m_awaited[index(setting)];
    if (!awaited.waiting)
        awaited = {true, std::nullopt};
}

void TelnetComPort::sendSubnegotiation(std::uint8_t code, std::span<const std::uint8_t> payload) {
    // Whole messages only, so what goes out stays well formed.
    if (m_out.size() >= kMaxOutgoing)
        return;
    m_out.insert(m_out.end(), {kIac, kSb, kOptComPort, code});
    escape(payload, m_out);
    m_out.insert(m_out.end(), {kIac, kSe});
}

void TelnetComPort::notify(Notice notice) {
    // One pending notice per kind (per setting for confirmations), so the queue stays small
    // whatever the server sends; a modem state keeps the change bits of those it replaces.
    const auto same = std::find_if(m_notices.begin(), m_notices.end(), [&](const Notice& queued) {
        return queued.kind == notice.kind &&
               (notice.kind != Notice::Kind::NoAcknowledgement || queued.value == notice.value);
    });
    if (same == m_notices.end()) {
        m_notices.push_back(notice);
        return;
    }
    if (notice.kind == Notice::Kind::ModemStateChanged)
        notice.value |= same->value & 0x0F;
    same->value = notice.value;
}
