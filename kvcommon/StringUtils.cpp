#include "kvcommon/StringUtils.hpp"

#include <charconv>

namespace KvCommon {

std::uint64_t ToUint64(std::string_view text) noexcept {
    if (text.empty()) {
        return 0;
    }
    for (char c : text) {
        if (c < '0' || c > '9') {
            return 0;
        }
    }
    std::uint64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc{} || end != text.data() + text.size()) {
        return 0;
    }
    return value;
}

}  // namespace KvCommon
