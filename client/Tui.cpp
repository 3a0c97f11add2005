#include "client/Tui.hpp"

#include <chrono>
#include <thread>

#include "client/Dashboard.hpp"
#include "client/DashboardSource.hpp"
#include "kvlog/Logging.hpp"
#include "tui/Screen.hpp"

namespace KvClient {

using KvTui::Event;

bool HandleKey(const Event& event, KvTui::ScreenControl& screen, ClientState& state) {
    if (event == Event::Escape || event == Event::CtrlC || event == Event::Character('q') ||
        event == Event::Character('Q')) {
        state.running = false;
        screen.Exit();
        return true;
    }
    if (event == Event::Tab) {
        state.selectedTab = state.selectedTab == 0 ? 1 : 0;
        return true;
    }
    if (event == Event::Character('b') || event == Event::Character('B')) {
        state.selectedTab = 0;
        return true;
    }
    if (event == Event::Character('t') || event == Event::Character('T')) {
        state.selectedTab = 1;
        return true;
    }
    return false;
}

void TuiRefresher(KvTui::ScreenControl& screen, const ClientState& state) {
    KvLog::SetThreadName("TuiRefresher");
    if (!state.running) {
        return;
    }
    constexpr std::chrono::nanoseconds kPeriod{16'666'000};
    std::chrono::steady_clock::time_point deadline{};
    for (bool first = true;; first = false) {
        screen.PostEvent(Event::Custom);
        screen.RequestAnimationFrame();
        if (first) {
            deadline = std::chrono::steady_clock::now();
        }
        // One period per pass whatever posting cost, so the rate does not drift; a late pass catches up.
        deadline += kPeriod;
        std::this_thread::sleep_until(deadline);
        if (!state.running) {
            return;
        }
    }
}

namespace {

// Steps 6 and 7 of the dashboard's end, also when the loop leaves by an exception.
class RefresherThread {
  public:
    RefresherThread(KvTui::ScreenControl& screen, ClientState& state)
        : state_(state), thread_(TuiRefresher, std::ref(screen), std::cref(state)) {}
    ~RefresherThread() {
        state_.running = false;
        if (thread_.joinable()) {
            KVLOG(KvLog::kInfo, "Joining TUI refresher thread...");
            thread_.join();
        }
    }
    RefresherThread(const RefresherThread&) = delete;
    RefresherThread& operator=(const RefresherThread&) = delete;

  private:
    ClientState& state_;
    std::thread thread_;
};

}  // namespace

void RunTui() {
    std::string errorText;
    auto& state = GetClientState();
    auto screen = KvTui::App::FullscreenAlternateScreen();
    LiveDashboardSource source(KvFakeShm::FakeSharedMem::GetInstance());
    auto component =
        KvTui::CatchEvent(KvTui::Renderer([&] { return RenderDashboard(source, state, errorText); }),
                          [&](const Event& event) { return HandleKey(event, *screen, state); });
    {
        RefresherThread refresher(*screen, state);
        screen->Loop(component);
    }
    component.reset();
    screen.reset();
}

}  // namespace KvClient
