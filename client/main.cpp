#include <thread>

#include "client/ClientState.hpp"
#include "client/FakeShmUse.hpp"
#include "client/Lifecycle.hpp"
#include "client/Tui.hpp"
#include "kvlog/Logging.hpp"
#include "tui/Screen.hpp"

int main() {
    // Before any thread starts: the locale is process-wide.
    KvTui::UseUtf8Locale();
    KvClient::InitializeLog();
    // A FATAL line or a crash while the dashboard is up must not leave the terminal raw and hidden.
    KvLog::SetFatalHook(&KvTui::RestoreTerminalAfterCrash);
    KvClient::InitializeFakeSharedMem();
    auto& state = KvClient::GetClientState();
    state.running.store(true);
    std::thread legacySharedMemReadThread(KvClient::LegacySharedMemRead);

    // No console lines while the screen belongs to the dashboard; the file keeps its own verbosity.
    const int consoleVerbosity = KvLog::GetConsoleVerbosity();
    KvLog::SetConsoleVerbosity(KvLog::kOff);
    int status = 0;
    try {
        KvClient::RunTui();
    } catch (const std::exception& e) {
        KvLog::SetConsoleVerbosity(consoleVerbosity);
        KVLOG(KvLog::kError, "The dashboard cannot run: {}", e.what());
        status = 1;
    }
    KvLog::SetConsoleVerbosity(consoleVerbosity);

    state.running.store(false);
    if (legacySharedMemReadThread.joinable()) {
        KVLOG(KvLog::kInfo, "Joining legacySharedMemReadThread...");
        legacySharedMemReadThread.join();
    }
    KvClient::TerminateFakeSharedMem();
    KvClient::TerminateLog();
    KvClient::RestoreCursor();
    return status;
}
