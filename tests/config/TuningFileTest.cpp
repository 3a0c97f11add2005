#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "kvcommon/ConfigFolder.hpp"
#include "kvfakeshm/TuningFile.hpp"
#include "kvlog/Logging.hpp"
#include "tests/support/TestSupport.hpp"

namespace fs = std::filesystem;
using KvFakeShm::PeerType;
using KvFakeShm::Tuning;
using KvFakeShm::TuningState;

namespace {

// Every test runs in its own process, so the cached tuning path points into this test's folder.
class TuningFile : public ::testing::Test {
  protected:
    void SetUp() override {
        fs::create_directories(folder);
        ASSERT_EQ(KvCommon::GetTuningFilePath(), path.string());
        state.peerType = PeerType::Connect;
    }
    std::string Text() const { return KvTest::ReadFile(path); }
    void WriteText(const std::string& text) const { std::ofstream(path, std::ios::binary) << text; }
    void Replace(const std::string& from, const std::string& to) const {
        std::string text = Text();
        const auto at = text.find(from);
        ASSERT_NE(at, std::string::npos) << from;
        WriteText(text.replace(at, from.size(), to));
    }
    std::vector<fs::path> Backups() const {
        std::vector<fs::path> found;
        for (const auto& entry : fs::directory_iterator(folder)) {
            if (entry.path().filename().string().starts_with("kvfakeshm-params.yml."))
                found.push_back(entry.path());
        }
        return found;
    }

    KvTest::TempDir docs;
    KvTest::ScopedEnv env{"XDG_DOCUMENTS_DIR", docs.Path().c_str()};
    fs::path folder = docs.Path() / "Korvanta";
    fs::path path = folder / "kvfakeshm-params.yml";
    TuningState state;
    std::string error;
};

}  // namespace

TEST(TuningDefaults, MatchTheBuiltInValues) {
    const Tuning t;
    EXPECT_EQ(t.Version, 1u);
    EXPECT_TRUE(t.SocketReceiveNonBlocking);
    EXPECT_FALSE(t.SocketSendNonBlocking);
    EXPECT_EQ(t.SocketReconnectTimeMax, 10);
    EXPECT_EQ(t.LivenessTimeout, 5u);
    EXPECT_EQ(t.SharedMemHeartbeatBlockSize, 1024u);
    EXPECT_EQ(t.SharedMemLivenessTimeout, 50u);
}

TEST_F(TuningFile, FirstSaveWritesTheTemplateWithDefaults) {
    ASSERT_TRUE(state.SaveTuningFile(error)) << error;
    const std::string text = Text();
    EXPECT_EQ(text, KvFakeShm::FormatTuningFile(Tuning{}));
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 121) << "122 lines";
    EXPECT_NE(text.back(), '\n');
    EXPECT_EQ(text.find('\r'), std::string::npos);
    EXPECT_TRUE(text.starts_with("# File name used for tweaking and tuning the FakeShm parameters.\n"));
    EXPECT_NE(text.find("# be renamed to kvfakeshm-params.yml.YYYY-MM-DD-hh-mm-ss to preserve the user's\n"),
              std::string::npos);
    for (const char* line :
         {"\nVersion: 1\n", "\nSocketReceiveNonBlocking: true\n", "\nSocketSendNonBlocking: false\n",
          "\nSocketReconnectTimeMax: 10\n", "\nLivenessTimeout: 5\n", "\nLatencySmoothingWindow: 1000\n",
          "\nSharedMemHeartbeatBlockSize: 1024\n"}) {
        EXPECT_NE(text.find(line), std::string::npos) << line;
    }
    EXPECT_TRUE(text.ends_with("\nSharedMemLivenessTimeout: 50"));
}

TEST_F(TuningFile, TemplateSectionsHaveTheirCommentCounts) {
    const std::string text = KvFakeShm::FormatTuningFile(Tuning{});
    std::vector<int> commentsBeforeKey;  // sections are separated by one empty line
    for (std::size_t start = 0; start <= text.size();) {
        const auto end = std::min(text.find("\n\n", start), text.size());
        std::istringstream section(text.substr(start, end - start));
        int comments = 0;
        for (std::string line; std::getline(section, line);)
            comments += line.starts_with("#") ? 1 : 0;
        commentsBeforeKey.push_back(comments);
        start = end + 2;
    }
    EXPECT_EQ(commentsBeforeKey, (std::vector<int>{24, 8, 5, 9, 4, 5, 4, 8, 5, 5, 4, 4, 4, 1, 4}));
}

TEST_F(TuningFile, SecondSaveSkipsEvenAfterAUserEdit) {
    ASSERT_TRUE(state.SaveTuningFile(error));
    Replace("LatencySmoothingWindow: 1000", "LatencySmoothingWindow: 250");
    const std::string edited = Text();
    ASSERT_TRUE(state.SaveTuningFile(error)) << error;
    EXPECT_EQ(Text(), edited);
    EXPECT_TRUE(Backups().empty());
}

TEST_F(TuningFile, OtherVersionIsBackedUpAndRewrittenAndRefusedByLoad) {
    ASSERT_TRUE(state.SaveTuningFile(error));
    Replace("Version: 1", "Version: 2");
    const std::string old = Text();
    EXPECT_FALSE(state.LoadTuningFile(error));
    EXPECT_EQ(error, "Failed to load the FakeSharedMem tuning configuration file '" + path.string() +
                         "' from disk: File version mismatched!");
    ASSERT_TRUE(state.SaveTuningFile(error)) << error;
    const auto backups = Backups();
    ASSERT_EQ(backups.size(), 1u);
    EXPECT_EQ(KvTest::ReadFile(backups[0]), old);
    EXPECT_EQ(Text(), KvFakeShm::FormatTuningFile(Tuning{}));
}

TEST_F(TuningFile, InvalidFileIsBackedUpNeverDeleted) {
    WriteText("Version: [unclosed\n");
    ASSERT_TRUE(state.SaveTuningFile(error)) << error;
    const auto backups = Backups();
    ASSERT_EQ(backups.size(), 1u);
    EXPECT_EQ(KvTest::ReadFile(backups[0]), "Version: [unclosed\n");
    EXPECT_EQ(Text(), KvFakeShm::FormatTuningFile(Tuning{}));
}

TEST(TuningBackupName, UsesLocalTimeZeroPadded) {
    KvTest::TempDir docs;
    KvTest::ScopedEnv env("XDG_DOCUMENTS_DIR", docs.Path().c_str());
    KvTest::ScopedEnv tz("TZ", "UTC");
    tzset();
    std::tm when{};
    when.tm_year = 2026 - 1900;
    when.tm_mon = 2;
    when.tm_mday = 1;
    when.tm_hour = 9;
    when.tm_min = 5;
    when.tm_sec = 7;
    const auto point = std::chrono::system_clock::from_time_t(timegm(&when)) + std::chrono::milliseconds(999);
    EXPECT_EQ(KvFakeShm::MakeTuningBackupPath(point), KvCommon::GetTuningFilePath() + ".2026-03-01-09-05-07");
}

TEST_F(TuningFile, LoadOfAnEditedFileChangesTheLiveRecord) {
    ASSERT_TRUE(state.SaveTuningFile(error));
    Replace("SocketReceiveNonBlocking: true", "SocketReceiveNonBlocking: false");
    Replace("SocketReceiveTimeout: 1", "SocketReceiveTimeout: -7");
    Replace("WorkerRetryInterval: 1", "WorkerRetryInterval: 18446744073709551615");
    ASSERT_TRUE(state.LoadTuningFile(error)) << error;
    const Tuning t = state.GetTuning();
    EXPECT_FALSE(t.SocketReceiveNonBlocking);
    EXPECT_EQ(t.SocketReceiveTimeout, -7);
    EXPECT_EQ(t.WorkerRetryInterval, UINT64_MAX);
    EXPECT_EQ(t.LatencySmoothingWindow, 1000u);
}

TEST_F(TuningFile, OrderExtraKeysAndCommentsDoNotMatter) {
    std::string text = "Extra: 5\n";
    Tuning wanted;
    wanted.SharedMemLivenessTimeout = 77;
    std::istringstream lines(KvFakeShm::FormatTuningFile(wanted));
    std::vector<std::string> keys;
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line[0] != '#')
            keys.push_back(line);
    }
    std::reverse(keys.begin(), keys.end());
    for (const auto& key : keys)
        text += key + "  # changed comment\n";
    WriteText(text);
    ASSERT_TRUE(state.LoadTuningFile(error)) << error;
    EXPECT_EQ(state.GetTuning().SharedMemLivenessTimeout, 77u);
}

TEST_F(TuningFile, FirstMissingKeyInFixedOrderIsNamed) {
    ASSERT_TRUE(state.SaveTuningFile(error));
    Replace("ThroughputSmoothingWindow: 1000", "");
    Replace("SharedMemHeartbeatBlockSize: 1024", "");
    YAML::Node tree;
    EXPECT_FALSE(state.ParseTuningFile(tree, error));
    EXPECT_EQ(
        error,
        "FakeSharedMem tuning configuration parsing error: Invalid 'ThroughputSmoothingWindow' parameter!");
    EXPECT_FALSE(state.LoadTuningFile(error));
    EXPECT_EQ(error, "Failed to load the FakeSharedMem tuning configuration file '" + path.string() +
                         "' from disk: FakeSharedMem tuning configuration parsing error: Invalid "
                         "'ThroughputSmoothingWindow' parameter!");

    WriteText("Other: 1\n");
    EXPECT_FALSE(state.ParseTuningFile(tree, error));
    EXPECT_EQ(error, "FakeSharedMem tuning configuration parsing error: Invalid 'Version'!");
}

TEST_F(TuningFile, UnconvertibleValuesAreInvalidAndChangeNothing) {
    ASSERT_TRUE(state.SaveTuningFile(error));
    const std::string valid = Text();
    const std::pair<const char*, const char*> edits[] = {
        {"WorkerRetryInterval: 1", "WorkerRetryInterval: -1"},
        {"SocketReceiveNonBlocking: true", "SocketReceiveNonBlocking: yes"},
        {"SocketReceiveTimeout: 1", "SocketReceiveTimeout: 2147483648"},
        {"SharedMemHeartbeatBlockSize: 1024", "SharedMemHeartbeatBlockSize: 4294967296"},
        {"LivenessTimeout: 5", "LivenessTimeout: 18446744073709551616"},
        {"HeartbeatInterval: 1", "HeartbeatInterval: 0x10"},
        {"SocketSendTimeout: 1", "SocketSendTimeout: [1, 2]"},
        {"LatencySmoothingWindow: 1000", "LatencySmoothingWindow:"},
        {"Version: 1", "Version: 1.0"},
    };
    for (const auto& [from, to] : edits) {
        WriteText(valid);
        Replace(from, to);
        EXPECT_FALSE(state.LoadTuningFile(error)) << to;
        EXPECT_NE(error.find("FakeSharedMem tuning configuration parsing error: "), std::string::npos)
            << error;
        EXPECT_EQ(state.GetTuning().WorkerRetryInterval, 1u);
        EXPECT_TRUE(state.GetTuning().SocketReceiveNonBlocking);
        EXPECT_EQ(state.GetTuning().SocketReceiveTimeout, 1);
    }
}

TEST_F(TuningFile, SyntaxErrorIsReportedThroughTheLoadFailure) {
    WriteText("Version: 1\n  bad: [indent\n");
    EXPECT_FALSE(state.LoadTuningFile(error));
    EXPECT_TRUE(error.starts_with("Failed to load the FakeSharedMem tuning configuration file '" +
                                  path.string() +
                                  "' from disk: FakeSharedMem tuning configuration parsing error: "))
        << error;
}

TEST_F(TuningFile, MissingFileAndMissingFolderFailWithTheirMessages) {
    EXPECT_FALSE(state.LoadTuningFile(error));
    EXPECT_EQ(error, "Failed to load the FakeSharedMem tuning configuration file '" + path.string() +
                         "' from disk: It does not exist!");
    fs::remove_all(folder);
    EXPECT_FALSE(state.SaveTuningFile(error));
    EXPECT_EQ(error, "Failed to save the FakeSharedMem tuning configuration file '" + path.string() +
                         "' to disk: Failed to open the file for writing!");
    EXPECT_FALSE(fs::exists(folder));
}

TEST_F(TuningFile, CorePeerIsRefusedByAllThreeAndNothingIsTouched) {
    state.peerType = PeerType::Core;
    WriteText("Version: 2\n");
    YAML::Node tree;
    EXPECT_FALSE(state.ParseTuningFile(tree, error));
    EXPECT_EQ(error, "Failed to load the FakeSharedMem tuning configuration file '" + path.string() +
                         "' from disk: It can only be loaded via the 'Connect peer and not 'Core'!");
    EXPECT_FALSE(state.LoadTuningFile(error));
    EXPECT_EQ(error, "Failed to load the FakeSharedMem tuning configuration file '" + path.string() +
                         "' from disk: It can only be loaded via the 'Connect peer and not 'Core'!");
    EXPECT_FALSE(state.SaveTuningFile(error));
    EXPECT_EQ(error, "Failed to save the FakeSharedMem tuning configuration file '" + path.string() +
                         "' to disk: It can only be saved via the 'Connect peer and not 'Core'!");
    EXPECT_EQ(Text(), "Version: 2\n");
    EXPECT_TRUE(Backups().empty());
}
