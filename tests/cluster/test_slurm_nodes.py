"""cluster/nodes.sbatch on a three-node Slurm cluster on one machine
(slurm-cluster up DIR 3): each node has a host name of its own, and node2's
tasks run under a CPU quota of a quarter of a core (its cgroup's cpu controller, v2 or
v1), or beside busy loops where no such controller can be written. The job must
name node2 as the slow node, and no other.

Like the other Slurm tests it runs only as root with PARBENCH_SLURM_TEST=1."""

import json
import os
import subprocess

import pytest

from test_slurm import REPO, submit, wait

pytestmark = [pytest.mark.cluster, pytest.mark.slow]

HERE = os.path.dirname(os.path.abspath(__file__))
SLOW = "node2"


def script(path, text):
    path.write_text("#!/bin/sh\n" + text)
    path.chmod(0o755)


@pytest.fixture(scope="module")
def three_nodes(tmp_path_factory):
    if os.environ.get("PARBENCH_SLURM_TEST") != "1":
        pytest.skip("set PARBENCH_SLURM_TEST=1 to bring up a Slurm cluster on this machine (as root)")
    if os.geteuid() != 0:
        pytest.skip("bringing up Slurm needs root")
    folder = tmp_path_factory.mktemp("slurm-nodes")
    hogs = folder / "hogs"
    group = "parbench-slow-%d" % os.getpid()
    # A quota slows every run alike, whatever else the machine is doing; busy
    # loops beside a phase of a few milliseconds slow it only by chance when
    # other tests load the cores too. The quota's short period throttles even
    # arraysum's phase. The task's process is moved before it starts
    # (SLURM_TASK_PID), so all it starts stays in the group.
    script(folder / "task-prolog", """[ "$(hostname)" = {slow} ] || exit 0
v2=/sys/fs/cgroup v1=/sys/fs/cgroup/cpu
if grep -qw cpu $v2/cgroup.controllers 2>/dev/null && {{ grep -qw cpu $v2/cgroup.subtree_control ||
        echo +cpu >$v2/cgroup.subtree_control; }} 2>/dev/null &&
        mkdir -p $v2/{group} && echo "1000 4000" >$v2/{group}/cpu.max &&
        echo "$SLURM_TASK_PID" >$v2/{group}/cgroup.procs; then
    echo "cgroup v2 cpu.max" >{folder}/slowed-by; exit 0
fi
if [ -f $v1/cpu.cfs_quota_us ] && mkdir -p $v1/{group} 2>/dev/null &&
        echo 4000 >$v1/{group}/cpu.cfs_period_us && echo 1000 >$v1/{group}/cpu.cfs_quota_us &&
        echo "$SLURM_TASK_PID" >$v1/{group}/cgroup.procs; then
    echo "cgroup v1 cpu quota" >{folder}/slowed-by; exit 0
fi
# A few more busy loops than cores, started apart from the task (setsid) so they
# hold no pipe of it open: one loop a core keeps the CPUs awake and makes
# arraysum's short phase faster, not slower.
echo "busy loops" >{folder}/slowed-by
for i in $(seq $((4 * $(nproc)))); do
    setsid sh -c "while :; do :; done" </dev/null >/dev/null 2>&1 &
    echo $! >>{hogs}
done
""".format(slow=SLOW, group=group, folder=folder, hogs=hogs))
    script(folder / "task-epilog", '[ "$(hostname)" = %s ] || exit 0\n[ -f %s ] && kill $(cat %s) 2>/dev/null\n'
           'rm -f %s\nexit 0\n' % (SLOW, hogs, hogs, hogs))
    up = subprocess.run([os.path.join(HERE, "slurm-cluster"), "up", str(folder), "3"], capture_output=True,
                        text=True, timeout=600)
    try:
        assert up.returncode == 0, up.stdout + up.stderr
        submit_dir = folder / "submit"
        submit_dir.mkdir()
        yield dict(os.environ, SLURM_CONF=str(folder / "slurm.conf")), submit_dir
    finally:
        subprocess.run([os.path.join(HERE, "slurm-cluster"), "down", str(folder)], timeout=120)
        if hogs.exists():
            subprocess.run(["sh", "-c", "kill $(cat %s)" % hogs])
        for parent in ("/sys/fs/cgroup", "/sys/fs/cgroup/cpu"):
            try:
                os.rmdir(os.path.join(parent, group))
            except OSError:
                pass


def test_the_nodes_job_names_the_slow_node_and_no_other(three_nodes, build):
    env, folder = three_nodes
    store = folder / "store"
    job = submit(three_nodes, "--export=ALL,ONLY=arraysum,REPEAT=10,RESULTS=%s,BUILD_DIR=%s" % (store, build.dir),
                 os.path.join(REPO, "cluster", "nodes.sbatch"))
    ended = wait(three_nodes, job, 300)
    out = (folder / ("nodes-%s.out" % job)).read_text()
    slowed = folder.parent / "slowed-by"
    out = "%s slowed by %s\n%s" % (SLOW, slowed.read_text().strip() if slowed.exists() else "nothing", out)
    # The job's exit status is results nodes': 3, a node is slower.
    assert ended == "FAILED 3:0", out
    # One session per node, each under the node's own host name.
    hosts = sorted(json.loads(p.read_text())["provenance"]["host"] for p in store.glob("[0-9]*.json"))
    assert hosts == ["node1", "node2", "node3"], out
    slow = [line for line in out.splitlines() if line.startswith("slow")]
    assert len(slow) == 1 and SLOW in slow[0] and "node1" not in slow[0] and "node3" not in slow[0], out
