#include "kvfakeshm/TransportChannel.hpp"

#include <mutex>

#include "kvlog/Logging.hpp"

namespace KvFakeShm {

TransportChannel::~TransportChannel() {
    if (!worker.joinable()) {
        return;
    }
    // The last reference can go on the worker itself only after a failed stop; joining there would
    // throw and end the process, so the thread is left to finish on its own.
    if (worker.get_id() == std::this_thread::get_id()) {
        KVLOG(KvLog::kWarning, "A transport channel was released on its own worker thread; detaching it!");
        worker.detach();
        return;
    }
    worker.join();
}

bool TransportChannel::SleepWhileRunning(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock lock(sleepMutex);
    sleepWake.wait_until(lock, deadline, [this] { return !running.load(); });
    return running.load();
}

void TransportChannel::StopRunning() {
    {
        // Taken so that a worker between its check and its wait cannot miss the wake.
        std::lock_guard lock(sleepMutex);
        running.store(false);
    }
    sleepWake.notify_all();
}

void TransportChannel::ResetConnection() {
    lastSent.store(0);
    lastSeen.store(0);
    latency.Reset();
    read.Reset();
    readWithMeta.Reset();
    write.Reset();
    writeWithMeta.Reset();
    std::unique_lock lock(blockStoreLock);
    blockStore.clear();
}

}  // namespace KvFakeShm
