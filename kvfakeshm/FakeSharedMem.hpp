#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "kvfakeshm/PeerType.hpp"
#include "kvfakeshm/Tuning.hpp"

namespace KvFakeShm {

enum TransportKind : std::uint8_t { kTransportTcp = 1, kTransportIpc = 2, kTransportSharedMem = 4 };

// The process's side of the fake shared memory. The legacy shared-memory hooks belong to the peer's
// subclass; the process-wide instance is the Core peer's.
class FakeSharedMem {
  public:
    static FakeSharedMem& GetInstance();

    virtual ~FakeSharedMem();
    FakeSharedMem(const FakeSharedMem&) = delete;
    FakeSharedMem& operator=(const FakeSharedMem&) = delete;

    virtual bool InitializeSharedMem(std::string& error) = 0;
    virtual bool TerminateSharedMem(std::string& error) = 0;
    virtual bool ReadPeerSharedMemHeartbeat(std::uint64_t& timestamp, std::string& error) = 0;
    virtual bool WriteSharedMemHeartbeat(std::uint64_t timestamp, std::string& error) = 0;

    // Brings the fake shared memory up as the Core peer (whatever `peer` says): the transport file's
    // transports, URLs and tuning when it exists, else the SharedMem transport when asked for; then the
    // file watchers and one worker per transport.
    bool Initialize(PeerType peer, std::uint8_t transports, std::string& error);
    // The start-up of a program that plays the Connect peer: its channels with their own URLs, the
    // tuning and transport files written, then the watchers and the listening workers.
    bool InitializeConnect(std::uint8_t transports, std::string& error);
    // Stops the watchers and workers and removes every channel; the Connect peer erases its file.
    bool Terminate(std::string& error);

    bool IsInitialized() const;
    bool IsTcpEnabled() const;
    bool IsIpcEnabled() const;
    bool IsSharedMemEnabled() const;

    // A consistent copy of the live tuning: a reload may replace the record at any time.
    Tuning GetTuning() const;

    bool IsTcpPeerAlive() const;
    bool IsIpcPeerAlive() const;
    bool IsSharedMemPeerAlive() const;

    std::chrono::nanoseconds GetTcpLatency() const;
    std::chrono::nanoseconds GetIpcLatency() const;
    std::chrono::nanoseconds GetSharedMemLatency() const;
    std::chrono::nanoseconds GetTcpSmoothedLatency() const;
    std::chrono::nanoseconds GetIpcSmoothedLatency() const;
    std::chrono::nanoseconds GetSharedMemSmoothedLatency() const;

    std::uint64_t GetTcpReadRate() const;
    std::uint64_t GetIpcReadRate() const;
    std::uint64_t GetSharedMemReadRate() const;
    std::uint64_t GetTcpReadRateWithMeta() const;
    std::uint64_t GetIpcReadRateWithMeta() const;
    std::uint64_t GetTcpWriteRate() const;
    std::uint64_t GetIpcWriteRate() const;
    std::uint64_t GetSharedMemWriteRate() const;
    std::uint64_t GetTcpWriteRateWithMeta() const;
    std::uint64_t GetIpcWriteRateWithMeta() const;

    // The latest value the peer published at block and address; false with a message naming what is
    // missing. A transport that is not enabled returns false and leaves both strings untouched.
    bool ReadFrom_Tcp(const std::string& block, const std::string& address, std::string& data,
                      std::string& error);
    bool ReadFrom_Ipc(const std::string& block, const std::string& address, std::string& data,
                      std::string& error);
    bool ReadFrom_SharedMem(const std::string& block, const std::string& address, std::string& data,
                            std::string& error);

    struct Impl;
    Impl& GetImpl() { return *impl; }
    const Impl& GetImpl() const { return *impl; }

  protected:
    FakeSharedMem();

  private:
    std::unique_ptr<Impl> impl;
};

}  // namespace KvFakeShm
