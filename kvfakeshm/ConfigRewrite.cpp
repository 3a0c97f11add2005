#include <mutex>

#include "kvfakeshm/FakeSharedMemImpl.hpp"
#include "kvlog/Logging.hpp"

namespace KvFakeShm {

// Runs at the start of every worker pass. The whole rewrite holds transportWatcherLock: workers that
// find the flags together save once (the later ones find them cleared), and a Terminate that stops the
// watcher or erases the file waits for a save in flight instead of finding the watcher stopped by it.
bool FakeSharedMem::Impl::RewriteConfigurationFiles() {
    const auto flagged = [this] { return transportFileChanged.load() || tuningFileChanged.load(); };
    if (peerType.load() != PeerType::Connect || !flagged()) {
        return true;
    }
    std::lock_guard lock(transportWatcherLock);
    if (!flagged()) {
        return true;
    }
    KVLOG(KvLog::kInfo,
          "FakeSharedMem transport configuration file contamination detected; rewriting to disk...");
    if (transportWatcher != nullptr) {
        if (std::string error; !transportWatcher->Stop(error)) {
            KVLOG(KvLog::kError, "FakeSharedMem has failed to stop the intermediate file watcher: {}", error);
            return false;
        }
    }
    std::string error;
    const bool saved = SaveTransportFile(error);
    if (!saved) {
        KVLOG(KvLog::kError, "FakeSharedMem has failed to save the transport configuration to file: {}",
              error);
    }
    // Restarted after a failed save too: the flags stay set and the rerun body retries the save after
    // the retry interval, instead of every later Stop failing on a watcher nobody restarts.
    if (transportWatcher != nullptr && !transportWatcher->Start(error)) {
        KVLOG(KvLog::kError, "FakeSharedMem has failed to start the intermediate file watcher: {}", error);
        // Without a running watcher no rewrite can be coordinated again; retrying would only fail its
        // Stop on every pass, so the request is dropped. So is the stopped watcher: Terminate would
        // fail to stop it and then never erase the transport file.
        transportFileChanged.store(false);
        tuningFileChanged.store(false);
        transportWatcherCallback.reset();
        transportWatcher.reset();
        return false;
    }
    if (!saved) {
        return false;
    }
    transportFileChanged.store(false);
    tuningFileChanged.store(false);
    return true;
}

}  // namespace KvFakeShm
