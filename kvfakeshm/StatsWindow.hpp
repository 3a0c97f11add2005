#pragma once

#include <atomic>
#include <cstdint>
#include <deque>

#include "kvcommon/HybridMutex.hpp"

namespace KvFakeShm {

// A sliding window over time: the sum of the values added within the last window length. Trimmed only
// when a sample is added, so a figure keeps its value while no traffic arrives.
class StatsWindow {
  public:
    // Stores the value as the last one, then queues it unless it is 0 and drops the samples older than
    // now - window (a sample exactly at the cutoff stays). Returns the number of samples kept.
    std::size_t Record(std::uint64_t value, std::int64_t now, std::int64_t windowNs);
    void Reset();

    std::uint64_t Sum() const { return sum_.load(std::memory_order_relaxed); }
    std::uint64_t Last() const { return last_.load(std::memory_order_relaxed); }
    std::size_t Count() const;

  private:
    struct Sample {
        std::int64_t time;
        std::uint64_t value;
    };
    mutable KvCommon::HybridSharedMutex lock_;
    std::deque<Sample> samples_;
    std::atomic<std::uint64_t> sum_{0};
    std::atomic<std::uint64_t> last_{0};
};

// The latency window adds the average over its samples, by integer division.
class LatencyWindow {
  public:
    void Record(std::uint64_t latency, std::int64_t now, std::int64_t windowNs);
    void Reset();

    std::uint64_t Latency() const { return window_.Last(); }
    std::uint64_t Smoothed() const { return smoothed_.load(std::memory_order_relaxed); }
    std::uint64_t Sum() const { return window_.Sum(); }
    std::size_t Count() const { return window_.Count(); }

  private:
    StatsWindow window_;
    std::atomic<std::uint64_t> smoothed_{0};
};

}  // namespace KvFakeShm
