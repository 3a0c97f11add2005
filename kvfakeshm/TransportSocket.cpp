#include <nng/nng.h>
#include <nng/protocol/pair0/pair.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <shared_mutex>
#include <thread>

#include "kvfakeshm/BoundedClose.hpp"
#include "kvfakeshm/BoundedWait.hpp"
#include "kvfakeshm/FakeSharedMemImpl.hpp"
#include "kvlog/Failure.hpp"

namespace KvFakeShm {
namespace {

using KvLog::FailWith;

// NNG calls these on its own threads; the transport is fixed per instantiation so that one function
// pointer serves each transport's registration.
template <const TransportDescriptor& transport, bool added>
void OnPipeEvent(nng_pipe, nng_pipe_ev, void* argument) {
    if (added) {
        KVLOG(KvLog::kInfo, "An {} transport peer is connected!", transport.word);
    } else {
        KVLOG(KvLog::kInfo, "The {} transport peer is disconnected!", transport.word);
    }
    auto* impl = static_cast<FakeSharedMem::Impl*>(argument);
    if (impl == nullptr) {
        KVLOG(KvLog::kError, "Invalid Impl object!");
        return;
    }
    const auto channel = impl->GetChannel(transport);
    if (channel == nullptr) {
        KVLOG(KvLog::kError, "Invalid {} transport channel!", transport.word);
        return;
    }
    if (added) {
        channel->ResetConnection();
        channel->connected.store(true);
    } else {
        channel->connected.store(false);
        channel->ResetConnection();
    }
}

template <const TransportDescriptor& transport>
void RegisterPipeCallbacks(nng_socket socket, FakeSharedMem::Impl* impl) {
    nng_pipe_notify(socket, NNG_PIPE_EV_ADD_POST, &OnPipeEvent<transport, true>, impl);
    nng_pipe_notify(socket, NNG_PIPE_EV_REM_POST, &OnPipeEvent<transport, false>, impl);
}

void RegisterPipeCallbacks(const TransportDescriptor& transport, nng_socket socket,
                           FakeSharedMem::Impl* impl) {
    if (transport.kind == kTransportIpc) {
        RegisterPipeCallbacks<kIpcTransport>(socket, impl);
    } else {
        RegisterPipeCallbacks<kTcpTransport>(socket, impl);
    }
}

// Nobody listens there yet, or the peer vanished during the first attempt: a peer that is still
// starting, one that is going away, or one that died and left its file behind.
bool NobodyListens(int rc) {
    switch (rc) {
        case NNG_ECONNREFUSED:
        case NNG_ENOENT:
        case NNG_ECONNRESET:
        case NNG_ECONNSHUT:
        case NNG_ECONNABORTED:
        case NNG_ETIMEDOUT:
            return true;
        default:
            return false;
    }
}

// The packaged NNG (1.5.2, upstream issue 1518) breaks a listener for good when a connection is closed
// while both sides still exchange their headers: a restarted Connect peer then never takes the Core again.
// A Core socket without a peer may be redialing, so its dialer stops redialing and an attempt under way
// gets the time to end (in a pipe or a refusal) before the close.
void LetADialUnderWayEnd(TransportChannel& channel, std::int32_t reconnectMaxMs) {
    if (nng_dialer_id(channel.dialer) <= 0 || channel.connected.load()) {
        return;
    }
    constexpr nng_duration kNever = 3'600'000;
    nng_dialer_set_ms(channel.dialer, NNG_OPT_RECONNMINT, kNever);
    nng_dialer_set_ms(channel.dialer, NNG_OPT_RECONNMAXT, kNever);
    // A retry already scheduled still starts, at most one reconnect interval from now; a pipe it makes is
    // also left to settle (a close right after one was added deadlocked the packaged NNG here).
    std::this_thread::sleep_for(
        std::chrono::milliseconds(std::clamp<std::int32_t>(reconnectMaxMs, 0, 10) + 10));
}

// Open and close report alike: a prefix naming the operation, the missing-channel refusal and the
// exception texts. The body gets the channel, `fail(reason)` and the prefix.
template <typename Body>
bool SocketOperation(const FakeSharedMem::Impl& impl, const TransportDescriptor& transport,
                     std::string_view action, std::string& error, Body&& body) {
    const auto prefix = [&] {
        return fmt::format("Failed to {} the FakeSharedMem {} transport socket", action, transport.word);
    };
    const auto fail = [&](std::string_view reason) {
        return FailWith(error, fmt::format("{}: {}", prefix(), reason));
    };
    return KvLog::GuardFailures(
        error,
        [&] {
            const auto channel = impl.GetChannel(transport);
            if (channel == nullptr) {
                return fail(fmt::format("{} channel has not been initialized yet!", transport.word));
            }
            return body(*channel, fail, prefix);
        },
        [&](const std::string& text) { return fmt::format("{}: {}", prefix(), text); },
        [&] { return fmt::format("{} due to an unknown error!", prefix()); });
}

}  // namespace

bool FakeSharedMem::Impl::InitializeSocket(const TransportDescriptor& transport, std::string& error) {
    error.clear();
    KVLOG(KvLog::kInfo, "Initializing the FakeSharedMem {} transport socket...", transport.word);
    return SocketOperation(
        *this, transport, "initialize", error,
        [&](TransportChannel& channel, const auto& fail, const auto& prefix) {
            std::scoped_lock locks(channel.socketLock, channel.urlLock);
            if (channel.socketOpen) {
                return fail("Already Initialized; initialization aborted!");
            }
            if (!IsEnabled(transport)) {
                return fail(fmt::format("configured with {} disabled!", transport.word));
            }
            if (nng_pair0_open(&channel.socket) != 0) {
                return fail("NNG pair0 socket open failed!");
            }
            bool opened = false;
            // Every later failure but the peer-type one closes the socket again.
            const auto closeUnlessOpened = [&](bool*) {
                if (!opened) {
                    nng_close(channel.socket);
                }
            };
            std::unique_ptr<bool, decltype(closeUnlessOpened)> closer(&opened, closeUnlessOpened);

            const Tuning tuningNow = GetTuning();
            if (!tuningNow.SocketReceiveNonBlocking &&
                nng_socket_set_ms(channel.socket, NNG_OPT_RECVTIMEO,
                                  ClampSocketWait(tuningNow.SocketReceiveTimeout)) != 0) {
                return fail("Failed to to set the receive timeout on the NNG socket!");
            }
            if (!tuningNow.SocketSendNonBlocking &&
                nng_socket_set_ms(channel.socket, NNG_OPT_SENDTIMEO,
                                  ClampSocketWait(tuningNow.SocketSendTimeout)) != 0) {
                return fail("Failed to to set the send timeout on the NNG socket!");
            }
            if (nng_socket_set_ms(channel.socket, NNG_OPT_RECONNMINT, tuningNow.SocketReconnectTimeMin) !=
                0) {
                return fail("Failed to to set the reconnect minimum timeout on the NNG socket!");
            }
            if (nng_socket_set_ms(channel.socket, NNG_OPT_RECONNMAXT, tuningNow.SocketReconnectTimeMax) !=
                0) {
                return fail("Failed to to set the reconnect maximum timeout on the NNG socket!");
            }
            RegisterPipeCallbacks(transport, channel.socket, this);

            switch (const PeerType peer = peerType.load()) {
                case PeerType::Connect: {
                    KVLOG(KvLog::kInfo, "FakeSharedMem/Connect is binding {} {} listener on '{}'",
                          transport.article, transport.word, channel.url);
                    if (nng_listener_create(&channel.listener, channel.socket, channel.url.c_str()) != 0 ||
                        nng_listener_start(channel.listener, 0) != 0) {
                        return fail(fmt::format("Failed to start {} {} listener on '{}'!", transport.article,
                                                transport.word, channel.url));
                    }
                    break;
                }
                case PeerType::Core: {
                    KVLOG(KvLog::kInfo, "FakeSharedMem/Core is dialing the {} endpoint on '{}'",
                          transport.word, channel.peerUrl);
                    const std::string dialFailure = fmt::format("Failed to dial the {} endpoint on '{}'!",
                                                                transport.word, channel.peerUrl);
                    int rc = nng_dialer_create(&channel.dialer, channel.socket, channel.peerUrl.c_str());
                    if (rc == 0) {
                        rc = nng_dialer_start(channel.dialer, 0);
                    }
                    if (NobodyListens(rc)) {
                        // A refused first attempt is not the end: NNG redials in the background with the
                        // configured back-off once the dialer is started without waiting. A failed dialer
                        // never retries, so a fresh one takes its place.
                        KVLOG(KvLog::kWarning, "{}: {}", prefix(), dialFailure);
                        nng_dialer_close(channel.dialer);
                        rc = nng_dialer_create(&channel.dialer, channel.socket, channel.peerUrl.c_str());
                        if (rc == 0) {
                            rc = nng_dialer_start(channel.dialer, NNG_FLAG_NONBLOCK);
                        }
                    }
                    if (rc != 0) {
                        return fail(fmt::format("{}", dialFailure));
                    }
                    break;
                }
                default:
                    opened = true;  // this path leaves the socket open
                    error = fmt::format("{}: Invalid peer type '{}'!", prefix(), PeerTypeName(peer));
                    KVLOG(KvLog::kFatal, "{}", error);
                    return false;
            }
            opened = true;
            channel.socketOpen = true;
            KVLOG(KvLog::kInfo, "The FakeSharedMem {} transport socket has been initialized successfully!",
                  transport.word);
            return true;
        });
}

bool FakeSharedMem::Impl::TerminateSocket(const TransportDescriptor& transport, std::string& error) {
    error.clear();
    KVLOG(KvLog::kInfo, "Terminating the FakeSharedMem {} transport socket...", transport.word);
    return SocketOperation(
        *this, transport, "terminate", error, [&](TransportChannel& channel, const auto& fail, const auto&) {
            // A worker inside a receive holds this lock: the close waits for that receive to return.
            const auto lock = LockSocketInTurn(channel);
            if (!channel.socketOpen) {
                return fail("Not initialized yet; termination aborted!");
            }
            if (peerType.load() == PeerType::Core) {
                LetADialUnderWayEnd(channel, GetTuning().SocketReconnectTimeMax);
            }
            CancelParkedReceive(channel);
            // Unregistered first, so that `connected` keeps its last value.
            nng_pipe_notify(channel.socket, NNG_PIPE_EV_ADD_POST, nullptr, nullptr);
            nng_pipe_notify(channel.socket, NNG_PIPE_EV_REM_POST, nullptr, nullptr);
            if (CloseSocketBounded(channel.socket, transport.word) != 0) {
                return fail("Failed to close the NNG socket!");
            }
            channel.socketOpen = false;
            channel.waiter.reset();  // no operation is in flight: each ends before socketLock is released
            KVLOG(KvLog::kInfo, "The FakeSharedMem {} transport socket has been terminated successfully!",
                  transport.word);
            return true;
        });
}

bool FakeSharedMem::Impl::InitializeIpcSocket(std::string& error) {
    return InitializeSocket(kIpcTransport, error);
}
bool FakeSharedMem::Impl::InitializeTcpSocket(std::string& error) {
    return InitializeSocket(kTcpTransport, error);
}
bool FakeSharedMem::Impl::TerminateIpcSocket(std::string& error) {
    return TerminateSocket(kIpcTransport, error);
}
bool FakeSharedMem::Impl::TerminateTcpSocket(std::string& error) {
    return TerminateSocket(kTcpTransport, error);
}

}  // namespace KvFakeShm
