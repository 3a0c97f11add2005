#include "bench/LinkReport.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "bench/LinkSamples.hpp"

namespace KvBench {
namespace {

const char* const kVariants[] = {"bare-block", "bare-poll", "ours-poll", "ours-block"};
const double kRates[] = {100, 1000, 0};

double MedianOf(std::vector<double> values) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

std::string Upper(std::string word) {
    std::transform(word.begin(), word.end(), word.begin(),
                   [](char c) { return static_cast<char>(std::toupper(c)); });
    return word;
}

}  // namespace

std::string RateName(double rate) {
    return rate == 0 ? "max" : std::to_string(static_cast<long>(rate)) + "/s";
}

LinkReport::LinkReport(std::filesystem::path out) : out_(std::move(out)) {
    std::filesystem::create_directories(out_);
    csv_.open(out_ / "link-bench.csv", std::ios::trunc);
    csv_ << "section,variant,transport,rate,run,p50_us,p90_us,p99_us,p999_us,count,value\n";
}

void LinkReport::AddLatency(const std::string& variant, const std::string& transport, double rate, int run,
                            std::vector<std::uint64_t> samples) {
    std::sort(samples.begin(), samples.end());
    Summary summary{Percentile(samples, 50), Percentile(samples, 90), Percentile(samples, 99),
                    Percentile(samples, 99.9), samples.size()};
    const Key key{rate, transport, variant};
    latency_[key].push_back(summary);
    auto& pooled = pooled_[key];
    pooled.insert(pooled.end(), samples.begin(), samples.end());
    csv_ << "latency," << variant << ',' << transport << ',' << RateName(rate) << ',' << run << ','
         << summary.p50 / 1e3 << ',' << summary.p90 / 1e3 << ',' << summary.p99 / 1e3 << ','
         << summary.p999 / 1e3 << ',' << summary.count << ",\n";
}

void LinkReport::AddThroughput(const std::string& variant, const std::string& transport, std::size_t size,
                               int run, double perSecond) {
    throughput_[{transport, size}][variant].push_back(perSecond);
    csv_ << "throughput_" << size << "B," << variant << ',' << transport << ",max," << run << ",,,,,,"
         << perSecond << '\n';
}

void LinkReport::AddCpu(const std::string& scenario, const std::string& process, const CpuUse& use) {
    cpu_.emplace_back(scenario, process, use);
    csv_ << "cpu_pct,\"" << scenario << "\"," << process << ",,,,,,,," << use.total << '\n';
    for (const auto& [thread, percent] : use.byThread) {
        csv_ << "thread_cpu_pct,\"" << scenario << "\"," << process << ":" << thread << ",,,,,,,," << percent
             << '\n';
    }
}

void LinkReport::SetRss(std::uint64_t startKib, std::uint64_t endKib) {
    rssStart_ = startKib;
    rssEnd_ = endKib;
    csv_ << "rss_kib,start,client,,,,,,,," << startKib << "\nrss_kib,end,client,,,,,,,," << endKib << '\n';
}

LinkReport::Summary LinkReport::Median(const Key& key) const {
    const auto found = latency_.find(key);
    if (found == latency_.end()) {
        return {};
    }
    const auto median = [&](double Summary::*field) {
        std::vector<double> values;
        for (const auto& run : found->second) {
            values.push_back(run.*field);
        }
        return MedianOf(values);
    };
    std::size_t count = 0;
    for (const auto& run : found->second) {
        count += run.count;
    }
    return {median(&Summary::p50), median(&Summary::p90), median(&Summary::p99), median(&Summary::p999),
            count};
}

double LinkReport::LatencyRatio(const std::string& variant, const std::string& transport,
                                double Summary::*field) const {
    const double bare = Median({100, transport, "bare-block"}).*field;
    return bare == 0 ? 0 : Median({100, transport, variant}).*field / bare;
}

void LinkReport::PrintLatency(std::FILE* out) const {
    std::fprintf(out, "\nLatency of a 16-byte value, one way, every sample (us; medians of the runs)\n");
    std::fprintf(out, "%-7s %-4s %-11s %9s %9s %9s %9s %8s %8s %8s\n", "rate", "link", "variant", "p50",
                 "p90", "p99", "p99.9", "samples", "p50/bare", "p99/bare");
    for (const double rate : kRates) {
        for (const std::string transport : {"ipc", "tcp"}) {
            const Summary bare = Median({rate, transport, "bare-block"});
            for (const std::string variant : kVariants) {
                const Summary s = Median({rate, transport, variant});
                std::fprintf(out, "%-7s %-4s %-11s %9.1f %9.1f %9.1f %9.1f %8zu %8.2f %8.2f\n",
                             RateName(rate).c_str(), Upper(transport).c_str(), variant.c_str(), s.p50 / 1e3,
                             s.p90 / 1e3, s.p99 / 1e3, s.p999 / 1e3, s.count,
                             bare.p50 > 0 ? s.p50 / bare.p50 : 0, bare.p99 > 0 ? s.p99 / bare.p99 : 0);
            }
        }
    }
}

double LinkReport::PrintThroughput(std::FILE* out) const {
    std::fprintf(out,
                 "\nThroughput, messages per second through the receiving process (medians of the runs)\n");
    std::fprintf(out, "%-5s %-8s %12s %12s %12s %10s %10s\n", "link", "value", "bare-block", "ours-poll",
                 "ours-block", "poll/bare", "block/bare");
    double worst64 = 0;
    bool first64 = true;
    for (const auto& [key, variants] : throughput_) {
        const auto median = [&](const char* variant) {
            const auto found = variants.find(variant);
            return found == variants.end() ? 0.0 : MedianOf(found->second);
        };
        const double bare = median("bare-block"), poll = median("ours-poll"), block = median("ours-block");
        const double ratio = bare > 0 ? poll / bare : 0;
        std::fprintf(out, "%-5s %-8s %12.0f %12.0f %12.0f %10.2f %10.2f\n", Upper(key.first).c_str(),
                     key.second == 64 ? "64 B" : "64 KiB", bare, poll, block, ratio,
                     bare > 0 ? block / bare : 0);
        if (key.second == 64) {
            worst64 = first64 ? ratio : std::min(worst64, ratio);
            first64 = false;
        }
    }
    return worst64;
}

void LinkReport::PrintCpu(std::FILE* out) const {
    std::fprintf(out, "\nCPU, percent of one core over 5 s (threads above 0.5 %%)\n");
    for (const auto& [scenario, process, use] : cpu_) {
        std::fprintf(out, "%-26s %-7s %6.1f  ", scenario.c_str(), process.c_str(), use.total);
        std::vector<std::pair<double, std::string>> threads;
        for (const auto& [name, percent] : use.byThread) {
            if (percent > 0.5) {
                threads.emplace_back(percent, name);
            }
        }
        std::sort(threads.rbegin(), threads.rend());
        for (const auto& [percent, name] : threads) {
            std::fprintf(out, " %s %.1f", name.c_str(), percent);
        }
        std::fprintf(out, "\n");
    }
    std::fprintf(out, "client RSS: %llu KiB after start-up, %llu KiB at the end\n",
                 static_cast<unsigned long long>(rssStart_), static_cast<unsigned long long>(rssEnd_));
}

// One cumulative distribution per variant and link for each rate, on a logarithmic time axis.
void LinkReport::Plot() const {
    const auto data = out_ / "plot";
    std::filesystem::create_directories(data);
    std::ofstream script(data / "latency.gp", std::ios::trunc);
    script << "set terminal png size 1100,600\nset logscale x\nset grid\nset key bottom right\n"
              "set xlabel 'one-way latency (us)'\nset ylabel 'share of samples'\n";
    for (const double rate : kRates) {
        const std::string rateTag = rate == 0 ? "max" : std::to_string(static_cast<long>(rate));
        script << "set output '" << (out_ / ("latency-" + rateTag + ".png")).string() << "'\n"
               << "set title 'Latency distribution, 16-byte value at " << RateName(rate) << "'\nplot ";
        bool firstCurve = true;
        for (const std::string transport : {"ipc", "tcp"}) {
            for (const std::string variant : kVariants) {
                const auto found = pooled_.find({rate, transport, variant});
                if (found == pooled_.end() || found->second.empty()) {
                    continue;
                }
                auto sorted = found->second;
                std::sort(sorted.begin(), sorted.end());
                const auto file = data / (rateTag + "-" + transport + "-" + variant + ".dat");
                std::ofstream points(file, std::ios::trunc);
                const std::size_t step = std::max<std::size_t>(1, sorted.size() / 2000);
                for (std::size_t i = 0; i < sorted.size(); i += step) {
                    points << sorted[i] / 1e3 << ' '
                           << static_cast<double>(i + 1) / static_cast<double>(sorted.size()) << '\n';
                }
                points << sorted.back() / 1e3 << " 1\n";
                script << (firstCurve ? "" : ", ") << "'" << file.string() << "' with lines lw 2 title '"
                       << Upper(transport) << " " << variant << "'";
                firstCurve = false;
            }
        }
        script << "\n";
    }
    script.close();
    const std::string command = "gnuplot '" + (data / "latency.gp").string() + "' 2>/dev/null";
    if (std::system(command.c_str()) != 0) {
        std::fprintf(stderr, "gnuplot failed; the distributions are in %s\n", data.c_str());
    }
}

void LinkReport::Print(double frameUs) {
    csv_.flush();
    PrintLatency(stdout);
    const double thr64 = PrintThroughput(stdout);
    PrintCpu(stdout);
    Plot();

    double idleCpu = 0, blockCpu = 0;
    for (const auto& [scenario, process, use] : cpu_) {
        if (scenario == "client, no peer") {
            idleCpu = use.total;
        }
        if (scenario == "peer at 100 Hz, blocking") {
            blockCpu = std::max(blockCpu, use.total);
        }
    }
    const long rssGrowth = static_cast<long>(rssEnd_) - static_cast<long>(rssStart_);
    std::printf(
        "\nperf: ipc_p50_ratio=%.2f ipc_p99_ratio=%.2f tcp_p50_ratio=%.2f tcp_p99_ratio=%.2f "
        "block_ipc_p50_ratio=%.2f block_tcp_p50_ratio=%.2f thr64_ratio=%.2f idle_cpu_pct=%.1f "
        "block_cpu_pct=%.1f rss_growth_kib=%ld frame_us=%.1f\n",
        LatencyRatio("ours-poll", "ipc", &Summary::p50), LatencyRatio("ours-poll", "ipc", &Summary::p99),
        LatencyRatio("ours-poll", "tcp", &Summary::p50), LatencyRatio("ours-poll", "tcp", &Summary::p99),
        LatencyRatio("ours-block", "ipc", &Summary::p50), LatencyRatio("ours-block", "tcp", &Summary::p50),
        thr64, idleCpu, blockCpu, rssGrowth, frameUs);
}

}  // namespace KvBench
