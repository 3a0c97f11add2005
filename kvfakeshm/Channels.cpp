#include <mutex>

#include "kvfakeshm/FakeSharedMemImpl.hpp"
#include "kvlog/Failure.hpp"

namespace KvFakeShm {

using KvLog::FailWith;

bool FakeSharedMem::Impl::InitializeChannel(const TransportDescriptor& transport, std::string& error) {
    error.clear();
    KVLOG(KvLog::kInfo, "Initializing FakeSharedMem {} transport channel...", transport.word);
    const auto prefix = [&] {
        return fmt::format("Failed to initialize the FakeSharedMem {} transport channel", transport.word);
    };
    return KvLog::GuardFailures(
        error,
        [&] {
            std::unique_lock lock(this->*transport.lock);
            auto& slot = this->*transport.channel;
            if (slot != nullptr) {
                return FailWith(error,
                                fmt::format("{}: Already initialized; initialization aborted!", prefix()));
            }
            slot = std::make_shared<TransportChannel>();
            std::string reason;
            bool resolved = true;
            if (transport.kind == kTransportIpc) {
                resolved = ResolveIpcUrl(slot, reason);
            } else if (transport.kind == kTransportTcp) {
                resolved = ResolveTcpUrl(slot, reason);
            }
            if (!resolved) {
                slot.reset();
                return FailWith(error,
                                fmt::format("Failed to resolve the {} url: {}", transport.word, reason));
            }
            lock.unlock();
            KVLOG(KvLog::kInfo, "The FakeSharedMem {} transport channel has been initialized successfully!",
                  transport.word);
            return true;
        },
        [&](const std::string& text) { return fmt::format("{}: {}", prefix(), text); },
        [&] { return fmt::format("{} due to an unknown error!", prefix()); });
}

bool FakeSharedMem::Impl::TerminateChannel(const TransportDescriptor& transport, std::string& error) {
    error.clear();
    KVLOG(KvLog::kInfo, "Terminating FakeSharedMem {} transport channel...", transport.word);
    const auto prefix = [&] {
        return fmt::format("Failed to terminate the FakeSharedMem {} transport channel", transport.word);
    };
    return KvLog::GuardFailures(
        error,
        [&] {
            std::shared_ptr<TransportChannel> removed;
            {
                std::unique_lock lock(this->*transport.lock);
                auto& slot = this->*transport.channel;
                if (slot == nullptr) {
                    return FailWith(error,
                                    fmt::format("{}: Not initialized yet; termination aborted!", prefix()));
                }
                removed = std::move(slot);
            }
            // Destroyed here, outside the slot lock, unless a getter or worker still holds a copy.
            removed.reset();
            KVLOG(KvLog::kInfo, "The FakeSharedMem {} transport channel has been terminated successfully!",
                  transport.word);
            return true;
        },
        [&](const std::string& text) { return fmt::format("{}: {}", prefix(), text); },
        [&] { return fmt::format("{} due to an unknown error!", prefix()); });
}

bool FakeSharedMem::Impl::StopAndRemoveChannel(const TransportDescriptor& transport, std::string& stopError,
                                               std::string& removeError) {
    stopError.clear();
    removeError.clear();
    if (GetChannel(transport) == nullptr) {
        return true;
    }
    if (IsWorkerRunning(transport) && !StopWorker(transport, stopError)) {
        return false;
    }
    return TerminateChannel(transport, removeError);
}

bool FakeSharedMem::Impl::InitializeIpcChannel(std::string& error) {
    return InitializeChannel(kIpcTransport, error);
}
bool FakeSharedMem::Impl::InitializeTcpChannel(std::string& error) {
    return InitializeChannel(kTcpTransport, error);
}
bool FakeSharedMem::Impl::InitializeSharedMemChannel(std::string& error) {
    return InitializeChannel(kSharedMemTransport, error);
}
bool FakeSharedMem::Impl::TerminateIpcChannel(std::string& error) {
    return TerminateChannel(kIpcTransport, error);
}
bool FakeSharedMem::Impl::TerminateTcpChannel(std::string& error) {
    return TerminateChannel(kTcpTransport, error);
}
bool FakeSharedMem::Impl::TerminateSharedMemChannel(std::string& error) {
    return TerminateChannel(kSharedMemTransport, error);
}

}  // namespace KvFakeShm
