// The address and number text helpers, table by table, with the hostile and over-long input
// that the edit boxes normally keep out.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config/text_helpers.h"

namespace {

using config::AddressBytes;

TEST(TextHelpersTest, AddressCheck) {
    struct Case {
        std::string text;
        std::string expected;
    };
    const Case cases[] = {
        {"192.168.1.10", "192.168.1.10"},
        {"0.0.0.0", "0.0.0.0"},
        {"255.255.255.255", "255.255.255.255"},
        {"1..2.3", "1..2.3"},           // an empty part counts as 0
        {"010.001.0.9", "010.001.0.9"}, // unchanged, leading zeros and all
        {"192.168.1.300", "INVALID"},
        {"192.168.1.256", "INVALID"},
        {"99999999999.1.1.1", "INVALID"}, // a part beyond any integer
        {"1.2.3.4.5", "INVALID"},
        {".1.2.3", "INVALID"},
        {"1.2.3.", "INVALID"},
        {".", "INVALID"},
        {"", "INVALID"},
        // One decimal number: its bytes, most significant first.
        {"167772161", "10.0.0.1"},
        {"3232235786", "INVALID"}, // 192.168.1.10, but beyond the signed 32-bit range
        {"2147483647", "INVALID"}, // 127.255.255.255: ends in 255
        {"2147483646", "127.255.255.254"},
        {"256", "INVALID"},
        {"255", "INVALID"},
        {"0", "INVALID"},
        {"1", "0.0.0.1"},
        {"99999999999999999999999", "INVALID"},
        // Anything but digits and dots.
        {"10.0.0.a", "INVALID"},
        {"10.0.0. 1", "INVALID"},
        {" 10.0.0.1", "INVALID"},
        {"10.0.0.1/24", "INVALID"},
        {"-1", "INVALID"},
        {"+167772161", "INVALID"},
        {"10:0:0:1", "INVALID"},
        {"10.0.0.1~", "INVALID"},
        // Shortened addresses are refused, not expanded.
        {"10.1", "INVALID"},
        {"10.0.1", "INVALID"},
        // Over-long text is refused whatever it holds.
        {std::string(50, '0'), "INVALID"},
        {"1.2.3." + std::string(44, '0'), "INVALID"},
        {"1.2.3." + std::string(43, '0'), "1.2.3." + std::string(43, '0')},
    };
    for (const Case& c : cases)
        EXPECT_EQ(config::checkAddressText(c.text), c.expected) << '"' << c.text << '"';
}

TEST(TextHelpersTest, AddressBytesBothWays) {
    struct Case {
        const char* text;
        std::optional<AddressBytes> bytes;
    };
    const Case cases[] = {
        {"192.168.1.10", AddressBytes{192, 168, 1, 10}},
        {"1..2.3", AddressBytes{1, 0, 2, 3}},
        {"...", AddressBytes{0, 0, 0, 0}},
        {"1.2.3.300", AddressBytes{1, 2, 3, 44}}, // low 8 bits when handed an unchecked part
        {"1.2.3", std::nullopt},
        {"1.2.3.4.5", std::nullopt},
    };
    for (const Case& c : cases)
        EXPECT_EQ(config::addressBytes(c.text), c.bytes) << c.text;
    EXPECT_EQ(config::addressBytes("1.2.3." + std::string(46, '4')), std::nullopt)
        << "longer than any caller's storage";

    EXPECT_EQ(config::addressText({192, 168, 1, 10}), "192.168.1.10");
    EXPECT_EQ(config::addressText({0, 0, 0, 0}), "0.0.0.0");
    EXPECT_EQ(config::addressText({255, 255, 255, 255}), "255.255.255.255");
}

TEST(TextHelpersTest, HexadecimalByte) {
    struct Case {
        const char* text;
        std::optional<std::uint8_t> value;
    };
    const Case cases[] = {
        {"ff", 0xFF},         {"FF", 0xFF},          {"0A", 0x0A},         {"a", 0x0A},
        {"1FF", 0xFF},        {"100", 0x00},         {"", 0x00},           {"7", 0x07},
        {"1g", std::nullopt}, {"0x1", std::nullopt}, {" 1", std::nullopt}, {"-1", std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(config::hexByte(c.text), c.value) << c.text;
        // The dialog's manner: the copy becomes "error" exactly when the conversion fails.
        std::string copy = c.text;
        const std::uint8_t marked = config::hexByteMarking(copy);
        EXPECT_EQ(marked, c.value.value_or(0)) << c.text;
        EXPECT_EQ(copy, c.value ? std::string(c.text) : std::string("error")) << c.text;
    }
}

TEST(TextHelpersTest, BigEndianNumbers) {
    struct Case {
        std::vector<std::uint8_t> bytes;
        std::uint32_t value;
    };
    const Case cases[] = {
        {{0x0F, 0xA1}, 4001},
        {{}, 0},
        {{0x7F}, 0x7F},
        {{0x01, 0x02, 0x03}, 0x010203},
        {{0xFF, 0xFF, 0xFF, 0xFF}, 0xFFFFFFFFu},
        {{0xC0, 0xA8, 0x01, 0x0A}, 0xC0A8010Au},
    };
    for (const Case& c : cases)
        EXPECT_EQ(config::bigEndianValue(c.bytes), c.value);
}

} // namespace
