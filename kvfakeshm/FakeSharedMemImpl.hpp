#pragma once

#include <nng/nng.h>

#include <atomic>
#include <chrono>
#include <functional>
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

inline constexpr std::uint32_t kTransportFileVersion = 1;

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

    // Benchmarks and soaks see every latency sample a message yields, not a sampled last value. Called
    // on the transport's worker thread; one relaxed load when unset.
    using LatencyTap = void (*)(TransportKind transport, std::uint64_t latencyNs);
    std::atomic<LatencyTap> latencyTap{nullptr};

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

    // Endpoint URLs. The IPC endpoint is a fixed name; the TCP one a loopback port free at the time.
    bool ResolveIpcUrl(const std::shared_ptr<TransportChannel>& channel, std::string& error);
    bool ResolveTcpUrl(const std::shared_ptr<TransportChannel>& channel, std::string& error);

    // The channel's pair0 socket: Connect listens on `url`, Core dials `peerUrl`.
    bool InitializeSocket(const TransportDescriptor& transport, std::string& error);
    bool TerminateSocket(const TransportDescriptor& transport, std::string& error);
    bool InitializeIpcSocket(std::string& error);
    bool InitializeTcpSocket(std::string& error);
    bool TerminateIpcSocket(std::string& error);
    bool TerminateTcpSocket(std::string& error);

    // Worker threads: one supervisor per started channel reruns the transport's body while it is wanted.
    bool StartWorker(const TransportDescriptor& transport, std::string& error);
    bool StopWorker(const TransportDescriptor& transport, std::string& error);
    bool IsWorkerRunning(const TransportDescriptor& transport);
    void Supervise(const TransportDescriptor& transport);
    void MessageWorker(const TransportDescriptor& transport);
    bool StartIpcWorker(std::string& error);
    bool StartTcpWorker(std::string& error);
    bool StartSharedMemWorker(std::string& error);
    bool StopIpcWorker(std::string& error);
    bool StopTcpWorker(std::string& error);
    bool StopSharedMemWorker(std::string& error);
    bool IsIpcWorkerRunning();
    bool IsTcpWorkerRunning();
    bool IsSharedMemWorkerRunning();

    // Connect only: rewrites the configuration files when a watcher flagged them; false ends the body.
    bool RewriteConfigurationFiles();
    bool SaveTransportFile(std::string& error);
    bool EraseTransportFile(std::string& error);

    // Channels: created with their URL resolved, removed from their slot.
    bool InitializeChannel(const TransportDescriptor& transport, std::string& error);
    bool TerminateChannel(const TransportDescriptor& transport, std::string& error);
    bool InitializeIpcChannel(std::string& error);
    bool InitializeTcpChannel(std::string& error);
    bool InitializeSharedMemChannel(std::string& error);
    bool TerminateIpcChannel(std::string& error);
    bool TerminateTcpChannel(std::string& error);
    bool TerminateSharedMemChannel(std::string& error);
    // Stops the transport's worker when it runs, then removes its channel; true when there was none.
    // On false one of the two errors holds the failure.
    bool StopAndRemoveChannel(const TransportDescriptor& transport, std::string& stopError,
                              std::string& removeError);

    // Core only: takes the Connect peer's transports, URLs and tuning from the transport file.
    bool LoadTransportFile(std::string& error);

    // The configuration-file watchers and their handlers.
    bool InitializeWatchers(std::string& error);
    bool TerminateWatchers(std::string& error);
    void OnTransportFileChanged(KvCommon::FileWatcher::EventType event);
    void OnTuningFileChanged(KvCommon::FileWatcher::EventType event);
    // Set while Terminate runs: a transport-file handler waiting for stateLock gives up instead of
    // waiting for a Terminate that is joining its thread.
    std::atomic<bool> terminating{false};

    // Both start-ups: the state checks, the peer's own set-up, the watchers, one worker per transport.
    bool InitializeAs(PeerType peer, std::uint8_t mask, std::string& error,
                      const std::function<bool(std::string&)>& setUp);

    // WorkerRetryInterval as a deadline from now, saturating instead of wrapping for huge values.
    std::chrono::steady_clock::time_point RetryDeadline() const;
};

// What differs between the transports: the channel slot, its lock, the word in messages (with its
// article: "an IPC listener", "a TCP heartbeat"), the mask bit, the liveness time-out and the names of
// its threads.
struct TransportDescriptor {
    TransportKind kind;
    std::string_view word;
    std::string_view article;
    KvCommon::HybridSharedMutex FakeSharedMem::Impl::*lock;
    std::shared_ptr<TransportChannel> FakeSharedMem::Impl::*channel;
    std::uint64_t Tuning::*livenessTimeout;
    std::string_view supervisorName;
    std::string_view workerName;
};

inline constexpr TransportDescriptor kIpcTransport{kTransportIpc,
                                                   "IPC",
                                                   "an",
                                                   &FakeSharedMem::Impl::ipcLock,
                                                   &FakeSharedMem::Impl::ipcChannel,
                                                   &Tuning::LivenessTimeout,
                                                   "IpcWorkerSupervise",
                                                   "IpcWorker"};
inline constexpr TransportDescriptor kTcpTransport{kTransportTcp,
                                                   "TCP",
                                                   "a",
                                                   &FakeSharedMem::Impl::tcpLock,
                                                   &FakeSharedMem::Impl::tcpChannel,
                                                   &Tuning::LivenessTimeout,
                                                   "TcpWorkerSupervise",
                                                   "TcpWorker"};
inline constexpr TransportDescriptor kSharedMemTransport{kTransportSharedMem,
                                                         "SharedMem",
                                                         "a",
                                                         &FakeSharedMem::Impl::sharedMemLock,
                                                         &FakeSharedMem::Impl::sharedMemChannel,
                                                         &Tuning::SharedMemLivenessTimeout,
                                                         "SharedMemWorkerSupervise",
                                                         "SharedMemWorker"};

// Steady clock in nanoseconds, the clock both peers share.
inline std::int64_t SteadyNowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace KvFakeShm
