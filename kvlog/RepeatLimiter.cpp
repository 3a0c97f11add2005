#include "kvlog/RepeatLimiter.hpp"

#include <fmt/format.h>

#include <functional>

namespace KvLog {

std::size_t RepeatLimiter::SiteHash::operator()(const SiteKey& key) const {
    return std::hash<const void*>()(key.file) * 31 + std::hash<int>()(key.line);
}

std::string RepeatLimiter::SummaryText(std::string_view text, std::size_t count, Clock::duration span) {
    return fmt::format("{} similar line(s) suppressed over {:.1f} s: {}", count,
                       std::chrono::duration<double>(span).count(), text);
}

void RepeatLimiter::Summarize(const SiteKey& key, Site& site, Clock::time_point now,
                              std::vector<Summary>& due) {
    if (site.suppressed == 0) {
        return;
    }
    due.push_back({key.file, key.line, site.verbosity,
                   SummaryText(site.text, site.suppressed, now - site.suppressedSince)});
    site.suppressed = 0;
    site.suppressedSince = now;
}

bool RepeatLimiter::Admit(const char* file, int line, int verbosity, std::string_view text,
                          Clock::time_point now, std::vector<Summary>& due) {
    const SiteKey key{file, line};
    auto found = sites_.find(key);
    if (found == sites_.end()) {
        if (sites_.size() >= limits_.maxSites) {
            Sweep(now, false, due);
            if (sites_.size() >= limits_.maxSites) {
                return true;
            }
        }
        Site fresh;
        fresh.verbosity = verbosity;
        fresh.text = text;
        fresh.last = now;
        fresh.run = 1;
        sites_.emplace(key, std::move(fresh));
        return true;
    }
    Site& site = found->second;
    const bool flood = site.text == text && now - site.last < limits_.repeatGap;
    site.last = now;
    if (!flood) {
        Summarize(key, site, now, due);
        if (site.text != text) {
            site.text = text;
        }
        site.verbosity = verbosity;
        site.run = 1;
        return true;
    }
    if (++site.run <= limits_.burst) {
        return true;
    }
    if (site.suppressed == 0) {
        site.suppressedSince = now;
    }
    ++site.suppressed;
    if (now - site.suppressedSince >= limits_.summaryEvery) {
        Summarize(key, site, now, due);
    }
    return false;
}

void RepeatLimiter::Sweep(Clock::time_point now, bool all, std::vector<Summary>& due) {
    for (auto it = sites_.begin(); it != sites_.end();) {
        Site& site = it->second;
        const auto quiet = now - site.last;
        if (all || quiet >= limits_.repeatGap) {
            Summarize(it->first, site, now, due);
            if (!all) {
                site.run = 0;
            }
        }
        if (site.suppressed == 0 && quiet >= limits_.forgetAfter) {
            it = sites_.erase(it);
        } else {
            ++it;
        }
    }
}

}  // namespace KvLog
