#include "client/Format.hpp"

#include <fmt/format.h>

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
