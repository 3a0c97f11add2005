#include <cstdlib>
#include <cstring>
#include <mutex>
#include <shared_mutex>

#include "kvfakeshm/BoundedWait.hpp"
#include "kvfakeshm/FakeSharedMemImpl.hpp"
#include "kvfakeshm/MessageWire.hpp"
#include "kvlog/Failure.hpp"

namespace KvFakeShm {
namespace {

using KvLog::FailWith;

// Runs an operation and turns any escaping exception into its failure message. The prefix is formatted
// only on failure: the accepted path must stay free of formatting.
template <typename Prefix, typename Body>
bool Guarded(std::string& error, Prefix&& prefix, Body&& body) {
    return KvLog::GuardFailures(
        error, body, [&](const std::string& text) { return fmt::format("{}: {}", prefix(), text); },
        [&] { return fmt::format("{} due to an unknown error!", prefix()); });
}

std::uint8_t WireSource(PeerType peer) {
    return static_cast<std::uint8_t>(peer == PeerType::Connect ? FakeShm::SourceType_Connect
                                                               : FakeShm::SourceType_Core);
}

bool FromWireSource(std::uint8_t source, PeerType& peer) {
    switch (source) {
        case FakeShm::SourceType_Core:
            peer = PeerType::Core;
            return true;
        case FakeShm::SourceType_Connect:
            peer = PeerType::Connect;
            return true;
        default:
            return false;
    }
}

// NNG does not promise an 8-byte aligned body; the generated accessors load scalars in place.
class AlignedBody {
  public:
    AlignedBody(const void* body, std::size_t length) {
        if (reinterpret_cast<std::uintptr_t>(body) % alignof(std::uint64_t) == 0) {
            data_ = static_cast<const std::uint8_t*>(body);
            return;
        }
        copy_.reset(new std::uint64_t[(length + 7) / 8]);
        std::memcpy(copy_.get(), body, length);
        data_ = reinterpret_cast<const std::uint8_t*>(copy_.get());
    }
    const std::uint8_t* Data() const { return data_; }

  private:
    std::unique_ptr<std::uint64_t[]> copy_;
    const std::uint8_t* data_ = nullptr;
};

// The channel when it exists and its socket is open; otherwise null, with the failure reported. The
// send checks the socket again under socketLock, which it takes once: a second turn at the lock would
// queue behind a blocking receive again.
template <typename Prefix>
std::shared_ptr<TransportChannel> SendableChannel(const FakeSharedMem::Impl& impl,
                                                  const TransportDescriptor& transport, Prefix&& prefix,
                                                  std::string& error) {
    auto channel = impl.GetChannel(transport);
    if (channel == nullptr) {
        FailWith(error, fmt::format("{}: The {} transport channel has not been initialized yet!", prefix(),
                                    transport.word));
        return nullptr;
    }
    if (!channel->socketOpen.load()) {
        FailWith(error, fmt::format("{}: The {} transport socket has not been initialized yet!", prefix(),
                                    transport.word));
        return nullptr;
    }
    return channel;
}

}  // namespace

bool FakeSharedMem::Impl::SendMessage(const TransportDescriptor& transport, const FakeShm::MessageT& message,
                                      std::string& error) {
    error.clear();
    const auto prefix = [&] {
        return fmt::format("Failed to send the FakeSharedMem {} message", transport.word);
    };
    return Guarded(error, prefix, [&] {
        const auto channel = SendableChannel(*this, transport, prefix, error);
        if (channel == nullptr) {
            return false;
        }
        flatbuffers::FlatBufferBuilder builder(kBuilderInitialSize);
        BuildMessage(message, builder);
        const std::size_t size = builder.GetSize();

        nng_msg* outgoing = nullptr;
        if (nng_msg_alloc(&outgoing, size) != 0) {
            return FailWith(error, fmt::format("{}: The {} transport has failed to allocate nng_msg!",
                                               prefix(), transport.word));
        }
        std::memcpy(nng_msg_body(outgoing), builder.GetBufferPointer(), size);

        bool nonBlocking = false;
        std::int32_t timeoutMs = 0;
        {
            std::shared_lock lock(tuningLock);
            nonBlocking = tuning.SocketSendNonBlocking;
            timeoutMs = tuning.SocketSendTimeout;
        }
        // The live tuning bounds the wait, whatever options the socket was opened with.
        if (const int rc = SendBounded(*channel, outgoing, nonBlocking, timeoutMs); rc != 0) {
            nng_msg_free(outgoing);
            if (rc == NNG_ECLOSED) {
                return FailWith(
                    error, fmt::format("{}: The {} transport socket has not been initialized yet!", prefix(),
                                       transport.word));
            }
            return FailWith(error, fmt::format("{}: {}", prefix(), nng_strerror(rc)));
        }
        channel->lastSent.store(static_cast<std::int64_t>(message.timestamp));
        channel->writeWithMeta.Record(size, SteadyNowNs(), ThroughputWindowNs());
        return true;
    });
}

bool FakeSharedMem::Impl::SendHeartbeat(const TransportDescriptor& transport, std::string& error) {
    error.clear();
    const auto prefix = [&] {
        return fmt::format("Failed to send a FakeSharedMem {} heartbeat", transport.word);
    };
    return Guarded(error, prefix, [&] {
        const auto channel = SendableChannel(*this, transport, prefix, error);
        if (channel == nullptr) {
            return false;
        }
        FakeShm::MessageT message;
        message.version = kMessageVersion;
        message.timestamp = static_cast<std::uint64_t>(SteadyNowNs());
        message.source = static_cast<FakeShm::SourceType>(WireSource(peerType.load()));
        FakeShm::HeartbeatT heartbeat;
        heartbeat.version = kHeartbeatVersion;
        message.payload.Set(std::move(heartbeat));
        if (std::string sendError; !SendMessage(transport, message, sendError)) {
            return FailWith(error, fmt::format("{}: {}", prefix(), sendError));
        }
        return true;
    });
}

bool FakeSharedMem::Impl::HandleMessage(const TransportDescriptor& transport, nng_msg* message,
                                        std::string& error) {
    error.clear();
    const std::int64_t receivedAt = SteadyNowNs();
    const auto prefix = [&] {
        return fmt::format("Failed to handle the FakeSharedMem {} message", transport.word);
    };
    return Guarded(error, prefix, [&] {
        auto reject = [&](std::string_view reason) {
            return FailWith(error, fmt::format("{}: {}", prefix(), reason));
        };
        const auto channel = GetChannel(transport);
        if (channel == nullptr) {
            return reject(
                fmt::format("The {} transport channel has not been initialized yet!", transport.word));
        }
        if (message == nullptr) {
            return reject("Invalid message!");
        }
        const std::size_t length = nng_msg_len(message);
        const AlignedBody body(nng_msg_body(message), length);
        const FakeShm::Message* root = CheckMessageBody(body.Data(), length);
        if (root == nullptr) {
            return reject("Invalid FakeShm Message!");
        }
        if (root->version() != kMessageVersion) {
            KVLOG(KvLog::kWarning, "FakeShm Message version mismatch: (expected {}, got {})", kMessageVersion,
                  root->version());
        }
        PeerType source = PeerType::None;
        if (!FromWireSource(static_cast<std::uint8_t>(root->source()), source)) {
            return reject("Unknown source type!");
        }
        if (source == peerType.load()) {
            return reject(fmt::format("The source has the same peer type '{}' as us!", PeerTypeName(source)));
        }

        std::uint64_t readSize = 0;
        switch (root->payload_type()) {
            case FakeShm::Payload_Heartbeat: {
                const auto* heartbeat = root->payload_as_Heartbeat();
                if (heartbeat == nullptr) {
                    return reject("Invalid FakeShm Heartbeat payload!");
                }
                channel->lastSeen.store(receivedAt);
                if (heartbeat->version() != kHeartbeatVersion) {
                    KVLOG(KvLog::kWarning, "FakeShm Heartbeat version mismatch: (expected {}, got {})",
                          kHeartbeatVersion, heartbeat->version());
                }
                readSize = 4;
                break;
            }
            case FakeShm::Payload_SharedMem: {
                const auto* payload = root->payload_as_SharedMem();
                if (payload == nullptr) {
                    return reject("Invalid FakeShm SharedMem payload!");
                }
                channel->lastSeen.store(receivedAt);
                if (payload->version() != kSharedMemVersion) {
                    KVLOG(KvLog::kWarning, "FakeShm SharedMem version mismatch: (expected {}, got {})",
                          kSharedMemVersion, payload->version());
                }
                auto text = [](const flatbuffers::String* s) {
                    return s == nullptr ? std::string() : s->str();
                };
                std::string block = text(payload->block());
                std::string address = text(payload->address());
                std::string data = text(payload->data());
                readSize = data.size() + 4 + block.size() + address.size();
                std::unique_lock lock(channel->blockStoreLock);
                channel->blockStore[std::move(block)][std::move(address)] = std::move(data);
                break;
            }
            default:
                return reject("Unknown payload type!");
        }
        // The receipt time read on entry serves lastSeen and every sample: one clock reading per message.
        const std::int64_t throughputWindow = ThroughputWindowNs();
        channel->read.Record(readSize, receivedAt, throughputWindow);

        const std::uint64_t sent = root->timestamp();
        if (sent != 0 && static_cast<std::uint64_t>(receivedAt) > sent) {
            const std::uint64_t latency = static_cast<std::uint64_t>(receivedAt) - sent;
            channel->latency.Record(latency, receivedAt, LatencyWindowNs());
            if (const auto tap = latencyTap.load(std::memory_order_relaxed); tap != nullptr) {
                tap(transport.kind, latency);
            }
        }
        channel->readWithMeta.Record(length, receivedAt, throughputWindow);
        return true;
    });
}

bool FakeSharedMem::Impl::SendIpcMessage(const FakeShm::MessageT& message, std::string& error) {
    return SendMessage(kIpcTransport, message, error);
}
bool FakeSharedMem::Impl::SendTcpMessage(const FakeShm::MessageT& message, std::string& error) {
    return SendMessage(kTcpTransport, message, error);
}
bool FakeSharedMem::Impl::HandleIpcMessage(nng_msg* message, std::string& error) {
    return HandleMessage(kIpcTransport, message, error);
}
bool FakeSharedMem::Impl::HandleTcpMessage(nng_msg* message, std::string& error) {
    return HandleMessage(kTcpTransport, message, error);
}
bool FakeSharedMem::Impl::SendIpcHeartbeat(std::string& error) {
    return SendHeartbeat(kIpcTransport, error);
}
bool FakeSharedMem::Impl::SendTcpHeartbeat(std::string& error) {
    return SendHeartbeat(kTcpTransport, error);
}

}  // namespace KvFakeShm
