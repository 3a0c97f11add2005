#include <gtest/gtest.h>

#include <mutex>
#include <set>
#include <thread>

#include "connectpeer/SegmentHost.hpp"
#include "kvfakeshm/FakeSharedMemImpl.hpp"
#include "kvfakeshm/KvCoreShm.hpp"
#include "tests/support/TestSupport.hpp"

using namespace std::chrono_literals;
using KvFakeShm::kSharedMemTransport;

namespace {

// A Core peer of its own (not the process-wide one) with only the SharedMem channel.
class SharedMemWorker : public ::testing::Test {
  protected:
    void SetUp() override {
        core.GetImpl().peerType = KvFakeShm::PeerType::Core;
        core.GetImpl().transports = KvFakeShm::kTransportSharedMem;
        channel = std::make_shared<KvFakeShm::TransportChannel>();
        core.GetImpl().SetChannel(kSharedMemTransport, channel);
    }
    void TearDown() override { StopWorker(); }

    void StartWorker() {
        channel->running = true;
        worker = std::thread([this] { KvFakeShm::SharedMemWorker(core.GetImpl()); });
    }
    void StopWorker() {
        channel->running = false;
        if (worker.joinable())
            worker.join();
    }
    bool Pass() { return KvFakeShm::RunSharedMemWorkerPass(core.GetImpl()); }

    KvConnectPeer::SegmentHost host;
    KvFakeShm::KvCoreShm core;
    std::shared_ptr<KvFakeShm::TransportChannel> channel;
    std::thread worker;
};

std::string NowText(std::chrono::nanoseconds offset = 0ns) {
    return std::to_string(KvFakeShm::SteadyNowNs() + offset.count());
}

}  // namespace

TEST_F(SharedMemWorker, RefreshedPeerIsAliveWithinOnePass) {
    host.SetConnectHeartbeat(NowText());
    ASSERT_TRUE(Pass());
    EXPECT_TRUE(core.IsSharedMemPeerAlive());
    EXPECT_TRUE(channel->connected.load());
    EXPECT_GT(core.GetSharedMemLatency().count(), 0);
    EXPECT_LT(core.GetSharedMemLatency(), 500ms);
    ASSERT_TRUE(Pass());  // the statistics restarted at the transition; the next reading counts again
    EXPECT_EQ(core.GetSharedMemReadRate(), channel->read.Last());
    EXPECT_GT(channel->read.Last(), 18u + 25u) << "block and address plus the digits read";
}

TEST_F(SharedMemWorker, WritesItsHeartbeatAboutEveryTenMilliseconds) {
    host.StartRefreshing(10ms);
    StartWorker();
    std::set<std::string> seen;
    const auto until = std::chrono::steady_clock::now() + 300ms;
    while (std::chrono::steady_clock::now() < until) {
        seen.insert(host.CoreHeartbeat());
        std::this_thread::sleep_for(1ms);
    }
    // 300 ms at one write per 10 ms is about 30 values; a loose floor keeps a loaded machine green.
    EXPECT_GE(seen.size(), 10u);
    EXPECT_LE(seen.size(), 45u);
    EXPECT_TRUE(core.IsSharedMemPeerAlive());
    EXPECT_GT(core.GetSharedMemWriteRate(), 0u);
    // 18 block + 22 address + the digits of the time
    EXPECT_EQ(channel->write.Last(), 18u + 22u + host.CoreHeartbeat().size());
}

TEST_F(SharedMemWorker, SilentPeerTurnsNotAliveAfterTheTimeoutAndEverythingResets) {
    host.StartRefreshing(10ms);
    StartWorker();
    ASSERT_TRUE(KvTest::WaitFor([&] { return core.IsSharedMemPeerAlive(); }, 5s));
    ASSERT_TRUE(KvTest::WaitFor([&] { return core.GetSharedMemLatency().count() > 0; }, 5s));
    ASSERT_TRUE(KvTest::WaitFor(
        [&] { return core.GetSharedMemReadRate() > 1000 && core.GetSharedMemWriteRate() > 1000; }, 5s));
    const auto readsBefore = core.GetSharedMemReadRate();
    const auto writesBefore = core.GetSharedMemWriteRate();
    {
        std::unique_lock lock(channel->blockStoreLock);  // the worker's reset takes it too
        channel->blockStore["b"]["a"] = "stale";         // the reset must clear the store too
    }
    host.StopRefreshing();
    const auto stopped = std::chrono::steady_clock::now();
    ASSERT_TRUE(KvTest::WaitFor([&] { return !channel->connected.load(); }, 5s));
    const auto waited = std::chrono::steady_clock::now() - stopped;
    EXPECT_GE(waited, 450ms);
    EXPECT_LT(waited, 1500ms);
    EXPECT_FALSE(core.IsSharedMemPeerAlive());
    StopWorker();
    EXPECT_EQ(core.GetSharedMemLatency().count(), 0);
    EXPECT_EQ(core.GetSharedMemSmoothedLatency().count(), 0);
    // The windows restarted from zero at the transition; only the last few passes count since then.
    EXPECT_LT(core.GetSharedMemReadRate(), readsBefore / 4);
    EXPECT_LT(core.GetSharedMemWriteRate(), writesBefore / 4);
    EXPECT_TRUE(channel->blockStore.empty());
}

TEST_F(SharedMemWorker, LatencyAndThroughputFiguresEachFollowTheirOwnWindow) {
    // Three passes 3 ms apart, each reading and writing a heartbeat: the 1 ms window keeps one sample,
    // the 1,000 ms window every sample since the transition to alive reset the figures.
    const auto passes = [&](std::uint64_t latencyMs, std::uint64_t throughputMs) {
        {
            std::unique_lock lock(core.GetImpl().tuningLock);
            core.GetImpl().tuning.LatencySmoothingWindow = latencyMs;
            core.GetImpl().tuning.ThroughputSmoothingWindow = throughputMs;
            core.GetImpl().tuning.HeartbeatInterval = 0;  // a heartbeat write on every pass
        }
        channel->connected = false;
        for (int i = 0; i < 3; ++i) {
            if (i > 0)
                KvTest::LetTimePass(3ms);
            host.SetConnectHeartbeat(NowText(-1ms));
            ASSERT_TRUE(Pass());
        }
    };
    passes(1, 1000);
    EXPECT_EQ(channel->latency.Count(), 1u);
    EXPECT_EQ(channel->read.Count(), 2u) << "the first reading came before the transition's reset";
    EXPECT_EQ(channel->write.Count(), 3u);

    passes(1000, 1);
    EXPECT_EQ(channel->latency.Count(), 3u);
    EXPECT_EQ(channel->read.Count(), 1u);
    EXPECT_EQ(channel->write.Count(), 1u);
}

TEST_F(SharedMemWorker, GarbageOrFutureHeartbeatsNeverCountAsAlive) {
    host.SetConnectHeartbeat("abc");
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(Pass());
    EXPECT_FALSE(core.IsSharedMemPeerAlive());
    EXPECT_FALSE(channel->connected.load());
    host.SetConnectHeartbeat(NowText(10s));
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(Pass());
    EXPECT_FALSE(channel->connected.load());
    EXPECT_EQ(core.GetSharedMemLatency().count(), 0);
}

TEST_F(SharedMemWorker, PassEndsWhenTheChannelIsGone) {
    core.GetImpl().SetChannel(kSharedMemTransport, nullptr);
    EXPECT_FALSE(Pass());
}

TEST_F(SharedMemWorker, ReadFromSharedMemHandsOverDataAndError) {
    host.SetValue(std::string("v\0w", 3));
    std::string data = "old", error = "old";
    ASSERT_TRUE(core.ReadFrom_SharedMem("TestBlock", "TestAddress", data, error));
    EXPECT_EQ(data, std::string("v\0w", 3));
    EXPECT_TRUE(error.empty());
    EXPECT_EQ(core.GetSharedMemReadRate(), 3u + 11u + 9u);

    data = "old";
    EXPECT_FALSE(core.ReadFrom_SharedMem("TestBlock", "Missing", data, error));
    EXPECT_TRUE(data.empty());
    EXPECT_EQ(error, "SharedMem: No data available at TestBlock-Missing");

    core.GetImpl().transports = KvFakeShm::kTransportIpc;
    data = "untouched";
    error = "untouched";
    EXPECT_FALSE(core.ReadFrom_SharedMem("TestBlock", "TestAddress", data, error));
    EXPECT_EQ(data, "untouched");
    EXPECT_EQ(error, "untouched");
}

TEST(SharedMemHeartbeatSlots, FailWithTheirMessagesWhenThePeerIsAbsent) {
    KvConnectPeer::SegmentHost::RemoveSegments("TestBlock");
    KvFakeShm::KvCoreShm core;
    std::uint64_t t = 77;
    std::string error;
    EXPECT_FALSE(core.ReadPeerSharedMemHeartbeat(t, error));
    EXPECT_EQ(t, 77u);
    EXPECT_EQ(error,
              "Failed to read FakeSharedMem SharedMem peer heartbeat: Error reading from "
              "KvFakeShmHeartbeat-ConnectHeartbeatTimestamp: No such file or directory");
    EXPECT_FALSE(core.WriteSharedMemHeartbeat(123456789, error));
    EXPECT_EQ(error,
              "Failed to send a FakeSharedMem SharedMem heartbeat: Error writing to "
              "KvFakeShmHeartbeat-CoreHeartbeatTimestamp: No such file or directory");
    EXPECT_TRUE(core.InitializeSharedMem(error));
    EXPECT_TRUE(core.TerminateSharedMem(error));
}

TEST(SharedMemHeartbeatSlots, WrittenValueIsPlainDecimalAndCounts49Bytes) {
    KvConnectPeer::SegmentHost host;
    KvFakeShm::KvCoreShm core;
    core.GetImpl().SetChannel(kSharedMemTransport, std::make_shared<KvFakeShm::TransportChannel>());
    std::string error;
    ASSERT_TRUE(core.WriteSharedMemHeartbeat(123456789, error)) << error;
    EXPECT_EQ(host.CoreHeartbeat(), "123456789");
    EXPECT_EQ(core.GetSharedMemWriteRate(), 49u);
}
