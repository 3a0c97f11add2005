#include "kvlog/KvLogImpl.hpp"

namespace KvLogImpl {
namespace {

ProcessArguments captured;

// glibc passes argc, argv and envp to the initialisers of .init_array, before any static constructor.
void CaptureArguments(int argc, char** argv, char**) {
    captured.argc = argc;
    captured.argv = argv;
}

__attribute__((section(".init_array"), used)) void (*const captureArguments)(int, char**,
                                                                             char**) = &CaptureArguments;

}  // namespace

ProcessArguments GetProcessArguments() {
    return captured;
}

}  // namespace KvLogImpl
