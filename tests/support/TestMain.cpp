#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "tests/support/TestSupport.hpp"

// No test may reach the user's own files: before any test runs, the Documents folder (and with it the
// configuration folder) is a temporary one; a test that needs another sets its own.
int main(int argc, char** argv) {
    KvTest::TempDir documents;
    ::setenv("XDG_DOCUMENTS_DIR", documents.Path().c_str(), 1);
    std::filesystem::create_directories(documents.Path() / "Korvanta");
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
