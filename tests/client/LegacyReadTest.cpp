#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <shared_mutex>
#include <thread>

#include "client/ClientState.hpp"
#include "client/FakeShmUse.hpp"
#include "connectpeer/SegmentHost.hpp"
#include "kvfakeshm/FakeSharedMem.hpp"
#include "kvlog/Logging.hpp"
#include "tests/support/TestSupport.hpp"

using namespace std::chrono_literals;
using KvFakeShm::FakeSharedMem;

namespace {

// The process-wide instance as the client starts it, in a configuration folder of the test's own.
class LegacyRead : public ::testing::Test {
  protected:
    void SetUp() override {
        std::filesystem::create_directories(docs.Path() / "Korvanta");
        ASSERT_TRUE(KvLog::AddFile(LogPath().string(), KvLog::FileMode::Truncate, KvLog::kMaxVerbosity));
        KvClient::InitializeFakeSharedMem();
        ASSERT_TRUE(FakeSharedMem::GetInstance().IsInitialized());
        state.running = true;
    }
    void TearDown() override {
        StopReading();
        KvClient::TerminateFakeSharedMem();
    }
    void StartReading() { reader = std::thread(KvClient::LegacySharedMemRead); }
    void StopReading() {
        state.running = false;
        if (reader.joinable()) {
            reader.join();
        }
    }
    std::string Preview() {
        std::shared_lock lock(state.previewLock);
        return state.sharedMemPreview;
    }
    std::string Log() {
        KvLog::FlushAll();
        return KvTest::ReadFile(LogPath());
    }
    std::filesystem::path LogPath() const { return docs.Path() / "test.log"; }

    KvTest::TempDir docs;
    KvTest::ScopedEnv documents{"XDG_DOCUMENTS_DIR", docs.Path().c_str()};
    KvClient::ClientState& state = KvClient::GetClientState();
    std::thread reader;
};

}  // namespace

TEST_F(LegacyRead, WithoutAPeerItOnlyWaitsAndEndsWhenRunningClears) {
    StartReading();
    const std::string line = "INFO| Sleeping for 100 millisecond(s)...";
    EXPECT_TRUE(KvTest::WaitFor([&] { return KvTest::CountOf(Log(), line) >= 3; }, 5s));
    EXPECT_EQ(Preview(), "-");
    EXPECT_EQ(FakeSharedMem::GetInstance().GetSharedMemReadRate(), 0u);
    EXPECT_EQ(KvTest::CountThreadsNamed("RLShmM"), 1u);
    StopReading();
    EXPECT_EQ(KvTest::CountThreadsNamed("RLShmM"), 0u);
    EXPECT_EQ(KvTest::CountOf(Log(), "ReadFrom_SharedMem"), 0u);
}

TEST_F(LegacyRead, ALivePeersValueIsReadBackToBackAndPreviewedCutTo16Bytes) {
    KvConnectPeer::SegmentHost host;
    host.SetValue("0123456789abcdefTAIL");
    host.StartRefreshing(10ms);
    StartReading();
    // The dashboard copies the preview while the thread replaces it.
    EXPECT_TRUE(KvTest::WaitFor([&] { return Preview() == "0123456789abcdef"; }, 5s)) << Preview();
    EXPECT_TRUE(KvTest::WaitFor([&] { return FakeSharedMem::GetInstance().GetSharedMemReadRate() > 0; }, 5s));

    host.SetValue("short");
    EXPECT_TRUE(KvTest::WaitFor([&] { return Preview() == "short"; }, 5s)) << Preview();

    // The value goes away: the failed read is logged and the preview shows what the read left.
    KvConnectPeer::SegmentHost::RemoveSegments("TestBlock");
    EXPECT_TRUE(KvTest::WaitFor(
        [&] { return KvTest::CountOf(Log(), "ERR| ReadFrom_SharedMem failed to read: ") > 0; }, 5s));
    StopReading();
    host.StopRefreshing();
}

TEST_F(LegacyRead, StartingOrStoppingTwiceOnlyLogsTheRefusal) {
    const std::string before = Log();
    KvClient::InitializeFakeSharedMem();
    EXPECT_TRUE(FakeSharedMem::GetInstance().IsInitialized());
    EXPECT_TRUE(FakeSharedMem::GetInstance().IsSharedMemEnabled());
    EXPECT_EQ(KvTest::CountOf(Log(), "ERR| FakeSharedMem has already been initialized!"), 1u);

    KvClient::TerminateFakeSharedMem();
    EXPECT_FALSE(FakeSharedMem::GetInstance().IsInitialized());
    KvClient::TerminateFakeSharedMem();
    EXPECT_EQ(KvTest::CountOf(Log(), "ERR| FakeSharedMem has not been initialized yet!"), 1u);
    KvClient::InitializeFakeSharedMem();  // for the fixture's own termination
}

TEST(PreviewOf, CutsAfter16Bytes) {
    EXPECT_EQ(KvClient::PreviewOf(""), "");
    EXPECT_EQ(KvClient::PreviewOf("short"), "short");
    EXPECT_EQ(KvClient::PreviewOf("0123456789abcdef"), "0123456789abcdef");
    EXPECT_EQ(KvClient::PreviewOf("0123456789abcdefg"), "0123456789abcdef");
}
