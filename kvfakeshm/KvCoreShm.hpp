#pragma once

#include <memory>
#include <string>

#include "kvfakeshm/FakeSharedMem.hpp"

namespace KvFakeShm {

const std::string& HeartbeatBlock();
const std::string& ConnectHeartbeatAddress();
const std::string& CoreHeartbeatAddress();

// The Core peer: reads the Connect peer's heartbeat and writes its own in the legacy heartbeat block.
class KvCoreShm : public FakeSharedMem {
  public:
    KvCoreShm();
    ~KvCoreShm() override;

    bool InitializeSharedMem(std::string& error) override;
    bool TerminateSharedMem(std::string& error) override;
    bool ReadPeerSharedMemHeartbeat(std::uint64_t& timestamp, std::string& error) override;
    bool WriteSharedMemHeartbeat(std::uint64_t timestamp, std::string& error) override;

  private:
    struct Record {
        KvCoreShm* owner;
    };
    std::unique_ptr<Record> record;
};

// One pass of the SharedMem worker; false when the channel is gone.
bool RunSharedMemWorkerPass(FakeSharedMem::Impl& impl);
// Repeats the pass while the SharedMem channel is wanted; the thread names itself "SharedMemWorker".
void SharedMemWorker(FakeSharedMem::Impl& impl);

}  // namespace KvFakeShm
