#include <arpa/inet.h>
#include <nng/nng.h>
#include <nng/protocol/pair0/pair.h>

#include <mutex>

#include "kvfakeshm/BoundedClose.hpp"
#include "kvfakeshm/FakeSharedMemImpl.hpp"
#include "kvfakeshm/IpcEndpoint.hpp"
#include "kvlog/Failure.hpp"

namespace KvFakeShm {

using KvLog::FailWith;

const std::string& IpcEndpointName() {
    static const std::string name = "Korvanta";
    return name;
}

bool FakeSharedMem::Impl::ResolveIpcUrl(const std::shared_ptr<TransportChannel>& channel,
                                        std::string& error) {
    error.clear();
    KVLOG(KvLog::kInfo, "Resolving the IPC transport URL for FakeSharedMem...");
    return KvLog::GuardFailures(
        error,
        [&] {
            if (channel == nullptr) {
                return FailWith(error,
                                "Failed to resolve the IPC transport URL for FakeSharedMem: IPC channel "
                                "has not been initialized yet!");
            }
            std::lock_guard lock(channel->urlLock);
            if (!owner->IsIpcEnabled()) {
                return FailWith(
                    error,
                    "The IPC transport has been explicitly disabled; skipping further URL resolution!");
            }
            if (channel->urlResolved) {
                KVLOG(KvLog::kError,
                      "The IPC transport URL has already been resolved: '{}'; skipping further resolution!",
                      channel->url);
                return false;
            }
            channel->url = IpcUrlFor(IpcEndpointName());
            channel->urlResolved = true;
            KVLOG(KvLog::kInfo, "FakeSharedMem has resolved the IPC transport URL: '{}'", channel->url);
            return true;
        },
        [](const std::string& text) {
            return fmt::format("Failed to resolve the IPC transport URL for FakeSharedMem: {}", text);
        },
        [] {
            return std::string(
                "Failed to resolve the IPC transport URL for FakeSharedMem due to an unknown error!");
        });
}

namespace {

// The temporary socket and listener of the port probe, closed on every path; closing the socket closes
// its listener. The Core probes inside a reload, under stateLock, so the close must not hang.
struct TemporaryListener {
    nng_socket socket = NNG_SOCKET_INITIALIZER;
    nng_listener listener = NNG_LISTENER_INITIALIZER;
    bool socketOpen = false;
    ~TemporaryListener() {
        if (socketOpen) {
            CloseSocketBounded(socket, "TCP");
        }
    }
};

}  // namespace

bool FakeSharedMem::Impl::ResolveTcpUrl(const std::shared_ptr<TransportChannel>& channel,
                                        std::string& error) {
    error.clear();
    KVLOG(KvLog::kInfo, "Resolving ephemeral TCP transport URL for FakeSharedMem...");
    return KvLog::GuardFailures(
        error,
        [&] {
            if (channel == nullptr) {
                return FailWith(error,
                                "Failed to resolve the ephemeral TCP transport URL for FakeSharedMem: TCP "
                                "channel has not been initialized yet!");
            }
            std::lock_guard lock(channel->urlLock);
            if (!owner->IsTcpEnabled()) {
                return FailWith(
                    error,
                    "The TCP transport has been explicitly disabled; skipping further URL resolution!");
            }
            if (channel->urlResolved) {
                KVLOG(KvLog::kError,
                      "TCP transport URL has already been resolved: {}; skipping further URL resolution!",
                      channel->url);
                return false;
            }
            TemporaryListener probe;
            if (nng_pair0_open(&probe.socket) != 0) {
                return FailWith(error,
                                "Failed to open the temporary NNG socket for TCP transport URL resolution!");
            }
            probe.socketOpen = true;
            if (nng_listener_create(&probe.listener, probe.socket, "tcp://127.0.0.1:0") != 0) {
                return FailWith(error, "Failed to create the temporary NNG listener!");
            }
            if (nng_listener_start(probe.listener, 0) != 0) {
                return FailWith(error, "Failed to start the temporary NNG listener!");
            }
            nng_sockaddr address{};
            if (nng_listener_get_addr(probe.listener, NNG_OPT_LOCADDR, &address) != 0) {
                return FailWith(error, "Failed to retrieve a bound TCP port from the NNG listener!");
            }
            std::string url;
            if (address.s_family == NNG_AF_INET) {
                url = fmt::format("tcp://127.0.0.1:{}", ntohs(address.s_in.sa_port));
            } else if (address.s_family == NNG_AF_INET6) {
                url = fmt::format("tcp://[::1]:{}", ntohs(address.s_in6.sa_port));
            } else {
                return FailWith(error, "Unsupported address family while resolving the TCP transport URL!");
            }
            channel->url = std::move(url);
            channel->urlResolved = true;
            KVLOG(KvLog::kInfo, "FakeSharedMem has resolved the TCP transport URL: {}", channel->url);
            return true;  // the probe closes here, so the port is free for the real listener
        },
        [](const std::string& text) {
            return fmt::format("Failed to resolve the ephemeral TCP transport URL for FakeSharedMem: {}",
                               text);
        },
        [] {
            return std::string(
                "Failed to resolve the ephemeral TCP transport URL for FakeSharedMem due to an unknown "
                "error!");
        });
}

}  // namespace KvFakeShm
