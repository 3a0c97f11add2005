#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace KvClient {

// "N/A" for no measurement, else the largest of ms, µs and ns that keeps a whole count (truncated).
std::string FormatDuration(std::chrono::nanoseconds duration);

// The library's throughput figures count the bytes of one throughput window; the screen shows bytes per
// second. Windows under 1 ms count as 1 ms; the result saturates.
std::uint64_t PerSecond(std::uint64_t bytesPerWindow, std::uint64_t windowMs);

// "N/A" for 0, whole bytes per second below 1024, else two decimals in KB/s, MB/s or GB/s.
std::string FormatRate(std::uint64_t rate);

}  // namespace KvClient
