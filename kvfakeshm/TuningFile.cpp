#include "kvfakeshm/TuningFile.hpp"

#include <charconv>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <shared_mutex>
#include <sstream>

#include "kvcommon/ConfigFolder.hpp"
#include "kvfakeshm/TuningTemplate.hpp"
#include "kvlog/Failure.hpp"

namespace KvFakeShm {
namespace {

constexpr std::string_view kParseError = "FakeSharedMem tuning configuration parsing error: ";

using KvLog::FailWith;

std::string LoadFailure(std::string_view reason) {
    return fmt::format("Failed to load the FakeSharedMem tuning configuration file '{}' from disk: {}",
                       KvCommon::GetTuningFilePath(), reason);
}

std::string SaveFailure(std::string_view reason) {
    return fmt::format("Failed to save the FakeSharedMem tuning configuration file '{}' to disk: {}",
                       KvCommon::GetTuningFilePath(), reason);
}

std::string PeerRefusal(std::string_view verb, PeerType peer) {
    return fmt::format("It can only be {} via the 'Connect peer and not '{}'!", verb, PeerTypeName(peer));
}

template <typename Integer>
bool ReadInteger(const YAML::Node& node, Integer& value) {
    if (!node.IsScalar()) {
        return false;
    }
    const std::string& text = node.Scalar();
    if (text.empty() || text.front() == '+') {
        return false;
    }
    Integer parsed{};
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), parsed, 10);
    if (ec != std::errc{} || end != text.data() + text.size()) {
        return false;
    }
    value = parsed;
    return true;
}

// Every key present, in the fixed order, then every value convertible to its field's type.
bool CheckTree(const YAML::Node& root, Tuning& values, std::string& problem) {
    const bool isMap = root.IsMap();
    if (!isMap || !root["Version"]) {
        problem = fmt::format("{}Invalid 'Version'!", kParseError);
        return false;
    }
    bool missing = false;
    ForEachTuningParameter([&](const char* key, auto) {
        if (!missing && !root[key]) {
            missing = true;
            problem = fmt::format("{}Invalid '{}' parameter!", kParseError, key);
        }
    });
    if (missing) {
        return false;
    }
    auto readValue = [&](const char* key, auto member) {
        if (problem.empty() && !ReadTuningScalar(root[key], values.*member)) {
            problem =
                fmt::format("{}Invalid value '{}' of the '{}' parameter!", kParseError,
                            root[key].IsScalar() ? root[key].Scalar() : std::string("(not a scalar)"), key);
        }
    };
    readValue("Version", &Tuning::Version);
    ForEachTuningParameter(readValue);
    return problem.empty();
}

std::string LoadUnknown() {
    return fmt::format(
        "Failed to load the FakeSharedMem tuning configuration file '{}' from disk due to an unknown "
        "error!",
        KvCommon::GetTuningFilePath());
}

std::string SaveUnknown() {
    return fmt::format(
        "Failed to save the FakeSharedMem tuning configuration file '{}' to disk due to an unknown "
        "error!",
        KvCommon::GetTuningFilePath());
}

// The opening of both load paths: the progress line, the role guard and the existence check.
bool BeginLoad(PeerType peer, std::string& error) {
    const std::string& path = KvCommon::GetTuningFilePath();
    KVLOG(KvLog::kInfo, "Loading the FakeSharedMem tuning configuration file '{}' from disk...", path);
    if (peer != PeerType::Connect) {
        return FailWith(error, LoadFailure(PeerRefusal("loaded", peer)));
    }
    if (!std::filesystem::exists(path)) {
        return FailWith(error, LoadFailure("It does not exist!"));
    }
    return true;
}

}  // namespace

bool ReadTuningScalar(const YAML::Node& node, bool& value) {
    if (!node.IsScalar() || (node.Scalar() != "true" && node.Scalar() != "false")) {
        return false;
    }
    value = node.Scalar() == "true";
    return true;
}
bool ReadTuningScalar(const YAML::Node& node, std::int32_t& value) {
    return ReadInteger(node, value);
}
bool ReadTuningScalar(const YAML::Node& node, std::uint32_t& value) {
    return ReadInteger(node, value);
}
bool ReadTuningScalar(const YAML::Node& node, std::uint64_t& value) {
    return ReadInteger(node, value);
}

Tuning TuningState::GetTuning() const {
    std::shared_lock lock(tuningLock);
    return tuning;
}

bool TuningState::ParseTuningFile(YAML::Node& tree, std::string& error) const {
    error.clear();
    const std::string& path = KvCommon::GetTuningFilePath();
    return KvLog::GuardFailures(
        error,
        [&] {
            if (!BeginLoad(peerType.load(), error)) {
                return false;
            }
            std::ifstream file(path, std::ios::binary);
            if (!file.is_open()) {
                return FailWith(error, LoadFailure("Failed to open the file for reading!"));
            }
            std::ostringstream text;
            text << file.rdbuf();
            file.peek();
            if (!file.eof() && file.fail()) {
                return FailWith(error, LoadFailure("Failed to read the file!"));
            }
            YAML::Node root;
            try {
                root = YAML::Load(text.str());
            } catch (const YAML::Exception& e) {
                return FailWith(error, fmt::format("{}{}", kParseError, e.what()));
            }
            Tuning scratch;
            if (std::string problem; !CheckTree(root, scratch, problem)) {
                return FailWith(error, problem);
            }
            tree = root;
            return true;
        },
        LoadFailure, LoadUnknown);
}

bool TuningState::LoadTuningFile(std::string& error) {
    error.clear();
    return KvLog::GuardFailures(
        error,
        [&] {
            if (!BeginLoad(peerType.load(), error)) {
                return false;
            }
            YAML::Node tree;
            if (std::string parseError; !ParseTuningFile(tree, parseError)) {
                return FailWith(error, LoadFailure(parseError));
            }
            Tuning loaded;
            std::string problem;
            CheckTree(tree, loaded, problem);  // already known to be valid
            if (loaded.Version != GetTuning().Version) {
                return FailWith(error, LoadFailure("File version mismatched!"));
            }
            std::unique_lock lock(tuningLock);
            ForEachTuningParameter([&](const char*, auto member) { tuning.*member = loaded.*member; });
            return true;
        },
        LoadFailure, LoadUnknown);
}

bool TuningState::SaveTuningFile(std::string& error) const {
    error.clear();
    const std::string& path = KvCommon::GetTuningFilePath();
    return KvLog::GuardFailures(
        error,
        [&] {
            KVLOG(KvLog::kInfo, "Saving the FakeSharedMem tuning configuration file '{}' to disk...", path);
            if (const PeerType peer = peerType.load(); peer != PeerType::Connect) {
                return FailWith(error, SaveFailure(PeerRefusal("saved", peer)));
            }
            if (std::filesystem::exists(path)) {
                YAML::Node tree;
                std::string parseError;
                bool keep = false;
                if (!ParseTuningFile(tree, parseError)) {
                    KVLOG(KvLog::kError, "{}", SaveFailure(parseError));
                } else {
                    std::uint32_t fileVersion = 0;
                    keep =
                        ReadTuningScalar(tree["Version"], fileVersion) && fileVersion == GetTuning().Version;
                }
                if (keep) {
                    KVLOG(KvLog::kInfo,
                          "Skipped saving the FakeSharedMem tuning configuration file '{}' to disk!", path);
                    return true;
                }
                const std::string backup = MakeTuningBackupPath();
                KVLOG(KvLog::kInfo, "Backing up the old tuning configuration file '{}' -> '{}'!", path,
                      backup);
                if (std::error_code ec;
                    std::filesystem::exists(backup) || (std::filesystem::rename(path, backup, ec), ec)) {
                    return FailWith(
                        error, SaveFailure(fmt::format(
                                   "Failed to backup the old tuning configuration file to '{}'!", backup)));
                }
                KVLOG(KvLog::kInfo, "Successfully backed up the old tuning configuration file '{}' -> '{}'!",
                      path, backup);
            }
            std::ofstream file(path, std::ios::binary | std::ios::trunc);
            if (!file.is_open()) {
                return FailWith(error, SaveFailure("Failed to open the file for writing!"));
            }
            const std::string text = FormatTuningFile(GetTuning());
            file.write(text.data(), static_cast<std::streamsize>(text.size()));
            file.close();
            if (file.fail()) {
                return FailWith(error, SaveFailure("Failed to write the file!"));
            }
            KVLOG(KvLog::kInfo,
                  "Successfully saved the FakeSharedMem tuning configuration file '{}' to disk!", path);
            return true;
        },
        SaveFailure, SaveUnknown);
}

std::string MakeTuningBackupPath(std::chrono::system_clock::time_point when) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(when);
    std::tm local{};
    localtime_r(&seconds, &local);
    return fmt::format("{}.{:04}-{:02}-{:02}-{:02}-{:02}-{:02}", KvCommon::GetTuningFilePath(),
                       local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                       local.tm_sec);
}

std::string MakeTuningBackupPath() {
    return MakeTuningBackupPath(std::chrono::system_clock::now());
}

std::string FormatTuningFile(const Tuning& t) {
    return fmt::format(fmt::runtime(kTuningFileTemplate), KvCommon::kTuningFileName, t.Version,
                       t.SocketReceiveNonBlocking, t.SocketReceiveTimeout, t.SocketSendNonBlocking,
                       t.SocketSendTimeout, t.SocketReconnectTimeMin, t.SocketReconnectTimeMax,
                       t.WorkerRetryInterval, t.HeartbeatInterval, t.LivenessTimeout,
                       t.LatencySmoothingWindow, t.ThroughputSmoothingWindow, t.SharedMemHeartbeatBlockSize,
                       t.SharedMemLivenessTimeout);
}

}  // namespace KvFakeShm
