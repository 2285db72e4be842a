// The 112-byte mapping record: layout and decoding of hostile fields.

#include <gtest/gtest.h>

#include <cstring>

#include "model/tarn_desc.h"
#include "support/desc.h"

namespace {

TEST(TarnDesc, EncodesLittleEndianAtFixedOffsets) {
    tarnDesc desc;
    desc.comNum = 0x01020304;
    desc.mode = -1;
    std::strcpy(desc.ipAddress, "10.0.0.5");
    desc.localPort = 4001;
    desc.remotePort = 0xBEEF;
    const DescRecord record = encodeDesc(desc);

    const struct {
        std::size_t offset;
        std::uint8_t value;
    } bytes[] = {
        {0, 0x04},   {1, 0x03},   {2, 0x02}, {3, 0x01}, // comNum
        {4, 0xFF},   {5, 0xFF},   {6, 0xFF}, {7, 0xFF}, // mode -1
        {8, '1'},    {9, '0'},    {15, '5'}, {16, 0},   // ipAddress
        {108, 0xA1}, {109, 0x0F},                       // 4001
        {110, 0xEF}, {111, 0xBE},                       // remote port
    };
    for (const auto& b : bytes)
        EXPECT_EQ(record[b.offset], b.value) << "offset " << b.offset;
}

TEST(TarnDesc, DecodeIsTheInverseOfEncode) {
    const struct {
        std::int32_t comNum, mode;
        const char* ip;
        std::uint16_t local, remote;
    } cases[] = {
        {1, 1, "0.0.0.0", 4001, 0},
        {255, 2, "192.168.100.200", 0, 65535},
        {7, 3, "10.0.0.6", 4001, 4002},
        {-5, 99, "", 1, 1},
    };
    for (const auto& c : cases) {
        const tarnDesc back =
            decodeDesc(encodeDesc(testsupport::makeDesc(c.comNum, c.mode, c.ip, c.local, c.remote)).data());
        EXPECT_EQ(back.comNum, c.comNum);
        EXPECT_EQ(back.mode, c.mode);
        EXPECT_STREQ(back.ipAddress, c.ip);
        EXPECT_EQ(back.localPort, c.local);
        EXPECT_EQ(back.remotePort, c.remote);
    }
}

TEST(TarnDesc, AddressWithoutTerminatorIsCutTo99Characters) {
    DescRecord record{};
    std::memset(record.data() + 8, 'A', 100);
    const tarnDesc desc = decodeDesc(record.data());
    EXPECT_EQ(std::strlen(desc.ipAddress), 99u);
}

} // namespace
