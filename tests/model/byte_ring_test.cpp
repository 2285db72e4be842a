// The transfer ring: wrap-around, whole-chunk refusal, copy out across the end of storage.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <numeric>
#include <random>
#include <vector>

#include "model/byte_ring.h"
#include "model/txrx_buffer.h"

namespace {

std::vector<std::uint8_t> sequence(std::size_t n, std::uint8_t first) {
    std::vector<std::uint8_t> bytes(n);
    std::iota(bytes.begin(), bytes.end(), first);
    return bytes;
}

struct SmallRing {
    std::vector<std::uint8_t> storage = std::vector<std::uint8_t>(10, 0xEE);
    ByteRing ring{storage.data(), 10};

    // Moves the ring to the given positions with `count` bytes held, as produce/consume would.
    void placeAt(std::uint32_t readPos, std::uint32_t held) {
        ring.produce(readPos);
        ring.consume(readPos);
        ring.produce(held);
    }
};

TEST(ByteRing, StartsEmptyWithFullFreeSpace) {
    SmallRing s;
    EXPECT_EQ(s.ring.count.load(), 0u);
    EXPECT_EQ(s.ring.freeSpace(), 10u);
    EXPECT_EQ(s.ring.contiguousSpace(), 10u);
    EXPECT_EQ(s.ring.contiguousData(), 10u);
}

TEST(ByteRing, ChunkCrossingTheEndIsSplitAcrossTheStorage) {
    SmallRing s;
    s.placeAt(8, 0);
    ASSERT_EQ(s.ring.readPos, 8u);
    ASSERT_EQ(s.ring.writePos, 8u);

    const auto chunk = sequence(5, 1);
    ASSERT_TRUE(s.ring.copyIn(chunk.data(), 5));
    EXPECT_EQ(s.storage[8], 1);
    EXPECT_EQ(s.storage[9], 2);
    EXPECT_EQ(s.storage[0], 3);
    EXPECT_EQ(s.storage[1], 4);
    EXPECT_EQ(s.storage[2], 5);
    EXPECT_EQ(s.storage[3], 0xEE) << "nothing written past the chunk";
    EXPECT_EQ(s.ring.writePos, 3u);
    EXPECT_EQ(s.ring.count.load(), 5u);

    std::vector<std::uint8_t> out(5);
    s.ring.copyOut(out.data(), 5);
    EXPECT_EQ(out, chunk);
    EXPECT_EQ(s.ring.count.load(), 5u) << "copy out does not consume";
    s.ring.consume(5);
    EXPECT_EQ(s.ring.readPos, 3u);
    EXPECT_EQ(s.ring.count.load(), 0u);
}

TEST(ByteRing, ProducingExactlyTheContiguousSpaceWrapsToZero) {
    SmallRing s;
    s.placeAt(6, 0);
    const auto chunk = sequence(4, 10);
    ASSERT_EQ(s.ring.contiguousSpace(), 4u);
    ASSERT_TRUE(s.ring.copyIn(chunk.data(), 4));
    EXPECT_EQ(s.ring.writePos, 0u);
    EXPECT_EQ(s.ring.contiguousSpace(), 10u);

    std::vector<std::uint8_t> out(4);
    s.ring.copyOut(out.data(), 4);
    EXPECT_EQ(out, chunk);
    s.ring.consume(4);
    EXPECT_EQ(s.ring.readPos, 0u) << "consuming exactly the contiguous data wraps too";
}

TEST(ByteRing, ChunkOneByteLargerThanTheFreeSpaceIsRefusedWhole) {
    SmallRing s;
    s.placeAt(3, 6);
    const auto before = s.storage;
    const auto chunk = sequence(5, 1);
    EXPECT_FALSE(s.ring.copyIn(chunk.data(), 5));
    EXPECT_EQ(s.ring.count.load(), 6u);
    EXPECT_EQ(s.ring.writePos, 9u);
    EXPECT_EQ(s.storage, before);
    EXPECT_TRUE(s.ring.copyIn(chunk.data(), 4)) << "a chunk of exactly the free space fits";
    EXPECT_EQ(s.ring.freeSpace(), 0u);
    EXPECT_FALSE(s.ring.copyIn(chunk.data(), 1));
}

TEST(ByteRing, CopyOutOfPartOfTheContiguousDataTakesOnlyThatPart) {
    SmallRing s;
    s.placeAt(7, 0);
    const auto chunk = sequence(6, 40);
    ASSERT_TRUE(s.ring.copyIn(chunk.data(), 6));
    std::vector<std::uint8_t> out(2);
    s.ring.copyOut(out.data(), 2);
    EXPECT_EQ(out, (std::vector<std::uint8_t>{40, 41}));
    s.ring.consume(2);
    out.resize(4);
    s.ring.copyOut(out.data(), 4);
    EXPECT_EQ(out, (std::vector<std::uint8_t>{42, 43, 44, 45}));
}

// Producer and consumer in uneven chunks over a full-size ring: the byte stream comes out
// exactly as it went in, across many wraps.
TEST(ByteRing, LongStreamInUnevenChunksSurvivesManyWraps) {
    TXRXBUFFER buffers;
    ByteRing ring(buffers.netToPortStore.get(), kRingCapacity);
    std::mt19937 random(7);
    std::uint64_t produced = 0, consumed = 0;
    std::vector<std::uint8_t> chunk(2048), out(1400);
    while (consumed < 3ull * kRingCapacity) {
        const auto n = static_cast<std::uint32_t>(random() % 2048 + 1);
        if (ring.freeSpace() >= n) {
            for (std::uint32_t i = 0; i < n; ++i)
                chunk[i] = static_cast<std::uint8_t>((produced + i) * 131);
            ASSERT_TRUE(ring.copyIn(chunk.data(), n));
            produced += n;
        }
        const auto m = std::min<std::uint32_t>(static_cast<std::uint32_t>(random() % 1400 + 1), ring.count.load());
        ring.copyOut(out.data(), m);
        for (std::uint32_t i = 0; i < m; ++i)
            ASSERT_EQ(out[i], static_cast<std::uint8_t>((consumed + i) * 131)) << "at byte " << consumed + i;
        ring.consume(m);
        consumed += m;
        ASSERT_EQ(ring.count.load(), produced - consumed);
    }
}

TEST(ByteRing, AStreamKeptUpWithTouchesOnlyTheFrontOfItsStorage) {
    TXRXBUFFER buffers;
    ByteRing ring(buffers.portToNetStore.get(), kRingCapacity);
    std::vector<std::uint8_t> chunk(512, 0x5A), out(1400);
    std::uint32_t furthest = 0;
    for (int i = 0; i < 20000; ++i) { // 10 MB, five times the storage
        ASSERT_TRUE(ring.copyIn(chunk.data(), 512));
        furthest = std::max(furthest, ring.writePos);
        if (i % 3 == 2) { // the sender takes the backlog in larger pieces now and then
            while (ring.count.load() > 0) {
                const std::uint32_t m = std::min<std::uint32_t>(1400, ring.count.load());
                ring.copyOut(out.data(), m);
                ring.consume(m);
            }
            ring.restartIfEmpty();
        }
    }
    EXPECT_LE(furthest, 3u * 512) << "an emptied ring starts at the front again";

    // A backlog deep into the storage, whose pages go back to the system once it drains: the
    // ring still carries every byte after that.
    for (std::uint32_t i = 0; i < 1'000'000 / 512; ++i)
        ASSERT_TRUE(ring.copyIn(chunk.data(), 512));
    ring.consume(ring.count.load());
    ring.restartIfEmpty();
    EXPECT_EQ(ring.reached, 0u);
    std::vector<std::uint8_t> deep(300'000);
    for (std::size_t i = 0; i < deep.size(); ++i)
        deep[i] = static_cast<std::uint8_t>(i * 7 + 1);
    ASSERT_TRUE(ring.copyIn(deep.data(), static_cast<std::uint32_t>(deep.size())));
    std::vector<std::uint8_t> back(deep.size());
    ring.copyOut(back.data(), static_cast<std::uint32_t>(back.size()));
    EXPECT_EQ(back, deep);
}

} // namespace
