#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "kvfakeshm/FakeSharedMem.hpp"
#include "kvfakeshm/Tuning.hpp"

namespace KvClient {

// One transport's figures as the dashboard shows them in one frame.
struct TransportFigures {
    bool enabled = false;
    bool alive = false;
    std::chrono::nanoseconds latency{0};
    std::chrono::nanoseconds smoothedLatency{0};
    std::uint64_t readRate = 0;
    std::uint64_t readRateWithMeta = 0;  // 0 for SharedMem, which has no message overhead
    std::uint64_t writeRate = 0;
    std::uint64_t writeRateWithMeta = 0;
    bool hasChannel = true;  // false once the transport's channel is gone (the peer exited in order)
};

// What the dashboard asks of the fake shared memory; the tests stand in for the live instance.
class DashboardSource {
  public:
    virtual ~DashboardSource() = default;
    virtual TransportFigures Figures(KvFakeShm::TransportKind kind) const = 0;
    // Over TCP or IPC only: the value the peer last published at block and address.
    virtual bool Read(KvFakeShm::TransportKind kind, const std::string& block, const std::string& address,
                      std::string& data, std::string& error) = 0;
    virtual KvFakeShm::Tuning GetTuning() const = 0;
};

class LiveDashboardSource : public DashboardSource {
  public:
    explicit LiveDashboardSource(KvFakeShm::FakeSharedMem& shm) : shm_(shm) {}

    TransportFigures Figures(KvFakeShm::TransportKind kind) const override;
    bool Read(KvFakeShm::TransportKind kind, const std::string& block, const std::string& address,
              std::string& data, std::string& error) override;
    KvFakeShm::Tuning GetTuning() const override { return shm_.GetTuning(); }

  private:
    KvFakeShm::FakeSharedMem& shm_;
};

}  // namespace KvClient
