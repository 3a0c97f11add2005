#pragma once

#include <flatbuffers/flatbuffers.h>

#include <cstddef>
#include <cstdint>

#include "FakeShmMessage_generated.h"

namespace KvFakeShm {

inline constexpr std::uint32_t kMessageVersion = 1;
inline constexpr std::uint32_t kHeartbeatVersion = 1;
inline constexpr std::uint32_t kSharedMemVersion = 1;
inline constexpr std::size_t kBuilderInitialSize = 1024;
inline constexpr std::size_t kMinimumMessageSize = 12;

// Packs the message as the root of a finished buffer, without identifier or size prefix.
void BuildMessage(const FakeShm::MessageT& message, flatbuffers::FlatBufferBuilder& builder);

// The message at the start of a received body, or null when the body is too short, its root offset
// lies outside it, or the verifier refuses it. The body must be 8-byte aligned for the accessors.
const FakeShm::Message* CheckMessageBody(const std::uint8_t* body, std::size_t length);

}  // namespace KvFakeShm
