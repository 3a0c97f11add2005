#include "kvfakeshm/MessageWire.hpp"

#include <cstring>
#include <limits>

namespace KvFakeShm {

void BuildMessage(const FakeShm::MessageT& message, flatbuffers::FlatBufferBuilder& builder) {
    builder.Finish(FakeShm::Message::Pack(builder, &message));
}

const FakeShm::Message* CheckMessageBody(const std::uint8_t* body, std::size_t length) {
    if (body == nullptr || length < kMinimumMessageSize ||
        length >= static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
        return nullptr;
    }
    std::uint32_t rootOffset = 0;
    std::memcpy(&rootOffset, body, sizeof rootOffset);
    rootOffset = flatbuffers::EndianScalar(rootOffset);
    if (rootOffset < 1 || rootOffset > length - 1) {
        return nullptr;
    }
    flatbuffers::Verifier::Options options;
    options.max_depth = 64;
    options.max_tables = 1000000;
    options.check_alignment = true;
    flatbuffers::Verifier verifier(body, length, options);
    if (!FakeShm::VerifyMessageBuffer(verifier)) {
        return nullptr;
    }
    return FakeShm::GetMessage(body);
}

}  // namespace KvFakeShm
