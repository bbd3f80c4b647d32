// Full-size runs of the sleeping work-item programs: about 80 s together.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "program_support.h"

namespace {

double secondsIn(const std::string& line) {
    return std::stod(line.substr(line.find_first_of("-0123456789")));
}

TEST(SplitWorkProgram, PrintsBothTimesAndASpeedupBelowFourfold) {
    ScratchDir dir;
    const RunResult run = runProgram({SPLITWORK_EXE}, dir.path);
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(run.err, "");
    const std::vector<std::string> lines = splitLines(run.out);
    ASSERT_EQ(lines.size(), 3u) << run.out;
    ASSERT_TRUE(fullMatch(lines[0], R"(Parallel:   \d+\.\d{6} s)")) << lines[0];
    ASSERT_TRUE(fullMatch(lines[1], R"(Sequential: \d+\.\d{6} s)")) << lines[1];
    ASSERT_TRUE(fullMatch(lines[2], R"(Speedup: \d+\.\d\d %)")) << lines[2];
    const double parallel = secondsIn(lines[0]);
    const double sequential = secondsIn(lines[1]);
    const double speedup = secondsIn(lines[2]);
    // The items sleep about 42 s in all; the last quarter sets the parallel time.
    EXPECT_GT(sequential, 30.0);
    EXPECT_GT(parallel, sequential / 4);
    EXPECT_NEAR(speedup, 100.0 * sequential / parallel, 1.0);
    EXPECT_GT(speedup, 120.0);
    EXPECT_LT(speedup, 400.0);
}

TEST(DynamicWorkProgram, PrintsOneTimeLineForAllItems) {
    ScratchDir dir;
    // A team of 2 whatever the machine: about half of the 42 s of sleep.
    const RunResult run = runProgram({DYNAMICWORK_EXE}, dir.path, {"OMP_NUM_THREADS=2"});
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(run.err, "");
    const std::vector<std::string> lines = splitLines(run.out);
    ASSERT_EQ(lines.size(), 1u) << run.out;
    ASSERT_TRUE(fullMatch(lines[0], R"(Time:   \d+\.\d{6} s)")) << lines[0];
    const double seconds = secondsIn(lines[0]);
    EXPECT_GT(seconds, 15.0);
    EXPECT_LT(seconds, 35.0);
}

}  // namespace
