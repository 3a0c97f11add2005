#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <mutex>
#include <thread>
#include <vector>

#include "tests/support/TestSupport.hpp"
#include "tui/Component.hpp"
#include "tui/Screen.hpp"

using namespace KvTui;
using namespace std::chrono_literals;

namespace {

// A pseudo-terminal: the screen draws on its slave side; the test types on and drains the master side.
class PseudoTerminal {
  public:
    PseudoTerminal(int width, int height) {
        winsize size{static_cast<unsigned short>(height), static_cast<unsigned short>(width), 0, 0};
        EXPECT_EQ(openpty(&master_, &slave_, nullptr, nullptr, &size), 0);
        drainer_ = std::thread([this] {
            char buffer[4096];
            for (ssize_t n; (n = ::read(master_, buffer, sizeof buffer)) > 0;) {
                std::lock_guard lock(outputLock_);
                output_.append(buffer, static_cast<std::size_t>(n));
            }
        });
    }
    ~PseudoTerminal() {
        CloseSlave();
        drainer_.join();  // reading the master ends once no slave is open
        ::close(master_);
    }
    void CloseSlave() {
        if (slave_ >= 0) {
            ::close(slave_);
            slave_ = -1;
        }
    }
    void Type(const std::string& keys) {
        ASSERT_EQ(::write(master_, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
    }
    void Resize(int width, int height) {
        winsize size{static_cast<unsigned short>(height), static_cast<unsigned short>(width), 0, 0};
        ASSERT_EQ(ioctl(master_, TIOCSWINSZ, &size), 0);
    }
    std::string Output() {
        std::lock_guard lock(outputLock_);
        return output_;
    }
    Terminal ForScreen() const { return {slave_, slave_, "xterm-256color"}; }

  private:
    int master_ = -1;
    int slave_ = -1;
    std::thread drainer_;
    std::mutex outputLock_;
    std::string output_;
};

// Records every event on the loop's thread; `onEvent` may act on the screen.
class Recorder {
  public:
    Component Make(std::function<bool(const Event&)> onEvent = nullptr) {
        return CatchEvent(Renderer([this] {
                              ++renders;
                              return text("frame " + std::to_string(renders.load()));
                          }),
                          [this, onEvent](const Event& event) {
                              {
                                  std::lock_guard lock(eventsLock);
                                  events.push_back(event);
                              }
                              return onEvent ? onEvent(event) : false;
                          });
    }
    std::vector<Event> Events() {
        std::lock_guard lock(eventsLock);
        return events;
    }
    std::atomic<int> renders{0};
    std::mutex eventsLock;
    std::vector<Event> events;
};

}  // namespace

TEST(Screen, KeysArriveAsEventsAndAQuitKeyEndsTheLoop) {
    PseudoTerminal terminal(40, 10);
    App screen(terminal.ForScreen());
    Recorder recorder;
    const auto component = recorder.Make([&](const Event& event) {
        if (event == Event::Character('q')) {
            screen.Exit();
            return true;
        }
        return false;
    });
    // Each batch of keys follows a frame, so that a loaded machine cannot fold them into one read.
    std::thread typist([&] {
        KvTest::WaitFor([&] { return screen.FramesDrawn() >= 1; }, 10s);
        terminal.Type("\t");
        terminal.Type("\x03");
        terminal.Type("T\xC3\xA9");
        terminal.Type("\x1b");
        KvTest::WaitFor([&] { return screen.FramesDrawn() >= 2; }, 10s);
        // The escape delay tells a lone Escape from a key sequence.
        KvTest::LetTimePass(100ms);
        terminal.Type("1q");
    });
    screen.Loop(component);
    typist.join();
    const std::vector<Event> expected{
        Event::Tab,    Event::CtrlC,          Event::Character('T'), Event::Character("\xC3\xA9"),
        Event::Escape, Event::Character('1'), Event::Character('q')};
    EXPECT_EQ(recorder.Events(), expected);
    EXPECT_GE(screen.FramesDrawn(), 2u);
    EXPECT_EQ(screen.LastFrame().RowText(0).substr(0, 6), "frame ");
    // The screen was drawn on the alternate buffer.
    EXPECT_NE(terminal.Output().find("\x1b[?1049h"), std::string::npos);
}

TEST(Screen, EventsPostedFromManyThreadsAllArriveAndExitFromAnotherThreadEndsTheLoop) {
    PseudoTerminal terminal(20, 5);
    App screen(terminal.ForScreen());
    Recorder recorder;
    std::atomic<int> customs{0};
    const auto component = recorder.Make([&](const Event& event) {
        customs += event == Event::Custom ? 1 : 0;
        return false;
    });
    constexpr int kThreads = 4;
    constexpr int kEach = 500;
    std::vector<std::thread> posters;
    for (int t = 0; t < kThreads; ++t) {
        posters.emplace_back([&] {
            for (int i = 0; i < kEach; ++i) {
                screen.PostEvent(Event::Custom);
                screen.RequestAnimationFrame();
            }
        });
    }
    std::thread stopper([&] {
        for (auto& poster : posters) {
            poster.join();
        }
        KvTest::WaitFor([&] { return customs.load() == kThreads * kEach; }, 10s);
        screen.Exit();
    });
    screen.Loop(component);
    stopper.join();
    EXPECT_EQ(customs.load(), kThreads * kEach);
    // Batches of events share a frame.
    EXPECT_LT(recorder.renders.load(), kThreads * kEach);
}

TEST(Screen, AResizeLaysTheScreenOutAgainAtTheNewSize) {
    PseudoTerminal terminal(30, 6);
    App screen(terminal.ForScreen());
    Recorder recorder;
    const auto component = recorder.Make();
    std::thread driver([&] {
        KvTest::WaitFor([&] { return screen.FramesDrawn() >= 1; }, 5s);
        terminal.Resize(12, 3);
        std::raise(SIGWINCH);
        const bool resized = KvTest::WaitFor(
            [&] {
                const Grid frame = screen.LastFrame();
                return frame.Width() == 12 && frame.Height() == 3;
            },
            5s);
        EXPECT_TRUE(resized);
        screen.Exit();
    });
    screen.Loop(component);
    driver.join();
}

TEST(Screen, AStopSignalOrTheEndOfInputEndsTheLoop) {
    PseudoTerminal terminal(20, 5);
    {
        App screen(terminal.ForScreen());
        Recorder recorder;
        std::thread hangUp([&] {
            KvTest::WaitFor([&] { return screen.FramesDrawn() >= 1; }, 5s);
            std::raise(SIGHUP);
        });
        screen.Loop(recorder.Make());
        hangUp.join();
    }
    // The screen's handlers are gone with it: the default disposition is back.
    struct sigaction action {};
    sigaction(SIGHUP, nullptr, &action);
    EXPECT_EQ(action.sa_handler, SIG_DFL);

    // Input that ends without a key: a closed pipe, and /dev/null, which cannot say how much it holds.
    // A disposition set before the screen opens (here SIGHUP ignored) is back after it closes.
    std::signal(SIGHUP, SIG_IGN);
    int input[2];
    ASSERT_EQ(::pipe(input), 0);
    const int devNull = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(devNull, 0);
    ::close(input[1]);
    for (const int inputFd : {input[0], devNull}) {
        App screen(Terminal{inputFd, terminal.ForScreen().outputFd, "xterm"});
        Recorder recorder;
        std::atomic<bool> ended{false};
        std::thread watchdog([&] {
            if (!KvTest::WaitFor([&] { return ended.load(); }, 5s)) {
                ADD_FAILURE() << "the loop did not end on input " << inputFd;
                screen.Exit();
            }
        });
        screen.Loop(recorder.Make());
        ended = true;
        watchdog.join();
        EXPECT_TRUE(recorder.Events().empty());
    }
    sigaction(SIGHUP, nullptr, &action);
    EXPECT_EQ(action.sa_handler, SIG_IGN);
    std::signal(SIGHUP, SIG_DFL);
    ::close(input[0]);
    ::close(devNull);
}

// A crash while the screen is up gives the terminal back before the process ends as it would have:
// the alternate screen is left, the cursor shown and the attributes are those from before.
TEST(Screen, ACrashGivesTheTerminalBack) {
    std::vector<int> crashes{SIGABRT};
#ifndef KV_SANITIZED
    crashes.push_back(SIGSEGV);  // a sanitizer's own SIGSEGV handler takes it first
#endif
    for (const int crash : crashes) {
        PseudoTerminal terminal(20, 5);
        termios before{};
        ASSERT_EQ(tcgetattr(terminal.ForScreen().inputFd, &before), 0);
        const pid_t child = ::fork();
        if (child == 0) {
            // No thread may start after this fork (ThreadSanitizer): the crash comes from the loop's own
            // thread, on the key the test types once the screen is up.
            App screen(terminal.ForScreen());
            Recorder recorder;
            screen.Loop(recorder.Make([crash](const Event&) {
                if (crash == SIGABRT) {
                    std::abort();
                }
                std::raise(SIGSEGV);
                return true;
            }));
            ::_exit(0);
        }
        ASSERT_TRUE(
            KvTest::WaitFor([&] { return terminal.Output().find("\x1b[?1049h") != std::string::npos; }, 5s));
        terminal.Type("x");
        int status = 0;
        const bool ended = KvTest::WaitFor([&] { return ::waitpid(child, &status, WNOHANG) == child; }, 5s);
        if (!ended) {
            ::kill(child, SIGKILL);
            ::waitpid(child, &status, 0);
        }
        ASSERT_TRUE(ended) << "the child did not crash";
        ASSERT_TRUE(WIFSIGNALED(status)) << status;
        EXPECT_EQ(WTERMSIG(status), crash);
        termios after{};
        ASSERT_EQ(tcgetattr(terminal.ForScreen().inputFd, &after), 0);
        const tcflag_t modes = ICANON | ECHO | ISIG;
        EXPECT_EQ(after.c_lflag & modes, before.c_lflag & modes);
        EXPECT_TRUE(KvTest::WaitFor(
            [&] {
                const std::string out = terminal.Output();
                const auto entered = out.find("\x1b[?1049h");
                return entered != std::string::npos &&
                       out.find("\x1b[?1049l", entered) != std::string::npos &&
                       out.find("\x1b[?25h", entered) != std::string::npos;
            },
            5s))
            << terminal.Output();
    }
}

TEST(Screen, OneScreenAtATimeAndAnUnknownTerminalIsAnError) {
    PseudoTerminal terminal(20, 5);
    EXPECT_THROW(
        App(Terminal{terminal.ForScreen().inputFd, terminal.ForScreen().outputFd, "no-such-terminal"}),
        TerminalError);
    App screen(terminal.ForScreen());
    EXPECT_THROW(App{terminal.ForScreen()}, TerminalError);
}
