#include "client/DashboardSource.hpp"

#include "kvfakeshm/FakeSharedMemImpl.hpp"

namespace KvClient {

namespace {

using KvFakeShm::FakeSharedMem;
using Flag = bool (FakeSharedMem::*)() const;
using Duration = std::chrono::nanoseconds (FakeSharedMem::*)() const;
using Rate = std::uint64_t (FakeSharedMem::*)() const;
using ReadOperation = bool (FakeSharedMem::*)(const std::string&, const std::string&, std::string&,
                                              std::string&);

// The named queries of one transport; a missing one (SharedMem's rates with meta) reads as 0.
struct Queries {
    Flag enabled;
    Flag alive;
    Duration latency;
    Duration smoothedLatency;
    Rate readRate;
    Rate readRateWithMeta;
    Rate writeRate;
    Rate writeRateWithMeta;
    ReadOperation read;
    const KvFakeShm::TransportDescriptor* descriptor;
};

constexpr Queries kTcpQueries{&FakeSharedMem::IsTcpEnabled,    &FakeSharedMem::IsTcpPeerAlive,
                              &FakeSharedMem::GetTcpLatency,   &FakeSharedMem::GetTcpSmoothedLatency,
                              &FakeSharedMem::GetTcpReadRate,  &FakeSharedMem::GetTcpReadRateWithMeta,
                              &FakeSharedMem::GetTcpWriteRate, &FakeSharedMem::GetTcpWriteRateWithMeta,
                              &FakeSharedMem::ReadFrom_Tcp,    &KvFakeShm::kTcpTransport};
constexpr Queries kIpcQueries{&FakeSharedMem::IsIpcEnabled,    &FakeSharedMem::IsIpcPeerAlive,
                              &FakeSharedMem::GetIpcLatency,   &FakeSharedMem::GetIpcSmoothedLatency,
                              &FakeSharedMem::GetIpcReadRate,  &FakeSharedMem::GetIpcReadRateWithMeta,
                              &FakeSharedMem::GetIpcWriteRate, &FakeSharedMem::GetIpcWriteRateWithMeta,
                              &FakeSharedMem::ReadFrom_Ipc,    &KvFakeShm::kIpcTransport};
constexpr Queries kSharedMemQueries{
    &FakeSharedMem::IsSharedMemEnabled,    &FakeSharedMem::IsSharedMemPeerAlive,
    &FakeSharedMem::GetSharedMemLatency,   &FakeSharedMem::GetSharedMemSmoothedLatency,
    &FakeSharedMem::GetSharedMemReadRate,  nullptr,
    &FakeSharedMem::GetSharedMemWriteRate, nullptr,
    &FakeSharedMem::ReadFrom_SharedMem,    &KvFakeShm::kSharedMemTransport};

const Queries& QueriesOf(KvFakeShm::TransportKind kind) {
    switch (kind) {
        case KvFakeShm::kTransportTcp:
            return kTcpQueries;
        case KvFakeShm::kTransportIpc:
            return kIpcQueries;
        default:
            return kSharedMemQueries;
    }
}

}  // namespace

TransportFigures LiveDashboardSource::Figures(KvFakeShm::TransportKind kind) const {
    const Queries& q = QueriesOf(kind);
    auto rate = [this](Rate query) { return query != nullptr ? (shm_.*query)() : 0; };
    TransportFigures figures;
    figures.enabled = (shm_.*q.enabled)();
    figures.alive = (shm_.*q.alive)();
    figures.latency = (shm_.*q.latency)();
    figures.smoothedLatency = (shm_.*q.smoothedLatency)();
    figures.readRate = rate(q.readRate);
    figures.readRateWithMeta = rate(q.readRateWithMeta);
    figures.writeRate = rate(q.writeRate);
    figures.writeRateWithMeta = rate(q.writeRateWithMeta);
    figures.hasChannel = shm_.GetImpl().GetChannel(*q.descriptor) != nullptr;
    return figures;
}

bool LiveDashboardSource::Read(KvFakeShm::TransportKind kind, const std::string& block,
                               const std::string& address, std::string& data, std::string& error) {
    return (shm_.*QueriesOf(kind).read)(block, address, data, error);
}

}  // namespace KvClient
