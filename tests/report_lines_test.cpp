#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>

#include "capture.h"
#include "timing.h"

namespace {

std::string parallelLine(std::int64_t ms) {
    return captureStream([&](std::FILE* f) { printParallelTime(ms, f); });
}
std::string sequentialLine(std::int64_t ms) {
    return captureStream([&](std::FILE* f) { printSequentialTime(ms, f); });
}
std::string singleLine(std::int64_t ms) {
    return captureStream([&](std::FILE* f) { printSingleTime(ms, f); });
}
std::string speedupLine(std::int64_t seq, std::int64_t par) {
    return captureStream([&](std::FILE* f) { printSpeedup(seq, par, f); });
}

TEST(ReportLines, TimeLinesHaveExactTextAndAlignment) {
    EXPECT_EQ(parallelLine(1234), "Parallel:   1.234000 s\n");
    EXPECT_EQ(sequentialLine(1234), "Sequential: 1.234000 s\n");
    EXPECT_EQ(singleLine(1234), "Time:   1.234000 s\n");
}

TEST(ReportLines, ZeroIntervalPrintsZeroSeconds) {
    EXPECT_EQ(parallelLine(0), "Parallel:   0.000000 s\n");
    EXPECT_EQ(singleLine(0), "Time:   0.000000 s\n");
}

TEST(ReportLines, IntervalIsRoundedToSinglePrecisionFirst) {
    // In double precision this would print 16777.217000.
    EXPECT_EQ(sequentialLine(16777217), "Sequential: 16777.216797 s\n");
    EXPECT_EQ(sequentialLine(16777217), sequentialLine(16777216));
}

TEST(ReportLines, NegativeIntervalFromAClockSetBackPrintsNegative) {
    EXPECT_EQ(singleLine(-250), "Time:   -0.250000 s\n");
}

TEST(ReportLines, SpeedupIsSequentialOverParallelInPercent) {
    EXPECT_EQ(speedupLine(2000, 1000), "Speedup: 200.00 %\n");
    EXPECT_EQ(speedupLine(1000, 1000), "Speedup: 100.00 %\n");
    EXPECT_EQ(speedupLine(1, 3), "Speedup: 33.33 %\n");
}

TEST(ReportLines, ZeroParallelIntervalGivesInfinityOrNan) {
    EXPECT_EQ(speedupLine(5, 0), "Speedup: inf %\n");
    const std::string bothZero = speedupLine(0, 0);
    EXPECT_TRUE(bothZero == "Speedup: nan %\n" || bothZero == "Speedup: -nan %\n") << bothZero;
}

TEST(ReportLines, ComparisonPrintsThreeLinesInOrder) {
    const std::string text = captureStream([](std::FILE* f) { printComparison(500, 1500, f); });
    EXPECT_EQ(text, "Parallel:   0.500000 s\nSequential: 1.500000 s\nSpeedup: 300.00 %\n");
}

TEST(Clock, ReadingsAreEpochMillisecondsAndDoNotRunBackwards) {
    const std::int64_t a = current_timestamp();
    const std::int64_t b = current_timestamp();
    EXPECT_GT(a, std::int64_t{1600000000000});  // after 2020, in ms
    EXPECT_LE(a, b);
    EXPECT_LT(b - a, 1000);
}

}  // namespace
