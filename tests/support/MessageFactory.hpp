#pragma once

#include <nng/nng.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "kvfakeshm/MessageWire.hpp"

namespace KvTest {

struct NngMsgDeleter {
    void operator()(nng_msg* m) const { nng_msg_free(m); }
};
using NngMsg = std::unique_ptr<nng_msg, NngMsgDeleter>;

inline NngMsg MakeNngMsg(const std::vector<std::uint8_t>& body) {
    nng_msg* m = nullptr;
    nng_msg_alloc(&m, body.size());
    if (!body.empty())
        std::memcpy(nng_msg_body(m), body.data(), body.size());
    return NngMsg(m);
}

inline std::vector<std::uint8_t> Pack(const FakeShm::MessageT& message) {
    flatbuffers::FlatBufferBuilder builder(KvFakeShm::kBuilderInitialSize);
    KvFakeShm::BuildMessage(message, builder);
    return {builder.GetBufferPointer(), builder.GetBufferPointer() + builder.GetSize()};
}

inline FakeShm::MessageT MakeHeartbeat(std::uint64_t timestamp,
                                       FakeShm::SourceType source = FakeShm::SourceType_Connect,
                                       std::uint32_t heartbeatVersion = 1) {
    FakeShm::MessageT message;
    message.version = 1;
    message.timestamp = timestamp;
    message.source = source;
    FakeShm::HeartbeatT heartbeat;
    heartbeat.version = heartbeatVersion;
    message.payload.Set(std::move(heartbeat));
    return message;
}

inline FakeShm::MessageT MakeBlockValue(std::uint64_t timestamp, std::string block, std::string address,
                                        std::string data) {
    FakeShm::MessageT message;
    message.version = 1;
    message.timestamp = timestamp;
    message.source = FakeShm::SourceType_Connect;
    FakeShm::SharedMemT payload;
    payload.version = 1;
    payload.block = std::move(block);
    payload.address = std::move(address);
    payload.data = std::move(data);
    message.payload.Set(std::move(payload));
    return message;
}

// A message with a raw payload type and, optionally, no payload table at all.
inline std::vector<std::uint8_t> PackRaw(std::uint8_t payloadType, bool withPayload,
                                         std::uint8_t source = 2) {
    flatbuffers::FlatBufferBuilder builder(KvFakeShm::kBuilderInitialSize);
    flatbuffers::Offset<void> payload;
    if (withPayload)
        payload = FakeShm::CreateHeartbeat(builder, 1).Union();
    FakeShm::MessageBuilder mb(builder);
    mb.add_timestamp(1);
    if (withPayload)
        mb.add_payload(payload);
    mb.add_version(1);
    mb.add_payload_type(static_cast<FakeShm::Payload>(payloadType));
    mb.add_source(static_cast<FakeShm::SourceType>(source));
    builder.Finish(mb.Finish());
    return {builder.GetBufferPointer(), builder.GetBufferPointer() + builder.GetSize()};
}

}  // namespace KvTest
