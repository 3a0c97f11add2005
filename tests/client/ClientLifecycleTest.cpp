#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/TestSupport.hpp"

using namespace std::chrono_literals;

namespace {

class ClientProgram : public ::testing::Test {
  protected:
    KvTest::ProcessResult Run(std::vector<std::string> args, const std::string& input = "q\n",
                              const std::string& term = "xterm") {
        args.insert(args.begin(), KV_CLIENT_BINARY);
        return KvTest::RunProcess(args, {"XDG_DOCUMENTS_DIR=" + docs.Path().string(), "TERM=" + term}, input,
                                  20s);
    }
    std::filesystem::path LogPath() const { return docs.Path() / "Korvanta" / "kvfakeshm-core-client.log"; }

    KvTest::TempDir docs;
};

}  // namespace

TEST_F(ClientProgram, LogsStartAndShutDownInOrderAndRestoresCursor) {
    std::filesystem::create_directories(docs.Path() / "Korvanta");
    const auto result = Run({});
    ASSERT_FALSE(result.timedOut);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    // The dashboard had the alternate screen, gave it back, and the cursor was restored last.
    EXPECT_NE(result.out.find("\x1b[?1049h"), std::string::npos);
    EXPECT_NE(result.out.find("\x1b[?1049l"), std::string::npos);
    EXPECT_TRUE(result.out.ends_with("\x1b[2 q\x1b[?25h"));
    KvTest::ExpectInOrder(
        KvTest::ReadFile(LogPath()),
        {" - Loging to file succeeded: true", "KvLog initialization has succeeded!",
         "Attempting FakeSharedMem initialization...", "FakeSharedMem initialization has succeeded!",
         "Joining legacySharedMemReadThread...", "Attempting FakeSharedMem termination...",
         "FakeSharedMem termination has succeeded!", "Attempting KvLog termination...",
         "Terminating KvLog v2.400.1-302a8aa67...",
         "KvLog v2.400.1-302a8aa67 has been terminated successfully!", "KvLog termination has succeeded!"});
}

TEST_F(ClientProgram, AppendsToAnExistingLog) {
    std::filesystem::create_directories(docs.Path() / "Korvanta");
    ASSERT_EQ(Run({}).exitCode, 0);
    ASSERT_EQ(Run({}).exitCode, 0);
    const std::string text = KvTest::ReadFile(LogPath());
    const auto first = text.find("KvLog termination has succeeded!");
    ASSERT_NE(first, std::string::npos);
    EXPECT_NE(text.find("KvLog termination has succeeded!", first + 1), std::string::npos);
}

// Without its folder the log file cannot open (not fatal) and the transport file's watcher cannot start
// (fatal): the user learns both on the console, and nothing is created.
TEST_F(ClientProgram, MissingFolderIsReportedOnTheConsoleAndNotCreated) {
    const auto result = Run({});
    EXPECT_FALSE(result.timedOut);
    EXPECT_NE(result.exitCode, 0);
    EXPECT_NE(result.err.find(" - Loging to file succeeded: false"), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("FakeSharedMem initialization has failed: "), std::string::npos) << result.err;
    EXPECT_FALSE(std::filesystem::exists(docs.Path() / "Korvanta"));
}

TEST_F(ClientProgram, VerbosityFlagControlsOnlyTheConsole) {
    std::filesystem::create_directories(docs.Path() / "Korvanta");
    const std::string infoLine = "KvLog initialization has succeeded!";
    const auto verbose = Run({"-v", "9"});
    EXPECT_EQ(verbose.exitCode, 0);
    EXPECT_NE(verbose.err.find(infoLine), std::string::npos) << verbose.err;

    const auto warnings = Run({"-v", "WARNING"});
    EXPECT_EQ(warnings.exitCode, 0);
    EXPECT_EQ(warnings.err.find(infoLine), std::string::npos) << warnings.err;

    const auto silent = Run({"-v", "OFF"});
    EXPECT_EQ(silent.exitCode, 0);
    EXPECT_EQ(silent.err.find("KvLog v2.400.1-302a8aa67 has been initialized successfully!"),
              std::string::npos)
        << silent.err;
    EXPECT_EQ(silent.err.find("KvLog termination has succeeded!"), std::string::npos);

    // The file gets every verbosity whatever the flag says.
    EXPECT_EQ(KvTest::CountOf(KvTest::ReadFile(LogPath()), infoLine), 3u);
}

TEST_F(ClientProgram, ATerminalThatCannotBeOpenedIsReportedAndTheShutDownStillRuns) {
    std::filesystem::create_directories(docs.Path() / "Korvanta");
    const auto result = Run({}, "q\n", "no-such-terminal");
    ASSERT_FALSE(result.timedOut);
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.err.find("The dashboard cannot run: Cannot open the terminal 'no-such-terminal'"),
              std::string::npos)
        << result.err;
    KvTest::ExpectInOrder(KvTest::ReadFile(LogPath()),
                          {"Joining legacySharedMemReadThread...", "FakeSharedMem termination has succeeded!",
                           "KvLog termination has succeeded!"});
    EXPECT_TRUE(result.out.ends_with("\x1b[2 q\x1b[?25h"));
}

// The input ends without a key (a closed terminal): the dashboard ends and the client shuts down in order.
TEST_F(ClientProgram, EndOfInputQuitsToo) {
    std::filesystem::create_directories(docs.Path() / "Korvanta");
    const auto result = Run({}, "");
    ASSERT_FALSE(result.timedOut);
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_NE(KvTest::ReadFile(LogPath()).find("Joining TUI refresher thread..."), std::string::npos);
}
