#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "kvcommon/DirectoryWatch.hpp"

namespace KvCommon::Platform {
namespace {

class InotifyWatch final : public DirectoryWatch {
  public:
    InotifyWatch(int inotifyFd, int wakeFd) : inotifyFd_(inotifyFd), wakeFd_(wakeFd) {}
    ~InotifyWatch() override {
        close(inotifyFd_);
        close(wakeFd_);
    }

    WaitResult Wait(std::vector<Change>& changes) override {
        pollfd fds[2] = {{wakeFd_, POLLIN, 0}, {inotifyFd_, POLLIN, 0}};
        for (;;) {
            const int ready = poll(fds, 2, -1);
            if (ready < 0 && errno == EINTR) {
                continue;
            }
            if (ready < 0) {
                return WaitResult::Ended;
            }
            break;
        }
        if ((fds[0].revents & POLLIN) != 0) {
            std::uint64_t count = 0;
            [[maybe_unused]] auto n = read(wakeFd_, &count, sizeof count);
            return WaitResult::Woken;
        }
        return ReadChanges(changes);
    }

    void Wake() override {
        const std::uint64_t one = 1;
        [[maybe_unused]] auto n = write(wakeFd_, &one, sizeof one);
    }

  private:
    WaitResult ReadChanges(std::vector<Change>& changes) {
        alignas(inotify_event) char buffer[4096];
        const ssize_t length = read(inotifyFd_, buffer, sizeof buffer);
        if (length < 0) {
            return errno == EAGAIN || errno == EINTR ? WaitResult::Changes : WaitResult::Ended;
        }
        bool ended = false;
        for (ssize_t at = 0; at < length;) {
            inotify_event event;
            std::memcpy(&event, buffer + at, sizeof event);
            const char* name = buffer + at + sizeof(inotify_event);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event.len);
            if ((event.mask & IN_Q_OVERFLOW) != 0) {
                changes.push_back({Action::Overflow, {}});
                continue;
            }
            if ((event.mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT)) != 0) {
                ended = true;
                continue;
            }
            if ((event.mask & IN_ISDIR) != 0 || event.len == 0) {
                continue;
            }
            std::string fileName(name, strnlen(name, event.len));
            if ((event.mask & IN_CREATE) != 0)
                changes.push_back({Action::Added, fileName});
            if ((event.mask & (IN_MODIFY | IN_CLOSE_WRITE)) != 0)
                changes.push_back({Action::Modified, fileName});
            if ((event.mask & IN_DELETE) != 0)
                changes.push_back({Action::Removed, fileName});
            if ((event.mask & IN_MOVED_FROM) != 0)
                changes.push_back({Action::RenamedOldName, fileName});
            if ((event.mask & IN_MOVED_TO) != 0)
                changes.push_back({Action::RenamedNewName, std::move(fileName)});
        }
        return ended ? WaitResult::Ended : WaitResult::Changes;
    }

    int inotifyFd_;
    int wakeFd_;
};

}  // namespace

std::unique_ptr<DirectoryWatch> DirectoryWatch::Open(const std::string& directory, std::string& reason) {
    const int inotifyFd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (inotifyFd < 0) {
        reason = "inotify_init1 failed!";
        return nullptr;
    }
    constexpr std::uint32_t kMask = IN_CREATE | IN_MODIFY | IN_CLOSE_WRITE | IN_DELETE | IN_MOVED_FROM |
                                    IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
    if (inotify_add_watch(inotifyFd, directory.c_str(), kMask) < 0) {
        close(inotifyFd);
        reason = "inotify_add_watch failed!";
        return nullptr;
    }
    const int wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd < 0) {
        close(inotifyFd);
        reason = "eventfd failed!";
        return nullptr;
    }
    return std::make_unique<InotifyWatch>(inotifyFd, wakeFd);
}

}  // namespace KvCommon::Platform
