#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace KvLog {

// Keeps one call site that repeats a line in a tight loop from flooding the log. A line that comes from
// its site again, with the same text, within `repeatGap` of the previous one is a flood: its first
// `burst` lines are written as they are, the rest only counted. The count is written with the text as a
// summary line when the flood ends (the site has been quiet for `repeatGap`), every `summaryEvery` while
// it lasts, when the site sends another text, and when pending summaries are drained at exit. A new text
// is always written, so no distinct failure is hidden. The clock is the caller's, so that a test can play
// an hour in a moment.
class RepeatLimiter {
  public:
    using Clock = std::chrono::steady_clock;

    struct Limits {
        std::chrono::milliseconds repeatGap{50};
        std::size_t burst = 5;
        std::chrono::milliseconds summaryEvery{10'000};
        std::chrono::milliseconds forgetAfter{60'000};  // a quiet site's memory is dropped
        std::size_t maxSites = 4096;                    // beyond it, new sites pass unlimited
    };

    // A summary of suppressed lines, written at the line's own site and verbosity.
    struct Summary {
        const char* file;
        int line;
        int verbosity;
        std::string text;
    };

    RepeatLimiter() : RepeatLimiter(Limits{}) {}
    explicit RepeatLimiter(Limits limits) : limits_(limits) {}

    // Whether this line is to be written; the summaries due before it are appended to `due`.
    bool Admit(const char* file, int line, int verbosity, std::string_view text, Clock::time_point now,
               std::vector<Summary>& due);
    // The summaries of floods that have ended, or of every pending count when `all`.
    void Sweep(Clock::time_point now, bool all, std::vector<Summary>& due);

    static std::string SummaryText(std::string_view text, std::size_t count, Clock::duration span);

  private:
    struct SiteKey {
        const char* file;
        int line;
        bool operator==(const SiteKey&) const = default;
    };
    struct SiteHash {
        std::size_t operator()(const SiteKey& key) const;
    };
    struct Site {
        int verbosity = 0;
        std::string text;
        Clock::time_point last;
        std::size_t run = 0;  // lines of the current flood, written or not
        std::size_t suppressed = 0;
        Clock::time_point suppressedSince;
    };

    static void Summarize(const SiteKey& key, Site& site, Clock::time_point now, std::vector<Summary>& due);

    Limits limits_;
    std::unordered_map<SiteKey, Site, SiteHash> sites_;
};

}  // namespace KvLog
