#pragma once

#include <string>

namespace KvClient {

inline constexpr const char* kLogFileName = "kvfakeshm-core-client.log";

const std::string& GetLogFilePath();

void InitializeLog();
void TerminateLog();
[[noreturn]] void FailFatally(const std::string& message);

// Restores the steady block cursor and shows it again.
void RestoreCursor();

}  // namespace KvClient
