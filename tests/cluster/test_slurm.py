"""The two batch scripts of cluster/ on a real, one-machine Slurm cluster
(slurm-cluster), their jobs checked by state and by what they wrote; and the
runner in a job that Slurm stops at its time limit.

Bringing the cluster up writes system files and starts daemons, so it runs only
as root with PARBENCH_SLURM_TEST=1 (CI sets it)."""

import csv
import json
import os
import re
import shlex
import signal
import subprocess
import sys
import time

import pytest

from parbench.base import supervise
from parbench.model import programs, store
from parbench.run import tracing as trace

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
    job = submit(slurm, "--export=ALL,REPEAT=1,TRACE=1,BUILD_DIR=" + build.dir,
                 os.path.join(REPO, "cluster", "suite.sbatch"))
    ended = wait(slurm, job, 300)
    folder = slurm[1]
    out = (folder / ("suite-%s.out" % job)).read_text()
    assert ended == "COMPLETED 0:0", out
    with open(folder / ("suite-%s.csv" % job)) as f:
        valid = [r["procs"] for r in csv.DictReader(f) if r["verdict"] == "valid"]
    assert valid == ["1", "2", "4"], out
    # Traced inside the allocation, each count's processes in the launcher's own words.
    why = trace.unavailable(build, programs.get("treesearch"))
    if why:
        assert "treesearch runs untraced: " + why in out
    else:
        assert ["treesearch with %s: load balance" % n in out for n in ("1 process", "2 processes", "4 processes")] \
            == [True] * 3, out


# A minute and more (Slurm's limits count in minutes), and stand-ins only: the
# long entry, which the MPICH roots leave out.
@pytest.mark.slow
def test_a_job_at_its_time_limit_keeps_its_completed_runs(slurm, stand_ins, tmp_path, alive):
    # Slurm signals only the processes it tracks, the batch step's descendants.
    # The long stand-in leaves a sleep outside them (its parent exits at once),
    # and both ignore SIGTERM: only the runner's stopping of the program's
    # session, SIGKILL after the grace period, can end them.
    pids = tmp_path / "pids"
    stand_ins.program("splitwork", "trap '' TERM\necho $$ >> {0}\nsh -c 'sleep 600 & echo $! >> {0}'\n"
                                   "exec sleep 600\n".format(shlex.quote(str(pids))))
    results = tmp_path / "store"
    script = tmp_path / "timelimit.sbatch"
    # exec: the runner is the batch step's process, so it gets Slurm's SIGTERM itself.
    script.write_text("#!/bin/sh\nPYTHONPATH=%s exec %s -m parbench --build-dir %s --only queuedrain,splitwork "
                      "--repeat 3 --results %s\n" % tuple(shlex.quote(str(a)) for a in (
                          REPO, sys.executable, stand_ins.build, results)))
    output = tmp_path / "timelimit.out"
    job = submit(slurm, "--time=1", "--chdir=%s" % tmp_path, "--output=%s" % output, str(script))
    try:
        # The limit is a minute; slurmctld looks for jobs over it only every 30 s.
        ended = wait(slurm, job, 240)
        out = output.read_text() if output.exists() else "(no job output)"
        # The job's exit code is the runner's: 128 + SIGTERM.
        assert ended == "TIMEOUT %d:0" % (128 + signal.SIGTERM), out
        assert "interrupted by SIGTERM after 3 of 6 runs" in out, out
        assert "Traceback" not in out, out

        [entry] = store.Store(str(results)).entries(warn=pytest.fail)
        with open(entry.path) as f:
            doc = json.load(f)
        assert doc["interrupted"] == {"signal": "SIGTERM", "planned_runs": 6}
        assert [(r["program"], r["run"]) for r in doc["runs"]] == [("queuedrain", i) for i in (1, 2, 3)]

        started = [int(p) for p in pids.read_text().split()]
        assert len(started) == 2, out
        assert [p for p in started if alive(p)] == [], "the stand-in's sleeps outlived the job"
    finally:
        for pid in [int(p) for p in pids.read_text().split()] if pids.exists() else []:
            if alive(pid):
                os.kill(pid, signal.SIGKILL)
