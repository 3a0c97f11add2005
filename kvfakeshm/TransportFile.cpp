#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <mutex>
#include <shared_mutex>
#include <vector>

#include "kvcommon/ConfigFolder.hpp"
#include "kvfakeshm/FakeSharedMemImpl.hpp"
#include "kvfakeshm/TransportFile.hpp"
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

namespace {

void CopyTuning(const FakeShmConfig::TuningConfig& from, Tuning& to) {
    to.SocketReceiveNonBlocking = from.socket_receive_non_blocking();
    to.SocketReceiveTimeout = from.socket_receive_timeout();
    to.SocketSendNonBlocking = from.socket_send_non_blocking();
    to.SocketSendTimeout = from.socket_send_timeout();
    to.SocketReconnectTimeMin = from.socket_reconnect_time_min();
    to.SocketReconnectTimeMax = from.socket_reconnect_time_max();
    to.WorkerRetryInterval = from.worker_retry_interval();
    to.HeartbeatInterval = from.heartbeat_interval();
    to.LivenessTimeout = from.liveness_timeout();
    to.LatencySmoothingWindow = from.latency_smoothing_window();
    to.ThroughputSmoothingWindow = from.throughput_smoothing_window();
    to.SharedMemHeartbeatBlockSize = from.shared_mem_heartbeat_block_size();
    to.SharedMemLivenessTimeout = from.shared_mem_liveness_timeout();
}

}  // namespace

const FakeShmConfig::TransportConfig* CheckTransportFile(const std::uint8_t* data, std::size_t size) {
    if (size < 12) {
        return nullptr;
    }
    const auto rootOffset = flatbuffers::ReadScalar<flatbuffers::uoffset_t>(data);
    if (rootOffset == 0 || rootOffset >= size) {
        return nullptr;
    }
    flatbuffers::Verifier::Options options;
    options.max_depth = 64;
    options.max_tables = 1'000'000;
    options.check_alignment = true;
    flatbuffers::Verifier verifier(data, size, options);
    if (!FakeShmConfig::VerifyTransportConfigBuffer(verifier)) {
        return nullptr;
    }
    return FakeShmConfig::GetTransportConfig(data);
}

bool FakeSharedMem::Impl::LoadTransportFile(std::string& error) {
    error.clear();
    const std::string& path = KvCommon::GetTransportFilePath();
    KVLOG(KvLog::kInfo, "Loading the FakeSharedMem transport intermediate configuration file '{}'...", path);
    const auto named = [&](std::string_view form) { return fmt::format(fmt::runtime(form), path); };
    return KvLog::GuardFailures(
        error,
        [&] {
            const PeerType peer = peerType.load();
            if (peer != PeerType::Core) {
                return FailWith(
                    error, fmt::format("The FakeSharedMem transport intermediate configuration file '{}' "
                                       "can only be loaded via the 'Core' peer and not '{}'!",
                                       path, PeerTypeName(peer)));
            }
            std::error_code ec;
            if (!std::filesystem::exists(path, ec)) {
                return FailWith(
                    error,
                    named(
                        "The FakeSharedMem transport intermediate configuration file '{}' does not exist!"));
            }
            std::ifstream in(path, std::ios::binary | std::ios::ate);
            if (!in) {
                return FailWith(
                    error,
                    named(
                        "Failed to open the FakeSharedMem transport intermediate configuration file '{}' for "
                        "reading!"));
            }
            const std::streamoff size = in.tellg();
            if (size <= 0) {
                return FailWith(error, named("The FakeSharedMem transport intermediate configuration file "
                                             "'{}' is empty or invalid!"));
            }
            // 8-byte aligned storage: the verifier checks alignment and the accessors read in place.
            std::vector<std::uint64_t> storage((static_cast<std::size_t>(size) + 7) / 8, 0);
            auto* bytes = reinterpret_cast<std::uint8_t*>(storage.data());
            in.seekg(0);
            in.read(reinterpret_cast<char*>(bytes), size);
            if (!in) {
                return FailWith(
                    error,
                    named(
                        "Failed to read the FakeSharedMem transport intermediate configuration file '{}'!"));
            }
            const auto* root = CheckTransportFile(bytes, static_cast<std::size_t>(size));
            if (root == nullptr) {
                return FailWith(error, named("The FakeSharedMem transport intermediate configuration file "
                                             "'{}' is corrupted or invalid!"));
            }
            if (root->version() != kTransportFileVersion) {
                KVLOG(KvLog::kWarning,
                      "The FakeSharedMem transport intermediate configuration file '{}' version mismatch: "
                      "(expected "
                      "{}, got {})",
                      path, kTransportFileVersion, root->version());
            }
            std::uint8_t mask = 0;
            std::string ipcUrl, tcpUrl;
            if (const auto* ipc = root->ipc()) {
                mask |= ipc->enabled() ? kTransportIpc : 0;
                ipcUrl = ipc->url() != nullptr ? ipc->url()->str() : std::string();
            }
            if (const auto* sharedMem = root->shared_mem(); sharedMem != nullptr && sharedMem->enabled()) {
                mask |= kTransportSharedMem;
            }
            if (const auto* tcp = root->tcp()) {
                mask |= tcp->enabled() ? kTransportTcp : 0;
                tcpUrl = tcp->url() != nullptr ? tcp->url()->str() : std::string();
            }
            if (const auto* tuningTable = root->tuning()) {
                std::unique_lock lock(tuningLock);
                CopyTuning(*tuningTable, tuning);
            }
            for (const auto* transport : {&kIpcTransport, &kTcpTransport, &kSharedMemTransport}) {
                std::string stopError, removeError;
                if (!StopAndRemoveChannel(*transport, stopError, removeError)) {
                    return FailWith(
                        error, fmt::format("FakeSharedMem has failed to load configuration from disk: {}",
                                           stopError.empty() ? removeError : stopError));
                }
            }
            transports.store(mask);
            const auto create = [&](const TransportDescriptor& transport, const std::string* url) {
                if ((mask & transport.kind) == 0) {
                    return true;
                }
                if (std::string reason; !InitializeChannel(transport, reason)) {
                    return FailWith(
                        error,
                        fmt::format("FakeSharedMem has failed to load configuration from disk: {}", reason));
                }
                if (const auto channel = GetChannel(transport); channel != nullptr && url != nullptr) {
                    std::lock_guard lock(channel->urlLock);
                    channel->peerUrl = *url;
                }
                return true;
            };
            if (!create(kIpcTransport, &ipcUrl) || !create(kTcpTransport, &tcpUrl) ||
                !create(kSharedMemTransport, nullptr)) {
                return false;
            }
            KVLOG(KvLog::kInfo,
                  "The FakeSharedMem transport intermediate configuration file '{}' has been loaded "
                  "successfully!",
                  path);
            return true;
        },
        [&](const std::string& text) {
            return fmt::format(
                "Failed to load the FakeSharedMem transport intermediate configuration file '{}' from disk: "
                "{}",
                path, text);
        },
        [&] {
            return fmt::format(
                "Failed to load the FakeSharedMem transport intermediate configuration file '{}' from "
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
