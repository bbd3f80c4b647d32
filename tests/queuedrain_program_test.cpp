#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "program_support.h"

namespace {

TEST(QueueDrainProgram, PrintsOnlyTheTimeLine) {
    ScratchDir dir;
    const RunResult run = runProgram({QUEUEDRAIN_EXE}, dir.path);
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(run.err, "");
    const std::vector<std::string> lines = splitLines(run.out);
    ASSERT_EQ(lines.size(), 1u) << run.out;  // no error line from filling or draining
    EXPECT_TRUE(fullMatch(lines[0], R"(Time:   \d+\.\d{6} s)")) << lines[0];
}

}  // namespace
