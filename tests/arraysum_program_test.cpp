#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "program_support.h"

namespace {

void expectValidReport(const RunResult& run) {
    ASSERT_EQ(run.exitStatus, 0) << run.out << run.err;
    EXPECT_EQ(run.err, "");
    const std::vector<std::string> expected{
        "Starting Parallel Operation", "Sum Completed", "Generating Solution for Verification",
        "Verifying Solution", "", "Solution Valid", "",
        R"(Parallel:   \d+\.\d{6} s)", R"(Sequential: \d+\.\d{6} s)", R"(Speedup: (\d+\.\d\d|inf|-?nan) %)",
        "Cores: 4"};
    const std::vector<std::string> lines = splitLines(run.out);
    ASSERT_EQ(lines.size(), expected.size()) << run.out;
    for (std::size_t i = 0; i < expected.size(); ++i)
        EXPECT_TRUE(fullMatch(lines[i], expected[i])) << "line " << i << ": '" << lines[i] << "'";
}

TEST(ArraySumProgram, ReportIsValidWithTheFixedTexts) {
    ScratchDir dir;
    expectValidReport(runProgram({ARRAYSUM_EXE}, dir.path));
}

TEST(ArraySumProgram, RequestsAndReportsFourWhateverTheEnvironmentSays) {
    ScratchDir dir;
    expectValidReport(runProgram({ARRAYSUM_EXE}, dir.path, {"OMP_NUM_THREADS=1", "OMP_DYNAMIC=true"}));
    expectValidReport(runProgram({ARRAYSUM_EXE}, dir.path, {"OMP_NUM_THREADS=7", "OMP_THREAD_LIMIT=2"}));
}

}  // namespace
