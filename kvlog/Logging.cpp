#include "kvlog/Logging.hpp"

#include "kvlog/RepeatLimiter.hpp"

#include <pthread.h>
#include <spdlog/details/log_msg.h>
#include <spdlog/logger.h>
#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/sinks/dist_sink.h>
#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/spdlog.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <stdexcept>
#include <stop_token>
#include <thread>
#include <vector>

namespace KvLog {
namespace {

constexpr std::size_t kThreadNameWidth = 16;

thread_local std::string tlsThreadName;
thread_local int tlsVerbosity = kInfo;
// Non-zero while this thread holds one of the layer's locks: a signal handled on it must not log.
constinit thread_local int tlsInsideLog = 0;

struct InsideLog {
    InsideLog() { ++tlsInsideLog; }
    ~InsideLog() { --tlsInsideLog; }
    InsideLog(const InsideLog&) = delete;
    InsideLog& operator=(const InsideLog&) = delete;
};

std::atomic<int> nextThreadNumber{1};

const std::string& ThreadName() {
    if (tlsThreadName.empty()) {
        tlsThreadName = fmt::format("thread-{}", nextThreadNumber.fetch_add(1));
    }
    return tlsThreadName;
}

std::string_view VerbosityName(int verbosity) {
    switch (verbosity) {
        case kFatal:
            return "FATL";
        case kError:
            return "ERR";
        case kWarning:
            return "WARN";
        case kInfo:
            return "INFO";
        default:
            return {};
    }
}

spdlog::level::level_enum ToSpdlogLevel(int verbosity) {
    if (verbosity <= kFatal)
        return spdlog::level::critical;
    if (verbosity == kError)
        return spdlog::level::err;
    if (verbosity == kWarning)
        return spdlog::level::warn;
    if (verbosity == kInfo)
        return spdlog::level::info;
    return spdlog::level::debug;
}

// Preamble columns, fixed width so that a log reads as a table.
class UptimeFlag : public spdlog::custom_flag_formatter {
  public:
    explicit UptimeFlag(std::chrono::steady_clock::time_point start) : start_(start) {}
    void format(const spdlog::details::log_msg&, const std::tm&, spdlog::memory_buf_t& dest) override {
        const std::chrono::duration<double> up = std::chrono::steady_clock::now() - start_;
        fmt::format_to(std::back_inserter(dest), "{:8.3f}s", up.count());
    }
    std::unique_ptr<custom_flag_formatter> clone() const override {
        return std::make_unique<UptimeFlag>(start_);
    }

  private:
    std::chrono::steady_clock::time_point start_;
};

class ThreadNameFlag : public spdlog::custom_flag_formatter {
  public:
    void format(const spdlog::details::log_msg&, const std::tm&, spdlog::memory_buf_t& dest) override {
        fmt::format_to(std::back_inserter(dest), "{:<16}", ThreadName());
    }
    std::unique_ptr<custom_flag_formatter> clone() const override {
        return std::make_unique<ThreadNameFlag>();
    }
};

class WhereFlag : public spdlog::custom_flag_formatter {
  public:
    void format(const spdlog::details::log_msg& msg, const std::tm&, spdlog::memory_buf_t& dest) override {
        std::string_view file = msg.source.filename != nullptr ? msg.source.filename : "";
        if (const auto slash = file.find_last_of("/\\"); slash != std::string_view::npos) {
            file.remove_prefix(slash + 1);
        }
        fmt::format_to(std::back_inserter(dest), "{:>23}:{:<5}", file, msg.source.line);
    }
    std::unique_ptr<custom_flag_formatter> clone() const override { return std::make_unique<WhereFlag>(); }
};

class VerbosityFlag : public spdlog::custom_flag_formatter {
  public:
    void format(const spdlog::details::log_msg&, const std::tm&, spdlog::memory_buf_t& dest) override {
        if (const auto name = VerbosityName(tlsVerbosity); !name.empty()) {
            fmt::format_to(std::back_inserter(dest), "{:>4}", name);
        } else {
            fmt::format_to(std::back_inserter(dest), "{:>4}", tlsVerbosity);
        }
    }
    std::unique_ptr<custom_flag_formatter> clone() const override {
        return std::make_unique<VerbosityFlag>();
    }
};

// One output with its own verbosity; the verbosity of the line being written travels in a thread-local
// because spdlog's levels are coarser than ours.
class FilterSink : public spdlog::sinks::sink {
  public:
    FilterSink(std::shared_ptr<spdlog::sinks::sink> inner, int verbosity)
        : inner_(std::move(inner)), verbosity_(verbosity) {}
    void log(const spdlog::details::log_msg& msg) override {
        if (tlsVerbosity <= verbosity_.load(std::memory_order_relaxed)) {
            inner_->log(msg);
        }
    }
    void flush() override { inner_->flush(); }
    void set_pattern(const std::string& pattern) override { inner_->set_pattern(pattern); }
    void set_formatter(std::unique_ptr<spdlog::formatter> formatter) override {
        inner_->set_formatter(std::move(formatter));
    }
    int Verbosity() const { return verbosity_.load(std::memory_order_relaxed); }
    void SetVerbosity(int verbosity) { verbosity_.store(verbosity, std::memory_order_relaxed); }

  private:
    std::shared_ptr<spdlog::sinks::sink> inner_;
    std::atomic<int> verbosity_;
};

class Registry;
Registry& GetRegistry();

class Registry {
  public:
    Registry()
        : start_(std::chrono::steady_clock::now()),
          outputs_(std::make_shared<spdlog::sinks::dist_sink_mt>()),
          console_(std::make_shared<FilterSink>(std::make_shared<spdlog::sinks::stderr_sink_mt>(), kInfo)),
          logger_(std::make_shared<spdlog::logger>("kvlog", outputs_)) {
        AddOutput(console_);
        logger_->set_level(spdlog::level::trace);
        logger_->flush_on(spdlog::level::trace);
        RecomputeCutoff();
    }

    void AddOutput(const std::shared_ptr<FilterSink>& output) {
        output->set_formatter(MakeFormatter());
        std::lock_guard lock(mutex_);
        filters_.push_back(output);
        outputs_->add_sink(output);
        RecomputeCutoffLocked();
    }

    FilterSink& Console() { return *console_; }
    void RecomputeCutoff() {
        std::lock_guard lock(mutex_);
        RecomputeCutoffLocked();
    }
    int Cutoff() const { return cutoff_.load(std::memory_order_relaxed); }

    void Write(int verbosity, const spdlog::source_loc& where, std::string_view text) {
        const InsideLog inside;
        tlsVerbosity = verbosity;
        logger_->log(where, ToSpdlogLevel(verbosity), spdlog::string_view_t(text.data(), text.size()));
    }
    // Every output gets the same lines: a flood from one site is cut down before the outputs see it.
    // FATAL lines always pass.
    void WriteLimited(int verbosity, const spdlog::source_loc& where, std::string_view text) {
        const InsideLog inside;
        std::vector<RepeatLimiter::Summary> due;
        bool admitted = true;
        {
            std::lock_guard lock(limiterMutex_);
            admitted =
                limiter_.Admit(where.filename, where.line, verbosity, text, RepeatLimiter::Clock::now(), due);
        }
        WriteSummaries(due);
        if (admitted || verbosity <= kFatal) {
            Write(verbosity, where, text);
        }
    }
    // Summaries of floods that have ended (all pending ones when `all`), then every output's buffer.
    void Flush(bool all = false) {
        const InsideLog inside;
        std::vector<RepeatLimiter::Summary> due;
        {
            std::lock_guard lock(limiterMutex_);
            limiter_.Sweep(RepeatLimiter::Clock::now(), all, due);
        }
        WriteSummaries(due);
        logger_->flush();
    }

    // spdlog's own periodic flush counts whole seconds, so the interval runs on a thread of ours.
    void SetFlushInterval(std::chrono::milliseconds interval) {
        StopFlusher();
        if (interval.count() <= 0) {
            logger_->flush_on(spdlog::level::trace);
            return;
        }
        logger_->flush_on(spdlog::level::off);
        std::lock_guard lock(flusherMutex_);
        flusher_ = std::jthread([this, interval](std::stop_token stop) {
            SetThreadName("log flusher");
            std::unique_lock wait(flusherMutex_);
            while (!flusherWake_.wait_for(wait, stop, interval, [] { return false; })) {
                if (stop.stop_requested()) {
                    break;
                }
                Flush();
            }
        });
        static const bool atExitRegistered = [] {
            std::atexit([] {
                GetRegistry().StopFlusher();
                GetRegistry().Flush(true);
            });
            return true;
        }();
        (void)atExitRegistered;
    }

    void StopFlusher() {
        std::jthread stopping;
        {
            std::lock_guard lock(flusherMutex_);
            stopping = std::move(flusher_);
        }
        if (stopping.joinable()) {
            stopping.request_stop();
            stopping.join();
        }
    }

  private:
    void WriteSummaries(const std::vector<RepeatLimiter::Summary>& due) {
        for (const auto& summary : due) {
            Write(summary.verbosity, spdlog::source_loc{summary.file, summary.line, ""}, summary.text);
        }
    }
    std::unique_ptr<spdlog::formatter> MakeFormatter() const {
        auto formatter = std::make_unique<spdlog::pattern_formatter>();
        formatter->add_flag<UptimeFlag>('U', start_);
        formatter->add_flag<ThreadNameFlag>('N');
        formatter->add_flag<WhereFlag>('W');
        formatter->add_flag<VerbosityFlag>('V');
        formatter->set_pattern("%Y-%m-%d %H:%M:%S.%e (%U) [%N] %W %V| %v");
        return formatter;
    }
    void RecomputeCutoffLocked() {
        int cutoff = kOff;
        for (const auto& output : filters_) {
            cutoff = std::max(cutoff, output->Verbosity());
        }
        cutoff_.store(cutoff, std::memory_order_relaxed);
    }

    std::chrono::steady_clock::time_point start_;
    std::shared_ptr<spdlog::sinks::dist_sink_mt> outputs_;
    std::shared_ptr<FilterSink> console_;
    std::shared_ptr<spdlog::logger> logger_;
    std::mutex mutex_;
    std::vector<std::shared_ptr<FilterSink>> filters_;
    std::atomic<int> cutoff_{kInfo};
    std::mutex flusherMutex_;
    std::condition_variable_any flusherWake_;
    std::jthread flusher_;
    std::mutex limiterMutex_;
    RepeatLimiter limiter_;
};

// Never destroyed: static destructors and signal handlers may still log during process exit.
Registry& GetRegistry() {
    static Registry* registry = new Registry();
    return *registry;
}

const char* SignalName(int signal) {
    switch (signal) {
        case SIGABRT:
            return "SIGABRT";
        case SIGBUS:
            return "SIGBUS";
        case SIGFPE:
            return "SIGFPE";
        case SIGILL:
            return "SIGILL";
        case SIGINT:
            return "SIGINT";
        case SIGSEGV:
            return "SIGSEGV";
        case SIGTERM:
            return "SIGTERM";
        default:
            return "UNKNOWN SIGNAL";
    }
}

std::atomic<void (*)()> gFatalHook{nullptr};

void RunFatalHook() {
    if (const auto hook = gFatalHook.load(); hook != nullptr) {
        hook();
    }
}

constexpr unsigned kSignalLogSeconds = 2;
volatile std::sig_atomic_t gEndingSignal = 0;

// The watchdog of a signal's last log line: whichever thread takes the alarm ends the process with the
// signal that was being logged.
void EndWithTheSignal(int) {
    const int signal = gEndingSignal;
    std::signal(signal, SIG_DFL);
    sigset_t pending;
    sigemptyset(&pending);
    sigaddset(&pending, signal);
    sigprocmask(SIG_UNBLOCK, &pending, nullptr);
    std::raise(signal);
}

// Not async-signal-safe, as the unsafe-signal-handler option accepts: the last lines matter more. A
// thread caught inside the layer would wait on its own lock, so it logs nothing; a lock held elsewhere
// for good costs at most the watchdog's seconds. Either way the process ends by the signal.
void OnSignal(int signal) {
    RunFatalHook();
    std::signal(signal, SIG_DFL);
    if (tlsInsideLog == 0) {
        gEndingSignal = signal;
        std::signal(SIGALRM, EndWithTheSignal);
        alarm(kSignalLogSeconds);
        GetRegistry().Write(kFatal, spdlog::source_loc{__FILE__, __LINE__, ""},
                            fmt::format("Signal: {}", SignalName(signal)));
        GetRegistry().Flush(true);
    }
    std::raise(signal);
}

void InstallSignalHandlers(const Options& options) {
    const std::pair<bool, int> wanted[] = {
        {options.sigabrt, SIGABRT}, {options.sigbus, SIGBUS}, {options.sigfpe, SIGFPE},
        {options.sigill, SIGILL},   {options.sigint, SIGINT}, {options.sigsegv, SIGSEGV},
        {options.sigterm, SIGTERM},
    };
    if (!options.unsafeSignalHandler) {
        return;
    }
    for (const auto& [enabled, signal] : wanted) {
        if (enabled) {
            struct sigaction action {};
            action.sa_handler = OnSignal;
            sigemptyset(&action.sa_mask);
            sigaction(signal, &action, nullptr);
        }
    }
}

// Accepts "-v 3", "-v3", "-v=3" and level names; returns how many arguments it consumed.
int MatchVerbosityFlag(std::string_view flag, int argc, char* argv[], int index, int& verbosity) {
    std::string_view arg = argv[index];
    if (!arg.starts_with(flag)) {
        return 0;
    }
    std::string_view value = arg.substr(flag.size());
    if (value.empty()) {
        if (index + 1 >= argc) {
            return 0;
        }
        return ParseVerbosity(argv[index + 1], verbosity) ? 2 : 0;
    }
    if (value.front() == '=') {
        value.remove_prefix(1);
    }
    return ParseVerbosity(value, verbosity) ? 1 : 0;
}

}  // namespace

bool ParseVerbosity(std::string_view text, int& verbosity) {
    static constexpr std::pair<std::string_view, int> kNames[] = {
        {"OFF", kOff}, {"FATAL", kFatal}, {"ERROR", kError}, {"WARNING", kWarning}, {"INFO", kInfo},
    };
    for (const auto& [name, value] : kNames) {
        if (text == name) {
            verbosity = value;
            return true;
        }
    }
    bool negative = !text.empty() && text.front() == '-';
    std::string_view digits = negative ? text.substr(1) : text;
    if (digits.empty() || digits.size() > 2 ||
        !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return false;
    }
    int value = std::stoi(std::string(digits));
    value = negative ? -value : value;
    if (value < kOff || value > kMaxVerbosity) {
        return false;
    }
    verbosity = value;
    return true;
}

void Init(int& argc, char* argv[], const Options& options) {
    Registry& registry = GetRegistry();
    SetThreadName(options.mainThreadName);
    int kept = 0;
    for (int i = 0; i < argc; ++i) {
        int verbosity = kInfo;
        const int consumed = i == 0 ? 0 : MatchVerbosityFlag(options.verbosityFlag, argc, argv, i, verbosity);
        if (consumed > 0) {
            registry.Console().SetVerbosity(verbosity);
            i += consumed - 1;
            continue;
        }
        argv[kept++] = argv[i];
    }
    for (int i = kept; i < argc; ++i) {
        argv[i] = nullptr;
    }
    argc = kept;
    registry.RecomputeCutoff();
    InstallSignalHandlers(options);
}

bool AddFile(const std::string& path, FileMode mode, int verbosity) {
    Registry& registry = GetRegistry();
    std::error_code ec;
    const auto folder = std::filesystem::path(path).parent_path();
    if (!folder.empty() && !std::filesystem::is_directory(folder, ec)) {
        KVLOG(kError, "Failed to open log file '{}': the folder '{}' does not exist", path, folder.string());
        return false;
    }
    try {
        if (mode == FileMode::Truncate) {
            std::FILE* emptied = std::fopen(path.c_str(), "w");
            if (emptied == nullptr) {
                throw std::runtime_error(std::strerror(errno));
            }
            std::fclose(emptied);
        }
        // The last bound on the log's size, should a flood get past the repeat limit: the file keeps its
        // name and the older ones are numbered before the extension.
        auto file =
            std::make_shared<spdlog::sinks::rotating_file_sink_mt>(path, kLogFileMaxBytes, kLogFilesKept);
        registry.AddOutput(std::make_shared<FilterSink>(std::move(file), verbosity));
        return true;
    } catch (const std::exception& e) {
        KVLOG(kError, "Failed to open log file '{}': {}", path, e.what());
        return false;
    }
}

int GetConsoleVerbosity() {
    return GetRegistry().Console().Verbosity();
}

void SetConsoleVerbosity(int verbosity) {
    GetRegistry().Console().SetVerbosity(verbosity);
    GetRegistry().RecomputeCutoff();
}

int CurrentVerbosityCutoff() {
    return GetRegistry().Cutoff();
}

void SetThreadName(std::string_view name) {
    tlsThreadName.assign(name.substr(0, std::min(name.size(), kThreadNameWidth)));
    // The system's name too, so that debuggers, top and the tests can tell the threads apart; it holds
    // at most 15 characters.
    const std::string systemName(name.substr(0, std::min<std::size_t>(name.size(), 15)));
    pthread_setname_np(pthread_self(), systemName.c_str());
}

std::string GetThreadName() {
    return ThreadName();
}

void SetFlushInterval(std::chrono::milliseconds interval) {
    GetRegistry().SetFlushInterval(interval);
}

void SetFatalHook(void (*hook)()) {
    gFatalHook.store(hook);
}

void FlushAll() {
    GetRegistry().Flush(true);
}

void Write(int verbosity, const char* file, int line, fmt::string_view format, fmt::format_args args) {
    Registry& registry = GetRegistry();
    fmt::memory_buffer text;
    try {
        fmt::vformat_to(std::back_inserter(text), format, args);
    } catch (const fmt::format_error& e) {
        text.clear();
        fmt::format_to(std::back_inserter(text), "Bad log format '{}': {}",
                       std::string_view(format.data(), format.size()), e.what());
    }
    registry.WriteLimited(verbosity, spdlog::source_loc{file, line, ""},
                          std::string_view(text.data(), text.size()));
    if (verbosity == kFatal) {
        registry.Flush(true);
        RunFatalHook();
        std::signal(SIGABRT, SIG_DFL);  // our own abort is not a crash to report
        std::abort();
    }
}

}  // namespace KvLog
