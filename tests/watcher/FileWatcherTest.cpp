#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "kvcommon/FileWatcher.hpp"
#include "kvlog/Logging.hpp"
#include "tests/support/TestSupport.hpp"

using namespace std::chrono_literals;
using KvCommon::FileWatcher;
using Event = FileWatcher::EventType;
namespace fs = std::filesystem;

namespace {

class Recorder {
  public:
    void Add(Event event) {
        std::lock_guard lock(mutex_);
        events_.push_back(event);
    }
    std::vector<Event> Events() const {
        std::lock_guard lock(mutex_);
        return events_;
    }
    bool Saw(Event event) const {
        const auto events = Events();
        return std::find(events.begin(), events.end(), event) != events.end();
    }
    bool WaitFor(Event event, std::chrono::milliseconds deadline = 5s) const {
        return KvTest::WaitFor([&] { return Saw(event); }, deadline);
    }
    void Clear() {
        std::lock_guard lock(mutex_);
        events_.clear();
    }

  private:
    mutable std::mutex mutex_;
    std::vector<Event> events_;
};

void Write(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::size_t WatcherThreads() {
    return KvTest::CountThreadsNamed("FileWatcher");
}

class Watcher : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(watcher.Subscribe([this](Event e) { recorder.Add(e); }, handle, error)) << error;
        ASSERT_TRUE(watcher.Start(error)) << error;
    }
    // A marker change that the watcher reports proves that earlier records were processed.
    void Settle() {
        recorder.Clear();
        Write(file, "marker");
        ASSERT_TRUE(recorder.WaitFor(Event::Modified));
        recorder.Clear();
    }

    KvTest::TempDir dir;
    fs::path file = dir.Path() / "watched.yml";
    Recorder recorder;  // outlives the watcher, whose thread may still call it until the watcher stops
    FileWatcher watcher{file.string()};
    FileWatcher::Handle handle;
    std::string error;
};

}  // namespace

TEST_F(Watcher, ReportsCreateModifyDeleteAndRenameOnto) {
    Write(file, "a");
    EXPECT_TRUE(recorder.WaitFor(Event::Created));
    EXPECT_TRUE(recorder.WaitFor(Event::Modified));

    recorder.Clear();
    fs::remove(file);
    EXPECT_TRUE(recorder.WaitFor(Event::Deleted));

    recorder.Clear();
    Write(dir.Path() / "other.tmp", "b");
    fs::rename(dir.Path() / "other.tmp", file);
    EXPECT_TRUE(recorder.WaitFor(Event::Renamed));
    EXPECT_FALSE(recorder.Saw(Event::Created)) << "the temporary file is not the watched one";
}

TEST_F(Watcher, RenamingTheFileAwayRaisesNothing) {
    Write(file, "a");
    Settle();
    fs::rename(file, dir.Path() / "moved.yml");
    Write(dir.Path() / "moved.yml", "x");
    Write(file, "back");  // proves the watcher is still running and nothing came in between
    ASSERT_TRUE(recorder.WaitFor(Event::Created));
    // A late Modified of the marker write may still arrive; the move itself must raise nothing.
    EXPECT_FALSE(recorder.Saw(Event::Deleted));
    EXPECT_FALSE(recorder.Saw(Event::Renamed));
}

TEST_F(Watcher, OtherFilesSubdirectoriesAndCaseVariantsRaiseNothing) {
    Write(dir.Path() / "unrelated.txt", "x");
    Write(dir.Path() / "WATCHED.yml", "x");
    Write(dir.Path() / "Watched.yml", "x");
    fs::create_directory(dir.Path() / "sub");
    Write(dir.Path() / "sub" / "watched.yml", "x");
    fs::remove(dir.Path() / "unrelated.txt");
    Write(file, "x");
    ASSERT_TRUE(recorder.WaitFor(Event::Created));
    EXPECT_EQ(recorder.Events().front(), Event::Created) << "an earlier change was wrongly reported";
}

TEST_F(Watcher, NoCallbackAfterStopAndSecondStopFails) {
    ASSERT_TRUE(watcher.Stop(error)) << error;
    Write(file, "after stop");
    Write(dir.Path() / "x", "x");
    std::this_thread::sleep_for(100ms);  // nothing to wait for: the point is that nothing arrives
    EXPECT_TRUE(recorder.Events().empty());
    EXPECT_FALSE(watcher.Stop(error));
    EXPECT_EQ(error, "A FileWatcher on '" + file.string() + "' has not been started yet; stop aborted!");
}

TEST_F(Watcher, SecondStartIsRefusedAndRestartWorks) {
    EXPECT_FALSE(watcher.Start(error));
    EXPECT_EQ(error, "A FileWatcher on '" + file.string() + "' has already been started; start aborted!");
    ASSERT_TRUE(watcher.Stop(error));
    ASSERT_TRUE(watcher.Start(error));
    Write(file, "x");
    EXPECT_TRUE(recorder.WaitFor(Event::Created));
}

TEST(WatcherStart, MissingDirectoryFailsAndStaysStopped) {
    KvTest::TempDir dir;
    FileWatcher watcher((dir.Path() / "absent" / "f.yml").string());
    std::string error;
    EXPECT_FALSE(watcher.Start(error));
    EXPECT_TRUE(error.starts_with("Encountered an error while starting a FileWatcher on '")) << error;
    EXPECT_FALSE(watcher.Stop(error));
}

TEST_F(Watcher, ReleasedHandleIsNotCalledAndItsEntryGoesFirst) {
    Recorder second;
    FileWatcher::Handle secondHandle;
    ASSERT_TRUE(watcher.Subscribe([&](Event e) { second.Add(e); }, secondHandle, error));
    FileWatcher::Handle stale;
    ASSERT_TRUE(watcher.Subscribe([&](Event e) { second.Add(e); }, stale, error));
    secondHandle.reset();
    Write(file, "x");
    ASSERT_TRUE(recorder.WaitFor(Event::Created));
    ASSERT_TRUE(recorder.WaitFor(Event::Modified));
    // `stale` still lives, so events reach `second` only through it.
    EXPECT_TRUE(second.Saw(Event::Created));

    // The released entry sits before the handle's own: the first call removes it, the second the handle's.
    EXPECT_TRUE(watcher.Unsubscribe(stale, error));
    EXPECT_TRUE(watcher.Unsubscribe(stale, error));
    EXPECT_TRUE(watcher.Unsubscribe(handle, error));
    EXPECT_FALSE(watcher.Unsubscribe(handle, error));
    EXPECT_EQ(error, "Failed to find the OnFileChanged event handler on '" + file.string() + "'!");
}

TEST_F(Watcher, CallbackStoppingItsOwnWatcherGetsAnErrorNotADeadlock) {
    std::atomic<bool> called{false};
    std::atomic<bool> stopReturned{false};
    std::string callbackError;  // read only after stopReturned
    FileWatcher::Handle selfStop;
    ASSERT_TRUE(watcher.Subscribe(
        [&](Event) {
            if (!called.exchange(true)) {
                EXPECT_FALSE(watcher.Stop(callbackError));
                stopReturned = true;
            }
        },
        selfStop, error));
    Write(file, "x");
    ASSERT_TRUE(KvTest::WaitFor([&] { return stopReturned.load(); }, 5s));
    EXPECT_TRUE(callbackError.starts_with("Encountered an error while stopping the FileWatcher on '"))
        << callbackError;
    EXPECT_TRUE(watcher.Stop(error)) << error;
}

TEST(WatcherDirectoryGone, FileEventsReadWithTheEndAreReportedAndTheThreadEnds) {
    KvTest::TempDir parent;
    const fs::path folder = parent.Path() / "watched";
    fs::create_directory(folder);
    const fs::path file = folder / "f.bin";

    FileWatcher watcher(file.string());
    Recorder recorder;
    std::atomic<bool> inCallback{false};
    std::atomic<bool> release{false};
    FileWatcher::Handle handle;
    std::string error;
    ASSERT_TRUE(watcher.Subscribe(
        [&](Event e) {
            recorder.Add(e);
            // Holding the thread here makes the deletion's records arrive together with the end.
            inCallback = true;
            while (!release.load())
                std::this_thread::yield();
        },
        handle, error));
    ASSERT_TRUE(watcher.Start(error)) << error;
    ASSERT_TRUE(KvTest::WaitFor([] { return WatcherThreads() == 1; }, 5s));

    Write(file, "x");
    ASSERT_TRUE(KvTest::WaitFor([&] { return inCallback.load(); }, 5s));
    fs::remove_all(folder);
    release = true;
    EXPECT_TRUE(recorder.WaitFor(Event::Deleted));
    EXPECT_TRUE(KvTest::WaitFor([&] { return WatcherThreads() == 0; }, 5s))
        << "the FileWatcher thread still runs after its directory was deleted";
    EXPECT_TRUE(watcher.Stop(error)) << error;
    EXPECT_FALSE(watcher.Stop(error));
}

TEST(WatcherRaces, StartWhileAStopJoinsIsRefusedAndTheStopFinishes) {
    KvTest::TempDir dir;
    const fs::path file = dir.Path() / "f.bin";
    KvLog::SetConsoleVerbosity(KvLog::kFatal);  // the refusals below are expected
    FileWatcher watcher(file.string());
    std::atomic<bool> inCallback{false};
    std::atomic<bool> release{false};
    FileWatcher::Handle handle;
    std::string error;
    ASSERT_TRUE(watcher.Subscribe(
        [&](Event) {
            inCallback = true;
            while (!release.load())
                std::this_thread::yield();
        },
        handle, error));
    ASSERT_TRUE(watcher.Start(error)) << error;
    Write(file, "x");
    ASSERT_TRUE(KvTest::WaitFor([&] { return inCallback.load(); }, 5s));

    // The stop waits in its join for as long as the callback runs.
    std::atomic<bool> stopped{false};
    std::string stopError;
    std::thread stopper([&] {
        watcher.Stop(stopError);
        stopped = true;
    });
    const std::string alreadyStarted =
        "A FileWatcher on '" + file.string() + "' has already been started; start aborted!";
    std::string startError;
    bool started = false;
    ASSERT_TRUE(KvTest::WaitFor(
        [&] {
            started = watcher.Start(startError);
            return started || startError != alreadyStarted;
        },
        5s));
    EXPECT_FALSE(started) << "a Start while a Stop joins replaced the directory the old thread waits on";
    EXPECT_EQ(startError, "Encountered an error while starting a FileWatcher on '" + file.string() +
                              "': The previous stop has not finished yet!");
    release = true;
    if (!KvTest::WaitFor([&] { return stopped.load(); }, 10s)) {
        ADD_FAILURE() << "the Stop never returned";
        std::_Exit(1);  // its join cannot be interrupted; end the process instead of hanging
    }
    stopper.join();
    EXPECT_TRUE(stopError.empty()) << stopError;
    EXPECT_EQ(WatcherThreads(), 0u);
    ASSERT_TRUE(watcher.Start(error)) << "a finished stop allows the next start: " << error;
    EXPECT_TRUE(watcher.Stop(error)) << error;
}

TEST(WatcherRaces, StartRacingStopIsRefusedOrSucceedsButNeverHangsOrCrashes) {
    KvTest::TempDir dir;
    const fs::path file = dir.Path() / "raced.bin";
    KvLog::SetConsoleVerbosity(KvLog::kFatal);  // the refusals are expected by the hundred
    const std::string startPrefix =
        "Encountered an error while starting a FileWatcher on '" + file.string() + "': ";
    const std::string alreadyStarted =
        "A FileWatcher on '" + file.string() + "' has already been started; start aborted!";
    const std::string notStarted =
        "A FileWatcher on '" + file.string() + "' has not been started yet; stop aborted!";
    std::atomic<int> refusedDuringStop{0};
    std::atomic<bool> done{false};
    std::atomic<bool> unexpected{false};
    std::thread loop([&] {
        FileWatcher watcher(file.string());
        std::string error;
        for (int i = 0; i < 200 && !unexpected; ++i) {
            if (!watcher.Start(error)) {
                unexpected = true;
                break;
            }
            std::atomic<bool> go{false};
            std::string stopError, startError;
            std::thread stopper([&] {
                while (!go)
                    std::this_thread::yield();
                if (!watcher.Stop(stopError) && stopError != notStarted)
                    unexpected = true;
            });
            std::thread starter([&] {
                while (!go)
                    std::this_thread::yield();
                for (int k = 0; k < 3; ++k) {
                    if (watcher.Start(startError))
                        return;
                    if (startError == startPrefix + "The previous stop has not finished yet!")
                        ++refusedDuringStop;
                    else if (startError != alreadyStarted)
                        unexpected = true;
                }
            });
            go = true;
            stopper.join();
            starter.join();
            watcher.Stop(error);  // whichever won, the watcher is stopped before the next round
        }
        done = true;
    });
    const bool finished = KvTest::WaitFor([&] { return done.load(); }, 60s);
    if (!finished) {
        ADD_FAILURE() << "a Start racing a Stop hung the watcher";
        std::_Exit(1);  // the joined thread never returns; end the test process instead of hanging
    }
    loop.join();
    EXPECT_FALSE(unexpected.load());
    EXPECT_EQ(WatcherThreads(), 0u);
    RecordProperty("refusedDuringStop", refusedDuringStop.load());
}

TEST(WatcherCycles, ThousandStartStopCyclesLeakNoDescriptorsOrThreads) {
    KvTest::TempDir dir;
    const fs::path file = dir.Path() / "cycled.bin";
    std::atomic<int> events{0};
    std::string error;
    KvLog::SetConsoleVerbosity(KvLog::kWarning);  // 4,000 progress lines would only slow the loop down
    const std::size_t fdsBefore = KvTest::CountOpenDescriptors();
    {
        FileWatcher watcher(file.string());
        FileWatcher::Handle handle;
        ASSERT_TRUE(watcher.Subscribe([&](Event) { ++events; }, handle, error));
        std::atomic<bool> writing{true};
        std::thread writer([&] {
            while (writing) {
                Write(file, "x");
            }
        });
        for (int i = 0; i < 1000; ++i) {
            ASSERT_TRUE(watcher.Start(error)) << error;
            ASSERT_TRUE(watcher.Stop(error)) << error;
        }
        // The subscription outlives the cycles. On a loaded machine a start-stop window can be too short
        // to catch a write, so the check waits on a watcher that stays started.
        ASSERT_TRUE(watcher.Start(error)) << error;
        EXPECT_TRUE(KvTest::WaitFor([&] { return events.load() > 0; }, 5s));
        ASSERT_TRUE(watcher.Stop(error)) << error;
        writing = false;
        writer.join();
    }
    EXPECT_EQ(KvTest::CountOpenDescriptors(), fdsBefore);
    EXPECT_EQ(WatcherThreads(), 0u);
}

TEST(WatcherDestructor, StopsARunningWatcher) {
    KvTest::TempDir dir;
    std::atomic<int> calls{0};
    std::string error;
    FileWatcher::Handle handle;
    {
        FileWatcher watcher((dir.Path() / "f").string());
        ASSERT_TRUE(watcher.Subscribe([&](Event) { ++calls; }, handle, error));
        ASSERT_TRUE(watcher.Start(error));
    }
    Write(dir.Path() / "f", "x");
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(calls.load(), 0);
}
