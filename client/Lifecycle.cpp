#include "client/Lifecycle.hpp"

#include <cstdio>
#include <cstdlib>

#include "client/ClientState.hpp"
#include "kvcommon/ConfigFolder.hpp"
#include "kvlog/KvLogImpl.hpp"
#include "kvlog/Logging.hpp"

namespace KvClient {

ClientState& GetClientState() {
    static ClientState state;
    return state;
}

const std::string& GetTestBlockName() {
    static const std::string name = "TestBlock";
    return name;
}

const std::string& GetTestAddressName() {
    static const std::string name = "TestAddress";
    return name;
}

const std::string& GetLogFilePath() {
    static const std::string path = KvCommon::ConfigFilePath(kLogFileName);
    return path;
}

void InitializeLog() {
    const std::string& path = GetLogFilePath();
    const bool fileOpened = KvLog::AddFile(path, KvLog::FileMode::Append, KvLog::kMaxVerbosity);
    KVLOG(KvLog::kInfo, "Attempting KvLog initialization...");
    KVLOG(KvLog::kInfo, " - Log file: {}", path);
    KVLOG(KvLog::kInfo, " - Loging to file succeeded: {}", fileOpened);

    auto& log = KvLogImpl::Log::GetInstance();
    if (log.IsInitialized()) {
        KVLOG(KvLog::kError, "KvLog has already been initialized!");
        return;
    }
    if (std::string error; !log.Initialize(error)) {
        FailFatally(fmt::format("KvLog initialization has failed: {}", error));
    }
    KVLOG(KvLog::kInfo, "KvLog initialization has succeeded!");
}

void TerminateLog() {
    KVLOG(KvLog::kInfo, "Attempting KvLog termination...");
    auto& log = KvLogImpl::Log::GetInstance();
    if (!log.IsInitialized()) {
        KVLOG(KvLog::kError, "KvLog has not been initialized yet!");
        return;
    }
    if (std::string error; !log.Terminate(error)) {
        FailFatally(fmt::format("KvLog termination has failed: {}", error));
    }
    KVLOG(KvLog::kInfo, "KvLog termination has succeeded!");
}

void FailFatally(const std::string& message) {
    if (KvLog::CurrentVerbosityCutoff() >= KvLog::kFatal) {
        KVLOG(KvLog::kFatal, "{}", message);
    }
    std::exit(1);
}

void RestoreCursor() {
    std::fputs("\x1b[2 q", stdout);
    std::fputs("\x1b[?25h", stdout);
    std::fflush(stdout);
}

}  // namespace KvClient
