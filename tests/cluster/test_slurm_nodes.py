"""cluster/nodes.sbatch on a three-node Slurm cluster on one machine
(slurm-cluster up DIR 3): each node has a host name of its own, and node2's
tasks run beside busy loops, four for each of the machine's cores. The job must name node2
as the slow node, and no other.

Like the other Slurm tests it runs only as root with PARBENCH_SLURM_TEST=1."""

import json
import os
import subprocess

import pytest

from test_slurm import REPO, submit, wait

pytestmark = pytest.mark.cluster

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
    # Busy loops for as long as a task of the slow node runs, started apart from
    # the task (setsid) so they hold no pipe of it open. A few more than the
    # cores: arraysum's phase is a few milliseconds, and a CPU kept busy wakes
    # its threads sooner, which one loop a core would make faster, not slower.
    script(folder / "task-prolog", '[ "$(hostname)" = %s ] || exit 0\nfor i in $(seq $((4 * $(nproc)))); do\n'
           '    setsid sh -c "while :; do :; done" </dev/null >/dev/null 2>&1 &\n    echo $! >>%s\ndone\n'
           % (SLOW, hogs))
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


def test_the_nodes_job_names_the_slow_node_and_no_other(three_nodes, build):
    env, folder = three_nodes
    store = folder / "store"
    job = submit(three_nodes, "--export=ALL,ONLY=arraysum,REPEAT=5,RESULTS=%s,BUILD_DIR=%s" % (store, build.dir),
                 os.path.join(REPO, "cluster", "nodes.sbatch"))
    ended = wait(three_nodes, job, 300)
    out = (folder / ("nodes-%s.out" % job)).read_text()
    # The job's exit status is results nodes': 3, a node is slower.
    assert ended == "FAILED 3:0", out
    # One session per node, each under the node's own host name.
    hosts = sorted(json.loads(p.read_text())["provenance"]["host"] for p in store.glob("[0-9]*.json"))
    assert hosts == ["node1", "node2", "node3"], out
    slow = [line for line in out.splitlines() if line.startswith("slow")]
    assert len(slow) == 1 and SLOW in slow[0] and "node1" not in slow[0] and "node3" not in slow[0], out
