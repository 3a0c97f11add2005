#include <gtest/gtest.h>

#include <filesystem>

#include "kvcommon/ConfigFolder.hpp"
#include "kvfakeshm/FakeSharedMemImpl.hpp"
#include "tests/support/RawPeer.hpp"
#include "tests/support/TestPeer.hpp"
#include "tests/support/TestSupport.hpp"

using namespace std::chrono_literals;
using KvFakeShm::PeerType;
namespace fs = std::filesystem;

namespace {

// A Connect peer whose configuration folder is a temporary one (the paths are cached per process, and
// every test case runs in a process of its own).
class Rewrite : public ::testing::Test {
  protected:
    void SetUp() override {
        connect.Pretend(PeerType::Connect, KvFakeShm::kTransportTcp | KvFakeShm::kTransportSharedMem);
        ASSERT_EQ(KvCommon::GetConfigFolderPath(), (docs.Path() / "Korvanta").string());
    }
    KvFakeShm::FakeSharedMem::Impl& Impl() { return connect.GetImpl(); }
    void Flag() { Impl().transportFileChanged = true; }
    bool Flagged() { return Impl().transportFileChanged.load() || Impl().tuningFileChanged.load(); }
    fs::path TransportFile() const { return docs.Path() / "Korvanta" / "kvfakeshm-transport.bin"; }
    void WatchTransportFile() {
        Impl().transportWatcher = std::make_unique<KvCommon::FileWatcher>(KvCommon::GetTransportFilePath());
        ASSERT_TRUE(Impl().transportWatcher->Start(error)) << error;
    }

    KvTest::TempDir docs;
    KvTest::ScopedEnv env{"XDG_DOCUMENTS_DIR", docs.Path().c_str()};
    KvTest::TestPeer connect;
    std::string error;
};

}  // namespace

TEST_F(Rewrite, FlaggedFilesAreWrittenOnceAndTheFlagsCleared) {
    fs::create_directories(docs.Path() / "Korvanta");
    WatchTransportFile();
    Flag();
    Impl().tuningFileChanged = true;
    EXPECT_TRUE(Impl().RewriteConfigurationFiles());
    EXPECT_FALSE(Flagged());
    EXPECT_TRUE(fs::exists(TransportFile()));
    EXPECT_TRUE(fs::exists(docs.Path() / "Korvanta" / "kvfakeshm-params.yml"));
    EXPECT_TRUE(Impl().transportWatcher->Stop(error)) << "the watcher was started again: " << error;

    // Nothing flagged: nothing written.
    fs::remove(TransportFile());
    EXPECT_TRUE(Impl().RewriteConfigurationFiles());
    EXPECT_FALSE(fs::exists(TransportFile()));
}

TEST_F(Rewrite, AFailedSaveRestartsTheWatcherAndKeepsTheFlagsForTheNextTry) {
    fs::create_directories(TransportFile() / "blocker");  // a folder in the file's place: the save fails
    WatchTransportFile();
    Flag();
    EXPECT_FALSE(Impl().RewriteConfigurationFiles());
    EXPECT_TRUE(Flagged());
    // The watcher runs again, so the retry's Stop succeeds instead of failing for good.
    fs::remove_all(TransportFile());
    EXPECT_TRUE(Impl().RewriteConfigurationFiles());
    EXPECT_FALSE(Flagged());
    EXPECT_TRUE(fs::exists(TransportFile()));
    EXPECT_TRUE(Impl().transportWatcher->Stop(error)) << error;
}

TEST_F(Rewrite, AWatcherThatCannotRestartDropsTheRequestInsteadOfFailingForever) {
    fs::create_directories(docs.Path() / "Korvanta");
    WatchTransportFile();
    fs::remove_all(docs.Path() / "Korvanta");  // neither the save nor the watcher can work any more
    ASSERT_TRUE(KvTest::WaitFor([] { return KvTest::CountThreadsNamed("FileWatcher") == 0; }, 5s));
    Flag();
    EXPECT_FALSE(Impl().RewriteConfigurationFiles());
    EXPECT_FALSE(Flagged());
    EXPECT_TRUE(Impl().RewriteConfigurationFiles()) << "the next pass runs normally";
    // Nothing half-stopped is left for Terminate, which goes on to erase the transport file.
    EXPECT_EQ(Impl().transportWatcher, nullptr);
    EXPECT_TRUE(Impl().TerminateWatchers(error)) << error;
}

TEST_F(Rewrite, TheCoreNeverWrites) {
    fs::create_directories(docs.Path() / "Korvanta");
    connect.Pretend(PeerType::Core, KvFakeShm::kTransportSharedMem);
    Flag();
    EXPECT_TRUE(Impl().RewriteConfigurationFiles());
    EXPECT_FALSE(fs::exists(TransportFile()));
    EXPECT_FALSE(Impl().SaveTransportFile(error));
    EXPECT_EQ(error, "The FakeSharedMem transport intermediate configuration file '" +
                         TransportFile().string() +
                         "' can only be saved via the 'Connect' peer and not 'Core'!");
}

TEST_F(Rewrite, RunningWorkersRewriteAfterAFlagAndRetryAfterAFailure) {
    auto channel = connect.AddChannel(KvFakeShm::kTcpTransport);
    ASSERT_TRUE(Impl().ResolveTcpUrl(channel, error)) << error;
    fs::create_directories(TransportFile() / "blocker");  // the first saves fail
    WatchTransportFile();
    ASSERT_TRUE(Impl().StartWorker(KvFakeShm::kTcpTransport, error)) << error;
    Flag();
    KvTest::LetTimePass(20ms);
    EXPECT_TRUE(Flagged());
    fs::remove_all(TransportFile());
    EXPECT_TRUE(KvTest::WaitFor([&] { return !Flagged() && fs::exists(TransportFile()); }, 5s));
    EXPECT_TRUE(Impl().StopWorker(KvFakeShm::kTcpTransport, error)) << error;
}
