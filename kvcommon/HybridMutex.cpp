#include "kvcommon/HybridMutex.hpp"

#include <mutex>
#include <shared_mutex>

#include "kvcommon/HybridAcquire.hpp"

namespace KvCommon {

struct HybridMutex::Impl {
    std::mutex mutex;
    HybridMutex* owner;
};

HybridMutex::HybridMutex() : impl(std::make_unique<Impl>()) {
    impl->owner = this;
}
HybridMutex::~HybridMutex() = default;

void HybridMutex::lock() {
    Detail::HybridAcquire([this] { return impl->mutex.try_lock(); }, [this] { impl->mutex.lock(); });
}
bool HybridMutex::try_lock() {
    return impl->mutex.try_lock();
}
void HybridMutex::unlock() {
    impl->mutex.unlock();
}

struct HybridSharedMutex::Impl {
    std::shared_mutex mutex;
    HybridSharedMutex* owner;
};

HybridSharedMutex::HybridSharedMutex() : impl(std::make_unique<Impl>()) {
    impl->owner = this;
}
HybridSharedMutex::~HybridSharedMutex() = default;

void HybridSharedMutex::lock() {
    Detail::HybridAcquire([this] { return impl->mutex.try_lock(); }, [this] { impl->mutex.lock(); });
}
bool HybridSharedMutex::try_lock() {
    return impl->mutex.try_lock();
}
void HybridSharedMutex::unlock() {
    impl->mutex.unlock();
}

void HybridSharedMutex::lock_shared() {
    Detail::HybridAcquire([this] { return impl->mutex.try_lock_shared(); },
                          [this] { impl->mutex.lock_shared(); });
}
bool HybridSharedMutex::try_lock_shared() {
    return impl->mutex.try_lock_shared();
}
void HybridSharedMutex::unlock_shared() {
    impl->mutex.unlock_shared();
}

}  // namespace KvCommon
