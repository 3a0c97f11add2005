#pragma once

#include <memory>

#include "kvfakeshm/FakeSharedMem.hpp"
#include "kvfakeshm/FakeSharedMemImpl.hpp"

namespace KvTest {

// A fake shared memory of its own, with the legacy hooks stubbed, so that tests need not share the
// process-wide instance.
class TestPeer : public KvFakeShm::FakeSharedMem {
  public:
    TestPeer() = default;
    // A test that ends early must not leave workers running on a destroyed object.
    ~TestPeer() override {
        if (std::string error; IsInitialized())
            Terminate(error);
    }
    bool InitializeSharedMem(std::string& error) override {
        error.clear();
        return true;
    }
    bool TerminateSharedMem(std::string& error) override {
        error.clear();
        return true;
    }
    bool ReadPeerSharedMemHeartbeat(std::uint64_t&, std::string& error) override {
        error = "stub";
        return false;
    }
    bool WriteSharedMemHeartbeat(std::uint64_t, std::string& error) override {
        error = "stub";
        return false;
    }

    // Plays an initialised peer without going through the transport set-up.
    void Pretend(KvFakeShm::PeerType peer, std::uint8_t transports) {
        GetImpl().peerType = peer;
        GetImpl().transports = transports;
    }
    std::shared_ptr<KvFakeShm::TransportChannel> AddChannel(const KvFakeShm::TransportDescriptor& transport) {
        auto channel = std::make_shared<KvFakeShm::TransportChannel>();
        GetImpl().SetChannel(transport, channel);
        return channel;
    }
    // The public channel read of the given transport.
    bool ReadFrom(const KvFakeShm::TransportDescriptor& transport, const std::string& block,
                  const std::string& address, std::string& data, std::string& error) {
        return transport.kind == KvFakeShm::kTransportIpc ? ReadFrom_Ipc(block, address, data, error)
                                                          : ReadFrom_Tcp(block, address, data, error);
    }
};

// After the Connect peer's file is gone: the SharedMem transport only, and no channel at all.
inline bool OnlySharedMemWithoutChannels(KvFakeShm::FakeSharedMem& shm) {
    auto& impl = shm.GetImpl();
    return impl.transports.load() == KvFakeShm::kTransportSharedMem &&
           impl.GetChannel(KvFakeShm::kIpcTransport) == nullptr &&
           impl.GetChannel(KvFakeShm::kTcpTransport) == nullptr &&
           impl.GetChannel(KvFakeShm::kSharedMemTransport) == nullptr;
}

// A stub Core peer with only the IPC channel.
struct IpcCorePeer {
    IpcCorePeer() {
        peer.Pretend(KvFakeShm::PeerType::Core, KvFakeShm::kTransportIpc);
        channel = peer.AddChannel(KvFakeShm::kIpcTransport);
    }
    TestPeer peer;
    std::shared_ptr<KvFakeShm::TransportChannel> channel;
};

}  // namespace KvTest
