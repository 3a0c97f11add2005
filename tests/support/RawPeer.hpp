#pragma once

#include <nng/nng.h>
#include <nng/protocol/pair0/pair.h>

#include <arpa/inet.h>
#include <unistd.h>

#include <atomic>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "kvfakeshm/BoundedClose.hpp"
#include "tests/support/MessageFactory.hpp"
#include "tests/support/TestSupport.hpp"

namespace KvTest {

// The Connect side reduced to a bare NNG pair0 socket that speaks the wire format.
class RawPeer {
  public:
    explicit RawPeer(std::string url) : url_(std::move(url)) {}
    ~RawPeer() { Close(); }
    RawPeer(const RawPeer&) = delete;
    RawPeer& operator=(const RawPeer&) = delete;

    bool Listen() {
        if (nng_pair0_open(&socket_) != 0)
            return false;
        open_ = true;
        nng_socket_set_ms(socket_, NNG_OPT_RECVTIMEO, 200);
        nng_socket_set_ms(socket_, NNG_OPT_SENDTIMEO, 2000);
        if (nng_listen(socket_, url_.c_str(), nullptr, 0) != 0) {
            Close();
            return false;
        }
        return true;
    }
    // A name just released by a closed listener can take NNG a moment to free.
    bool ListenSoon() {
        return WaitFor([this] { return Listen(); }, std::chrono::seconds(5));
    }
    // The packaged NNG's close can deadlock on messages that wait unread, and on a receive in progress
    // on another thread (upstream issues 1543 and 1813): the drainer polls without ever blocking, and
    // the close comes right after its last pass has emptied the queue.
    void Close() {
        StopDraining();
        if (open_) {
            DrainOnce();
            KvFakeShm::CloseSocketBounded(socket_, "test peer");
        }
        open_ = false;
    }
    // Reads and drops whatever arrives, as a real peer does: NNG keeps a connection's descriptor open
    // for as long as a message on it waits for a reader.
    void StartDraining() {
        draining_ = true;
        drainer_ = std::thread([this] {
            while (draining_) {
                DrainOnce();
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        });
    }
    void StopDraining() {
        draining_ = false;
        if (drainer_.joinable())
            drainer_.join();
    }
    bool Send(const FakeShm::MessageT& message) {
        const auto body = Pack(message);
        return nng_send(socket_, const_cast<std::uint8_t*>(body.data()), body.size(), 0) == 0;
    }
    // The next message's body, or nothing after the receive time-out.
    std::optional<std::vector<std::uint8_t>> Receive() {
        nng_msg* message = nullptr;
        if (nng_recvmsg(socket_, &message, 0) != 0)
            return std::nullopt;
        const auto* data = static_cast<const std::uint8_t*>(nng_msg_body(message));
        std::vector<std::uint8_t> body(data, data + nng_msg_len(message));
        nng_msg_free(message);
        return body;
    }
    const std::string& Url() const { return url_; }

  private:
    void DrainOnce() {
        nng_msg* message = nullptr;
        while (nng_recvmsg(socket_, &message, NNG_FLAG_NONBLOCK) == 0)
            nng_msg_free(message);
    }

    std::atomic<bool> draining_{false};
    std::thread drainer_;
    std::string url_;
    nng_socket socket_ = NNG_SOCKET_INITIALIZER;
    bool open_ = false;
};

// A loopback URL with a port that was free a moment ago.
inline std::string FreeTcpUrl() {
    nng_socket s;
    nng_listener l;
    nng_pair0_open(&s);
    nng_listen(s, "tcp://127.0.0.1:0", &l, 0);
    nng_sockaddr address{};
    nng_listener_get_addr(l, NNG_OPT_LOCADDR, &address);
    nng_close(s);
    return "tcp://127.0.0.1:" + std::to_string(ntohs(address.s_in.sa_port));
}

// An abstract-namespace endpoint of this test alone: no file, no clash with other tests or a real peer.
inline std::string PrivateIpcUrl() {
    static std::atomic<int> counter{0};
    return "abstract://kvtest-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
}

}  // namespace KvTest
