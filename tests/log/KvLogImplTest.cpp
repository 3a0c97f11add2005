#include <gtest/gtest.h>

#include "kvlog/KvLogImpl.hpp"
#include "kvlog/Logging.hpp"
#include "tests/support/TestSupport.hpp"

using KvLogImpl::Log;

class LogFacade : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(KvLog::AddFile(path.string(), KvLog::FileMode::Truncate, KvLog::kMaxVerbosity));
    }
    std::string Contents() {
        KvLog::FlushAll();
        return KvTest::ReadFile(path);
    }
    KvTest::TempDir dir;
    std::filesystem::path path = dir.Path() / "facade.log";
};

TEST_F(LogFacade, DisplayNameCarriesTheVersion) {
    EXPECT_EQ(Log::GetName(), "KvLog v2.400.1-302a8aa67");
}

TEST_F(LogFacade, SecondInitializeIsRefusedWithItsMessage) {
    std::string error = "stale";
    ASSERT_TRUE(Log::GetInstance().Initialize(error));
    EXPECT_TRUE(error.empty());
    EXPECT_TRUE(Log::GetInstance().IsInitialized());
    const auto arguments = Log::GetInstance().GetArguments();

    EXPECT_FALSE(Log::GetInstance().Initialize(error));
    EXPECT_EQ(error, "The KvLog v2.400.1-302a8aa67 has already been initialized!");
    EXPECT_TRUE(Log::GetInstance().IsInitialized());
    EXPECT_EQ(Log::GetInstance().GetArguments(), arguments);
    const std::string text = Contents();
    EXPECT_NE(text.find("INFO| Initializing KvLog v2.400.1-302a8aa67..."), std::string::npos);
    EXPECT_NE(text.find("INFO| KvLog v2.400.1-302a8aa67 has been initialized successfully!"),
              std::string::npos);
    EXPECT_NE(text.find("ERR| The KvLog v2.400.1-302a8aa67 has already been initialized!"),
              std::string::npos);
}

TEST_F(LogFacade, TerminateBeforeInitializeIsRefused) {
    std::string error;
    EXPECT_FALSE(Log::GetInstance().Terminate(error));
    EXPECT_EQ(error, "The KvLog v2.400.1-302a8aa67 has already been terminated!");
    const std::string text = Contents();
    const auto terminating = text.find("INFO| Terminating KvLog v2.400.1-302a8aa67...");
    const auto refused = text.find("ERR| The KvLog v2.400.1-302a8aa67 has already been terminated!");
    ASSERT_NE(terminating, std::string::npos);
    ASSERT_NE(refused, std::string::npos);
    EXPECT_LT(terminating, refused);
}

TEST_F(LogFacade, LinesStillReachTheFileAfterTerminate) {
    std::string error;
    ASSERT_TRUE(Log::GetInstance().Initialize(error));
    ASSERT_TRUE(Log::GetInstance().Terminate(error));
    EXPECT_FALSE(Log::GetInstance().IsInitialized());
    EXPECT_NE(Contents().find("has been terminated successfully!"), std::string::npos);
    KVLOG(KvLog::kInfo, "after the end");
    EXPECT_NE(Contents().find("after the end"), std::string::npos);
    EXPECT_FALSE(Log::GetInstance().Terminate(error));
}

TEST_F(LogFacade, CapturesTheProcessArguments) {
    std::string error;
    ASSERT_TRUE(Log::GetInstance().Initialize(error));
    const auto arguments = Log::GetInstance().GetArguments();
    ASSERT_GE(arguments.size(), 1u);
    EXPECT_NE(arguments[0].find("kvlog_tests"), std::string::npos);
}
