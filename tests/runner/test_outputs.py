"""Outputs are written whole or not at all, after the session is stored, and a
failed one costs a line, never the exit status the runs earned. Every one is
checked before the first run by writing where it goes; one written over keeps
its mode; the CSV's cells are inert in a spreadsheet."""

import csv
import json
import os
import stat
import subprocess

import pytest

from conftest import sample
from parbench.model import store
from test_files import read_only_bind

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
    assert entry.groups == (("queuedrain", None, 1, None, None),)


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


def test_the_csv_makes_what_a_program_printed_inert_for_a_spreadsheet_and_keeps_numbers(stand_ins, tmp_path):
    stand_ins.program("arraysum", stand_ins.report(
        sample("arraysum-valid").replace("Parallel:   0.000000", "Parallel:   -0.5").replace(
            "Sequential: 0.007000", "Sequential: =HYPERLINK(\"http://x\",\"y\")").replace(
            "Speedup: inf", "Speedup: -inf")))
    stand_ins.program("queuedrain", stand_ins.report("Time:   +cmd|'/C'!A0 s\n"))
    out = tmp_path / "runs.csv"
    run = stand_ins.suite("--only", "arraysum,queuedrain", "--csv", str(out), "--no-store")
    assert run.returncode == 1, run.stdout + run.stderr
    with open(out, newline="") as f:
        rows = {r["program"]: r for r in csv.DictReader(f)}
    assert (rows["arraysum"]["parallel_s"], rows["arraysum"]["sequential_s"], rows["arraysum"]["speedup_pct"]) == \
        ("-0.5", "'=HYPERLINK(\"http://x\",\"y\")", "'-inf")
    assert (rows["queuedrain"]["time_s"], rows["queuedrain"]["threads"]) == ("'+cmd|'/C'!A0", "1")


def test_the_json_written_over_a_file_keeps_its_mode(stand_ins, tmp_path):
    doc = tmp_path / "doc.json"
    doc.write_text("old")
    # Root may write over a read-only file; a user would be refused it before the first run.
    bits = 0o444 if os.geteuid() == 0 else 0o640
    os.chmod(doc, bits)
    run = stand_ins.suite("--only", "queuedrain", "--json", str(doc), "--no-store")
    assert run.returncode == 0, run.stdout + run.stderr
    assert json.loads(doc.read_text())["runs"] and stat.S_IMODE(doc.stat().st_mode) == bits


# Each destination in a folder that refuses new files, to root as well: the option it is refused for.
REFUSED = [
    (["--json", "/proc/doc.json"], "--json: cannot write /proc/doc.json: the folder /proc cannot be written: it "
     "takes no new files"),
    (["--csv", "/sys/runs.csv"], "--csv: cannot write /sys/runs.csv: the folder /sys cannot be written: "
     "Permission denied"),
    (["--report", "/proc/report.html"], "--report: cannot write /proc/report.html"),
    (["--plot", "/proc/scaling.png"], "--plot: cannot write /proc/scaling.png"),
    (["--trace-dir", "/proc"], "--trace-dir: cannot write archives in /proc: it cannot be written: it takes no "
     "new files"),
    (["--trace-dir", "/proc/otf2/archives"], "--trace-dir: cannot write archives in /proc/otf2/archives: /proc "
     "cannot be written: it takes no new files"),
    (["--scratch", "/sys/kernel/parbench"], "--scratch: cannot write in /sys/kernel/parbench: /sys/kernel cannot "
     "be written: Permission denied"),
]


@pytest.mark.parametrize("args, line", REFUSED, ids=[a[0] for a, _ in REFUSED])
def test_every_destination_is_checked_by_writing_into_it_before_the_first_run(stand_ins, tmp_path, args, line):
    run = stand_ins.suite("--only", "queuedrain", "--results", str(tmp_path / "store"), *args)
    assert run.returncode == 2, run.stdout + run.stderr
    [said] = run.stderr.splitlines()
    assert said.startswith("run-suite: error: " + line), said
    assert run.stdout == "" and not (tmp_path / "store").exists()
    assert not os.path.exists(os.path.join(stand_ins.build, "run"))


def test_a_read_only_mount_is_refused_for_the_scratch_folder_and_an_output(stand_ins, tmp_path):
    mounted = tmp_path / "mounted"
    (mounted / "run").mkdir(parents=True)
    for args, option in ((["--scratch", str(mounted / "run")], "--scratch"),
                         (["--csv", str(mounted / "runs.csv")], "--csv")):
        run = subprocess.run(read_only_bind(mounted) + stand_ins.command("--only", "queuedrain", "--no-store", *args),
                             capture_output=True, text=True, env=stand_ins.environment(), timeout=120)
        assert run.returncode == 2, run.stdout + run.stderr
        assert run.stderr.startswith("run-suite: error: %s: cannot write" % option) and \
            run.stderr.rstrip().endswith("Read-only file system"), run.stderr
    assert [p.name for p in mounted.iterdir()] == ["run"] and list((mounted / "run").iterdir()) == []
