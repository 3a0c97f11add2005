// The baseline of the link benchmarks: a bare NNG pair0 link between two processes, with none of the
// library around it. The sender listens (as the Connect peer does) and stamps each message with the
// steady clock; the receiver dials and records receipt minus stamp for every message.
//
//   kvbare_pair send URL[,URL...] SIZE RATE SECONDS      RATE 0: as fast as blocking sends allow
//   kvbare_pair recv URL[,URL...] block|poll PREFIX      writes PREFIX.<n>.txt, one latency (ns) per line
#include <nng/nng.h>
#include <nng/protocol/pair0/pair.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/LinkSamples.hpp"

namespace {

constexpr std::size_t kStampSize = 8;
constexpr std::size_t kEndMarkSize = 1;  // a one-byte message ends the receiver's run

std::vector<std::string> SplitUrls(const std::string& list) {
    std::vector<std::string> urls;
    std::size_t at = 0;
    while (at <= list.size()) {
        const auto comma = list.find(',', at);
        urls.push_back(list.substr(at, comma == std::string::npos ? std::string::npos : comma - at));
        if (comma == std::string::npos) {
            break;
        }
        at = comma + 1;
    }
    return urls;
}

void OnPipeAdded(nng_pipe, nng_pipe_ev, void* flag) {
    static_cast<std::atomic<bool>*>(flag)->store(true);
}

int Send(const std::vector<std::string>& urls, std::size_t size, double rate, double seconds) {
    size = std::max(size, kStampSize + 1);
    std::vector<nng_socket> sockets(urls.size());
    std::vector<std::atomic<bool>> attached(urls.size());
    for (std::size_t i = 0; i < urls.size(); ++i) {
        nng_pair0_open(&sockets[i]);
        nng_pipe_notify(sockets[i], NNG_PIPE_EV_ADD_POST, OnPipeAdded, &attached[i]);
        if (const int rc = nng_listen(sockets[i], urls[i].c_str(), nullptr, 0); rc != 0) {
            std::fprintf(stderr, "listen %s: %s\n", urls[i].c_str(), nng_strerror(rc));
            return 1;
        }
    }
    std::printf("ready\n");
    std::fflush(stdout);
    const auto waitUntil = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (auto& flag : attached) {
        while (!flag.load() && std::chrono::steady_clock::now() < waitUntil) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // as the Core's warm-up
    const auto period = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(rate > 0 ? 1.0 / rate : 0));
    const auto started = std::chrono::steady_clock::now();
    const auto until = started + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                     std::chrono::duration<double>(seconds));
    std::uint64_t sent = 0;
    for (auto next = started; std::chrono::steady_clock::now() < until;) {
        for (auto socket : sockets) {
            nng_msg* message = nullptr;
            nng_msg_alloc(&message, size);
            auto* body = static_cast<std::uint8_t*>(nng_msg_body(message));
            std::memset(body, 'x', size);
            const std::uint64_t stamp = KvBench::SteadyNs();
            std::memcpy(body, &stamp, kStampSize);
            if (nng_sendmsg(socket, message, 0) != 0) {
                nng_msg_free(message);
            } else {
                ++sent;
            }
        }
        if (rate > 0) {
            next += period;
            std::this_thread::sleep_until(next);
        }
    }
    for (auto socket : sockets) {
        nng_msg* message = nullptr;
        nng_msg_alloc(&message, kEndMarkSize);
        if (nng_sendmsg(socket, message, 0) != 0) {
            nng_msg_free(message);
        }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // lets the end marks leave
    for (auto socket : sockets) {
        nng_close(socket);
    }
    std::printf("sent %llu\n", static_cast<unsigned long long>(sent));
    return 0;
}

struct Received {
    std::vector<std::uint64_t> latencies;
    std::uint64_t first = 0;
    std::uint64_t last = 0;
};

void Receive(nng_socket socket, bool poll, Received& received) {
    for (;;) {
        nng_msg* message = nullptr;
        const int rc = nng_recvmsg(socket, &message, poll ? NNG_FLAG_NONBLOCK : 0);
        if (rc == NNG_EAGAIN) {
            continue;
        }
        if (rc != 0) {
            return;
        }
        const std::uint64_t now = KvBench::SteadyNs();
        const std::size_t length = nng_msg_len(message);
        if (length >= kStampSize) {
            std::uint64_t stamp = 0;
            std::memcpy(&stamp, nng_msg_body(message), kStampSize);
            if (received.latencies.empty()) {
                received.first = now;
            }
            received.last = now;
            received.latencies.push_back(now > stamp ? now - stamp : 0);
        }
        nng_msg_free(message);
        if (length == kEndMarkSize) {
            return;
        }
    }
}

int Recv(const std::vector<std::string>& urls, bool poll, const std::string& prefix) {
    std::vector<nng_socket> sockets(urls.size());
    std::vector<Received> received(urls.size());
    for (std::size_t i = 0; i < urls.size(); ++i) {
        nng_pair0_open(&sockets[i]);
        nng_socket_set_ms(sockets[i], NNG_OPT_RECONNMINT, 1);
        nng_socket_set_ms(sockets[i], NNG_OPT_RECONNMAXT, 10);
        nng_dial(sockets[i], urls[i].c_str(), nullptr, NNG_FLAG_NONBLOCK);
        received[i].latencies.reserve(1 << 20);
    }
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < urls.size(); ++i) {
        threads.emplace_back([&, i] { Receive(sockets[i], poll, received[i]); });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    for (std::size_t i = 0; i < urls.size(); ++i) {
        nng_close(sockets[i]);
        KvBench::WriteSamples(prefix + "." + std::to_string(i) + ".txt", received[i].latencies);
        std::printf("%zu count=%zu span_ns=%llu\n", i, received[i].latencies.size(),
                    static_cast<unsigned long long>(received[i].last - received[i].first));
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "send" && argc == 6) {
        return Send(SplitUrls(argv[2]), std::stoul(argv[3]), std::stod(argv[4]), std::stod(argv[5]));
    }
    if (mode == "recv" && argc == 5) {
        return Recv(SplitUrls(argv[2]), std::string(argv[3]) == "poll", argv[4]);
    }
    std::fprintf(stderr, "usage: kvbare_pair send URLS SIZE RATE SECONDS | recv URLS block|poll PREFIX\n");
    return 64;
}
