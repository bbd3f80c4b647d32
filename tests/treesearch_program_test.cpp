// The tree search program under the MPI launcher: report structure, the
// partition of the file among processes, and the failure paths.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "mpi_launch.h"
#include "program_support.h"
#include "treesearch_report.h"

namespace {

namespace fs = std::filesystem;

class TreeSearchProcesses : public testing::TestWithParam<int> {};

TEST_P(TreeSearchProcesses, ReportIsValidAndRangesPartitionTheFile) {
    const int procs = GetParam();
    ScratchDir dir;
    std::vector<std::string> cmd = mpiLaunch(procs);
    cmd.push_back(TREESEARCH_EXE);
    expectValidTreeSearchReport(runProgram(cmd, dir.path), procs, dir.path);
}

INSTANTIATE_TEST_SUITE_P(Launcher, TreeSearchProcesses, testing::Values(1, 2, 3, 4));

TEST(TreeSearchTransport, TcpOnlyAsBetweenHosts) {
    std::string why;
    const std::optional<LaunchSetting> tcp = tcpOnly(why);
    if (!tcp) GTEST_SKIP() << why;
    ScratchDir dir;
    std::vector<std::string> cmd = mpiLaunch(3, tcp->args);
    cmd.push_back(TREESEARCH_EXE);
    expectValidTreeSearchReport(runProgram(cmd, dir.path, tcp->env), 3, dir.path);
}

TEST(TreeSearchTransport, AnOldTreeFileIsReplaced) {
    ScratchDir dir;
    std::ofstream(dir.path + "/binary_tree.txt") << "stale content that is much longer than nothing";
    std::vector<std::string> cmd = mpiLaunch(2);
    cmd.push_back(TREESEARCH_EXE);
    expectValidTreeSearchReport(runProgram(cmd, dir.path), 2, dir.path);
}

TEST(TreeSearchFailures, FileThatCannotBeCreatedStopsEveryProcess) {
    ScratchDir dir;
    fs::create_directory(dir.path + "/binary_tree.txt");
    std::vector<std::string> cmd = mpiLaunch(2);
    cmd.push_back(TREESEARCH_EXE);
    const RunResult run = runProgram(cmd, dir.path);
    expectTreeSearchFailure(run, "cannot create binary_tree.txt: Is a directory");
}

TEST(TreeSearchFailures, FileThatCannotBeWrittenCompletelyIsNotScanned) {
    if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full here";
    ScratchDir dir;
    fs::create_symlink("/dev/full", dir.path + "/binary_tree.txt");
    std::vector<std::string> cmd = mpiLaunch(2);
    cmd.push_back(TREESEARCH_EXE);
    const RunResult run = runProgram(cmd, dir.path);
    expectTreeSearchFailure(run, "cannot write binary_tree.txt completely: No space left on device");
}

// Two working directories stand for two hosts without a shared file system.
RunResult runSplitAcrossDirectories(const std::string& rootDir, const std::string& workerDir) {
    std::vector<std::string> cmd = mpiLaunch(2, inDirectoryOfRank(TREESEARCH_EXE, {rootDir, workerDir}));
    return runProgram(cmd, rootDir);
}

TEST(TreeSearchFailures, WorkerWithoutTheFileAsksForASharedDirectory) {
    ScratchDir rootDir;
    ScratchDir workerDir;
    const RunResult run = runSplitAcrossDirectories(rootDir.path, workerDir.path);
    expectTreeSearchFailure(run, "process 1 cannot open binary_tree.txt: No such file or directory");
    EXPECT_NE(run.err.find("same working directory on a shared file system"), std::string::npos);
}

TEST(TreeSearchFailures, WorkerSeeingAnOldCopyOfTheFileStopsTheRun) {
    ScratchDir rootDir;
    ScratchDir workerDir;
    std::ofstream(workerDir.path + "/binary_tree.txt") << "7 (3 () ()) (42 () ())";
    const RunResult run = runSplitAcrossDirectories(rootDir.path, workerDir.path);
    expectTreeSearchFailure(run, "process 1 sees binary_tree.txt with 22 bytes");
}

}  // namespace
