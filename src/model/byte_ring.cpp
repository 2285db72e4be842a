#include "model/byte_ring.h"

#include <algorithm>
#include <cassert>
#include <cstring>

#include "platform/memory.h"

void ByteRing::produce(std::uint32_t n) {
    assert(n <= freeSpace());
    writePos += n;
    if (writePos >= capacity) {
        writePos -= capacity;
        reached = capacity;
    }
    reached = std::max(reached, writePos);
    count.fetch_add(n);
}

void ByteRing::consume(std::uint32_t n) {
    assert(n <= count.load());
    readPos += n;
    if (readPos >= capacity)
        readPos -= capacity;
    count.fetch_sub(n);
}

void ByteRing::restartIfEmpty() {
    if (count.load() != 0)
        return;
    readPos = writePos = 0;
    if (reached > kKeptBytes)
        releasePages(data + kKeptBytes, reached - kKeptBytes);
    reached = 0;
}

bool ByteRing::copyIn(const std::uint8_t* source, std::uint32_t n) {
    if (freeSpace() < n)
        return false;
    if (n == 0)
        return true; // an empty chunk may come without storage (memcpy must not see it)
    const std::uint32_t room = contiguousSpace();
    if (room < n) {
        std::memcpy(data + writePos, source, room);
        std::memcpy(data, source + room, n - room);
    } else {
        std::memcpy(data + writePos, source, n);
    }
    produce(n);
    return true;
}

void ByteRing::copyOut(std::uint8_t* destination, std::uint32_t n) const {
    assert(n <= count.load());
    const std::uint32_t tail = contiguousData();
    if (n < tail) {
        std::memcpy(destination, data + readPos, n);
    } else {
        std::memcpy(destination, data + readPos, tail);
        std::memcpy(destination + tail, data, n - tail);
    }
}
