#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "kvcommon/ConfigFolder.hpp"
#include "kvfakeshm/FakeSharedMemImpl.hpp"
#include "kvfakeshm/IpcEndpoint.hpp"
#include "kvfakeshm/TransportFile.hpp"
#include "kvfakeshm/TuningFile.hpp"
#include "kvlog/Logging.hpp"
#include "tests/support/RawPeer.hpp"
#include "tests/support/TestPeer.hpp"
#include "tests/support/TestSupport.hpp"

using namespace std::chrono_literals;
using KvFakeShm::PeerType;
namespace fs = std::filesystem;

namespace {

// Peers whose configuration folder is a temporary one (every test case runs in a process of its own, so
// the cached paths point there).
class Lifecycle : public ::testing::Test {
  protected:
    void SetUp() override {
        fs::create_directories(Folder());
        ASSERT_EQ(KvCommon::GetConfigFolderPath(), Folder().string());
        ASSERT_TRUE(KvLog::AddFile((docs.Path() / "t.log").string(), KvLog::FileMode::Truncate, 9));
        KvLog::SetConsoleVerbosity(KvLog::kFatal);  // the stubbed segment hooks fail on every pass
    }
    fs::path Folder() const { return docs.Path() / "Korvanta"; }
    fs::path TransportFile() const { return Folder() / "kvfakeshm-transport.bin"; }
    std::string Log() {
        KvLog::FlushAll();
        return KvTest::ReadFile(docs.Path() / "t.log");
    }
    static void ExpectAllZero(const KvFakeShm::FakeSharedMem& shm) {
        EXPECT_FALSE(shm.IsInitialized());
        EXPECT_FALSE(shm.IsSharedMemEnabled());
        EXPECT_FALSE(shm.IsSharedMemPeerAlive());
        EXPECT_EQ(shm.GetSharedMemLatency().count(), 0);
        EXPECT_EQ(shm.GetSharedMemReadRate() + shm.GetSharedMemWriteRate() + shm.GetTcpReadRate() +
                      shm.GetIpcWriteRateWithMeta(),
                  0u);
    }
    // Writes the file the way the Connect peer does: beside it, then renamed over it.
    void WriteTransportFile(const std::vector<std::uint8_t>& bytes) {
        const fs::path temporary = Folder() / "transport.tmp";
        std::ofstream(temporary, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        fs::rename(temporary, TransportFile());
    }

    // A Connect start-up, retried: NNG frees a closed listener's abstract name in the background, so a
    // new listener may find it taken for a moment. A failed try is cleaned up before the next.
    bool StartConnectSoon(KvTest::TestPeer& connect, std::uint8_t mask) {
        return KvTest::WaitFor(
            [&] {
                if (connect.InitializeConnect(mask, error)) {
                    return true;
                }
                std::string ignored;
                connect.Terminate(ignored);
                return false;
            },
            5s);
    }

    KvTest::TempDir docs;
    KvTest::ScopedEnv env{"XDG_DOCUMENTS_DIR", docs.Path().c_str()};
    std::string error;
};

std::vector<std::uint8_t> FileWith(const std::string& ipcUrl, const std::string& tcpUrl,
                                   std::uint64_t heartbeat, bool enabled = true) {
    flatbuffers::FlatBufferBuilder builder(1024);
    const auto ipc = FakeShmConfig::CreateChannelConfig(builder, enabled, builder.CreateString(ipcUrl));
    const auto shm = FakeShmConfig::CreateSharedMemConfig(builder, enabled);
    const auto tcp = FakeShmConfig::CreateChannelConfig(builder, enabled, builder.CreateString(tcpUrl));
    KvFakeShm::Tuning tuning;
    tuning.HeartbeatInterval = heartbeat;
    const auto t = FakeShmConfig::CreateTuningConfig(
        builder, tuning.SocketReceiveNonBlocking, tuning.SocketReceiveTimeout, tuning.SocketSendNonBlocking,
        tuning.SocketSendTimeout, tuning.SocketReconnectTimeMin, tuning.SocketReconnectTimeMax,
        tuning.WorkerRetryInterval, tuning.HeartbeatInterval, tuning.LivenessTimeout,
        tuning.LatencySmoothingWindow, tuning.ThroughputSmoothingWindow, tuning.SharedMemHeartbeatBlockSize,
        tuning.SharedMemLivenessTimeout);
    builder.Finish(FakeShmConfig::CreateTransportConfig(builder, 1, ipc, shm, tcp, t));
    return {builder.GetBufferPointer(), builder.GetBufferPointer() + builder.GetSize()};
}

}  // namespace

TEST_F(Lifecycle, CoreWithoutATransportFileRunsSharedMemOnlyAndTerminatesClean) {
    KvTest::TestPeer core;
    ASSERT_TRUE(core.Initialize(PeerType::Connect, KvFakeShm::kTransportSharedMem, error)) << error;
    EXPECT_EQ(core.GetImpl().peerType.load(), PeerType::Core) << "this program always plays the Core";
    EXPECT_NE(Log().find("WARN| FakeSharedMem configuration file '" + TransportFile().string() +
                         "' could not be loaded: "),
              std::string::npos);
    EXPECT_NE(core.GetImpl().GetChannel(KvFakeShm::kSharedMemTransport), nullptr);
    EXPECT_EQ(core.GetImpl().GetChannel(KvFakeShm::kIpcTransport), nullptr);
    EXPECT_TRUE(core.GetImpl().IsSharedMemWorkerRunning());
    EXPECT_FALSE(core.Initialize(PeerType::Core, KvFakeShm::kTransportSharedMem, error));
    EXPECT_EQ(error, "FakeSharedMem initialization has failed: Already initialized; initialization aborted!");
    ASSERT_TRUE(core.Terminate(error)) << error;
    ExpectAllZero(core);
    EXPECT_EQ(KvTest::CountThreadsNamed("SharedMemWorker"), 0u);
    EXPECT_EQ(KvTest::CountThreadsNamed("FileWatcher"), 0u);
    EXPECT_FALSE(core.Terminate(error));
    EXPECT_EQ(error, "FakeSharedMem termination has failed: Not initialized yet; termination aborted!");
}

TEST_F(Lifecycle, FailedStepsLeaveTheStatesThatTerminateCleansUp) {
    KvTest::TestPeer core;
    EXPECT_FALSE(core.Initialize(PeerType::Core, 0, error));
    EXPECT_EQ(error,
              "FakeSharedMem initialization has failed: Should be initialized with at least one trasnport!");
    EXPECT_FALSE(core.IsInitialized());

    EXPECT_FALSE(core.Initialize(PeerType::Core, KvFakeShm::kTransportIpc, error));
    EXPECT_EQ(
        error,
        "FakeSharedMem initialization has failed: The IPC transport channel has not been initialized yet!");
    EXPECT_TRUE(core.IsInitialized()) << "a failed step leaves the object initialized";
    ASSERT_TRUE(core.Terminate(error)) << error;
    ExpectAllZero(core);
}

// A valid file with every transport off gives the mask 0, at start-up or by a reload: the object still
// runs its watchers, so it counts as initialized and Terminate leaves nothing running.
TEST_F(Lifecycle, EveryTransportOffStillTerminatesWithNothingLeftRunning) {
    for (const bool atStartUp : {true, false}) {
        WriteTransportFile(FileWith(KvTest::PrivateIpcUrl(), KvTest::FreeTcpUrl(), 1, !atStartUp));
        KvTest::TestPeer core;
        ASSERT_TRUE(core.Initialize(PeerType::Core, KvFakeShm::kTransportSharedMem, error)) << error;
        if (!atStartUp) {
            WriteTransportFile(FileWith(KvTest::PrivateIpcUrl(), KvTest::FreeTcpUrl(), 1, false));
            ASSERT_TRUE(KvTest::WaitFor([&] { return core.GetImpl().transports.load() == 0; }, 5s));
        }
        EXPECT_EQ(core.GetImpl().transports.load(), 0);
        EXPECT_TRUE(core.IsInitialized());
        EXPECT_FALSE(core.IsSharedMemEnabled());
        EXPECT_TRUE(KvTest::WaitFor([] { return KvTest::CountThreadsNamed("FileWatcher") == 2; }, 5s));
        ASSERT_TRUE(core.Terminate(error)) << error;
        ExpectAllZero(core);
        EXPECT_EQ(KvTest::CountThreadsNamed("FileWatcher"), 0u);
        EXPECT_EQ(KvTest::CountThreadsNamed("IpcWorker") + KvTest::CountThreadsNamed("TcpWorker"), 0u);
    }
}

TEST_F(Lifecycle, CoreSideTuningEditsOnlyWarn) {
    KvTest::TestPeer core;
    ASSERT_TRUE(core.Initialize(PeerType::Core, KvFakeShm::kTransportSharedMem, error)) << error;
    KvFakeShm::Tuning edited;
    edited.HeartbeatInterval = 9;
    std::ofstream(Folder() / "kvfakeshm-params.yml") << KvFakeShm::FormatTuningFile(edited);
    EXPECT_TRUE(KvTest::WaitFor(
        [&] {
            return Log().find("changes cannot be applied from the Core peer directly!") != std::string::npos;
        },
        5s));
    EXPECT_EQ(core.GetTuning().HeartbeatInterval, 1u);
    ASSERT_TRUE(core.Terminate(error)) << error;
}

TEST_F(Lifecycle, EventsInATightLoopWhileInitializeAndTerminateCycleNeverDeadlock) {
    const std::string ipcUrl = KvTest::PrivateIpcUrl();
    const std::string tcpUrl = KvTest::FreeTcpUrl();
    std::atomic<bool> stop{false};
    std::atomic<bool> done{false};
    std::atomic<int> failures{0};
    std::thread writer([&] {
        for (std::uint64_t i = 1; !stop; ++i) {
            WriteTransportFile(FileWith(ipcUrl, tcpUrl, 1 + i % 5));
            if (i % 7 == 0)
                fs::remove(TransportFile());
        }
    });
    KvTest::TestPeer core;
    std::thread cycles([&] {
        std::string cycleError;
        for (int i = 0; i < 200; ++i) {
            // A reload racing the start may fail a step; Terminate must clean up whatever exists.
            core.Initialize(PeerType::Core, KvFakeShm::kTransportSharedMem, cycleError);
            if (!core.Terminate(cycleError))
                ++failures;
        }
        done = true;
    });
    if (!KvTest::WaitFor([&] { return done.load(); }, 60s)) {
        ADD_FAILURE() << "Initialize/Terminate deadlocked with a file event";
        std::_Exit(1);  // the blocked threads cannot be joined
    }
    cycles.join();
    stop = true;
    writer.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_FALSE(core.IsInitialized());

    // However many events a save raises, the Core ends on the file as it is on disk.
    ASSERT_TRUE(core.Initialize(PeerType::Core, KvFakeShm::kTransportSharedMem, error)) << error;
    for (std::uint64_t heartbeat = 2; heartbeat <= 6; ++heartbeat)
        WriteTransportFile(FileWith(ipcUrl, tcpUrl, heartbeat));
    EXPECT_TRUE(KvTest::WaitFor([&] { return core.GetTuning().HeartbeatInterval == 6; }, 5s));
    EXPECT_TRUE(KvTest::WaitFor([&] { return core.GetImpl().transports.load() == 7; }, 5s));
    ASSERT_TRUE(core.Terminate(error)) << error;
    EXPECT_EQ(KvTest::CountThreadsNamed("FileWatcher"), 0u);
}

// Another listener holds the IPC endpoint: the Connect start-up fails at its IPC worker, Terminate then
// cleans up (the transport file included), and once the endpoint is free a start-up works.
TEST_F(Lifecycle, AWorkerThatCannotListenLeavesATerminateThatSucceedsAndALaterStartWorks) {
    const std::uint8_t mask = KvFakeShm::kTransportIpc | KvFakeShm::kTransportTcp;
    auto holder = std::make_unique<KvTest::RawPeer>(KvFakeShm::IpcUrlFor("Korvanta"));
    ASSERT_TRUE(holder->ListenSoon());
    KvTest::TestPeer connect;
    EXPECT_FALSE(connect.InitializeConnect(mask, error));
    EXPECT_NE(error.find("Failed to start an IPC listener on '" + KvFakeShm::IpcUrlFor("Korvanta") + "'!"),
              std::string::npos)
        << error;
    ASSERT_TRUE(connect.Terminate(error)) << error;
    EXPECT_FALSE(fs::exists(TransportFile()));
    EXPECT_EQ(KvTest::CountThreadsNamed("FileWatcher"), 0u);

    holder.reset();
    ASSERT_TRUE(StartConnectSoon(connect, mask)) << error;
    EXPECT_TRUE(connect.GetImpl().IsIpcWorkerRunning());
    ASSERT_TRUE(connect.Terminate(error)) << error;
}

// A rewrite flagged while the workers run and Terminate begins: Terminate succeeds and no late save
// brings the erased file back. Repeated, since the race is a matter of timing.
TEST_F(Lifecycle, AConnectPeerTerminatedWithARewritePendingLeavesNoFile) {
    const std::uint8_t mask = KvFakeShm::kTransportIpc | KvFakeShm::kTransportTcp;
    for (int i = 0; i < 20; ++i) {
        KvTest::TestPeer connect;
        ASSERT_TRUE(StartConnectSoon(connect, mask)) << error;
        connect.GetImpl().tuningFileChanged = true;  // as the tuning watcher flags it
        connect.GetImpl().transportFileChanged = true;
        ASSERT_TRUE(connect.Terminate(error)) << error;
        EXPECT_FALSE(fs::exists(TransportFile())) << i;
        KvTest::LetTimePass(20ms);
        EXPECT_FALSE(fs::exists(TransportFile())) << "a late save brought the file back, round " << i;
    }
}

TEST_F(Lifecycle, CoreFollowsTheConnectPeerThroughEditsRestartsAndExits) {
    auto connect = std::make_unique<KvTest::TestPeer>();
    ASSERT_TRUE(connect->InitializeConnect(
        KvFakeShm::kTransportIpc | KvFakeShm::kTransportTcp | KvFakeShm::kTransportSharedMem, error))
        << error;
    ASSERT_TRUE(fs::exists(TransportFile()));
    ASSERT_TRUE(fs::exists(Folder() / "kvfakeshm-params.yml"));

    KvTest::TestPeer core;
    ASSERT_TRUE(core.Initialize(PeerType::Core, KvFakeShm::kTransportSharedMem, error)) << error;
    EXPECT_EQ(core.GetImpl().transports.load(), 7);
    ASSERT_TRUE(KvTest::WaitFor([&] { return core.IsIpcPeerAlive() && core.IsTcpPeerAlive(); }, 5s));
    const std::string firstTcp = core.GetImpl().GetChannel(KvFakeShm::kTcpTransport)->peerUrl;

    // An edit of the tuning file on the Connect side reaches the Core through the transport file.
    KvFakeShm::Tuning edited;
    edited.HeartbeatInterval = 2;
    std::ofstream(Folder() / "kvfakeshm-params.yml") << KvFakeShm::FormatTuningFile(edited);
    EXPECT_TRUE(KvTest::WaitFor([&] { return core.GetTuning().HeartbeatInterval == 2; }, 5s));
    EXPECT_TRUE(KvTest::WaitFor([&] { return core.IsIpcPeerAlive() && core.IsTcpPeerAlive(); }, 5s));

    // The Connect peer exits: its file goes, and the Core drops to SharedMem without channels.
    ASSERT_TRUE(connect->Terminate(error)) << error;
    connect.reset();
    EXPECT_FALSE(fs::exists(TransportFile()));
    EXPECT_TRUE(KvTest::WaitFor([&] { return KvTest::OnlySharedMemWithoutChannels(core); }, 5s));

    // A new Connect peer (another TCP port) brings all three back. NNG frees the old listener's
    // abstract name in the background, so the new listener may find it taken for a moment.
    connect = std::make_unique<KvTest::TestPeer>();
    ASSERT_TRUE(StartConnectSoon(
        *connect, KvFakeShm::kTransportIpc | KvFakeShm::kTransportTcp | KvFakeShm::kTransportSharedMem))
        << error;
    EXPECT_TRUE(KvTest::WaitFor(
        [&] {
            return core.GetImpl().transports.load() == 7 && core.IsIpcPeerAlive() && core.IsTcpPeerAlive() &&
                   core.GetImpl().GetChannel(KvFakeShm::kSharedMemTransport) != nullptr;
        },
        5s));
    const auto tcp = core.GetImpl().GetChannel(KvFakeShm::kTcpTransport);
    ASSERT_NE(tcp, nullptr);
    EXPECT_NE(tcp->peerUrl, firstTcp);

    ASSERT_TRUE(core.Terminate(error)) << error;
    ASSERT_TRUE(connect->Terminate(error)) << error;
}
