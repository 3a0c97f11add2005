#include "connectpeer/ConnectShm.hpp"

#include "kvcommon/StringUtils.hpp"
#include "kvcoreshm/SharedMem.hpp"
#include "kvfakeshm/FakeSharedMemImpl.hpp"
#include "kvfakeshm/KvCoreShm.hpp"
#include "kvlog/Failure.hpp"

namespace KvConnectPeer {

using KvLog::FailWith;

ConnectShm::ConnectShm() = default;
ConnectShm::~ConnectShm() = default;

void ConnectShm::SetPublished(std::string block, std::string address) {
    block_ = std::move(block);
    address_ = std::move(address);
}

void ConnectShm::PublishToSegment(const std::string& value) {
    std::lock_guard lock(hostLock_);
    if (host_ != nullptr) {
        host_->SetValue(value);
    }
}

bool ConnectShm::InitializeSharedMem(std::string& error) {
    error.clear();
    try {
        std::lock_guard lock(hostLock_);
        // Segments left by a killed run are removed and created afresh.
        host_ = std::make_unique<SegmentHost>(block_, address_);
        return true;
    } catch (const std::exception& e) {
        return FailWith(error, fmt::format("Failed to create the Connect peer's segments: {}", e.what()));
    }
}

bool ConnectShm::TerminateSharedMem(std::string& error) {
    error.clear();
    std::lock_guard lock(hostLock_);
    host_.reset();
    return true;
}

bool ConnectShm::ReadPeerSharedMemHeartbeat(std::uint64_t& timestamp, std::string& error) {
    std::string data;
    if (!KvCoreShm::SharedMem::ReadFrom(KvFakeShm::HeartbeatBlock(), KvFakeShm::CoreHeartbeatAddress(), data,
                                        error)) {
        return false;
    }
    GetImpl().RecordSharedMemRead(KvFakeShm::HeartbeatBlock().size() + data.size() +
                                  KvFakeShm::CoreHeartbeatAddress().size());
    timestamp = KvCommon::ToUint64(data);
    return true;
}

bool ConnectShm::WriteSharedMemHeartbeat(std::uint64_t timestamp, std::string& error) {
    const std::string text = fmt::format("{}", timestamp);
    if (!KvCoreShm::SharedMem::WriteTo(KvFakeShm::HeartbeatBlock(), KvFakeShm::ConnectHeartbeatAddress(),
                                       text, error)) {
        return false;
    }
    GetImpl().RecordSharedMemWrite(KvFakeShm::HeartbeatBlock().size() + text.size() +
                                   KvFakeShm::ConnectHeartbeatAddress().size());
    return true;
}

}  // namespace KvConnectPeer
