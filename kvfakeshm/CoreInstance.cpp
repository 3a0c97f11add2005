#include "kvfakeshm/KvCoreShm.hpp"

namespace KvFakeShm {

// The Core program's process-wide instance. Kept apart from the library so that a program playing
// another peer links its own subclass as the instance instead.
FakeSharedMem& FakeSharedMem::GetInstance() {
    static KvCoreShm instance;
    return instance;
}

}  // namespace KvFakeShm
