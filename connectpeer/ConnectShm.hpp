#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "connectpeer/SegmentHost.hpp"
#include "kvfakeshm/FakeSharedMem.hpp"

namespace KvConnectPeer {

// The Connect peer's side of the fake shared memory: it owns the legacy segments (created when its
// SharedMem worker starts, removed when it stops), writes "ConnectHeartbeatTimestamp" and reads
// "CoreHeartbeatTimestamp".
class ConnectShm : public KvFakeShm::FakeSharedMem {
  public:
    ConnectShm();
    ~ConnectShm() override;

    // The block and address it publishes in its data segment; set before Initialize.
    void SetPublished(std::string block, std::string address);
    // Writes the value into the data segment when it exists.
    void PublishToSegment(const std::string& value);

    bool InitializeSharedMem(std::string& error) override;
    bool TerminateSharedMem(std::string& error) override;
    bool ReadPeerSharedMemHeartbeat(std::uint64_t& timestamp, std::string& error) override;
    bool WriteSharedMemHeartbeat(std::uint64_t timestamp, std::string& error) override;

  private:
    std::mutex hostLock_;
    std::unique_ptr<SegmentHost> host_;
    std::string block_ = "TestBlock";
    std::string address_ = "TestAddress";
};

}  // namespace KvConnectPeer
