#pragma once
// The lock that serialises the passes of one mapping's threads.

#include <mutex>

class LockInterface {
public:
    virtual ~LockInterface() = default;
    virtual void lock() = 0;
    virtual void unlock() = 0;
};

// Recursive, so a pass may call helpers that take the same lock again.
class BCBLock final : public LockInterface {
public:
    void lock() override { m_mutex.lock(); }
    void unlock() override { m_mutex.unlock(); }

private:
    std::recursive_mutex m_mutex;
};

// Scoped holder: locks at once, unlocks on every way out of the scope.
class SyncLock {
public:
    explicit SyncLock(LockInterface& lock) : m_lock(lock) { m_lock.lock(); }
    ~SyncLock() { m_lock.unlock(); }
    SyncLock(const SyncLock&) = delete;
    SyncLock& operator=(const SyncLock&) = delete;

private:
    LockInterface& m_lock;
};
