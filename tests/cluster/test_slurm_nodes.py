"""cluster/nodes.sbatch on a six-node Slurm cluster on one machine
(slurm-cluster up DIR 6): each node has a host name of its own; node2's tasks
run under a CPU quota of a tenth of a core (its cgroup's cpu controller, v2 or
v1), or beside busy loops where no such controller can be written, and node5's
task is killed before it starts, as on a node that dies. The job must name
node2 as the slow node and no other, name node5 as the node without a
session, and fail.

Like the other Slurm tests it runs only as root with PARBENCH_SLURM_TEST=1."""

import json
import os
import subprocess

import pytest

from conftest import write_script
from test_slurm import REPO, submit, wait

pytestmark = [pytest.mark.cluster, pytest.mark.slow]

HERE = os.path.dirname(os.path.abspath(__file__))
SLOW, DEAD, NODES = "node2", "node5", 6


def write(path, text):
    with open(path, "w") as f:
        f.write(text)


def quota_group(name):
    """A cgroup held to a tenth of a core, by the cgroup v2 or else the v1 CPU
    controller: its folder, or None where neither can be written."""
    v2 = "/sys/fs/cgroup"
    try:
        with open(os.path.join(v2, "cgroup.controllers")) as f:
            if "cpu" in f.read().split():
                with open(os.path.join(v2, "cgroup.subtree_control")) as f:
                    if "cpu" not in f.read().split():
                        write(os.path.join(v2, "cgroup.subtree_control"), "+cpu")
                group = os.path.join(v2, name)
                os.makedirs(group, exist_ok=True)
                write(os.path.join(group, "cpu.max"), "1000 10000")
                return group
    except OSError:
        pass
    if not os.path.isfile(os.path.join(v2, "cpu", "cpu.cfs_quota_us")):
        return None
    try:
        group = os.path.join(v2, "cpu", name)
        os.makedirs(group, exist_ok=True)
        write(os.path.join(group, "cpu.cfs_period_us"), "10000")
        write(os.path.join(group, "cpu.cfs_quota_us"), "1000")
        return group
    except OSError:
        return None


@pytest.fixture(scope="module")
def six_nodes(tmp_path_factory):
    """The cluster's environment, the folder to submit from, and whether node2
    is slowed by a CPU quota (else by busy loops)."""
    if os.environ.get("PARBENCH_SLURM_TEST") != "1":
        pytest.skip("set PARBENCH_SLURM_TEST=1 to bring up a Slurm cluster on this machine (as root)")
    if os.geteuid() != 0:
        pytest.skip("bringing up Slurm needs root")
    folder = tmp_path_factory.mktemp("slurm-nodes")
    hogs = folder / "hogs"
    # A quota slows every run alike, whatever else the machine is doing; busy
    # loops beside a phase of a few milliseconds slow it only by chance when
    # other tests load the cores too. The quota's short period throttles even
    # arraysum's phase. The task's process is moved before it starts
    # (SLURM_TASK_PID), so all it starts stays in the group.
    group = quota_group("parbench-slow-%d" % os.getpid())
    dead = '[ "$(hostname)" = %s ] && { kill -9 "$SLURM_TASK_PID"; exit 0; }\n' % DEAD
    if group:
        write_script(str(folder / "task-prolog"), dead + '[ "$(hostname)" = %s ] || exit 0\necho "$SLURM_TASK_PID" >%s\n'
                     % (SLOW, os.path.join(group, "cgroup.procs")))
    else:
        # A few more busy loops than cores, started apart from the task
        # (setsid) so they hold no pipe of it open: one loop a core keeps the
        # CPUs awake and makes arraysum's short phase faster, not slower.
        write_script(str(folder / "task-prolog"), dead + '[ "$(hostname)" = %s ] || exit 0\n'
                     'for i in $(seq $((4 * $(nproc)))); do\n'
                     '    setsid sh -c "while :; do :; done" </dev/null >/dev/null 2>&1 &\n    echo $! >>%s\ndone\n'
                     % (SLOW, hogs))
        write_script(str(folder / "task-epilog"), '[ "$(hostname)" = %s ] || exit 0\n[ -f %s ] && kill $(cat %s) 2>/dev/null\n'
               'rm -f %s\nexit 0\n' % (SLOW, hogs, hogs, hogs))
    up = subprocess.run([os.path.join(HERE, "slurm-cluster"), "up", str(folder), str(NODES)], capture_output=True,
                        text=True, timeout=600)
    try:
        assert up.returncode == 0, up.stdout + up.stderr
        submit_dir = folder / "submit"
        submit_dir.mkdir()
        yield dict(os.environ, SLURM_CONF=str(folder / "slurm.conf")), submit_dir, group is not None
    finally:
        subprocess.run([os.path.join(HERE, "slurm-cluster"), "down", str(folder)], timeout=120)
        if hogs.exists():
            subprocess.run(["sh", "-c", "kill $(cat %s)" % hogs])
        if group:
            try:
                os.rmdir(group)
            except OSError:
                pass


def test_the_nodes_job_names_the_slow_node_and_the_dead_one_and_fails(six_nodes, build):
    env, folder, quota = six_nodes
    slurm = env, folder
    store = folder / "store"
    # Under a quota, all nodes at once: whatever else loads the machine loads
    # them alike (one at a time, node1 once came out at twice node3's time).
    # Busy loops would slow every node at once, so then one at a time.
    job = submit(slurm, "--nodes=%d" % NODES, "--export=ALL,ONLY=arraysum,REPEAT=10,MODE=%s,RESULTS=%s,BUILD_DIR=%s"
                 % ("all" if quota else "one", store, build.dir), os.path.join(REPO, "cluster", "nodes.sbatch"))
    ended = wait(slurm, job, 300)
    out = "%s slowed by %s\n%s" % (SLOW, "a CPU quota" if quota else "busy loops",
                                   (folder / ("nodes-%s.out" % job)).read_text())
    # A node that stored nothing fails the sweep, before a slow one.
    assert ended == "FAILED 1:0", out
    # One session per living node, each under the node's own host name.
    hosts = sorted(json.loads(p.read_text())["provenance"]["host"] for p in store.glob("[0-9]*.json"))
    assert hosts == ["node%d" % k for k in range(1, NODES + 1) if "node%d" % k != DEAD], out
    lines = out.splitlines()
    assert [line for line in lines if line.startswith("slow")] == [
        line for line in lines if line.startswith("slow: %s (arraysum with 4 threads: +" % SLOW)], out
    assert len([line for line in lines if line.startswith("slow")]) == 1, out
    assert "missing: %s (no session)" % DEAD in lines, out
