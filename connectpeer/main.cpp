// A Connect peer for the Core client: listens on IPC and TCP, hosts the legacy segments, writes the
// configuration files and publishes one block value over every transport. See --help.
#include <boost/interprocess/managed_shared_memory.hpp>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <string>
#include <thread>

#include "connectpeer/ConnectShm.hpp"
#include "connectpeer/SegmentHost.hpp"
#include "kvcommon/ConfigFolder.hpp"
#include "kvcoreshm/SharedMem.hpp"
#include "kvfakeshm/FakeSharedMemImpl.hpp"
#include "kvlog/Logging.hpp"

namespace {

std::atomic<bool> stopRequested{false};

struct Options {
    std::uint8_t transports =
        KvFakeShm::kTransportIpc | KvFakeShm::kTransportTcp | KvFakeShm::kTransportSharedMem;
    std::string block = "TestBlock";
    std::string address = "TestAddress";
    std::string value;     // empty: "Hello from the Connect peer #<counter>"
    std::size_t size = 0;  // 0: the value as it is
    double rate = 100;     // values per second; 0 as fast as possible
    double duration = 0;   // seconds; 0 forever
    bool idle = false;     // publish nothing: heartbeats only
};

constexpr const char* kHelp = R"(Usage: kvfakeshm-connect-peer [options]
       kvfakeshm-connect-peer segments          host the legacy segments only, until standard input closes
       kvfakeshm-connect-peer rewrite SECONDS   rewrite TestBlock/TestAddress in a tight loop (0..64 KiB)

Plays the Connect peer for kvfakeshm-core-client: listens on IPC and TCP, hosts the legacy segments,
writes the tuning and transport files to <Documents>/Korvanta and publishes one value over every
transport. SIGINT or SIGTERM stop it cleanly: the transport file is erased and the segments removed.

Options (defaults in brackets):
  --transports LIST   comma-separated ipc, tcp, shm                  [ipc,tcp,shm]
  --block NAME        block (segment) name                           [TestBlock]
  --address NAME      address (object) name                          [TestAddress]
  --value TEXT        the value; a counter follows it                [Hello from the Connect peer #]
  --size BYTES        pad or cut each value to this size             [as it is]
  --rate N            values per second; 0 for as fast as possible  [100]
  --duration SECONDS  stop after this long; 0 runs until stopped     [0]
  --idle              publish no value: heartbeats only
  --help              this text
)";

bool ParseTransports(const std::string& list, std::uint8_t& mask) {
    mask = 0;
    std::size_t at = 0;
    while (at <= list.size()) {
        const auto comma = list.find(',', at);
        const std::string word = list.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
        if (word == "ipc") {
            mask |= KvFakeShm::kTransportIpc;
        } else if (word == "tcp") {
            mask |= KvFakeShm::kTransportTcp;
        } else if (word == "shm") {
            mask |= KvFakeShm::kTransportSharedMem;
        } else {
            return false;
        }
        if (comma == std::string::npos) {
            break;
        }
        at = comma + 1;
    }
    return mask != 0;
}

// 0 options parsed, -1 bad usage, 1 help shown.
int Parse(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string flag = argv[i];
        if (flag == "--help" || flag == "-h") {
            std::cout << kHelp;
            return 1;
        }
        if (flag == "--idle") {
            options.idle = true;
            continue;
        }
        if (i + 1 >= argc) {
            return -1;
        }
        const std::string value = argv[++i];
        try {
            if (flag == "--transports") {
                if (!ParseTransports(value, options.transports))
                    return -1;
            } else if (flag == "--block") {
                options.block = value;
            } else if (flag == "--address") {
                options.address = value;
            } else if (flag == "--value") {
                options.value = value;
            } else if (flag == "--size") {
                options.size = std::stoul(value);
            } else if (flag == "--rate") {
                options.rate = std::stod(value);
            } else if (flag == "--duration") {
                options.duration = std::stod(value);
            } else {
                return -1;
            }
        } catch (const std::exception&) {
            return -1;
        }
    }
    return options.rate < 0 || options.duration < 0 ? -1 : 0;
}

int HostSegments() {
    KvConnectPeer::SegmentHost host;
    host.SetValue("Hello from the Connect peer");
    host.StartRefreshing(std::chrono::milliseconds(10));
    std::cout << "ready" << std::endl;
    std::string line;
    while (std::getline(std::cin, line)) {
    }
    return 0;
}

// Keeps its own mapping open, as a real peer would, so each rewrite costs no more than the assign.
int Rewrite(int seconds) {
    namespace bip = boost::interprocess;
    bip::managed_shared_memory segment(bip::open_only, "TestBlock");
    auto* value = segment.find<KvCoreShm::ShmString>("TestAddress").first;
    if (value == nullptr) {
        std::fprintf(stderr, "TestBlock/TestAddress does not exist\n");
        return 2;
    }
    std::string text(64 * 1024, '\0');
    for (std::size_t i = 0; i < text.size(); ++i)
        text[i] = static_cast<char>('a' + i % 26);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    std::size_t size = 0, rounds = 0;
    std::cout << "ready" << std::endl;
    while (std::chrono::steady_clock::now() < until) {
        value->assign(text.data(), size);
        size = (size * 7 + 4099) % (text.size() + 1);  // wanders over 0..64 KiB, shrinking and growing
        ++rounds;
    }
    std::cout << "rewrites " << rounds << std::endl;
    return 0;
}

std::string ValueFor(const Options& options, std::uint64_t counter) {
    std::string value =
        (options.value.empty() ? std::string("Hello from the Connect peer #") : options.value) +
        std::to_string(counter);
    if (options.size > 0) {
        value.resize(options.size, '.');
    }
    return value;
}

FakeShm::MessageT BlockMessage(const Options& options, std::string value) {
    FakeShm::MessageT message;
    message.version = 1;
    message.timestamp = static_cast<std::uint64_t>(KvFakeShm::SteadyNowNs());
    message.source = FakeShm::SourceType_Connect;
    FakeShm::SharedMemT payload;
    payload.version = 1;
    payload.block = options.block;
    payload.address = options.address;
    payload.data = std::move(value);
    message.payload.Set(std::move(payload));
    return message;
}

std::string UrlOf(KvFakeShm::FakeSharedMem::Impl& impl, const KvFakeShm::TransportDescriptor& transport) {
    const auto channel = impl.GetChannel(transport);
    if (channel == nullptr) {
        return "off";
    }
    std::lock_guard lock(channel->urlLock);
    return channel->url;
}

int Serve(const Options& options) {
    const std::string folder = KvCommon::GetConfigFolderPath();
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    KvLog::SetConsoleVerbosity(KvLog::kWarning);
    KvLog::AddFile(KvCommon::ConfigFilePath("kvfakeshm-connect-peer.log"), KvLog::FileMode::Append,
                   KvLog::kMaxVerbosity);
    KvLog::SetThreadName("main thread");

    auto& shm = static_cast<KvConnectPeer::ConnectShm&>(KvFakeShm::FakeSharedMem::GetInstance());
    shm.SetPublished(options.block, options.address);
    std::string error;
    if (!shm.InitializeConnect(options.transports, error)) {
        std::cerr << "The Connect peer could not start: " << error << std::endl;
        shm.Terminate(error);
        return 1;
    }
    auto& impl = shm.GetImpl();
    std::cout << "Connect peer serving IPC " << UrlOf(impl, KvFakeShm::kIpcTransport) << ", TCP "
              << UrlOf(impl, KvFakeShm::kTcpTransport) << ", SharedMem "
              << (shm.IsSharedMemEnabled() ? "on" : "off") << "; block '" << options.block << "', address '"
              << options.address << "', " << options.rate << " values/s" << std::endl;
    std::cout << "Files in " << folder << std::endl;
    std::cout << "ready" << std::endl;

    const auto started = std::chrono::steady_clock::now();
    const auto period = options.rate > 0 ? std::chrono::duration<double>(1.0 / options.rate)
                                         : std::chrono::duration<double>(0);
    auto next = started;
    for (std::uint64_t counter = 1; !stopRequested.load(); ++counter) {
        if (options.duration > 0 &&
            std::chrono::steady_clock::now() - started >= std::chrono::duration<double>(options.duration)) {
            break;
        }
        if (options.idle) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            continue;
        }
        const std::string value = ValueFor(options, counter);
        for (const auto* transport : {&KvFakeShm::kIpcTransport, &KvFakeShm::kTcpTransport}) {
            const auto channel = impl.GetChannel(*transport);
            if (channel != nullptr && channel->connected.load()) {
                std::string sendError;
                impl.SendMessage(*transport, BlockMessage(options, value), sendError);
            }
        }
        shm.PublishToSegment(value);
        if (options.rate > 0) {
            next += std::chrono::duration_cast<std::chrono::steady_clock::duration>(period);
            std::this_thread::sleep_until(next);
        }
    }
    const bool stopped = shm.Terminate(error);
    std::cout << (stopped ? "Connect peer stopped" : "Connect peer stopped with an error: " + error)
              << std::endl;
    return stopped ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "segments") {
        return HostSegments();
    }
    if (mode == "rewrite" && argc > 2) {
        return Rewrite(std::stoi(argv[2]));
    }
    Options options;
    const int parsed = Parse(argc, argv, options);
    if (parsed != 0) {
        if (parsed < 0) {
            std::cerr << kHelp;
        }
        return parsed < 0 ? 64 : 0;
    }
    struct sigaction action {};
    action.sa_handler = [](int) { stopRequested.store(true); };
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    return Serve(options);
}
