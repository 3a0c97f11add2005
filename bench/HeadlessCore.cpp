// The Core as the client runs it (log, FakeSharedMem as Core with SharedMem asked for, the legacy read
// thread), without the screen: the harness of the link benchmarks and soaks. Prints the figures once a
// second (or every N ms) and, at the end, every latency sample that messages yielded.
//
//   kvfakeshm-headless-core [--seconds S] [--samples PREFIX] [--warmup-ms N] [--no-reader] [--frames]
//                           [--print-ms N]
//
// PREFIX.ipc.txt and PREFIX.tcp.txt get one latency (ns) per line; the last lines of the output give
// each transport's message count, the span between its first and last sample and its longest silence.
// --frames builds a dashboard frame 60 times a second, as the client does, without drawing it.
#include <atomic>
#include <csignal>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "bench/LinkSamples.hpp"
#include "client/ClientState.hpp"
#include "client/Dashboard.hpp"
#include "client/FakeShmUse.hpp"
#include "client/Lifecycle.hpp"
#include "kvfakeshm/FakeSharedMemImpl.hpp"
#include "kvlog/Logging.hpp"

namespace {

std::atomic<bool> stopRequested{false};

// Each transport's samples are written by its own worker thread only; read after Terminate joined it.
struct TransportSamples {
    std::vector<std::uint64_t> latencies;
    std::uint64_t first = 0;
    std::uint64_t last = 0;
    // The longest silence between two receipts, and the latency of the message that ended it: a small
    // one means the sender was silent, a large one that the receiving side was held up.
    std::uint64_t maxGap = 0;
    std::uint64_t latencyAfterMaxGap = 0;
};
TransportSamples ipcSamples, tcpSamples;
std::atomic<std::uint64_t> recordFrom{0};

void Tap(KvFakeShm::TransportKind transport, std::uint64_t latencyNs) {
    const std::uint64_t now = KvBench::SteadyNs();
    if (now < recordFrom.load(std::memory_order_relaxed)) {
        return;
    }
    auto& samples = transport == KvFakeShm::kTransportIpc ? ipcSamples : tcpSamples;
    if (samples.latencies.empty()) {
        samples.first = now;
    } else if (now - samples.last > samples.maxGap) {
        samples.maxGap = now - samples.last;
        samples.latencyAfterMaxGap = latencyNs;
    }
    samples.last = now;
    samples.latencies.push_back(latencyNs);
}

void PrintFigures(double t, const KvFakeShm::FakeSharedMem& shm) {
    std::printf(
        "t=%.2f ipc alive=%d latency_us=%.1f smoothed_us=%.1f read=%llu meta=%llu | tcp alive=%d "
        "latency_us=%.1f "
        "smoothed_us=%.1f read=%llu meta=%llu | shm alive=%d latency_us=%.1f read=%llu write=%llu\n",
        t, shm.IsIpcPeerAlive(), shm.GetIpcLatency().count() / 1e3, shm.GetIpcSmoothedLatency().count() / 1e3,
        static_cast<unsigned long long>(shm.GetIpcReadRate()),
        static_cast<unsigned long long>(shm.GetIpcReadRateWithMeta()), shm.IsTcpPeerAlive(),
        shm.GetTcpLatency().count() / 1e3, shm.GetTcpSmoothedLatency().count() / 1e3,
        static_cast<unsigned long long>(shm.GetTcpReadRate()),
        static_cast<unsigned long long>(shm.GetTcpReadRateWithMeta()), shm.IsSharedMemPeerAlive(),
        shm.GetSharedMemLatency().count() / 1e3, static_cast<unsigned long long>(shm.GetSharedMemReadRate()),
        static_cast<unsigned long long>(shm.GetSharedMemWriteRate()));
    std::fflush(stdout);
}

void Report(const char* name, const TransportSamples& samples, const std::string& prefix) {
    std::printf("%s count=%zu span_ns=%llu max_gap_us=%llu latency_after_gap_us=%llu\n", name,
                samples.latencies.size(), static_cast<unsigned long long>(samples.last - samples.first),
                static_cast<unsigned long long>(samples.maxGap / 1000),
                static_cast<unsigned long long>(samples.latencyAfterMaxGap / 1000));
    if (!prefix.empty()) {
        KvBench::WriteSamples(prefix + "." + name + ".txt", samples.latencies);
    }
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = 0;
    std::string prefix;
    long warmupMs = 500;
    bool reader = true;
    bool frames = false;
    std::chrono::milliseconds printEvery{1000};
    for (int i = 1; i < argc; ++i) {
        const std::string flag = argv[i];
        if (flag == "--no-reader") {
            reader = false;
        } else if (flag == "--frames") {
            frames = true;
        } else if (i + 1 < argc && flag == "--seconds") {
            seconds = std::stod(argv[++i]);
        } else if (i + 1 < argc && flag == "--samples") {
            prefix = argv[++i];
        } else if (i + 1 < argc && flag == "--print-ms") {
            printEvery = std::chrono::milliseconds(std::stol(argv[++i]));
        } else if (i + 1 < argc && flag == "--warmup-ms") {
            warmupMs = std::stol(argv[++i]);
        } else {
            std::fprintf(stderr,
                         "usage: kvfakeshm-headless-core [--seconds S] [--samples PREFIX] [--warmup-ms N] "
                         "[--no-reader] [--frames] [--print-ms N]\n");
            return 64;
        }
    }
    ipcSamples.latencies.reserve(1 << 20);
    tcpSamples.latencies.reserve(1 << 20);
    struct sigaction action {};
    action.sa_handler = [](int) { stopRequested.store(true); };
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    KvClient::InitializeLog();
    KvLog::SetConsoleVerbosity(KvLog::kFatal);  // stdout carries the figures
    auto& shm = KvFakeShm::FakeSharedMem::GetInstance();
    recordFrom.store(KvBench::SteadyNs() + static_cast<std::uint64_t>(warmupMs) * 1'000'000);
    shm.GetImpl().latencyTap.store(&Tap);
    KvClient::InitializeFakeSharedMem();
    auto& state = KvClient::GetClientState();
    state.running.store(true);
    std::thread legacySharedMemReadThread;
    if (reader) {
        legacySharedMemReadThread = std::thread(KvClient::LegacySharedMemRead);
    }

    const auto started = std::chrono::steady_clock::now();
    auto next = started + printEvery;
    while (!stopRequested.load()) {
        const auto now = std::chrono::steady_clock::now();
        const double elapsed = std::chrono::duration<double>(now - started).count();
        if (seconds > 0 && elapsed >= seconds) {
            break;
        }
        if (now >= next) {
            PrintFigures(elapsed, shm);
            next += printEvery;
        }
        if (frames) {
            KvClient::LiveDashboardSource source(shm);
            std::string errorText;
            (void)KvClient::RenderDashboard(source, state, errorText);
            std::this_thread::sleep_for(std::chrono::microseconds(16'667));
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }

    state.running.store(false);
    if (legacySharedMemReadThread.joinable()) {
        legacySharedMemReadThread.join();
    }
    KvClient::TerminateFakeSharedMem();
    shm.GetImpl().latencyTap.store(nullptr);
    Report("ipc", ipcSamples, prefix);
    Report("tcp", tcpSamples, prefix);
    KvClient::TerminateLog();
    return 0;
}
