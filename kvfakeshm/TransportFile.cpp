#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <mutex>
#include <shared_mutex>

#include "TransportConfig_generated.h"
#include "kvcommon/ConfigFolder.hpp"
#include "kvfakeshm/FakeSharedMemImpl.hpp"
#include "kvlog/Failure.hpp"

namespace KvFakeShm {
namespace {

using KvLog::FailWith;

std::string ChannelUrl(const FakeSharedMem::Impl& impl, const TransportDescriptor& transport) {
    const auto channel = impl.GetChannel(transport);
    if (channel == nullptr) {
        return {};
    }
    std::lock_guard lock(channel->urlLock);
    return channel->url;
}

flatbuffers::Offset<FakeShmConfig::TuningConfig> BuildTuning(flatbuffers::FlatBufferBuilder& builder,
                                                             const Tuning& t) {
    return FakeShmConfig::CreateTuningConfig(
        builder, t.SocketReceiveNonBlocking, t.SocketReceiveTimeout, t.SocketSendNonBlocking,
        t.SocketSendTimeout, t.SocketReconnectTimeMin, t.SocketReconnectTimeMax, t.WorkerRetryInterval,
        t.HeartbeatInterval, t.LivenessTimeout, t.LatencySmoothingWindow, t.ThroughputSmoothingWindow,
        t.SharedMemHeartbeatBlockSize, t.SharedMemLivenessTimeout);
}

// Written beside the file and renamed over it, so that a reader never sees half a file.
bool WriteWhole(const std::string& path, const std::uint8_t* data, std::size_t size) {
    const std::string temporary = fmt::format("{}.{}.tmp", path, getpid());
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        if (!out) {
            return false;
        }
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
        out.close();
        if (!out) {
            std::error_code ec;
            std::filesystem::remove(temporary, ec);
            return false;
        }
    }
    std::error_code ec;
    std::filesystem::rename(temporary, path, ec);
    if (ec) {
        std::filesystem::remove(temporary, ec);
        return false;
    }
    return true;
}

}  // namespace

bool FakeSharedMem::Impl::SaveTransportFile(std::string& error) {
    error.clear();
    const std::string& path = KvCommon::GetTransportFilePath();
    KVLOG(KvLog::kInfo, "Saving the FakeSharedMem transport intermediate configuration file '{}'...", path);
    const PeerType peer = peerType.load();
    if (peer != PeerType::Connect) {
        return FailWith(error,
                        fmt::format("The FakeSharedMem transport intermediate configuration file '{}' can "
                                    "only be saved via the 'Connect' peer and not '{}'!",
                                    path, PeerTypeName(peer)));
    }
    return KvLog::GuardFailures(
        error,
        [&] {
            flatbuffers::FlatBufferBuilder builder(1024);
            const auto channelConfig = [&](const TransportDescriptor& transport) {
                const std::string url = ChannelUrl(*this, transport);
                const auto urlOffset = url.empty() ? 0 : builder.CreateString(url);
                return FakeShmConfig::CreateChannelConfig(builder, IsEnabled(transport), urlOffset);
            };
            const auto ipc = channelConfig(kIpcTransport);
            const auto sharedMem =
                FakeShmConfig::CreateSharedMemConfig(builder, IsEnabled(kSharedMemTransport));
            const auto tcp = channelConfig(kTcpTransport);
            const auto tuningTable = BuildTuning(builder, GetTuning());
            builder.Finish(FakeShmConfig::CreateTransportConfig(builder, kTransportFileVersion, ipc,
                                                                sharedMem, tcp, tuningTable));
            if (!WriteWhole(path, builder.GetBufferPointer(), builder.GetSize())) {
                return FailWith(error,
                                fmt::format("Failed to save the FakeSharedMem transport intermediate "
                                            "configuration file '{}' to disk: Failed to open the file for "
                                            "writing!",
                                            path));
            }
            KVLOG(KvLog::kInfo,
                  "The FakeSharedMem transport intermediate configuration file '{}' has been saved "
                  "successfully!",
                  path);
            if (std::string tuningError; !SaveTuningFile(tuningError)) {
                return FailWith(
                    error, fmt::format("Failed to save the FakeSharedMem tuning configuration file '{}' to "
                                       "disk: {}!",
                                       KvCommon::GetTuningFilePath(), tuningError));
            }
            return true;
        },
        [&](const std::string& text) {
            return fmt::format(
                "Failed to save the FakeSharedMem transport intermediate configuration file '{}' to disk: {}",
                path, text);
        },
        [&] {
            return fmt::format(
                "Failed to save the FakeSharedMem transport intermediate configuration file '{}' to "
                "disk due to an unknown error!",
                path);
        });
}

bool FakeSharedMem::Impl::EraseTransportFile(std::string& error) {
    error.clear();
    const std::string& path = KvCommon::GetTransportFilePath();
    KVLOG(KvLog::kInfo, "Erasing the FakeSharedMem transport intermediate configuration file '{}'...", path);
    return KvLog::GuardFailures(
        error,
        [&] {
            std::error_code ec;
            if (!std::filesystem::exists(path, ec)) {
                KVLOG(KvLog::kWarning,
                      "The FakeSharedMem transport intermediate configuration file '{}' does not exist; "
                      "nothing to "
                      "erase!",
                      path);
                return true;
            }
            if (!std::filesystem::remove(path, ec) || ec) {
                return FailWith(error, fmt::format("Failed to erase the FakeSharedMem transport intermediate "
                                                   "configuration file '{}'!",
                                                   path));
            }
            KVLOG(KvLog::kInfo,
                  "The FakeSharedMem transport intermediate configuration file '{}' has been erased "
                  "successfully!",
                  path);
            return true;
        },
        [&](const std::string& text) {
            return fmt::format(
                "Failed to erase the FakeSharedMem transport intermediate configuration file '{}': {}", path,
                text);
        },
        [&] {
            return fmt::format(
                "Failed to erase the FakeSharedMem transport intermediate configuration file '{}' due "
                "to an unknown error!",
                path);
        });
}

}  // namespace KvFakeShm
