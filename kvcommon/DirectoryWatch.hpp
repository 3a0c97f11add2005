#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// The OS-specific half of the file watcher: change records of one directory (not its subdirectories).
namespace KvCommon::Platform {

class DirectoryWatch {
  public:
    enum class Action : std::uint8_t { Added, Removed, Modified, RenamedOldName, RenamedNewName, Overflow };
    struct Change {
        Action action;
        std::string name;  // empty for Overflow
    };
    enum class WaitResult : std::uint8_t { Changes, Woken, Ended };

    // nullptr and a reason when the directory cannot be watched.
    static std::unique_ptr<DirectoryWatch> Open(const std::string& directory, std::string& reason);

    virtual ~DirectoryWatch() = default;

    // Blocks until changes arrive (Changes), Wake was called (Woken), or the directory is gone or the
    // facility failed (Ended). A Wake before the call is not lost. Ended may come with the last changes
    // read before the end: the caller hands them over, then stops waiting.
    virtual WaitResult Wait(std::vector<Change>& changes) = 0;

    // Callable from any thread.
    virtual void Wake() = 0;
};

}  // namespace KvCommon::Platform
