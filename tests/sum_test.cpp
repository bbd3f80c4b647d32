#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "capture.h"
#include "sum.h"

namespace {

std::vector<int> randomValues(int n, unsigned seed) {
    std::srand(seed);
    std::vector<int> v(static_cast<std::size_t>(n));
    for (int& x : v) x = std::rand() % 100;
    return v;
}

TEST(ParallelSum, EqualsAnExactSumForTeamsThatDoAndDoNotDivideTheLength) {
    for (int n : {0, 1, 3, 6, 1000, 100003}) {
        const std::vector<int> values = randomValues(n, 99u + static_cast<unsigned>(n));
        long long exact = 0;
        for (int v : values) exact += v;
        ASSERT_EQ(sequentialSum(values.data(), n), static_cast<double>(exact));
        for (int threads : {1, 2, 3, 4, 7})
            EXPECT_EQ(parallelSum(values.data(), n, threads), static_cast<double>(exact))
                << n << " values, " << threads << " threads";
    }
}

TEST(ParallelSum, EveryElementCountsOnceWherePositionWouldShow) {
    // Powers of two per position: a dropped or doubled element changes the sum.
    std::vector<int> values(30);
    for (int i = 0; i < 30; ++i) values[static_cast<std::size_t>(i)] = 1 << i;
    for (int threads : {1, 2, 3, 4, 7, 31})
        EXPECT_EQ(parallelSum(values.data(), 30, threads), static_cast<double>((1 << 30) - 1)) << threads;
}

TEST(SumVerdict, ValidReportHasEmptyLinesAfterHeadingAndVerdict) {
    bool valid = false;
    const std::string text =
        captureStream([&](std::FILE* f) { valid = printSumVerdict(4950.0, 4950.0, 20, 50, 4, f); });
    EXPECT_TRUE(valid);
    EXPECT_EQ(text,
              "Verifying Solution\n\nSolution Valid\n\n"
              "Parallel:   0.020000 s\nSequential: 0.050000 s\nSpeedup: 250.00 %\nCores: 4\n");
}

TEST(SumVerdict, DifferentSumsPrintBothAndNoTimes) {
    bool valid = true;
    const std::string text =
        captureStream([&](std::FILE* f) { valid = printSumVerdict(10.5, 11.0, 20, 50, 4, f); });
    EXPECT_FALSE(valid);
    EXPECT_EQ(text, "Verifying Solution\n\nSolution Invalid\n\nt:   10.500000\nsum: 11.000000\n");
}

}  // namespace
