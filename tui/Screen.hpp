#pragma once

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>

#include "tui/Component.hpp"
#include "tui/Grid.hpp"

namespace KvTui {

// Where the screen draws and reads keys; the process's own terminal unless a test gives a pseudo-terminal.
struct Terminal {
    int inputFd = 0;
    int outputFd = 1;
    std::string type;  // empty: $TERM
};

class TerminalError : public std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Makes the process's character type UTF-8 so that wide symbols reach the terminal whole. Call it before
// any other thread starts: the locale is process-wide.
void UseUtf8Locale();

// Gives the terminal back from a crash while a screen is open: leaves the alternate screen, shows the
// cursor and restores the attributes the terminal had before the screen opened. Async-signal-safe, and
// does nothing when no screen is open or it has already run. The screen calls it from its handlers of
// SIGSEGV, SIGBUS, SIGFPE, SIGILL and SIGABRT; a FATAL log line, which aborts, calls it through the log's
// fatal hook.
void RestoreTerminalAfterCrash();

// The interactive full-screen terminal, on the alternate screen buffer from construction to destruction.
// Only this class touches ncurses, and only from the thread that runs Loop. One screen at a time.
class App : public ScreenControl {
  public:
    static std::unique_ptr<App> FullscreenAlternateScreen(const Terminal& terminal = {});

    // Throws TerminalError when the terminal cannot be opened.
    explicit App(const Terminal& terminal);
    ~App() override;
    App(const App&) = delete;
    App& operator=(const App&) = delete;

    // Draws the component and hands it every event until Exit is asked, the terminal's input ends or the
    // process is told to stop (SIGINT, SIGTERM, SIGHUP). Redraws after each batch of events and on
    // animation-frame requests; a resize lays the screen out again at the new size.
    void Loop(const Component& component);

    void PostEvent(Event event) override;
    void RequestAnimationFrame() override;
    void Exit() override;

    // The last frame drawn, as the grid that was painted.
    Grid LastFrame() const;
    std::uint64_t FramesDrawn() const { return framesDrawn_.load(); }

  private:
    struct Curses;

    void Close();
    void Wake(char reason) const;
    bool ReadKeys(const Component& component, bool& resized);
    void Dispatch(const Component& component, const Event& event);
    void Draw(const Component& component);

    std::unique_ptr<Curses> curses_;
    int wakeRead_ = -1;
    int wakeWrite_ = -1;
    int inputFd_;

    mutable std::mutex queueLock_;
    std::deque<Event> posted_;
    std::atomic<bool> exitRequested_{false};
    std::atomic<bool> animationRequested_{false};

    mutable std::mutex frameLock_;
    Grid lastFrame_{0, 0};
    std::atomic<std::uint64_t> framesDrawn_{0};
};

}  // namespace KvTui
