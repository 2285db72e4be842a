// The discovery frame's bytes and the decoding of answer frames, including hostile input:
// every buffer is heap-allocated at its exact size so AddressSanitizer sees any overread.

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "device/raw_frame.h"

namespace {

// A heap copy of exactly `size` bytes, so reading one byte past it is an ASan error.
class ExactBuffer {
public:
    explicit ExactBuffer(const std::vector<std::uint8_t>& bytes, std::size_t size)
        : m_size(size), m_data(std::make_unique<std::uint8_t[]>(size == 0 ? 1 : size)) {
        std::copy_n(bytes.begin(), std::min(size, bytes.size()), m_data.get());
    }
    explicit ExactBuffer(const std::vector<std::uint8_t>& bytes) : ExactBuffer(bytes, bytes.size()) {}
    // A zero-length span still needs a valid pointer; it points at a one-byte allocation.
    std::span<const std::uint8_t> span() const { return {m_data.get(), m_size}; }

private:
    std::size_t m_size;
    std::unique_ptr<std::uint8_t[]> m_data;
};

struct AnswerSpec {
    MacAddress source{0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
    std::uint8_t deviceId[2] = {0x12, 0x34};
    std::uint8_t connection[2] = {0xAB, 0xCD};
    MacAddress mac{0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
    std::uint8_t ip[4] = {192, 168, 222, 5};
    std::uint8_t mask[4] = {255, 255, 255, 0};
    std::uint8_t gateway[4] = {192, 168, 222, 1};
    std::string deviceName = "KT550"; // written at 48; 7 characters fit before 56
    std::string projectName = "Tarn"; // written at 56
    std::vector<std::uint8_t> tail;   // bytes from 106 on
    std::uint8_t operation = 0x02;
};

// The answer a device sends, laid out byte by byte from the frame's table.
std::vector<std::uint8_t> answerFrame(const AnswerSpec& spec) {
    std::vector<std::uint8_t> frame(106, 0);
    std::fill_n(frame.begin(), 6, 0xFF);
    std::copy(spec.source.begin(), spec.source.end(), frame.begin() + 6);
    frame[12] = 0x08;
    frame[13] = 0x06;
    frame[16] = 0xF0;
    frame[17] = 0x00;
    frame[18] = spec.deviceId[0];
    frame[19] = spec.deviceId[1];
    frame[22] = spec.connection[0];
    frame[23] = spec.connection[1];
    frame[26] = 0x00;
    frame[27] = spec.operation;
    std::copy(spec.mac.begin(), spec.mac.end(), frame.begin() + 30);
    std::copy_n(spec.ip, 4, frame.begin() + 36);
    std::copy_n(spec.mask, 4, frame.begin() + 40);
    std::copy_n(spec.gateway, 4, frame.begin() + 44);
    std::copy(spec.deviceName.begin(), spec.deviceName.end(), frame.begin() + 48);
    std::copy(spec.projectName.begin(), spec.projectName.end(), frame.begin() + 56);
    frame.insert(frame.end(), spec.tail.begin(), spec.tail.end());
    return frame;
}

TEST(DiscoveryFrame, MatchesTheWireLayoutByteForByte) {
    const MacAddress adapter{0x02, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE};
    const DiscoveryFrame frame = buildDiscoveryFrame(adapter);
    std::vector<std::uint8_t> expected(60, 0);
    const std::uint8_t head[] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0xAA, 0xBB, 0xCC,
                                 0xDD, 0xEE, 0x08, 0x06, 0x00, 0x01, 0xF0, 0x00, 0x00, 0x01,
                                 0x00, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0xFF, 0xFF};
    std::copy(std::begin(head), std::end(head), expected.begin());
    EXPECT_EQ(std::vector<std::uint8_t>(frame.begin(), frame.end()), expected);
    // Our own request is not an answer, so hearing it on the wire adds nothing.
    EXPECT_FALSE(isDiscoveryAnswer(frame));
    EXPECT_FALSE(parseRawAnswer(frame).has_value());
}

TEST(RawAnswerParse, TakesEveryFieldFromItsOffset) {
    AnswerSpec spec;
    spec.projectName = "TarnProject";
    spec.tail = {0x01, 0x04, 0x01, 0x03};
    const ExactBuffer frame(answerFrame(spec));
    const auto answer = parseRawAnswer(frame.span());
    ASSERT_TRUE(answer.has_value());
    const _KT550Node& node = answer->node;
    EXPECT_EQ(answer->sourceMac, spec.source);
    EXPECT_EQ(node.deviceId, 0x3412) << "the two bytes are stored as they stand, first byte low";
    const std::uint8_t connection[4] = {0xAB, 0xCD, 0, 0};
    EXPECT_EQ(0, std::memcmp(node.connectionId, connection, 4));
    EXPECT_EQ(0, std::memcmp(node.mac, spec.mac.data(), 6));
    EXPECT_EQ(dottedText(node.ip), "192.168.222.5");
    EXPECT_EQ(dottedText(node.mask), "255.255.255.0");
    EXPECT_EQ(dottedText(node.gateway), "192.168.222.1");
    EXPECT_STREQ(node.deviceName, "KT550");
    EXPECT_STREQ(node.projectName, "TarnProject");
    // Options run from byte 64 to the end: 110 - 64.
    ASSERT_EQ(node.options.size(), 46u);
    EXPECT_EQ(node.options[0], 'e') << "byte 64 lies inside the project name field";
    EXPECT_EQ(std::vector<std::uint8_t>(node.options.end() - 4, node.options.end()), spec.tail);
}

struct NameCase {
    const char* label;
    std::vector<std::uint8_t> bytes48to105; // the 58 bytes both names are read from
    std::string deviceName;
    std::string projectName;
};

std::vector<std::uint8_t> filled(std::size_t count, char c) {
    return std::vector<std::uint8_t>(count, static_cast<std::uint8_t>(c));
}

TEST(RawAnswerParse, NamesStopAtTheirNulOrAreCutToTheirField) {
    auto name19 = filled(19, 'D');
    name19.resize(58, 0);
    auto noNulAnywhere = filled(58, 'X');
    auto projectNoNul = filled(8, 'd');
    projectNoNul[7] = 0;
    const auto projectRun = filled(50, 'p');
    projectNoNul.insert(projectNoNul.end(), projectRun.begin(), projectRun.end());
    auto empty = std::vector<std::uint8_t>(58, 0);

    const std::vector<NameCase> cases = {
        {"19 characters then NUL", name19, std::string(19, 'D'), std::string(11, 'D')},
        {"no NUL in either field", noNulAnywhere, std::string(19, 'X'), std::string(49, 'X')},
        {"project name without NUL", projectNoNul, "ddddddd", std::string(49, 'p')},
        {"both empty", empty, "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        auto bytes = answerFrame(AnswerSpec{});
        std::copy(c.bytes48to105.begin(), c.bytes48to105.end(), bytes.begin() + 48);
        const ExactBuffer frame(bytes);
        const auto answer = parseRawAnswer(frame.span());
        ASSERT_TRUE(answer.has_value());
        EXPECT_EQ(std::string(answer->node.deviceName), c.deviceName);
        EXPECT_EQ(std::string(answer->node.projectName), c.projectName);
        EXPECT_EQ(answer->node.deviceName[19], '\0');
        EXPECT_EQ(answer->node.projectName[49], '\0');
    }
}

struct AcceptCase {
    const char* label;
    std::size_t length;
    std::uint8_t signature0;
    std::uint8_t operation;
    bool accepted;
};

TEST(RawAnswerParse, AcceptsOnlyCompleteAnswers) {
    const std::vector<AcceptCase> cases = {
        {"minimum answer", 106, 0xF0, 0x02, true},
        {"one byte short", 105, 0xF0, 0x02, false},
        {"100 bytes would need reads past the end", 100, 0xF0, 0x02, false},
        {"header only", 28, 0xF0, 0x02, false},
        {"another host's request", 106, 0xF0, 0x01, false},
        {"other traffic", 106, 0x45, 0x02, false},
        {"large answer", 1514, 0xF0, 0x02, true},
        {"largest capture", 65536, 0xF0, 0x02, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        AnswerSpec spec;
        spec.operation = c.operation;
        auto bytes = answerFrame(spec);
        bytes[16] = c.signature0;
        const ExactBuffer frame(bytes, c.length);
        const auto answer = parseRawAnswer(frame.span());
        EXPECT_EQ(answer.has_value(), c.accepted);
        if (answer) {
            EXPECT_EQ(answer->node.options.size(), c.length - 64);
        }
    }
}

TEST(RawAnswerParse, EveryTruncationOfAnAnswerIsSafe) {
    AnswerSpec spec;
    spec.deviceName = std::string(20, 'N'); // no terminator inside its field
    spec.tail = filled(40, 'o');
    const auto bytes = answerFrame(spec);
    for (std::size_t length = 0; length <= bytes.size(); ++length) {
        const ExactBuffer frame(bytes, length);
        const auto answer = parseRawAnswer(frame.span());
        EXPECT_EQ(answer.has_value(), length >= kRawAnswerMinSize) << "length " << length;
        EXPECT_EQ(isDiscoveryAnswer(frame.span()), length >= 28) << "length " << length;
    }
}

TEST(RawAnswerParse, RandomInputNeverReadsPastTheFrame) {
    std::mt19937 random(20240611);
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<std::size_t> length(0, 400);
    for (int round = 0; round < 20000; ++round) {
        std::vector<std::uint8_t> bytes(length(random));
        for (auto& b : bytes)
            b = static_cast<std::uint8_t>(byte(random));
        // Half the rounds carry the answer's marks, so the deep paths run too.
        if (round % 2 == 0 && bytes.size() >= 28) {
            bytes[16] = 0xF0;
            bytes[17] = 0x00;
            bytes[26] = 0x00;
            bytes[27] = 0x02;
        }
        const ExactBuffer frame(bytes);
        const auto answer = parseRawAnswer(frame.span());
        if (answer) {
            ASSERT_GE(bytes.size(), kRawAnswerMinSize);
            ASSERT_LT(std::strlen(answer->node.deviceName), sizeof answer->node.deviceName);
            ASSERT_LT(std::strlen(answer->node.projectName), sizeof answer->node.projectName);
            ASSERT_EQ(answer->node.options.size(), bytes.size() - 64);
        }
    }
}

} // namespace
