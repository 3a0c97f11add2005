// The link benchmark: the Connect peer program against the Core (the headless one for latency and
// throughput, the dashboard client itself on a pseudo-terminal for CPU and memory), beside a bare NNG
// pair0 link between two processes with the same message size and rate, all in one run. Every ratio is
// ours over the bare blocking pair of the same run.
//
//   kvlink_bench BUILD_DIR OUT_DIR [--runs N] [--frame-us X]
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "bench/LinkReport.hpp"
#include "bench/LinkSamples.hpp"
#include "bench/Processes.hpp"
#include "kvfakeshm/MessageWire.hpp"
#include "kvfakeshm/TuningFile.hpp"

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace KvBench {
namespace {

const std::vector<std::string> kTransports{"ipc", "tcp"};

struct Programs {
    std::string peer, core, bare, client;
};

// What one run of one variant left per transport.
struct TransportRun {
    std::vector<std::uint64_t> samples;
    std::size_t count = 0;
    std::uint64_t spanNs = 0;
};
using RunResult = std::map<std::string, TransportRun>;

// "name count=N span_ns=M" lines of the headless Core and the bare receiver.
void ReadCounts(const std::string& output, const std::map<std::string, std::string>& names,
                RunResult& result) {
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::string name, count, span;
        words >> name >> count >> span;
        if (names.count(name) != 0 && count.starts_with("count=") && span.starts_with("span_ns=")) {
            auto& run = result[names.at(name)];
            run.count = std::stoull(count.substr(6));
            run.spanNs = std::stoull(span.substr(8));
        }
    }
}

// The size of the library's message carrying a value of `size` bytes at TestBlock/TestAddress.
std::size_t MessageSizeFor(std::size_t size) {
    FakeShm::MessageT message;
    message.version = KvFakeShm::kMessageVersion;
    message.timestamp = 1;
    message.source = FakeShm::SourceType_Connect;
    FakeShm::SharedMemT payload;
    payload.version = KvFakeShm::kSharedMemVersion;
    payload.block = "TestBlock";
    payload.address = "TestAddress";
    payload.data.assign(size, 'x');
    message.payload.Set(std::move(payload));
    flatbuffers::FlatBufferBuilder builder(KvFakeShm::kBuilderInitialSize);
    KvFakeShm::BuildMessage(message, builder);
    return builder.GetSize();
}

class Harness {
  public:
    Harness(Programs programs, fs::path out, int runs, double frameUs)
        : programs_(std::move(programs)),
          out_(std::move(out)),
          runs_(runs),
          report_(out_),
          frameUs_(frameUs) {
        docs_ = out_ / "docs";
        fs::remove_all(docs_);
        fs::create_directories(docs_ / "Korvanta");
        ::setenv("XDG_DOCUMENTS_DIR", docs_.c_str(), 1);
        fs::create_directories(out_ / "runs");
    }

    void Latency() {
        const std::vector<std::pair<double, double>> rates{{100, 6}, {1000, 4}, {0, 3}};
        for (const auto& [rate, seconds] : rates) {
            for (int run = 1; run <= runs_; ++run) {
                for (const std::string variant : {"ours-poll", "ours-block", "bare-block", "bare-poll"}) {
                    std::fprintf(stderr, "latency: %s at %s, run %d\n", variant.c_str(),
                                 RateName(rate).c_str(), run);
                    const RunResult result =
                        variant.starts_with("ours")
                            ? RunOurs(variant == "ours-poll", rate, seconds, "ipc,tcp,shm", 16)
                            : RunBare(variant == "bare-poll", rate, seconds, 16);
                    for (const auto& [transport, data] : result) {
                        report_.AddLatency(variant, transport, rate, run, data.samples);
                    }
                }
            }
        }
    }

    void Throughput() {
        for (const std::size_t size : {std::size_t{64}, std::size_t{64 * 1024}}) {
            for (const auto& transport : kTransports) {
                for (int run = 1; run <= runs_; ++run) {
                    std::fprintf(stderr, "throughput: %s %zu B, run %d\n", transport.c_str(), size, run);
                    report_.AddThroughput("ours-poll", transport, size, run,
                                          Rate(RunOurs(true, 0, 3, transport, size)[transport]));
                    report_.AddThroughput("ours-block", transport, size, run,
                                          Rate(RunOurs(false, 0, 3, transport, size)[transport]));
                    report_.AddThroughput("bare-block", transport, size, run,
                                          Rate(RunBare(false, 0, 3, size, transport)[transport]));
                }
            }
        }
    }

    // The client itself, on a terminal, through one run: no peer, then an idle peer and a peer at
    // 100 Hz in each receive mode. Its RSS is read after its start-up and again at the end.
    void CpuAndMemory() {
        fs::remove(docs_ / "Korvanta" / "kvfakeshm-transport.bin");
        WriteTuning(true);
        TerminalChild client({programs_.client}, 160, 50);
        std::this_thread::sleep_for(2s);
        const std::uint64_t rssStart = ResidentKib(client.Pid());
        report_.AddCpu("client, no peer", "client", MeasureCpu(client.Pid(), 5s));
        for (const bool nonBlocking : {true, false}) {
            WriteTuning(nonBlocking);
            for (const bool idle : {true, false}) {
                const std::string scenario = std::string(idle ? "idle peer" : "peer at 100 Hz") +
                                             (nonBlocking ? ", polling" : ", blocking");
                std::fprintf(stderr, "cpu: %s\n", scenario.c_str());
                std::vector<std::string> args{programs_.peer};
                if (idle) {
                    args.push_back("--idle");
                }
                Child peer(args, (out_ / "runs" / "cpu-peer.out").string());
                peer.WaitForLine("ready", 10s);
                std::this_thread::sleep_for(2s);  // the client reloads and connects
                const auto before =
                    std::make_pair(ReadThreadTimes(client.Pid()), ReadThreadTimes(peer.Pid()));
                const auto start = std::chrono::steady_clock::now();
                std::this_thread::sleep_for(5s);
                const auto elapsed = std::chrono::steady_clock::now() - start;
                report_.AddCpu(scenario, "client",
                               CpuBetween(before.first, ReadThreadTimes(client.Pid()), elapsed));
                report_.AddCpu(scenario, "peer",
                               CpuBetween(before.second, ReadThreadTimes(peer.Pid()), elapsed));
                peer.Signal(SIGTERM);
                peer.Wait(10s);
                std::this_thread::sleep_for(500ms);
            }
        }
        std::this_thread::sleep_for(1s);
        report_.SetRss(rssStart, ResidentKib(client.Pid()));
        client.Type("q");
        client.Wait(15s);
    }

    void Finish() { report_.Print(frameUs_); }

  private:
    static double Rate(const TransportRun& run) {
        return run.spanNs == 0 ? 0 : static_cast<double>(run.count) * 1e9 / static_cast<double>(run.spanNs);
    }

    void WriteTuning(bool nonBlocking) {
        KvFakeShm::Tuning tuning;
        tuning.SocketReceiveNonBlocking = nonBlocking;
        std::ofstream(docs_ / "Korvanta" / "kvfakeshm-params.yml", std::ios::trunc)
            << KvFakeShm::FormatTuningFile(tuning);
    }

    std::string RunFile(const std::string& name) const { return (out_ / "runs" / name).string(); }

    RunResult RunOurs(bool nonBlocking, double rate, double seconds, const std::string& transports,
                      std::size_t size) {
        WriteTuning(nonBlocking);
        Child peer(
            {programs_.peer, "--transports", transports, "--rate", Number(rate), "--size", Number(size)},
            RunFile("peer.out"));
        RunResult result;
        if (!peer.WaitForLine("ready", 10s)) {
            std::fprintf(stderr, "the Connect peer did not start:\n%s\n", peer.Output().c_str());
            return result;
        }
        const std::string prefix = RunFile("ours");
        Child core(
            {programs_.core, "--seconds", Number(seconds + 0.5), "--samples", prefix, "--warmup-ms", "500"},
            RunFile("core.out"));
        core.Wait(std::chrono::milliseconds(static_cast<long>(seconds * 1000) + 30'000));
        peer.Signal(SIGTERM);
        peer.Wait(10s);
        ReadCounts(core.Output(), {{"ipc", "ipc"}, {"tcp", "tcp"}}, result);
        for (const auto& transport : kTransports) {
            if (transports.find(transport) != std::string::npos) {
                result[transport].samples = ReadSamples(prefix + "." + transport + ".txt");
            } else {
                result.erase(transport);
            }
        }
        return result;
    }

    // Both transports side by side, as the peer program sends them, unless one is named.
    RunResult RunBare(bool poll, double rate, double seconds, std::size_t valueSize,
                      const std::string& only = "") {
        std::vector<std::string> names, urls;
        for (const auto& transport : kTransports) {
            if (only.empty() || only == transport) {
                names.push_back(transport);
                urls.push_back(transport == "ipc" ? "abstract://kvbench-" + std::to_string(::getpid())
                                                  : "tcp://127.0.0.1:" + std::to_string(FreeTcpPort()));
            }
        }
        std::string list;
        for (const auto& url : urls) {
            list += (list.empty() ? "" : ",") + url;
        }
        const std::string prefix = RunFile("bare");
        Child receiver({programs_.bare, "recv", list, poll ? "poll" : "block", prefix},
                       RunFile("bare-recv.out"));
        Child sender(
            {programs_.bare, "send", list, Number(MessageSizeFor(valueSize)), Number(rate), Number(seconds)},
            RunFile("bare-send.out"));
        sender.Wait(std::chrono::milliseconds(static_cast<long>(seconds * 1000) + 30'000));
        receiver.Wait(10s);
        RunResult result;
        std::map<std::string, std::string> indexNames;
        for (std::size_t i = 0; i < names.size(); ++i) {
            indexNames[std::to_string(i)] = names[i];
            result[names[i]].samples = ReadSamples(prefix + "." + std::to_string(i) + ".txt");
        }
        ReadCounts(receiver.Output(), indexNames, result);
        return result;
    }

    static std::string Number(double value) {
        std::ostringstream text;
        text << value;
        return text.str();
    }

    Programs programs_;
    fs::path out_;
    fs::path docs_;
    int runs_;
    LinkReport report_;
    double frameUs_;
};

}  // namespace
}  // namespace KvBench

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: kvlink_bench BUILD_DIR OUT_DIR [--runs N] [--frame-us X]\n");
        return 64;
    }
    const fs::path build = argv[1];
    int runs = 3;
    double frameUs = 0;
    for (int i = 3; i + 1 < argc; i += 2) {
        const std::string flag = argv[i];
        if (flag == "--runs") {
            runs = std::stoi(argv[i + 1]);
        } else if (flag == "--frame-us") {
            frameUs = std::stod(argv[i + 1]);
        }
    }
    signal(SIGPIPE, SIG_IGN);
    KvBench::Programs programs{(build / "connectpeer/kvfakeshm-connect-peer").string(),
                               (build / "bench/kvfakeshm-headless-core").string(),
                               (build / "bench/kvbare_pair").string(),
                               (build / "client/kvfakeshm-core-client").string()};
    KvBench::Harness harness(programs, argv[2], runs, frameUs);
    harness.Latency();
    harness.Throughput();
    harness.CpuAndMemory();
    harness.Finish();
    return 0;
}
