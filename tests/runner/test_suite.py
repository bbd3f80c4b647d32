"""The suite runner end to end, against stand-in programs."""

import csv
import json
import os
import signal
import subprocess
import time

import pytest

pytestmark = pytest.mark.unit


def test_good_runs_give_csv_rows_table_and_log(stand_ins, tmp_path):
    out_csv = tmp_path / "runs.csv"
    run = stand_ins.suite("--only", "treesearch,arraysum,queuedrain", "--repeat", "2", "--procs", "1,3",
                          "--csv", str(out_csv))
    assert run.returncode == 0, run.stdout + run.stderr
    text = out_csv.read_text()
    assert "\r" not in text
    rows = list(csv.reader(text.splitlines()))
    # The eight first columns stay as they were; threads, then environment and placement, come after.
    assert rows[0] == ["program", "run", "procs", "parallel_s", "sequential_s", "time_s", "speedup_pct", "verdict",
                       "threads", "environment", "bind"]
    assert len(rows) == 1 + 2 * 2 + 2 + 2
    assert rows[1] == ["treesearch", "1", "1", "0.491000", "0.991000", "", "201.83", "valid", "", "", ""]
    assert rows[5][-3] == "4"
    assert rows[-1] == ["queuedrain", "2", "", "", "", "0.002000", "", "", "1", "", ""]
    assert "[8/8] queuedrain, run 2 of 2" in run.stdout
    # Median speed-up 201.83 % over 3 processes: efficiency 67.3 %.
    assert any(line.split()[:3] == ["treesearch", "3", "2"] and line.split()[-2:] == ["201.83", "67.3"]
               for line in run.stdout.splitlines())
    launches = stand_ins.launches()
    assert len(launches) == 4
    assert all(a.startswith("-n 1 ") for a in launches[:2])
    [log] = stand_ins.logs()
    with open(log) as f:
        assert f.read().count("Solution Valid") == 2
    # Without --json the document still lands beside the log.
    with open(log[:-4] + ".json") as f:
        doc = json.load(f)
    assert len(doc["runs"]) == 8
    assert [(g["program"], g["procs"], g["threads"], g["runs"]) for g in doc["summary"]] == \
        [("treesearch", 1, None, 2), ("treesearch", 3, None, 2), ("arraysum", None, 4, 2), ("queuedrain", None, 1, 2)]
    assert "--repeat 2" in doc["provenance"]["command"]


def test_thread_sweep_of_dynamicwork(stand_ins, tmp_path):
    # Ideal scaling: 40 s of work over the team the runtime is given.
    stand_ins.program("dynamicwork", 'echo "Time:   $((40 / OMP_NUM_THREADS)).000000 s"\n')
    out_csv, plot = tmp_path / "runs.csv", tmp_path / "scaling.png"
    run = stand_ins.suite("--only", "dynamicwork", "--threads", "1,2,4", "--csv", str(out_csv), "--plot", str(plot))
    assert run.returncode == 0, run.stderr
    with open(out_csv) as f:
        assert [(r["threads"], r["time_s"]) for r in csv.DictReader(f)] == \
            [("1", "40.000000"), ("2", "20.000000"), ("4", "10.000000")]
    assert "dynamicwork speed-up against 1 thread: 1 thread 100 %, 2 threads 200 %, 4 threads 400 %" in run.stdout
    # Perfect scaling: no serial fraction, and the sleeping threads beyond the cores are fitted too.
    assert "dynamicwork: serial fraction f = 0.000 (95 % interval" in run.stdout
    assert "fitted too: its work sleeps and takes no core" in run.stdout or os.cpu_count() >= 4
    assert (tmp_path / "scaling-dynamicwork.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert not plot.exists(), "no treesearch counts, so no treesearch plot"


def test_ctrl_c_stops_the_program_and_keeps_the_runs_done(stand_ins, tmp_path, alive):
    pids = tmp_path / "pids"
    stand_ins.program("splitwork", "sleep 300 &\necho $! > %s\nwait\n" % pids)
    out_csv = tmp_path / "runs.csv"
    suite = subprocess.Popen(stand_ins.command("--only", "queuedrain,splitwork,dynamicwork", "--csv", str(out_csv)),
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=stand_ins.environment())
    for _ in range(200):
        if pids.exists() and pids.stat().st_size:
            break
        time.sleep(0.05)
    suite.send_signal(signal.SIGINT)
    out, err = suite.communicate(timeout=60)
    assert suite.returncode == 130, out + err
    assert "Traceback" not in err
    assert "interrupted by SIGINT after 1 of 3 runs" in err
    assert any(line.split()[:3] == ["queuedrain", "1", "1"] for line in out.splitlines())
    with open(out_csv) as f:
        assert [r["program"] for r in csv.DictReader(f)] == ["queuedrain"]
    assert not alive(int(pids.read_text())), "the interrupted program's child is still running"


def test_invalid_and_failed_runs_exit_non_zero_and_are_named(stand_ins, sample):
    stand_ins.program("arraysum", stand_ins.report(sample("arraysum-invalid")) + "exit 2\n")
    run = stand_ins.suite("--only", "arraysum,splitwork,dynamicwork")
    assert run.returncode == 1
    assert "arraysum run 1 reported an invalid solution" in run.stderr
    assert "splitwork run 1 failed (exit status 1): splitwork: cannot allocate" in run.stderr
    assert "dynamicwork run" not in run.stderr


def test_a_program_that_is_not_built_stops_the_run(stand_ins):
    stand_ins.remove("queuedrain")
    run = stand_ins.suite("--only", "queuedrain")
    assert run.returncode == 1
    assert "queuedrain is not built" in run.stderr


def test_plot_without_enough_points_says_so(stand_ins, tmp_path):
    run = stand_ins.suite("--only", "treesearch", "--procs", "2", "--plot", str(tmp_path / "p.png"))
    assert run.returncode == 0
    assert "needs treesearch at two or more process counts" in run.stdout


def test_without_scipy_and_matplotlib_the_runs_table_and_json_still_work(stand_ins, tmp_path):
    # Neither can be imported, as on a machine where they could not be installed.
    blocked = tmp_path / "blocked"
    for name in ("scipy", "matplotlib"):
        (blocked / name).mkdir(parents=True)
        (blocked / name / "__init__.py").write_text("raise ImportError('not installed')\n")
    stand_ins.program("dynamicwork", 'echo "Time:   $((40 / OMP_NUM_THREADS)).000000 s"\n')
    env = {"PYTHONPATH": "%s:%s" % (blocked, stand_ins.environment()["PYTHONPATH"])}
    args = ["--only", "dynamicwork", "--threads", "1,2,4", "--repeat", "5", "--results", str(tmp_path / "store")]
    assert stand_ins.suite(*args, **env).returncode == 0
    run = stand_ins.suite(*args, "--baseline", "latest", "--plot", str(tmp_path / "p.png"), "--report",
                          str(tmp_path / "r.html"), "--json", str(tmp_path / "doc.json"), **env)
    assert run.returncode == 0, run.stderr
    install = "(apt-get install python3-matplotlib python3-scipy, or pip install --user matplotlib scipy)"
    assert "dynamicwork: no Amdahl fit: SciPy is not installed %s" % install in run.stdout
    assert "plot: matplotlib is not installed %s; the table above is all there is" % install in run.stdout
    assert "report: matplotlib is not installed %s; no report written" % install in run.stdout
    # Up to its limit of runs the rank test is counted out without SciPy.
    assert "baseline: no change: dynamicwork with 4 threads" in run.stdout and "Mann-Whitney" not in run.stdout
    assert "dynamicwork  4" in run.stdout and json.loads((tmp_path / "doc.json").read_text())["summary"]
    assert not (tmp_path / "p.png").exists() and not (tmp_path / "r.html").exists()
