#pragma once

#include <yaml-cpp/yaml.h>

#include <atomic>
#include <chrono>
#include <string>

#include "kvcommon/HybridMutex.hpp"
#include "kvfakeshm/PeerType.hpp"
#include "kvfakeshm/Tuning.hpp"

namespace KvFakeShm {

// The part of the fake shared memory's private state that the tuning file works on.
struct TuningState {
    virtual ~TuningState() = default;

    std::atomic<PeerType> peerType{PeerType::None};
    mutable KvCommon::HybridSharedMutex tuningLock;
    Tuning tuning;

    // Connect peer only. A valid file of the current version is never overwritten; anything else is
    // renamed to a timestamped backup first.
    bool SaveTuningFile(std::string& error) const;
    // Connect peer only. An invalid file changes nothing.
    bool LoadTuningFile(std::string& error);
    // Reads the file and checks that every key is present and holds a value of its field's type.
    bool ParseTuningFile(YAML::Node& tree, std::string& error) const;

    Tuning GetTuning() const;
};

std::string MakeTuningBackupPath();
std::string MakeTuningBackupPath(std::chrono::system_clock::time_point when);
std::string FormatTuningFile(const Tuning& tuning);

// Strict scalar reading: "true"/"false" for bools, decimal digits (and a sign for signed fields) within
// the field's range for integers.
bool ReadTuningScalar(const YAML::Node& node, bool& value);
bool ReadTuningScalar(const YAML::Node& node, std::int32_t& value);
bool ReadTuningScalar(const YAML::Node& node, std::uint32_t& value);
bool ReadTuningScalar(const YAML::Node& node, std::uint64_t& value);

}  // namespace KvFakeShm
