#include "kvfakeshm/BoundedClose.hpp"

#include <chrono>
#include <future>
#include <memory>
#include <thread>

#include "kvlog/Logging.hpp"

namespace KvFakeShm {

int CloseSocketBounded(nng_socket socket, std::string_view word) {
    constexpr std::chrono::milliseconds kBound{2000};
    auto closed = std::make_shared<std::promise<int>>();
    auto result = closed->get_future();
    std::thread([socket, closed] { closed->set_value(nng_close(socket)); }).detach();
    if (result.wait_for(kBound) == std::future_status::ready) {
        return result.get();
    }
    KVLOG(KvLog::kWarning,
          "The NNG {} socket did not close within {} ms; it is left to close in the background!", word,
          kBound.count());
    return 0;
}

}  // namespace KvFakeShm
