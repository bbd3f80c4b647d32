"""Standard output closed or left by its reader: one line on standard error and
a status of its own, never a traceback. Closed from the start, nothing is done
(2); a reader that goes away ends the command as SIGPIPE would (141), and
run-suite keeps the runs that completed, as after any signal."""

import datetime
import json
import os
import signal
import subprocess
import sys
import time

import pytest

from conftest import NOW, ROOT, host_document, sample, stored
from parbench.model import store

pytestmark = pytest.mark.unit

LIMIT = 120
READER_GONE = 128 + signal.SIGPIPE
CLOSED_LINE = "results: error: standard output is closed: nothing could be shown"
GONE_LINE = "results: stopped: standard output was closed by its reader"


def closed(cmd):
    """`cmd` with its standard output closed, as `>&-` leaves it."""
    return ["sh", "-c", 'exec "$@" >&-', "sh", *cmd]


def to_a_gone_reader(cmd, **kwargs):
    """`cmd` run with its standard output a pipe that nobody reads any more."""
    read, write = os.pipe()
    os.close(read)
    try:
        return subprocess.run(cmd, stdout=write, stderr=subprocess.PIPE, text=True, timeout=LIMIT, **kwargs)
    finally:
        os.close(write)


def results_command(folder, *args):
    return [sys.executable, "-m", "parbench.history", *args, "--results", str(folder)]


@pytest.fixture
def hosts(tmp_path):
    """A store of three hosts, the first with two sessions, and a document to import."""
    docs = [host_document(host, [("treesearch", 2, [1.0, 1.1, 1.2])], NOW - datetime.timedelta(minutes=minutes))
            for host, minutes in (("b", 9), ("c", 8), ("a", 7), ("a", 6))]
    extra = tmp_path / "extra.json"
    extra.write_text(json.dumps(host_document("d", [("arraysum", 4, [0.1, 0.2])])))
    return stored(tmp_path / "store", *docs).folder, extra


def commands(tmp_path, extra):
    """Every results command, each with something to show."""
    return {"list": ["list"], "show": ["show", "latest"], "compare": ["compare"], "nodes": ["nodes"],
            "changes": ["changes"], "export": ["export"], "report": ["report", "--out", str(tmp_path / "r.html")],
            "export --output": ["export", "--output", str(tmp_path / "runs.csv")], "import": ["import", str(extra)]}


NAMES = ["list", "show", "compare", "nodes", "changes", "export", "report", "export --output", "import"]


@pytest.mark.parametrize("name", NAMES)
def test_a_results_command_with_its_output_closed_does_nothing_and_says_so(tmp_path, hosts, name):
    folder, extra = hosts
    before = sorted(os.listdir(folder))
    run = subprocess.run(closed(results_command(folder, *commands(tmp_path, extra)[name])), capture_output=True,
                         text=True, cwd=ROOT, timeout=LIMIT)
    assert (run.returncode, run.stderr.splitlines()) == (2, [CLOSED_LINE])
    assert sorted(os.listdir(folder)) == before
    assert sorted(p.name for p in tmp_path.iterdir()) == ["extra.json", "store"]


@pytest.mark.parametrize("name", NAMES)
def test_a_results_command_whose_reader_has_gone_ends_in_one_line_as_sigpipe_would(tmp_path, hosts, name):
    folder, extra = hosts
    run = to_a_gone_reader(results_command(folder, *commands(tmp_path, extra)[name]), cwd=ROOT)
    if name == "export --output":
        # Its rows go to the file, its line to standard error: nothing was lost.
        assert run.returncode == 0 and (tmp_path / "runs.csv").read_text().startswith("session,")
        assert run.stderr.startswith("export: 12 runs of 4 sessions to ")
        return
    assert (run.returncode, run.stderr.splitlines()[-1:]) == (READER_GONE, [GONE_LINE]), run.stderr
    assert "Traceback" not in run.stderr and "Exception" not in run.stderr
    # What was done before the first line was lost stands: the page written, the document imported.
    if name == "report":
        assert (tmp_path / "r.html").read_text().startswith("<!DOCTYPE html>")
    if name == "import":
        assert json.loads(extra.read_text())["session"] in [e.session for e in store.Store(folder).entries()]


@pytest.mark.parametrize("unbuffered", ["", "1"])
def test_export_read_by_head_ends_quietly_after_the_first_line(tmp_path, unbuffered):
    # Rows well beyond a pipe's 64 KiB, so that the reader leaves while they are being written.
    folder = stored(tmp_path / "store", host_document("a", [("treesearch", 2, [0.5] * 3000)])).folder
    env = dict(os.environ, PYTHONUNBUFFERED=unbuffered)
    exporting = subprocess.Popen(results_command(folder, "export"), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                 cwd=ROOT, env=env)
    assert exporting.stdout.readline().startswith(b"session,date,host,")
    exporting.stdout.close()
    err = exporting.stderr.read().decode()
    assert (exporting.wait(timeout=LIMIT), err.splitlines()) == (READER_GONE, [GONE_LINE])


def suite_runs(stand_ins, tmp_path):
    return stand_ins.command("--only", "queuedrain", "--repeat", "3", "--results", str(tmp_path / "store"))


def session_folders(stand_ins):
    folder = os.path.join(stand_ins.build, "run")
    return [n for n in os.listdir(folder) if os.path.isdir(os.path.join(folder, n))]


def stored_sessions(tmp_path):
    return store.Store(tmp_path / "store").entries(warn=pytest.fail)


def test_run_suite_with_its_output_closed_runs_nothing(stand_ins, tmp_path):
    run = subprocess.run(closed(suite_runs(stand_ins, tmp_path)), capture_output=True, text=True,
                         env=stand_ins.environment(), timeout=LIMIT)
    assert (run.returncode, run.stderr.splitlines()) == (2, [
        "run-suite: error: standard output is closed: the progress and the table could be shown nowhere"])
    assert not os.path.exists(os.path.join(stand_ins.build, "run")) and stored_sessions(tmp_path) == []


def test_run_suite_whose_reader_has_gone_before_the_first_run_stores_nothing(stand_ins, tmp_path):
    run = to_a_gone_reader(suite_runs(stand_ins, tmp_path), env=stand_ins.environment())
    assert (run.returncode, run.stderr.splitlines()) == (READER_GONE, [
        "run-suite: standard output was closed by its reader before the first run ended; nothing stored"])
    assert stored_sessions(tmp_path) == [] and session_folders(stand_ins) == []


def reader_leaving_during_the_first_run(stand_ins, tmp_path, program, body, repeat=3):
    """A runner of `program` whose first run waits for the reader of its output
    to go away; (status, standard error)."""
    flag = tmp_path / "reader-gone"
    stand_ins.program(program, "while [ ! -e %s ]; do sleep 0.05; done\n%s" % (flag, body))
    runner = subprocess.Popen(stand_ins.command("--only", program, "--repeat", str(repeat), "--results",
                                                str(tmp_path / "store")),
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=stand_ins.environment())
    deadline = time.monotonic() + LIMIT
    while "[1/%d]" % repeat not in runner.stdout.readline() and time.monotonic() < deadline:
        pass
    runner.stdout.close()
    flag.touch()
    err = runner.stderr.read()
    return runner.wait(timeout=LIMIT), err


def test_run_suite_whose_reader_goes_away_keeps_the_completed_runs_marked_as_interrupted(stand_ins, tmp_path):
    status, err = reader_leaving_during_the_first_run(stand_ins, tmp_path, "queuedrain", "echo 'Time:   0.002000 s'\n")
    assert (status, err.splitlines()) == (READER_GONE, [
        "run-suite: standard output was closed by its reader after 1 of 3 runs; the session is kept with those, "
        "marked as interrupted"])
    [entry] = stored_sessions(tmp_path)
    doc = json.loads(open(entry.path).read())
    assert doc["interrupted"] == {"signal": "SIGPIPE", "planned_runs": 3}
    assert [(r["program"], r["run"]) for r in doc["runs"]] == [("queuedrain", 1)]
    assert session_folders(stand_ins) == []


def test_run_suite_whose_reader_goes_away_during_its_last_run_keeps_the_session_whole(stand_ins, tmp_path):
    status, err = reader_leaving_during_the_first_run(stand_ins, tmp_path, "queuedrain", "echo 'Time:   0.002000 s'\n",
                                                      repeat=1)
    assert (status, err.splitlines()) == (READER_GONE, [
        "run-suite: standard output was closed by its reader; the session ran whole and is kept"])
    [entry] = stored_sessions(tmp_path)
    doc = json.loads(open(entry.path).read())
    assert doc["interrupted"] is None and len(doc["runs"]) == 1


@pytest.mark.slow
def test_the_line_of_a_long_run_that_meets_the_gone_reader_costs_no_traceback(stand_ins, tmp_path):
    # dynamicwork sleeps: a thread shows a line every 10 s while it runs, and meets the pipe first.
    status, err = reader_leaving_during_the_first_run(stand_ins, tmp_path, "dynamicwork",
                                                      "sleep 11\n" + stand_ins.report(sample("dynamicwork")))
    assert (status, err.splitlines()) == (READER_GONE, [
        "run-suite: standard output was closed by its reader after 1 of 3 runs; the session is kept with those, "
        "marked as interrupted"])
    [entry] = stored_sessions(tmp_path)
    assert json.loads(open(entry.path).read())["interrupted"]["signal"] == "SIGPIPE"
