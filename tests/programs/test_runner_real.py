"""The suite runner with the real programs: a sweep, the CSV, the plot and a
provenance read from this machine and this build."""

import csv
import json
import os
import re
import signal
import subprocess
import sys

import pytest

from parbench.platform import mpi

pytestmark = [pytest.mark.program, pytest.mark.runner]

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def test_fast_programs_and_a_sweep(build, tmp_path):
    out_csv, out_json, plot = tmp_path / "runs.csv", tmp_path / "runs.json", tmp_path / "scaling.png"
    run = subprocess.run(
        [sys.executable, "-m", "parbench", "--build-dir", build.dir, "--only", "treesearch,arraysum,queuedrain",
         "--procs", "1,2", "--csv", str(out_csv), "--plot", str(plot), "--scratch", str(tmp_path / "run"),
         "--json", str(out_json)],
        capture_output=True, text=True, cwd=ROOT, timeout=600, env=dict(os.environ, OMP_DISPLAY_ENV="false"))
    assert run.returncode == 0, run.stdout + run.stderr
    with open(out_csv) as f:
        rows = list(csv.DictReader(f))
    assert [(r["program"], r["verdict"]) for r in rows] == \
        [("treesearch", "valid"), ("treesearch", "valid"), ("arraysum", "valid"), ("queuedrain", "")]
    assert plot.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    doc = json.loads(out_json.read_text())
    check_provenance(doc["provenance"])
    # What the processes were bound to, as the MPI family's rules say.
    assert all(r["binding"] for r in doc["runs"] if r["program"] == "treesearch"), doc["runs"]


def check_provenance(p):
    """Every field read from this machine and this build, none left to a default."""
    assert re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d", p["date"])
    for name in ("host", "os", "kernel", "cpu_model", "build_type"):
        assert p[name] and p[name].strip() and "unknown" not in p[name].lower(), name
    assert p["hardware_threads"] >= p["physical_cores"] > 0
    assert p["memory_bytes"] > 2 ** 28
    assert re.fullmatch(r"GNU|Clang", p["compiler"]["id"])
    assert re.match(r"\d+\.\d+", p["compiler"]["version"])
    assert (p["mpi"]["implementation"], p["mpi"]["family"]) in [(f.implementation, f.family) for f in mpi.KNOWN]
    assert re.match(r"\d+\.\d+", p["mpi"]["version"])
    assert re.fullmatch(r"(19|20)\d{4}", p["openmp"]["_OPENMP"])
    assert p["openmp"]["version"] is not None
    assert p["environment"].get("OMP_DISPLAY_ENV") == "false"
    assert re.fullmatch(r"[0-9a-f]{40}", p["git"]["commit"])
    assert isinstance(p["git"]["uncommitted_changes"], bool)
    assert "--procs 1,2" in p["command"]


def test_real_sessions_are_kept_compared_and_cut_short_by_sigterm(build, tmp_path):
    store = tmp_path / "store"

    def suite(*args):
        return [sys.executable, "-m", "parbench", "--build-dir", build.dir, "--only", "queuedrain,arraysum",
                "--scratch", str(tmp_path / "run"), "--results", str(store), *args]

    first = subprocess.run(suite("--repeat", "4"), capture_output=True, text=True, cwd=ROOT, timeout=600)
    assert first.returncode == 0, first.stdout + first.stderr
    again = subprocess.run(suite("--repeat", "4", "--baseline", "latest"), capture_output=True, text=True, cwd=ROOT,
                           timeout=600)
    # Real timings on a shared machine may move: slower is a verdict, but something must have been compared.
    assert again.returncode in (0, 3), again.stdout + again.stderr
    assert again.stdout.count("baseline: ") >= 3 and "nothing compared" not in again.stdout

    # SIGTERM in the middle of many millisecond runs: the completed ones are kept, marked.
    runner = subprocess.Popen(suite("--repeat", "1000"), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              text=True, cwd=ROOT)
    try:
        for line in runner.stdout:
            if line.startswith("[6/"):
                break
        runner.send_signal(signal.SIGTERM)
        out, err = runner.communicate(timeout=120)
    finally:
        runner.kill()
    assert runner.returncode == 143, err
    done = int(re.search(r"interrupted by SIGTERM after (\d+) of 2000 runs", err).group(1))
    assert 5 <= done < 2000
    newest = max(store.glob("[0-9]*.json"))
    doc = json.loads(newest.read_text())
    assert doc["interrupted"] == {"signal": "SIGTERM", "planned_runs": 2000}
    assert len(doc["runs"]) == done and all(r["problem"] is None for r in doc["runs"])
    assert sorted(os.listdir(tmp_path / "run")) == sorted(
        "suite-%s.%s" % (name, ext) for name in (json.loads(p.read_text())["session"] for p in store.glob("[0-9]*.json"))
        for ext in ("json", "log"))
