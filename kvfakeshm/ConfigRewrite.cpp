#include <mutex>

#include "kvfakeshm/FakeSharedMemImpl.hpp"
#include "kvlog/Logging.hpp"

namespace KvFakeShm {

// Runs at the start of every worker pass. Only the worker whose Stop finds the watcher running goes on to
// save, so one save runs at a time; the others end their body and are rerun by their supervisors.
bool FakeSharedMem::Impl::RewriteConfigurationFiles() {
    if (peerType.load() != PeerType::Connect || (!transportFileChanged.load() && !tuningFileChanged.load())) {
        return true;
    }
    KVLOG(KvLog::kInfo,
          "FakeSharedMem transport configuration file contamination detected; rewriting to disk...");
    const auto restartWatcher = [this] {
        std::lock_guard lock(transportWatcherLock);
        if (transportWatcher != nullptr) {
            if (std::string error; !transportWatcher->Start(error)) {
                KVLOG(KvLog::kError, "FakeSharedMem has failed to start the intermediate file watcher: {}",
                      error);
                return false;
            }
        }
        return true;
    };
    {
        std::lock_guard lock(transportWatcherLock);
        if (transportWatcher != nullptr) {
            if (std::string error; !transportWatcher->Stop(error)) {
                KVLOG(KvLog::kError, "FakeSharedMem has failed to stop the intermediate file watcher: {}",
                      error);
                return false;
            }
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
    if (!restartWatcher()) {
        // Without a running watcher no rewrite can be coordinated again; retrying would only fail its
        // Stop on every pass, so the request is dropped.
        transportFileChanged.store(false);
        tuningFileChanged.store(false);
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
