#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <thread>
#include <utility>

#include "kvlog/Logging.hpp"
#include "tests/support/TestSupport.hpp"

namespace {

struct Args {
    explicit Args(std::vector<std::string> values) : strings(std::move(values)) {
        for (auto& s : strings)
            pointers.push_back(s.data());
        pointers.push_back(nullptr);
        argc = static_cast<int>(strings.size());
    }
    std::vector<std::string> Remaining() const {
        return std::vector<std::string>(pointers.begin(), pointers.begin() + argc);
    }
    std::vector<std::string> strings;
    std::vector<char*> pointers;
    int argc = 0;
};

int InitWith(std::vector<std::string> values, std::vector<std::string>* remaining = nullptr) {
    KvLog::SetConsoleVerbosity(KvLog::kInfo);
    Args args(std::move(values));
    KvLog::Init(args.argc, args.pointers.data(),
                KvLog::Options{.sigabrt = false,
                               .sigbus = false,
                               .sigfpe = false,
                               .sigill = false,
                               .sigint = false,
                               .sigsegv = false,
                               .sigterm = false});
    if (remaining != nullptr)
        *remaining = args.Remaining();
    EXPECT_EQ(args.pointers[static_cast<std::size_t>(args.argc)], nullptr);
    return KvLog::GetConsoleVerbosity();
}

}  // namespace

TEST(LogVerbosityFlag, AcceptsEveryFormAndRemovesIt) {
    std::vector<std::string> rest;
    EXPECT_EQ(InitWith({"prog", "-v", "3", "x"}, &rest), 3);
    EXPECT_EQ(rest, (std::vector<std::string>{"prog", "x"}));
    EXPECT_EQ(InitWith({"prog", "-v3"}, &rest), 3);
    EXPECT_EQ(rest, (std::vector<std::string>{"prog"}));
    EXPECT_EQ(InitWith({"prog", "a", "-v=9", "b"}, &rest), 9);
    EXPECT_EQ(rest, (std::vector<std::string>{"prog", "a", "b"}));
    EXPECT_EQ(InitWith({"prog", "-v", "WARNING"}, &rest), KvLog::kWarning);
    EXPECT_EQ(InitWith({"prog", "-v", "OFF"}, &rest), KvLog::kOff);
    EXPECT_EQ(rest, (std::vector<std::string>{"prog"}));
    EXPECT_EQ(InitWith({"prog", "-vERROR"}, &rest), KvLog::kError);
    EXPECT_EQ(InitWith({"prog", "-v", "-2"}, &rest), KvLog::kError);
}

TEST(LogVerbosityFlag, WithoutFlagConsoleShowsInfo) {
    std::vector<std::string> rest;
    EXPECT_EQ(InitWith({"prog", "other"}, &rest), KvLog::kInfo);
    EXPECT_EQ(rest, (std::vector<std::string>{"prog", "other"}));
}

TEST(LogVerbosityFlag, UnparsableValuesAreLeftAlone) {
    std::vector<std::string> rest;
    EXPECT_EQ(InitWith({"prog", "-version"}, &rest), KvLog::kInfo);
    EXPECT_EQ(rest, (std::vector<std::string>{"prog", "-version"}));
    EXPECT_EQ(InitWith({"prog", "-v"}, &rest), KvLog::kInfo);
    EXPECT_EQ(rest, (std::vector<std::string>{"prog", "-v"}));
    EXPECT_EQ(InitWith({"prog", "-v", "10"}, &rest), KvLog::kInfo);
    EXPECT_EQ(rest, (std::vector<std::string>{"prog", "-v", "10"}));
}

class LogFile : public ::testing::Test {
  protected:
    KvTest::TempDir dir;
    std::string Path(const char* name = "test.log") const { return (dir.Path() / name).string(); }
    std::string Contents(const char* name = "test.log") {
        KvLog::FlushAll();
        return KvTest::ReadFile(dir.Path() / name);
    }
};

TEST_F(LogFile, GetsEveryVerbosityWhateverTheConsoleShows) {
    KvLog::SetConsoleVerbosity(KvLog::kOff);
    ASSERT_TRUE(KvLog::AddFile(Path(), KvLog::FileMode::Truncate, KvLog::kMaxVerbosity));
    EXPECT_EQ(KvLog::CurrentVerbosityCutoff(), KvLog::kMaxVerbosity);
    KVLOG(9, "detail {}", 9);
    KVLOG(KvLog::kWarning, "warned {}", "here");
    const std::string text = Contents();
    EXPECT_NE(text.find("detail 9"), std::string::npos);
    EXPECT_NE(text.find("warned here"), std::string::npos);
    EXPECT_NE(text.find("   9| detail 9"), std::string::npos) << text;
    EXPECT_NE(text.find("WARN| warned here"), std::string::npos) << text;
    EXPECT_NE(text.find("LoggingTest.cpp:"), std::string::npos);
}

TEST_F(LogFile, FileVerbosityFiltersAndAppendKeepsOldLines) {
    ASSERT_TRUE(KvLog::AddFile(Path(), KvLog::FileMode::Truncate, KvLog::kInfo));
    KVLOG(1, "too detailed");
    KVLOG(KvLog::kInfo, "first run");
    ASSERT_TRUE(KvLog::AddFile(Path("b.log"), KvLog::FileMode::Append, KvLog::kInfo));
    const std::string text = Contents();
    EXPECT_EQ(text.find("too detailed"), std::string::npos);
    EXPECT_NE(text.find("first run"), std::string::npos);
}

TEST_F(LogFile, MissingFolderFailsWithOwnErrorAndIsNotCreated) {
    const std::string missing = (dir.Path() / "nope" / "x.log").string();
    ASSERT_TRUE(KvLog::AddFile(Path(), KvLog::FileMode::Truncate, KvLog::kMaxVerbosity));
    EXPECT_FALSE(KvLog::AddFile(missing, KvLog::FileMode::Append, KvLog::kMaxVerbosity));
    EXPECT_FALSE(std::filesystem::exists(dir.Path() / "nope"));
    EXPECT_NE(Contents().find("ERR| Failed to open log file '" + missing + "'"), std::string::npos);
}

TEST_F(LogFile, ThreadNamesAreCutTo16Characters) {
    ASSERT_TRUE(KvLog::AddFile(Path(), KvLog::FileMode::Truncate, KvLog::kMaxVerbosity));
    std::thread([] {
        KvLog::SetThreadName("AVeryLongThreadNameIndeed");
        EXPECT_EQ(KvLog::GetThreadName(), "AVeryLongThreadN");
        KVLOG(KvLog::kInfo, "named");
    }).join();
    EXPECT_NE(Contents().find("[AVeryLongThreadN] "), std::string::npos);
}

TEST_F(LogFile, BadRuntimeFormatIsReportedNotThrown) {
    ASSERT_TRUE(KvLog::AddFile(Path(), KvLog::FileMode::Truncate, KvLog::kMaxVerbosity));
    EXPECT_NO_THROW(KVLOG(KvLog::kInfo, fmt::runtime("{} {}"), 1));
    EXPECT_NE(Contents().find("Bad log format"), std::string::npos);
}

TEST_F(LogFile, FatalFlushesAndAborts) {
    const std::string path = Path();
    EXPECT_DEATH(
        {
            KvLog::AddFile(path, KvLog::FileMode::Truncate, KvLog::kMaxVerbosity);
            KvLog::SetFlushInterval(std::chrono::milliseconds(100000));
            KVLOG(KvLog::kFatal, "the end {}", 1);
        },
        "");
    EXPECT_NE(Contents().find("FATL| the end 1"), std::string::npos);
}

TEST_F(LogFile, FatalFilteredEverywhereIsSkipped) {
    KvLog::SetConsoleVerbosity(KvLog::kOff);
    EXPECT_EQ(KvLog::CurrentVerbosityCutoff(), KvLog::kOff);
    KVLOG(KvLog::kFatal, "nobody listens");  // must not abort
    SUCCEED();
}

TEST_F(LogFile, SignalIsLoggedAndReRaised) {
    const std::string path = Path();
    EXPECT_EXIT(
        {
            KvLog::AddFile(path, KvLog::FileMode::Truncate, KvLog::kMaxVerbosity);
            Args args({"prog"});
            KvLog::Init(args.argc, args.pointers.data());
            std::raise(SIGTERM);
        },
        ::testing::KilledBySignal(SIGTERM), "");
    EXPECT_NE(Contents().find("FATL| Signal: SIGTERM"), std::string::npos);
}

// A signal that lands while a log line is stuck in its output (a pipe nobody drains) still ends the
// process by that signal, whether it lands on the stuck thread or on another one.
TEST(LogSignal, EndsTheProcessEvenWhileALogWriteIsStuck) {
#ifdef KV_SANITIZED
    GTEST_SKIP() << "the sanitizers report the handler's unsafe calls on an asynchronous signal first";
#endif
    for (const bool onTheStuckThread : {true, false}) {
        KvTest::TempDir dir;
        const std::string fifo = (dir.Path() / "log").string();
        ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
        EXPECT_EXIT(
            {
                const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);  // never read
                KvLog::SetConsoleVerbosity(KvLog::kOff);
                KvLog::AddFile(fifo, KvLog::FileMode::Append, KvLog::kMaxVerbosity);
                Args args({"prog"});
                KvLog::Init(args.argc, args.pointers.data());
                std::thread writer([] {
                    for (int i = 0;; ++i)
                        KVLOG(KvLog::kInfo, "line {} {}", i, std::string(1000, 'x'));
                });
                int queued = -1;  // the pipe is full once it stops filling
                KvTest::WaitFor(
                    [&] {
                        int now = 0;
                        ::ioctl(reader, FIONREAD, &now);
                        std::this_thread::sleep_for(std::chrono::milliseconds(20));
                        return std::exchange(queued, now) == now && now > 0;
                    },
                    std::chrono::seconds(10));
                ::pthread_kill(onTheStuckThread ? writer.native_handle() : ::pthread_self(), SIGTERM);
                for (;;)
                    ::pause();
            },
            ::testing::KilledBySignal(SIGTERM), "")
            << (onTheStuckThread ? "on the stuck thread" : "on another thread");
    }
}

TEST(LogParseVerbosity, NamesAndNumbersInRange) {
    int v = 0;
    EXPECT_TRUE(KvLog::ParseVerbosity("FATAL", v));
    EXPECT_EQ(v, -3);
    EXPECT_TRUE(KvLog::ParseVerbosity("-9", v));
    EXPECT_EQ(v, -9);
    EXPECT_TRUE(KvLog::ParseVerbosity("INFO", v));
    EXPECT_EQ(v, 0);
    for (const char* bad : {"", "-", "x", "10", "-10", "info", "3x"}) {
        EXPECT_FALSE(KvLog::ParseVerbosity(bad, v)) << bad;
    }
}

#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
// The fatal-signal handler writes its log line on purpose although the process is dying (the
// logging library's unsafe signal handler option); ThreadSanitizer would report that call on each run.
extern "C" const char* __tsan_default_options() {
    return "report_signal_unsafe=0";
}
#endif
#endif
