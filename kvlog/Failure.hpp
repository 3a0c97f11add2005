#pragma once

// The house style of failure reporting: an operation returns false and leaves in its error string the
// same text that it logs at ERROR; escaping exceptions become one of its messages.

#include <exception>
#include <optional>
#include <string>

#include "kvlog/Logging.hpp"

namespace KvLog {

// Logged at the caller's file and line, so that each failure has a site of its own in the log (and in
// its repeat limit).
inline bool FailWith(std::string& error, std::string message, const char* file = __builtin_FILE(),
                     int line = __builtin_LINE()) {
    error = std::move(message);
    if (kError <= CurrentVerbosityCutoff()) {
        Log(kError, file, line, "{}", error);
    }
    return false;
}

// The text of the exception being handled, or nothing when it is not a standard one. Call only
// inside a catch block.
inline std::optional<std::string> CurrentExceptionText() {
    try {
        throw;
    } catch (const std::exception& e) {
        return std::string(e.what());
    } catch (...) {
        return std::nullopt;
    }
}

// Runs the body; an escaping standard exception fails with withText(its text), any other with unknown().
template <typename Body, typename WithText, typename Unknown>
bool GuardFailures(std::string& error, Body&& body, WithText&& withText, Unknown&& unknown) {
    try {
        return body();
    } catch (...) {
        const auto text = CurrentExceptionText();
        return FailWith(error, text ? withText(*text) : unknown());
    }
}

}  // namespace KvLog
