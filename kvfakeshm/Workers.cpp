#include <algorithm>
#include <limits>
#include <mutex>
#include <shared_mutex>
#include <system_error>

#include "kvfakeshm/BoundedWait.hpp"
#include "kvfakeshm/FakeSharedMemImpl.hpp"
#include "kvfakeshm/KvCoreShm.hpp"
#include "kvlog/Failure.hpp"

namespace KvFakeShm {
namespace {

using KvLog::FailWith;

bool IsSharedMem(const TransportDescriptor& transport) {
    return transport.kind == kTransportSharedMem;
}

// Start and stop report an escaping exception with their own words; call only inside a catch block.
bool FailFromException(std::string& error, std::string_view action, const TransportDescriptor& transport) {
    const auto text = KvLog::CurrentExceptionText();
    return FailWith(
        error, text ? fmt::format("Failed to {} the FakeSharedMem {} worker thread: {}", action,
                                  transport.word, *text)
                    : fmt::format("Failed to {} the FakeSharedMem {} worker thread due to an unknown error!",
                                  action, transport.word));
}

void LogReceiveFailure(const TransportDescriptor& transport, int rc) {
    const auto failed = [&](std::string_view what) {
        KVLOG(KvLog::kWarning, "FakeSharedMem {} socket has failed: {}", transport.word, what);
    };
    switch (rc) {
        case NNG_ECLOSED:
            KVLOG(KvLog::kWarning, "FakeSharedMem {} socket has been closed; exiting the {} worker thread...",
                  transport.word, transport.word);
            break;
        case NNG_EINVAL:
            failed("An invalid set of flags was specified!");
            break;
        case NNG_ENOMEM:
            failed("Insufficient memory is available!");
            break;
        case NNG_ENOTSUP:
            failed("The protocol for socket s does not support receiving!");
            break;
        case NNG_ESTATE:
            failed("The socket cannot receive data in this state!");
            break;
        default:
            KVLOG(KvLog::kError, "FakeSharedMem {} socket has failed with an unknown error code: {}",
                  transport.word, rc);
    }
}

// A polling worker polls on while messages keep coming; once its peer has been quiet this long, the next
// receive waits for a message instead, until the next heartbeat is due and at most kMaxPark.
constexpr std::int64_t kPollSpinNs = 100'000;
constexpr std::chrono::milliseconds kMaxPark{10};

std::chrono::nanoseconds ParkBound(const TransportChannel& channel, bool nonBlocking,
                                   std::uint64_t heartbeatInterval, std::int64_t now,
                                   std::int64_t lastMessageAt) {
    if (!nonBlocking || !channel.connected.load() || now - lastMessageAt < kPollSpinNs) {
        return std::chrono::nanoseconds(0);
    }
    const auto sinceSent = static_cast<std::uint64_t>(now - channel.lastSent.load());
    const std::uint64_t interval = heartbeatInterval * 10'000'000ULL;
    if (sinceSent >= interval) {
        return std::chrono::nanoseconds(0);
    }
    return std::min<std::chrono::nanoseconds>(std::chrono::nanoseconds(interval - sinceSent), kMaxPark);
}

}  // namespace

std::chrono::steady_clock::time_point FakeSharedMem::Impl::RetryDeadline() const {
    std::uint64_t retryMs = 0;
    {
        std::shared_lock lock(tuningLock);
        retryMs = tuning.WorkerRetryInterval;
    }
    const auto now = std::chrono::steady_clock::now();
    if (retryMs < 1) {
        return now;
    }
    const auto room = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::time_point::max() - now);
    if (retryMs >= static_cast<std::uint64_t>(room.count())) {
        return std::chrono::steady_clock::time_point::max();
    }
    return now + std::chrono::milliseconds(retryMs);
}

bool FakeSharedMem::Impl::IsWorkerRunning(const TransportDescriptor& transport) {
    try {
        const auto channel = GetChannel(transport);
        if (channel == nullptr) {
            KVLOG(KvLog::kError, "The {} transport channel has not been initialized yet!", transport.word);
            return false;
        }
        return channel->running.load();
    } catch (...) {
        const auto text = KvLog::CurrentExceptionText();
        KVLOG(KvLog::kError, "{}",
              text ? fmt::format("Failed to check whether the FakeSharedMem {} worker thread is running: {}",
                                 transport.word, *text)
                   : fmt::format(
                         "Failed to check whether the FakeSharedMem {} worker thread is running due to an "
                         "unknown error!",
                         transport.word));
        return false;
    }
}

bool FakeSharedMem::Impl::StartWorker(const TransportDescriptor& transport, std::string& error) {
    error.clear();
    KVLOG(KvLog::kInfo, "Starting the FakeSharedMem {} worker thread...", transport.word);
    std::shared_ptr<TransportChannel> channel;
    try {
        channel = GetChannel(transport);
        if (channel == nullptr) {
            return FailWith(
                error, fmt::format("The {} transport channel has not been initialized yet!", transport.word));
        }
        if (channel->running.load()) {
            return FailWith(
                error, fmt::format("The FakeSharedMem {} worker thread is already running!", transport.word));
        }
        if (channel->worker.joinable()) {
            return FailWith(
                error, fmt::format("The FakeSharedMem {} worker thread already exists!", transport.word));
        }
        if (IsSharedMem(transport)) {
            if (std::string reason; !owner->InitializeSharedMem(reason)) {
                return FailWith(
                    error,
                    fmt::format("Failed to start the FakeSharedMem SharedMem worker thread: {}", reason));
            }
        } else if (std::string reason; !InitializeSocket(transport, reason)) {
            return FailWith(error,
                            fmt::format("The FakeSharedMem {} worker thread has failed to initialize the {} "
                                        "transport socket: {}",
                                        transport.word, transport.word, reason));
        }
        channel->running.store(true);
        channel->worker = std::thread([this, &transport] { Supervise(transport); });
        return true;
    } catch (...) {
        if (channel != nullptr) {
            channel->running.store(false);
            if (!IsSharedMem(transport)) {
                bool open = false;
                {
                    std::lock_guard lock(channel->socketLock);
                    open = channel->socketOpen;
                }
                if (std::string reason; open && !TerminateSocket(transport, reason)) {
                    return FailWith(
                        error, fmt::format("The FakeSharedMem {} worker thread has failed to shutdown the "
                                           "{} transport socket: {}",
                                           transport.word, transport.word, reason));
                }
            }
        }
        return FailFromException(error, "start", transport);
    }
}

bool FakeSharedMem::Impl::StopWorker(const TransportDescriptor& transport, std::string& error) {
    error.clear();
    KVLOG(KvLog::kInfo, "Stopping the FakeSharedMem {} worker thread...", transport.word);
    try {
        const auto channel = GetChannel(transport);
        if (channel == nullptr) {
            return FailWith(
                error, fmt::format("The {} transport channel has not been initialized yet!", transport.word));
        }
        if (!channel->running.load()) {
            return FailWith(
                error, fmt::format("The FakeSharedMem {} worker thread is not running!", transport.word));
        }
        if (IsSharedMem(transport)) {
            // The segment is released before the flag clears; a failure leaves the worker running.
            if (std::string reason; !owner->TerminateSharedMem(reason)) {
                return FailWith(
                    error,
                    fmt::format("Failed to stop the FakeSharedMem SharedMem worker thread: {}", reason));
            }
            channel->StopRunning();
        } else {
            channel->StopRunning();
            // Waits for a receive in progress; the body's next receive then sees the closed socket.
            if (std::string reason; !TerminateSocket(transport, reason)) {
                return FailWith(
                    error, fmt::format("The FakeSharedMem {} worker thread has failed to shutdown the {} "
                                       "transport socket: {}",
                                       transport.word, transport.word, reason));
            }
        }
        if (channel->worker.joinable()) {
            if (channel->worker.get_id() == std::this_thread::get_id()) {
                throw std::system_error(std::make_error_code(std::errc::resource_deadlock_would_occur));
            }
            channel->worker.join();
            channel->worker = std::thread();
        }
        return true;
    } catch (...) {
        return FailFromException(error, "stop", transport);
    }
}

void FakeSharedMem::Impl::Supervise(const TransportDescriptor& transport) {
    KvLog::SetThreadName(transport.supervisorName);
    for (;;) {
        if (IsSharedMem(transport)) {
            SharedMemWorker(*this);
        } else {
            MessageWorker(transport);
        }
        auto channel = GetChannel(transport);
        if (channel == nullptr || !channel->running.load()) {
            return;
        }
        // A body that keeps failing is rerun once per retry interval, not in a tight loop; a stop
        // cuts the pause short.
        if (!channel->SleepWhileRunning(RetryDeadline())) {
            return;
        }
    }
}

void FakeSharedMem::Impl::MessageWorker(const TransportDescriptor& transport) {
    KvLog::SetThreadName(transport.workerName);
    KVLOG(KvLog::kInfo, "The FakeSharedMem {} transport worker thread has been started!", transport.word);
    try {
        ParkedReceive parked;
        std::int64_t lastMessageAt = SteadyNowNs();
        bool keepGoing = true;
        while (keepGoing) {
            if (!RewriteConfigurationFiles()) {
                break;
            }
            const auto channel = GetChannel(transport);
            if (channel == nullptr) {
                break;
            }
            bool nonBlocking = false;
            std::int32_t receiveTimeoutMs = 0;
            std::uint64_t heartbeatInterval = 0;
            {
                std::shared_lock lock(tuningLock);
                nonBlocking = tuning.SocketReceiveNonBlocking;
                receiveTimeoutMs = tuning.SocketReceiveTimeout;
                heartbeatInterval = tuning.HeartbeatInterval;
            }
            nng_msg* message = nullptr;
            const std::int64_t now = SteadyNowNs();
            const auto park = ParkBound(*channel, nonBlocking, heartbeatInterval, now, lastMessageAt);
            const int rc = park.count() > 0
                               ? parked.Receive(*channel, park, message)
                               : ReceiveBounded(*channel, nonBlocking, receiveTimeoutMs, message);
            if (rc == NNG_EAGAIN) {
                // Polling must not starve the threads that move the bytes, here and in the peer: on a
                // busy machine they wait for a core, and the figures would show that wait.
                std::this_thread::yield();
            }
            if (rc == 0) {
                lastMessageAt = now;
            }
            if (rc == 0 && message != nullptr) {
                if (std::string error; !HandleMessage(transport, message, error)) {
                    KVLOG(KvLog::kError,
                          "FakeSharedMem has failed to handle the received message via the {} channel: {}",
                          transport.word, error);
                }
                nng_msg_free(message);
            } else if (rc != NNG_ETIMEDOUT && rc != NNG_EAGAIN) {
                LogReceiveFailure(transport, rc);
                break;
            }
            if (channel->connected.load()) {
                const auto now = static_cast<std::uint64_t>(SteadyNowNs());
                // Unsigned, so a zero lastSent sends at once; the interval counts units of 10 ms.
                if (now - static_cast<std::uint64_t>(channel->lastSent.load()) >=
                    heartbeatInterval * 10'000'000ULL) {
                    if (std::string error; !SendHeartbeat(transport, error)) {
                        KVLOG(KvLog::kError, "FakeSharedMem has failed to send {} {} heartbeat: {}",
                              transport.article, transport.word, error);
                    }
                }
                keepGoing = channel->running.load();
            } else if (!channel->SleepWhileRunning(RetryDeadline())) {
                // Stopped: were the stop's socket close to fail, the socket would stay open and this
                // body would poll it without a pause until the channel is removed.
                keepGoing = false;
            }
        }
    } catch (...) {
        const auto text = KvLog::CurrentExceptionText();
        KVLOG(KvLog::kError, "{}",
              text ? fmt::format("The FakeSharedMem {} worker thread has failed: {}", transport.word, *text)
                   : fmt::format("The FakeSharedMem {} worker thread has failed due to an unknown error!",
                                 transport.word));
    }
    KVLOG(KvLog::kInfo, "The FakeSharedMem {} worker thread has been stopped!", transport.word);
}

bool FakeSharedMem::Impl::StartIpcWorker(std::string& error) {
    return StartWorker(kIpcTransport, error);
}
bool FakeSharedMem::Impl::StartTcpWorker(std::string& error) {
    return StartWorker(kTcpTransport, error);
}
bool FakeSharedMem::Impl::StartSharedMemWorker(std::string& error) {
    return StartWorker(kSharedMemTransport, error);
}
bool FakeSharedMem::Impl::StopIpcWorker(std::string& error) {
    return StopWorker(kIpcTransport, error);
}
bool FakeSharedMem::Impl::StopTcpWorker(std::string& error) {
    return StopWorker(kTcpTransport, error);
}
bool FakeSharedMem::Impl::StopSharedMemWorker(std::string& error) {
    return StopWorker(kSharedMemTransport, error);
}
bool FakeSharedMem::Impl::IsIpcWorkerRunning() {
    return IsWorkerRunning(kIpcTransport);
}
bool FakeSharedMem::Impl::IsTcpWorkerRunning() {
    return IsWorkerRunning(kTcpTransport);
}
bool FakeSharedMem::Impl::IsSharedMemWorkerRunning() {
    return IsWorkerRunning(kSharedMemTransport);
}

}  // namespace KvFakeShm
