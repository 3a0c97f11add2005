#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "kvcommon/HybridMutex.hpp"

namespace KvClient {

struct ClientState {
    virtual ~ClientState() = default;

    std::atomic<bool> running{true};
    std::uint8_t selectedTab = 0;  // main thread only
    KvCommon::HybridSharedMutex previewLock;
    std::string sharedMemPreview = "-";
};

ClientState& GetClientState();

const std::string& GetTestBlockName();
const std::string& GetTestAddressName();

}  // namespace KvClient
