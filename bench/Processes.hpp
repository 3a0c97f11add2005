#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace KvBench {

// A program run beside the harness, its output in a file; killed and reaped at destruction. Started
// with posix_spawn: NNG is not fork-safe, and the harness links it.
class Child {
  public:
    Child(const std::vector<std::string>& argv, const std::string& outputPath);
    virtual ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t Pid() const { return pid_; }
    std::string Output() const;
    bool WaitForLine(const std::string& line, std::chrono::milliseconds deadline) const;
    void Signal(int signal) const;
    // The exit status, or -1 when the deadline passed (the child is then killed).
    int Wait(std::chrono::milliseconds deadline);

  protected:
    Child() = default;
    pid_t pid_ = -1;
    std::string outputPath_;
    bool reaped_ = false;
};

// A program on a pseudo-terminal of the given size, as in a user's terminal; its output is drained and
// dropped, and `Type` sends keys.
class TerminalChild : public Child {
  public:
    TerminalChild(const std::vector<std::string>& argv, unsigned short columns, unsigned short rows);
    ~TerminalChild() override;
    void Type(const std::string& keys) const;

  private:
    int master_ = -1;
    std::atomic<bool> draining_{true};
    std::thread drain_;
};

// CPU time per thread, from /proc/<pid>/task/*/schedstat (nanoseconds on a CPU), by thread id.
struct ThreadTime {
    std::string name;
    std::uint64_t ns = 0;
};
std::map<pid_t, ThreadTime> ReadThreadTimes(pid_t pid);

// CPU use between two readings, in percent of one core: per thread name (threads of one name summed)
// and the whole process.
struct CpuUse {
    double total = 0;
    std::map<std::string, double> byThread;
};
CpuUse CpuBetween(const std::map<pid_t, ThreadTime>& before, const std::map<pid_t, ThreadTime>& after,
                  std::chrono::nanoseconds elapsed);
// Samples a process over a span.
CpuUse MeasureCpu(pid_t pid, std::chrono::milliseconds span);

std::uint64_t ResidentKib(pid_t pid);
std::size_t ThreadCount(pid_t pid);
std::size_t OpenDescriptors(pid_t pid);

// A loopback TCP port free at the time of asking.
int FreeTcpPort();

}  // namespace KvBench
