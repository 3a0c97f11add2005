#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <iostream>

#include "connectpeer/SegmentHost.hpp"
#include "kvcommon/ConfigFolder.hpp"
#include "kvfakeshm/FakeSharedMemImpl.hpp"
#include "kvfakeshm/KvCoreShm.hpp"
#include "kvfakeshm/TuningFile.hpp"
#include "kvlog/Logging.hpp"
#include "tests/support/TestPeer.hpp"
#include "tests/support/TestSupport.hpp"

using namespace std::chrono_literals;
using KvFakeShm::PeerType;
namespace fs = std::filesystem;

namespace {

// The Connect peer program as a child process and a Core in this process, sharing a temporary
// configuration folder (the paths are cached per process and every test case runs in its own).
class ConnectPeer : public ::testing::Test {
  protected:
    void SetUp() override {
        KvLog::SetConsoleVerbosity(KvLog::kFatal);
        ASSERT_EQ(KvCommon::GetConfigFolderPath(), (docs.Path() / "Korvanta").string());
        ASSERT_TRUE(KvLog::AddFile(CoreLog().string(), KvLog::FileMode::Truncate, KvLog::kInfo));
    }
    void TearDown() override {
        if (HasFailure()) {
            KvLog::FlushAll();
            std::cout << "--- the Core's log\n"
                      << KvTest::ReadFile(CoreLog()) << "--- the peer's log\n"
                      << KvTest::ReadFile(docs.Path() / "Korvanta" / "kvfakeshm-connect-peer.log");
        }
        std::string error;
        if (core.IsInitialized())
            core.Terminate(error);
        peer.reset();  // killed if still running
        KvConnectPeer::SegmentHost::RemoveSegments("TestBlock");
    }
    void StartPeer(std::vector<std::string> args = {}) {
        args.insert(args.begin(), KV_CONNECT_PEER_BINARY);
        peer = std::make_unique<KvTest::ChildProcess>(args);
        ASSERT_TRUE(peer->WaitForLine("ready", 10s)) << peer->Output();
    }
    fs::path CoreLog() const { return docs.Path() / "core.log"; }
    fs::path TransportFile() const { return docs.Path() / "Korvanta" / "kvfakeshm-transport.bin"; }
    bool AllAlive() { return core.IsIpcPeerAlive() && core.IsTcpPeerAlive() && core.IsSharedMemPeerAlive(); }
    bool Read(bool (KvFakeShm::FakeSharedMem::*read)(const std::string&, const std::string&, std::string&,
                                                     std::string&),
              std::string& data) {
        std::string error;
        return (core.*read)("TestBlock", "TestAddress", data, error);
    }

    KvTest::TempDir docs;
    KvTest::ScopedEnv env{"XDG_DOCUMENTS_DIR", docs.Path().c_str()};
    KvFakeShm::KvCoreShm core;
    std::unique_ptr<KvTest::ChildProcess> peer;
};

}  // namespace

TEST_F(ConnectPeer, TheCoreSeesThePeerAliveAndReadsItsValueOverAllThreeTransports) {
    StartPeer();
    std::string error;
    ASSERT_TRUE(core.Initialize(PeerType::Core, KvFakeShm::kTransportSharedMem, error)) << error;
    ASSERT_TRUE(KvTest::WaitFor([&] { return AllAlive(); }, 2s));
    EXPECT_TRUE(KvTest::WaitFor(
        [&] {
            return core.GetIpcLatency().count() > 0 && core.GetTcpLatency().count() > 0 &&
                   core.GetSharedMemLatency().count() > 0;
        },
        2s));
    for (auto read : {&KvFakeShm::FakeSharedMem::ReadFrom_Ipc, &KvFakeShm::FakeSharedMem::ReadFrom_Tcp,
                      &KvFakeShm::FakeSharedMem::ReadFrom_SharedMem}) {
        std::string data;
        EXPECT_TRUE(KvTest::WaitFor([&] { return Read(read, data); }, 2s));
        EXPECT_TRUE(data.starts_with("Hello from the Connect peer #")) << data;
    }
}

TEST_F(ConnectPeer, AKilledPeerRestartedElsewhereIsFoundAgain) {
    StartPeer();
    std::string error;
    ASSERT_TRUE(core.Initialize(PeerType::Core, KvFakeShm::kTransportSharedMem, error)) << error;
    ASSERT_TRUE(KvTest::WaitFor([&] { return AllAlive(); }, 2s));
    const std::string firstTcp = core.GetImpl().GetChannel(KvFakeShm::kTcpTransport)->peerUrl;

    peer->Signal(SIGKILL);
    peer->Finish(5s);
    EXPECT_TRUE(fs::exists(TransportFile())) << "a killed peer leaves its file behind";
    StartPeer();  // stale segments and files are replaced
    const auto restarted = std::chrono::steady_clock::now();
    EXPECT_TRUE(KvTest::WaitFor([&] { return AllAlive(); }, 10s));
    EXPECT_LT(std::chrono::steady_clock::now() - restarted, 2s)
        << "IPC " << core.IsIpcPeerAlive() << ", TCP " << core.IsTcpPeerAlive() << ", SharedMem "
        << core.IsSharedMemPeerAlive() << " after "
        << std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - restarted)
               .count()
        << " ms";
    const auto tcp = core.GetImpl().GetChannel(KvFakeShm::kTcpTransport);
    ASSERT_NE(tcp, nullptr);
    EXPECT_NE(tcp->peerUrl, firstTcp);
}

TEST_F(ConnectPeer, APeerThatExitsCleanlyLeavesNothingAndTheCoreDropsToSharedMem) {
    std::string error;
    fs::create_directories(docs.Path() / "Korvanta");  // the Core comes first here
    ASSERT_TRUE(core.Initialize(PeerType::Core, KvFakeShm::kTransportSharedMem, error)) << error;
    for (const int stop : {SIGTERM, SIGINT}) {
        StartPeer();
        ASSERT_TRUE(KvTest::WaitFor([&] { return AllAlive(); }, 5s)) << stop;
        peer->Signal(stop);
        EXPECT_EQ(peer->Finish(10s), 0) << stop;
        EXPECT_FALSE(fs::exists(TransportFile())) << stop;
        EXPECT_FALSE(fs::exists("/dev/shm/TestBlock")) << stop;
        EXPECT_FALSE(fs::exists("/dev/shm/KvFakeShmHeartbeat")) << stop;
        EXPECT_TRUE(KvTest::WaitFor([&] { return KvTest::OnlySharedMemWithoutChannels(core); }, 2s)) << stop;
    }
}

TEST_F(ConnectPeer, ATuningEditOnThePeersSideReachesTheCore) {
    StartPeer();
    std::string error;
    ASSERT_TRUE(core.Initialize(PeerType::Core, KvFakeShm::kTransportSharedMem, error)) << error;
    ASSERT_TRUE(KvTest::WaitFor([&] { return AllAlive(); }, 2s));
    // A live switch to blocking receives with NNG's "forever": the peer's sockets were opened without a
    // receive time-out, yet every wait stays bounded, so SIGTERM still stops the peer.
    // Every one of the thirteen values differs from its default and reaches the Core as it was written.
    KvFakeShm::Tuning edited;
    edited.SocketReceiveNonBlocking = false;
    edited.SocketReceiveTimeout = -1;
    edited.SocketSendNonBlocking = true;
    edited.SocketSendTimeout = -1;
    edited.SocketReconnectTimeMin = 2;
    edited.SocketReconnectTimeMax = 20;
    edited.WorkerRetryInterval = 2;
    edited.HeartbeatInterval = 2;
    edited.LivenessTimeout = 30;  // generous: non-blocking sends drop a heartbeat when the pipe is busy
    edited.LatencySmoothingWindow = 900;
    edited.ThroughputSmoothingWindow = 800;
    edited.SharedMemHeartbeatBlockSize = 2048;
    edited.SharedMemLivenessTimeout = 80;
    std::ofstream(docs.Path() / "Korvanta" / "kvfakeshm-params.yml") << KvFakeShm::FormatTuningFile(edited);
    EXPECT_TRUE(KvTest::WaitFor([&] { return core.GetTuning().HeartbeatInterval == 2; }, 5s));
    const KvFakeShm::Tuning received = core.GetTuning();
    const KvFakeShm::Tuning defaults;
    KvFakeShm::ForEachTuningParameter([&](const char* name, auto field) {
        EXPECT_NE(edited.*field, defaults.*field) << name;
        EXPECT_EQ(received.*field, edited.*field) << name;
    });
    EXPECT_TRUE(KvTest::WaitFor([&] { return AllAlive(); }, 5s))
        << "IPC " << core.IsIpcPeerAlive() << ", TCP " << core.IsTcpPeerAlive() << ", SharedMem "
        << core.IsSharedMemPeerAlive();
    peer->Signal(SIGTERM);
    EXPECT_EQ(peer->Finish(10s), 0) << peer->Output();
    EXPECT_FALSE(fs::exists(TransportFile()));
}

TEST(ConnectPeerProgram, HelpListsEveryOptionAndBadOptionsAreRefused) {
    const auto help = KvTest::RunProcess({KV_CONNECT_PEER_BINARY, "--help"}, {}, "", 10s);
    EXPECT_EQ(help.exitCode, 0);
    for (const char* option :
         {"--transports", "--block", "--address", "--value", "--size", "--rate", "--duration"})
        EXPECT_NE(help.out.find(option), std::string::npos) << option;
    const auto bad = KvTest::RunProcess({KV_CONNECT_PEER_BINARY, "--transports", "smoke"}, {}, "", 10s);
    EXPECT_EQ(bad.exitCode, 64);
}
