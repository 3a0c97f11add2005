#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace KvCommon {

// Reports changes of one file by watching its directory on a thread of its own. Callbacks run on that
// thread, one after another, with no watcher lock held.
class FileWatcher {
  public:
    enum class EventType : std::uint8_t { Modified = 0, Created = 1, Deleted = 2, Renamed = 3 };
    using Callback = std::function<void(EventType)>;
    using Handle = std::shared_ptr<Callback>;

    explicit FileWatcher(const std::string& filePath);
    virtual ~FileWatcher();
    FileWatcher(const FileWatcher&) = delete;
    FileWatcher& operator=(const FileWatcher&) = delete;

    bool Start(std::string& error);
    bool Stop(std::string& error);
    // The watcher keeps only a weak reference: dropping the handle ends the subscription.
    bool Subscribe(Callback callback, Handle& handle, std::string& error);
    bool Unsubscribe(const Handle& handle, std::string& error);

    struct Impl;

  private:
    std::unique_ptr<Impl> impl;
};

}  // namespace KvCommon
