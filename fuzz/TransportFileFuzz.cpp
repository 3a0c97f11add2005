// Feeds arbitrary file contents to the Core peer's transport-file loader.
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "kvcommon/ConfigFolder.hpp"
#include "kvfakeshm/FakeSharedMemImpl.hpp"
#include "kvlog/Logging.hpp"
#include "tests/support/TestPeer.hpp"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    KvLog::SetConsoleVerbosity(KvLog::kOff);  // every rejection logs an ERROR line
    // A folder of the fuzzer's own; the paths are cached on first use.
    const auto folder = std::filesystem::temp_directory_path() / ("kvfuzz-" + std::to_string(getpid()));
    std::filesystem::create_directories(folder / "Korvanta");
    setenv("XDG_DOCUMENTS_DIR", folder.c_str(), 1);
    std::atexit([] {
        std::error_code ec;
        std::filesystem::remove_all(std::filesystem::path(KvCommon::GetConfigFolderPath()).parent_path(), ec);
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static KvTest::TestPeer core;
    core.Pretend(KvFakeShm::PeerType::Core, KvFakeShm::kTransportSharedMem);
    std::ofstream(KvCommon::GetTransportFilePath(), std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    std::string error;
    core.GetImpl().LoadTransportFile(error);
    return 0;
}
