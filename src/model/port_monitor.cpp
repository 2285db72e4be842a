#include "model/port_monitor.h"

#include <algorithm>
#include <cassert>
#include <chrono>
#include <cstring>

namespace monitor {

bool isFlow(std::uint8_t value) {
    return value >= static_cast<std::uint8_t>(Flow::kAppWrote) && value <= static_cast<std::uint8_t>(Flow::kLost);
}

bool towardDevice(Flow flow) {
    return flow == Flow::kAppWrote || flow == Flow::kSent;
}

bool portSide(Flow flow) {
    return flow == Flow::kAppWrote || flow == Flow::kDelivered;
}

std::int64_t nowUs() {
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

std::int64_t wallOffsetUs() {
    using namespace std::chrono;
    return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count() - nowUs();
}

Ring::Ring(std::size_t capacity) : m_storage(std::max<std::size_t>(capacity, 4096)) {}

void Ring::write(const void* data, std::size_t size) {
    const std::size_t at = (m_head + m_used) % m_storage.size();
    const std::size_t first = std::min(size, m_storage.size() - at);
    std::memcpy(m_storage.data() + at, data, first);
    std::memcpy(m_storage.data(), static_cast<const std::uint8_t*>(data) + first, size - first);
    m_used += size;
}

void Ring::read(std::size_t at, void* data, std::size_t size) const {
    at %= m_storage.size();
    const std::size_t first = std::min(size, m_storage.size() - at);
    std::memcpy(data, m_storage.data() + at, first);
    std::memcpy(static_cast<std::uint8_t*>(data) + first, m_storage.data(), size - first);
}

void Ring::dropOldest() {
    std::uint32_t size = 0;
    read(m_head + 9, &size, sizeof size);
    const std::size_t whole = kHeader + size;
    m_head = (m_head + whole) % m_storage.size();
    m_used -= whole;
    ++m_lost;
}

void Ring::push(Flow flow, std::int64_t timeUs, const std::uint8_t* data, std::size_t size) {
    // A record never takes more than a quarter of the ring, so a few always fit.
    size = std::min(size, m_storage.size() / 4);
    std::lock_guard guard(m_mutex);
    while (m_storage.size() - m_used < kHeader + size)
        dropOldest();
    const auto kind = static_cast<std::uint8_t>(flow);
    const auto length = static_cast<std::uint32_t>(size);
    write(&kind, 1);
    write(&timeUs, 8);
    write(&length, 4);
    write(data, size);
}

void Ring::take(std::vector<Record>& out, std::size_t maxBytes, std::uint64_t& lost) {
    std::lock_guard guard(m_mutex);
    lost += m_lost;
    m_lost = 0;
    std::size_t taken = 0;
    while (m_used > 0 && taken < maxBytes) {
        std::uint8_t kind = 0;
        std::uint32_t size = 0;
        Record record;
        read(m_head, &kind, 1);
        read(m_head + 1, &record.timeUs, 8);
        read(m_head + 9, &size, 4);
        record.flow = static_cast<Flow>(kind);
        record.bytes.resize(size);
        read(m_head + kHeader, record.bytes.data(), size);
        m_head = (m_head + kHeader + size) % m_storage.size();
        m_used -= kHeader + size;
        taken += size + 16;
        out.push_back(std::move(record));
    }
}

void Ring::end() {
    std::lock_guard guard(m_mutex);
    m_ended = true;
}

bool Ring::ended() const {
    std::lock_guard guard(m_mutex);
    return m_ended && m_used == 0;
}

Watch::Watch(std::shared_ptr<Ring> ring, std::function<void()> detach)
    : m_ring(std::move(ring)), m_detach(std::move(detach)) {}

Watch::~Watch() {
    if (m_detach)
        m_detach();
}

Tap::~Tap() {
    std::lock_guard guard(m_shared->mutex);
    for (const auto& ring : m_shared->rings)
        ring->end();
    m_shared->rings.clear();
    m_shared->watchers.store(0);
}

std::shared_ptr<Watch> Tap::watch(std::size_t capacity) {
    auto ring = std::make_shared<Ring>(capacity);
    {
        std::lock_guard guard(m_shared->mutex);
        m_shared->rings.push_back(ring);
        m_shared->watchers.store(static_cast<int>(m_shared->rings.size()));
    }
    m_prime.store(true);
    std::weak_ptr<Shared> weak = m_shared;
    Ring* const key = ring.get();
    return std::make_shared<Watch>(std::move(ring), [weak, key] {
        const auto shared = weak.lock();
        if (!shared)
            return;
        std::lock_guard guard(shared->mutex);
        std::erase_if(shared->rings, [key](const auto& held) { return held.get() == key; });
        shared->watchers.store(static_cast<int>(shared->rings.size()));
    });
}

void Tap::record(Flow flow, const std::uint8_t* bytes, std::size_t size) {
    const std::int64_t time = nowUs();
    std::lock_guard guard(m_shared->mutex);
    // The last watcher may have gone since the caller asked.
    if (m_shared->rings.empty())
        return;
    for (const auto& ring : m_shared->rings)
        ring->push(flow, time, bytes, size);
    m_work.fetch_add(1, std::memory_order_relaxed);
}

void Tap::data(Flow flow, const std::uint8_t* bytes, std::size_t size) {
    assert(flow != Flow::kEvent);
    if (size > 0)
        record(flow, bytes, size);
}

void Tap::event(const std::string& text) {
    record(Flow::kEvent, reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

} // namespace monitor
