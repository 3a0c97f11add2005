#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "kvfakeshm/StatsWindow.hpp"

using KvFakeShm::LatencyWindow;
using KvFakeShm::StatsWindow;

constexpr std::int64_t kWindow = 1'000'000'000;  // 1,000 ms

TEST(StatsWindow, SampleExactlyAtTheCutoffStaysOneNanosecondOlderGoes) {
    StatsWindow window;
    window.Record(10, 1'000, kWindow);
    window.Record(20, 1'000 + kWindow, kWindow);  // cutoff == time of the first sample
    EXPECT_EQ(window.Sum(), 30u);
    EXPECT_EQ(window.Count(), 2u);
    window.Record(40, 1'001 + kWindow, kWindow);  // now the first sample is 1 ns past the cutoff
    EXPECT_EQ(window.Sum(), 60u);
    EXPECT_EQ(window.Count(), 2u);
}

TEST(StatsWindow, ZeroValuesAreNeverQueuedButBecomeTheLastValue) {
    StatsWindow window;
    window.Record(5, 100, kWindow);
    window.Record(0, 200, kWindow);
    EXPECT_EQ(window.Last(), 0u);
    EXPECT_EQ(window.Count(), 1u);
    EXPECT_EQ(window.Sum(), 5u);
}

TEST(StatsWindow, FiguresDoNotDecayWithoutSamplesAndResetClearsAll) {
    StatsWindow window;
    for (int i = 0; i < 100; ++i)
        window.Record(4, i * 10'000'000LL, kWindow);
    EXPECT_EQ(window.Sum(), 400u);
    // Reading long after the traffic stopped changes nothing: trimming happens only on Record.
    EXPECT_EQ(window.Sum(), 400u);
    window.Reset();
    EXPECT_EQ(window.Sum(), 0u);
    EXPECT_EQ(window.Count(), 0u);
    EXPECT_EQ(window.Last(), 0u);
}

TEST(StatsWindow, SteadyTrafficSettlesAtTheWindowTotal) {
    StatsWindow window;
    for (std::int64_t t = 0; t <= 5 * kWindow; t += 10'000'000)
        window.Record(64, t, kWindow);
    EXPECT_EQ(window.Sum(), 101u * 64u);  // both ends of the 1,000 ms window count
}

TEST(LatencyWindow, SmoothedIsTheIntegerAverage) {
    LatencyWindow latency;
    latency.Record(2'000, 10, kWindow);
    EXPECT_EQ(latency.Latency(), 2'000u);
    EXPECT_EQ(latency.Smoothed(), 2'000u);
    latency.Record(3'001, 20, kWindow);
    EXPECT_EQ(latency.Latency(), 3'001u);
    EXPECT_EQ(latency.Smoothed(), 2'500u);
    latency.Reset();
    EXPECT_EQ(latency.Smoothed(), 0u);
    EXPECT_EQ(latency.Latency(), 0u);
}

TEST(StatsWindowConcurrency, RecordersAndAReaderKeepSumAndCountExact) {
    // The write-through sum is atomic, but the queue is not: without the window's lock the count (or the
    // queue itself) goes wrong, and ThreadSanitizer reports the race.
    StatsWindow window;
    constexpr int kThreads = 4;
    constexpr int kSamples = 20'000;
    std::atomic<bool> go{false};
    std::atomic<int> finished{0};
    std::vector<std::thread> recorders;
    for (int t = 0; t < kThreads; ++t) {
        recorders.emplace_back([&, t] {
            while (!go)
                std::this_thread::yield();
            for (int i = 0; i < kSamples; ++i)
                window.Record(static_cast<std::uint64_t>(t + 1), i, kWindow);  // nothing ever leaves
            ++finished;
        });
    }
    std::uint64_t lastSeen = 0;
    bool monotonic = true;
    go = true;
    while (finished.load() < kThreads) {
        const std::uint64_t sum = window.Sum();
        monotonic = monotonic && sum >= lastSeen;
        lastSeen = sum;
        (void)window.Count();
        (void)window.Last();
    }
    for (auto& recorder : recorders)
        recorder.join();
    EXPECT_TRUE(monotonic) << "a reader saw the sum go back";
    EXPECT_EQ(window.Count(), static_cast<std::size_t>(kThreads) * kSamples);
    EXPECT_EQ(window.Sum(), static_cast<std::uint64_t>(kSamples) * (1 + 2 + 3 + 4));
}

TEST(StatsWindowConcurrency, ResetDuringRecordingLeavesSumEqualToTheQueuedSamples) {
    StatsWindow window;
    std::atomic<bool> stop{false};
    std::thread recorder([&] {
        for (std::int64_t i = 0; !stop; ++i)
            window.Record(3, i, kWindow);
    });
    for (int i = 0; i < 2'000; ++i)
        window.Reset();
    stop = true;
    recorder.join();
    // Each sample is counted into the sum and queued under one lock, so a reset never splits the two.
    EXPECT_EQ(window.Sum(), 3u * window.Count());
}
