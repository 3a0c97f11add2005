#include "connectpeer/SegmentHost.hpp"

#include <boost/interprocess/shared_memory_object.hpp>

#include "kvcoreshm/SharedMem.hpp"

namespace KvConnectPeer {
namespace bip = boost::interprocess;
using KvCoreShm::ShmString;

namespace {

constexpr const char* kHeartbeatBlock = "KvFakeShmHeartbeat";
constexpr const char* kConnectHeartbeat = "ConnectHeartbeatTimestamp";
constexpr const char* kCoreHeartbeat = "CoreHeartbeatTimestamp";
constexpr std::size_t kHeartbeatSegmentSize = 64 * 1024;
constexpr std::size_t kDataSegmentSize = 1024 * 1024;  // room for a 64 KiB value and its reallocations

ShmString* MakeString(bip::managed_shared_memory& segment, const char* name) {
    return segment.construct<ShmString>(name)(segment.get_segment_manager());
}

std::uint64_t SteadyNowNs() {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count());
}

}  // namespace

struct SegmentHost::Segments {
    bip::managed_shared_memory heartbeat;
    bip::managed_shared_memory data;
    ShmString* connectHeartbeat = nullptr;
    ShmString* coreHeartbeat = nullptr;
    ShmString* value = nullptr;
};

void SegmentHost::RemoveSegments(const std::string& dataBlock) {
    bip::shared_memory_object::remove(kHeartbeatBlock);
    bip::shared_memory_object::remove(dataBlock.c_str());
}

SegmentHost::SegmentHost(std::string dataBlock, std::string dataAddress)
    : segments_(std::make_unique<Segments>()),
      dataBlock_(std::move(dataBlock)),
      dataAddress_(std::move(dataAddress)) {
    RemoveSegments(dataBlock_);  // left over by a killed run
    segments_->heartbeat =
        bip::managed_shared_memory(bip::create_only, kHeartbeatBlock, kHeartbeatSegmentSize);
    segments_->data = bip::managed_shared_memory(bip::create_only, dataBlock_.c_str(), kDataSegmentSize);
    segments_->connectHeartbeat = MakeString(segments_->heartbeat, kConnectHeartbeat);
    segments_->coreHeartbeat = MakeString(segments_->heartbeat, kCoreHeartbeat);
    segments_->value = MakeString(segments_->data, dataAddress_.c_str());
}

SegmentHost::~SegmentHost() {
    StopRefreshing();
    segments_.reset();
    RemoveSegments(dataBlock_);
}

// Writes go through the same access layer as the Core's, which opens the segment per call.
void SegmentHost::SetConnectHeartbeat(const std::string& value) {
    std::string error;
    KvCoreShm::SharedMem::WriteTo(kHeartbeatBlock, kConnectHeartbeat, value, error);
}

std::string SegmentHost::CoreHeartbeat() const {
    std::string value, error;
    KvCoreShm::SharedMem::ReadFrom(kHeartbeatBlock, kCoreHeartbeat, value, error);
    return value;
}

void SegmentHost::SetValue(const std::string& value) {
    segments_->value->assign(value.data(), value.size());
}

std::string SegmentHost::Value() const {
    return std::string(segments_->value->data(), segments_->value->size());
}

void SegmentHost::StartRefreshing(std::chrono::milliseconds period) {
    StopRefreshing();
    refreshing_ = true;
    refresher_ = std::thread([this, period] {
        auto next = std::chrono::steady_clock::now();
        while (refreshing_) {
            const std::string now = std::to_string(SteadyNowNs());
            segments_->connectHeartbeat->assign(now.data(), now.size());
            next += period;
            std::this_thread::sleep_until(next);
        }
    });
}

void SegmentHost::StopRefreshing() {
    refreshing_ = false;
    if (refresher_.joinable()) {
        refresher_.join();
    }
}

}  // namespace KvConnectPeer
