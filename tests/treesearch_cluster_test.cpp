// The tree search across two nodes: Open MPI starts one daemon per node through
// its ssh launcher, with tests/cluster/node-agent standing in for ssh, so the
// processes of different nodes share no memory and talk over TCP.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "program_support.h"
#include "treesearch_report.h"

namespace {

// IP literals, not names: a name would cost resolver look-ups on every launch.
const char* const kNodeA = "127.0.0.2";
const char* const kNodeB = "127.0.0.3";
const int kLaunchTimeout = 120;

std::vector<std::string> clusterFlags() {
    return {"--mca", "plm", "rsh", "--mca", "plm_rsh_agent", NODE_AGENT, "--bind-to", "none"};
}

std::string slots(const char* node) { return std::string(node) + ":2"; }

class TwoNodes : public testing::Test {
protected:
    void SetUp() override {
        // The agent gives each node its own host name in a UTS namespace.
        if (std::system("unshare --uts true >/dev/null 2>&1") != 0)
            GTEST_SKIP() << "cannot create UTS namespaces here (unshare --uts failed; needs root "
                            "or user namespaces), so no stand-in nodes can be started";
    }

    // Open MPI now and then fails inside MPI_Init before the program runs; such a
    // launch is tried once more.
    RunResult launch(const std::vector<std::string>& cmd, const std::string& cwd) {
        const std::vector<std::string> env{"PARBENCH_CLUSTER_DIR=" + cluster.path};
        RunResult run = runProgram(cmd, cwd, env, kLaunchTimeout);
        if (run.err.find("OPAL ERROR: Unreachable") != std::string::npos) {
            std::remove((cluster.path + "/daemons").c_str());
            run = runProgram(cmd, cwd, env, kLaunchTimeout);
        }
        // mpirun races its own launcher children to setpgid and warns when a child
        // has already started the agent; harmless, and the only line it may add.
        std::string err;
        for (const std::string& line : splitLines(run.err))
            if (line.find("plm:rsh: Warning: setpgid(") == std::string::npos) err += line + "\n";
        run.err = err;
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
    std::vector<std::string> cmd = mpiLaunch(4, clusterFlags());
    // The kernel's own record of the host name: a plain read, nothing for a
    // sanitizer build's preloaded runtime to find fault with.
    cmd.insert(cmd.end(), {"--host", slots(kNodeA) + "," + slots(kNodeB), "cat", "/proc/sys/kernel/hostname"});
    const RunResult run = launch(cmd, work.path);
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    std::vector<std::string> hosts = splitLines(run.out);
    std::sort(hosts.begin(), hosts.end());
    EXPECT_EQ(hosts, (std::vector<std::string>{"nodeA", "nodeA", "nodeB", "nodeB"}));
    EXPECT_EQ(daemons(), (std::vector<std::string>{"nodeA", "nodeB"}));

    // Shared memory alone cannot join the two nodes: the run must fail.
    cmd = mpiLaunch(4, clusterFlags());
    cmd.insert(cmd.end(), {"--host", slots(kNodeA) + "," + slots(kNodeB), "--mca", "btl", "self,vader",
                           TREESEARCH_EXE});
    const RunResult isolated = launch(cmd, work.path);
    EXPECT_FALSE(isolated.timedOut);
    EXPECT_NE(isolated.exitStatus, 0) << isolated.out;
    EXPECT_EQ(isolated.leftovers, 0);
}

class TwoNodesTransport : public TwoNodes, public testing::WithParamInterface<const char*> {};

TEST_P(TwoNodesTransport, SharedDirectoryGivesAValidReport) {
    std::vector<std::string> cmd = mpiLaunch(4, clusterFlags());
    cmd.insert(cmd.end(), {"--host", slots(kNodeA) + "," + slots(kNodeB)});
    if (*GetParam() != '\0') cmd.insert(cmd.end(), {"--mca", "btl", GetParam()});
    cmd.push_back(TREESEARCH_EXE);
    const RunResult run = launch(cmd, work.path);
    expectValidTreeSearchReport(run, 4, work.path);
    EXPECT_EQ(daemons(), (std::vector<std::string>{"nodeA", "nodeB"}));
    EXPECT_EQ(run.leftovers, 0);
}

INSTANTIATE_TEST_SUITE_P(Btl, TwoNodesTransport, testing::Values("", "self,tcp"),
                         [](const testing::TestParamInfo<const char*>& info) {
                             return *info.param == '\0' ? std::string("Default") : std::string("TcpOnly");
                         });

TEST_F(TwoNodes, NodeWithoutTheSharedDirectoryStopsTheRunAndLeavesNothing) {
    ScratchDir elsewhere;
    std::vector<std::string> cmd = mpiLaunch(2, clusterFlags());
    cmd.insert(cmd.end(), {"--host", slots(kNodeA), "--wdir", work.path, TREESEARCH_EXE, ":", "-np", "2",
                           "--host", slots(kNodeB), "--wdir", elsewhere.path, TREESEARCH_EXE});
    const auto start = std::chrono::steady_clock::now();
    const RunResult run = launch(cmd, work.path);
    const auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start).count();
    EXPECT_FALSE(run.timedOut);
    expectTreeSearchFailure(run, "all processes need the same working directory on a shared file system");
    EXPECT_LT(seconds, 30);
    EXPECT_EQ(run.leftovers, 0);
}

}  // namespace
