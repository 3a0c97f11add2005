#include "kvfakeshm/FakeSharedMem.hpp"

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <shared_mutex>

#include "kvcoreshm/SharedMem.hpp"
#include "kvfakeshm/FakeSharedMemImpl.hpp"
#include "kvlog/Logging.hpp"

namespace KvFakeShm {

FakeSharedMem::FakeSharedMem() : impl(std::make_unique<Impl>(this)) {}
FakeSharedMem::~FakeSharedMem() = default;

std::shared_ptr<TransportChannel> FakeSharedMem::Impl::GetChannel(
    const TransportDescriptor& transport) const {
    // Member pointers ignore `mutable`, and a slot lock is taken shared by the const queries too.
    auto& self = const_cast<Impl&>(*this);
    std::shared_lock lock(self.*transport.lock);
    return self.*transport.channel;
}

void FakeSharedMem::Impl::SetChannel(const TransportDescriptor& transport,
                                     std::shared_ptr<TransportChannel> channel) {
    std::shared_ptr<TransportChannel> previous;
    {
        std::unique_lock lock(this->*transport.lock);
        previous = std::exchange(this->*transport.channel, std::move(channel));
    }
    // The old channel, if this was its last reference, is destroyed here, outside the slot lock.
}

bool FakeSharedMem::Impl::IsEnabled(const TransportDescriptor& transport) const {
    return peerType.load() != PeerType::None && (transports.load() & transport.kind) != 0;
}

bool FakeSharedMem::Impl::IsPeerAlive(const TransportDescriptor& transport) const {
    const auto channel = GetChannel(transport);
    if (channel == nullptr || !channel->connected.load()) {
        return false;
    }
    const auto elapsed =
        static_cast<std::uint64_t>(SteadyNowNs()) - static_cast<std::uint64_t>(channel->lastSeen.load());
    std::uint64_t timeout = 0;
    {
        std::shared_lock lock(tuningLock);
        timeout = tuning.*transport.livenessTimeout;
    }
    // The liveness time-outs count units of 10 ms.
    return elapsed <= timeout * 10'000'000ULL;
}

namespace {

// A user can write any 64-bit count into the tuning file; the window saturates instead of wrapping.
std::int64_t MillisecondsToNs(std::uint64_t ms) {
    constexpr std::uint64_t kLimit = static_cast<std::uint64_t>(INT64_MAX) / 1'000'000ULL;
    return static_cast<std::int64_t>(std::min(ms, kLimit) * 1'000'000ULL);
}

}  // namespace

std::int64_t FakeSharedMem::Impl::LatencyWindowNs() const {
    std::shared_lock lock(tuningLock);
    return MillisecondsToNs(tuning.LatencySmoothingWindow);
}

std::int64_t FakeSharedMem::Impl::ThroughputWindowNs() const {
    std::shared_lock lock(tuningLock);
    return MillisecondsToNs(tuning.ThroughputSmoothingWindow);
}

void FakeSharedMem::Impl::RecordSharedMemRead(std::uint64_t size) {
    if (const auto channel = GetChannel(kSharedMemTransport)) {
        channel->read.Record(size, SteadyNowNs(), ThroughputWindowNs());
    }
}

void FakeSharedMem::Impl::RecordSharedMemWrite(std::uint64_t size) {
    if (const auto channel = GetChannel(kSharedMemTransport)) {
        channel->write.Record(size, SteadyNowNs(), ThroughputWindowNs());
    }
}

bool FakeSharedMem::Impl::ReadFromChannel(const TransportDescriptor& transport, const std::string& block,
                                          const std::string& address, std::string& data,
                                          std::string& error) const {
    error.clear();
    auto fail = [&](std::string_view reason) {
        error = fmt::format("FakeSharedMem has failed to read {} message: {}", transport.word, reason);
        KVLOG(KvLog::kError, "{}", error);
        return false;
    };
    try {
        const auto channel = GetChannel(transport);
        if (channel == nullptr) {
            return fail("The transport channel has not been initialized!");
        }
        std::shared_lock lock(channel->blockStoreLock);
        const auto foundBlock = channel->blockStore.find(block);
        if (foundBlock == channel->blockStore.end()) {
            return fail(fmt::format("Block '{}' does not exist!", block));
        }
        const auto foundAddress = foundBlock->second.find(address);
        if (foundAddress == foundBlock->second.end()) {
            return fail(fmt::format("Address '{}' does not exist!", address));
        }
        data.assign(foundAddress->second);
        return true;
    } catch (const std::exception& e) {
        return fail(e.what());
    } catch (...) {
        error = fmt::format("FakeSharedMem has failed to read {} message due to an unknown error!",
                            transport.word);
        KVLOG(KvLog::kError, "{}", error);
        return false;
    }
}

bool FakeSharedMem::IsInitialized() const {
    // From Initialize to Terminate, whatever mask the transport file gave: a file with every transport
    // off still leaves the watchers running, and Terminate must stop them.
    return impl->peerType.load() != PeerType::None;
}
bool FakeSharedMem::IsTcpEnabled() const {
    return impl->IsEnabled(kTcpTransport);
}
bool FakeSharedMem::IsIpcEnabled() const {
    return impl->IsEnabled(kIpcTransport);
}
bool FakeSharedMem::IsSharedMemEnabled() const {
    return impl->IsEnabled(kSharedMemTransport);
}

Tuning FakeSharedMem::GetTuning() const {
    return impl->GetTuning();
}

bool FakeSharedMem::IsTcpPeerAlive() const {
    return impl->IsPeerAlive(kTcpTransport);
}
bool FakeSharedMem::IsIpcPeerAlive() const {
    return impl->IsPeerAlive(kIpcTransport);
}
bool FakeSharedMem::IsSharedMemPeerAlive() const {
    return impl->IsPeerAlive(kSharedMemTransport);
}

namespace {

template <typename Getter>
auto ChannelFigure(const FakeSharedMem::Impl& impl, const TransportDescriptor& transport, Getter getter) {
    const auto channel = impl.GetChannel(transport);
    return channel == nullptr ? decltype(getter(*channel)){} : getter(*channel);
}

std::chrono::nanoseconds Latency(const FakeSharedMem::Impl& impl, const TransportDescriptor& transport) {
    return ChannelFigure(impl, transport, [](const TransportChannel& c) {
        return std::chrono::nanoseconds(static_cast<std::int64_t>(c.latency.Latency()));
    });
}

std::chrono::nanoseconds Smoothed(const FakeSharedMem::Impl& impl, const TransportDescriptor& transport) {
    return ChannelFigure(impl, transport, [](const TransportChannel& c) {
        return std::chrono::nanoseconds(static_cast<std::int64_t>(c.latency.Smoothed()));
    });
}

std::uint64_t Rate(const FakeSharedMem::Impl& impl, const TransportDescriptor& transport,
                   StatsWindow TransportChannel::*window) {
    return ChannelFigure(impl, transport, [window](const TransportChannel& c) { return (c.*window).Sum(); });
}

}  // namespace

std::chrono::nanoseconds FakeSharedMem::GetTcpLatency() const {
    return Latency(*impl, kTcpTransport);
}
std::chrono::nanoseconds FakeSharedMem::GetIpcLatency() const {
    return Latency(*impl, kIpcTransport);
}
std::chrono::nanoseconds FakeSharedMem::GetSharedMemLatency() const {
    return Latency(*impl, kSharedMemTransport);
}
std::chrono::nanoseconds FakeSharedMem::GetTcpSmoothedLatency() const {
    return Smoothed(*impl, kTcpTransport);
}
std::chrono::nanoseconds FakeSharedMem::GetIpcSmoothedLatency() const {
    return Smoothed(*impl, kIpcTransport);
}
std::chrono::nanoseconds FakeSharedMem::GetSharedMemSmoothedLatency() const {
    return Smoothed(*impl, kSharedMemTransport);
}

std::uint64_t FakeSharedMem::GetTcpReadRate() const {
    return Rate(*impl, kTcpTransport, &TransportChannel::read);
}
std::uint64_t FakeSharedMem::GetIpcReadRate() const {
    return Rate(*impl, kIpcTransport, &TransportChannel::read);
}
std::uint64_t FakeSharedMem::GetSharedMemReadRate() const {
    return Rate(*impl, kSharedMemTransport, &TransportChannel::read);
}
std::uint64_t FakeSharedMem::GetTcpReadRateWithMeta() const {
    return Rate(*impl, kTcpTransport, &TransportChannel::readWithMeta);
}
std::uint64_t FakeSharedMem::GetIpcReadRateWithMeta() const {
    return Rate(*impl, kIpcTransport, &TransportChannel::readWithMeta);
}
std::uint64_t FakeSharedMem::GetTcpWriteRate() const {
    return Rate(*impl, kTcpTransport, &TransportChannel::write);
}
std::uint64_t FakeSharedMem::GetIpcWriteRate() const {
    return Rate(*impl, kIpcTransport, &TransportChannel::write);
}
std::uint64_t FakeSharedMem::GetSharedMemWriteRate() const {
    return Rate(*impl, kSharedMemTransport, &TransportChannel::write);
}
std::uint64_t FakeSharedMem::GetTcpWriteRateWithMeta() const {
    return Rate(*impl, kTcpTransport, &TransportChannel::writeWithMeta);
}
std::uint64_t FakeSharedMem::GetIpcWriteRateWithMeta() const {
    return Rate(*impl, kIpcTransport, &TransportChannel::writeWithMeta);
}

bool FakeSharedMem::ReadFrom_Tcp(const std::string& block, const std::string& address, std::string& data,
                                 std::string& error) {
    return IsTcpEnabled() && impl->ReadFromChannel(kTcpTransport, block, address, data, error);
}

bool FakeSharedMem::ReadFrom_Ipc(const std::string& block, const std::string& address, std::string& data,
                                 std::string& error) {
    return IsIpcEnabled() && impl->ReadFromChannel(kIpcTransport, block, address, data, error);
}

bool FakeSharedMem::ReadFrom_SharedMem(const std::string& block, const std::string& address,
                                       std::string& data, std::string& error) {
    if (!IsSharedMemEnabled()) {
        return false;
    }
    std::string value, readError;
    const bool ok = ::KvCoreShm::SharedMem::ReadFrom(block, address, value, readError);
    data = std::move(value);
    error = std::move(readError);
    if (!ok) {
        return false;
    }
    impl->RecordSharedMemRead(data.size() + address.size() + block.size());
    return true;
}

}  // namespace KvFakeShm
