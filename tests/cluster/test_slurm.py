"""The two batch scripts of cluster/ on a real, one-machine Slurm cluster
(slurm-cluster), their jobs checked by state and by what they wrote.

Bringing the cluster up writes system files and starts daemons, so it runs only
as root with PARBENCH_SLURM_TEST=1 (CI sets it)."""

import csv
import os
import re
import subprocess
import time

import pytest

from parbench import supervise

pytestmark = pytest.mark.cluster

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))


@pytest.fixture(scope="module")
def slurm(tmp_path_factory):
    if os.environ.get("PARBENCH_SLURM_TEST") != "1":
        pytest.skip("set PARBENCH_SLURM_TEST=1 to bring up a Slurm cluster on this machine (installs Slurm and "
                    "munge, writes the munge key, starts daemons; as root)")
    if os.geteuid() != 0:
        pytest.skip("bringing up Slurm needs root")
    folder = tmp_path_factory.mktemp("slurm")
    up = subprocess.run([os.path.join(HERE, "slurm-cluster"), "up", str(folder)], capture_output=True, text=True,
                        timeout=600)
    try:
        assert up.returncode == 0, up.stdout + up.stderr
        submit = folder / "submit"
        submit.mkdir()
        yield dict(os.environ, SLURM_CONF=str(folder / "slurm.conf")), submit
    finally:
        subprocess.run([os.path.join(HERE, "slurm-cluster"), "down", str(folder)], timeout=120)


def submit(slurm, *args):
    env, folder = slurm
    out = subprocess.run(["sbatch", "--parsable", *args], capture_output=True, text=True, env=env, cwd=folder,
                         timeout=60, check=True)
    return out.stdout.strip().split(";")[0]


def wait(slurm, job, limit):
    """The job's "STATE EXIT" once it has ended; polls its record (sbatch --wait
    polls slowly and can take a cancelled job for a finished one)."""
    env, _ = slurm
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        record = subprocess.run(["scontrol", "-o", "show", "job", job], capture_output=True, text=True, env=env).stdout
        state = re.search(r" JobState=([A-Z_]*) ", record)
        if state and state.group(1) not in ("PENDING", "CONFIGURING", "RUNNING", "COMPLETING"):
            return "%s %s" % (state.group(1), re.search(r" ExitCode=([0-9:]*) ", record).group(1))
        time.sleep(0.25)
    subprocess.run(["scancel", job], env=env)
    return "TIMEOUT-OF-TEST"


def test_treesearch_batch_script_runs_one_valid_search_over_its_tasks(slurm, program, tree_report):
    # As it stands: the script asks for 4 tasks, on however many nodes. Standard
    # error goes to a file of its own so that the report can be read alone.
    job = submit(slurm, "--export=ALL,TREESEARCH=" + program("treesearch"), "--error=treesearch-%j.err",
                 os.path.join(REPO, "cluster", "treesearch.sbatch"))
    ended = wait(slurm, job, 180)
    folder = slurm[1]
    out = (folder / ("treesearch-%s.out" % job)).read_text()
    assert ended == "COMPLETED 0:0", out + (folder / ("treesearch-%s.err" % job)).read_text()
    announcement, report = out.split("\n", 1)
    assert announcement.startswith("treesearch: job %s, 4 tasks" % job)
    # The MPI may warn on standard error (Open MPI 5.0 on a host with IPv6); the report must be whole.
    tree_report.valid(supervise.Outcome(0, report, "", 0.0), 4, folder)


def test_suite_batch_script_sweeps_the_allocation(slurm, build):
    job = submit(slurm, "--export=ALL,REPEAT=1,BUILD_DIR=" + build.dir,
                 os.path.join(REPO, "cluster", "suite.sbatch"))
    ended = wait(slurm, job, 300)
    folder = slurm[1]
    out = (folder / ("suite-%s.out" % job)).read_text()
    assert ended == "COMPLETED 0:0", out
    with open(folder / ("suite-%s.csv" % job)) as f:
        valid = [r["procs"] for r in csv.DictReader(f) if r["verdict"] == "valid"]
    assert valid == ["1", "2", "4"], out
