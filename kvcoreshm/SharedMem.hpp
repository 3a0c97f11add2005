#pragma once

#include <boost/container/string.hpp>
#include <boost/interprocess/allocators/allocator.hpp>
#include <boost/interprocess/managed_shared_memory.hpp>
#include <string>

namespace KvCoreShm {

using ShmSegmentManager = boost::interprocess::managed_shared_memory::segment_manager;
using ShmString = boost::container::basic_string<char, std::char_traits<char>,
                                                 boost::interprocess::allocator<char, ShmSegmentManager>>;

// One named value in one named segment, created by the other peer. Every call opens the segment,
// does its access and closes it; nothing is ever created or removed here.
struct SharedMem {
    static bool WriteTo(const std::string& block, const std::string& address, const std::string& data,
                        std::string& error);
    // A failed read leaves `data` as it was.
    static bool ReadFrom(const std::string& block, const std::string& address, std::string& data,
                         std::string& error);
};

}  // namespace KvCoreShm
