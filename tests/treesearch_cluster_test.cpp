// The tree search across two nodes: the MPI's launcher starts one daemon (or
// proxy) per node through its ssh launcher, with tests/cluster/node-agent
// standing in for ssh, so the processes of different nodes share no memory and
// talk over TCP.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "mpi_launch.h"
#include "program_support.h"
#include "treesearch_report.h"

namespace {

// IP literals, not names: a name would cost resolver look-ups on every launch.
const char* const kNodeA = "127.0.0.2:2";
const char* const kNodeB = "127.0.0.3:2";
const int kLaunchTimeout = 120;

class TwoNodes : public testing::Test {
protected:
    void SetUp() override {
        // The agent gives each node its own host name in a UTS namespace.
        if (std::system("unshare --uts true >/dev/null 2>&1") != 0)
            GTEST_SKIP() << "cannot create UTS namespaces here (unshare --uts failed; needs root "
                            "or user namespaces), so no stand-in nodes can be started";
    }

    // `procs` processes over both nodes, two on each, with `setting` added;
    // `program` follows.
    RunResult launch(int procs, const LaunchSetting& setting, const std::vector<std::string>& program) {
        const LaunchSetting hosts = remoteHosts(NODE_AGENT, {kNodeA, kNodeB});
        std::vector<std::string> cmd = mpiLaunch(procs, hosts.args);
        cmd.insert(cmd.end(), setting.args.begin(), setting.args.end());
        cmd.insert(cmd.end(), program.begin(), program.end());
        std::vector<std::string> env{"PARBENCH_CLUSTER_DIR=" + cluster.path};
        env.insert(env.end(), setting.env.begin(), setting.env.end());
        RunResult run = runProgram(cmd, work.path, env, kLaunchTimeout);
        if (failedToStart(run)) {
            std::remove((cluster.path + "/daemons").c_str());
            run = runProgram(cmd, work.path, env, kLaunchTimeout);
        }
        run.err = withoutLauncherNoise(run.err);
        return run;
    }

    std::vector<std::string> daemons() {
        std::ifstream in(cluster.path + "/daemons");
        std::vector<std::string> nodes;
        for (std::string line; std::getline(in, line);) nodes.push_back(line);
        std::sort(nodes.begin(), nodes.end());
        return nodes;
    }

    ScratchDir cluster;
    ScratchDir work;
};

TEST_F(TwoNodes, AreSeparateHostsThatShareNoMemory) {
    // The kernel's own record of the host name: a plain read, nothing for a
    // sanitizer build's preloaded runtime to find fault with.
    const RunResult run = launch(4, {}, {"cat", "/proc/sys/kernel/hostname"});
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    std::vector<std::string> hosts = splitLines(run.out);
    std::sort(hosts.begin(), hosts.end());
    EXPECT_EQ(hosts, (std::vector<std::string>{"nodeA", "nodeA", "nodeB", "nodeB"}));
    EXPECT_EQ(daemons(), (std::vector<std::string>{"nodeA", "nodeB"}));

    // Shared memory alone cannot join the two nodes: the run must fail.
    std::string why;
    const std::optional<LaunchSetting> sharedMemory = sharedMemoryOnly(why);
    if (!sharedMemory) {
        RecordProperty("shared_memory_only", why);
        return;
    }
    const RunResult isolated = launch(4, *sharedMemory, {TREESEARCH_EXE});
    EXPECT_FALSE(isolated.timedOut);
    EXPECT_NE(isolated.exitStatus, 0) << isolated.out;
    EXPECT_EQ(isolated.leftovers, 0);
}

class TwoNodesTransport : public TwoNodes, public testing::WithParamInterface<bool> {};

TEST_P(TwoNodesTransport, SharedDirectoryGivesAValidReport) {
    std::string why;
    const std::optional<LaunchSetting> tcp = GetParam() ? tcpOnly(why) : LaunchSetting{};
    if (!tcp) GTEST_SKIP() << why;
    const RunResult run = launch(4, *tcp, {TREESEARCH_EXE});
    expectValidTreeSearchReport(run, 4, work.path);
    EXPECT_EQ(daemons(), (std::vector<std::string>{"nodeA", "nodeB"}));
    EXPECT_EQ(run.leftovers, 0);
}

INSTANTIATE_TEST_SUITE_P(Transport, TwoNodesTransport, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& info) {
                             return std::string(info.param ? "TcpOnly" : "Default");
                         });

TEST_F(TwoNodes, NodeWithoutTheSharedDirectoryStopsTheRunAndLeavesNothing) {
    // Ranks 0 and 1 run on nodeA, 2 and 3 on nodeB, in a directory of its own.
    ScratchDir elsewhere;
    const auto start = std::chrono::steady_clock::now();
    const RunResult run = launch(4, {}, inDirectoryOfRank(TREESEARCH_EXE, {work.path, work.path, elsewhere.path,
                                                                          elsewhere.path}));
    const auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start).count();
    EXPECT_FALSE(run.timedOut);
    expectTreeSearchFailure(run, "all processes need the same working directory on a shared file system");
    EXPECT_LT(seconds, 30);
    EXPECT_EQ(run.leftovers, 0);
}

}  // namespace
