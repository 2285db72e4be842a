#include "netcmd_logic.h"

#include <algorithm>
#include <cstring>

namespace devsim {

namespace {

constexpr std::size_t kMaxPendingLogins = 16;
constexpr std::size_t kMaxSessions = 16;

std::uint16_t be16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}
std::uint32_t be32(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}
void putBe16(std::uint8_t* p, std::size_t value) {
    p[0] = static_cast<std::uint8_t>(value >> 8);
    p[1] = static_cast<std::uint8_t>(value);
}
void putBe32(std::uint8_t* p, std::uint32_t value) {
    putBe16(p, value >> 16);
    putBe16(p + 2, value & 0xFFFF);
}

// Header of an answer record: marker, length, connection ID, group, opcode.
NetCmdLogic::Datagram answerRecord(std::size_t length, const std::uint8_t* connectionId, std::uint8_t group,
                                   std::uint8_t opcode) {
    NetCmdLogic::Datagram record(length, 0);
    record[0] = 0x01;
    putBe16(&record[2], length);
    if (connectionId)
        std::memcpy(&record[4], connectionId, 4);
    record[8] = group;
    record[9] = opcode;
    return record;
}

} // namespace

NetCmdLogic::NetCmdLogic(EepromImage& image, DeviceIdentity identity)
    : m_image(image), m_identity(identity), m_random(std::random_device{}()) {}

std::vector<NetCmdLogic::Datagram> NetCmdLogic::handle(const std::uint8_t* data, std::size_t size,
                                                       std::uint32_t peerIp) {
    using namespace netcmd;
    std::vector<Datagram> answers;
    if (size < 10 || data[0] != 0x01)
        return answers;
    const std::uint8_t group = data[8];
    const std::uint8_t opcode = data[9];
    if (group == kGroupSearch && opcode == kOpSearch) {
        // The search request's length field holds 0x00C0 whatever it carries, so only the
        // group and opcode identify it.
        answers.push_back(searchAnswer());
        if (m_answerTwice)
            answers.push_back(answers.front());
        return answers;
    }
    // Every other request is trusted only as far as both its length field and the datagram go.
    const std::size_t length = be16(&data[2]);
    if (size < kHeaderSize || length < kHeaderSize || length > size) {
        event("netcmd malformed group " + std::to_string(group) + " opcode " + std::to_string(opcode) + " length " +
              std::to_string(length) + " of " + std::to_string(size));
        if (group == kGroupEeprom && opcode == kOpEepromWrite && size >= kHeaderSize) {
            Datagram answer = answerRecord(kHeaderSize, &data[4], kGroupEeprom, kOpEepromWrite + 1);
            answer[10] = kMalformed;
            answers.push_back(answer);
        }
        return answers;
    }
    if (group == kGroupSearch && opcode == kOpLoginStart)
        answers.push_back(loginStart(data, peerIp));
    else if (group == kGroupSearch && opcode == kOpLoginCredentials)
        answers.push_back(loginCredentials(data, length, peerIp));
    else if (group == kGroupEeprom && opcode == kOpEepromRead)
        answers.push_back(eepromRead(data));
    else if (group == kGroupEeprom && opcode == kOpEepromWrite)
        answers.push_back(eepromWrite(data, length));
    else if (group == kGroupEeprom && opcode == kOpWriteComplete)
        answers.push_back(writeComplete(data));
    else
        event("netcmd unknown group " + std::to_string(group) + " opcode " + std::to_string(opcode));
    return answers;
}

NetCmdLogic::Datagram NetCmdLogic::loginStart(const std::uint8_t* req, std::uint32_t peerIp) {
    Datagram answer = answerRecord(15, nullptr, netcmd::kGroupSearch, netcmd::kOpLoginStart + 1);
    std::memcpy(&answer[10], &req[10], 4);
    if (m_refuseLoginStart) {
        answer[14] = netcmd::kRefused;
        event("login start refused");
        return answer;
    }
    PendingLogin pending{peerIp, {req[10], req[11], req[12], req[13]}};
    m_pendingLogins.push_back(pending);
    if (m_pendingLogins.size() > kMaxPendingLogins)
        m_pendingLogins.pop_front();
    answer[14] = netcmd::kOk;
    return answer;
}

NetCmdLogic::Datagram NetCmdLogic::loginCredentials(const std::uint8_t* req, std::size_t length, std::uint32_t peerIp) {
    Datagram answer = answerRecord(15, nullptr, netcmd::kGroupSearch, netcmd::kOpLoginCredentials + 1);
    std::memcpy(&answer[10], &req[10], 4);
    const std::size_t accountLength = length >= 16 ? req[14] : 0;
    const std::size_t passwordLength = length >= 16 ? req[15] : 0;
    if (length < 16 || 16 + accountLength + passwordLength > length) {
        answer[14] = netcmd::kMalformed;
        event("login refused (malformed)");
        return answer;
    }
    const std::string account(reinterpret_cast<const char*>(&req[16]), accountLength);
    const std::string password(reinterpret_cast<const char*>(&req[16 + accountLength]), passwordLength);

    // The credentials must follow a login start of the same nonce from the same host.
    auto pending = std::find_if(m_pendingLogins.begin(), m_pendingLogins.end(), [&](const PendingLogin& p) {
        return p.peerIp == peerIp && std::memcmp(p.nonce, &req[10], 4) == 0;
    });
    if (pending == m_pendingLogins.end()) {
        answer[14] = netcmd::kNoLoginStart;
        event("login refused " + account + " (no login start)");
        return answer;
    }
    m_pendingLogins.erase(pending);

    if (account != m_image.credential(eeprom::kAccount) || password != m_image.credential(eeprom::kPassword)) {
        answer[14] = netcmd::kRefused;
        event("login refused " + account);
        return answer;
    }
    std::uint32_t session = 0;
    while (session == 0 || std::find(m_sessions.begin(), m_sessions.end(), session) != m_sessions.end())
        session = static_cast<std::uint32_t>(m_random());
    m_sessions.push_back(session);
    if (m_sessions.size() > kMaxSessions)
        m_sessions.pop_front();
    putBe32(&answer[4], session);
    answer[14] = netcmd::kOk;
    event("login ok " + account);
    return answer;
}

bool NetCmdLogic::validSession(const std::uint8_t* connectionId) const {
    const std::uint32_t id = be32(connectionId);
    return id != 0 && std::find(m_sessions.begin(), m_sessions.end(), id) != m_sessions.end();
}

NetCmdLogic::Datagram NetCmdLogic::eepromRead(const std::uint8_t* req) {
    const std::size_t address = be16(&req[10]);
    const std::size_t count = be16(&req[12]);
    const bool ok = validSession(&req[4]) && count > 0 && address + count <= eeprom::kSize;
    // A refused read echoes the address with a count of 0 and carries no data.
    Datagram answer =
        answerRecord(netcmd::kHeaderSize + (ok ? count : 0), &req[4], netcmd::kGroupEeprom, netcmd::kOpEepromRead + 1);
    putBe16(&answer[10], address);
    if (!ok) {
        event("eeprom read refused " + std::to_string(address) + " " + std::to_string(count) +
              (validSession(&req[4]) ? " (range)" : " (no session)"));
        return answer;
    }
    putBe16(&answer[12], count);
    std::memcpy(&answer[netcmd::kHeaderSize], &m_image.bytes()[address], count);
    event("eeprom read " + std::to_string(address) + " " + std::to_string(count));
    return answer;
}

NetCmdLogic::Datagram NetCmdLogic::eepromWrite(const std::uint8_t* req, std::size_t length) {
    const std::size_t address = be16(&req[10]);
    const std::size_t count = be16(&req[12]);
    Datagram answer = answerRecord(netcmd::kHeaderSize, &req[4], netcmd::kGroupEeprom, netcmd::kOpEepromWrite + 1);
    if (!validSession(&req[4])) {
        answer[10] = netcmd::kRefused;
        event("eeprom write refused (no session)");
    } else if (netcmd::kHeaderSize + count > length) {
        // Never store bytes the request does not carry.
        answer[10] = netcmd::kMalformed;
        event("eeprom write refused (short request)");
    } else if (address + count > eeprom::kSize) {
        answer[10] = netcmd::kBadRange;
        event("eeprom write refused " + std::to_string(address) + " " + std::to_string(count) + " (range)");
    } else {
        std::memcpy(&m_image.bytes()[address], &req[netcmd::kHeaderSize], count);
        answer[10] = netcmd::kOk;
        event("eeprom write " + std::to_string(address) + " " + std::to_string(count));
    }
    return answer;
}

NetCmdLogic::Datagram NetCmdLogic::writeComplete(const std::uint8_t* req) {
    Datagram answer = answerRecord(netcmd::kHeaderSize, &req[4], netcmd::kGroupEeprom, netcmd::kOpWriteComplete + 1);
    if (req[10] != netcmd::kWriteCompleteMagic || !validSession(&req[4])) {
        answer[10] = netcmd::kRefused;
        event("eeprom commit refused");
        return answer;
    }
    event("eeprom commit");
    answer[10] = m_commit ? m_commit() : netcmd::kOk;
    return answer;
}

std::vector<std::uint8_t> NetCmdLogic::optionBytes() const {
    const WorkingMode mode = m_image.workingMode();
    const std::uint16_t localPort = m_image.u16(eeprom::kLocalPort);
    const std::uint16_t remotePort = m_image.u16(eeprom::kRemotePort);
    const Ipv4 remoteIp = m_image.ip4(eeprom::kRemoteIp);
    const std::uint16_t controlPort = m_image.u16(eeprom::kControlPort);
    std::vector<std::uint8_t> options;
    options.reserve(32); // also keeps GCC 12's -O3 array-bounds check from a false alarm
    options.push_back(0);

    // 1: the data port a host pairs with: where a TCP server listens, where a TCP client
    // connects to, the local UDP port.
    const std::uint16_t dataPort = mode == WorkingMode::TcpClient ? remotePort : localPort;
    options.insert(options.end(),
                   {1, 2, static_cast<std::uint8_t>(dataPort >> 8), static_cast<std::uint8_t>(dataPort)});

    // 3: the UDP table: local port, number of peers, then each peer's address and port.
    const bool hasPeer = ipValue(remoteIp) != 0;
    options.insert(options.end(),
                   {3, static_cast<std::uint8_t>(hasPeer ? 10 : 4), static_cast<std::uint8_t>(localPort >> 8),
                    static_cast<std::uint8_t>(localPort), 0, static_cast<std::uint8_t>(hasPeer ? 1 : 0)});
    if (hasPeer) {
        options.insert(options.end(), remoteIp.begin(), remoteIp.end());
        options.insert(options.end(),
                       {static_cast<std::uint8_t>(remotePort >> 8), static_cast<std::uint8_t>(remotePort)});
    }

    // 4: the working mode as a host sees its counterpart: 1 the device serves TCP (the host
    // is the client), 2 the device is the TCP client, 3 UDP.
    const std::uint8_t modeCode = mode == WorkingMode::TcpServer ? 1 : mode == WorkingMode::TcpClient ? 2 : 3;
    options.insert(options.end(), {4, 1, modeCode});
    options[0] = 3;

    // 5: the control port, left out when the device has none.
    if (controlPort != 0) {
        options.insert(options.end(),
                       {5, 2, static_cast<std::uint8_t>(controlPort >> 8), static_cast<std::uint8_t>(controlPort)});
        options[0] = 4;
    }
    return options;
}

NetCmdLogic::Datagram NetCmdLogic::searchAnswer() const {
    const std::string name = m_image.text(eeprom::kDeviceName, eeprom::kDeviceNameSize);
    const std::string project = m_image.text(eeprom::kProjectName, eeprom::kProjectNameSize);
    const std::vector<std::uint8_t> options = optionBytes();
    const std::size_t length = 30 + name.size() + 1 + project.size() + 1 + options.size();
    Datagram record = answerRecord(length, nullptr, netcmd::kGroupSearch, netcmd::kOpSearch + 1);
    putBe16(&record[10], m_identity.id);
    std::memcpy(&record[12], m_identity.mac.data(), 6);
    std::memcpy(&record[18], &m_image.bytes()[eeprom::kIp], 4);
    std::memcpy(&record[22], &m_image.bytes()[eeprom::kMask], 4);
    std::memcpy(&record[26], &m_image.bytes()[eeprom::kGateway], 4);
    std::size_t at = 30;
    std::memcpy(&record[at], name.data(), name.size());
    at += name.size() + 1;
    std::memcpy(&record[at], project.data(), project.size());
    at += project.size() + 1;
    std::memcpy(&record[at], options.data(), options.size());
    return record;
}

bool NetCmdLogic::isRawRequest(const std::uint8_t* frame, std::size_t size) {
    return size >= 28 && frame[12] == 0x08 && frame[13] == 0x06 && frame[16] == 0xF0 && frame[17] == 0x00 &&
           frame[26] == 0x00 && frame[27] == 0x01;
}

std::vector<std::uint8_t> NetCmdLogic::rawAnswer(const MacAddress& requester) const {
    const std::vector<std::uint8_t> options = optionBytes();
    std::vector<std::uint8_t> frame(std::max(raw::kAnswerMinSize, 64 + options.size()), 0);
    std::memcpy(&frame[0], requester.data(), 6);
    std::memcpy(&frame[6], m_identity.mac.data(), 6);
    frame[12] = 0x08;
    frame[13] = 0x06;
    frame[14] = 0x00;
    frame[15] = 0x01;
    frame[16] = 0xF0;
    frame[17] = 0x00;
    // The ID goes low byte first: readers store these two bytes as they stand in a
    // little-endian word, which then equals the ID of the UDP answer.
    frame[18] = static_cast<std::uint8_t>(m_identity.id);
    frame[19] = static_cast<std::uint8_t>(m_identity.id >> 8);
    frame[20] = 0x00;
    frame[21] = 0xC0;
    frame[26] = 0x00;
    frame[27] = 0x02;
    std::memcpy(&frame[30], m_identity.mac.data(), 6);
    std::memcpy(&frame[36], &m_image.bytes()[eeprom::kIp], 4);
    std::memcpy(&frame[40], &m_image.bytes()[eeprom::kMask], 4);
    std::memcpy(&frame[44], &m_image.bytes()[eeprom::kGateway], 4);
    // Readers take the device name from 48 and the project name from 56, each up to its NUL,
    // and the options from 64: each name gets 8 bytes, cut to 7 characters.
    const std::string name = m_image.text(eeprom::kDeviceName, eeprom::kDeviceNameSize).substr(0, raw::kNameField - 1);
    const std::string project =
        m_image.text(eeprom::kProjectName, eeprom::kProjectNameSize).substr(0, raw::kNameField - 1);
    std::memcpy(&frame[48], name.data(), name.size());
    std::memcpy(&frame[56], project.data(), project.size());
    std::memcpy(&frame[64], options.data(), options.size());
    return frame;
}

} // namespace devsim
