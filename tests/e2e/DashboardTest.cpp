#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>

#include <filesystem>
#include <sstream>

#include "connectpeer/SegmentHost.hpp"
#include "tests/support/TestSupport.hpp"

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

// A tmux server of the test's own: the client runs in its pane as in a user's terminal.
class Tmux {
  public:
    Tmux() : socket_("kvtest-" + std::to_string(::getpid())) {}
    ~Tmux() { Run({"kill-server"}); }
    Tmux(const Tmux&) = delete;
    Tmux& operator=(const Tmux&) = delete;

    void Start(const std::string& command, int width, int height) {
        const auto result = Run({"new-session", "-d", "-s", "kv", "-x", std::to_string(width), "-y",
                                 std::to_string(height), command});
        ASSERT_EQ(result.exitCode, 0) << result.err;
    }
    std::string Capture() { return Run({"capture-pane", "-p", "-t", "kv"}).out; }
    // One of tmux's pane variables, such as "alternate_on" or "cursor_flag".
    std::string PaneFlag(const std::string& name) {
        auto value = Run({"display-message", "-p", "-t", "kv", "#{" + name + "}"}).out;
        while (!value.empty() && (value.back() == '\n' || value.back() == '\r')) {
            value.pop_back();
        }
        return value;
    }
    void SendKeys(const std::string& keys) { Run({"send-keys", "-t", "kv", keys}); }
    // Waits until the pane shows every one of `texts`; the last capture is kept for messages.
    bool WaitForScreen(const std::vector<std::string>& texts, std::chrono::milliseconds deadline) {
        return KvTest::WaitFor(
            [&] {
                last = Capture();
                for (const auto& text : texts) {
                    if (last.find(text) == std::string::npos) {
                        return false;
                    }
                }
                return true;
            },
            deadline);
    }
    std::string last;

  private:
    KvTest::ProcessResult Run(std::vector<std::string> args) {
        args.insert(args.begin(), {KV_TMUX_BINARY, "-L", socket_, "-f", "/dev/null"});
        return KvTest::RunProcess(args, {}, "", 10s);
    }
    std::string socket_;
};

class DashboardInTmux : public ::testing::Test {
  protected:
    void SetUp() override {
        fs::create_directories(docs.Path() / "Korvanta");
        KvConnectPeer::SegmentHost::RemoveSegments("TestBlock");
    }
    void TearDown() override {
        peer.reset();
        KvConnectPeer::SegmentHost::RemoveSegments("TestBlock");
    }
    void StartPeer() {
        peer = std::make_unique<KvTest::ChildProcess>(std::vector<std::string>{KV_CONNECT_PEER_BINARY});
        ASSERT_TRUE(peer->WaitForLine("ready", 10s)) << peer->Output();
    }
    // The client in the pane; its exit status is printed once it ends and the pane stays open.
    void StartClient() {
        tmux.Start("env TERM=screen-256color XDG_DOCUMENTS_DIR=" + docs.Path().string() + " " +
                       KV_CLIENT_BINARY + "; echo EXIT=$?; sleep 600",
                   160, 50);
    }
    std::string Log() const {
        return KvTest::ReadFile(docs.Path() / "Korvanta" / "kvfakeshm-core-client.log");
    }
    void ExpectOrderlyEnd() {
        ASSERT_TRUE(tmux.WaitForScreen({"EXIT=0"}, 10s)) << tmux.last;
        // The normal screen is back: the dashboard is gone from the pane.
        EXPECT_EQ(tmux.last.find("KvFakeShm OCore Client"), std::string::npos) << tmux.last;
        const std::string log = Log();
        KvTest::ExpectInOrder(log, {"Joining TUI refresher thread...", "Joining legacySharedMemReadThread...",
                                    "Attempting FakeSharedMem termination...",
                                    "FakeSharedMem has been terminated successfully!",
                                    "FakeSharedMem termination has succeeded!",
                                    "Attempting KvLog termination...", "KvLog termination has succeeded!"});
        EXPECT_TRUE(log.ends_with("KvLog termination has succeeded!\n")) << log.substr(log.size() - 300);
    }

    KvTest::TempDir docs;
    KvTest::ScopedEnv env{"XDG_DOCUMENTS_DIR", docs.Path().c_str()};
    std::unique_ptr<KvTest::ChildProcess> peer;
    Tmux tmux;
};

}  // namespace

TEST_F(DashboardInTmux, LiveAgainstThePeerProgramThenTuningTabThenQuit) {
    StartPeer();
    StartClient();
    ASSERT_TRUE(tmux.WaitForScreen({"KvFakeShm OCore Client", "TCP \U0001F7E2\u2705 < 1 >",
                                    "IPC \U0001F7E2\u2705 < 2 >", "SharedMem \U0001F7E2\u2705 < 3 >"},
                                   10s))
        << tmux.last;
    // Live figures in all three columns and the published value in every preview.
    const bool live = KvTest::WaitFor(
        [&] {
            tmux.last = tmux.Capture();
            return KvTest::CountOf(tmux.last, "Preview     : Hello from the C") == 3 &&
                   KvTest::CountOf(tmux.last, "Latency     : N/A") == 0 &&
                   KvTest::CountOf(tmux.last, "Smoothed    : N/A") == 0 &&
                   KvTest::CountOf(tmux.last, "Read Rate   : N/A") == 0 &&
                   KvTest::CountOf(tmux.last, "Read + Meta : N/A") == 0;
        },
        10s);
    EXPECT_TRUE(live) << tmux.last;

    tmux.SendKeys("t");
    EXPECT_TRUE(
        tmux.WaitForScreen({"[ Tuning Info ]", "Tuning Parameters",
                            "SocketRecvNonBlock              : ", "SharedMemLiveness               : "},
                           5s))
        << tmux.last;
    EXPECT_EQ(tmux.last.find("TCP Transport"), std::string::npos);

    tmux.SendKeys("q");
    ExpectOrderlyEnd();
}

// A crash while the dashboard is up: the shell gets its terminal back, out of the alternate screen, in
// line mode with echo and signals, and with the cursor shown.
TEST_F(DashboardInTmux, ACrashGivesTheShellItsTerminalBack) {
#ifdef KV_SANITIZED
    GTEST_SKIP() << "a sanitizer's own SIGSEGV handler ends the client first";
#endif
    tmux.Start(
        "env TERM=screen-256color XDG_DOCUMENTS_DIR=" + docs.Path().string() + " " + KV_CLIENT_BINARY +
            "; echo EXIT=$?; stty -a | tr ' ;' '\\n\\n' | grep -E '^-?(icanon|echo|isig)$' | tr '\\n' ' ';"
            " echo MODES; sleep 600",
        160, 50);
    ASSERT_TRUE(tmux.WaitForScreen({"KvFakeShm OCore Client"}, 10s)) << tmux.last;
    EXPECT_EQ(tmux.PaneFlag("alternate_on"), "1");
    const pid_t client =
        KvTest::ProcessWithEnvironment("kvfakeshm-core", "XDG_DOCUMENTS_DIR=" + docs.Path().string());
    ASSERT_GT(client, 0);
    ::kill(client, SIGSEGV);
    ASSERT_TRUE(tmux.WaitForScreen({"EXIT=139", "MODES"}, 10s)) << tmux.last;
    EXPECT_NE(tmux.last.find("isig icanon echo MODES"), std::string::npos) << tmux.last;
    EXPECT_EQ(tmux.PaneFlag("alternate_on"), "0");
    EXPECT_EQ(tmux.PaneFlag("cursor_flag"), "1");
}

TEST_F(DashboardInTmux, WithoutAPeerItShowsNothingLiveAndLogsTheWaitsOnlyToTheFile) {
    StartClient();
    ASSERT_TRUE(tmux.WaitForScreen({"TCP \U0001F534\u274C < 1 > | IPC \U0001F534\u274C < 2 > | SharedMem "
                                    "\U0001F534\u2705 < 3 > | Switch Tab < B | T >"},
                                   10s))
        << tmux.last;
    EXPECT_EQ(KvTest::CountOf(tmux.last, "Latency     : N/A"), 3u) << tmux.last;
    EXPECT_EQ(KvTest::CountOf(tmux.last, "Preview     : -"), 3u) << tmux.last;
    EXPECT_EQ(KvTest::CountOf(tmux.last, "Read Rate   : N/A"), 3u) << tmux.last;

    // About ten waits a second, in the file and never on the screen.
    const std::string line = "Sleeping for 100 millisecond(s)...";
    ASSERT_TRUE(KvTest::WaitFor([&] { return KvTest::CountOf(Log(), line) >= 1; }, 5s));
    const std::size_t before = KvTest::CountOf(Log(), line);
    KvTest::LetTimePass(2s);
    const std::size_t perTwoSeconds = KvTest::CountOf(Log(), line) - before;
    EXPECT_GE(perTwoSeconds, 12u);
    EXPECT_LE(perTwoSeconds, 24u);
    EXPECT_EQ(tmux.Capture().find("Sleeping"), std::string::npos);

    tmux.SendKeys("C-c");
    ExpectOrderlyEnd();
    EXPECT_EQ(KvTest::CountOf(tmux.last, line), 0u);
}
