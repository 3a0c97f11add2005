#include <gtest/gtest.h>

#include <thread>

#include "kvfakeshm/FakeSharedMemImpl.hpp"
#include "tests/support/TestPeer.hpp"
#include "tests/support/TestSupport.hpp"

using namespace std::chrono_literals;
using KvFakeShm::kIpcTransport;
using KvFakeShm::kSharedMemTransport;
using KvFakeShm::kTcpTransport;
using KvFakeShm::PeerType;

namespace {

void ExpectAllZero(const KvFakeShm::FakeSharedMem& shm) {
    EXPECT_FALSE(shm.IsTcpPeerAlive());
    EXPECT_FALSE(shm.IsIpcPeerAlive());
    EXPECT_FALSE(shm.IsSharedMemPeerAlive());
    EXPECT_EQ(shm.GetTcpLatency().count(), 0);
    EXPECT_EQ(shm.GetIpcSmoothedLatency().count(), 0);
    EXPECT_EQ(shm.GetSharedMemLatency().count(), 0);
    EXPECT_EQ(shm.GetTcpReadRate() + shm.GetIpcReadRate() + shm.GetSharedMemReadRate(), 0u);
    EXPECT_EQ(shm.GetTcpReadRateWithMeta() + shm.GetIpcReadRateWithMeta(), 0u);
    EXPECT_EQ(shm.GetTcpWriteRate() + shm.GetIpcWriteRate() + shm.GetSharedMemWriteRate(), 0u);
    EXPECT_EQ(shm.GetTcpWriteRateWithMeta() + shm.GetIpcWriteRateWithMeta(), 0u);
}

}  // namespace

TEST(FakeSharedMemQueries, BeforeInitializeEverythingIsOffAndReadsAreRefused) {
    KvTest::TestPeer shm;
    EXPECT_FALSE(shm.IsInitialized());
    EXPECT_FALSE(shm.IsTcpEnabled());
    EXPECT_FALSE(shm.IsIpcEnabled());
    EXPECT_FALSE(shm.IsSharedMemEnabled());
    ExpectAllZero(shm);
    std::string data = "kept", error = "previous";
    EXPECT_FALSE(shm.ReadFrom_Tcp("TestBlock", "TestAddress", data, error));
    EXPECT_FALSE(shm.ReadFrom_Ipc("TestBlock", "TestAddress", data, error));
    EXPECT_EQ(data, "kept");
    EXPECT_EQ(error, "previous");
    EXPECT_EQ(shm.GetTuning().LivenessTimeout, 5u);
}

TEST(FakeSharedMemQueries, EnabledTransportWithoutChannelReportsNothing) {
    KvTest::TestPeer shm;
    shm.Pretend(PeerType::Core, KvFakeShm::kTransportSharedMem | KvFakeShm::kTransportIpc);
    EXPECT_TRUE(shm.IsInitialized());
    EXPECT_TRUE(shm.IsIpcEnabled());
    EXPECT_TRUE(shm.IsSharedMemEnabled());
    EXPECT_FALSE(shm.IsTcpEnabled());
    ExpectAllZero(shm);
    std::string data, error;
    EXPECT_FALSE(shm.ReadFrom_Ipc("TestBlock", "TestAddress", data, error));
    EXPECT_EQ(
        error,
        "FakeSharedMem has failed to read IPC message: The transport channel has not been initialized!");
}

TEST(FakeSharedMemQueries, MaskWithoutPeerTypeIsNotInitialized) {
    KvTest::TestPeer shm;
    shm.Pretend(PeerType::None, KvFakeShm::kTransportIpc);
    EXPECT_FALSE(shm.IsInitialized());
    EXPECT_FALSE(shm.IsIpcEnabled());
}

TEST(FakeSharedMemLiveness, ConnectedButNeverSeenIsNotAlive) {
    KvTest::TestPeer shm;
    shm.Pretend(PeerType::Core, KvFakeShm::kTransportIpc);
    auto channel = shm.AddChannel(kIpcTransport);
    channel->connected = true;
    EXPECT_FALSE(shm.IsIpcPeerAlive());
}

TEST(FakeSharedMemLiveness, TimeoutsCountUnitsOfTenMilliseconds) {
    KvTest::TestPeer shm;
    shm.Pretend(PeerType::Core,
                KvFakeShm::kTransportIpc | KvFakeShm::kTransportTcp | KvFakeShm::kTransportSharedMem);
    auto ipc = shm.AddChannel(kIpcTransport);
    auto tcp = shm.AddChannel(kTcpTransport);
    auto legacy = shm.AddChannel(kSharedMemTransport);
    for (auto* c : {ipc.get(), tcp.get(), legacy.get()})
        c->connected = true;

    const auto ago = [](std::chrono::milliseconds age) {
        return KvFakeShm::SteadyNowNs() - std::chrono::nanoseconds(age).count();
    };
    ipc->lastSeen = ago(45ms);
    EXPECT_TRUE(shm.IsIpcPeerAlive());
    ipc->lastSeen = ago(51ms);
    EXPECT_FALSE(shm.IsIpcPeerAlive());
    tcp->lastSeen = ago(45ms);
    EXPECT_TRUE(shm.IsTcpPeerAlive());
    legacy->lastSeen = ago(490ms);
    EXPECT_TRUE(shm.IsSharedMemPeerAlive());
    legacy->lastSeen = ago(501ms);
    EXPECT_FALSE(shm.IsSharedMemPeerAlive());
    ipc->lastSeen = ago(0ms);
    ipc->connected = false;
    EXPECT_FALSE(shm.IsIpcPeerAlive());
}

TEST(FakeSharedMemLiveness, ALastSeenInTheFutureIsNotAlive) {
    KvTest::TestPeer shm;
    shm.Pretend(PeerType::Core, KvFakeShm::kTransportIpc);
    auto ipc = shm.AddChannel(kIpcTransport);
    ipc->connected = true;
    ipc->lastSeen = KvFakeShm::SteadyNowNs() + 1'000'000'000;  // unsigned elapsed wraps far past the timeout
    EXPECT_FALSE(shm.IsIpcPeerAlive());
}

TEST(TransportChannelReset, ClearsEveryFigureAndTheStore) {
    KvFakeShm::TransportChannel channel;
    channel.lastSent = 5;
    channel.lastSeen = 6;
    channel.latency.Record(100, 1, 1'000'000'000);
    for (auto* w : {&channel.read, &channel.readWithMeta, &channel.write, &channel.writeWithMeta}) {
        w->Record(7, 1, 1'000'000'000);
    }
    channel.blockStore["b"]["a"] = "d";
    channel.ResetConnection();
    EXPECT_EQ(channel.lastSent.load() + channel.lastSeen.load(), 0);
    EXPECT_EQ(channel.latency.Latency() + channel.latency.Smoothed() + channel.latency.Sum(), 0u);
    for (auto* w : {&channel.read, &channel.readWithMeta, &channel.write, &channel.writeWithMeta}) {
        EXPECT_EQ(w->Sum() + w->Last() + w->Count(), 0u);
    }
    EXPECT_TRUE(channel.blockStore.empty());
}

TEST(TransportChannelLifetime, ReleasedOnItsOwnWorkerDoesNotEndTheProcess) {
    std::atomic<bool> done{false};
    {
        auto channel = std::make_shared<KvFakeShm::TransportChannel>();
        std::weak_ptr<KvFakeShm::TransportChannel> weak = channel;
        std::atomic<bool> go{false};
        channel->worker = std::thread([&go, &done, keep = channel]() mutable {
            while (!go)
                std::this_thread::yield();
            keep.reset();  // the last reference, dropped on this very thread
            done = true;
        });
        channel.reset();
        go = true;
        ASSERT_TRUE(KvTest::WaitFor([&] { return done.load(); }, 5s));
        EXPECT_TRUE(weak.expired());
    }
}

TEST(PeerTypeNames, PrintAsTheLogsShowThem) {
    EXPECT_EQ(KvFakeShm::PeerTypeName(PeerType::None), "None");
    EXPECT_EQ(KvFakeShm::PeerTypeName(PeerType::Connect), "Connect");
    EXPECT_EQ(KvFakeShm::PeerTypeName(PeerType::Core), "Core");
    EXPECT_EQ(KvFakeShm::PeerTypeName(static_cast<PeerType>(7)), "Unknown");
}
