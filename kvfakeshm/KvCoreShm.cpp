#include "kvfakeshm/KvCoreShm.hpp"

#include <limits>

#include "kvcommon/StringUtils.hpp"
#include "kvcoreshm/SharedMem.hpp"
#include "kvfakeshm/FakeSharedMemImpl.hpp"
#include "kvlog/Failure.hpp"

namespace KvFakeShm {
namespace {

using KvLog::FailWith;

// Logging-only lifecycle hooks: every segment access opens the segment itself.
template <typename LogLine>
bool LogOnly(std::string& error, std::string_view what, LogLine&& logLine) {
    error.clear();
    return KvLog::GuardFailures(
        error,
        [&] {
            logLine();
            return true;
        },
        [&](const std::string& text) {
            return fmt::format("Failed to {} KvCoreShm::SharedMem: {}", what, text);
        },
        [&] { return fmt::format("Failed to {} KvCoreShm::SharedMem due to an unknown error!", what); });
}

}  // namespace

const std::string& HeartbeatBlock() {
    static const std::string name = "KvFakeShmHeartbeat";
    return name;
}
const std::string& ConnectHeartbeatAddress() {
    static const std::string name = "ConnectHeartbeatTimestamp";
    return name;
}
const std::string& CoreHeartbeatAddress() {
    static const std::string name = "CoreHeartbeatTimestamp";
    return name;
}

KvCoreShm::KvCoreShm() : record(std::make_unique<Record>(Record{this})) {}
KvCoreShm::~KvCoreShm() = default;

bool KvCoreShm::InitializeSharedMem(std::string& error) {
    return LogOnly(error, "initialize", [] { KVLOG(KvLog::kInfo, "Intializing KvCoreShm::SharedMem..."); });
}

bool KvCoreShm::TerminateSharedMem(std::string& error) {
    return LogOnly(error, "terminate", [] { KVLOG(KvLog::kInfo, "Terminating KvCoreShm::SharedMem..."); });
}

bool KvCoreShm::ReadPeerSharedMemHeartbeat(std::uint64_t& timestamp, std::string& error) {
    error.clear();
    try {
        std::string data;
        const bool ok =
            ::KvCoreShm::SharedMem::ReadFrom(HeartbeatBlock(), ConnectHeartbeatAddress(), data, error);
        if (!ok) {
            return FailWith(error,
                            fmt::format("Failed to read FakeSharedMem SharedMem peer heartbeat: {}", error));
        }
        GetImpl().RecordSharedMemRead(HeartbeatBlock().size() + data.size() +
                                      ConnectHeartbeatAddress().size());
        timestamp = KvCommon::ToUint64(data);
        return true;
    } catch (const std::exception& e) {
        return FailWith(error,
                        fmt::format("Failed to read FakeSharedMem SharedMem peer heartbeat: {}", e.what()));
    } catch (...) {
        return FailWith(error,
                        "Failed to read FakeSharedMem SharedMem peer heartbeat due to an unknown error!");
    }
}

bool KvCoreShm::WriteSharedMemHeartbeat(std::uint64_t timestamp, std::string& error) {
    error.clear();
    try {
        const std::string text = fmt::format("{}", timestamp);
        if (!::KvCoreShm::SharedMem::WriteTo(HeartbeatBlock(), CoreHeartbeatAddress(), text, error)) {
            return FailWith(error,
                            fmt::format("Failed to send a FakeSharedMem SharedMem heartbeat: {}", error));
        }
        GetImpl().RecordSharedMemWrite(HeartbeatBlock().size() + text.size() + CoreHeartbeatAddress().size());
        return true;
    } catch (const std::exception& e) {
        return FailWith(error,
                        fmt::format("Failed to send a FakeSharedMem SharedMem heartbeat: {}", e.what()));
    } catch (...) {
        return FailWith(error, "Failed to send a FakeSharedMem SharedMem heartbeat due to an unknown error!");
    }
}

}  // namespace KvFakeShm
