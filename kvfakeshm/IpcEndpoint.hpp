#pragma once

#include <string>
#include <string_view>

namespace KvFakeShm {

// The machine-wide name both peers meet at.
const std::string& IpcEndpointName();

// The IPC URL of an endpoint name. On Linux a plain ipc:// path is relative to each process's working
// directory, so two peers started in different folders would never meet; the abstract socket namespace
// is machine-wide like the Windows pipe namespace, needs no file and leaves nothing stale after a crash.
inline std::string IpcUrlFor(std::string_view name) {
#if defined(__linux__)
    return "abstract://" + std::string(name);
#else
    return "ipc://" + std::string(name);
#endif
}

}  // namespace KvFakeShm
