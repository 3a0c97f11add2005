#include "kvfakeshm/StatsWindow.hpp"

#include <mutex>
#include <shared_mutex>

namespace KvFakeShm {

std::size_t StatsWindow::Record(std::uint64_t value, std::int64_t now, std::int64_t windowNs) {
    last_.store(value, std::memory_order_relaxed);
    std::unique_lock lock(lock_);
    if (value != 0) {
        samples_.push_back({now, value});
        sum_.fetch_add(value, std::memory_order_relaxed);
        const std::int64_t cutoff = now - windowNs;
        while (!samples_.empty() && samples_.front().time < cutoff) {
            sum_.fetch_sub(samples_.front().value, std::memory_order_relaxed);
            samples_.pop_front();
        }
    }
    return samples_.size();
}

void StatsWindow::Reset() {
    std::unique_lock lock(lock_);
    samples_.clear();
    sum_.store(0, std::memory_order_relaxed);
    last_.store(0, std::memory_order_relaxed);
}

std::size_t StatsWindow::Count() const {
    std::shared_lock lock(lock_);
    return samples_.size();
}

void LatencyWindow::Record(std::uint64_t latency, std::int64_t now, std::int64_t windowNs) {
    const std::size_t count = window_.Record(latency, now, windowNs);
    smoothed_.store(count == 0 ? 0 : window_.Sum() / count, std::memory_order_relaxed);
}

void LatencyWindow::Reset() {
    window_.Reset();
    smoothed_.store(0, std::memory_order_relaxed);
}

}  // namespace KvFakeShm
