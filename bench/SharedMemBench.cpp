// ReadFrom_SharedMem of a 16-byte value beside a bare Boost.Interprocess open + find + copy + close of
// the same value, measured in the same run. Run it alone: it owns the machine-wide segment names.
#include <benchmark/benchmark.h>

#include <boost/interprocess/managed_shared_memory.hpp>

#include "bench/RatioReporter.hpp"
#include "connectpeer/SegmentHost.hpp"
#include "kvcoreshm/SharedMem.hpp"
#include "kvfakeshm/FakeSharedMemImpl.hpp"
#include "kvfakeshm/KvCoreShm.hpp"

namespace {

KvConnectPeer::SegmentHost& Host() {
    static KvConnectPeer::SegmentHost host;
    static const bool filled = (host.SetValue("0123456789abcdef"), true);
    (void)filled;
    return host;
}

void BM_Baseline_BoostOpenFindCopyClose(benchmark::State& state) {
    Host();
    namespace bip = boost::interprocess;
    std::string data;
    for (auto _ : state) {
        bip::managed_shared_memory segment(bip::open_read_only, "TestBlock");
        const auto* value = segment.find<KvCoreShm::ShmString>("TestAddress").first;
        data.assign(value->data(), value->size());
        benchmark::DoNotOptimize(data.data());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Baseline_BoostOpenFindCopyClose);

void BM_ReadFromSharedMem(benchmark::State& state) {
    Host();
    KvFakeShm::KvCoreShm core;
    core.GetImpl().peerType = KvFakeShm::PeerType::Core;
    core.GetImpl().transports = KvFakeShm::kTransportSharedMem;
    core.GetImpl().SetChannel(KvFakeShm::kSharedMemTransport,
                              std::make_shared<KvFakeShm::TransportChannel>());
    std::string data, error;
    for (auto _ : state) {
        if (!core.ReadFrom_SharedMem("TestBlock", "TestAddress", data, error)) {
            state.SkipWithError(error.c_str());
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ReadFromSharedMem);

}  // namespace

int main(int argc, char** argv) {
    return KvBench::RunWithRatios(argc, argv,
                                  {{"BM_ReadFromSharedMem", "BM_Baseline_BoostOpenFindCopyClose"}});
}
