// The NetCmd codec: request layouts byte for byte, the record walk, and every answer reader
// fed well-formed, truncated, oversized, zero-length and random bytes. Buffers are allocated
// at their exact size so AddressSanitizer catches any read past them.

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "device/netcmd_codec.h"
#include "device/netcmd_responder.h"

namespace {

using testnetcmd::Bytes;
using testnetcmd::DeviceDescription;
using testnetcmd::header;
using testnetcmd::searchAnswer;

struct TraceLog {
    std::string text;
    TraceSink sink() {
        return [this](std::string_view line) { text.append(line); };
    }
};

const std::uint8_t kConnection[4] = {0xDE, 0xAD, 0xBE, 0xEF};

TEST(NetCmdRequests, LayoutsAreByteExact) {
    struct Case {
        const char* name;
        std::function<std::size_t(std::span<std::uint8_t>)> build;
        Bytes expected;
    };
    const Case cases[] = {
        {"search",
         [](auto out) { return netcmd::buildSearchRequest(out); },
         {0x01, 0x00, 0x00, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0xFF, 0xFF}},
        {"login start carries the nonce least significant byte first",
         [](auto out) { return netcmd::buildLoginStart(out, 0x11223344u); },
         {0x01, 0, 0x00, 0x0E, 0, 0, 0, 0, 0x00, 0x05, 0x44, 0x33, 0x22, 0x11}},
        {"credentials: 5-character account, 4-character password",
         [](auto out) { return netcmd::buildLoginCredentials(out, 0x01020304u, "admin", "pass"); },
         {0x01, 0,    0x00, 0x19, 0,   0,   0,   0,   0x00, 0x07, 0x04, 0x03, 0x02,
          0x01, 0x05, 0x04, 'a',  'd', 'm', 'i', 'n', 'p',  'a',  's',  's'}},
        {"empty credentials give length 16 with both lengths 0",
         [](auto out) { return netcmd::buildLoginCredentials(out, 1, "", ""); },
         {0x01, 0, 0x00, 0x10, 0, 0, 0, 0, 0x00, 0x07, 0x01, 0, 0, 0, 0x00, 0x00}},
        {"EEPROM read",
         [](auto out) { return netcmd::buildEepromRead(out, kConnection, 0x0400, 0x0400); },
         {0x01, 0, 0x00, 0x0E, 0xDE, 0xAD, 0xBE, 0xEF, 0x01, 0x05, 0x04, 0x00, 0x04, 0x00}},
        {"EEPROM write",
         [](auto out) {
             const std::uint8_t data[3] = {7, 8, 9};
             return netcmd::buildEepromWrite(out, kConnection, 0x0010, data);
         },
         {0x01, 0, 0x00, 0x11, 0xDE, 0xAD, 0xBE, 0xEF, 0x01, 0x07, 0x00, 0x10, 0x00, 0x03, 7, 8, 9}},
        {"write complete",
         [](auto out) { return netcmd::buildWriteDone(out, kConnection); },
         {0x01, 0, 0x00, 0x0E, 0xDE, 0xAD, 0xBE, 0xEF, 0x01, 0x25, 0xAA, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes out(netcmd::kBufferSize, 0x5A); // stale bytes must be cleared
        const std::size_t length = c.build(out);
        ASSERT_EQ(length, c.expected.size());
        EXPECT_EQ(Bytes(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(length)), c.expected);
        EXPECT_TRUE(std::all_of(out.begin() + static_cast<std::ptrdiff_t>(length), out.end(),
                                [](std::uint8_t b) { return b == 0; }));
    }
}

TEST(NetCmdRequests, RequestsThatCannotFitAreRefused) {
    Bytes small(13);
    EXPECT_EQ(netcmd::buildLoginStart(small, 1), 0u);
    EXPECT_EQ(netcmd::buildSearchRequest(std::span<std::uint8_t>(small).first(11)), 0u);
    Bytes out(netcmd::kBufferSize);
    EXPECT_EQ(netcmd::buildLoginCredentials(out, 1, std::string(256, 'a'), "p"), 0u) << "length byte overflows";
    const Bytes huge(netcmd::kBufferSize, 1);
    EXPECT_EQ(netcmd::buildEepromWrite(out, kConnection, 0, huge), 0u) << "14 + 8192 exceeds the buffer";
}

struct WalkCase {
    const char* name;
    Bytes datagram;
    long received;
    std::size_t expectedRecords;
    netcmd::WalkEnd expectedEnd;
    const char* expectedTrace;
};

TEST(NetCmdWalk, EndsSafelyOnEveryShapeOfDatagram) {
    const Bytes a = header(14, 0, 2), b = header(20, 0, 2), c = header(16, 1, 6);
    const Bytes three = testnetcmd::concat({a, b, c});
    Bytes claimsMore = header(14, 0, 2);
    netcmd::writeBe16(claimsMore.data() + 2, 15);
    const Bytes zeroAfterOne = testnetcmd::concat({a, Bytes(14, 0), a});
    const WalkCase cases[] = {
        {"nothing received", {}, -1, 0, netcmd::WalkEnd::NothingUsable, "\n Rx too much data from UDP !"},
        {"more than the buffer", Bytes(16), 8193, 0, netcmd::WalkEnd::NothingUsable, "\n Rx too much data from UDP !"},
        {"empty datagram", {}, 0, 0, netcmd::WalkEnd::Complete, ""},
        {"three records", three, static_cast<long>(three.size()), 3, netcmd::WalkEnd::Complete,
         "\n cmdlength=[14]\n cmdlength=[20]\n cmdlength=[16]"},
        {"first record longer than the datagram", claimsMore, 14, 0, netcmd::WalkEnd::RecordTooLong,
         "\n cmdlength=[15]\n Error: cmd length is greater than data length"},
        {"zero length ends the walk", zeroAfterOne, static_cast<long>(zeroAfterOne.size()), 1,
         netcmd::WalkEnd::ZeroLength, "\n cmdlength=[14]\n cmdlength=[0]"},
        {"trailing bytes too few for a length", testnetcmd::concat({a, Bytes{1, 0, 0}}), 17, 1,
         netcmd::WalkEnd::Truncated, "\n cmdlength=[14]"},
        {"result larger than the bytes held", a, 100, 1, netcmd::WalkEnd::Complete, "\n cmdlength=[14]"},
    };
    for (const WalkCase& wc : cases) {
        SCOPED_TRACE(wc.name);
        TraceLog trace;
        std::size_t records = 0;
        const auto end = netcmd::walkRecords(wc.datagram, wc.received, trace.sink(), [&](auto record) {
            EXPECT_GE(record.size(), 4u);
            ++records;
            return false;
        });
        EXPECT_EQ(end, wc.expectedEnd);
        EXPECT_EQ(records, wc.expectedRecords);
        EXPECT_EQ(trace.text, wc.expectedTrace);
    }
}

TEST(NetCmdWalk, HandlerCanStopTheWalk) {
    const Bytes two = testnetcmd::concat({header(14, 0, 2), header(14, 0, 2)});
    std::size_t records = 0;
    EXPECT_EQ(netcmd::walkRecords(two, 28, {}, [&](auto) { return ++records == 1; }), netcmd::WalkEnd::Stopped);
    EXPECT_EQ(records, 1u);
}

TEST(NetCmdSearchAnswer, DecodesEveryField) {
    DeviceDescription d;
    d.id = 0xBEEF;
    d.name = "Alpha";
    d.project = "Project";
    d.options = {2, 1, 2, 0x0F, 0xA1, 4, 1, 0x01}; // port 4001, mode 1
    const Bytes record = searchAnswer(d);
    ASSERT_EQ(record.size(), 32u + 5u + 7u + 8u);
    TraceLog trace;
    const auto node = netcmd::parseSearchAnswer(record, trace.sink());
    ASSERT_TRUE(node);
    EXPECT_EQ(node->deviceId, 0xBEEF);
    EXPECT_EQ(0, std::memcmp(node->mac, d.mac, 6));
    EXPECT_EQ(0, std::memcmp(node->ip, d.ip, 4));
    EXPECT_EQ(0, std::memcmp(node->mask, d.mask, 4));
    EXPECT_EQ(0, std::memcmp(node->gateway, d.gateway, 4));
    EXPECT_STREQ(node->deviceName, "Alpha");
    EXPECT_STREQ(node->projectName, "Project");
    EXPECT_EQ(node->options, d.options);
    EXPECT_FALSE(node->loggedIn());
    EXPECT_EQ(trace.text, "\n   NnameLength=[5]\n   PnameLength=[7]\n OptionLen=[8]");
}

struct NameCase {
    const char* name;
    Bytes record;
    const char* deviceName;
    const char* projectName;
    std::size_t optionBytes;
};

TEST(NetCmdSearchAnswer, CutsAndBoundsEveryText) {
    DeviceDescription base;
    auto withNames = [&](std::string n, std::string p, Bytes options = {}) {
        DeviceDescription d = base;
        d.name = std::move(n);
        d.project = std::move(p);
        d.options = std::move(options);
        return searchAnswer(d);
    };
    // A record of length 50 with a 5- and a 7-character name carries 6 option bytes.
    const Bytes fifty = withNames("Alpha", "Project", Bytes{1, 5, 2, 0x1F, 0x90, 0});
    Bytes nameUnterminated = header(40, 0, 2);
    std::fill(nameUnterminated.begin() + 30, nameUnterminated.end(), 'N');
    Bytes projectUnterminated = withNames("ab", "");
    projectUnterminated.resize(projectUnterminated.size() - 1); // drop the project's NUL
    projectUnterminated.insert(projectUnterminated.end(), {'P', 'Q'});
    netcmd::writeBe16(projectUnterminated.data() + 2, static_cast<std::uint16_t>(projectUnterminated.size()));
    static const std::string longProject(49, 'P');
    const NameCase cases[] = {
        {"option length = length - n - m - 32", fifty, "Alpha", "Project", 6},
        {"no options", withNames("x", "y"), "x", "y", 0},
        {"empty names", withNames("", ""), "", "", 0},
        {"device name cut to 19", withNames(std::string(25, 'D'), "p"), "DDDDDDDDDDDDDDDDDDD", "p", 0},
        {"project name cut to 49", withNames("d", std::string(60, 'P')), "d", longProject.c_str(), 0},
        {"device name without terminator", nameUnterminated, "NNNNNNNNNN", "", 0},
        {"project name without terminator", projectUnterminated, "ab", "PQ", 0},
    };
    for (const NameCase& c : cases) {
        SCOPED_TRACE(c.name);
        const auto node = netcmd::parseSearchAnswer(c.record, {});
        ASSERT_TRUE(node);
        EXPECT_STREQ(node->deviceName, c.deviceName);
        EXPECT_STREQ(node->projectName, c.projectName);
        EXPECT_EQ(node->options.size(), c.optionBytes);
        EXPECT_EQ(node->deviceName[sizeof node->deviceName - 1], '\0');
        EXPECT_EQ(node->projectName[sizeof node->projectName - 1], '\0');
    }
}

TEST(NetCmdSearchAnswer, RefusesRecordsThatAreNotCompleteAnswers) {
    const Bytes full = searchAnswer(DeviceDescription{});
    for (std::size_t size = 0; size < netcmd::kSearchAnswerFixedSize; ++size) {
        const Bytes cut(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(size));
        EXPECT_FALSE(netcmd::parseSearchAnswer(cut, {})) << size;
        EXPECT_FALSE(netcmd::isSearchAnswer(cut)) << size;
    }
    Bytes wrongOpcode = full;
    wrongOpcode[9] = 0x01;
    EXPECT_FALSE(netcmd::parseSearchAnswer(wrongOpcode, {}));
    const Bytes fixedOnly(full.begin(), full.begin() + 30);
    const auto node = netcmd::parseSearchAnswer(fixedOnly, {});
    ASSERT_TRUE(node) << "fixed fields alone are an answer with empty names";
    EXPECT_STREQ(node->deviceName, "");
}

TEST(NetCmdAnswers, LoginAnswers) {
    struct Case {
        const char* name;
        Bytes datagram;
        std::uint8_t opcode;
        netcmd::AnswerResult expected;
    };
    Bytes ok = header(15, 0, 0x08);
    std::copy(std::begin(kConnection), std::end(kConnection), ok.begin() + 4);
    Bytes refused = header(15, 0, 0x06);
    refused[14] = 1;
    const Case cases[] = {
        {"accepted", ok, 0x08, netcmd::AnswerResult::Accepted},
        {"refused", refused, 0x06, netcmd::AnswerResult::Refused},
        {"other opcode", ok, 0x06, netcmd::AnswerResult::NotIt},
        {"too short to hold the status", Bytes(ok.begin(), ok.begin() + 14), 0x08, netcmd::AnswerResult::NotIt},
        {"empty", {}, 0x08, netcmd::AnswerResult::NotIt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto answer = netcmd::parseLoginAnswer(c.datagram, c.opcode);
        EXPECT_EQ(answer.result, c.expected);
        if (c.expected == netcmd::AnswerResult::Accepted) {
            EXPECT_EQ(0, std::memcmp(answer.connectionId, kConnection, 4));
        }
    }
}

TEST(NetCmdAnswers, EepromReadMatchesAddressCountAndLength) {
    auto readAnswer = [](std::uint16_t start, std::uint16_t count, std::size_t dataBytes, std::uint8_t group = 1) {
        Bytes b = header(14 + dataBytes, group, 0x06);
        netcmd::writeBe16(b.data() + 10, start);
        netcmd::writeBe16(b.data() + 12, count);
        return b;
    };
    struct Case {
        const char* name;
        Bytes record;
        netcmd::AnswerResult expected;
    };
    const Bytes headerOnly = readAnswer(1024, 1024, 0);
    const Case cases[] = {
        {"the answer", readAnswer(1024, 1024, 1024), netcmd::AnswerResult::Accepted},
        {"other address", readAnswer(0, 1024, 1024), netcmd::AnswerResult::NotIt},
        {"other count", readAnswer(1024, 512, 512), netcmd::AnswerResult::NotIt},
        {"search group", readAnswer(1024, 1024, 1024, 0), netcmd::AnswerResult::NotIt},
        {"claims the count but carries fewer bytes", readAnswer(1024, 1024, 1000), netcmd::AnswerResult::NotIt},
        {"header cut short", Bytes(headerOnly.begin(), headerOnly.begin() + 13), netcmd::AnswerResult::NotIt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(netcmd::matchEepromReadAnswer(c.record, 1024, 1024), c.expected);
    }
    EXPECT_EQ(netcmd::matchEepromReadAnswer(readAnswer(0, 0, 0), 0, 0), netcmd::AnswerResult::Refused);
}

TEST(NetCmdAnswers, WriteAndWriteCompleteStatus) {
    auto status = [](std::uint8_t opcode, std::uint8_t value, std::size_t size = 14) {
        Bytes b = header(size, 1, opcode);
        if (size > 10)
            b[10] = value;
        return b;
    };
    EXPECT_EQ(netcmd::parseEepromWriteAnswer(status(0x08, 0)), netcmd::AnswerResult::Accepted);
    EXPECT_EQ(netcmd::parseEepromWriteAnswer(status(0x08, 1)), netcmd::AnswerResult::Refused);
    EXPECT_EQ(netcmd::parseEepromWriteAnswer(status(0x26, 0)), netcmd::AnswerResult::NotIt);
    EXPECT_EQ(netcmd::parseEepromWriteAnswer(status(0x08, 0, 10)), netcmd::AnswerResult::NotIt);
    EXPECT_EQ(netcmd::parseWriteDoneAnswer(status(0x26, 0)), netcmd::AnswerResult::Accepted);
    EXPECT_EQ(netcmd::parseWriteDoneAnswer(status(0x26, 2)), netcmd::AnswerResult::Refused);
    Bytes searchGroup = status(0x26, 0);
    searchGroup[8] = 0;
    EXPECT_EQ(netcmd::parseWriteDoneAnswer(searchGroup), netcmd::AnswerResult::NotIt);
}

// Random and mutated datagrams through every reader. Each datagram lives in a heap block of
// exactly its size, so a read past it is an AddressSanitizer error.
TEST(NetCmdHostileInput, RandomAndMutatedDatagramsNeverReadPastTheirEnd) {
    std::mt19937 random(20240531);
    const Bytes seeds[] = {
        searchAnswer(DeviceDescription{}),
        testnetcmd::concat({searchAnswer(DeviceDescription{}), header(16, 1, 6), header(14, 0, 8)}),
    };
    std::size_t nodes = 0;
    for (int round = 0; round < 20000; ++round) {
        Bytes datagram;
        if (round % 2 == 0) {
            datagram.resize(random() % 300);
            for (auto& b : datagram)
                b = static_cast<std::uint8_t>(random());
            if (datagram.size() >= 10 && random() % 2)
                datagram[9] = 0x02;
        } else {
            datagram = seeds[static_cast<std::size_t>(random()) % 2];
            const int flips = 1 + static_cast<int>(random() % 4);
            for (int i = 0; i < flips; ++i)
                datagram[random() % datagram.size()] = static_cast<std::uint8_t>(random());
            datagram.resize(random() % (datagram.size() + 1));
        }
        const long received =
            random() % 8 == 0 ? static_cast<long>(random() % 9000) : static_cast<long>(datagram.size());
        netcmd::walkRecords(datagram, received, {}, [&](std::span<const std::uint8_t> record) {
            if (auto node = netcmd::parseSearchAnswer(record, {}))
                ++nodes;
            netcmd::matchEepromReadAnswer(record, 0, 1024);
            return false;
        });
        netcmd::parseLoginAnswer(datagram, 0x06);
        netcmd::parseEepromWriteAnswer(datagram);
        netcmd::parseWriteDoneAnswer(datagram);
    }
    EXPECT_GT(nodes, 0u) << "the mutations should still let some answers through";
}

} // namespace
