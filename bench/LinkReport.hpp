#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "bench/Processes.hpp"

namespace KvBench {

// "100/s", "1000/s", or "max" for a rate of 0.
std::string RateName(double rate);

// The link benchmark's figures: a table on standard output, a CSV, latency distributions drawn by
// gnuplot, and the closing `perf:` line. Latency figures are medians over the runs.
class LinkReport {
  public:
    explicit LinkReport(std::filesystem::path out);

    void AddLatency(const std::string& variant, const std::string& transport, double rate, int run,
                    std::vector<std::uint64_t> samples);
    void AddThroughput(const std::string& variant, const std::string& transport, std::size_t size, int run,
                       double perSecond);
    void AddCpu(const std::string& scenario, const std::string& process, const CpuUse& use);
    void SetRss(std::uint64_t startKib, std::uint64_t endKib);
    void Print(double frameUs);

  private:
    struct Summary {
        double p50 = 0, p90 = 0, p99 = 0, p999 = 0;
        std::size_t count = 0;
    };
    using Key = std::tuple<double, std::string, std::string>;  // rate, transport, variant
    Summary Median(const Key& key) const;
    double LatencyRatio(const std::string& variant, const std::string& transport,
                        double Summary::*field) const;
    void PrintLatency(std::FILE* out) const;
    double PrintThroughput(std::FILE* out) const;
    void PrintCpu(std::FILE* out) const;
    void Plot() const;

    std::filesystem::path out_;
    std::ofstream csv_;
    std::map<Key, std::vector<Summary>> latency_;
    std::map<Key, std::vector<std::uint64_t>> pooled_;
    // (transport, size) -> variant -> one figure per run
    std::map<std::pair<std::string, std::size_t>, std::map<std::string, std::vector<double>>> throughput_;
    std::vector<std::tuple<std::string, std::string, CpuUse>> cpu_;
    std::uint64_t rssStart_ = 0, rssEnd_ = 0;
};

}  // namespace KvBench
