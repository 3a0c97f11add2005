#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

namespace KvConnectPeer {

// Plays the Connect peer's side of the legacy transport: owns the heartbeat segment with both heartbeat
// objects and one data segment with one object, refreshes its own heartbeat, and removes both at the end.
class SegmentHost {
  public:
    explicit SegmentHost(std::string dataBlock = "TestBlock", std::string dataAddress = "TestAddress");
    ~SegmentHost();
    SegmentHost(const SegmentHost&) = delete;
    SegmentHost& operator=(const SegmentHost&) = delete;

    // Writes any text as the Connect heartbeat value ("abc", a future time...).
    void SetConnectHeartbeat(const std::string& value);
    std::string CoreHeartbeat() const;
    void SetValue(const std::string& value);
    std::string Value() const;

    // Writes the steady clock into the Connect heartbeat every period, on a thread of its own.
    void StartRefreshing(std::chrono::milliseconds period);
    void StopRefreshing();

    static void RemoveSegments(const std::string& dataBlock);

  private:
    struct Segments;
    std::unique_ptr<Segments> segments_;
    std::string dataBlock_;
    std::string dataAddress_;
    std::atomic<bool> refreshing_{false};
    std::thread refresher_;
};

}  // namespace KvConnectPeer
