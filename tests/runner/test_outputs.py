"""Outputs are written whole or not at all, after the session is stored, and a
failed one costs a line, never the exit status the runs earned."""

import json

import pytest

from parbench import store

pytestmark = pytest.mark.unit


def slower_baseline(tmp_path):
    path = tmp_path / "baseline.json"
    path.write_text(json.dumps({
        "format": 2, "session": "20261201T000000.000Z-vm-abcdef", "provenance": {}, "scaling": [],
        "runs": [{"program": "queuedrain", "run": i, "procs": None, "threads": 1, "time_s": "0.002000",
                  "problem": None} for i in range(1, 6)],
        "summary": [{"program": "queuedrain", "procs": None, "threads": 1, "runs": 5, "failed": 0,
                     "time_s": {"median": 0.002, "min": 0.002, "max": 0.002, "cv_pct": 0.0}}]}))
    return str(path)


def test_outputs_that_fail_late_cost_a_line_and_keep_the_session_and_the_status(stand_ins, tmp_path):
    # The folder the outputs go to is there when the run starts and gone when they are written.
    gone = tmp_path / "gone"
    gone.mkdir()
    stand_ins.program("queuedrain", "rm -rf %s\necho 'Time:   0.009000 s'\n" % gone)
    run = stand_ins.suite("--only", "queuedrain", "--repeat", "5", "--results", str(tmp_path / "store"),
                          "--baseline", slower_baseline(tmp_path), "--json", str(gone / "doc.json"),
                          "--csv", str(gone / "runs.csv"), "--report", str(gone / "report.html"))
    assert run.returncode == 3, run.stdout + run.stderr
    assert "Traceback" not in run.stderr
    lost = [line for line in run.stderr.splitlines() if "was not written" in line]
    assert [line.split(" was not written")[0] for line in lost] == [
        "run-suite: the document %s" % (gone / "doc.json"), "run-suite: the CSV %s" % (gone / "runs.csv"),
        "run-suite: the report %s" % (gone / "report.html")]
    [entry] = store.Store(tmp_path / "store").entries(warn=pytest.fail)
    assert entry.groups == (("queuedrain", None, 1),)


def test_a_report_that_cannot_be_made_leaves_the_old_one_whole(stand_ins, tmp_path, results):
    folder = tmp_path / "store"
    assert stand_ins.suite("--only", "queuedrain", "--results", str(folder)).returncode == 0
    old = tmp_path / "report.html"
    old.write_text("the old report")
    for args in (["--session", "nosuch"], ["--baseline", "nosuch"]):
        failed = results(folder, "report", "--out", str(old), *args)
        assert failed.returncode == 2 and len(failed.stderr.splitlines()) == 1, failed.stderr
        assert old.read_text() == "the old report"
    refused = results(folder, "report", "--out", "/dev/null/report.html")
    assert refused.returncode == 2
    assert refused.stderr.startswith("results: error: --out: cannot write /dev/null/report.html")
    made = results(folder, "report", "--out", str(old))
    assert made.returncode == 0 and old.read_text().startswith("<!DOCTYPE html>")
    assert [p.name for p in tmp_path.iterdir() if p.name.endswith(".tmp")] == []
