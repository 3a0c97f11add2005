#include <gtest/gtest.h>
#include <nng/nng.h>
#include <nng/protocol/pair0/pair.h>

#include "kvfakeshm/FakeSharedMemImpl.hpp"
#include "kvlog/Logging.hpp"
#include "tests/support/MessageFactory.hpp"
#include "tests/support/TestPeer.hpp"
#include "tests/support/TestSupport.hpp"

using namespace std::chrono_literals;
using KvFakeShm::kIpcTransport;
using KvFakeShm::kTcpTransport;
using KvFakeShm::PeerType;
using KvFakeShm::TransportDescriptor;

namespace {

// Runs every case over both transports: the code is written once, so must its behaviour be.
class Messaging : public ::testing::TestWithParam<const TransportDescriptor*> {
  protected:
    void SetUp() override {
        shm.Pretend(PeerType::Core, KvFakeShm::kTransportIpc | KvFakeShm::kTransportTcp);
        channel = shm.AddChannel(Transport());
    }
    void TearDown() override {
        if (channel->socketOpen)
            nng_close(channel->socket);
        if (peerOpen)
            nng_close(peer);
    }
    const TransportDescriptor& Transport() const { return *GetParam(); }
    std::string Word() const { return std::string(Transport().word); }
    KvFakeShm::FakeSharedMem::Impl& Impl() { return shm.GetImpl(); }

    bool Handle(const std::vector<std::uint8_t>& body) {
        auto msg = KvTest::MakeNngMsg(body);
        return Impl().HandleMessage(Transport(), msg.get(), error);
    }
    bool Handle(const FakeShm::MessageT& message) { return Handle(KvTest::Pack(message)); }

    void ExpectUntouched() {
        EXPECT_EQ(channel->lastSeen.load(), 0);
        EXPECT_EQ(channel->read.Sum() + channel->readWithMeta.Sum() + channel->latency.Sum(), 0u);
        EXPECT_EQ(channel->latency.Latency(), 0u);
        EXPECT_TRUE(channel->blockStore.empty());
    }

    // A pair0 socket pair over inproc: private to this process, so tests may run side by side.
    void ConnectSockets() {
        static std::atomic<int> counter{0};
        const std::string url = "inproc://messaging-" + std::to_string(counter++);
        ASSERT_EQ(nng_pair0_open(&peer), 0);
        peerOpen = true;
        ASSERT_EQ(nng_listen(peer, url.c_str(), nullptr, 0), 0);
        ASSERT_EQ(nng_pair0_open(&channel->socket), 0);
        ASSERT_EQ(nng_dial(channel->socket, url.c_str(), nullptr, 0), 0);
        nng_socket_set_ms(peer, NNG_OPT_RECVTIMEO, 5000);
        channel->socketOpen = true;
    }

    KvTest::TestPeer shm;
    std::shared_ptr<KvFakeShm::TransportChannel> channel;
    nng_socket peer = NNG_SOCKET_INITIALIZER;
    bool peerOpen = false;
    std::string error;
};

std::string Prefix(const std::string& word) {
    return "Failed to handle the FakeSharedMem " + word + " message: ";
}

}  // namespace

INSTANTIATE_TEST_SUITE_P(Transports, Messaging, ::testing::Values(&kIpcTransport, &kTcpTransport),
                         [](const auto& info) { return std::string(info.param->word); });

TEST_P(Messaging, MalformedBodiesAreRejectedAndChangeNothing) {
    EXPECT_FALSE(Impl().HandleMessage(Transport(), nullptr, error));
    EXPECT_EQ(error, Prefix(Word()) + "Invalid message!");

    const auto valid = KvTest::Pack(KvTest::MakeHeartbeat(1));
    std::vector<std::vector<std::uint8_t>> bodies = {
        {},
        std::vector<std::uint8_t>(valid.begin(), valid.begin() + 11),
        std::vector<std::uint8_t>(64, 0),
        std::vector<std::uint8_t>(64, 0xFF),
        std::vector<std::uint8_t>(valid.begin(), valid.end() - 8),
    };
    auto badRoot = valid;
    badRoot[0] = static_cast<std::uint8_t>(valid.size());
    bodies.push_back(badRoot);
    auto badVtable = valid;
    badVtable[valid[0]] ^= 0x7F;
    bodies.push_back(badVtable);
    for (const auto& body : bodies) {
        EXPECT_FALSE(Handle(body)) << body.size();
        EXPECT_EQ(error, Prefix(Word()) + "Invalid FakeShm Message!");
    }
    ExpectUntouched();
}

TEST_P(Messaging, WrongSourcesAndPayloadsAreRejectedAndChangeNothing) {
    EXPECT_FALSE(Handle(KvTest::PackRaw(1, true, 0)));
    EXPECT_EQ(error, Prefix(Word()) + "Unknown source type!");
    EXPECT_FALSE(Handle(KvTest::PackRaw(1, true, 3)));
    EXPECT_EQ(error, Prefix(Word()) + "Unknown source type!");
    EXPECT_FALSE(Handle(KvTest::MakeHeartbeat(1, FakeShm::SourceType_Core)));
    EXPECT_EQ(error, Prefix(Word()) + "The source has the same peer type 'Core' as us!");
    EXPECT_FALSE(Handle(KvTest::PackRaw(0, false)));
    EXPECT_EQ(error, Prefix(Word()) + "Unknown payload type!");
    EXPECT_FALSE(Handle(KvTest::PackRaw(3, true)));
    EXPECT_EQ(error, Prefix(Word()) + "Unknown payload type!");
    EXPECT_FALSE(Handle(KvTest::PackRaw(1, false)));
    EXPECT_EQ(error, Prefix(Word()) + "Invalid FakeShm Heartbeat payload!");
    EXPECT_FALSE(Handle(KvTest::PackRaw(2, false)));
    EXPECT_EQ(error, Prefix(Word()) + "Invalid FakeShm SharedMem payload!");
    ExpectUntouched();
}

TEST_P(Messaging, ConnectPeerRefusesItsOwnRoleByName) {
    shm.Pretend(PeerType::Connect, KvFakeShm::kTransportIpc | KvFakeShm::kTransportTcp);
    EXPECT_FALSE(Handle(KvTest::MakeHeartbeat(1, FakeShm::SourceType_Connect)));
    EXPECT_EQ(error, Prefix(Word()) + "The source has the same peer type 'Connect' as us!");
}

TEST_P(Messaging, MissingChannelIsRejected) {
    Impl().SetChannel(Transport(), nullptr);
    EXPECT_FALSE(Handle(KvTest::MakeHeartbeat(1)));
    EXPECT_EQ(error, Prefix(Word()) + "The " + Word() + " transport channel has not been initialized yet!");
}

TEST_P(Messaging, HeartbeatRefreshesLastSeenAndCountsFourBytes) {
    const auto sent = static_cast<std::uint64_t>(KvFakeShm::SteadyNowNs());
    const auto before = KvFakeShm::SteadyNowNs();
    ASSERT_TRUE(Handle(KvTest::MakeHeartbeat(sent, FakeShm::SourceType_Connect, 7))) << error;
    EXPECT_TRUE(error.empty());
    EXPECT_GE(channel->lastSeen.load(), before);
    EXPECT_EQ(channel->read.Last(), 4u);
    EXPECT_EQ(channel->read.Sum(), 4u);
    EXPECT_EQ(channel->readWithMeta.Sum(), 64u);
    EXPECT_GT(channel->latency.Latency(), 0u);
    EXPECT_EQ(channel->latency.Smoothed(), channel->latency.Latency());
}

TEST_P(Messaging, VersionMismatchesWarnAndAreApplied) {
    KvTest::TempDir dir;
    ASSERT_TRUE(KvLog::AddFile((dir.Path() / "m.log").string(), KvLog::FileMode::Truncate, 9));
    auto message = KvTest::MakeBlockValue(1, "b", "a", "d");
    message.version = 0;
    message.payload.AsSharedMem()->version = 3;
    ASSERT_TRUE(Handle(message)) << error;
    KvLog::FlushAll();
    const std::string log = KvTest::ReadFile(dir.Path() / "m.log");
    EXPECT_NE(log.find("WARN| FakeShm Message version mismatch: (expected 1, got 0)"), std::string::npos)
        << log;
    EXPECT_NE(log.find("WARN| FakeShm SharedMem version mismatch: (expected 1, got 3)"), std::string::npos);
    EXPECT_EQ(channel->blockStore["b"]["a"], "d");
}

TEST_P(Messaging, BlockValuesArriveIntactAndTheSecondWins) {
    const std::string withZeros("a\0b\0\0c", 6);
    ASSERT_TRUE(Handle(KvTest::MakeBlockValue(1, "TestBlock", "TestAddress", withZeros))) << error;
    std::string data, readError;
    ASSERT_TRUE(shm.ReadFrom(Transport(), "TestBlock", "TestAddress", data, readError)) << readError;
    EXPECT_EQ(data, withZeros);
    EXPECT_EQ(channel->read.Last(), 6u + 4u + 9u + 11u);

    ASSERT_TRUE(Handle(KvTest::MakeBlockValue(2, "TestBlock", "TestAddress", "newer")));
    ASSERT_TRUE(shm.ReadFrom(Transport(), "TestBlock", "TestAddress", data, readError));
    EXPECT_EQ(data, "newer");
}

TEST_P(Messaging, AllStringsAbsentStoreEmptyDataAndCountFour) {
    ASSERT_TRUE(Handle(KvTest::MakeBlockValue(1, "", "", "")));
    EXPECT_EQ(channel->blockStore.at("").at(""), "");
    EXPECT_EQ(channel->read.Last(), 4u);
}

TEST_P(Messaging, TimestampZeroOrInTheFutureLeavesLatencyAsItWas) {
    ASSERT_TRUE(Handle(KvTest::MakeHeartbeat(static_cast<std::uint64_t>(KvFakeShm::SteadyNowNs()) - 5000)));
    const auto latency = channel->latency.Latency();
    const auto smoothed = channel->latency.Smoothed();
    ASSERT_GE(latency, 5000u);
    ASSERT_TRUE(Handle(KvTest::MakeHeartbeat(0)));
    ASSERT_TRUE(
        Handle(KvTest::MakeHeartbeat(static_cast<std::uint64_t>(KvFakeShm::SteadyNowNs()) + 1'000'000'000)));
    EXPECT_EQ(channel->latency.Latency(), latency);
    EXPECT_EQ(channel->latency.Smoothed(), smoothed);
    EXPECT_EQ(channel->read.Sum(), 12u) << "the messages themselves are applied";
}

TEST_P(Messaging, ChannelReadsNameWhatIsMissing) {
    std::string data = "old", readError;
    EXPECT_FALSE(shm.ReadFrom(Transport(), "TestBlock", "TestAddress", data, readError));
    EXPECT_EQ(readError,
              "FakeSharedMem has failed to read " + Word() + " message: Block 'TestBlock' does not exist!");
    ASSERT_TRUE(Handle(KvTest::MakeBlockValue(1, "TestBlock", "Other", "x")));
    EXPECT_FALSE(shm.ReadFrom(Transport(), "TestBlock", "TestAddress", data, readError));
    EXPECT_EQ(readError, "FakeSharedMem has failed to read " + Word() +
                             " message: Address 'TestAddress' does not exist!");
    EXPECT_EQ(data, "old");
    ASSERT_TRUE(shm.ReadFrom(Transport(), "TestBlock", "Other", data, readError));
    ASSERT_TRUE(shm.ReadFrom(Transport(), "TestBlock", "Other", data, readError));
    EXPECT_EQ(data, "x");
    channel->ResetConnection();
    EXPECT_FALSE(shm.ReadFrom(Transport(), "TestBlock", "Other", data, readError));
    EXPECT_NE(readError.find("Block 'TestBlock' does not exist!"), std::string::npos);
}

TEST_P(Messaging, SendRefusesWithoutChannelOrSocket) {
    std::string sendError;
    EXPECT_FALSE(Impl().SendHeartbeat(Transport(), sendError));
    EXPECT_EQ(sendError, "Failed to send a FakeSharedMem " + Word() + " heartbeat: The " + Word() +
                             " transport socket has not been initialized yet!");
    EXPECT_FALSE(Impl().SendMessage(Transport(), KvTest::MakeHeartbeat(1), sendError));
    EXPECT_EQ(sendError, "Failed to send the FakeSharedMem " + Word() + " message: The " + Word() +
                             " transport socket has not been initialized yet!");
    Impl().SetChannel(Transport(), nullptr);
    EXPECT_FALSE(Impl().SendHeartbeat(Transport(), sendError));
    EXPECT_EQ(sendError, "Failed to send a FakeSharedMem " + Word() + " heartbeat: The " + Word() +
                             " transport channel has not been initialized yet!");
}

TEST_P(Messaging, HeartbeatTravelsAndCountsSixtyFourBytes) {
    ConnectSockets();
    std::string sendError;
    const auto before = KvFakeShm::SteadyNowNs();
    ASSERT_TRUE(Impl().SendHeartbeat(Transport(), sendError)) << sendError;
    EXPECT_GE(channel->lastSent.load(), before);
    EXPECT_EQ(channel->writeWithMeta.Last(), 64u);
    EXPECT_EQ(channel->writeWithMeta.Sum(), 64u);

    nng_msg* received = nullptr;
    ASSERT_EQ(nng_recvmsg(peer, &received, 0), 0);
    KvTest::NngMsg guard(received);
    ASSERT_EQ(nng_msg_len(received), 64u);
    std::vector<std::uint8_t> body(static_cast<std::uint8_t*>(nng_msg_body(received)),
                                   static_cast<std::uint8_t*>(nng_msg_body(received)) + 64);
    alignas(8) std::uint8_t aligned[64];
    std::memcpy(aligned, body.data(), 64);
    const auto* message = KvFakeShm::CheckMessageBody(aligned, 64);
    ASSERT_NE(message, nullptr);
    EXPECT_EQ(message->source(), FakeShm::SourceType_Core);
    EXPECT_EQ(static_cast<std::int64_t>(message->timestamp()), channel->lastSent.load());
}

TEST_P(Messaging, NonBlockingSendWithoutPeerFailsAtOnceWithTheNngText) {
    ASSERT_EQ(nng_pair0_open(&channel->socket), 0);
    channel->socketOpen = true;
    {
        std::unique_lock lock(Impl().tuningLock);
        Impl().tuning.SocketSendNonBlocking = true;
    }
    std::string sendError;
    EXPECT_FALSE(Impl().SendHeartbeat(Transport(), sendError));
    EXPECT_EQ(sendError, "Failed to send a FakeSharedMem " + Word() +
                             " heartbeat: Failed to send the FakeSharedMem " + Word() +
                             " message: " + nng_strerror(NNG_EAGAIN));
    EXPECT_EQ(channel->lastSent.load(), 0);
    EXPECT_EQ(channel->writeWithMeta.Sum(), 0u);
}

TEST_P(Messaging, LatencyAndThroughputFiguresEachFollowTheirOwnWindow) {
    // Two messages 3 ms apart: the 1 ms window keeps only the second, the 1,000 ms window both.
    const auto exchange = [&](std::uint64_t latencyMs, std::uint64_t throughputMs) {
        {
            std::unique_lock lock(Impl().tuningLock);
            Impl().tuning.LatencySmoothingWindow = latencyMs;
            Impl().tuning.ThroughputSmoothingWindow = throughputMs;
        }
        channel->ResetConnection();
        std::string sendError;
        for (int i = 0; i < 2; ++i) {
            if (i > 0)
                KvTest::LetTimePass(3ms);
            const auto sent = static_cast<std::uint64_t>(KvFakeShm::SteadyNowNs()) - 5'000;
            ASSERT_TRUE(Handle(KvTest::MakeHeartbeat(sent))) << error;
            ASSERT_TRUE(Impl().SendHeartbeat(Transport(), sendError)) << sendError;
            nng_msg* received = nullptr;  // drained, so that the next blocking send finds room
            ASSERT_EQ(nng_recvmsg(peer, &received, 0), 0);
            nng_msg_free(received);
        }
    };
    ConnectSockets();
    exchange(1, 1000);
    EXPECT_EQ(channel->latency.Count(), 1u);
    EXPECT_EQ(channel->read.Count(), 2u);
    EXPECT_EQ(channel->readWithMeta.Count(), 2u);
    EXPECT_EQ(channel->writeWithMeta.Count(), 2u);
    EXPECT_EQ(channel->read.Sum(), 8u);

    exchange(1000, 1);
    EXPECT_EQ(channel->latency.Count(), 2u);
    EXPECT_EQ(channel->read.Count(), 1u);
    EXPECT_EQ(channel->readWithMeta.Count(), 1u);
    EXPECT_EQ(channel->writeWithMeta.Count(), 1u);
    EXPECT_EQ(channel->readWithMeta.Sum(), 64u);
}
