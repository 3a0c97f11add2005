#include "bench/Processes.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace KvBench {
namespace {

std::vector<char*> Pointers(const std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    for (const auto& s : strings) {
        pointers.push_back(const_cast<char*>(s.c_str()));
    }
    pointers.push_back(nullptr);
    return pointers;
}

std::string Slurp(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

Child::Child(const std::vector<std::string>& argv, const std::string& outputPath) : outputPath_(outputPath) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    auto args = Pointers(argv);
    const int rc = posix_spawn(&pid_, argv[0].c_str(), &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        throw std::runtime_error("cannot start " + argv[0]);
    }
}

Child::~Child() {
    if (pid_ > 0 && !reaped_) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

std::string Child::Output() const {
    return Slurp(outputPath_);
}

bool Child::WaitForLine(const std::string& line, std::chrono::milliseconds deadline) const {
    const auto until = std::chrono::steady_clock::now() + deadline;
    while (std::chrono::steady_clock::now() < until) {
        std::istringstream lines(Output());
        for (std::string l; std::getline(lines, l);) {
            if (l == line) {
                return true;
            }
        }
        if (reaped_ || waitpid(pid_, nullptr, WNOHANG) != 0) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

void Child::Signal(int signal) const {
    if (pid_ > 0 && !reaped_) {
        kill(pid_, signal);
    }
}

int Child::Wait(std::chrono::milliseconds deadline) {
    if (reaped_) {
        return -1;
    }
    const auto until = std::chrono::steady_clock::now() + deadline;
    int status = 0;
    while (waitpid(pid_, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() >= until) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
            reaped_ = true;
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    reaped_ = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TerminalChild::TerminalChild(const std::vector<std::string>& argv, unsigned short columns,
                             unsigned short rows) {
    winsize size{rows, columns, 0, 0};
    auto args = Pointers(argv);
    setenv("TERM", "xterm-256color", 1);  // before the fork: the child only execs
    pid_ = forkpty(&master_, nullptr, nullptr, &size);
    if (pid_ < 0) {
        throw std::runtime_error("forkpty failed");
    }
    if (pid_ == 0) {
        execv(args[0], args.data());
        _exit(127);
    }
    drain_ = std::thread([this] {
        char buffer[4096];
        while (draining_.load()) {
            pollfd entry{master_, POLLIN, 0};
            if (poll(&entry, 1, 50) > 0 && read(master_, buffer, sizeof buffer) <= 0) {
                return;
            }
        }
    });
}

TerminalChild::~TerminalChild() {
    if (pid_ > 0 && !reaped_) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        reaped_ = true;
    }
    draining_.store(false);
    drain_.join();
    close(master_);
}

void TerminalChild::Type(const std::string& keys) const {
    [[maybe_unused]] const auto written = write(master_, keys.data(), keys.size());
}

std::map<pid_t, ThreadTime> ReadThreadTimes(pid_t pid) {
    std::map<pid_t, ThreadTime> times;
    std::error_code ec;
    for (const auto& task :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
        ThreadTime time;
        std::ifstream(task.path() / "schedstat") >> time.ns;
        std::getline(std::ifstream(task.path() / "comm"), time.name);
        times[std::stoi(task.path().filename().string())] = time;
    }
    return times;
}

CpuUse CpuBetween(const std::map<pid_t, ThreadTime>& before, const std::map<pid_t, ThreadTime>& after,
                  std::chrono::nanoseconds elapsed) {
    CpuUse use;
    for (const auto& [tid, time] : after) {
        const auto earlier = before.find(tid);
        const std::uint64_t start = earlier == before.end() ? 0 : earlier->second.ns;
        const double percent =
            100.0 * static_cast<double>(time.ns - start) / static_cast<double>(elapsed.count());
        use.byThread[time.name] += percent;
        use.total += percent;
    }
    return use;
}

CpuUse MeasureCpu(pid_t pid, std::chrono::milliseconds span) {
    const auto before = ReadThreadTimes(pid);
    const auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(span);
    const auto after = ReadThreadTimes(pid);
    return CpuBetween(before, after, std::chrono::steady_clock::now() - start);
}

std::uint64_t ResidentKib(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with("VmRSS:")) {
            return std::stoull(line.substr(6));
        }
    }
    return 0;
}

std::size_t ThreadCount(pid_t pid) {
    return ReadThreadTimes(pid).size();
}

std::size_t OpenDescriptors(pid_t pid) {
    std::error_code ec;
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
        ++count;
    }
    return count;
}

int FreeTcpPort() {
    const int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address);
    getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
    close(probe);
    return ntohs(address.sin_port);
}

}  // namespace KvBench
