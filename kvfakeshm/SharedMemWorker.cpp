#include <shared_mutex>

#include "kvfakeshm/FakeSharedMemImpl.hpp"
#include "kvfakeshm/KvCoreShm.hpp"
#include "kvlog/Logging.hpp"

namespace KvFakeShm {

bool RunSharedMemWorkerPass(FakeSharedMem::Impl& impl) {
    const auto channel = impl.GetChannel(kSharedMemTransport);
    if (channel == nullptr) {
        return false;
    }
    std::uint64_t peerTime = 0;
    if (std::string error; !impl.owner->ReadPeerSharedMemHeartbeat(peerTime, error)) {
        KVLOG(KvLog::kError, "FakeSharedMem has failed to read SharedMem peer heartbeat: {}", error);
    }
    std::uint64_t timeout = 0, heartbeatInterval = 0;
    {
        std::shared_lock lock(impl.tuningLock);
        timeout = impl.tuning.SharedMemLivenessTimeout;
        heartbeatInterval = impl.tuning.HeartbeatInterval;
    }
    const auto now = static_cast<std::uint64_t>(SteadyNowNs());
    if (peerTime != 0) {
        channel->lastSeen.store(static_cast<std::int64_t>(peerTime));
    }
    const auto lastSeen = static_cast<std::uint64_t>(channel->lastSeen.load());
    // Liveness and heartbeat counts are units of 10 ms.
    const bool alive = lastSeen != 0 && now > lastSeen && now - lastSeen <= timeout * 10'000'000ULL;
    if (alive != channel->connected.load()) {
        if (!alive) {
            channel->connected.store(false);
            channel->ResetConnection();
        } else {
            channel->ResetConnection();
            // The reading that proved the peer alive stays, so the peer is reported alive from this pass on.
            channel->lastSeen.store(static_cast<std::int64_t>(lastSeen));
            channel->connected.store(true);
        }
    }
    if (alive) {
        channel->latency.Record(now - lastSeen, static_cast<std::int64_t>(now), impl.LatencyWindowNs());
    } else if (channel->latency.Latency() != 0) {
        channel->latency.Reset();
    }
    const auto sinceSent =
        static_cast<std::uint64_t>(SteadyNowNs()) - static_cast<std::uint64_t>(channel->lastSent.load());
    if (sinceSent >= heartbeatInterval * 10'000'000ULL) {
        const std::int64_t sentAt = SteadyNowNs();
        if (std::string error;
            impl.owner->WriteSharedMemHeartbeat(static_cast<std::uint64_t>(sentAt), error)) {
            channel->lastSent.store(sentAt);
        } else {
            KVLOG(KvLog::kError, "FakeSharedMem has failed to write a SharedMem heartbeat: {}", error);
        }
    }
    return true;
}

void SharedMemWorker(FakeSharedMem::Impl& impl) {
    KvLog::SetThreadName("SharedMemWorker");
    KVLOG(KvLog::kInfo, "The FakeSharedMem SharedMem transport worker thread has been started!");
    try {
        for (;;) {
            if (!impl.RewriteConfigurationFiles()) {
                break;
            }
            if (!RunSharedMemWorkerPass(impl)) {
                break;
            }
            const auto channel = impl.GetChannel(kSharedMemTransport);
            if (channel == nullptr || !channel->SleepWhileRunning(impl.RetryDeadline())) {
                break;
            }
        }
    } catch (const std::exception& e) {
        KVLOG(KvLog::kError, "The FakeSharedMem SharedMem worker thread has failed: {}", e.what());
    } catch (...) {
        KVLOG(KvLog::kError, "The FakeSharedMem SharedMem worker thread has failed due to an unknown error!");
    }
    KVLOG(KvLog::kInfo, "The FakeSharedMem SharedMem worker thread has been stopped!");
}

}  // namespace KvFakeShm
