// Feeds arbitrary bodies to the message handler of a Core peer's IPC channel.
#include <nng/nng.h>

#include <cstring>

#include "kvfakeshm/FakeSharedMemImpl.hpp"
#include "kvlog/Logging.hpp"

namespace {

class FuzzPeer : public KvFakeShm::FakeSharedMem {
  public:
    FuzzPeer() {
        GetImpl().peerType = KvFakeShm::PeerType::Core;
        GetImpl().transports = KvFakeShm::kTransportIpc;
        channel = std::make_shared<KvFakeShm::TransportChannel>();
        GetImpl().SetChannel(KvFakeShm::kIpcTransport, channel);
    }
    bool InitializeSharedMem(std::string&) override { return true; }
    bool TerminateSharedMem(std::string&) override { return true; }
    bool ReadPeerSharedMemHeartbeat(std::uint64_t&, std::string&) override { return false; }
    bool WriteSharedMemHeartbeat(std::uint64_t, std::string&) override { return false; }
    std::shared_ptr<KvFakeShm::TransportChannel> channel;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    KvLog::SetConsoleVerbosity(KvLog::kOff);  // every rejection logs an ERROR line
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static FuzzPeer peer;
    nng_msg* message = nullptr;
    if (nng_msg_alloc(&message, size) != 0) {
        return 0;
    }
    if (size > 0) {
        std::memcpy(nng_msg_body(message), data, size);
    }
    std::string error;
    const bool accepted = peer.GetImpl().HandleIpcMessage(message, error);
    nng_msg_free(message);
    if (accepted) {
        std::string value;
        peer.ReadFrom_Ipc("TestBlock", "TestAddress", value, error);
    }
    peer.channel->ResetConnection();  // keeps the store from growing across inputs
    return 0;
}
