#pragma once

#include <nng/nng.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <string_view>

#include "FakeShmMessage_generated.h"
#include "kvcommon/FileWatcher.hpp"
#include "kvcommon/HybridMutex.hpp"
#include "kvfakeshm/FakeSharedMem.hpp"
#include "kvfakeshm/TransportChannel.hpp"
#include "kvfakeshm/TuningFile.hpp"

namespace KvFakeShm {

struct TransportDescriptor;

// The private state of the fake shared memory. The peer type, the live tuning and its lock come from
// TuningState, which also carries the tuning-file operations.
struct FakeSharedMem::Impl : TuningState {
    explicit Impl(FakeSharedMem* owner) : owner(owner) {}

    KvCommon::HybridMutex stateLock;
    std::atomic<std::uint8_t> transports{0};

    KvCommon::HybridMutex transportWatcherLock;
    std::unique_ptr<KvCommon::FileWatcher> transportWatcher;
    KvCommon::FileWatcher::Handle transportWatcherCallback;
    KvCommon::HybridMutex tuningWatcherLock;
    std::unique_ptr<KvCommon::FileWatcher> tuningWatcher;
    KvCommon::FileWatcher::Handle tuningWatcherCallback;
    std::atomic<bool> transportFileChanged{false};
    std::atomic<bool> tuningFileChanged{false};

    KvCommon::HybridSharedMutex ipcLock;
    std::shared_ptr<TransportChannel> ipcChannel;
    KvCommon::HybridSharedMutex sharedMemLock;
    std::shared_ptr<TransportChannel> sharedMemChannel;
    KvCommon::HybridSharedMutex tcpLock;
    std::shared_ptr<TransportChannel> tcpChannel;

    FakeSharedMem* owner;

    std::shared_ptr<TransportChannel> GetChannel(const TransportDescriptor& transport) const;
    void SetChannel(const TransportDescriptor& transport, std::shared_ptr<TransportChannel> channel);
    bool IsEnabled(const TransportDescriptor& transport) const;
    bool IsPeerAlive(const TransportDescriptor& transport) const;
    std::int64_t LatencyWindowNs() const;
    std::int64_t ThroughputWindowNs() const;

    // Written once over a transport; the named operations below are its entry points.
    bool SendMessage(const TransportDescriptor& transport, const FakeShm::MessageT& message,
                     std::string& error);
    bool HandleMessage(const TransportDescriptor& transport, nng_msg* message, std::string& error);
    bool SendHeartbeat(const TransportDescriptor& transport, std::string& error);
    bool ReadFromChannel(const TransportDescriptor& transport, const std::string& block,
                         const std::string& address, std::string& data, std::string& error) const;

    bool SendIpcMessage(const FakeShm::MessageT& message, std::string& error);
    bool SendTcpMessage(const FakeShm::MessageT& message, std::string& error);
    bool HandleIpcMessage(nng_msg* message, std::string& error);
    bool HandleTcpMessage(nng_msg* message, std::string& error);
    bool SendIpcHeartbeat(std::string& error);
    bool SendTcpHeartbeat(std::string& error);

    void RecordSharedMemRead(std::uint64_t size);
    void RecordSharedMemWrite(std::uint64_t size);
};

// What differs between the transports: the channel slot, its lock, the word in messages, the mask bit
// and the liveness time-out.
struct TransportDescriptor {
    TransportKind kind;
    std::string_view word;
    KvCommon::HybridSharedMutex FakeSharedMem::Impl::*lock;
    std::shared_ptr<TransportChannel> FakeSharedMem::Impl::*channel;
    std::uint64_t Tuning::*livenessTimeout;
};

inline constexpr TransportDescriptor kIpcTransport{kTransportIpc, "IPC", &FakeSharedMem::Impl::ipcLock,
                                                   &FakeSharedMem::Impl::ipcChannel,
                                                   &Tuning::LivenessTimeout};
inline constexpr TransportDescriptor kTcpTransport{kTransportTcp, "TCP", &FakeSharedMem::Impl::tcpLock,
                                                   &FakeSharedMem::Impl::tcpChannel,
                                                   &Tuning::LivenessTimeout};
inline constexpr TransportDescriptor kSharedMemTransport{
    kTransportSharedMem, "SharedMem", &FakeSharedMem::Impl::sharedMemLock,
    &FakeSharedMem::Impl::sharedMemChannel, &Tuning::SharedMemLivenessTimeout};

// Steady clock in nanoseconds, the clock both peers share.
inline std::int64_t SteadyNowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace KvFakeShm
