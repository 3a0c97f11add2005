#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace KvTest {

// A fresh folder under the system's temporary folder, removed with everything in it at destruction.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& Path() const { return path_; }

  private:
    std::filesystem::path path_;
};

// Sets an environment variable for the scope and puts the previous value back.
class ScopedEnv {
  public:
    ScopedEnv(std::string name, const char* value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    std::string name_;
    bool hadValue_ = false;
    std::string previous_;
};

struct ProcessResult {
    int exitCode = -1;  // -1 when killed by a signal or the deadline
    int signal = 0;
    bool timedOut = false;
    std::string out;
    std::string err;
};

// Starts a program with fork + exec (never a plain fork of a process that may use NNG), feeds it the
// input, and kills it when the deadline passes.
ProcessResult RunProcess(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv,
                         const std::string& input, std::chrono::milliseconds deadline);

// A program running beside the test, started with fork + exec; killed and reaped at destruction.
class ChildProcess {
  public:
    explicit ChildProcess(const std::vector<std::string>& argv);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Reads standard output until a line equal to `line` arrives; false at the deadline or end of output.
    bool WaitForLine(const std::string& line, std::chrono::milliseconds deadline);
    // Closes its standard input and waits for its exit status (-1 when it had to be killed).
    int Finish(std::chrono::milliseconds deadline);
    void Signal(int signal);
    const std::string& Output() const { return output_; }

  private:
    int pid_ = -1;
    int stdinFd_ = -1;
    int stdoutFd_ = -1;
    std::string output_;
    std::size_t scanned_ = 0;
};

// Polls the condition until it holds or the deadline passes; returns its last value.
bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds deadline);

std::string ReadFile(const std::filesystem::path& path);

// How many times `needle` occurs in `text` (overlaps included).
std::size_t CountOf(const std::string& text, const std::string& needle);
// Adds a test failure unless every one of `lines` occurs in `text`, in this order.
void ExpectInOrder(const std::string& text, const std::vector<std::string>& lines);

// Sleeps until the steady clock has moved on by at least `span`: for tests whose subject is elapsed time.
void LetTimePass(std::chrono::nanoseconds span);

// Threads of this process whose system name is `name` (threads name themselves through the log layer).
std::size_t CountThreadsNamed(const std::string& name);
// Open descriptors of this process.
std::size_t CountOpenDescriptors();
// A process whose program's file name starts with `name` and whose environment holds `entry`; 0 when
// none does.
pid_t ProcessWithEnvironment(const std::string& name, const std::string& entry);

}  // namespace KvTest
