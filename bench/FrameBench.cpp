// The cost of one dashboard frame (build, layout, render to a 160x50 grid), set against a blank frame of
// the same size and against the 16.666 ms frame budget: the dashboard must not take the CPU that the
// transports it measures need.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>

#include "bench/RatioReporter.hpp"
#include "client/ClientState.hpp"
#include "client/Dashboard.hpp"
#include "client/FakeShmUse.hpp"
#include "kvfakeshm/FakeSharedMem.hpp"
#include "kvlog/Logging.hpp"
#include "tui/Grid.hpp"

namespace {

constexpr int kWidth = 160;
constexpr int kHeight = 50;

// Every peer alive with figures and a value to read: every branch of a busy frame.
class BusySource : public KvClient::DashboardSource {
  public:
    KvClient::TransportFigures Figures(KvFakeShm::TransportKind) const override {
        return {true,
                true,
                std::chrono::nanoseconds(2'345'678),
                std::chrono::nanoseconds(3'456),
                1'536,
                1'048'576,
                12,
                1023};
    }
    bool Read(KvFakeShm::TransportKind, const std::string&, const std::string&, std::string& data,
              std::string&) override {
        data = "Hello from the Connect peer #12345";
        return true;
    }
    KvFakeShm::Tuning GetTuning() const override { return {}; }
};

void Frame(benchmark::State& state, KvClient::DashboardSource& source) {
    auto& client = KvClient::GetClientState();
    std::string errorText;
    for (auto _ : state) {
        KvTui::Grid grid(kWidth, kHeight);
        KvTui::Render(grid, KvClient::RenderDashboard(source, client, errorText));
        benchmark::DoNotOptimize(grid.At(0, 0));
    }
}

void BM_Baseline_BlankFrame(benchmark::State& state) {
    for (auto _ : state) {
        KvTui::Grid grid(kWidth, kHeight);
        KvTui::Render(grid, KvTui::text("") | KvTui::border | KvTui::flex);
        benchmark::DoNotOptimize(grid.At(0, 0));
    }
}
BENCHMARK(BM_Baseline_BlankFrame);

// The live queries of the process's instance, started as the client starts it (no peer running).
void BM_DashboardFrame_Live(benchmark::State& state) {
    KvClient::LiveDashboardSource source(KvFakeShm::FakeSharedMem::GetInstance());
    Frame(state, source);
}
BENCHMARK(BM_DashboardFrame_Live);

void BM_DashboardFrame_AllPeersAlive(benchmark::State& state) {
    BusySource source;
    Frame(state, source);
}
BENCHMARK(BM_DashboardFrame_AllPeersAlive);

}  // namespace

int main(int argc, char** argv) {
    // A configuration folder of the benchmark's own, so no user file is touched.
    const auto docs =
        std::filesystem::temp_directory_path() / ("kvframe-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(docs / "Korvanta");
    ::setenv("XDG_DOCUMENTS_DIR", docs.c_str(), 1);
    KvLog::SetConsoleVerbosity(KvLog::kOff);  // without a peer the SharedMem worker logs every pass
    KvClient::InitializeFakeSharedMem();

    const int status = KvBench::RunWithRatios(
        argc, argv,
        {{"BM_DashboardFrame_Live", "BM_Baseline_BlankFrame"},
         {"BM_DashboardFrame_AllPeersAlive", "BM_Baseline_BlankFrame"}},
        {{"BM_DashboardFrame_Live", 16'666'000.0}, {"BM_DashboardFrame_AllPeersAlive", 16'666'000.0}});

    KvClient::TerminateFakeSharedMem();
    std::filesystem::remove_all(docs);
    return status;
}
