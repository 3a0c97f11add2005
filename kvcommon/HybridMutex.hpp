#pragma once

#include <memory>

namespace KvCommon {

// Spin-then-block exclusive lock; meets the standard Lockable requirements.
class HybridMutex {
  public:
    HybridMutex();
    virtual ~HybridMutex();
    HybridMutex(const HybridMutex&) = delete;
    HybridMutex& operator=(const HybridMutex&) = delete;

    void lock();
    bool try_lock();
    void unlock();

  private:
    struct Impl;
    std::unique_ptr<Impl> impl;
};

// Spin-then-block reader/writer lock; meets the standard SharedLockable requirements.
class HybridSharedMutex {
  public:
    HybridSharedMutex();
    virtual ~HybridSharedMutex();
    HybridSharedMutex(const HybridSharedMutex&) = delete;
    HybridSharedMutex& operator=(const HybridSharedMutex&) = delete;

    void lock();
    bool try_lock();
    void unlock();
    void lock_shared();
    bool try_lock_shared();
    void unlock_shared();

  private:
    struct Impl;
    std::unique_ptr<Impl> impl;
};

}  // namespace KvCommon
