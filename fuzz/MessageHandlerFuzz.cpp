// Feeds arbitrary bodies to the message handler of a Core peer's IPC channel.
#include <nng/nng.h>

#include <cstring>

#include "kvfakeshm/FakeSharedMemImpl.hpp"
#include "kvlog/Logging.hpp"
#include "tests/support/TestPeer.hpp"

namespace {

using FuzzPeer = KvTest::IpcCorePeer;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    KvLog::SetConsoleVerbosity(KvLog::kOff);  // every rejection logs an ERROR line
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static FuzzPeer peer;
    nng_msg* message = nullptr;
    if (nng_msg_alloc(&message, size) != 0) {
        return 0;
    }
    if (size > 0) {
        std::memcpy(nng_msg_body(message), data, size);
    }
    std::string error;
    const bool accepted = peer.peer.GetImpl().HandleIpcMessage(message, error);
    nng_msg_free(message);
    if (accepted) {
        std::string value;
        peer.peer.ReadFrom_Ipc("TestBlock", "TestAddress", value, error);
    }
    peer.channel->ResetConnection();  // keeps the store from growing across inputs
    return 0;
}
