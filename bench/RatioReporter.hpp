#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace KvBench {

// The console report (plain text, so that scripts can read it), followed by each measurement as a ratio
// of CPU time to its baseline.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    // `budgets`: measurements also shown as a share of a fixed time budget in nanoseconds.
    explicit RatioReporter(std::vector<std::pair<std::string, std::string>> pairs,
                           std::vector<std::pair<std::string, double>> budgets = {})
        : ConsoleReporter(OO_Tabular), pairs_(std::move(pairs)), budgets_(std::move(budgets)) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const auto& run : runs) {
            if (run.run_type == Run::RT_Iteration || run.aggregate_name == "mean") {
                cpuNs_[run.run_name.str()] = run.GetAdjustedCPUTime();
            }
        }
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        for (const auto& [measured, baseline] : pairs_) {
            if (cpuNs_.count(measured) != 0 && cpuNs_.count(baseline) != 0 && cpuNs_[baseline] > 0) {
                std::printf("ratio %-36s / %-36s = %8.2f\n", measured.c_str(), baseline.c_str(),
                            cpuNs_[measured] / cpuNs_[baseline]);
            }
        }
        for (const auto& [measured, budgetNs] : budgets_) {
            if (cpuNs_.count(measured) != 0) {
                std::printf("share %-36s of a %.3f ms budget = %8.4f\n", measured.c_str(), budgetNs / 1e6,
                            cpuNs_[measured] / budgetNs);
            }
        }
    }

  private:
    std::vector<std::pair<std::string, std::string>> pairs_;
    std::vector<std::pair<std::string, double>> budgets_;
    std::map<std::string, double> cpuNs_;
};

inline int RunWithRatios(int argc, char** argv, std::vector<std::pair<std::string, std::string>> pairs,
                         std::vector<std::pair<std::string, double>> budgets = {}) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter(std::move(pairs), std::move(budgets));
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}

}  // namespace KvBench
