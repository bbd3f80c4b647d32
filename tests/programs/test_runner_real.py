"""The suite runner with the real programs: a sweep, the CSV, the plot and a
provenance read from this machine and this build."""

import csv
import json
import os
import re
import subprocess
import sys

import pytest

from parbench import mpi

pytestmark = pytest.mark.program

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
