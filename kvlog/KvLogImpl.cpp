#include "kvlog/KvLogImpl.hpp"

#include <atomic>
#include <cstring>
#include <mutex>
#include <shared_mutex>
#include <stdexcept>

#include "kvcommon/HybridMutex.hpp"
#include "kvlog/Logging.hpp"

namespace KvLogImpl {

struct Log::Impl {
    explicit Impl(Log* owner) : owner(owner) {}
    virtual ~Impl();

    bool CaptureArguments(std::string& reason);
    void ReleaseArguments();

    KvCommon::HybridMutex stateLock;
    std::atomic<bool> initialized{false};
    mutable KvCommon::HybridSharedMutex argumentLock;
    int argc = 0;
    std::unique_ptr<std::unique_ptr<char[]>[]> argv;
    Log* owner;
};

namespace {

constexpr const char* kVersion = "v2.400.1-302a8aa67";

// Reports an exception escaping a guarded operation: a standard one with its text, anything else as
// "Unknown error!". Must be called from inside a catch block.
std::string DescribeCurrentException() {
    try {
        throw;
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "Unknown error!";
    }
}

}  // namespace

Log::Impl::~Impl() {
    if (argv != nullptr || argc >= 1) {
        try {
            ReleaseArguments();
        } catch (...) {
            KVLOG(KvLog::kError, "{}", DescribeCurrentException());
        }
    }
}

bool Log::Impl::CaptureArguments(std::string& reason) {
    std::unique_lock lock(argumentLock);
    std::vector<std::string> copies;
    try {
        const ProcessArguments process = GetProcessArguments();
        for (int i = 0; i < process.argc && process.argv != nullptr && process.argv[i] != nullptr; ++i) {
            copies.emplace_back(process.argv[i]);
        }
    } catch (...) {
        reason = DescribeCurrentException();
        KVLOG(KvLog::kError, "Failed to get the command-line arguments: {}", reason);
        return false;
    }
    try {
        argc = static_cast<int>(copies.size());
        argv = std::make_unique<std::unique_ptr<char[]>[]>(copies.size() + 1);
        for (std::size_t i = 0; i < copies.size(); ++i) {
            argv[i] = std::make_unique<char[]>(copies[i].size() + 1);
            std::memcpy(argv[i].get(), copies[i].c_str(), copies[i].size() + 1);
        }
        argv[copies.size()] = nullptr;
        return true;
    } catch (...) {
        reason = DescribeCurrentException();
        KVLOG(KvLog::kError, "Failed to get the command-line arguments: {}", reason);
        return false;
    }
}

void Log::Impl::ReleaseArguments() {
    std::unique_lock lock(argumentLock);
    argv.reset();
    argc = 0;
}

Log::Log() : impl(std::make_unique<Impl>(this)) {}
Log::~Log() = default;

Log& Log::GetInstance() {
    static Log instance;
    return instance;
}

const std::string& Log::GetName() {
    static const std::string name = fmt::format("KvLog {}", kVersion);
    return name;
}

bool Log::IsInitialized() const {
    return impl->initialized.load();
}

bool Log::Initialize(std::string& error) {
    error.clear();
    std::lock_guard lock(impl->stateLock);
    try {
        if (impl->initialized.load()) {
            error = fmt::format("The {} has already been initialized!", GetName());
            KVLOG(KvLog::kError, "{}", error);
            return false;
        }
        std::string reason;
        if (!impl->CaptureArguments(reason)) {
            KVLOG(KvLog::kError, "Failed to get the command-line arguments: {}", reason);
            error = reason;
            return false;
        }
        KvLog::SetFlushInterval(std::chrono::milliseconds(100));
        {
            // The layer rewrites the vector in place; our owning array keeps every string alive.
            std::unique_lock argumentsLock(impl->argumentLock);
            std::vector<char*> view(static_cast<std::size_t>(impl->argc) + 1, nullptr);
            for (int i = 0; i < impl->argc; ++i) {
                view[static_cast<std::size_t>(i)] = impl->argv[static_cast<std::size_t>(i)].get();
            }
            int argc = impl->argc;
            KvLog::Init(argc, view.data(), KvLog::Options{});
            auto kept = std::make_unique<std::unique_ptr<char[]>[]>(static_cast<std::size_t>(argc) + 1);
            for (int i = 0, next = 0; i < impl->argc && next < argc; ++i) {
                if (impl->argv[static_cast<std::size_t>(i)].get() == view[static_cast<std::size_t>(next)]) {
                    kept[static_cast<std::size_t>(next++)] =
                        std::move(impl->argv[static_cast<std::size_t>(i)]);
                }
            }
            impl->argv = std::move(kept);
            impl->argc = argc;
        }
        KVLOG(KvLog::kInfo, "Initializing {}...", GetName());
        impl->initialized.store(true);
        KVLOG(KvLog::kInfo, "{} has been initialized successfully!", GetName());
        return true;
    } catch (...) {
        error = DescribeCurrentException();
        KVLOG(KvLog::kError, "Failed to initialize {}: {}", GetName(), error);
        return false;
    }
}

bool Log::Terminate(std::string& error) {
    // Counts of repeated lines still pending come before the shut-down's last lines.
    KvLog::FlushAll();
    KVLOG(KvLog::kInfo, "Terminating {}...", GetName());
    error.clear();
    try {
        std::lock_guard lock(impl->stateLock);
        if (impl->initialized.load()) {
            impl->initialized.store(false);
            KVLOG(KvLog::kInfo, "{} has been terminated successfully!", GetName());
            return true;
        }
        error = fmt::format("The {} has already been terminated!", GetName());
        KVLOG(KvLog::kError, "{}", error);
        return false;
    } catch (...) {
        error = DescribeCurrentException();
        KVLOG(KvLog::kError, "Failed to terminate {}: {}", GetName(), error);
        return false;
    }
}

std::vector<std::string> Log::GetArguments() const {
    std::shared_lock lock(impl->argumentLock);
    std::vector<std::string> arguments;
    for (int i = 0; i < impl->argc; ++i) {
        arguments.emplace_back(impl->argv[static_cast<std::size_t>(i)].get());
    }
    return arguments;
}

}  // namespace KvLogImpl
