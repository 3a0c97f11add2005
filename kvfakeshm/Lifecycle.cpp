#include <functional>
#include <mutex>

#include "kvcommon/ConfigFolder.hpp"
#include "kvfakeshm/FakeSharedMemImpl.hpp"
#include "kvlog/Failure.hpp"

namespace KvFakeShm {
namespace {

using KvLog::FailWith;

constexpr const TransportDescriptor* kAllTransports[] = {&kIpcTransport, &kTcpTransport,
                                                         &kSharedMemTransport};

bool FailInitialize(std::string& error, std::string_view reason) {
    return FailWith(error, fmt::format("FakeSharedMem initialization has failed: {}", reason));
}

// Escaping exceptions of Initialize and Terminate; call only inside a catch block.
bool FailFromException(std::string& error, std::string_view doing) {
    const auto text = KvLog::CurrentExceptionText();
    return FailWith(error, text ? fmt::format("Encountered an error while {} FakeSharedMem: {}", doing, *text)
                                : fmt::format("Encountered an unknown error while {} FakeSharedMem!", doing));
}

}  // namespace

bool FakeSharedMem::Impl::InitializeAs(PeerType peer, std::uint8_t mask, std::string& error,
                                       const std::function<bool(std::string&)>& setUp) {
    std::lock_guard lock(stateLock);
    KVLOG(KvLog::kInfo, "Initializing FakeSharedMem...");
    error.clear();
    try {
        if (peerType.load() != PeerType::None) {
            return FailInitialize(error, "Already initialized; initialization aborted!");
        }
        if (mask == 0) {
            return FailInitialize(error, "Should be initialized with at least one trasnport!");
        }
        peerType.store(peer);
        transports.store(mask);
        if (std::string reason; !setUp(reason)) {
            return FailInitialize(error, reason);
        }
        if (std::string reason; !InitializeWatchers(reason)) {
            return FailInitialize(error, reason);
        }
        for (const auto* transport : kAllTransports) {
            if (std::string reason; IsEnabled(*transport) && !StartWorker(*transport, reason)) {
                return FailInitialize(error, reason);
            }
        }
        KVLOG(KvLog::kInfo, "FakeSharedMem has been initialized successfully!");
        return true;
    } catch (...) {
        return FailFromException(error, "initializing");
    }
}

bool FakeSharedMem::Initialize(PeerType /*peer*/, std::uint8_t transports, std::string& error) {
    // This process plays the Core peer whatever the caller asks for.
    return impl->InitializeAs(PeerType::Core, transports, error, [this](std::string& reason) {
        if (impl->LoadTransportFile(reason)) {
            return true;
        }
        KVLOG(KvLog::kWarning, "FakeSharedMem configuration file '{}' could not be loaded: {}",
              KvCommon::GetTransportFilePath(), reason);
        return !IsSharedMemEnabled() || impl->InitializeSharedMemChannel(reason);
    });
}

bool FakeSharedMem::InitializeConnect(std::uint8_t transports, std::string& error) {
    return impl->InitializeAs(PeerType::Connect, transports, error, [this](std::string& reason) {
        // The user's tuning file wins; a missing or invalid one is written from the built-in values by the
        // save below (which keeps a backup of an invalid file).
        if (std::string loadError; !impl->LoadTuningFile(loadError)) {
            KVLOG(KvLog::kWarning, "FakeSharedMem keeps its built-in tuning values: {}", loadError);
        }
        for (const auto* transport : kAllTransports) {
            if (impl->IsEnabled(*transport) && !impl->InitializeChannel(*transport, reason)) {
                return false;
            }
        }
        // Published before the workers listen, so that a Core that reads the file finds the URLs valid.
        return impl->SaveTransportFile(reason);
    });
}

bool FakeSharedMem::Terminate(std::string& error) {
    auto& state = *impl;
    // Raised before the lock: a transport-file handler waiting for the lock gives up instead of
    // waiting for this thread, which is about to join it.
    state.terminating.store(true);
    std::lock_guard lock(state.stateLock);
    KVLOG(KvLog::kInfo, "Terminating FakeSharedMem...");
    error.clear();
    struct Lower {
        std::atomic<bool>& flag;
        ~Lower() { flag.store(false); }
    } lower{state.terminating};
    const auto fail = [&](std::string_view reason) {
        return FailWith(error, fmt::format("FakeSharedMem termination has failed: {}", reason));
    };
    try {
        if (state.peerType.load() == PeerType::None) {
            return fail("Not initialized yet; termination aborted!");
        }
        std::string reason;
        if (!state.TerminateWatchers(reason)) {
            return fail(reason);
        }
        if (state.peerType.load() == PeerType::Connect) {
            {
                // No save is in flight once this lock is held, and none starts after: the erased file
                // stays erased.
                std::lock_guard watcherLock(state.transportWatcherLock);
                state.transportFileChanged.store(false);
                state.tuningFileChanged.store(false);
            }
            if (!state.EraseTransportFile(reason)) {
                return fail(reason);
            }
        }
        for (const auto* transport : kAllTransports) {
            std::string stopError, removeError;
            if (!state.StopAndRemoveChannel(*transport, stopError, removeError)) {
                return fail(stopError.empty() ? removeError : stopError);
            }
        }
        state.transports.store(0);
        state.peerType.store(PeerType::None);
        KVLOG(KvLog::kInfo, "FakeSharedMem has been terminated successfully!");
        return true;
    } catch (...) {
        return FailFromException(error, "terminating");
    }
}

}  // namespace KvFakeShm
