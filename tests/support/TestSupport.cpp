#include <gtest/gtest.h>

#include "tests/support/TestSupport.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace KvTest {

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "kvtest-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

ScopedEnv::ScopedEnv(std::string name, const char* value) : name_(std::move(name)) {
    if (const char* old = std::getenv(name_.c_str()); old != nullptr) {
        hadValue_ = true;
        previous_ = old;
    }
    if (value != nullptr) {
        setenv(name_.c_str(), value, 1);
    } else {
        unsetenv(name_.c_str());
    }
}

ScopedEnv::~ScopedEnv() {
    if (hadValue_) {
        setenv(name_.c_str(), previous_.c_str(), 1);
    } else {
        unsetenv(name_.c_str());
    }
}

ProcessResult RunProcess(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv,
                         const std::string& input, std::chrono::milliseconds deadline) {
    std::array<int, 2> in{}, out{}, err{};
    if (pipe2(in.data(), O_CLOEXEC) != 0 || pipe2(out.data(), O_CLOEXEC) != 0 ||
        pipe2(err.data(), O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);

    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        env.emplace_back(*e);
    }
    for (const auto& extra : extraEnv) {
        const auto name = extra.substr(0, extra.find('=') + 1);
        std::erase_if(env, [&](const std::string& e) { return e.starts_with(name); });
        env.push_back(extra);
    }
    std::vector<char*> argvPtrs, envPtrs;
    for (const auto& a : argv)
        argvPtrs.push_back(const_cast<char*>(a.c_str()));
    argvPtrs.push_back(nullptr);
    for (const auto& e : env)
        envPtrs.push_back(const_cast<char*>(e.c_str()));
    envPtrs.push_back(nullptr);

    pid_t pid = 0;
    const int rc = posix_spawn(&pid, argv[0].c_str(), &actions, nullptr, argvPtrs.data(), envPtrs.data());
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    close(err[1]);
    if (rc != 0) {
        close(in[1]);
        close(out[0]);
        close(err[0]);
        throw std::runtime_error("posix_spawn failed");
    }
    signal(SIGPIPE, SIG_IGN);
    if (!input.empty()) {
        [[maybe_unused]] auto written = write(in[1], input.data(), input.size());
    }
    close(in[1]);

    ProcessResult result;
    const auto until = std::chrono::steady_clock::now() + deadline;
    std::array<pollfd, 2> fds{pollfd{out[0], POLLIN, 0}, pollfd{err[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open = 2;
    while (open > 0) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            result.timedOut = true;
            kill(pid, SIGKILL);
            break;
        }
        if (poll(fds.data(), fds.size(), static_cast<int>(left.count())) <= 0) {
            continue;
        }
        for (std::size_t i = 0; i < fds.size(); ++i) {
            if (fds[i].fd >= 0 && (fds[i].revents & (POLLIN | POLLHUP)) != 0) {
                char buffer[4096];
                const auto n = read(fds[i].fd, buffer, sizeof buffer);
                if (n <= 0) {
                    close(fds[i].fd);
                    fds[i].fd = -1;
                    --open;
                } else {
                    sinks[i]->append(buffer, static_cast<std::size_t>(n));
                }
            }
        }
    }
    for (auto& fd : fds) {
        if (fd.fd >= 0)
            close(fd.fd);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status)) {
        result.exitCode = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.signal = WTERMSIG(status);
    }
    return result;
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, argv[0].c_str(), &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    if (rc != 0) {
        close(in[1]);
        close(out[0]);
        throw std::runtime_error("posix_spawn failed: " + argv[0]);
    }
    signal(SIGPIPE, SIG_IGN);
    pid_ = pid;
    stdinFd_ = in[1];
    stdoutFd_ = out[0];
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (stdinFd_ >= 0)
        close(stdinFd_);
    if (stdoutFd_ >= 0)
        close(stdoutFd_);
}

bool ChildProcess::WaitForLine(const std::string& line, std::chrono::milliseconds deadline) {
    const auto until = std::chrono::steady_clock::now() + deadline;
    for (;;) {
        for (auto end = output_.find('\n', scanned_); end != std::string::npos;
             end = output_.find('\n', scanned_)) {
            const bool match =
                output_.compare(scanned_, end - scanned_, line) == 0 && end - scanned_ == line.size();
            scanned_ = end + 1;
            if (match)
                return true;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        pollfd fd{stdoutFd_, POLLIN, 0};
        if (poll(&fd, 1, static_cast<int>(left.count())) <= 0)
            continue;
        char buffer[4096];
        const auto n = read(stdoutFd_, buffer, sizeof buffer);
        if (n <= 0)
            return false;
        output_.append(buffer, static_cast<std::size_t>(n));
    }
}

int ChildProcess::Finish(std::chrono::milliseconds deadline) {
    if (stdinFd_ >= 0) {
        close(stdinFd_);
        stdinFd_ = -1;
    }
    const auto until = std::chrono::steady_clock::now() + deadline;
    int status = 0;
    for (;;) {
        char buffer[4096];
        pollfd fd{stdoutFd_, POLLIN, 0};
        if (poll(&fd, 1, 0) > 0) {
            const auto n = read(stdoutFd_, buffer, sizeof buffer);
            if (n > 0)
                output_.append(buffer, static_cast<std::size_t>(n));
        }
        const pid_t done = waitpid(pid_, &status, WNOHANG);
        if (done == pid_)
            break;
        if (std::chrono::steady_clock::now() >= until) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
            pid_ = -1;
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void ChildProcess::Signal(int signal) {
    if (pid_ > 0)
        kill(pid_, signal);
}

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds deadline) {
    const auto until = std::chrono::steady_clock::now() + deadline;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= until) {
            return condition();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

void LetTimePass(std::chrono::nanoseconds span) {
    const auto until = std::chrono::steady_clock::now() + span;
    while (std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_until(until);
}

std::size_t CountThreadsNamed(const std::string& name) {
    std::size_t count = 0;
    std::error_code ec;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task", ec)) {
        std::string comm;
        std::getline(std::ifstream(task.path() / "comm"), comm);
        count += comm == name ? 1 : 0;
    }
    return count;
}

pid_t ProcessWithEnvironment(const std::string& name, const std::string& entry) {
    std::error_code ec;
    for (const auto& process : std::filesystem::directory_iterator("/proc", ec)) {
        const std::string pid = process.path().filename().string();
        if (pid.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        // The program's file, not its comm: the main thread renames itself.
        std::string program;
        std::getline(std::ifstream(process.path() / "cmdline", std::ios::binary), program, '\0');
        if (!std::filesystem::path(program).filename().string().starts_with(name)) {
            continue;
        }
        std::ifstream environ(process.path() / "environ", std::ios::binary);
        for (std::string variable; std::getline(environ, variable, '\0');) {
            if (variable == entry) {
                return static_cast<pid_t>(std::stol(pid));
            }
        }
    }
    return 0;
}

std::size_t CountOpenDescriptors() {
    std::size_t count = 0;
    std::error_code ec;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", ec))
        ++count;
    return count;
}

std::size_t CountOf(const std::string& text, const std::string& needle) {
    std::size_t count = 0;
    for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
        ++count;
    }
    return count;
}

void ExpectInOrder(const std::string& text, const std::vector<std::string>& lines) {
    std::size_t at = 0;
    for (const auto& line : lines) {
        const auto found = text.find(line, at);
        if (found == std::string::npos) {
            ADD_FAILURE() << "missing or out of order: " << line << "\n" << text;
            return;
        }
        at = found + line.size();
    }
}

}  // namespace KvTest
