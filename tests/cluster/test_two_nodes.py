"""The tree search across two nodes: the MPI's launcher starts one daemon (or
proxy) per node through its ssh launcher, with node-agent standing in for ssh,
so the processes of different nodes share no memory and talk over TCP."""

import os
import subprocess
import time

import pytest

from parbench.platform import mpi

pytestmark = pytest.mark.cluster

AGENT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "node-agent")
# IP literals, not names: a name would cost resolver look-ups on every launch.
NODES = ["127.0.0.2:2", "127.0.0.3:2"]
LAUNCH_TIMEOUT = 120


class TwoNodes:
    def __init__(self, mpirun, setting, folder):
        self.mpirun, self.cluster, self.work = mpirun, folder / "cluster", folder / "work"
        self.cluster.mkdir()
        self.work.mkdir()
        self.hosts = setting(mpirun.family.remote_hosts(AGENT, NODES))

    def launch(self, procs, argv, setting=None):
        """`procs` processes over both nodes, two on each."""
        daemons = self.cluster / "daemons"
        return self.mpirun(procs, argv, self.work, self.hosts + setting if setting else self.hosts,
                           env={"PARBENCH_CLUSTER_DIR": str(self.cluster)}, timeout=LAUNCH_TIMEOUT,
                           before_retry=lambda: daemons.unlink(missing_ok=True))

    def daemons(self):
        return sorted((self.cluster / "daemons").read_text().split())


@pytest.fixture
def nodes(mpirun, setting, tmp_path):
    # The agent gives each node its own host name in a UTS namespace.
    if subprocess.run(["unshare", "--uts", "true"], capture_output=True).returncode != 0:
        pytest.skip("cannot create UTS namespaces here (unshare --uts failed; needs root or user namespaces), "
                    "so no stand-in nodes can be started")
    return TwoNodes(mpirun, setting, tmp_path)


def test_are_separate_hosts_that_share_no_memory(nodes, program, record_property):
    # The kernel's own record of the host name: a plain read, nothing for a
    # sanitizer build's preloaded runtime to find fault with.
    run = nodes.launch(4, ["cat", "/proc/sys/kernel/hostname"])
    assert run.status == 0, run.err
    assert sorted(run.out.split()) == ["nodeA", "nodeA", "nodeB", "nodeB"]
    assert nodes.daemons() == ["nodeA", "nodeB"]

    # Shared memory alone cannot join the two nodes: the run must fail.
    shared_memory = nodes.mpirun.family.shared_memory_only()
    if isinstance(shared_memory, mpi.Unavailable):
        record_property("shared_memory_only", shared_memory.why)
        return
    isolated = nodes.launch(4, [program("treesearch")], shared_memory)
    assert not isolated.timed_out
    assert isolated.status != 0, isolated.out
    assert isolated.leftovers == 0


@pytest.mark.parametrize("tcp", [False, True], ids=["default", "tcp-only"])
def test_a_shared_directory_gives_a_valid_report(nodes, program, setting, tree_report, tcp):
    run = nodes.launch(4, [program("treesearch")], setting(nodes.mpirun.family.tcp_only()) if tcp else None)
    tree_report.valid(run, 4, nodes.work)
    assert nodes.daemons() == ["nodeA", "nodeB"]
    assert run.leftovers == 0


def test_a_node_without_the_shared_directory_stops_the_run_and_leaves_nothing(nodes, program, tree_report, tmp_path):
    # Ranks 0 and 1 run on nodeA, 2 and 3 on nodeB, in a directory of its own.
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    started = time.monotonic()
    run = nodes.launch(4, nodes.mpirun.in_directory_of_rank(program("treesearch"),
                                                             [nodes.work, nodes.work, elsewhere, elsewhere]))
    assert not run.timed_out
    tree_report.failure(run, "all processes need the same working directory on a shared file system")
    # Well short of the launch's time limit: it stopped, it did not hang. Under the
    # sanitizers, beside other tests on two cores, it has taken 31 s.
    assert time.monotonic() - started < 90
    assert run.leftovers == 0
