#pragma once

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

namespace KvBench {

// The clock both peers stamp and read: the same steady clock the library uses.
inline std::uint64_t SteadyNs() {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count());
}

// One latency in nanoseconds per line.
inline void WriteSamples(const std::string& path, const std::vector<std::uint64_t>& samples) {
    std::ofstream out(path, std::ios::trunc);
    for (const auto value : samples) {
        out << value << '\n';
    }
}

inline std::vector<std::uint64_t> ReadSamples(const std::string& path) {
    std::vector<std::uint64_t> samples;
    std::ifstream in(path);
    for (std::uint64_t value = 0; in >> value;) {
        samples.push_back(value);
    }
    return samples;
}

// Nearest-rank percentile of sorted samples; 0 when there are none.
inline double Percentile(const std::vector<std::uint64_t>& sorted, double p) {
    if (sorted.empty()) {
        return 0;
    }
    const auto rank = static_cast<std::size_t>(std::ceil(p / 100.0 * static_cast<double>(sorted.size())));
    return static_cast<double>(sorted[std::clamp<std::size_t>(rank, 1, sorted.size()) - 1]);
}

}  // namespace KvBench
