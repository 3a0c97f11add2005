#pragma once

#include <nng/nng.h>

#include <string_view>

namespace KvFakeShm {

// The packaged NNG (1.5.2) can deadlock in nng_close (upstream issue 1543, fixed after that release): its
// reaper waits for a task that never starts, and every later close in the process waits behind it. A
// close that does not end within 2 s is logged at WARNING and left to end on a thread of its own, so that
// no stop, reload or exit hangs on it. Returns nng_close's result, or 0 when it was left behind.
int CloseSocketBounded(nng_socket socket, std::string_view word);

}  // namespace KvFakeShm
