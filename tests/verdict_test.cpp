#include <gtest/gtest.h>

#include <cstdio>

#include "capture.h"
#include "search.h"

namespace {

TEST(TreeSearchVerdict, AgreeingCountsPrintTheValidBlockWithTimesAndProcesses) {
    bool valid = false;
    const std::string text =
        captureStream([&](std::FILE* f) { valid = printVerdict(3660, 3660, 400, 1000, 4, f); });
    EXPECT_TRUE(valid);
    EXPECT_EQ(text,
              "Solution: Valid\n"
              "Sequential Matches: 3660\n"
              "Parallel Matches:   3660\n"
              "Parallel:   0.400000 s\n"
              "Sequential: 1.000000 s\n"
              "Speedup: 250.00 %\n"
              "Threads: 4\n");
}

TEST(TreeSearchVerdict, DifferingCountsPrintTheInvalidBlockWithoutTimes) {
    bool valid = true;
    const std::string text =
        captureStream([&](std::FILE* f) { valid = printVerdict(3660, 3659, 400, 1000, 4, f); });
    EXPECT_FALSE(valid);
    EXPECT_EQ(text,
              "Solution: Invalid\n"
              "Sequential Matches: 3660\n"
              "Parallel Matches:   3659\n");
}

}  // namespace
