#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace KvClient {

// "N/A" for no measurement, else the largest of ms, µs and ns that keeps a whole count (truncated).
std::string FormatDuration(std::chrono::nanoseconds duration);

// "N/A" for 0, whole bytes per second below 1024, else two decimals in KB/s, MB/s or GB/s.
std::string FormatRate(std::uint64_t rate);

}  // namespace KvClient
