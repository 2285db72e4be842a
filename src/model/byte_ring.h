#pragma once
// Single-producer single-consumer byte ring over storage it does not own. Producer and
// consumer both work under the mapping's lock; only `count` is read without it (display).

#include <atomic>
#include <cstdint>

struct ByteRing {
    ByteRing(std::uint8_t* storage, std::uint32_t size) : data(storage), capacity(size) {}
    ByteRing(const ByteRing&) = delete;
    ByteRing& operator=(const ByteRing&) = delete;

    std::uint32_t freeSpace() const { return capacity - count.load(); }
    // Room from writePos to the end of the storage.
    std::uint32_t contiguousSpace() const { return capacity - writePos; }
    // Bytes from readPos to the end of the storage (not all of them need be data).
    std::uint32_t contiguousData() const { return capacity - readPos; }

    void produce(std::uint32_t n);
    void consume(std::uint32_t n);
    // An empty ring starts again at the front of its storage, so a ring that is kept up with
    // touches only its first pages; the pages a backlog reached beyond kKeptBytes go back to
    // the system, so a mapping that once fell behind does not keep their memory.
    void restartIfEmpty();
    static constexpr std::uint32_t kKeptBytes = 64 * 1024;

    // Appends a whole chunk, wrapping at the end of the storage. A chunk larger than the
    // free space is refused whole (false) and the ring is left unchanged: callers that must
    // not lose data check freeSpace() before they take the chunk from its source.
    bool copyIn(const std::uint8_t* source, std::uint32_t n);
    // Copies the n oldest bytes (n <= count) without consuming them.
    void copyOut(std::uint8_t* destination, std::uint32_t n) const;

    std::uint8_t* data;
    std::atomic<std::uint32_t> count{0};
    std::uint32_t capacity;
    std::uint32_t readPos = 0;
    std::uint32_t writePos = 0;
    // How far into the storage bytes were written since the last restart.
    std::uint32_t reached = 0;
};
