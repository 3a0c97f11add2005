#include <mutex>
#include <thread>

#include "kvcommon/ConfigFolder.hpp"
#include "kvfakeshm/FakeSharedMemImpl.hpp"
#include "kvlog/Failure.hpp"

namespace KvFakeShm {
namespace {

using KvCommon::FileWatcher;
using KvLog::FailWith;

std::string_view EventName(FileWatcher::EventType event) {
    switch (event) {
        case FileWatcher::EventType::Modified:
            return "Modified";
        case FileWatcher::EventType::Created:
            return "Created";
        case FileWatcher::EventType::Deleted:
            return "Deleted";
        case FileWatcher::EventType::Renamed:
            return "Renamed";
    }
    return "Unknown";
}

// What differs between the two watchers: their fields, the file and its words in messages, the handler.
struct WatchedFile {
    KvCommon::HybridMutex FakeSharedMem::Impl::*lock;
    std::unique_ptr<FileWatcher> FakeSharedMem::Impl::*watcher;
    FileWatcher::Handle FakeSharedMem::Impl::*callback;
    const std::string& (*path)();
    std::string_view words;        // "transport intermediate configuration file", "tuning configuration file"
    std::string_view termination;  // the termination failure's own wording ("the the" for the transport file)
    void (FakeSharedMem::Impl::*handler)(FileWatcher::EventType);
};

const WatchedFile kTransportFile{
    &FakeSharedMem::Impl::transportWatcherLock,     &FakeSharedMem::Impl::transportWatcher,
    &FakeSharedMem::Impl::transportWatcherCallback, &KvCommon::GetTransportFilePath,
    "transport intermediate configuration file",    "the the transport intermediate configuration file",
    &FakeSharedMem::Impl::OnTransportFileChanged};
const WatchedFile kTuningFile{&FakeSharedMem::Impl::tuningWatcherLock,
                              &FakeSharedMem::Impl::tuningWatcher,
                              &FakeSharedMem::Impl::tuningWatcherCallback,
                              &KvCommon::GetTuningFilePath,
                              "tuning configuration file",
                              "the tuning configuration file",
                              &FakeSharedMem::Impl::OnTuningFileChanged};

bool StartWatching(FakeSharedMem::Impl& impl, const WatchedFile& file, std::string& error) {
    const std::string& path = file.path();
    return KvLog::GuardFailures(
        error,
        [&] {
            KVLOG(KvLog::kInfo, "Initializing the FakeSharedMem file watcher on the {} '{}'...", file.words,
                  path);
            std::lock_guard lock(impl.*file.lock);
            impl.*file.watcher = std::make_unique<FileWatcher>(path);
            auto& watcher = *(impl.*file.watcher);
            KVLOG(KvLog::kInfo,
                  "Subscribing to the FakeSharedMem file watcher on the {} '{}' change events...", file.words,
                  path);
            std::string reason;
            bool ok = watcher.Subscribe(
                [&impl, handler = file.handler](FileWatcher::EventType event) { (impl.*handler)(event); },
                impl.*file.callback, reason);
            if (ok) {
                KVLOG(KvLog::kInfo, "Starting the FakeSharedMem file watcher on the {} '{}'...", file.words,
                      path);
                ok = watcher.Start(reason);
            }
            if (!ok) {
                return FailWith(
                    error, fmt::format("The FakeSharedMem file watcher on the {} '{}' initialization has "
                                       "failed: {}",
                                       file.words, path, reason));
            }
            KVLOG(KvLog::kInfo,
                  "The FakeSharedMem file watcher on the {} '{}' has been initialized successfully!",
                  file.words, path);
            return true;
        },
        [&](const std::string& text) {
            return fmt::format("Failed to initialize the FakeSharedMem file watcher on the {} '{}': {}",
                               file.words, path, text);
        },
        [&] {
            return fmt::format(
                "Failed to initialize the FakeSharedMem file watcher on the {} '{}' due to an unknown error!",
                file.words, path);
        });
}

bool StopWatching(FakeSharedMem::Impl& impl, const WatchedFile& file, std::string& error) {
    const std::string& path = file.path();
    return KvLog::GuardFailures(
        error,
        [&] {
            KVLOG(KvLog::kInfo, "Terminating the FakeSharedMem file watcher on the {} '{}'...", file.words,
                  path);
            std::lock_guard lock(impl.*file.lock);
            if (auto& watcher = impl.*file.watcher; watcher != nullptr) {
                KVLOG(KvLog::kInfo,
                      "Unsubscribing from the FakeSharedMem file watcher on the {} '{}' change events...",
                      file.words, path);
                std::string reason;
                const FileWatcher::Handle handle = impl.*file.callback;
                bool ok = watcher->Unsubscribe(handle, reason);
                (impl.*file.callback).reset();
                if (ok) {
                    KVLOG(KvLog::kInfo, "Stopping the FakeSharedMem file watcher on the {} '{}'...",
                          file.words, path);
                    ok = watcher->Stop(reason);
                }
                if (!ok) {
                    return FailWith(error,
                                    fmt::format("The FakeSharedMem file watcher on {} '{}' termination has "
                                                "failed: {}",
                                                file.termination, path, reason));
                }
                watcher.reset();
            }
            KVLOG(KvLog::kInfo,
                  "The FakeSharedMem file watcher on the {} '{}' has been terminated successfully!",
                  file.words, path);
            return true;
        },
        [&](const std::string& text) {
            return fmt::format("Failed to terminate the FakeSharedMem file watcher on the {} '{}': {}",
                               file.words, path, text);
        },
        [&] {
            return fmt::format(
                "Failed to terminate the FakeSharedMem file watcher on the {} '{}' due to an unknown error!",
                file.words, path);
        });
}

}  // namespace

bool FakeSharedMem::Impl::InitializeWatchers(std::string& error) {
    error.clear();
    return StartWatching(*this, kTransportFile, error) && StartWatching(*this, kTuningFile, error);
}

bool FakeSharedMem::Impl::TerminateWatchers(std::string& error) {
    error.clear();
    return StopWatching(*this, kTransportFile, error) && StopWatching(*this, kTuningFile, error);
}

void FakeSharedMem::Impl::OnTransportFileChanged(FileWatcher::EventType event) {
    const std::string& path = KvCommon::GetTransportFilePath();
    KVLOG(KvLog::kInfo,
          "FakeSharedMem transport intermediate configuration file watcher has detected '{}' event on '{}'!",
          EventName(event), path);
    const PeerType peer = peerType.load();
    if (peer == PeerType::Connect) {
        transportFileChanged.store(true);
        return;
    }
    if (peer != PeerType::Core) {
        KVLOG(KvLog::kFatal, "FakeSharedMem has an invalid peer type '{}'!", PeerTypeName(peer));
        return;
    }
    if (event == FileWatcher::EventType::Deleted) {
        KVLOG(KvLog::kInfo, "Reverting back KvFakeShm transport configuration to SharedMem only...");
    }
    // Terminate holds stateLock while it joins this thread: waiting for the lock then would never end,
    // so the handler gives up as soon as a termination is under way.
    std::unique_lock lock(stateLock, std::defer_lock);
    while (!lock.try_lock()) {
        if (terminating.load()) {
            KVLOG(KvLog::kWarning, "FakeSharedMem is terminating; the '{}' event on '{}' is ignored!",
                  EventName(event), path);
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (event == FileWatcher::EventType::Deleted) {
        for (const auto* transport : {&kIpcTransport, &kTcpTransport, &kSharedMemTransport}) {
            std::string stopError, removeError;
            if (!StopAndRemoveChannel(*transport, stopError, removeError)) {
                if (!stopError.empty()) {
                    KVLOG(KvLog::kError, "FakeSharedMem {} worker thread stop has failed: {}",
                          transport->word, stopError);
                    // The revert goes on with the channel removal, as when the stop succeeds.
                    if (std::string reason; !TerminateChannel(*transport, reason)) {
                        KVLOG(KvLog::kError, "FakeSharedMem {} channel termination has failed: {}",
                              transport->word, reason);
                    }
                } else {
                    KVLOG(KvLog::kError, "FakeSharedMem {} channel termination has failed: {}",
                          transport->word, removeError);
                }
            }
        }
        transports.store(kTransportSharedMem);
        return;
    }
    if (std::string reason; !LoadTransportFile(reason)) {
        KVLOG(KvLog::kWarning, "FakeSharedMem has failed to reload the configuration file '{}': {}", path,
              reason);
        return;
    }
    for (const auto* transport : {&kIpcTransport, &kTcpTransport, &kSharedMemTransport}) {
        if (IsEnabled(*transport)) {
            if (std::string reason; !StartWorker(*transport, reason)) {
                KVLOG(KvLog::kError, "FakeSharedMem {} worker thread start has failed: {}", transport->word,
                      reason);
            }
        }
    }
    lock.unlock();
    KVLOG(KvLog::kInfo,
          "FakeSharedMem transport intermediate configuration file '{}' has been reloaded successfully!",
          path);
}

void FakeSharedMem::Impl::OnTuningFileChanged(FileWatcher::EventType event) {
    const std::string& path = KvCommon::GetTuningFilePath();
    KVLOG(KvLog::kInfo, "FakeSharedMem tuning configuration file watcher has detected '{}' event on '{}'!",
          EventName(event), path);
    switch (const PeerType peer = peerType.load()) {
        case PeerType::Connect:
            if (std::string reason; LoadTuningFile(reason)) {
                tuningFileChanged.store(true);
            } else {
                KVLOG(KvLog::kError, "Failed to load the FakeSharedMem tuning configuration file '{}'!",
                      path);
            }
            break;
        case PeerType::Core:
            KVLOG(KvLog::kWarning,
                  "FakeSharedMem tuning configuration file '{}' changes cannot be applied from the Core peer "
                  "directly! "
                  "Will be waiting for the transport intermediate file...",
                  path);
            break;
        default:
            KVLOG(KvLog::kFatal, "FakeSharedMem has an invalid peer type '{}'!", PeerTypeName(peer));
    }
}

}  // namespace KvFakeShm
