#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <thread>

#include "client/ClientState.hpp"
#include "client/Dashboard.hpp"
#include "client/Format.hpp"
#include "client/Tui.hpp"
#include "kvlog/Logging.hpp"
#include "tests/support/TestSupport.hpp"
#include "tui/Grid.hpp"

using namespace std::chrono_literals;
using KvClient::FormatDuration;
using KvClient::FormatRate;
using KvFakeShm::TransportKind;
using KvTui::Event;

namespace {

// Figures and values chosen by the test; counts the reads the dashboard makes.
class StubSource : public KvClient::DashboardSource {
  public:
    KvClient::TransportFigures Figures(TransportKind kind) const override { return figures.at(kind); }
    bool Read(TransportKind kind, const std::string& block, const std::string& address, std::string& data,
              std::string& error) override {
        ++reads[kind];
        EXPECT_EQ(block, "TestBlock");
        EXPECT_EQ(address, "TestAddress");
        if (values.count(kind) == 0) {
            data.clear();
            error = "Block 'TestBlock' does not exist!";
            return false;
        }
        data = values.at(kind);
        return true;
    }
    KvFakeShm::Tuning GetTuning() const override { return tuning; }

    std::map<TransportKind, KvClient::TransportFigures> figures{
        {KvFakeShm::kTransportTcp, {}}, {KvFakeShm::kTransportIpc, {}}, {KvFakeShm::kTransportSharedMem, {}}};
    std::map<TransportKind, std::string> values;
    std::map<TransportKind, int> reads;
    KvFakeShm::Tuning tuning;
};

class Dashboard : public ::testing::Test {
  protected:
    void SetUp() override {
        state.selectedTab = 0;
        state.sharedMemPreview = "-";
    }
    KvTui::Grid Frame(int width = 160, int height = 50) {
        KvTui::Grid grid(width, height);
        KvTui::Render(grid, KvClient::RenderDashboard(source, state, errorText));
        return grid;
    }
    // Every row of the frame that contains `needle`.
    static std::vector<std::string> RowsWith(const KvTui::Grid& grid, const std::string& needle) {
        std::vector<std::string> rows;
        for (int y = 0; y < grid.Height(); ++y) {
            if (grid.RowText(y).find(needle) != std::string::npos) {
                rows.push_back(grid.RowText(y));
            }
        }
        return rows;
    }
    static int RowOf(const KvTui::Grid& grid, const std::string& needle) {
        for (int y = 0; y < grid.Height(); ++y) {
            if (grid.RowText(y).find(needle) != std::string::npos) {
                return y;
            }
        }
        return -1;
    }
    void AllAlive() {
        for (auto& [kind, figures] : source.figures) {
            figures.enabled = figures.alive = true;
        }
    }

    StubSource source;
    KvClient::ClientState state;
    std::string errorText;
};

// Stands in for the screen: counts what the refresher and the key handler ask of it, from any thread.
class CountingScreen : public KvTui::ScreenControl {
  public:
    void PostEvent(Event event) override {
        EXPECT_EQ(event, Event::Custom);
        ++posted;
    }
    void RequestAnimationFrame() override { ++frames; }
    void Exit() override { ++exits; }
    std::atomic<int> posted{0};
    std::atomic<int> frames{0};
    std::atomic<int> exits{0};
};

}  // namespace

TEST(Format, DurationsAndRatesAtTheirThresholds) {
    const std::vector<std::pair<std::int64_t, std::string>> durations{{0, "N/A"},
                                                                      {-5, "N/A"},
                                                                      {999, "999 ns"},
                                                                      {1'000, "1 \u00b5s"},
                                                                      {999'999, "999 \u00b5s"},
                                                                      {1'000'000, "1 ms"},
                                                                      {1'999'999, "1 ms"},
                                                                      {-1'000'000, "N/A"}};
    for (const auto& [ns, text] : durations) {
        EXPECT_EQ(FormatDuration(std::chrono::nanoseconds(ns)), text) << ns;
    }
    const std::uint64_t kGiB = 1024ull * 1024 * 1024;
    const std::vector<std::pair<std::uint64_t, std::string>> rates{
        {0, "N/A"},
        {1, "1 B/s"},
        {1023, "1023 B/s"},
        {1024, "1.00 KB/s"},
        {1536, "1.50 KB/s"},
        {1'048'575, "1024.00 KB/s"},
        {1'048'576, "1.00 MB/s"},
        {kGiB * 1024, "1024.00 GB/s"},
        {kGiB * 4096, "4096.00 GB/s"},
        {std::numeric_limits<std::uint64_t>::max(), "17179869184.00 GB/s"}};
    for (const auto& [rate, text] : rates) {
        EXPECT_EQ(FormatRate(rate), text) << rate;
    }
    const std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
    const std::vector<std::tuple<std::uint64_t, std::uint64_t, std::uint64_t>> perSecond{
        {400, 1000, 400}, {40, 100, 400}, {3, 2000, 1}, {5, 0, 5000}, {kMax, 1, kMax}, {kMax, 1000, kMax}};
    for (const auto& [perWindow, windowMs, expected] : perSecond) {
        EXPECT_EQ(KvClient::PerSecond(perWindow, windowMs), expected) << perWindow << " per " << windowMs;
    }
}

TEST(HandleKey, FollowsTheKeyTable) {
    KvClient::ClientState state;
    CountingScreen screen;
    auto press = [&](const Event& event) { return KvClient::HandleKey(event, screen, state); };

    EXPECT_TRUE(press(Event::Tab));
    EXPECT_EQ(state.selectedTab, 1);
    EXPECT_TRUE(press(Event::Tab));
    EXPECT_EQ(state.selectedTab, 0);
    EXPECT_TRUE(press(Event::Character('T')));
    EXPECT_TRUE(press(Event::Character('T')));
    EXPECT_EQ(state.selectedTab, 1);
    EXPECT_TRUE(press(Event::Character('b')));
    EXPECT_EQ(state.selectedTab, 0);
    EXPECT_TRUE(press(Event::Character('t')));
    EXPECT_TRUE(press(Event::Character('B')));
    EXPECT_EQ(state.selectedTab, 0);
    for (const auto& other : {Event::Character('1'), Event::Character('2'), Event::Character('3'),
                              Event::Character('x'), Event::Custom, Event::Special("KEY_UP")}) {
        EXPECT_FALSE(press(other));
        EXPECT_EQ(state.selectedTab, 0);
    }
    EXPECT_TRUE(state.running);
    EXPECT_EQ(screen.exits, 0);

    int exits = 0;
    for (const auto& quit : {Event::Escape, Event::CtrlC, Event::Character('q'), Event::Character('Q')}) {
        state.running = true;
        EXPECT_TRUE(press(quit));
        EXPECT_FALSE(state.running);
        EXPECT_EQ(screen.exits, ++exits);
    }
}

TEST(TuiRefresher, AsksForFramesUntilRunningClearsAndThenEnds) {
    KvClient::ClientState state;
    CountingScreen screen;
    state.running = false;
    std::thread(KvClient::TuiRefresher, std::ref(screen), std::cref(state)).join();
    EXPECT_EQ(screen.posted, 0);

    state.running = true;
    std::thread refresher(KvClient::TuiRefresher, std::ref(screen), std::cref(state));
    EXPECT_TRUE(KvTest::WaitFor([&] { return screen.frames >= 5; }, 5s));
    EXPECT_EQ(KvTest::CountThreadsNamed("TuiRefresher"), 1u);
    // About 60 a second, on an absolute deadline: a late wake-up is caught up, not lost.
    const int before = screen.frames.load();
    KvTest::LetTimePass(1s);
    const int perSecond = screen.frames.load() - before;
    EXPECT_GE(perSecond, 45);
    EXPECT_LE(perSecond, 75);
    state.running = false;
    refresher.join();
    EXPECT_EQ(KvTest::CountThreadsNamed("TuiRefresher"), 0u);
    EXPECT_EQ(screen.posted.load(), screen.frames.load());
}

TEST_F(Dashboard, TitlesTabsAndLabelsSitWhereTheyBelong) {
    const auto grid = Frame();
    EXPECT_NE(grid.RowText(1).find("KvFakeShm OCore Client"), std::string::npos);
    EXPECT_TRUE(grid.At(grid.RowText(1).find("KvFakeShm"), 1).bold);
    EXPECT_NE(grid.RowText(3).find("[ Benchmark ]     Tuning Info  "), std::string::npos);
    const int titles = RowOf(grid, "TCP Transport");
    ASSERT_GT(titles, 0);
    const std::string titleRow = grid.RowText(titles);
    EXPECT_LT(titleRow.find("TCP Transport"), titleRow.find("IPC Transport"));
    EXPECT_LT(titleRow.find("IPC Transport"), titleRow.find("SharedMem Transport"));

    // Labels padded to 12 columns, one empty row between rows, no empty row after the last.
    const std::vector<std::string> tcpLabels{
        "Latency     : ", "Smoothed    : ", "Block       : ", "Address     : ", "Preview     : ",
        "Read Rate   : ", "Read + Meta : ", "Write Rate  : ", "Write + Meta: "};
    const int first = titles + 2;
    for (std::size_t i = 0; i < tcpLabels.size(); ++i) {
        const int y = first + static_cast<int>(2 * i);
        EXPECT_EQ(grid.RowText(y).substr(6, 14), tcpLabels[i]) << grid.RowText(y);
        EXPECT_EQ(grid.RowText(y + 1).substr(6, 14), std::string(14, ' '));
    }
    EXPECT_NE(grid.RowText(first).find("Latency     : N/A"), std::string::npos);
    EXPECT_NE(grid.RowText(first + 4).find("Block       : TestBlock"), std::string::npos);
    EXPECT_NE(grid.RowText(first + 6).find("Address     : TestAddress"), std::string::npos);

    // The SharedMem column has seven rows: no rates with meta, its write rate beside the others' read + meta.
    EXPECT_EQ(KvTest::CountOf(grid.ToText(), "Read + Meta"), 2u);
    EXPECT_EQ(KvTest::CountOf(grid.ToText(), "Write Rate"), 3u);
    EXPECT_EQ(KvTest::CountOf(grid.RowText(first + 12), "Read + Meta : N/A"), 2u);
    EXPECT_EQ(KvTest::CountOf(grid.RowText(first + 12), "Write Rate  : N/A"), 1u);
    EXPECT_EQ(KvTest::CountOf(grid.RowText(first + 14), "Write Rate"), 2u);

    // Columns share the width equally.
    const std::string border = grid.RowText(titles - 1);
    const auto firstCorner = border.find("\u256e");
    const auto secondCorner = border.find("\u256e", firstCorner + 1);
    const auto thirdCorner = border.find("\u256e", secondCorner + 1);
    EXPECT_LE(static_cast<long>(thirdCorner - secondCorner) - static_cast<long>(secondCorner - firstCorner),
              3);
}

TEST_F(Dashboard, FiguresAreFormattedAndPreviewsCutTo16Bytes) {
    AllAlive();
    auto& tcp = source.figures[KvFakeShm::kTransportTcp];
    tcp.latency = 1'500'000ns;
    tcp.smoothedLatency = 2'500ns;
    tcp.readRate = 1536;
    tcp.readRateWithMeta = 1'048'576;
    tcp.writeRate = 12;
    tcp.writeRateWithMeta = 1023;
    source.values[KvFakeShm::kTransportTcp] = "0123456789abcdefTAIL";
    source.values[KvFakeShm::kTransportIpc] = "short";
    state.sharedMemPreview = "0123456789abcdef";

    const auto grid = Frame();
    const auto previews = RowsWith(grid, "Preview");
    ASSERT_EQ(previews.size(), 1u);
    EXPECT_NE(previews[0].find("Preview     : 0123456789abcdef "), std::string::npos);
    EXPECT_EQ(previews[0].find("TAIL"), std::string::npos);
    EXPECT_NE(previews[0].find("Preview     : short "), std::string::npos);
    EXPECT_EQ(KvTest::CountOf(previews[0], "Preview     : 0123456789abcdef "), 2u);
    for (const char* shown : {"Latency     : 1 ms", "Smoothed    : 2 \u00b5s", "Read Rate   : 1.50 KB/s",
                              "Read + Meta : 1.00 MB/s", "Write Rate  : 12 B/s", "Write + Meta: 1023 B/s"}) {
        EXPECT_EQ(RowsWith(grid, shown).size(), 1u) << shown;
    }
    // One read per socket transport per frame, none of the segment.
    EXPECT_EQ(source.reads[KvFakeShm::kTransportTcp], 1);
    EXPECT_EQ(source.reads[KvFakeShm::kTransportIpc], 1);
    EXPECT_EQ(source.reads.count(KvFakeShm::kTransportSharedMem), 0u);

    // The library counts bytes per throughput window; the screen shows them per second.
    source.tuning.ThroughputSmoothingWindow = 100;
    const auto scaled = Frame();
    for (const char* shown :
         {"Read Rate   : 15.00 KB/s", "Write Rate  : 120 B/s", "Write + Meta: 9.99 KB/s"}) {
        EXPECT_EQ(RowsWith(scaled, shown).size(), 1u) << shown;
    }
    // The SharedMem channel gone (the peer exited in order): the reader's last value is stale.
    source.figures[KvFakeShm::kTransportSharedMem].hasChannel = false;
    const auto gone = RowsWith(Frame(), "Preview");
    ASSERT_EQ(gone.size(), 1u);
    EXPECT_EQ(KvTest::CountOf(gone[0], "Preview     : 0123456789abcdef "), 1u);
    EXPECT_NE(gone[0].find("Preview     : - "), std::string::npos) << gone[0];
}

TEST_F(Dashboard, FooterShowsEachTransportsStatusAndReadsOnlyLivePeers) {
    source.figures[KvFakeShm::kTransportSharedMem].enabled = true;
    auto footer = RowsWith(Frame(), "Quit < ESC / Q / Ctrl-C >");
    ASSERT_EQ(footer.size(), 1u);
    EXPECT_NE(footer[0].find(
                  "Quit < ESC / Q / Ctrl-C > | TCP \U0001F534\u274C < 1 > | IPC \U0001F534\u274C < 2 > | "
                  "SharedMem \U0001F534\u2705 < 3 > | Switch Tab < B | T >"),
              std::string::npos)
        << footer[0];
    EXPECT_TRUE(source.reads.empty());
    EXPECT_EQ(RowsWith(Frame(), "Preview     : -").size(), 1u);

    source.figures[KvFakeShm::kTransportTcp] = {true, true};
    source.figures[KvFakeShm::kTransportIpc] = {false, true};
    source.figures[KvFakeShm::kTransportSharedMem] = {true, false};
    footer = RowsWith(Frame(), "Quit <");
    EXPECT_NE(
        footer[0].find(
            "TCP \U0001F7E2\u2705 < 1 > | IPC \U0001F7E2\u274C < 2 > | SharedMem \U0001F534\u2705 < 3 >"),
        std::string::npos)
        << footer[0];
}

TEST_F(Dashboard, AnUnreadableBlockLogsOnceEveryFrame) {
    KvTest::TempDir dir;
    ASSERT_TRUE(KvLog::AddFile((dir.Path() / "d.log").string(), KvLog::FileMode::Truncate, 9));
    source.figures[KvFakeShm::kTransportTcp] = {true, true};
    for (int frame = 0; frame < 3; ++frame) {
        const auto previews = RowsWith(Frame(), "Preview");
        EXPECT_NE(previews[0].find("Preview     :  "), std::string::npos) << previews[0];
    }
    KvLog::FlushAll();
    const std::string log = KvTest::ReadFile(dir.Path() / "d.log");
    const std::string line = "ERR| ReadFrom_Tcp failed to read: Block 'TestBlock' does not exist!";
    EXPECT_EQ(KvTest::CountOf(log, line), 3u) << log;
    EXPECT_EQ(errorText, "Block 'TestBlock' does not exist!");
}

TEST_F(Dashboard, TheTuningTabShowsEveryParameterAndStillReadsTheSockets) {
    AllAlive();
    source.values[KvFakeShm::kTransportTcp] = "x";
    source.values[KvFakeShm::kTransportIpc] = "y";
    source.tuning.SocketReceiveTimeout = -3;
    source.tuning.SharedMemHeartbeatBlockSize = 4096;
    state.selectedTab = 1;
    const auto grid = Frame();
    EXPECT_NE(grid.RowText(3).find("  Benchmark     [ Tuning Info ]"), std::string::npos);
    EXPECT_EQ(RowOf(grid, "TCP Transport"), -1);
    const int title = RowOf(grid, "Tuning Parameters");
    ASSERT_GT(title, 0);
    const std::vector<std::string> rows{
        "SocketRecvNonBlock              : true",    "SocketRecvTimeout               : -3 ms",
        "SocketSendNonBlock              : false",   "SocketSendTimeout               : 1 ms",
        "ReconnectTimeMin                : 1 ms",    "ReconnectTimeMax                : 10 ms",
        "WorkerRetryInterval             : 1 ms",    "HeartbeatInterval               : 1 ms",
        "LivenessTimeout                 : 5 ms",    "LatencyWindow                   : 1000 ms",
        "ThroughputWindow                : 1000 ms", "SharedMemHeartbeatBlock         : 4096",
        "SharedMemLiveness               : 50 ms"};
    for (std::size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(grid.RowText(title + 2 + static_cast<int>(2 * i)).substr(6, rows[i].size() + 1),
                  rows[i] + " ");
    }
    EXPECT_EQ(source.reads[KvFakeShm::kTransportTcp], 1);
    EXPECT_EQ(source.reads[KvFakeShm::kTransportIpc], 1);
}

TEST_F(Dashboard, TheSharedMemPreviewIsCopiedWhileTheReadThreadReplacesIt) {
    std::atomic<bool> stop{false};
    state.sharedMemPreview = "BBBB";
    std::thread writer([&] {
        for (int i = 0; !stop; ++i) {
            std::unique_lock lock(state.previewLock);
            state.sharedMemPreview = i % 2 == 0 ? "AAAAAAAAAAAAAAAA" : "BBBB";
        }
    });
    for (int frame = 0; frame < 50; ++frame) {
        const auto previews = RowsWith(Frame(), "Preview");
        ASSERT_EQ(previews.size(), 1u);
        const bool whole = previews[0].find("AAAAAAAAAAAAAAAA") != std::string::npos ||
                           previews[0].find("BBBB ") != std::string::npos;
        EXPECT_TRUE(whole) << "[" << previews[0] << "]";
    }
    stop = true;
    writer.join();
}

TEST_F(Dashboard, SmallTerminalsClipTheFrame) {
    AllAlive();
    for (const auto& [width, height] : std::vector<std::pair<int, int>>{{0, 0}, {1, 1}, {20, 5}, {80, 24}}) {
        const auto grid = Frame(width, height);
        EXPECT_EQ(grid.Width(), width);
    }
}
