#include <gtest/gtest.h>

#include <regex>
#include <thread>

#include "kvlog/Failure.hpp"
#include "kvlog/Logging.hpp"
#include "kvlog/RepeatLimiter.hpp"
#include "tests/support/TestSupport.hpp"

using namespace std::chrono_literals;
using KvLog::RepeatLimiter;

namespace {

// A limiter on a clock the test moves; records what it would have written.
struct Played {
    RepeatLimiter limiter;
    RepeatLimiter::Clock::time_point now{};
    std::vector<std::string> written;
    std::size_t bytes = 0;

    void Line(const char* file, int line, const std::string& text) {
        std::vector<RepeatLimiter::Summary> due;
        const bool admitted = limiter.Admit(file, line, KvLog::kError, text, now, due);
        Take(due);
        if (admitted) {
            Keep(text);
        }
    }
    void Sweep(bool all = false) {
        std::vector<RepeatLimiter::Summary> due;
        limiter.Sweep(now, all, due);
        Take(due);
    }
    void Take(const std::vector<RepeatLimiter::Summary>& due) {
        for (const auto& summary : due) {
            Keep(summary.text);
        }
    }
    // The preamble of a log line (date, uptime, thread, file and line, level) is about 90 bytes.
    void Keep(const std::string& text) {
        written.push_back(text);
        bytes += text.size() + 90;
    }
    std::size_t Count(const std::string& needle) const {
        return static_cast<std::size_t>(
            std::count_if(written.begin(), written.end(), [&](const std::string& w) { return w == needle; }));
    }
};

const char* const kFile = "Site.cpp";

// The counts of every summary of `text` in a log.
std::size_t SuppressedIn(const std::string& log, const std::string& text) {
    std::size_t total = 0;
    const std::regex summary("(\\d+) similar line\\(s\\) suppressed over [0-9.]+ s: " + text);
    for (auto it = std::sregex_iterator(log.begin(), log.end(), summary); it != std::sregex_iterator();
         ++it) {
        total += std::stoul((*it)[1]);
    }
    return total;
}

}  // namespace

TEST(RepeatLimit, AFloodKeepsItsFirstLinesAndCountsTheRest) {
    Played play;
    for (int i = 0; i < 1000; ++i) {
        play.Line(kFile, 10, "failed");
        play.now += 1ms;
    }
    EXPECT_EQ(play.Count("failed"), 5u) << "the first lines of a flood are written as they are";
    play.now += 60ms;  // quiet for longer than the repeat gap: the flood has ended
    play.Sweep();
    ASSERT_EQ(play.written.size(), 6u);
    EXPECT_EQ(play.written.back(), RepeatLimiter::SummaryText("failed", 995, 1055ms));
    play.Sweep(true);
    EXPECT_EQ(play.written.size(), 6u) << "a count is written once";

    // The same text again after the flood: a new first occurrence.
    play.Line(kFile, 10, "failed");
    EXPECT_EQ(play.Count("failed"), 6u);
}

TEST(RepeatLimit, DistinctTextsSlowRepeatsAndLongFloodsAreAlwaysShown) {
    Played play;
    for (int i = 0; i < 100; ++i) {
        play.Line(kFile, 10, "first failure");
        play.now += 1ms;
    }
    // Another text from the site: the pending count first, then the new text at once.
    play.Line(kFile, 10, "second failure");
    ASSERT_GE(play.written.size(), 2u);
    EXPECT_EQ(play.written[play.written.size() - 2], RepeatLimiter::SummaryText("first failure", 95, 95ms));
    EXPECT_EQ(play.written.back(), "second failure");

    // Another site never shares a count; a line repeated slower than the gap is never held back.
    for (int i = 0; i < 50; ++i) {
        play.Line(kFile, 20, "Sleeping for 100 millisecond(s)...");
        play.now += 100ms;
    }
    EXPECT_EQ(play.Count("Sleeping for 100 millisecond(s)..."), 50u);

    // A flood that never ends is summed up every 10 s.
    Played endless;
    for (int i = 0; i < 35'000; ++i) {
        endless.Line(kFile, 30, "again");
        endless.now += 1ms;
    }
    EXPECT_EQ(endless.written.size(), 5u + 3u);
    endless.Sweep(true);
    EXPECT_EQ(endless.written.size(), 5u + 4u);
}

// The client without a Connect peer: the SharedMem worker fails to read and to write the heartbeat on
// every 1 ms pass (six lines from six sites), and the legacy read thread sleeps ten times a second.
TEST(RepeatLimit, AnHourWithoutAPeerStaysSmallAndNamesEveryFailureWithItsCount) {
    const std::vector<std::pair<int, std::string>> everyPass{
        {1, "Error reading from KvFakeShmHeartbeat-ConnectHeartbeatTimestamp: No such file or directory"},
        {2,
         "Failed to read FakeSharedMem SharedMem peer heartbeat: Error reading from "
         "KvFakeShmHeartbeat-ConnectHeartbeatTimestamp: No such file or directory"},
        {3,
         "FakeSharedMem has failed to read SharedMem peer heartbeat: Failed to read FakeSharedMem SharedMem "
         "peer heartbeat: Error reading from KvFakeShmHeartbeat-ConnectHeartbeatTimestamp: No such file or "
         "directory"},
        {4, "Error writing to KvFakeShmHeartbeat-CoreHeartbeatTimestamp: No such file or directory"},
        {5,
         "Failed to send a FakeSharedMem SharedMem heartbeat: Error writing to "
         "KvFakeShmHeartbeat-CoreHeartbeatTimestamp: No such file or directory"},
        {6,
         "FakeSharedMem has failed to write a SharedMem heartbeat: Failed to send a FakeSharedMem SharedMem "
         "heartbeat: Error writing to KvFakeShmHeartbeat-CoreHeartbeatTimestamp: No such file or directory"},
    };
    Played play;
    std::size_t tenMinutes = 0;
    constexpr int kPassesPerHour = 3'600'000;
    for (int pass = 0; pass < kPassesPerHour; ++pass) {
        for (const auto& [line, text] : everyPass) {
            play.Line(kFile, line, text);
        }
        if (pass % 100 == 0) {
            play.Line(kFile, 7, "Sleeping for 100 millisecond(s)...");
            play.Sweep();  // the flusher's pass
        }
        if (pass == 600'000) {
            tenMinutes = play.bytes;
        }
        play.now += 1ms;
    }
    play.Sweep(true);
    EXPECT_LT(tenMinutes, 4u * 1024 * 1024);
    EXPECT_LT(play.bytes, 20u * 1024 * 1024);
    std::string log;
    for (const auto& line : play.written) {
        log += line + "\n";
    }
    for (const auto& [line, text] : everyPass) {
        EXPECT_EQ(play.Count(text), 5u) << text;
        EXPECT_EQ(SuppressedIn(log, std::regex_replace(text, std::regex("[().]"), "\\$&")) + 5,
                  static_cast<std::size_t>(kPassesPerHour))
            << "every occurrence is written or counted: " << text;
    }
}

class LimitedLog : public ::testing::Test {
  protected:
    KvTest::TempDir dir;
    std::string Path(const char* name = "limited.log") const { return (dir.Path() / name).string(); }
    std::string Contents(const char* name = "limited.log") {
        KvLog::FlushAll();
        return KvTest::ReadFile(dir.Path() / name);
    }
};

TEST_F(LimitedLog, ThreadsFloodingOneSiteAreCountedExactlyAndFailuresKeepTheirCallersSite) {
    KvLog::SetConsoleVerbosity(KvLog::kOff);
    ASSERT_TRUE(KvLog::AddFile(Path(), KvLog::FileMode::Truncate, KvLog::kMaxVerbosity));
    constexpr int kThreads = 4, kLines = 10'000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([] {
            for (int i = 0; i < kLines; ++i) {
                KVLOG(KvLog::kError, "flooded {}", "here");
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    std::string error;
    KvLog::FailWith(error, "failure one");
    const int failureLine = __LINE__ - 1;
    const std::string log = Contents();
    EXPECT_EQ(KvTest::CountOf(log, "ERR| flooded here\n") + SuppressedIn(log, "flooded here"),
              static_cast<std::size_t>(kThreads * kLines));
    EXPECT_LT(KvTest::CountOf(log, "\n"), 100u);
    EXPECT_NE(log.find("RepeatLimiterTest.cpp:" + std::to_string(failureLine)), std::string::npos) << log;
}

TEST_F(LimitedLog, AFileRotatesAtItsSizeAndKeepsItsName) {
    KvLog::SetConsoleVerbosity(KvLog::kOff);
    ASSERT_TRUE(KvLog::AddFile(Path(), KvLog::FileMode::Truncate, KvLog::kInfo));
    const std::string filler(1000, 'x');
    for (std::size_t i = 0; i * 1100 < KvLog::kLogFileMaxBytes + 200'000; ++i) {
        KVLOG(KvLog::kInfo, "line {} {}", i, filler);  // distinct texts: nothing is held back
    }
    KvLog::FlushAll();
    EXPECT_TRUE(std::filesystem::exists(dir.Path() / "limited.1.log"));
    EXPECT_LE(std::filesystem::file_size(Path()), KvLog::kLogFileMaxBytes);
    EXPECT_NE(Contents().find("line "), std::string::npos);
}
