#pragma once
// Scratch buffers of the network pumps and the storage of a mapping's two rings.

#include <cstdint>
#include <cstring>
#include <memory>

inline constexpr std::uint32_t kRecvScratchSize = 2048;
inline constexpr std::uint32_t kSendScratchSize = 1400;
inline constexpr std::uint32_t kRingCapacity = 2048000;

struct TXRXBUFFER {
    // Ring storage is left uninitialised: a ring never reads a byte it has not written, and
    // untouched pages cost no memory for an idle mapping.
    TXRXBUFFER()
        : recvScratch(std::make_unique<std::uint8_t[]>(kRecvScratchSize)),
          netToPortStore(std::make_unique_for_overwrite<std::uint8_t[]>(kRingCapacity)),
          sendScratch(std::make_unique<std::uint8_t[]>(kSendScratchSize)),
          portToNetStore(std::make_unique_for_overwrite<std::uint8_t[]>(kRingCapacity)) {}

    void clearReceive() { std::memset(recvScratch.get(), 0, kRecvScratchSize); }
    void clearSend() { std::memset(sendScratch.get(), 0, kSendScratchSize); }

    std::unique_ptr<std::uint8_t[]> recvScratch;
    std::unique_ptr<std::uint8_t[]> netToPortStore;
    std::unique_ptr<std::uint8_t[]> sendScratch;
    std::unique_ptr<std::uint8_t[]> portToNetStore;
};
