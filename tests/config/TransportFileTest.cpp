#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "kvcommon/ConfigFolder.hpp"
#include "kvfakeshm/FakeSharedMemImpl.hpp"
#include "kvfakeshm/TransportFile.hpp"
#include "kvlog/Logging.hpp"
#include "tests/support/TestPeer.hpp"
#include "tests/support/TestSupport.hpp"

using KvFakeShm::PeerType;
namespace fs = std::filesystem;

namespace {

std::vector<std::uint8_t> BuildFile(std::uint32_t version, bool withTuning, std::uint64_t heartbeat = 7) {
    flatbuffers::FlatBufferBuilder builder(1024);
    const auto ipc = FakeShmConfig::CreateChannelConfig(builder, true, builder.CreateString("abstract://x"));
    const auto shm = FakeShmConfig::CreateSharedMemConfig(builder, true);
    const auto tcp =
        FakeShmConfig::CreateChannelConfig(builder, true, builder.CreateString("tcp://127.0.0.1:1"));
    flatbuffers::Offset<FakeShmConfig::TuningConfig> tuning;
    if (withTuning) {
        FakeShmConfig::TuningConfigBuilder t(builder);
        t.add_heartbeat_interval(heartbeat);
        t.add_socket_receive_timeout(42);
        tuning = t.Finish();
    }
    builder.Finish(FakeShmConfig::CreateTransportConfig(builder, version, ipc, shm, tcp, tuning));
    return {builder.GetBufferPointer(), builder.GetBufferPointer() + builder.GetSize()};
}

// A Core whose configuration folder is a temporary one; each test case runs in a process of its own, so
// the cached paths point there.
class TransportFile : public ::testing::Test {
  protected:
    void SetUp() override {
        fs::create_directories(docs.Path() / "Korvanta");
        ASSERT_EQ(KvCommon::GetTransportFilePath(), Path().string());
        ASSERT_TRUE(KvLog::AddFile((docs.Path() / "t.log").string(), KvLog::FileMode::Truncate, 9));
        core.Pretend(PeerType::Core, KvFakeShm::kTransportSharedMem);
    }
    fs::path Path() const { return docs.Path() / "Korvanta" / "kvfakeshm-transport.bin"; }
    void Write(const std::vector<std::uint8_t>& bytes) {
        std::ofstream(Path(), std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    std::string Message(const std::string& form) const {
        const auto at = form.find("{}");
        return form.substr(0, at) + Path().string() + form.substr(at + 2);
    }
    bool Load() { return core.GetImpl().LoadTransportFile(error); }
    std::string Log() {
        KvLog::FlushAll();
        return KvTest::ReadFile(docs.Path() / "t.log");
    }

    KvTest::TempDir docs;
    KvTest::ScopedEnv env{"XDG_DOCUMENTS_DIR", docs.Path().c_str()};
    KvTest::TestPeer core;
    std::string error;
};

}  // namespace

TEST_F(TransportFile, MissingEmptyShortTruncatedAndRandomFilesAreRejectedAndChangeNothing) {
    const std::string corrupt =
        "The FakeSharedMem transport intermediate configuration file '{}' is corrupted or invalid!";
    EXPECT_FALSE(Load());
    EXPECT_EQ(error,
              Message("The FakeSharedMem transport intermediate configuration file '{}' does not exist!"));
    Write({});
    EXPECT_FALSE(Load());
    EXPECT_EQ(
        error,
        Message("The FakeSharedMem transport intermediate configuration file '{}' is empty or invalid!"));
    const auto valid = BuildFile(1, true);
    for (std::size_t size = 1; size <= 11; ++size) {
        Write(std::vector<std::uint8_t>(valid.begin(), valid.begin() + static_cast<std::ptrdiff_t>(size)));
        EXPECT_FALSE(Load()) << size;
        EXPECT_EQ(error, Message(corrupt)) << size;
    }
    Write(std::vector<std::uint8_t>(valid.begin(), valid.end() - 9));
    EXPECT_FALSE(Load());
    EXPECT_EQ(error, Message(corrupt));
    std::mt19937 random(7);
    for (int i = 0; i < 50; ++i) {
        std::vector<std::uint8_t> noise(16 + random() % 200);
        for (auto& b : noise)
            b = static_cast<std::uint8_t>(random());
        Write(noise);
        EXPECT_FALSE(Load());
    }
    EXPECT_EQ(core.GetImpl().transports.load(), KvFakeShm::kTransportSharedMem);
    EXPECT_EQ(core.GetImpl().GetTuning().HeartbeatInterval, 1u);
}

TEST_F(TransportFile, OtherVersionWarnsAndLoadsMaskUrlsAndTuning) {
    Write(BuildFile(2, true));
    ASSERT_TRUE(Load()) << error;
    EXPECT_NE(
        Log().find("WARN| " + Message("The FakeSharedMem transport intermediate configuration file '{}' "
                                      "version mismatch: (expected 1, got 2)")),
        std::string::npos);
    auto& impl = core.GetImpl();
    EXPECT_EQ(impl.transports.load(), 7);
    EXPECT_EQ(impl.GetChannel(KvFakeShm::kIpcTransport)->peerUrl, "abstract://x");
    EXPECT_EQ(impl.GetChannel(KvFakeShm::kTcpTransport)->peerUrl, "tcp://127.0.0.1:1");
    EXPECT_NE(impl.GetChannel(KvFakeShm::kSharedMemTransport), nullptr);
    EXPECT_EQ(impl.GetTuning().HeartbeatInterval, 7u);
    EXPECT_EQ(impl.GetTuning().SocketReceiveTimeout, 42);
    EXPECT_EQ(impl.GetTuning().LivenessTimeout, 0u) << "an absent field is its default";
}

TEST_F(TransportFile, WithoutATuningTableTheLiveValuesStay) {
    Write(BuildFile(1, false));
    ASSERT_TRUE(Load()) << error;
    EXPECT_EQ(core.GetImpl().GetTuning().HeartbeatInterval, 1u);
    EXPECT_EQ(core.GetImpl().GetTuning().LivenessTimeout, 5u);
}

TEST_F(TransportFile, SavedByTheConnectPeerAndReadBackByTheCore) {
    KvTest::TestPeer connect;
    connect.Pretend(PeerType::Connect, KvFakeShm::kTransportTcp | KvFakeShm::kTransportSharedMem);
    auto channel = connect.AddChannel(KvFakeShm::kTcpTransport);
    channel->url = "tcp://127.0.0.1:4242";
    {
        std::unique_lock lock(connect.GetImpl().tuningLock);
        connect.GetImpl().tuning.LatencySmoothingWindow = 0;  // a zero is left out of the file and reads as 0
        connect.GetImpl().tuning.HeartbeatInterval = 3;
    }
    ASSERT_TRUE(connect.GetImpl().SaveTransportFile(error)) << error;
    EXPECT_TRUE(fs::exists(docs.Path() / "Korvanta" / "kvfakeshm-params.yml"));
    EXPECT_FALSE(connect.GetImpl().LoadTransportFile(error));
    EXPECT_EQ(error,
              Message("The FakeSharedMem transport intermediate configuration file '{}' can only be loaded "
                      "via the 'Core' peer and not 'Connect'!"));

    ASSERT_TRUE(Load()) << error;
    auto& impl = core.GetImpl();
    EXPECT_EQ(impl.transports.load(), KvFakeShm::kTransportTcp | KvFakeShm::kTransportSharedMem);
    EXPECT_EQ(impl.GetChannel(KvFakeShm::kIpcTransport), nullptr);
    EXPECT_EQ(impl.GetChannel(KvFakeShm::kTcpTransport)->peerUrl, "tcp://127.0.0.1:4242");
    EXPECT_EQ(impl.GetTuning().HeartbeatInterval, 3u);
    EXPECT_EQ(impl.GetTuning().LatencySmoothingWindow, 0u);

    EXPECT_TRUE(connect.GetImpl().EraseTransportFile(error)) << error;
    EXPECT_FALSE(fs::exists(Path()));
    EXPECT_TRUE(connect.GetImpl().EraseTransportFile(error)) << "a missing file is only a warning";
    EXPECT_NE(
        Log().find("WARN| " + Message("The FakeSharedMem transport intermediate configuration file '{}' does "
                                      "not exist; nothing to erase!")),
        std::string::npos);
}

TEST_F(TransportFile, AllDisabledAndZeroTuningGivesAnEmptyMaskAndZeroTuning) {
    flatbuffers::FlatBufferBuilder builder(1024);
    const auto ipc = FakeShmConfig::CreateChannelConfig(builder);
    const auto shm = FakeShmConfig::CreateSharedMemConfig(builder);
    const auto tcp = FakeShmConfig::CreateChannelConfig(builder);
    const auto tuning = FakeShmConfig::CreateTuningConfig(builder);
    builder.Finish(FakeShmConfig::CreateTransportConfig(builder, 1, ipc, shm, tcp, tuning));
    Write({builder.GetBufferPointer(), builder.GetBufferPointer() + builder.GetSize()});
    ASSERT_TRUE(Load()) << error;
    EXPECT_EQ(core.GetImpl().transports.load(), 0);
    const auto t = core.GetImpl().GetTuning();
    EXPECT_FALSE(t.SocketReceiveNonBlocking);
    EXPECT_EQ(t.SharedMemLivenessTimeout, 0u);
    EXPECT_EQ(t.Version, 1u) << "the version is not carried in the file";
}
