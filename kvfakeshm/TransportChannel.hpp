#pragma once

#include <nng/nng.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>

#include "kvcommon/HybridMutex.hpp"
#include "kvfakeshm/BoundedWait.hpp"
#include "kvfakeshm/StatsWindow.hpp"

namespace KvFakeShm {

// block name -> address -> data, all byte strings
using BlockStore = std::unordered_map<std::string, std::unordered_map<std::string, std::string>>;

// One transport's connection state, figures and received blocks; always held through shared pointers.
struct TransportChannel {
    virtual ~TransportChannel();

    // Zeroes the timestamps and every figure and empties the block store.
    void ResetConnection();

    bool urlResolved = false;
    KvCommon::HybridMutex urlLock;
    std::string url;
    std::string peerUrl;

    KvCommon::HybridMutex socketLock;
    // Changed under socketLock; atomic so that a send can refuse early without taking the lock.
    std::atomic<bool> socketOpen{false};
    nng_socket socket = NNG_SOCKET_INITIALIZER;
    nng_listener listener = NNG_LISTENER_INITIALIZER;
    nng_dialer dialer = NNG_DIALER_INITIALIZER;
    // The bounded waits of the open socket, made on its first operation (under socketLock).
    std::unique_ptr<SocketWaiter> waiter;
    // The worker's parked receive while one is pending (set and cleared under socketLock): the close
    // cancels it first, as the packaged NNG's close can deadlock on a receive in progress.
    nng_aio* parkedReceive = nullptr;
    // Sends and closes queued for socketLock: the worker lets them go before its next receive.
    std::atomic<std::uint32_t> socketLockWaiters{0};

    std::atomic<bool> running{false};
    std::thread worker;
    // Sleeps until the deadline, or less when the worker is stopped; returns `running`.
    bool SleepWhileRunning(std::chrono::steady_clock::time_point deadline);
    // Clears `running` and wakes a sleeping worker at once.
    void StopRunning();
    std::atomic<bool> connected{false};
    std::atomic<std::int64_t> lastSent{0};
    std::atomic<std::int64_t> lastSeen{0};

    LatencyWindow latency;
    StatsWindow read;
    StatsWindow readWithMeta;
    StatsWindow write;
    StatsWindow writeWithMeta;

    KvCommon::HybridSharedMutex blockStoreLock;
    BlockStore blockStore;

  private:
    std::mutex sleepMutex;
    std::condition_variable sleepWake;
};

}  // namespace KvFakeShm
