// Stands in for the Connect peer's legacy segments.
//   kvfakeshm-connect-peer segments        hosts the segments and refreshes the heartbeat until stdin closes
//   kvfakeshm-connect-peer rewrite SECONDS  rewrites TestBlock/TestAddress with 0..64 KiB values in a tight
//   loop
#include <boost/interprocess/managed_shared_memory.hpp>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <string>

#include "connectpeer/SegmentHost.hpp"
#include "kvcoreshm/SharedMem.hpp"

namespace {

int HostSegments() {
    KvConnectPeer::SegmentHost host;
    host.SetValue("Hello from the Connect peer");
    host.StartRefreshing(std::chrono::milliseconds(10));
    std::cout << "ready" << std::endl;
    std::string line;
    while (std::getline(std::cin, line)) {
    }
    return 0;
}

// Keeps its own mapping open, as a real peer would, so each rewrite costs no more than the assign.
int Rewrite(int seconds) {
    namespace bip = boost::interprocess;
    bip::managed_shared_memory segment(bip::open_only, "TestBlock");
    auto* value = segment.find<KvCoreShm::ShmString>("TestAddress").first;
    if (value == nullptr) {
        std::fprintf(stderr, "TestBlock/TestAddress does not exist\n");
        return 2;
    }
    std::string text(64 * 1024, '\0');
    for (std::size_t i = 0; i < text.size(); ++i)
        text[i] = static_cast<char>('a' + i % 26);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    std::size_t size = 0, rounds = 0;
    std::cout << "ready" << std::endl;
    while (std::chrono::steady_clock::now() < until) {
        value->assign(text.data(), size);
        size = (size * 7 + 4099) % (text.size() + 1);  // wanders over 0..64 KiB, shrinking and growing
        ++rounds;
    }
    std::cout << "rewrites " << rounds << std::endl;
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "segments";
    if (mode == "segments") {
        return HostSegments();
    }
    if (mode == "rewrite" && argc > 2) {
        return Rewrite(std::stoi(argv[2]));
    }
    std::fprintf(stderr, "usage: %s segments | rewrite SECONDS\n", argv[0]);
    return 64;
}
