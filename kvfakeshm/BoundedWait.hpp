#pragma once

#include <nng/nng.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "kvcommon/HybridMutex.hpp"

namespace KvFakeShm {

struct TransportChannel;

// Every wait on a socket lasts at most this long, whatever the tuning says (NNG reads -1 as forever): a
// worker must wake for its heartbeats, the peer's liveness and a stop, and a send must not hold
// socketLock past it. A negative time-out (NNG's "forever") waits the longest time, 0 the shortest.
inline constexpr std::int32_t kMinSocketWaitMs = 1;
inline constexpr std::int32_t kMaxSocketWaitMs = 1000;
std::int32_t ClampSocketWait(std::int32_t timeoutMs);

// The receives and sends of one open socket, on NNG asynchronous operations kept for the socket's life:
// nng_recvmsg and nng_sendmsg allocate one per call, and the packaged NNG draws a random number from the
// kernel for each. Blocking ones carry no time-out of NNG's own; they are waited for here and cancelled
// when the wait ends (short NNG time-outs keep its expiry thread busy, and its readiness descriptors
// leak in the packaged version). Used under socketLock only, one operation at a time.
class SocketWaiter {
  public:
    SocketWaiter();
    ~SocketWaiter();
    SocketWaiter(const SocketWaiter&) = delete;
    SocketWaiter& operator=(const SocketWaiter&) = delete;

    // Non-blocking: NNG_EAGAIN when nothing can be received or sent at once.
    int Receive(nng_socket socket, bool nonBlocking, std::int32_t timeoutMs, nng_msg*& message);
    // On failure the message is still the caller's.
    int Send(nng_socket socket, nng_msg* message, bool nonBlocking, std::int32_t timeoutMs);

  private:
    static void Finished(void* waiter);
    int Wait(std::int32_t timeoutMs);
    int Poll();

    nng_aio* aio_ = nullptr;      // blocking operations: completion through Finished
    nng_aio* pollAio_ = nullptr;  // non-blocking ones: zero time-out, completed before NNG returns
    std::mutex mutex_;
    std::condition_variable finished_;
    bool done_ = false;
};

// A polling worker's receive once its peer has been quiet for a while: it waits for the next message, the
// bound or a close (which ends it at once) without holding socketLock, so that sends go on meanwhile.
// Polling on would keep a core busy for nothing and, on a small machine, starve the threads that move
// the bytes: a live peer showed as dead for up to a second. Owned and used by one worker thread.
class ParkedReceive {
  public:
    ParkedReceive();
    ~ParkedReceive();
    ParkedReceive(const ParkedReceive&) = delete;
    ParkedReceive& operator=(const ParkedReceive&) = delete;

    // NNG_ETIMEDOUT when no message came within the bound, NNG_ECLOSED when the socket is not open.
    int Receive(TransportChannel& channel, std::chrono::nanoseconds bound, nng_msg*& message);

  private:
    static void Finished(void* parked);

    nng_aio* aio_ = nullptr;
    std::mutex mutex_;
    std::condition_variable finished_;
    bool done_ = false;
};

// Under socketLock, before a close: ends the worker's parked receive, if one is pending, and waits until
// NNG has finished with it (the packaged NNG's close can deadlock on a receive in progress).
void CancelParkedReceive(TransportChannel& channel);

// socketLock for a send or a close: the worker's next receive waits until it is granted.
std::unique_lock<KvCommon::HybridMutex> LockSocketInTurn(TransportChannel& channel);

// One receive or send under the channel's socketLock, non-blocking or waiting up to the clamped time-out
// (NNG_ETIMEDOUT when it passes). A socket that is not open gives NNG_ECLOSED.
int ReceiveBounded(TransportChannel& channel, bool nonBlocking, std::int32_t timeoutMs, nng_msg*& message);
int SendBounded(TransportChannel& channel, nng_msg* message, bool nonBlocking, std::int32_t timeoutMs);

}  // namespace KvFakeShm
