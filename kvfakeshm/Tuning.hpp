#pragma once

#include <cstdint>

namespace KvFakeShm {

// HeartbeatInterval, LivenessTimeout and SharedMemLivenessTimeout count units of 10 ms where they are
// applied; the other durations count milliseconds.
struct Tuning {
    virtual ~Tuning() = default;

    std::uint32_t Version = 1;
    bool SocketReceiveNonBlocking = true;
    std::int32_t SocketReceiveTimeout = 1;
    bool SocketSendNonBlocking = false;
    std::int32_t SocketSendTimeout = 1;
    std::int32_t SocketReconnectTimeMin = 1;
    std::int32_t SocketReconnectTimeMax = 10;
    std::uint64_t WorkerRetryInterval = 1;
    std::uint64_t HeartbeatInterval = 1;
    std::uint64_t LivenessTimeout = 5;
    std::uint64_t LatencySmoothingWindow = 1000;
    std::uint64_t ThroughputSmoothingWindow = 1000;
    std::uint32_t SharedMemHeartbeatBlockSize = 1024;
    std::uint64_t SharedMemLivenessTimeout = 50;
};

// Every parameter after Version, in file order, so that readers, writers and copies walk one list.
template <typename Visitor>
void ForEachTuningParameter(Visitor&& visit) {
    visit("SocketReceiveNonBlocking", &Tuning::SocketReceiveNonBlocking);
    visit("SocketReceiveTimeout", &Tuning::SocketReceiveTimeout);
    visit("SocketSendNonBlocking", &Tuning::SocketSendNonBlocking);
    visit("SocketSendTimeout", &Tuning::SocketSendTimeout);
    visit("SocketReconnectTimeMin", &Tuning::SocketReconnectTimeMin);
    visit("SocketReconnectTimeMax", &Tuning::SocketReconnectTimeMax);
    visit("WorkerRetryInterval", &Tuning::WorkerRetryInterval);
    visit("HeartbeatInterval", &Tuning::HeartbeatInterval);
    visit("LivenessTimeout", &Tuning::LivenessTimeout);
    visit("LatencySmoothingWindow", &Tuning::LatencySmoothingWindow);
    visit("ThroughputSmoothingWindow", &Tuning::ThroughputSmoothingWindow);
    visit("SharedMemHeartbeatBlockSize", &Tuning::SharedMemHeartbeatBlockSize);
    visit("SharedMemLivenessTimeout", &Tuning::SharedMemLivenessTimeout);
}

}  // namespace KvFakeShm
