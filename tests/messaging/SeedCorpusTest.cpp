#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "tests/support/MessageFactory.hpp"

// Writes valid messages for the message-handler fuzzer to start from.
TEST(FuzzSeedCorpus, WritesValidMessages) {
    const std::filesystem::path folder = KV_FUZZ_CORPUS_DIR;
    std::filesystem::create_directories(folder);
    const std::vector<std::pair<const char*, std::vector<std::uint8_t>>> seeds = {
        {"heartbeat", KvTest::Pack(KvTest::MakeHeartbeat(123456789))},
        {"heartbeat-core", KvTest::Pack(KvTest::MakeHeartbeat(1, FakeShm::SourceType_Core))},
        {"block", KvTest::Pack(KvTest::MakeBlockValue(42, "TestBlock", "TestAddress", "hello"))},
        {"block-zeros", KvTest::Pack(KvTest::MakeBlockValue(42, "b", "a", std::string("\0\1\0", 3)))},
        {"block-empty", KvTest::Pack(KvTest::MakeBlockValue(0, "", "", ""))},
        {"payload-type-3", KvTest::PackRaw(3, true)},
    };
    for (const auto& [name, body] : seeds) {
        std::ofstream(folder / name, std::ios::binary)
            .write(reinterpret_cast<const char*>(body.data()), static_cast<std::streamsize>(body.size()));
        EXPECT_EQ(std::filesystem::file_size(folder / name), body.size());
    }
}
