#include <gtest/gtest.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <shared_mutex>
#include <thread>

#include "kvcommon/HybridAcquire.hpp"
#include "kvcommon/HybridMutex.hpp"
#include "tests/support/TestSupport.hpp"

using namespace std::chrono_literals;
using KvCommon::HybridMutex;
using KvCommon::HybridSharedMutex;

namespace {

struct AcquireTrace {
    int attempts = 0;
    int yields = 0;
    bool blocked = false;
    std::vector<int> yieldAfterAttempt;
};

AcquireTrace TraceAcquire(int succeedOnAttempt) {
    AcquireTrace trace;
    KvCommon::Detail::HybridAcquire([&] { return ++trace.attempts == succeedOnAttempt; },
                                    [&] { trace.blocked = true; },
                                    [&] {
                                        ++trace.yields;
                                        trace.yieldAfterAttempt.push_back(trace.attempts);
                                    });
    return trace;
}

double ThreadCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

}  // namespace

TEST(HybridAcquire, UncontendedSucceedsOnFirstAttemptWithoutYield) {
    const auto trace = TraceAcquire(1);
    EXPECT_EQ(trace.attempts, 1);
    EXPECT_EQ(trace.yields, 0);
    EXPECT_FALSE(trace.blocked);
}

TEST(HybridAcquire, SpinsExactly1024AttemptsWith15YieldsThenBlocks) {
    const auto trace = TraceAcquire(-1);
    EXPECT_EQ(trace.attempts, 1024);
    EXPECT_EQ(trace.yields, 15);
    EXPECT_TRUE(trace.blocked);
    ASSERT_FALSE(trace.yieldAfterAttempt.empty());
    EXPECT_EQ(trace.yieldAfterAttempt.front(), 65);  // after the failed attempt numbered 64
    EXPECT_EQ(trace.yieldAfterAttempt.back(), 961);
}

TEST(HybridAcquire, StopsSpinningAsSoonAsAnAttemptSucceeds) {
    const auto trace = TraceAcquire(200);
    EXPECT_EQ(trace.attempts, 200);
    EXPECT_EQ(trace.yields, 3);
    EXPECT_FALSE(trace.blocked);
}

TEST(HybridMutex, TryLockFailsWhileHeldAndSucceedsAfterUnlock) {
    HybridMutex mutex;
    std::unique_lock lock(mutex);
    std::atomic<bool> acquired{true};
    std::thread([&] { acquired = mutex.try_lock(); }).join();
    EXPECT_FALSE(acquired);
    lock.unlock();
    std::thread([&] {
        acquired = mutex.try_lock();
        if (acquired)
            mutex.unlock();
    }).join();
    EXPECT_TRUE(acquired);
}

TEST(HybridMutex, CountsStayExactUnderContention) {
    HybridMutex mutex;
    long counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                std::lock_guard lock(mutex);
                ++counter;
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(counter, 80000);
}

TEST(HybridSharedMutex, SharedHoldersProceedTogetherAndWriterWaitsForBoth) {
    HybridSharedMutex mutex;
    std::atomic<int> readersInside{0};
    std::atomic<bool> release{false};
    std::atomic<bool> writerInside{false};
    auto reader = [&] {
        std::shared_lock lock(mutex);
        ++readersInside;
        KvTest::WaitFor([&] { return release.load(); }, 10s);
    };
    std::thread r1(reader), r2(reader);
    ASSERT_TRUE(KvTest::WaitFor([&] { return readersInside == 2; }, 5s)) << "both readers must hold at once";

    std::thread writer([&] {
        std::unique_lock lock(mutex);
        writerInside = true;
    });
    std::this_thread::sleep_for(50ms);  // give the writer a chance to get in wrongly
    EXPECT_FALSE(writerInside);
    release = true;
    r1.join();
    r2.join();
    writer.join();
    EXPECT_TRUE(writerInside);
}

// The waiter must fall back to blocking: while the holder keeps the lock for a long time the waiter's
// own CPU time stays far below the wall time it waited.
TEST(HybridSharedMutex, LongHeldLockBlocksWaiterInsteadOfSpinning) {
    HybridSharedMutex mutex;
    std::unique_lock hold(mutex);
    std::atomic<bool> started{false}, acquired{false};
    double cpuSeconds = 0;
    std::thread waiter([&] {
        const double before = ThreadCpuSeconds();
        started = true;
        std::shared_lock lock(mutex);
        cpuSeconds = ThreadCpuSeconds() - before;
        acquired = true;
    });
    ASSERT_TRUE(KvTest::WaitFor([&] { return started.load(); }, 5s));
    std::this_thread::sleep_for(400ms);
    EXPECT_FALSE(acquired);
    hold.unlock();
    waiter.join();
    EXPECT_TRUE(acquired);
    EXPECT_LT(cpuSeconds, 0.2) << "the waiter kept spinning while the lock was held";
}

TEST(HybridMutex, LongHeldLockBlocksWaiterAndWakesIt) {
    HybridMutex mutex;
    std::unique_lock hold(mutex);
    std::atomic<bool> acquired{false};
    double cpuSeconds = 0;
    std::thread waiter([&] {
        const double before = ThreadCpuSeconds();
        std::lock_guard lock(mutex);
        cpuSeconds = ThreadCpuSeconds() - before;
        acquired = true;
    });
    std::this_thread::sleep_for(400ms);
    EXPECT_FALSE(acquired);
    hold.unlock();
    waiter.join();
    EXPECT_TRUE(acquired);
    EXPECT_LT(cpuSeconds, 0.2);
}
