#include <gtest/gtest.h>

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
