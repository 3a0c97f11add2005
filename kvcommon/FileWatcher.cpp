#include "kvcommon/FileWatcher.hpp"

#include <atomic>
#include <filesystem>
#include <mutex>
#include <shared_mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "kvcommon/DirectoryWatch.hpp"
#include "kvcommon/HybridMutex.hpp"
#include "kvlog/Failure.hpp"

namespace KvCommon {

using Platform::DirectoryWatch;

struct FileWatcher::Impl {
    Impl(const std::string& path, FileWatcher* owner) : filePath(path), owner(owner) {
        const std::filesystem::path fsPath(path);
        directoryPath = fsPath.parent_path().string();
        fileName = fsPath.filename().string();
    }

    void Run();
    void Notify(EventType event);
    bool Fail(std::string& error, std::string message) { return KvLog::FailWith(error, std::move(message)); }
    // Start and Stop report an escaping exception the same way; `action` is "starting a" or "stopping the".
    // Call only inside a catch block.
    bool FailFromException(std::string& error, std::string_view action) {
        const auto text = KvLog::CurrentExceptionText();
        return Fail(error, text ? fmt::format("Encountered an error while {} FileWatcher on '{}': {}", action,
                                              filePath, *text)
                                : fmt::format("Encountered an unknown error while {} FileWatcher on '{}'!",
                                              action, filePath));
    }

    std::string filePath;
    std::string directoryPath;
    std::string fileName;
    std::unique_ptr<DirectoryWatch> directory;  // opened by Start, released by Stop after the join
    HybridMutex stateLock;
    std::atomic<bool> running{false};
    // Set while a Stop joins without stateLock: the old thread still waits on `directory`, so a Start
    // in that window must not replace it.
    bool stopping = false;
    HybridSharedMutex subscribersLock;
    std::vector<std::weak_ptr<Callback>> subscribers;
    std::thread thread;
    FileWatcher* owner;
};

namespace {

bool ToEvent(DirectoryWatch::Action action, FileWatcher::EventType& event) {
    switch (action) {
        case DirectoryWatch::Action::Added:
            event = FileWatcher::EventType::Created;
            return true;
        case DirectoryWatch::Action::Removed:
            event = FileWatcher::EventType::Deleted;
            return true;
        case DirectoryWatch::Action::Modified:
            event = FileWatcher::EventType::Modified;
            return true;
        case DirectoryWatch::Action::RenamedNewName:
            event = FileWatcher::EventType::Renamed;
            return true;
        default:
            return false;
    }
}

}  // namespace

void FileWatcher::Impl::Run() {
    KvLog::SetThreadName("FileWatcher");
    std::vector<DirectoryWatch::Change> changes;
    while (running.load()) {
        changes.clear();
        const auto result = directory->Wait(changes);
        if (!running.load()) {
            break;
        }
        // Changes read together with the end (the file deleted with its directory) still count.
        for (const auto& change : changes) {
            EventType event{};
            if (change.action == DirectoryWatch::Action::Overflow) {
                // Records were lost: the file may have changed, so its readers reread it.
                Notify(EventType::Modified);
            } else if (change.name == fileName && ToEvent(change.action, event)) {
                Notify(event);
            }
            if (!running.load()) {
                break;
            }
        }
        if (result == DirectoryWatch::WaitResult::Ended) {
            KVLOG(KvLog::kWarning,
                  "The directory of '{}' can no longer be watched; the FileWatcher thread ends!", filePath);
            break;
        }
    }
}

void FileWatcher::Impl::Notify(EventType event) {
    std::vector<std::shared_ptr<Callback>> alive;
    {
        std::shared_lock lock(subscribersLock);
        for (const auto& weak : subscribers) {
            if (auto strong = weak.lock()) {
                alive.push_back(std::move(strong));
            }
        }
    }
    for (const auto& callback : alive) {
        (*callback)(event);
    }
}

FileWatcher::FileWatcher(const std::string& filePath) : impl(std::make_unique<Impl>(filePath, this)) {}

FileWatcher::~FileWatcher() {
    if (impl->running.load()) {
        if (std::string error; !Stop(error)) {
            KVLOG(KvLog::kError, "Auto-stopping the filewatcher on '{}' has failed: {}", impl->filePath,
                  error);
        }
    }
}

bool FileWatcher::Start(std::string& error) {
    error.clear();
    KVLOG(KvLog::kInfo, "Starting a FileWatcher on '{}'...", impl->filePath);
    try {
        std::lock_guard lock(impl->stateLock);
        if (impl->running.load()) {
            return impl->Fail(error,
                              fmt::format("A FileWatcher on '{}' has already been started; start aborted!",
                                          impl->filePath));
        }
        if (impl->stopping) {
            return impl->Fail(error,
                              fmt::format("Encountered an error while starting a FileWatcher on '{}': {}",
                                          impl->filePath, "The previous stop has not finished yet!"));
        }
        std::string reason;
        auto directory = DirectoryWatch::Open(
            impl->directoryPath.empty() ? std::string(".") : impl->directoryPath, reason);
        if (directory == nullptr) {
            return impl->Fail(error,
                              fmt::format("Encountered an error while starting a FileWatcher on '{}': {}",
                                          impl->filePath, reason));
        }
        impl->directory = std::move(directory);
        impl->running.store(true);
        try {
            impl->thread = std::thread([this] { impl->Run(); });
        } catch (...) {
            // Leave the watcher stopped rather than half started.
            impl->running.store(false);
            impl->directory.reset();
            throw;
        }
        KVLOG(KvLog::kInfo, "A FileWatcher on '{}' has been started successfully!", impl->filePath);
        return true;
    } catch (...) {
        return impl->FailFromException(error, "starting a");
    }
}

bool FileWatcher::Stop(std::string& error) {
    error.clear();
    KVLOG(KvLog::kInfo, "Stopping the FileWatcher on '{}'...", impl->filePath);
    try {
        std::thread thread;
        {
            std::lock_guard lock(impl->stateLock);
            if (!impl->running.load()) {
                return impl->Fail(error,
                                  fmt::format("A FileWatcher on '{}' has not been started yet; stop aborted!",
                                              impl->filePath));
            }
            // A callback stopping its own watcher would join itself; refuse before anything changes.
            if (impl->thread.get_id() == std::this_thread::get_id()) {
                throw std::system_error(std::make_error_code(std::errc::resource_deadlock_would_occur));
            }
            impl->running.store(false);
            impl->stopping = true;
            thread = std::move(impl->thread);
            // The wake is sticky, so a thread that is not waiting yet still sees it on its next wait.
            impl->directory->Wake();
        }
        if (thread.joinable()) {
            thread.join();
        }
        {
            std::lock_guard lock(impl->stateLock);
            impl->directory.reset();
            impl->stopping = false;
        }
        KVLOG(KvLog::kInfo, "The FileWatcher on '{}' has been stopped successfully!", impl->filePath);
        return true;
    } catch (...) {
        return impl->FailFromException(error, "stopping the");
    }
}

bool FileWatcher::Subscribe(Callback callback, Handle& handle, std::string& error) {
    error.clear();
    KVLOG(KvLog::kInfo, "Subscribing to the OnFileChanged event on '{}'...", impl->filePath);
    try {
        auto shared = std::make_shared<Callback>(std::move(callback));
        {
            std::unique_lock lock(impl->subscribersLock);
            impl->subscribers.emplace_back(shared);
        }
        handle = std::move(shared);
        KVLOG(KvLog::kInfo, "Successfully subscribed to the OnFileChanged event on '{}'!", impl->filePath);
        return true;
    } catch (...) {
        const auto text = KvLog::CurrentExceptionText();
        return impl->Fail(error, fmt::format("Failed to subscribe to the OnFileChanged event on '{}': {}",
                                             impl->filePath, text.value_or("Unknown error!")));
    }
}

bool FileWatcher::Unsubscribe(const Handle& handle, std::string& error) {
    error.clear();
    KVLOG(KvLog::kInfo, "Unsubscribing from the OnFileChanged event on '{}'...", impl->filePath);
    try {
        {
            std::unique_lock lock(impl->subscribersLock);
            auto& subscribers = impl->subscribers;
            // Stale entries ahead of the handle's are removed first, one per call.
            const auto found = std::find_if(subscribers.begin(), subscribers.end(), [&](const auto& weak) {
                const auto strong = weak.lock();
                return strong == nullptr || strong == handle;
            });
            if (found == subscribers.end()) {
                return impl->Fail(
                    error,
                    fmt::format("Failed to find the OnFileChanged event handler on '{}'!", impl->filePath));
            }
            subscribers.erase(found);
        }
        KVLOG(KvLog::kInfo, "Successfully unsubscribed from the OnFileChanged event on '{}'!",
              impl->filePath);
        return true;
    } catch (...) {
        const auto text = KvLog::CurrentExceptionText();
        return impl->Fail(error, fmt::format("Failed to unsubscribe from the OnFileChanged event on '{}': {}",
                                             impl->filePath, text.value_or("Unknown error!")));
    }
}

}  // namespace KvCommon
