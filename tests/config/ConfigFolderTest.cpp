#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "kvcommon/ConfigFolder.hpp"
#include "tests/support/TestSupport.hpp"

namespace {

class ConfigFolder : public ::testing::Test {
  protected:
    KvTest::TempDir home;
    KvTest::ScopedEnv homeEnv{"HOME", home.Path().c_str()};
    KvTest::ScopedEnv docsEnv{"XDG_DOCUMENTS_DIR", nullptr};
    KvTest::ScopedEnv configEnv{"XDG_CONFIG_HOME", nullptr};

    void WriteUserDirs(const std::filesystem::path& configHome, const std::string& text) {
        std::filesystem::create_directories(configHome);
        std::ofstream(configHome / "user-dirs.dirs") << text;
    }
};

}  // namespace

TEST_F(ConfigFolder, EnvironmentVariableWins) {
    WriteUserDirs(home.Path() / ".config", "XDG_DOCUMENTS_DIR=\"$HOME/Docs\"\n");
    KvTest::ScopedEnv docs("XDG_DOCUMENTS_DIR", "/srv/docs");
    EXPECT_EQ(KvCommon::GetConfigFolderPath(), "/srv/docs/Korvanta");
}

TEST_F(ConfigFolder, UserDirsEntryWithHomeExpanded) {
    WriteUserDirs(home.Path() / ".config",
                  "# written by xdg-user-dirs-update\nXDG_DESKTOP_DIR=\"$HOME/Desktop\"\n"
                  "XDG_DOCUMENTS_DIR=\"$HOME/Dokumente\"\n");
    EXPECT_EQ(KvCommon::GetDocumentsFolderPath(), (home.Path() / "Dokumente").string());
}

TEST_F(ConfigFolder, OfTwoUserDirsEntriesTheLastCounts) {
    WriteUserDirs(home.Path() / ".config",
                  "XDG_DOCUMENTS_DIR=\"$HOME/First\"\n# a comment between\n"
                  "  XDG_DOCUMENTS_DIR=\"${HOME}/Second\"\r\nXDG_MUSIC_DIR=\"$HOME/Music\"\n");
    EXPECT_EQ(KvCommon::GetDocumentsFolderPath(), (home.Path() / "Second").string());
}

TEST_F(ConfigFolder, UserDirsUnderXdgConfigHome) {
    KvTest::TempDir other;
    WriteUserDirs(other.Path(), "XDG_DOCUMENTS_DIR=\"/data/papers\"\n");
    KvTest::ScopedEnv config("XDG_CONFIG_HOME", other.Path().c_str());
    EXPECT_EQ(KvCommon::GetConfigFolderPath(), "/data/papers/Korvanta");
}

TEST_F(ConfigFolder, UserDirsEntryEqualToHomeMeansNotConfigured) {
    WriteUserDirs(home.Path() / ".config", "XDG_DOCUMENTS_DIR=\"$HOME\"\n");
    EXPECT_EQ(KvCommon::GetDocumentsFolderPath(), (home.Path() / "Documents").string());
}

TEST_F(ConfigFolder, FallsBackToDocumentsUnderHome) {
    EXPECT_EQ(KvCommon::GetConfigFolderPath(), (home.Path() / "Documents" / "Korvanta").string());
    EXPECT_EQ(KvCommon::ConfigFilePath("kvfakeshm-params.yml"),
              (home.Path() / "Documents" / "Korvanta" / "kvfakeshm-params.yml").string());
}

TEST_F(ConfigFolder, UnresolvableDocumentsGivesSeparatorAndKorvanta) {
    KvTest::ScopedEnv noHome("HOME", nullptr);
    EXPECT_EQ(KvCommon::GetDocumentsFolderPath(), "");
    EXPECT_EQ(KvCommon::GetConfigFolderPath(), "/Korvanta");
    EXPECT_EQ(KvCommon::ConfigFilePath("kvfakeshm-params.yml"), "/Korvanta/kvfakeshm-params.yml");
}

TEST_F(ConfigFolder, FolderIsNeverCreated) {
    (void)KvCommon::GetConfigFolderPath();
    (void)KvCommon::ConfigFilePath("kvfakeshm-transport.bin");
    EXPECT_FALSE(std::filesystem::exists(home.Path() / "Documents"));
}

TEST_F(ConfigFolder, CachedPathsDoNotFollowALaterRedirection) {
    KvTest::ScopedEnv docs("XDG_DOCUMENTS_DIR", "/first");
    const std::string& first = KvCommon::GetTuningFilePath();
    EXPECT_EQ(first, "/first/Korvanta/kvfakeshm-params.yml");
    KvTest::ScopedEnv redirected("XDG_DOCUMENTS_DIR", "/second");
    EXPECT_EQ(KvCommon::GetTuningFilePath(), first);
    EXPECT_EQ(&KvCommon::GetTuningFilePath(), &first);
}
