#include "kvcoreshm/SharedMem.hpp"

#include <fmt/format.h>

#include <cstring>

#include "kvlog/Failure.hpp"

namespace KvCoreShm {
namespace bip = boost::interprocess;
namespace {

using KvLog::FailWith;

constexpr int kCopyAttempts = 8;

// The other peer may rewrite or reallocate the value while we copy it and takes no lock of ours. The
// string's size and buffer are read once per attempt and checked against the mapping before any byte
// is copied; a copy counts only when size and buffer are unchanged after it, which catches reallocations
// and most rewrites. Without the writer's cooperation an in-place rewrite can still show through as a
// mixture of old and new bytes, but never as bytes from outside the mapping.
bool CopyGuarded(const bip::managed_shared_memory& segment, const ShmString& value, std::string& out) {
    std::string copy;
    const char* const begin = static_cast<const char*>(segment.get_address());
    const std::size_t extent = segment.get_size();
    const auto inside = [&](const void* p, std::size_t n) {
        const char* c = static_cast<const char*>(p);
        return c >= begin && static_cast<std::size_t>(c - begin) <= extent &&
               n <= extent - static_cast<std::size_t>(c - begin);
    };
    if (!inside(&value, sizeof value)) {
        return false;
    }
    for (int attempt = 0; attempt < kCopyAttempts; ++attempt) {
        const std::size_t size = value.size();
        const char* const data = value.data();
        if (!inside(data, size)) {
            continue;  // torn in the middle of a rewrite
        }
        copy.resize(size);
        if (size > 0) {
            std::memcpy(copy.data(), data, size);
        }
        if (value.size() == size && value.data() == data) {
            out.swap(copy);  // a failed read leaves the caller's data as it was
            return true;
        }
    }
    return false;
}

}  // namespace

bool SharedMem::WriteTo(const std::string& block, const std::string& address, const std::string& data,
                        std::string& error) {
    error.clear();
    try {
        bip::managed_shared_memory segment(bip::open_only, block.c_str());
        ShmString* value = segment.find<ShmString>(address.c_str()).first;
        if (value == nullptr) {
            return FailWith(error, fmt::format("SharedMem::WriteTo failed: object does not exist at {}-{}",
                                               block, address));
        }
        value->assign(data.data(), data.size());
        return true;
    } catch (const std::exception& e) {
        return FailWith(error, fmt::format("Error writing to {}-{}: {}", block, address, e.what()));
    } catch (...) {
        return FailWith(error, fmt::format("Unknown error writing to {}-{}!", block, address));
    }
}

bool SharedMem::ReadFrom(const std::string& block, const std::string& address, std::string& data,
                         std::string& error) {
    error.clear();
    try {
        const bip::managed_shared_memory segment(bip::open_read_only, block.c_str());
        // A read-only mapping cannot take the segment's lock; this lookup takes none.
        const ShmString* value =
            const_cast<bip::managed_shared_memory&>(segment).find<ShmString>(address.c_str()).first;
        if (value == nullptr) {
            return FailWith(error, fmt::format("SharedMem: No data available at {}-{}", block, address));
        }
        if (!CopyGuarded(segment, *value, data)) {
            return FailWith(error,
                            fmt::format("SharedMem: No consistent data available at {}-{}", block, address));
        }
        return true;
    } catch (const std::exception& e) {
        return FailWith(error, fmt::format("Error reading from {}-{}: {}", block, address, e.what()));
    } catch (...) {
        return FailWith(error, fmt::format("Unknown SharedMem error: {}-{}", block, address));
    }
}

}  // namespace KvCoreShm
