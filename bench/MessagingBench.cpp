// Message handling and channel reads, each beside a baseline measured in the same run: the bare
// verifier pass over the same body, and a plain map lookup and copy.
#include <benchmark/benchmark.h>
#include <nng/nng.h>

#include <cstring>

#include "bench/RatioReporter.hpp"
#include "kvfakeshm/FakeSharedMemImpl.hpp"
#include "kvfakeshm/MessageWire.hpp"
#include "kvlog/Logging.hpp"
#include "tests/support/TestPeer.hpp"

namespace {

using BenchPeer = KvTest::IpcCorePeer;

std::vector<std::uint8_t> Body(std::size_t payloadSize) {
    FakeShm::MessageT message;
    message.version = 1;
    message.timestamp = static_cast<std::uint64_t>(KvFakeShm::SteadyNowNs());
    message.source = FakeShm::SourceType_Connect;
    if (payloadSize == 0) {
        FakeShm::HeartbeatT heartbeat;
        heartbeat.version = 1;
        message.payload.Set(heartbeat);
    } else {
        FakeShm::SharedMemT value;
        value.version = 1;
        value.block = "TestBlock";
        value.address = "TestAddress";
        value.data.assign(payloadSize, 'x');
        message.payload.Set(value);
    }
    flatbuffers::FlatBufferBuilder builder(KvFakeShm::kBuilderInitialSize);
    KvFakeShm::BuildMessage(message, builder);
    return {builder.GetBufferPointer(), builder.GetBufferPointer() + builder.GetSize()};
}

// Arg: payload bytes, 0 for a heartbeat.
void BM_HandleIpcMessage(benchmark::State& state) {
    KvLog::SetConsoleVerbosity(KvLog::kWarning);
    BenchPeer peer;
    const auto body = Body(static_cast<std::size_t>(state.range(0)));
    nng_msg* message = nullptr;
    nng_msg_alloc(&message, body.size());
    std::memcpy(nng_msg_body(message), body.data(), body.size());
    std::string error;
    for (auto _ : state) {
        if (!peer.peer.GetImpl().HandleIpcMessage(message, error)) {
            state.SkipWithError(error.c_str());
            break;
        }
    }
    nng_msg_free(message);
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(body.size()));
}
BENCHMARK(BM_HandleIpcMessage)->Arg(0)->Arg(16)->Arg(64 * 1024);

void BM_Baseline_VerifyOnly(benchmark::State& state) {
    const auto body = Body(static_cast<std::size_t>(state.range(0)));
    std::vector<std::uint64_t> aligned((body.size() + 7) / 8);
    std::memcpy(aligned.data(), body.data(), body.size());
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            KvFakeShm::CheckMessageBody(reinterpret_cast<const std::uint8_t*>(aligned.data()), body.size()));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Baseline_VerifyOnly)->Arg(0)->Arg(16)->Arg(64 * 1024);

void BM_ReadFromIpc(benchmark::State& state) {
    BenchPeer peer;
    peer.channel->blockStore["TestBlock"]["TestAddress"] = std::string(16, 'x');
    std::string data, error;
    for (auto _ : state) {
        benchmark::DoNotOptimize(peer.peer.ReadFrom_Ipc("TestBlock", "TestAddress", data, error));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ReadFromIpc);

void BM_Baseline_MapLookupCopy(benchmark::State& state) {
    KvFakeShm::BlockStore store;
    store["TestBlock"]["TestAddress"] = std::string(16, 'x');
    const std::string block = "TestBlock", address = "TestAddress";
    std::string data;
    for (auto _ : state) {
        data.assign(store.find(block)->second.find(address)->second);
        benchmark::DoNotOptimize(data.data());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Baseline_MapLookupCopy);

}  // namespace

int main(int argc, char** argv) {
    return KvBench::RunWithRatios(argc, argv,
                                  {{"BM_HandleIpcMessage/0", "BM_Baseline_VerifyOnly/0"},
                                   {"BM_HandleIpcMessage/16", "BM_Baseline_VerifyOnly/16"},
                                   {"BM_HandleIpcMessage/65536", "BM_Baseline_VerifyOnly/65536"},
                                   {"BM_ReadFromIpc", "BM_Baseline_MapLookupCopy"}});
}
