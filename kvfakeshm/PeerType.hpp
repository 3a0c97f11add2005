#pragma once

#include <cstdint>
#include <string_view>

namespace KvFakeShm {

enum class PeerType : std::uint8_t { None = 0, Connect = 1, Core = 2 };

constexpr std::string_view PeerTypeName(PeerType type) {
    switch (type) {
        case PeerType::None:
            return "None";
        case PeerType::Connect:
            return "Connect";
        case PeerType::Core:
            return "Core";
    }
    return "Unknown";
}

}  // namespace KvFakeShm
