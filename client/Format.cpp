#include "client/Format.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <limits>

namespace KvClient {

std::string FormatDuration(std::chrono::nanoseconds duration) {
    const std::int64_t ns = duration.count();
    if (ns <= 0) {
        return "N/A";
    }
    if (ns >= 1'000'000) {
        return fmt::format("{} ms", ns / 1'000'000);
    }
    if (ns >= 1'000) {
        return fmt::format("{} \u00b5s", ns / 1'000);
    }
    return fmt::format("{} ns", ns);
}

std::uint64_t PerSecond(std::uint64_t bytesPerWindow, std::uint64_t windowMs) {
    windowMs = std::max<std::uint64_t>(windowMs, 1);
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
    // Whole seconds of window and the rest separately, so that nothing overflows before it saturates.
    if (windowMs % 1000 == 0) {
        return bytesPerWindow / (windowMs / 1000);
    }
    if (bytesPerWindow > kMax / 1000) {
        return kMax;
    }
    return bytesPerWindow * 1000 / windowMs;
}

std::string FormatRate(std::uint64_t rate) {
    if (rate == 0) {
        return "N/A";
    }
    double value = static_cast<double>(rate);
    if (value < 1024) {
        return fmt::format("{:.0f} {}", value, "B/s");
    }
    static constexpr const char* kUnits[] = {"B/s", "KB/s", "MB/s", "GB/s"};
    std::size_t unit = 0;
    // The unit is chosen on the value before rounding, so 1,048,575 B/s reads 1024.00 KB/s.
    do {
        value /= 1024;
        ++unit;
    } while (value >= 1024 && unit < 3);
    return fmt::format("{:.2f} {}", value, kUnits[unit]);
}

}  // namespace KvClient
