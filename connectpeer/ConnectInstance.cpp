#include "connectpeer/ConnectShm.hpp"

// This program's process-wide instance is the Connect peer.
KvFakeShm::FakeSharedMem& KvFakeShm::FakeSharedMem::GetInstance() {
    static KvConnectPeer::ConnectShm instance;
    return instance;
}
