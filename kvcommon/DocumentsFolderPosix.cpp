#include <cstdlib>
#include <fstream>
#include <string>
#include <string_view>

#include "kvcommon/DocumentsFolder.hpp"

namespace KvCommon::Platform {
namespace {

std::string GetEnv(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? std::string(value) : std::string();
}

std::string ExpandHome(std::string value, const std::string& home) {
    for (std::string_view token : {std::string_view("${HOME}"), std::string_view("$HOME")}) {
        if (value.starts_with(token)) {
            return home + value.substr(token.size());
        }
    }
    return value;
}

// The XDG_DOCUMENTS_DIR line of user-dirs.dirs: XDG_DOCUMENTS_DIR="$HOME/Documents"
std::string ReadUserDirsEntry(const std::string& home) {
    std::string configHome = GetEnv("XDG_CONFIG_HOME");
    if (configHome.empty()) {
        if (home.empty()) {
            return {};
        }
        configHome = home + "/.config";
    }
    std::ifstream file(configHome + "/user-dirs.dirs");
    std::string line;
    constexpr std::string_view kKey = "XDG_DOCUMENTS_DIR=";
    std::string found;
    while (std::getline(file, line)) {
        const auto start = line.find_first_not_of(" \t");
        if (start == std::string::npos || line[start] == '#') {
            continue;
        }
        std::string_view entry(line);
        entry.remove_prefix(start);
        if (!entry.starts_with(kKey)) {
            continue;
        }
        entry.remove_prefix(kKey.size());
        while (!entry.empty() && (entry.back() == ' ' || entry.back() == '\t' || entry.back() == '\r')) {
            entry.remove_suffix(1);
        }
        if (entry.size() >= 2 && entry.front() == '"' && entry.back() == '"') {
            entry = entry.substr(1, entry.size() - 2);
        }
        found = ExpandHome(std::string(entry), home);  // the last entry wins, as xdg-user-dir reads it
    }
    // By the XDG convention a folder equal to the home folder means "not configured".
    if (!found.empty() && found == home) {
        return {};
    }
    return found;
}

}  // namespace

std::string GetDocumentsFolderPath() {
    if (std::string fromEnv = GetEnv("XDG_DOCUMENTS_DIR"); !fromEnv.empty()) {
        return fromEnv;
    }
    const std::string home = GetEnv("HOME");
    if (std::string fromFile = ReadUserDirsEntry(home); !fromFile.empty()) {
        return fromFile;
    }
    if (home.empty()) {
        return {};
    }
    return home + "/Documents";
}

const std::string& GetPathSeparator() {
    static const std::string separator = "/";
    return separator;
}

}  // namespace KvCommon::Platform
