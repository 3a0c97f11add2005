#pragma once

#include <thread>

namespace KvCommon::Detail {

inline constexpr int kSpinAttempts = 1024;
inline constexpr int kYieldEvery = 64;

inline void SpinPause() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

// Most critical sections are a few loads and stores, so a bounded spin usually wins; the blocking fallback
// covers holders that keep the lock across a receive with time-out.
template <typename TryFn, typename BlockFn, typename YieldFn>
void HybridAcquire(TryFn&& tryAcquire, BlockFn&& blockAcquire, YieldFn&& yield) {
    for (int attempt = 0; attempt < kSpinAttempts; ++attempt) {
        if (tryAcquire()) {
            return;
        }
        SpinPause();
        if (attempt != 0 && attempt % kYieldEvery == 0) {
            yield();
        }
    }
    blockAcquire();
}

template <typename TryFn, typename BlockFn>
void HybridAcquire(TryFn&& tryAcquire, BlockFn&& blockAcquire) {
    HybridAcquire(tryAcquire, blockAcquire, [] { std::this_thread::yield(); });
}

}  // namespace KvCommon::Detail
