#include <iostream>
#include <thread>

#include "client/ClientState.hpp"
#include "client/FakeShmUse.hpp"
#include "client/Lifecycle.hpp"
#include "kvlog/Logging.hpp"

namespace {

// Stands in for the dashboard until it exists: returns on q or Q, or when standard input closes.
void RunUntilQuit() {
    char c = 0;
    while (KvClient::GetClientState().running.load() && std::cin.get(c)) {
        if (c == 'q' || c == 'Q') {
            break;
        }
    }
}

}  // namespace

int main() {
    KvClient::InitializeLog();
    KvClient::InitializeFakeSharedMem();
    auto& state = KvClient::GetClientState();
    state.running.store(true);
    std::thread legacySharedMemReadThread(KvClient::LegacySharedMemRead);

    // No console lines while the screen belongs to the dashboard; the file keeps its own verbosity.
    const int consoleVerbosity = KvLog::GetConsoleVerbosity();
    KvLog::SetConsoleVerbosity(KvLog::kOff);
    RunUntilQuit();
    KvLog::SetConsoleVerbosity(consoleVerbosity);

    state.running.store(false);
    if (legacySharedMemReadThread.joinable()) {
        KVLOG(KvLog::kInfo, "Joining legacySharedMemReadThread...");
        legacySharedMemReadThread.join();
    }
    KvClient::TerminateFakeSharedMem();
    KvClient::TerminateLog();
    KvClient::RestoreCursor();
    return 0;
}
