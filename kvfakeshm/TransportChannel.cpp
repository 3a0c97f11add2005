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
