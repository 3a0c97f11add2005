#pragma once

// The process-wide logging layer: one entry point with a verbosity, per-output verbosities, thread names,
// a periodic flush and FATAL handling, over spdlog.

#include <fmt/format.h>

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

namespace KvLog {

inline constexpr int kOff = -9;
inline constexpr int kFatal = -3;
inline constexpr int kError = -2;
inline constexpr int kWarning = -1;
inline constexpr int kInfo = 0;
inline constexpr int kMaxVerbosity = 9;

enum class FileMode { Append, Truncate };

// A log file is rotated at this size; the older ones are kept as <name>.1<ext> ... <name>.3<ext>.
inline constexpr std::size_t kLogFileMaxBytes = 4 * 1024 * 1024;
inline constexpr std::size_t kLogFilesKept = 3;

struct Options {
    const char* verbosityFlag = "-v";
    const char* mainThreadName = "main thread";
    bool unsafeSignalHandler = true;
    bool sigabrt = true;
    bool sigbus = true;
    bool sigfpe = true;
    bool sigill = true;
    bool sigint = true;
    bool sigsegv = true;
    bool sigterm = true;
};

// Parses and removes the verbosity flag from the arguments, names the calling thread and installs the
// signal handlers that the options ask for.
void Init(int& argc, char* argv[], const Options& options = {});

// Adds a log file that receives every line up to the verbosity. False (with an error line of its own)
// when the file or its folder cannot be opened; the folder is never created.
bool AddFile(const std::string& path, FileMode mode, int verbosity);

int GetConsoleVerbosity();
void SetConsoleVerbosity(int verbosity);

// The highest verbosity that any output accepts.
int CurrentVerbosityCutoff();

// Parses "3", "INFO", "WARNING", "ERROR", "FATAL", "OFF"; false when the text is none of those.
bool ParseVerbosity(std::string_view text, int& verbosity);

// At most 16 characters are kept.
void SetThreadName(std::string_view name);
std::string GetThreadName();

// Zero flushes after every line (the state until an interval is set). Each flush also writes the
// summaries of repeated lines whose flood has ended; FlushAll writes every pending summary.
void SetFlushInterval(std::chrono::milliseconds interval);
void FlushAll();

// Runs before a FATAL line aborts the process and before a handled signal ends it, for whatever must be
// undone first (the terminal's mode). It must be async-signal-safe.
void SetFatalHook(void (*hook)());

void Write(int verbosity, const char* file, int line, fmt::string_view format, fmt::format_args args);

template <typename... Args>
void Log(int verbosity, const char* file, int line, fmt::format_string<Args...> format, Args&&... args) {
    Write(verbosity, file, line, format, fmt::make_format_args(args...));
}

}  // namespace KvLog

// A FATAL line flushes every output and aborts, unless every output filters FATAL out.
#define KVLOG(verbosity, ...)                                           \
    do {                                                                \
        if ((verbosity) <= ::KvLog::CurrentVerbosityCutoff()) {         \
            ::KvLog::Log((verbosity), __FILE__, __LINE__, __VA_ARGS__); \
        }                                                               \
    } while (0)
