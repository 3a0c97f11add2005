#include "client/FakeShmUse.hpp"

#include <mutex>
#include <thread>

#include "client/ClientState.hpp"
#include "client/Lifecycle.hpp"
#include "kvfakeshm/FakeSharedMem.hpp"
#include "kvlog/Logging.hpp"

namespace KvClient {

using KvFakeShm::FakeSharedMem;

void InitializeFakeSharedMem() {
    KVLOG(KvLog::kInfo, "Attempting FakeSharedMem initialization...");
    auto& shm = FakeSharedMem::GetInstance();
    if (shm.IsInitialized()) {
        KVLOG(KvLog::kError, "FakeSharedMem has already been initialized!");
        return;
    }
    if (std::string error;
        !shm.Initialize(KvFakeShm::PeerType::Core, KvFakeShm::kTransportSharedMem, error)) {
        FailFatally(fmt::format("FakeSharedMem initialization has failed: {}", error));
    }
    KVLOG(KvLog::kInfo, "FakeSharedMem initialization has succeeded!");
}

void TerminateFakeSharedMem() {
    KVLOG(KvLog::kInfo, "Attempting FakeSharedMem termination...");
    auto& shm = FakeSharedMem::GetInstance();
    if (!shm.IsInitialized()) {
        KVLOG(KvLog::kError, "FakeSharedMem has not been initialized yet!");
        return;
    }
    if (std::string error; !shm.Terminate(error)) {
        FailFatally(fmt::format("FakeSharedMem termination has failed: {}", error));
    }
    KVLOG(KvLog::kInfo, "FakeSharedMem termination has succeeded!");
}

std::string PreviewOf(const std::string& data) {
    return data.substr(0, 16);
}

void LegacySharedMemRead() {
    KvLog::SetThreadName("RLShmM");
    auto& state = GetClientState();
    auto& shm = FakeSharedMem::GetInstance();
    std::string error;
    while (state.running.load()) {
        if (!shm.IsSharedMemPeerAlive()) {
            constexpr int kPauseMs = 100;
            KVLOG(KvLog::kInfo, "Sleeping for {} millisecond(s)...", kPauseMs);
            std::this_thread::sleep_for(std::chrono::milliseconds(kPauseMs));
            continue;
        }
        std::string data = "-";
        if (!shm.ReadFrom_SharedMem(GetTestBlockName(), GetTestAddressName(), data, error)) {
            KVLOG(KvLog::kError, "ReadFrom_SharedMem failed to read: {}", error);
        }
        {
            std::unique_lock lock(state.previewLock);
            state.sharedMemPreview = PreviewOf(data);
        }
        // Back to back, but never ahead of the transports' own threads on a busy machine.
        std::this_thread::yield();
    }
}

}  // namespace KvClient
