#include <gtest/gtest.h>

#include "connectpeer/SegmentHost.hpp"
#include "kvcoreshm/SharedMem.hpp"
#include "tests/support/TestSupport.hpp"

using KvCoreShm::SharedMem;

namespace {

class SegmentAccess : public ::testing::Test {
  protected:
    KvConnectPeer::SegmentHost host{"KvTestBlock", "KvTestAddress"};
    std::string data, error;
};

}  // namespace

TEST_F(SegmentAccess, WrittenValueReadsBackByteForByteWithZeroBytes) {
    const std::string value("zero\0in\0the\0middle\0", 19);
    ASSERT_TRUE(SharedMem::WriteTo("KvTestBlock", "KvTestAddress", value, error)) << error;
    EXPECT_TRUE(error.empty());
    EXPECT_EQ(host.Value(), value);
    ASSERT_TRUE(SharedMem::ReadFrom("KvTestBlock", "KvTestAddress", data, error)) << error;
    EXPECT_EQ(data, value);

    const std::string big(48 * 1024, '\x7f');
    ASSERT_TRUE(SharedMem::WriteTo("KvTestBlock", "KvTestAddress", big, error)) << error;
    ASSERT_TRUE(SharedMem::ReadFrom("KvTestBlock", "KvTestAddress", data, error));
    EXPECT_EQ(data, big);
}

TEST_F(SegmentAccess, EmptyValueIsWrittenAndRead) {
    host.SetValue("something");
    ASSERT_TRUE(SharedMem::WriteTo("KvTestBlock", "KvTestAddress", "", error));
    data = "stale";
    ASSERT_TRUE(SharedMem::ReadFrom("KvTestBlock", "KvTestAddress", data, error));
    EXPECT_EQ(data, "");
}

TEST_F(SegmentAccess, MissingSegmentFailsWithTheExceptionText) {
    data = "kept";
    EXPECT_FALSE(SharedMem::ReadFrom("KvNoSuchBlock", "KvTestAddress", data, error));
    EXPECT_EQ(error, "Error reading from KvNoSuchBlock-KvTestAddress: No such file or directory");
    EXPECT_EQ(data, "kept");
    EXPECT_FALSE(SharedMem::WriteTo("KvNoSuchBlock", "KvTestAddress", "x", error));
    EXPECT_EQ(error, "Error writing to KvNoSuchBlock-KvTestAddress: No such file or directory");
}

TEST_F(SegmentAccess, MissingObjectFailsAndNothingIsCreated) {
    data = "kept";
    EXPECT_FALSE(SharedMem::ReadFrom("KvTestBlock", "Nope", data, error));
    EXPECT_EQ(error, "SharedMem: No data available at KvTestBlock-Nope");
    EXPECT_EQ(data, "kept");
    EXPECT_FALSE(SharedMem::WriteTo("KvTestBlock", "Nope", "x", error));
    EXPECT_EQ(error, "SharedMem::WriteTo failed: object does not exist at KvTestBlock-Nope");
    EXPECT_FALSE(SharedMem::ReadFrom("KvTestBlock", "Nope", data, error));
}

// The other process rewrites the value with sizes from 0 to 64 KiB as fast as it can while we read
// back to back. Every value it writes is a prefix of one pattern; a copy taken during an in-place rewrite
// may hold the new value's terminator inside the old length (a mixture the writer's lack of a lock allows),
// but never a byte from anywhere else.
TEST(SegmentConcurrentRewrite, ReaderNeverFaultsOrReadsOutsideTheValue) {
    KvConnectPeer::SegmentHost host;  // TestBlock / TestAddress, as the helper program expects
    KvTest::ChildProcess writer({KV_CONNECT_PEER_BINARY, "rewrite", "10"});
    ASSERT_TRUE(writer.WaitForLine("ready", std::chrono::seconds(10)));
    std::string data, error;
    std::size_t reads = 0, failures = 0, largest = 0;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < until) {
        if (!SharedMem::ReadFrom("TestBlock", "TestAddress", data, error)) {
            ++failures;
            continue;
        }
        ++reads;
        ASSERT_LE(data.size(), 64u * 1024u);
        largest = std::max(largest, data.size());
        for (std::size_t i = 0; i < data.size(); i += 97) {
            if (data[i] != static_cast<char>('a' + i % 26)) {
                ASSERT_EQ(data[i], '\0') << "byte " << i << " of " << data.size();
            }
        }
    }
    EXPECT_EQ(writer.Finish(std::chrono::seconds(10)), 0) << writer.Output();
    EXPECT_GT(reads, 1000u);
    EXPECT_GT(largest, 32u * 1024u);
    RecordProperty("reads", static_cast<int>(reads));
    RecordProperty("inconsistentReads", static_cast<int>(failures));
}
