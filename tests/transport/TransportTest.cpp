#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <future>
#include <set>
#include <thread>

#include "kvfakeshm/BoundedClose.hpp"
#include "kvfakeshm/BoundedWait.hpp"
#include "kvfakeshm/FakeSharedMemImpl.hpp"
#include "kvfakeshm/IpcEndpoint.hpp"
#include "kvlog/Logging.hpp"
#include "tests/support/RawPeer.hpp"
#include "tests/support/TestPeer.hpp"
#include "tests/support/TestSupport.hpp"

using namespace std::chrono_literals;
using KvFakeShm::kIpcTransport;
using KvFakeShm::kSharedMemTransport;
using KvFakeShm::kTcpTransport;
using KvFakeShm::PeerType;
using KvFakeShm::TransportDescriptor;

namespace {

std::int64_t Now() {
    return KvFakeShm::SteadyNowNs();
}

// A Core channel of one transport against a raw peer; every case runs over IPC and TCP.
class CoreChannel : public ::testing::TestWithParam<const TransportDescriptor*> {
  protected:
    void SetUp() override {
        core.Pretend(PeerType::Core, KvFakeShm::kTransportIpc | KvFakeShm::kTransportTcp);
        channel = core.AddChannel(Transport());
        channel->peerUrl =
            Transport().kind == KvFakeShm::kTransportIpc ? KvTest::PrivateIpcUrl() : KvTest::FreeTcpUrl();
    }
    void TearDown() override {
        if (Impl().IsWorkerRunning(Transport())) {
            EXPECT_TRUE(Impl().StopWorker(Transport(), error)) << error;
        }
    }
    const TransportDescriptor& Transport() const { return *GetParam(); }
    std::string Word() const { return std::string(Transport().word); }
    KvFakeShm::FakeSharedMem::Impl& Impl() { return core.GetImpl(); }
    bool Alive() { return Impl().IsPeerAlive(Transport()); }
    void SetTuning(void (*change)(KvFakeShm::Tuning&)) {
        std::unique_lock lock(Impl().tuningLock);
        change(Impl().tuning);
    }
    bool ReadTest(std::string& data) {
        std::string readError;
        return core.ReadFrom(Transport(), "TestBlock", "TestAddress", data, readError);
    }

    KvTest::TestPeer core;
    std::shared_ptr<KvFakeShm::TransportChannel> channel;
    std::string error;
};

// Sends heartbeats every 10 ms, as the Connect peer does, until stopped.
class HeartbeatPump {
  public:
    explicit HeartbeatPump(KvTest::RawPeer& peer)
        : thread_([this, &peer] {
              while (!stop_) {
                  peer.Send(KvTest::MakeHeartbeat(static_cast<std::uint64_t>(Now())));
                  std::this_thread::sleep_for(10ms);
              }
          }) {}
    ~HeartbeatPump() {
        stop_ = true;
        thread_.join();
    }

  private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace

INSTANTIATE_TEST_SUITE_P(Transports, CoreChannel, ::testing::Values(&kIpcTransport, &kTcpTransport),
                         [](const auto& info) { return std::string(info.param->word); });

TEST_P(CoreChannel, DialsReceivesAnswersAndFollowsThePeerAway) {
    KvTest::RawPeer peer(channel->peerUrl);
    ASSERT_TRUE(peer.Listen());
    ASSERT_TRUE(Impl().StartWorker(Transport(), error)) << error;
    ASSERT_TRUE(KvTest::WaitFor([&] { return channel->connected.load(); }, 5s));
    {
        HeartbeatPump pump(peer);
        ASSERT_TRUE(peer.Send(KvTest::MakeBlockValue(static_cast<std::uint64_t>(Now()), "TestBlock",
                                                     "TestAddress", "value over " + Word())));
        ASSERT_TRUE(KvTest::WaitFor([&] { return Alive() && channel->latency.Latency() > 0; }, 5s));
        std::string data;
        ASSERT_TRUE(KvTest::WaitFor([&] { return ReadTest(data); }, 5s));
        EXPECT_EQ(data, "value over " + Word());

        // The Core's heartbeats: one about every 10 ms, each a valid Core message.
        std::set<std::uint64_t> stamps;
        const auto until = std::chrono::steady_clock::now() + 300ms;
        while (std::chrono::steady_clock::now() < until) {
            const auto body = peer.Receive();
            ASSERT_TRUE(body.has_value());
            alignas(8) std::uint8_t aligned[256];
            ASSERT_LE(body->size(), sizeof aligned);
            std::memcpy(aligned, body->data(), body->size());
            const auto* message = KvFakeShm::CheckMessageBody(aligned, body->size());
            ASSERT_NE(message, nullptr);
            EXPECT_EQ(message->source(), FakeShm::SourceType_Core);
            stamps.insert(message->timestamp());
        }
        EXPECT_GE(stamps.size(), 10u) << "about 30 expected in 300 ms";
        EXPECT_LE(stamps.size(), 45u);
        EXPECT_GT(core.GetImpl().GetChannel(Transport())->writeWithMeta.Sum(), 0u);
        peer.StartDraining();  // the Core's heartbeats are read up to the close
    }

    peer.Close();
    ASSERT_TRUE(KvTest::WaitFor([&] { return !channel->connected.load(); }, 5s));
    EXPECT_FALSE(Alive());
    EXPECT_EQ(channel->latency.Latency(), 0u);
    EXPECT_EQ(channel->read.Sum(), 0u);
    std::string data;
    EXPECT_FALSE(ReadTest(data)) << "the store empties with the connection";

    // The dialer comes back by itself once somebody listens again.
    KvTest::RawPeer again(channel->peerUrl);
    ASSERT_TRUE(again.ListenSoon());
    EXPECT_TRUE(KvTest::WaitFor([&] { return channel->connected.load(); }, 5s));
}

TEST_P(CoreChannel, OpenWithNobodyListeningWarnsSucceedsAndConnectsLater) {
    KvTest::TempDir dir;
    ASSERT_TRUE(KvLog::AddFile((dir.Path() / "t.log").string(), KvLog::FileMode::Truncate, 9));
    ASSERT_TRUE(Impl().InitializeSocket(Transport(), error)) << error;
    KvLog::FlushAll();
    const std::string log = KvTest::ReadFile(dir.Path() / "t.log");
    EXPECT_NE(log.find("WARN| Failed to initialize the FakeSharedMem " + Word() +
                       " transport socket: Failed to dial the " + Word() + " endpoint on '" +
                       channel->peerUrl + "'!"),
              std::string::npos)
        << log;
    EXPECT_FALSE(channel->connected.load());

    KvTest::RawPeer peer(channel->peerUrl);
    ASSERT_TRUE(peer.Listen());
    EXPECT_TRUE(KvTest::WaitFor([&] { return channel->connected.load(); }, 5s));
    EXPECT_TRUE(Impl().TerminateSocket(Transport(), error)) << error;
}

TEST_P(CoreChannel, DoubleOpenCloseStartAndStopFailWithTheirMessages) {
    ASSERT_TRUE(Impl().InitializeSocket(Transport(), error)) << error;
    const nng_socket first = channel->socket;
    EXPECT_FALSE(Impl().InitializeSocket(Transport(), error));
    EXPECT_EQ(error, "Failed to initialize the FakeSharedMem " + Word() +
                         " transport socket: Already Initialized; initialization aborted!");
    EXPECT_EQ(channel->socket.id, first.id);
    ASSERT_TRUE(Impl().TerminateSocket(Transport(), error)) << error;
    EXPECT_FALSE(Impl().TerminateSocket(Transport(), error));
    EXPECT_EQ(error, "Failed to terminate the FakeSharedMem " + Word() +
                         " transport socket: Not initialized yet; termination aborted!");

    EXPECT_FALSE(Impl().StopWorker(Transport(), error));
    EXPECT_EQ(error, "The FakeSharedMem " + Word() + " worker thread is not running!");
    ASSERT_TRUE(Impl().StartWorker(Transport(), error)) << error;
    EXPECT_FALSE(Impl().StartWorker(Transport(), error));
    EXPECT_EQ(error, "The FakeSharedMem " + Word() + " worker thread is already running!");
    EXPECT_TRUE(Impl().IsWorkerRunning(Transport()));
    ASSERT_TRUE(Impl().StopWorker(Transport(), error)) << error;
    EXPECT_FALSE(Impl().IsWorkerRunning(Transport()));
    EXPECT_EQ(KvTest::CountThreadsNamed(std::string(Transport().workerName)), 0u);
}

TEST_P(CoreChannel, RefusalsNameTheirCause) {
    core.Pretend(PeerType::Core, KvFakeShm::kTransportSharedMem);
    EXPECT_FALSE(Impl().InitializeSocket(Transport(), error));
    EXPECT_EQ(error, "Failed to initialize the FakeSharedMem " + Word() +
                         " transport socket: configured with " + Word() + " disabled!");
    EXPECT_FALSE(Impl().StartWorker(Transport(), error));
    EXPECT_EQ(error, "The FakeSharedMem " + Word() + " worker thread has failed to initialize the " + Word() +
                         " transport socket: Failed to initialize the FakeSharedMem " + Word() +
                         " transport socket: configured with " + Word() + " disabled!");
    EXPECT_FALSE(Impl().IsWorkerRunning(Transport()));

    Impl().SetChannel(Transport(), nullptr);
    EXPECT_FALSE(Impl().InitializeSocket(Transport(), error));
    EXPECT_EQ(error, "Failed to initialize the FakeSharedMem " + Word() + " transport socket: " + Word() +
                         " channel has not been initialized yet!");
    EXPECT_FALSE(Impl().StartWorker(Transport(), error));
    EXPECT_EQ(error, "The " + Word() + " transport channel has not been initialized yet!");
}

TEST_P(CoreChannel, StopEndsABlockingReceiveAndAHugeRetrySleepPromptly) {
    KvTest::RawPeer peer(channel->peerUrl);
    ASSERT_TRUE(peer.Listen());
    using Change = void (*)(KvFakeShm::Tuning&);
    const Change blockingFor300ms = [](KvFakeShm::Tuning& t) {
        t.SocketReceiveNonBlocking = false;
        t.SocketReceiveTimeout = 300;
    };
    // NNG reads -1 as forever, and a quiet peer never ends the wait by itself.
    const Change blockingForever = [](KvFakeShm::Tuning& t) {
        t.SocketReceiveNonBlocking = false;
        t.SocketReceiveTimeout = -1;
        t.SocketSendTimeout = -1;
    };
    const Change polling = [](KvFakeShm::Tuning& t) { t.SocketReceiveNonBlocking = true; };
    // The tuning the socket opens with, then a live edit (or none); the live tuning bounds every wait.
    const std::vector<std::pair<Change, Change>> cases{
        {blockingFor300ms, nullptr}, {blockingForever, nullptr}, {polling, blockingForever}};
    for (const auto& [opened, edited] : cases) {
        SetTuning(opened);
        ASSERT_TRUE(Impl().StartWorker(Transport(), error)) << error;
        ASSERT_TRUE(KvTest::WaitFor([&] { return channel->connected.load(); }, 5s));
        if (edited != nullptr) {
            SetTuning(edited);
            KvTest::LetTimePass(50ms);
        }
        auto stopped = std::make_shared<std::promise<bool>>();
        auto result = stopped->get_future();
        const auto started = std::chrono::steady_clock::now();
        std::thread([this, stopped] {
            std::string stopError;
            stopped->set_value(Impl().StopWorker(Transport(), stopError));
        }).detach();
        ASSERT_EQ(result.wait_for(5s), std::future_status::ready) << "the stop hangs in a receive";
        EXPECT_TRUE(result.get());
        EXPECT_LT(std::chrono::steady_clock::now() - started, 2s) << "bounded by one receive time-out";
    }

    // Never connected (a fresh channel: the old one keeps its last `connected`): the body sleeps the
    // retry interval, here about 31 years.
    SetTuning(polling);
    peer.Close();
    const auto oldChannel = channel;
    channel = core.AddChannel(Transport());
    channel->peerUrl = oldChannel->peerUrl;
    SetTuning([](KvFakeShm::Tuning& t) { t.WorkerRetryInterval = 1'000'000'000'000ULL; });
    ASSERT_TRUE(Impl().StartWorker(Transport(), error)) << error;
    KvTest::LetTimePass(50ms);
    ASSERT_FALSE(channel->connected.load());
    const auto started = std::chrono::steady_clock::now();
    ASSERT_TRUE(Impl().StopWorker(Transport(), error)) << error;
    EXPECT_LT(std::chrono::steady_clock::now() - started, 2s);
    EXPECT_EQ(KvTest::CountThreadsNamed(std::string(Transport().supervisorName.substr(0, 15))), 0u);
}

// As after a stop whose socket close failed: running cleared, the socket still open, no peer.
TEST_P(CoreChannel, AStoppedWorkerWithItsSocketStillOpenEndsInsteadOfPolling) {
    ASSERT_TRUE(Impl().StartWorker(Transport(), error)) << error;
    KvTest::LetTimePass(20ms);
    channel->StopRunning();
    EXPECT_TRUE(KvTest::WaitFor(
        [&] {
            return KvTest::CountThreadsNamed(std::string(Transport().workerName)) +
                       KvTest::CountThreadsNamed(std::string(Transport().supervisorName.substr(0, 15))) ==
                   0;
        },
        5s));
    EXPECT_TRUE(Impl().TerminateSocket(Transport(), error)) << error;
    channel->worker.join();
}

// The close that cannot hang: once it has returned, the endpoint and the descriptors are free again,
// and under normal conditions it never gives up on a close.
TEST(BoundedClose, AReturnedCloseFreesTheEndpointAndNormallyNeverGivesUp) {
    KvTest::TempDir dir;
    ASSERT_TRUE(KvLog::AddFile((dir.Path() / "close.log").string(), KvLog::FileMode::Truncate, KvLog::kInfo));
    const std::string url = KvTest::FreeTcpUrl();
    const auto listen = [&](nng_socket& socket) {
        return KvTest::WaitFor(
            [&] {
                if (nng_pair0_open(&socket) != 0) {
                    return false;
                }
                if (nng_listen(socket, url.c_str(), nullptr, 0) == 0) {
                    return true;
                }
                nng_close(socket);
                return false;
            },
            2s);
    };
    nng_socket first;
    ASSERT_TRUE(listen(first));  // NNG opens its poller on first use
    ASSERT_EQ(KvFakeShm::CloseSocketBounded(first, "TCP"), 0);
    const std::size_t fdsBefore = KvTest::CountOpenDescriptors();
    for (int i = 0; i < 50; ++i) {
        nng_socket socket;
        ASSERT_TRUE(listen(socket)) << "the port is still taken after close " << i;
        ASSERT_EQ(KvFakeShm::CloseSocketBounded(socket, "TCP"), 0);
    }
    EXPECT_TRUE(KvTest::WaitFor([&] { return KvTest::CountOpenDescriptors() <= fdsBefore; }, 5s))
        << KvTest::CountOpenDescriptors() << " descriptors open, " << fdsBefore << " before";
    KvLog::FlushAll();
    EXPECT_EQ(KvTest::ReadFile(dir.Path() / "close.log").find("did not close"), std::string::npos);
}

TEST(SocketWaits, TimeOutsAreClampedToTheirRange) {
    const std::vector<std::pair<std::int32_t, std::int32_t>> cases{
        {-1, 1000},   {std::numeric_limits<std::int32_t>::min(), 1000},
        {0, 1},       {1, 1},
        {250, 250},   {1000, 1000},
        {1001, 1000}, {std::numeric_limits<std::int32_t>::max(), 1000}};
    for (const auto& [tuned, waited] : cases) {
        EXPECT_EQ(KvFakeShm::ClampSocketWait(tuned), waited) << tuned;
    }
}

// A quiet polling worker's wait: it ends with a message, a close or its bound, and leaves socketLock free
// for sends meanwhile.
TEST(SocketWaits, AParkedReceiveLetsSendsThroughAndEndsOnAMessageOrAClose) {
    KvTest::RawPeer peer(KvTest::PrivateIpcUrl());
    ASSERT_TRUE(peer.Listen());
    KvFakeShm::TransportChannel channel;
    ASSERT_EQ(nng_pair0_open(&channel.socket), 0);
    ASSERT_EQ(nng_dial(channel.socket, peer.Url().c_str(), nullptr, 0), 0);
    channel.socketOpen = true;
    KvFakeShm::ParkedReceive parked;
    nng_msg* message = nullptr;
    EXPECT_EQ(parked.Receive(channel, 20ms, message), NNG_ETIMEDOUT);
    EXPECT_EQ(message, nullptr);

    const auto started = std::chrono::steady_clock::now();
    std::thread other([&] {
        nng_msg* heartbeat = nullptr;
        nng_msg_alloc(&heartbeat, 0);
        nng_msg_append(heartbeat, "x", 1);
        const int rc = KvFakeShm::SendBounded(channel, heartbeat, false, 1000);
        if (rc != 0) {
            nng_msg_free(heartbeat);
        }
        EXPECT_EQ(rc, 0) << "a send goes on while the worker is parked";
        EXPECT_TRUE(peer.Receive().has_value());
        peer.Send(KvTest::MakeHeartbeat(1));
    });
    ASSERT_EQ(parked.Receive(channel, 30s, message), 0);
    other.join();
    ASSERT_NE(message, nullptr);
    nng_msg_free(message);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 20s);

    std::thread closer([&] {
        KvTest::LetTimePass(20ms);
        const auto lock = KvFakeShm::LockSocketInTurn(channel);
        EXPECT_NE(channel.parkedReceive, nullptr) << "a close can see the receive it must cancel";
        channel.socketOpen = false;
        KvFakeShm::CancelParkedReceive(channel);
        nng_close(channel.socket);
    });
    message = nullptr;
    EXPECT_EQ(parked.Receive(channel, 30s, message), NNG_ETIMEDOUT) << "cancelled by the close";
    closer.join();
    EXPECT_EQ(message, nullptr);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 20s) << "a close ends the wait at once";
    EXPECT_EQ(channel.parkedReceive, nullptr);
    EXPECT_EQ(parked.Receive(channel, 30s, message), NNG_ECLOSED);
}

TEST(TransportUrls, IpcIsTheFixedEndpointAndResolvesOnce) {
    KvTest::TestPeer core;
    core.Pretend(PeerType::Core, KvFakeShm::kTransportIpc);
    auto channel = core.AddChannel(kIpcTransport);
    std::string error = "stale";
    ASSERT_TRUE(core.GetImpl().ResolveIpcUrl(channel, error)) << error;
    EXPECT_TRUE(error.empty());
    EXPECT_EQ(channel->url, KvFakeShm::IpcUrlFor("Korvanta"));
    EXPECT_EQ(channel->url, "abstract://Korvanta");
    EXPECT_FALSE(core.GetImpl().ResolveIpcUrl(channel, error));
    EXPECT_TRUE(error.empty()) << "a second resolution is only logged";

    core.Pretend(PeerType::Core, KvFakeShm::kTransportTcp);
    auto fresh = std::make_shared<KvFakeShm::TransportChannel>();
    EXPECT_FALSE(core.GetImpl().ResolveIpcUrl(fresh, error));
    EXPECT_EQ(error, "The IPC transport has been explicitly disabled; skipping further URL resolution!");
    EXPECT_FALSE(core.GetImpl().ResolveIpcUrl(nullptr, error));
    EXPECT_EQ(error,
              "Failed to resolve the IPC transport URL for FakeSharedMem: IPC channel has not been "
              "initialized yet!");
}

TEST(TransportUrls, TcpGetsAFreeLoopbackPortThatAListenerCanTake) {
    KvTest::TestPeer core;
    core.Pretend(PeerType::Connect, KvFakeShm::kTransportTcp);
    auto channel = core.AddChannel(kTcpTransport);
    std::string error;
    ASSERT_TRUE(core.GetImpl().ResolveTcpUrl(channel, error)) << error;
    ASSERT_TRUE(channel->url.starts_with("tcp://127.0.0.1:")) << channel->url;
    const std::string port = channel->url.substr(std::string("tcp://127.0.0.1:").size());
    EXPECT_FALSE(port.empty());
    EXPECT_NE(port.front(), '0');
    EXPECT_GT(std::stoi(port), 0);
    KvTest::RawPeer listener(channel->url);
    EXPECT_TRUE(listener.Listen()) << "the probe released the port";

    // The system's own choice: every port lies in its ephemeral range (a port read in the wrong byte
    // order falls outside it in more than half the cases), and they are not all one port.
    int low = 0, high = 0;
    std::ifstream("/proc/sys/net/ipv4/ip_local_port_range") >> low >> high;
    std::set<int> ports;
    for (int i = 0; i < 20; ++i) {
        auto fresh = std::make_shared<KvFakeShm::TransportChannel>();
        ASSERT_TRUE(core.GetImpl().ResolveTcpUrl(fresh, error)) << error;
        const int resolved = std::stoi(fresh->url.substr(fresh->url.rfind(':') + 1));
        EXPECT_TRUE(resolved >= low && resolved <= high) << resolved << " outside " << low << "-" << high;
        ports.insert(resolved);
    }
    EXPECT_GT(ports.size(), 1u);

    const std::string first = channel->url;
    EXPECT_FALSE(core.GetImpl().ResolveTcpUrl(channel, error));
    EXPECT_TRUE(error.empty());
    EXPECT_EQ(channel->url, first);
    core.Pretend(PeerType::Connect, KvFakeShm::kTransportIpc);
    EXPECT_FALSE(core.GetImpl().ResolveTcpUrl(std::make_shared<KvFakeShm::TransportChannel>(), error));
    EXPECT_EQ(error, "The TCP transport has been explicitly disabled; skipping further URL resolution!");
}

TEST(TransportConnect, ListensOnItsUrlAndTheCoreReachesIt) {
    KvTest::TestPeer connect;
    connect.Pretend(PeerType::Connect, KvFakeShm::kTransportTcp);
    auto listening = connect.AddChannel(kTcpTransport);
    std::string error;
    ASSERT_TRUE(connect.GetImpl().ResolveTcpUrl(listening, error)) << error;
    ASSERT_TRUE(connect.GetImpl().StartWorker(kTcpTransport, error)) << error;

    KvTest::TestPeer core;
    core.Pretend(PeerType::Core, KvFakeShm::kTransportTcp);
    auto dialing = core.AddChannel(kTcpTransport);
    dialing->peerUrl = listening->url;
    ASSERT_TRUE(core.GetImpl().StartWorker(kTcpTransport, error)) << error;
    // Both ends send heartbeats as soon as they are connected, so each sees the other alive.
    EXPECT_TRUE(KvTest::WaitFor([&] { return core.IsTcpPeerAlive() && connect.IsTcpPeerAlive(); }, 5s));
    EXPECT_GT(core.GetTcpLatency().count(), 0);
    EXPECT_TRUE(core.GetImpl().StopWorker(kTcpTransport, error)) << error;
    EXPECT_TRUE(connect.GetImpl().StopWorker(kTcpTransport, error)) << error;
}

namespace {

// A Core with all three channels, cycling its workers.
class WorkerCycles : public ::testing::Test {
  protected:
    void SetUp() override {
        KvLog::SetConsoleVerbosity(KvLog::kOff);  // thousands of progress lines would only slow the loop
        core.Pretend(PeerType::Core,
                     KvFakeShm::kTransportIpc | KvFakeShm::kTransportTcp | KvFakeShm::kTransportSharedMem);
        for (const auto* transport : transports)
            channels.push_back(core.AddChannel(*transport));
        channels[0]->peerUrl = KvTest::PrivateIpcUrl();
        channels[1]->peerUrl = KvTest::FreeTcpUrl();
    }
    void Cycle(
        int times, const std::function<void()>& whileRunning = [] {}) {
        for (int i = 0; i < times; ++i) {
            for (const auto* transport : transports)
                ASSERT_TRUE(core.GetImpl().StartWorker(*transport, error)) << error;
            whileRunning();
            for (const auto* transport : transports)
                ASSERT_TRUE(core.GetImpl().StopWorker(*transport, error)) << error;
        }
    }
    void ExpectNoWorkerThreads() {
        for (const auto* transport : transports) {
            EXPECT_EQ(KvTest::CountThreadsNamed(std::string(transport->workerName)), 0u);
            EXPECT_EQ(KvTest::CountThreadsNamed(std::string(transport->supervisorName.substr(0, 15))), 0u);
        }
    }

    const TransportDescriptor* transports[3] = {&kIpcTransport, &kTcpTransport, &kSharedMemTransport};
    KvTest::TestPeer core;
    std::vector<std::shared_ptr<KvFakeShm::TransportChannel>> channels;
    std::string error;
};

}  // namespace

TEST_F(WorkerCycles, TwoHundredCyclesWithAndWithoutAPeerLeakNoThreadsOrDescriptors) {
    Cycle(2);  // NNG opens its own poller and pipes on first use
    const std::size_t fdsBefore = KvTest::CountOpenDescriptors();
    Cycle(100);  // nobody listening: every open takes the redialing path
    KvTest::RawPeer ipc(channels[0]->peerUrl), tcp(channels[1]->peerUrl);
    ASSERT_TRUE(ipc.Listen());
    ASSERT_TRUE(tcp.Listen());
    // A peer listening: every open connects and exchanges heartbeats.
    ipc.StartDraining();
    tcp.StartDraining();
    Cycle(100, [] { KvTest::LetTimePass(15ms); });  // long enough for heartbeats to flow
    ipc.Close();
    tcp.Close();
    ExpectNoWorkerThreads();
    EXPECT_TRUE(KvTest::WaitFor([&] { return KvTest::CountOpenDescriptors() <= fdsBefore; }, 5s))
        << KvTest::CountOpenDescriptors() << " descriptors open, " << fdsBefore << " before";
}
