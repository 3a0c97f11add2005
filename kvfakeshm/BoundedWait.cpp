#include "kvfakeshm/BoundedWait.hpp"

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "kvfakeshm/TransportChannel.hpp"

namespace KvFakeShm {

std::int32_t ClampSocketWait(std::int32_t timeoutMs) {
    return timeoutMs < 0 ? kMaxSocketWaitMs : std::clamp(timeoutMs, kMinSocketWaitMs, kMaxSocketWaitMs);
}

SocketWaiter::SocketWaiter() {
    if (nng_aio_alloc(&aio_, &SocketWaiter::Finished, this) != 0) {
        throw std::runtime_error("NNG could not allocate an asynchronous operation");
    }
    if (nng_aio_alloc(&pollAio_, nullptr, nullptr) != 0) {
        nng_aio_free(aio_);
        throw std::runtime_error("NNG could not allocate an asynchronous operation");
    }
    nng_aio_set_timeout(aio_, NNG_DURATION_INFINITE);
    nng_aio_set_timeout(pollAio_, NNG_DURATION_ZERO);
}

SocketWaiter::~SocketWaiter() {
    nng_aio_free(pollAio_);
    nng_aio_free(aio_);
}

void SocketWaiter::Finished(void* waiter) {
    auto* self = static_cast<SocketWaiter*>(waiter);
    std::lock_guard lock(self->mutex_);
    self->done_ = true;
    self->finished_.notify_one();
}

int SocketWaiter::Wait(std::int32_t timeoutMs) {
    std::unique_lock lock(mutex_);
    if (!finished_.wait_for(lock, std::chrono::milliseconds(ClampSocketWait(timeoutMs)),
                            [this] { return done_; })) {
        lock.unlock();
        nng_aio_cancel(aio_);
        nng_aio_wait(aio_);  // returns once the callback has run
        lock.lock();
    }
    done_ = false;
    const int rc = nng_aio_result(aio_);
    return rc == NNG_ECANCELED ? NNG_ETIMEDOUT : rc;
}

int SocketWaiter::Poll() {
    nng_aio_wait(pollAio_);
    const int rc = nng_aio_result(pollAio_);
    return rc == NNG_ETIMEDOUT ? NNG_EAGAIN : rc;  // as nng_recvmsg and nng_sendmsg say it
}

int SocketWaiter::Receive(nng_socket socket, bool nonBlocking, std::int32_t timeoutMs, nng_msg*& message) {
    nng_aio* aio = nonBlocking ? pollAio_ : aio_;
    nng_recv_aio(socket, aio);
    const int rc = nonBlocking ? Poll() : Wait(timeoutMs);
    if (rc == 0) {
        message = nng_aio_get_msg(aio);
    }
    nng_aio_set_msg(aio, nullptr);
    return rc;
}

int SocketWaiter::Send(nng_socket socket, nng_msg* message, bool nonBlocking, std::int32_t timeoutMs) {
    nng_aio* aio = nonBlocking ? pollAio_ : aio_;
    nng_aio_set_msg(aio, message);
    nng_send_aio(socket, aio);
    const int rc = nonBlocking ? Poll() : Wait(timeoutMs);
    nng_aio_set_msg(aio, nullptr);
    return rc;
}

ParkedReceive::ParkedReceive() {
    if (nng_aio_alloc(&aio_, &ParkedReceive::Finished, this) != 0) {
        throw std::runtime_error("NNG could not allocate an asynchronous operation");
    }
    nng_aio_set_timeout(aio_, NNG_DURATION_INFINITE);
}

ParkedReceive::~ParkedReceive() {
    nng_aio_free(aio_);  // cancels a receive still pending and waits for its callback
}

void ParkedReceive::Finished(void* parked) {
    auto* self = static_cast<ParkedReceive*>(parked);
    std::lock_guard lock(self->mutex_);
    self->done_ = true;
    self->finished_.notify_one();
}

int ParkedReceive::Receive(TransportChannel& channel, std::chrono::nanoseconds bound, nng_msg*& message) {
    {
        std::lock_guard lock(mutex_);
        done_ = false;
    }
    {
        std::lock_guard lock(channel.socketLock);
        if (!channel.socketOpen) {
            return NNG_ECLOSED;
        }
        nng_recv_aio(channel.socket, aio_);
        channel.parkedReceive = aio_;
    }
    {
        std::unique_lock lock(mutex_);
        if (!finished_.wait_for(lock, bound, [this] { return done_; })) {
            lock.unlock();
            nng_aio_cancel(aio_);
            nng_aio_wait(aio_);  // a message that came meanwhile is kept, not dropped
        }
    }
    {
        std::lock_guard lock(channel.socketLock);
        channel.parkedReceive = nullptr;
    }
    const int rc = nng_aio_result(aio_);
    if (rc == 0) {
        message = nng_aio_get_msg(aio_);
    }
    nng_aio_set_msg(aio_, nullptr);
    return rc == NNG_ECANCELED ? NNG_ETIMEDOUT : rc;
}

void CancelParkedReceive(TransportChannel& channel) {
    if (channel.parkedReceive != nullptr) {
        nng_aio_cancel(channel.parkedReceive);
        nng_aio_wait(channel.parkedReceive);  // the worker clears it once it has the lock again
    }
}

namespace {

// Made on the socket's first operation, under socketLock; the close drops it.
SocketWaiter& WaiterOf(TransportChannel& channel) {
    if (channel.waiter == nullptr) {
        channel.waiter = std::make_unique<SocketWaiter>();
    }
    return *channel.waiter;
}

}  // namespace

std::unique_lock<KvCommon::HybridMutex> LockSocketInTurn(TransportChannel& channel) {
    channel.socketLockWaiters.fetch_add(1);
    std::unique_lock lock(channel.socketLock);
    channel.socketLockWaiters.fetch_sub(1);
    return lock;
}

int ReceiveBounded(TransportChannel& channel, bool nonBlocking, std::int32_t timeoutMs, nng_msg*& message) {
    // A blocking receive holds socketLock for its whole wait, and the worker takes the lock again right
    // after releasing it: without this turn, a send or close queued behind one receive would wait behind
    // the next ones too (a publisher at 1 kHz got one message in five through, a close none).
    const auto turnEnds = std::chrono::steady_clock::now() + std::chrono::milliseconds(kMinSocketWaitMs);
    while (channel.socketLockWaiters.load() != 0 && std::chrono::steady_clock::now() < turnEnds) {
        std::this_thread::yield();
    }
    std::lock_guard lock(channel.socketLock);
    if (!channel.socketOpen) {
        return NNG_ECLOSED;
    }
    return WaiterOf(channel).Receive(channel.socket, nonBlocking, timeoutMs, message);
}

int SendBounded(TransportChannel& channel, nng_msg* message, bool nonBlocking, std::int32_t timeoutMs) {
    const auto lock = LockSocketInTurn(channel);
    if (!channel.socketOpen) {
        return NNG_ECLOSED;
    }
    return WaiterOf(channel).Send(channel.socket, message, nonBlocking, timeoutMs);
}

}  // namespace KvFakeShm
