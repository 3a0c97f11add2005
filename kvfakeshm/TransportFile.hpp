#pragma once

#include <cstddef>
#include <cstdint>

#include "TransportConfig_generated.h"

namespace KvFakeShm {

// The transport file's root when the bytes (8-byte aligned) pass the size, root-offset and verifier
// checks; otherwise null.
const FakeShmConfig::TransportConfig* CheckTransportFile(const std::uint8_t* data, std::size_t size);

}  // namespace KvFakeShm
