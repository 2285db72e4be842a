#pragma once
// Device side of the device-management protocol: turns one request datagram into the
// answers the device sends back, against the device's EEPROM image and login sessions.
// Also builds the answer to the raw discovery frame, which carries the same facts.

#include <cstdint>
#include <deque>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "eeprom_image.h"
#include "text_util.h"

namespace devsim {

struct DeviceIdentity {
    MacAddress mac{};
    std::uint16_t id = 0;
};

namespace netcmd {
inline constexpr std::uint16_t kPort = 8000;
inline constexpr std::size_t kHeaderSize = 14;
inline constexpr std::size_t kMaxDatagram = 8192;
inline constexpr std::uint8_t kGroupSearch = 0;
inline constexpr std::uint8_t kGroupEeprom = 1;
inline constexpr std::uint8_t kOpSearch = 0x01;
inline constexpr std::uint8_t kOpLoginStart = 0x05;
inline constexpr std::uint8_t kOpLoginCredentials = 0x07;
inline constexpr std::uint8_t kOpEepromRead = 0x05;
inline constexpr std::uint8_t kOpEepromWrite = 0x07;
inline constexpr std::uint8_t kOpWriteComplete = 0x25;
inline constexpr std::uint8_t kWriteCompleteMagic = 0xAA;

// Result bytes of our answers.
inline constexpr std::uint8_t kOk = 0;
inline constexpr std::uint8_t kRefused = 1;      // wrong credentials, unknown session, bad magic
inline constexpr std::uint8_t kNoLoginStart = 2; // credentials without a preceding login start
inline constexpr std::uint8_t kBadRange = 2;     // EEPROM address/count outside the image
inline constexpr std::uint8_t kMalformed = 3;    // request shorter than its own fields say
inline constexpr std::uint8_t kSaveFailed = 2;   // write-complete could not store the image
} // namespace netcmd

namespace raw {
inline constexpr std::size_t kRequestSize = 60;
inline constexpr std::size_t kAnswerMinSize = 106;
inline constexpr std::size_t kNameField = 8; // both names get 8 bytes in the frame, NUL included
} // namespace raw

class NetCmdLogic {
public:
    using Datagram = std::vector<std::uint8_t>;
    // Called on a valid write-complete; returns the result byte of the answer.
    using CommitHandler = std::function<std::uint8_t()>;
    using EventHandler = std::function<void(const std::string&)>;

    NetCmdLogic(EepromImage& image, DeviceIdentity identity);

    void setCommitHandler(CommitHandler handler) { m_commit = std::move(handler); }
    void setEventHandler(EventHandler handler) { m_event = std::move(handler); }
    void setAnswerTwice(bool twice) { m_answerTwice = twice; }
    void setRefuseLoginStart(bool refuse) { m_refuseLoginStart = refuse; }

    // Answers to one received datagram from `peerIp` (host order), in sending order.
    std::vector<Datagram> handle(const std::uint8_t* data, std::size_t size, std::uint32_t peerIp);

    Datagram searchAnswer() const;
    // Count byte followed by (type, length, value) options 1, 3, 4 and (with a control port) 5.
    std::vector<std::uint8_t> optionBytes() const;
    // The Ethernet frame answering a discovery frame from `requester`.
    std::vector<std::uint8_t> rawAnswer(const MacAddress& requester) const;
    // True for a well-formed discovery request frame.
    static bool isRawRequest(const std::uint8_t* frame, std::size_t size);

    const DeviceIdentity& identity() const { return m_identity; }

private:
    struct PendingLogin {
        std::uint32_t peerIp;
        std::uint8_t nonce[4];
    };
    Datagram loginStart(const std::uint8_t* req, std::uint32_t peerIp);
    Datagram loginCredentials(const std::uint8_t* req, std::size_t length, std::uint32_t peerIp);
    Datagram eepromRead(const std::uint8_t* req);
    Datagram eepromWrite(const std::uint8_t* req, std::size_t length);
    Datagram writeComplete(const std::uint8_t* req);
    bool validSession(const std::uint8_t* connectionId) const;
    void event(const std::string& text) const {
        if (m_event)
            m_event(text);
    }

    EepromImage& m_image;
    DeviceIdentity m_identity;
    CommitHandler m_commit;
    EventHandler m_event;
    bool m_answerTwice = false;
    bool m_refuseLoginStart = false;
    std::deque<PendingLogin> m_pendingLogins;
    std::deque<std::uint32_t> m_sessions;
    std::mt19937 m_random;
};

} // namespace devsim
