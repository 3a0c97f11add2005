#include <gtest/gtest.h>

#include "tests/support/MessageFactory.hpp"

using KvFakeShm::CheckMessageBody;

TEST(WireFormat, HeartbeatIsExactly64BytesAndVerifies) {
    const auto body = KvTest::Pack(KvTest::MakeHeartbeat(123456789, FakeShm::SourceType_Core));
    EXPECT_EQ(body.size(), 64u);
    alignas(8) std::uint8_t aligned[64];
    std::memcpy(aligned, body.data(), body.size());
    const auto* message = CheckMessageBody(aligned, sizeof aligned);
    ASSERT_NE(message, nullptr);
    EXPECT_EQ(message->version(), 1u);
    EXPECT_EQ(message->timestamp(), 123456789u);
    EXPECT_EQ(message->source(), FakeShm::SourceType_Core);
    EXPECT_EQ(message->payload_type(), FakeShm::Payload_Heartbeat);
    ASSERT_NE(message->payload_as_Heartbeat(), nullptr);
    EXPECT_EQ(message->payload_as_Heartbeat()->version(), 1u);
    EXPECT_EQ(message->payload_as_SharedMem(), nullptr);
}

TEST(WireFormat, EmptyStringsAreAbsentOnTheWire) {
    const auto body = KvTest::Pack(KvTest::MakeBlockValue(5, "", "addr", ""));
    alignas(8) std::uint8_t aligned[256];
    std::memcpy(aligned, body.data(), body.size());
    const auto* payload = CheckMessageBody(aligned, body.size())->payload_as_SharedMem();
    ASSERT_NE(payload, nullptr);
    EXPECT_EQ(payload->block(), nullptr);
    EXPECT_EQ(payload->data(), nullptr);
    ASSERT_NE(payload->address(), nullptr);
    EXPECT_EQ(payload->address()->str(), "addr");
}

TEST(WireFormat, ShortBodiesAndBadRootOffsetsAreRefused) {
    alignas(8) std::uint8_t body[64] = {};
    EXPECT_EQ(CheckMessageBody(body, 11), nullptr);
    EXPECT_EQ(CheckMessageBody(nullptr, 0), nullptr);
    const std::uint32_t offsets[] = {0, 0xFFFFFFFFu, 64, 63 + 1};
    for (std::uint32_t offset : offsets) {
        std::memcpy(body, &offset, 4);
        EXPECT_EQ(CheckMessageBody(body, 64), nullptr) << offset;
    }
}

TEST(WireFormat, PayloadTypeThreePassesTheVerifier) {
    const auto body = KvTest::PackRaw(3, true);
    alignas(8) std::uint8_t aligned[128];
    std::memcpy(aligned, body.data(), body.size());
    EXPECT_NE(CheckMessageBody(aligned, body.size()), nullptr);
}
