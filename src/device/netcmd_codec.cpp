#include "device/netcmd_codec.h"

#include <algorithm>
#include <cstring>

namespace netcmd {
namespace {

// The fixed search request; its length field holds 0x00C0 although it is 12 bytes long,
// which is what the devices expect.
constexpr std::uint8_t kSearchRequest[kSearchRequestSize] = {0x01, 0x00, 0x00, 0xC0, 0x00, 0x00,
                                                             0x00, 0x00, 0x00, 0x01, 0xFF, 0xFF};

void writeHeader(std::uint8_t* p, std::size_t length, std::uint8_t group, std::uint8_t opcode) {
    p[0] = 0x01;
    p[1] = 0x00;
    writeBe16(p + 2, static_cast<std::uint16_t>(length));
    p[8] = group;
    p[9] = opcode;
}

// The nonce travels in memory order, least significant byte first.
void writeNonce(std::uint8_t* p, std::uint32_t nonce) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<std::uint8_t>(nonce >> (8 * i));
}

bool clearFor(std::span<std::uint8_t> out, std::size_t length) {
    std::fill(out.begin(), out.end(), std::uint8_t{0});
    return length <= out.size() && length <= 0xFFFF;
}

} // namespace

std::size_t buildSearchRequest(std::span<std::uint8_t> out) {
    if (!clearFor(out, kSearchRequestSize))
        return 0;
    std::memcpy(out.data(), kSearchRequest, kSearchRequestSize);
    return kSearchRequestSize;
}

std::size_t buildLoginStart(std::span<std::uint8_t> out, std::uint32_t nonce) {
    if (!clearFor(out, kHeaderSize))
        return 0;
    writeHeader(out.data(), kHeaderSize, kGroupSearch, kOpLoginStart);
    writeNonce(out.data() + 10, nonce);
    return kHeaderSize;
}

std::size_t buildLoginCredentials(std::span<std::uint8_t> out, std::uint32_t nonce, std::string_view account,
                                  std::string_view password) {
    const std::size_t length = 16 + account.size() + password.size();
    if (!clearFor(out, length) || account.size() > 0xFF || password.size() > 0xFF)
        return 0;
    std::uint8_t* p = out.data();
    writeHeader(p, length, kGroupSearch, kOpLoginCredentials);
    writeNonce(p + 10, nonce);
    p[14] = static_cast<std::uint8_t>(account.size());
    p[15] = static_cast<std::uint8_t>(password.size());
    if (!account.empty())
        std::memcpy(p + 16, account.data(), account.size());
    if (!password.empty())
        std::memcpy(p + 16 + account.size(), password.data(), password.size());
    return length;
}

std::size_t buildEepromRead(std::span<std::uint8_t> out, const std::uint8_t connectionId[4], std::uint16_t start,
                            std::uint16_t count) {
    if (!clearFor(out, kHeaderSize))
        return 0;
    std::uint8_t* p = out.data();
    writeHeader(p, kHeaderSize, kGroupEeprom, kOpEepromRead);
    std::memcpy(p + 4, connectionId, 4);
    writeBe16(p + 10, start);
    writeBe16(p + 12, count);
    return kHeaderSize;
}

std::size_t buildEepromWrite(std::span<std::uint8_t> out, const std::uint8_t connectionId[4], std::uint16_t start,
                             std::span<const std::uint8_t> data) {
    const std::size_t length = kHeaderSize + data.size();
    if (!clearFor(out, length))
        return 0;
    std::uint8_t* p = out.data();
    writeHeader(p, length, kGroupEeprom, kOpEepromWrite);
    std::memcpy(p + 4, connectionId, 4);
    writeBe16(p + 10, start);
    writeBe16(p + 12, static_cast<std::uint16_t>(data.size()));
    if (!data.empty())
        std::memcpy(p + kHeaderSize, data.data(), data.size());
    return length;
}

std::size_t buildWriteDone(std::span<std::uint8_t> out, const std::uint8_t connectionId[4]) {
    if (!clearFor(out, kHeaderSize))
        return 0;
    std::uint8_t* p = out.data();
    writeHeader(p, kHeaderSize, kGroupEeprom, kOpWriteDone);
    std::memcpy(p + 4, connectionId, 4);
    p[10] = kWriteDoneMarker;
    return kHeaderSize;
}

WalkEnd walkRecords(std::span<const std::uint8_t> datagram, long received, const TraceSink& trace,
                    const RecordHandler& onRecord) {
    // A failed receive (-1) counts as "too much", as does anything the buffer cannot hold.
    if (received < 0 || received > static_cast<long>(kBufferSize)) {
        tracef(trace, "\n Rx too much data from UDP !");
        return WalkEnd::NothingUsable;
    }
    std::size_t remaining = std::min(static_cast<std::size_t>(received), datagram.size());
    const std::uint8_t* p = datagram.data();
    while (remaining > 0) {
        if (remaining < 4)
            return WalkEnd::Truncated;
        const std::size_t length = readBe16(p + 2);
        tracef(trace, "\n cmdlength=[%d]", static_cast<int>(length));
        if (length > remaining) {
            tracef(trace, "\n Error: cmd length is greater than data length");
            return WalkEnd::RecordTooLong;
        }
        // A zero length would never advance; nothing sound follows it in this datagram.
        if (length == 0)
            return WalkEnd::ZeroLength;
        if (onRecord && onRecord(std::span<const std::uint8_t>(p, length)))
            return WalkEnd::Stopped;
        p += length;
        remaining -= length;
    }
    return WalkEnd::Complete;
}

bool isSearchAnswer(std::span<const std::uint8_t> record) {
    return record.size() >= kSearchAnswerFixedSize && record[9] == kOpSearchAnswer;
}

std::unique_ptr<_KT550Node> parseSearchAnswer(std::span<const std::uint8_t> record, const TraceSink& trace) {
    if (!isSearchAnswer(record))
        return nullptr;
    const std::uint8_t* p = record.data();
    const std::size_t size = record.size();
    auto node = std::make_unique<_KT550Node>();
    node->deviceId = readBe16(p + 10);
    std::memcpy(node->mac, p + 12, 6);
    std::memcpy(node->ip, p + 18, 4);
    std::memcpy(node->mask, p + 22, 4);
    std::memcpy(node->gateway, p + 26, 4);

    // Each name runs to its terminator, or to the record's end when a device sends none.
    const auto textLength = [&](std::size_t at) -> std::size_t {
        if (at >= size)
            return 0;
        const void* nul = std::memchr(p + at, 0, size - at);
        return nul ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(nul) - (p + at)) : size - at;
    };
    const std::size_t nameAt = kSearchAnswerFixedSize;
    const std::size_t nameLength = textLength(nameAt);
    setNodeText(node->deviceName, reinterpret_cast<const char*>(p + nameAt), nameLength);
    tracef(trace, "\n   NnameLength=[%d]", static_cast<int>(nameLength));

    const std::size_t projectAt = nameAt + nameLength + 1;
    const std::size_t projectLength = textLength(projectAt);
    if (projectLength > 0)
        setNodeText(node->projectName, reinterpret_cast<const char*>(p + projectAt), projectLength);
    tracef(trace, "\n   PnameLength=[%d]", static_cast<int>(projectLength));

    const long optionLength =
        static_cast<long>(size) - static_cast<long>(nameLength) - static_cast<long>(projectLength) - 32;
    tracef(trace, "\n OptionLen=[%ld]", optionLength);
    if (optionLength > 0) {
        const std::size_t optionsAt = 32 + nameLength + projectLength;
        node->options.assign(p + optionsAt, p + optionsAt + static_cast<std::size_t>(optionLength));
    }
    return node;
}

LoginAnswer parseLoginAnswer(std::span<const std::uint8_t> datagram, std::uint8_t opcode) {
    LoginAnswer answer;
    if (datagram.size() < 15 || datagram[9] != opcode)
        return answer;
    if (datagram[14] != 0) {
        answer.result = AnswerResult::Refused;
        return answer;
    }
    answer.result = AnswerResult::Accepted;
    std::memcpy(answer.connectionId, datagram.data() + 4, 4);
    return answer;
}

AnswerResult matchEepromReadAnswer(std::span<const std::uint8_t> record, std::uint16_t start, std::uint16_t count) {
    if (record.size() < kHeaderSize || record[8] != kGroupEeprom || record[9] != kOpEepromReadAnswer)
        return AnswerResult::NotIt;
    if (readBe16(record.data() + 10) != start || readBe16(record.data() + 12) != count)
        return AnswerResult::NotIt;
    if (count == 0)
        return AnswerResult::Refused;
    // An answer that claims the count but does not carry the bytes is not the answer.
    if (record.size() < kHeaderSize + count)
        return AnswerResult::NotIt;
    return AnswerResult::Accepted;
}

namespace {
AnswerResult parseStatusAnswer(std::span<const std::uint8_t> datagram, std::uint8_t opcode) {
    if (datagram.size() < 11 || datagram[8] != kGroupEeprom || datagram[9] != opcode)
        return AnswerResult::NotIt;
    return datagram[10] == 0 ? AnswerResult::Accepted : AnswerResult::Refused;
}
} // namespace

AnswerResult parseEepromWriteAnswer(std::span<const std::uint8_t> datagram) {
    return parseStatusAnswer(datagram, kOpEepromWriteAnswer);
}

AnswerResult parseWriteDoneAnswer(std::span<const std::uint8_t> datagram) {
    return parseStatusAnswer(datagram, kOpWriteDoneAnswer);
}

} // namespace netcmd
