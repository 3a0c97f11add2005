#pragma once

#include <cstdint>
#include <string_view>

namespace KvCommon {

// Decimal digits only; an empty text, any other character or a value past 2^64 - 1 yields 0.
std::uint64_t ToUint64(std::string_view text) noexcept;

}  // namespace KvCommon
