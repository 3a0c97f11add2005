#pragma once

#include <memory>
#include <string>
#include <vector>

namespace KvLogImpl {

// Owns the start and the guarded lifecycle of the logging layer; logging itself goes through KVLOG.
class Log {
  public:
    static Log& GetInstance();
    static const std::string& GetName();

    virtual ~Log();
    Log(const Log&) = delete;
    Log& operator=(const Log&) = delete;

    bool IsInitialized() const;
    bool Initialize(std::string& error);
    bool Terminate(std::string& error);
    // The captured arguments, after the logging layer has taken its own flags out.
    std::vector<std::string> GetArguments() const;

    struct Impl;

  private:
    Log();
    std::unique_ptr<Impl> impl;
};

// The process's arguments as the runtime gave them; the platform file fills them before main.
struct ProcessArguments {
    int argc = 0;
    char** argv = nullptr;
};
ProcessArguments GetProcessArguments();

}  // namespace KvLogImpl
