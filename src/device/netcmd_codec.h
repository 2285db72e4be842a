#pragma once
// The NetCmd wire format: building every request into the shared buffer and reading every
// answer. Every reader checks each length before it reads, whatever the datagram holds.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string_view>

#include "device/kt550_node.h"
#include "device/netcmd_trace.h"

namespace netcmd {

inline constexpr std::size_t kBufferSize = 8192;
inline constexpr std::size_t kHeaderSize = 14;
inline constexpr std::size_t kSearchRequestSize = 12;
// Fixed part of a search answer: header, device ID, MAC, IP, mask, gateway.
inline constexpr std::size_t kSearchAnswerFixedSize = 30;

enum : std::uint8_t { kGroupSearch = 0, kGroupEeprom = 1 };

enum : std::uint8_t {
    kOpSearch = 0x01,
    kOpSearchAnswer = 0x02,
    kOpLoginStart = 0x05,
    kOpLoginStartAnswer = 0x06,
    kOpLoginCredentials = 0x07,
    kOpLoginCredentialsAnswer = 0x08,
    kOpEepromRead = 0x05,
    kOpEepromReadAnswer = 0x06,
    kOpEepromWrite = 0x07,
    kOpEepromWriteAnswer = 0x08,
    kOpWriteDone = 0x25,
    kOpWriteDoneAnswer = 0x26,
};

inline constexpr std::uint8_t kWriteDoneMarker = 0xAA;

inline std::uint16_t readBe16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}
inline void writeBe16(std::uint8_t* p, std::uint16_t value) {
    p[0] = static_cast<std::uint8_t>(value >> 8);
    p[1] = static_cast<std::uint8_t>(value);
}

// Request builders. Each clears `out` first and returns the request's length, or 0 when the
// request cannot be built (it would not fit, or a text is too long for its length byte).
std::size_t buildSearchRequest(std::span<std::uint8_t> out);
std::size_t buildLoginStart(std::span<std::uint8_t> out, std::uint32_t nonce);
std::size_t buildLoginCredentials(std::span<std::uint8_t> out, std::uint32_t nonce, std::string_view account,
                                  std::string_view password);
std::size_t buildEepromRead(std::span<std::uint8_t> out, const std::uint8_t connectionId[4], std::uint16_t start,
                            std::uint16_t count);
std::size_t buildEepromWrite(std::span<std::uint8_t> out, const std::uint8_t connectionId[4], std::uint16_t start,
                             std::span<const std::uint8_t> data);
std::size_t buildWriteDone(std::span<std::uint8_t> out, const std::uint8_t connectionId[4]);

enum class WalkEnd {
    Complete,      // every record was handed over
    Stopped,       // the handler asked to stop
    NothingUsable, // a failed receive, or more than the buffer can hold
    RecordTooLong, // a record claims more bytes than remain
    ZeroLength,    // a record of length 0 would never advance
    Truncated,     // fewer than four bytes left: no length field to read
};

// Walks the records of one datagram. `received` is the receive result (negative for a failed
// receive); only min(received, datagram.size()) bytes are ever read. `onRecord` gets each
// record (exactly its claimed length) and returns true to stop the walk.
using RecordHandler = std::function<bool(std::span<const std::uint8_t> record)>;
WalkEnd walkRecords(std::span<const std::uint8_t> datagram, long received, const TraceSink& trace,
                    const RecordHandler& onRecord);

// True for a record that is a search answer with all its fixed fields present.
bool isSearchAnswer(std::span<const std::uint8_t> record);
// The MAC of a search answer (`isSearchAnswer` must hold).
inline const std::uint8_t* searchAnswerMac(std::span<const std::uint8_t> record) {
    return record.data() + 12;
}
// Builds a node from a search answer, tracing the name and option lengths. Names without a
// terminator run to the record's end; names are cut to their fields. Null when the record is
// not a complete search answer.
std::unique_ptr<_KT550Node> parseSearchAnswer(std::span<const std::uint8_t> record, const TraceSink& trace);

enum class AnswerResult { NotIt, Accepted, Refused };

struct LoginAnswer {
    AnswerResult result = AnswerResult::NotIt;
    std::uint8_t connectionId[4] = {0, 0, 0, 0};
};
// Reads the first record of a login answer with opcode `opcode` (0x06 or 0x08).
LoginAnswer parseLoginAnswer(std::span<const std::uint8_t> datagram, std::uint8_t opcode);

// Matches an EEPROM read answer record for (start, count). Accepted means its `count` data
// bytes follow at offset 14 (all inside the record); Refused is a matching answer with count 0.
AnswerResult matchEepromReadAnswer(std::span<const std::uint8_t> record, std::uint16_t start, std::uint16_t count);
// The write and write-complete answers are read from the datagram's first bytes.
AnswerResult parseEepromWriteAnswer(std::span<const std::uint8_t> datagram);
AnswerResult parseWriteDoneAnswer(std::span<const std::uint8_t> datagram);

} // namespace netcmd
