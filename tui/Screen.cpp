#define NCURSES_WIDECHAR 1
#include "tui/Screen.hpp"

#include <fcntl.h>
#include <langinfo.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <iterator>
#include <string>

#include <ncursesw/curses.h>

namespace KvTui {

namespace {

// Signal handlers reach the loop through its wake pipe; only one screen exists at a time.
std::atomic<int> gWakeFd{-1};
std::atomic<bool> gScreenOpen{false};
struct sigaction gCursesWinch {};

constexpr char kWakeEvent = 'e';
constexpr char kWakeResize = 'r';
constexpr char kWakeStop = 's';
constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

void WriteWake(char reason) {
    const int fd = gWakeFd.load();
    if (fd >= 0) {
        [[maybe_unused]] const auto written = ::write(fd, &reason, 1);  // a full pipe wakes the loop anyway
    }
}

void OnStopSignal(int /*signal*/) {
    const int saved = errno;
    WriteWake(kWakeStop);
    errno = saved;
}

// ncurses learns the new size from its own handler; ours then wakes the loop, whichever thread got it.
void OnResizeSignal(int signal) {
    const int saved = errno;
    if (gCursesWinch.sa_handler != SIG_DFL && gCursesWinch.sa_handler != SIG_IGN &&
        gCursesWinch.sa_handler != nullptr) {
        gCursesWinch.sa_handler(signal);
    }
    WriteWake(kWakeResize);
    errno = saved;
}

// What a crash needs to give the terminal back, prepared while the screen opens: the handler may only
// make async-signal-safe calls.
struct CrashRestore {
    std::atomic<bool> armed{false};
    int inputFd = -1;
    int outputFd = -1;
    bool haveAttributes = false;
    termios attributes{};
    char sequence[256]{};
    std::size_t length = 0;
};
CrashRestore gCrash;
constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};
struct sigaction gFatalBefore[std::size(kFatalSignals)]{};

// The disposition from before the screen (the log's handler, or the default) then ends the process as
// it would have: the signal is blocked while this runs and arrives again once it returns.
void OnFatalSignal(int signal) {
    RestoreTerminalAfterCrash();
    for (std::size_t i = 0; i < std::size(kFatalSignals); ++i) {
        if (kFatalSignals[i] == signal) {
            sigaction(signal, &gFatalBefore[i], nullptr);
        }
    }
    raise(signal);
}

// The terminal's own strings for leaving the alternate screen, keypad mode and attributes and showing the
// cursor; xterm's where it has none.
void PrepareCrashRestore(int inputFd, int outputFd, const termios* attributes) {
    std::string sequence;
    const std::pair<const char*, const char*> capabilities[] = {
        {"sgr0", "\x1b[0m"}, {"rmkx", "\x1b[?1l\x1b>"}, {"cnorm", "\x1b[?25h"}, {"rmcup", "\x1b[?1049l"}};
    for (const auto& [name, fallback] : capabilities) {
        const char* value = tigetstr(name);
        sequence += value != nullptr && value != reinterpret_cast<char*>(-1) ? value : fallback;
    }
    gCrash.length = std::min(sequence.size(), sizeof gCrash.sequence);
    std::memcpy(gCrash.sequence, sequence.data(), gCrash.length);
    gCrash.inputFd = inputFd;
    gCrash.outputFd = outputFd;
    gCrash.haveAttributes = attributes != nullptr;
    if (attributes != nullptr) {
        gCrash.attributes = *attributes;
    }
    gCrash.armed.store(true);
}

void Install(int signal, void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(signal, &action, nullptr);
}

std::string Utf8Of(wchar_t wide) {
    auto c = static_cast<std::uint32_t>(wide);
    std::string out;
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
    return out;
}

Event Translate(int kind, wint_t key) {
    if (kind == KEY_CODE_YES) {
        const char* name = keyname(static_cast<int>(key));
        return Event::Special(name != nullptr ? name : "unknown");
    }
    switch (key) {
        case 27:
            return Event::Escape;
        case 3:
            return Event::CtrlC;
        case '\t':
            return Event::Tab;
        default:
            break;
    }
    if (key < 0x20 || key == 0x7F) {
        const char* name = keyname(static_cast<int>(key));
        return Event::Special(name != nullptr ? name : "control");
    }
    return Event::Character(Utf8Of(static_cast<wchar_t>(key)));
}

bool IsUtf8Locale() {
    const char* codeset = nl_langinfo(CODESET);
    return codeset != nullptr && (std::strcmp(codeset, "UTF-8") == 0 || std::strcmp(codeset, "utf8") == 0);
}

}  // namespace

void RestoreTerminalAfterCrash() {
    if (!gCrash.armed.exchange(false)) {
        return;
    }
    [[maybe_unused]] const auto written = ::write(gCrash.outputFd, gCrash.sequence, gCrash.length);
    if (gCrash.haveAttributes) {
        tcsetattr(gCrash.inputFd, TCSANOW, &gCrash.attributes);
    }
}

void UseUtf8Locale() {
    std::setlocale(LC_CTYPE, "");
    if (!IsUtf8Locale()) {
        std::setlocale(LC_CTYPE, "C.UTF-8");
    }
}

struct App::Curses {
    SCREEN* screen = nullptr;
    FILE* input = nullptr;
    FILE* output = nullptr;
    struct sigaction before[4]{};  // SIGINT, SIGTERM, SIGHUP, SIGWINCH as they were
};

std::unique_ptr<App> App::FullscreenAlternateScreen(const Terminal& terminal) {
    return std::make_unique<App>(terminal);
}

App::App(const Terminal& terminal) : curses_(std::make_unique<Curses>()), inputFd_(terminal.inputFd) {
    if (gScreenOpen.exchange(true)) {
        throw TerminalError("Another screen is already open");
    }
    if (!IsUtf8Locale()) {
        UseUtf8Locale();
    }
    int pipeFds[2];
    if (::pipe2(pipeFds, O_NONBLOCK | O_CLOEXEC) != 0) {
        gScreenOpen = false;
        throw TerminalError(std::string("Cannot create the screen's wake pipe: ") + std::strerror(errno));
    }
    wakeRead_ = pipeFds[0];
    wakeWrite_ = pipeFds[1];

    for (int i = 0; i < 3; ++i) {
        sigaction(kStopSignals[i], nullptr, &curses_->before[i]);
    }
    sigaction(SIGWINCH, nullptr, &curses_->before[3]);

    termios shellAttributes{};
    const bool haveAttributes = tcgetattr(terminal.inputFd, &shellAttributes) == 0;
    curses_->input = ::fdopen(::dup(terminal.inputFd), "r");
    curses_->output = ::fdopen(::dup(terminal.outputFd), "w");
    const char* type = terminal.type.empty() ? nullptr : terminal.type.c_str();
    if (curses_->input != nullptr && curses_->output != nullptr) {
        curses_->screen = newterm(type, curses_->output, curses_->input);
    }
    if (curses_->screen == nullptr) {
        const char* term = type != nullptr ? type : std::getenv("TERM");
        Close();
        throw TerminalError(std::string("Cannot open the terminal '") + (term != nullptr ? term : "") + "'");
    }
    raw();  // Ctrl-C arrives as a key, not as a signal
    noecho();
    nonl();
    keypad(stdscr, TRUE);
    nodelay(stdscr, TRUE);
    set_escdelay(25);
    curs_set(0);

    sigaction(SIGWINCH, nullptr, &gCursesWinch);
    gWakeFd = wakeWrite_;
    for (const int signal : kStopSignals) {
        Install(signal, OnStopSignal);
    }
    Install(SIGWINCH, OnResizeSignal);

    PrepareCrashRestore(terminal.inputFd, ::fileno(curses_->output),
                        haveAttributes ? &shellAttributes : nullptr);
    for (std::size_t i = 0; i < std::size(kFatalSignals); ++i) {
        struct sigaction action {};
        action.sa_handler = OnFatalSignal;
        sigemptyset(&action.sa_mask);
        sigaction(kFatalSignals[i], &action, &gFatalBefore[i]);
    }
}

App::~App() {
    Close();
}

void App::Close() {
    if (curses_->screen != nullptr) {
        // Handlers first: none of ours, nor ncurses's, may run on a screen that is going away.
        gCrash.armed.store(false);
        for (std::size_t i = 0; i < std::size(kFatalSignals); ++i) {
            sigaction(kFatalSignals[i], &gFatalBefore[i], nullptr);
        }
        for (int i = 0; i < 3; ++i) {
            sigaction(kStopSignals[i], &curses_->before[i], nullptr);
        }
        sigaction(SIGWINCH, &curses_->before[3], nullptr);
        gWakeFd = -1;
        endwin();
        delscreen(curses_->screen);
        curses_->screen = nullptr;
    }
    gWakeFd = -1;
    for (FILE*& file : {std::ref(curses_->input), std::ref(curses_->output)}) {
        if (file != nullptr) {
            std::fclose(file);
            file = nullptr;
        }
    }
    for (int* fd : {&wakeRead_, &wakeWrite_}) {
        if (*fd >= 0) {
            ::close(*fd);
            *fd = -1;
        }
    }
    gScreenOpen = false;
}

void App::Wake(char reason) const {
    [[maybe_unused]] const auto written = ::write(wakeWrite_, &reason, 1);
}

void App::PostEvent(Event event) {
    {
        std::lock_guard lock(queueLock_);
        posted_.push_back(std::move(event));
    }
    Wake(kWakeEvent);
}

void App::RequestAnimationFrame() {
    animationRequested_ = true;
    Wake(kWakeEvent);
}

void App::Exit() {
    exitRequested_ = true;
    Wake(kWakeEvent);
}

Grid App::LastFrame() const {
    std::lock_guard lock(frameLock_);
    return lastFrame_;
}

void App::Dispatch(const Component& component, const Event& event) {
    if (!exitRequested_) {
        component->OnEvent(event);
    }
}

// Returns false when the input has ended (end of file or hang-up) without giving a key.
bool App::ReadKeys(const Component& component, bool& resized) {
    wint_t key = 0;
    int kind = 0;
    bool any = false;
    while ((kind = wget_wch(stdscr, &key)) != ERR) {
        any = true;
        if (kind == KEY_CODE_YES && key == KEY_RESIZE) {
            resized = true;
            continue;
        }
        Dispatch(component, Translate(kind, key));
    }
    return any;
}

void App::Draw(const Component& component) {
    int height = 0;
    int width = 0;
    getmaxyx(stdscr, height, width);
    Grid grid(width, height);
    Render(grid, component->Render());

    // One addstr per run of cells that share the weight; a wide character moves the cursor two cells.
    // Rows the last frame painted alike are left to ncurses as they are: at 60 frames a second, handing
    // it every cell again was most of the dashboard's own CPU time. Only this thread writes lastFrame_.
    for (int y = 0; y < grid.Height(); ++y) {
        if (grid.SameRow(lastFrame_, y)) {
            continue;
        }
        int runStart = 0;
        std::string run;
        bool runBold = false;
        auto flush = [&] {
            if (!run.empty()) {
                attrset(runBold ? A_BOLD : A_NORMAL);
                mvaddstr(y, runStart, run.c_str());  // the bottom-right cell reports ERR yet is drawn
                run.clear();
            }
        };
        for (int x = 0; x < grid.Width(); ++x) {
            const Cell& cell = grid.At(x, y);
            if (cell.tail) {
                continue;
            }
            if (run.empty() || cell.bold != runBold) {
                flush();
                runStart = x;
                runBold = cell.bold;
            }
            run += cell.glyph;
        }
        flush();
    }
    attrset(A_NORMAL);
    refresh();
    {
        std::lock_guard lock(frameLock_);
        lastFrame_ = std::move(grid);
    }
    ++framesDrawn_;
}

void App::Loop(const Component& component) {
    Draw(component);
    bool inputOpen = true;
    while (!exitRequested_) {
        pollfd fds[2] = {{wakeRead_, POLLIN, 0}, {inputFd_, POLLIN, 0}};
        if (::poll(fds, inputOpen ? 2 : 1, -1) < 0 && errno != EINTR) {
            break;
        }
        bool stop = false;
        bool redraw = false;
        char reasons[256];
        for (ssize_t n; (n = ::read(wakeRead_, reasons, sizeof reasons)) > 0;) {
            stop = stop || std::memchr(reasons, kWakeStop, static_cast<std::size_t>(n)) != nullptr;
        }
        // Keys are read on every wake: a resize signal caught by another thread shows up here too.
        bool resized = false;
        const bool gotKeys = ReadKeys(component, resized);
        redraw = gotKeys;
        if (inputOpen && !gotKeys) {
            int pending = 0;
            const bool hungUp = (fds[1].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
            // Readable yet nothing read: the end of a pipe or file, or a device such as /dev/null that
            // cannot say how much it holds (the loop would spin on it otherwise).
            const bool atEnd = (fds[1].revents & POLLIN) != 0 &&
                               (::ioctl(inputFd_, FIONREAD, &pending) != 0 || pending == 0);
            if (hungUp || atEnd) {
                inputOpen = false;
                stop = true;  // nobody is left to press a key
            }
        }
        std::deque<Event> events;
        {
            std::lock_guard lock(queueLock_);
            events.swap(posted_);
        }
        for (const auto& event : events) {
            Dispatch(component, event);
        }
        redraw = redraw || resized || !events.empty() || animationRequested_.exchange(false);
        if (stop || exitRequested_) {
            break;
        }
        if (redraw) {
            Draw(component);
        }
    }
    exitRequested_ = false;
}

}  // namespace KvTui
