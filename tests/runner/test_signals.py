"""Signals never lose completed runs: SIGINT, SIGTERM and SIGHUP stop the
running program with everything it started, keep the session marked as
interrupted, and end the runner with 128 + the signal's number; a runner killed
outright leaves a folder that the next one sweeps."""

import datetime
import json
import os
import signal
import subprocess
import time

import pytest

from parbench.model import store
from parbench.run import scratch

pytestmark = pytest.mark.unit

# Every wait for a runner that was sent a signal has this limit.
LIMIT = 60


def start(stand_ins, tmp_path, *args):
    """A runner whose splitwork stand-in waits on a long sleep, its pid noted."""
    pids = tmp_path / "pids"
    stand_ins.program("splitwork", "sleep 300 &\necho $! > %s\nwait\n" % pids)
    runner = subprocess.Popen(stand_ins.command("--results", str(tmp_path / "store"), *args),
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                              env=stand_ins.environment())
    deadline = time.monotonic() + LIMIT
    while not (pids.exists() and pids.stat().st_size) and time.monotonic() < deadline:
        time.sleep(0.05)
    assert pids.exists(), "the long stand-in never started"
    return runner, int(pids.read_text())


def run_folders(stand_ins):
    folder = os.path.join(stand_ins.build, "run")
    return [n for n in os.listdir(folder) if os.path.isdir(os.path.join(folder, n))]


@pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM, signal.SIGHUP])
def test_a_signal_keeps_the_completed_runs_marked_and_stops_the_program(stand_ins, tmp_path, alive, signum):
    name = signal.Signals(signum).name
    runner, sleeper = start(stand_ins, tmp_path, "--only", "queuedrain,splitwork,dynamicwork", "--repeat", "2")
    runner.send_signal(signum)
    out, err = runner.communicate(timeout=LIMIT)
    assert runner.returncode == 128 + signum, out + err
    assert "Traceback" not in err
    assert "interrupted by %s after 2 of 6 runs" % name in err
    assert not alive(sleeper), "the interrupted program's child is still running"
    assert run_folders(stand_ins) == [], "the session's folder was left behind"

    [entry] = store.Store(tmp_path / "store").entries(warn=pytest.fail)
    doc = json.loads(open(entry.path).read())
    assert doc["interrupted"] == {"signal": name, "planned_runs": 6}
    assert [(r["program"], r["run"]) for r in doc["runs"]] == [("queuedrain", 1), ("queuedrain", 2)]
    results = [stand_ins.command()[0], "-m", "parbench.history"]
    listing = subprocess.run(results + ["list", "--results", str(tmp_path / "store")], capture_output=True,
                             text=True, timeout=LIMIT, env=stand_ins.environment())
    assert listing.stdout.splitlines()[0].endswith("interrupted")
    assert listing.stdout.splitlines()[1].endswith(name)
    shown = subprocess.run(results + ["show", "latest", "--results", str(tmp_path / "store")], capture_output=True,
                           text=True, timeout=LIMIT, env=stand_ins.environment())
    assert "was interrupted by %s after 2 of 6 runs" % name in shown.stdout


def test_a_session_interrupted_before_its_first_run_ends_is_not_stored(stand_ins, tmp_path, alive):
    runner, sleeper = start(stand_ins, tmp_path, "--only", "splitwork,queuedrain")
    runner.send_signal(signal.SIGTERM)
    out, err = runner.communicate(timeout=LIMIT)
    assert runner.returncode == 128 + signal.SIGTERM, out + err
    assert err == "run-suite: stopped by SIGTERM before the first run ended; nothing stored\n"
    assert not alive(sleeper)
    assert not (tmp_path / "store").exists() or store.Store(tmp_path / "store").entries() == []
    assert run_folders(stand_ins) == []


def test_a_signal_while_starting_up_ends_quietly(stand_ins, tmp_path):
    # The launcher's version is asked while the plan is made: make that hang.
    started = tmp_path / "asked"
    stand_ins.script("mpirun", 'touch %s\nexec sleep 300\n' % started)
    runner = subprocess.Popen(stand_ins.command("--only", "treesearch"), stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, text=True, env=stand_ins.environment())
    deadline = time.monotonic() + LIMIT
    while not started.exists() and time.monotonic() < deadline:
        time.sleep(0.05)
    runner.send_signal(signal.SIGINT)
    out, err = runner.communicate(timeout=LIMIT)
    assert runner.returncode == 130
    assert err.splitlines() == ["run-suite: stopped by SIGINT before the first run ended; nothing stored"]


def test_a_runner_killed_outright_leaves_a_folder_that_the_next_run_sweeps(stand_ins, tmp_path, alive):
    runner, sleeper = start(stand_ins, tmp_path, "--only", "splitwork")
    try:
        [left] = run_folders(stand_ins)
        runner.kill()
        runner.communicate(timeout=LIMIT)
        assert run_folders(stand_ins) == [left]
        assert stand_ins.suite("--only", "queuedrain", "--results", str(tmp_path / "store")).returncode == 0
        assert run_folders(stand_ins) == []
    finally:
        os.kill(sleeper, signal.SIGKILL)


def test_only_folders_of_dead_sessions_are_swept(tmp_path):
    now = datetime.datetime.now(datetime.timezone.utc)

    def folder(age_h, owner=None):
        name = store.new_session_id(now - datetime.timedelta(hours=age_h))
        os.mkdir(tmp_path / name)
        if owner:
            (tmp_path / name / scratch.OWNER).write_text(json.dumps(owner))
        return name

    me = {"host": os.uname().nodename, "pid": os.getpid(), "started": scratch._started(os.getpid())}
    gone = subprocess.Popen(["true"])
    gone.wait()
    live = folder(1, me)
    fresh_unowned = folder(1)
    elsewhere = folder(1, dict(me, host="another-node"))
    dead = folder(1, dict(me, pid=gone.pid))
    reused = folder(1, dict(me, started="1"))   # the pid lives on, in another process
    old = folder(25, me)
    (tmp_path / "suite-x.log").write_text("")
    (tmp_path / "not-a-session").mkdir()
    assert sorted(scratch.sweep(str(tmp_path), now)) == sorted([dead, reused, old])
    assert sorted(os.listdir(tmp_path)) == sorted([live, fresh_unowned, elsewhere, "suite-x.log", "not-a-session"])
