"""The real programs traced: their reports stay what they are untraced, and
what the trace says holds against what is known of each run."""

import json
import re
import shutil
import subprocess
import sys

import pytest

from conftest import ROOT
from parbench import programs, trace

pytestmark = pytest.mark.program


def shape(lines):
    """The lines with every number blanked: what must not change when traced."""
    return [re.sub(r"\d+(\.\d+)?", "N", line) for line in lines]


@pytest.fixture
def traceable(build):
    def check(name):
        why = trace.unavailable(build, programs.get(name))
        if why:
            pytest.skip(why)
        return programs.get(name)
    return check


@pytest.mark.parametrize("name", ["arraysum", "queuedrain"])
def test_a_traced_openmp_program_prints_its_untraced_report(name, run_alone, program, build, traceable, tmp_path):
    p = traceable(name)
    folder = tmp_path / "trace"
    folder.mkdir()
    untraced = run_alone(program(name), tmp_path)
    traced = run_alone(program(name), tmp_path, **trace.variables(build, p, str(folder), {}))
    assert shape(traced) == shape(untraced)
    phase = float(re.search(r"\d+\.\d+", traced[-4 if name == "arraysum" else -1]).group())
    balance, why = trace.read(str(folder), p, None, phase)
    assert balance is not None, why
    assert len(balance.useful_s) == p.team and balance.lanes == "thread"
    assert 0 < max(balance.useful_s) <= phase + 0.001


def test_traced_treesearch_processes_scan_the_file_between_them(mpirun, build, traceable, tree_report, tmp_path,
                                                                setting):
    p = traceable("treesearch")
    # Wall-clock relations hold on a quiet machine; other tests share these
    # cores, so the closest of three runs is judged, within a band wide enough
    # for a busy one (the arithmetic itself is pinned by the unit tests).
    for attempt in range(3):
        folder = tmp_path / ("trace-%d" % attempt)
        folder.mkdir()
        variables = trace.variables(build, p, str(folder), {})
        traced = mpirun(2, [build.program(p)], tmp_path, setting(mpirun.launch.rank_environment(variables)))
        # Every line of the report as untraced, nothing on standard error, and a count that holds.
        tree_report.valid(traced, 2, tmp_path)
        parallel = float(re.search(r"Parallel:   (\S+) s", traced.out).group(1))
        sequential = float(re.search(r"Sequential: (\S+) s", traced.out).group(1))
        balance, why = trace.read(str(folder), p, 2, parallel)
        assert balance is not None, why
        assert balance.lanes == "process" and len(balance.useful_s) == 2
        assert max(balance.useful_s) <= parallel * 1.02
        # Two halves of the same scan add up to about one whole scan.
        if 0.5 * sequential < sum(balance.useful_s) < 2.0 * sequential and balance.communication_efficiency > 0.8:
            break
    assert 0.5 * sequential < sum(balance.useful_s) < 2.0 * sequential, (balance.useful_s, sequential)
    assert balance.communication_efficiency > 0.8


def test_run_suite_trace_keeps_balance_prints_it_and_writes_archives(build, traceable, tmp_path):
    # treesearch under run-suite --trace is the batch script's test, in the launcher's own words.
    traceable("arraysum")
    archives, doc = tmp_path / "otf2", tmp_path / "s.json"
    run = subprocess.run([sys.executable, "-m", "parbench", "--build-dir", build.dir, "--only",
                          "arraysum,queuedrain", "--repeat", "2", "--no-store", "--scratch", str(tmp_path / "scratch"),
                          "--json", str(doc), "--trace-dir", str(archives)],
                         capture_output=True, text=True, timeout=300, cwd=ROOT)
    assert run.returncode == 0, run.stdout + run.stderr
    lines = [line for line in run.stdout.splitlines() if "load balance" in line]
    assert [line.split(":")[0] for line in lines] == ["arraysum with 4 threads", "queuedrain with 1 thread"]
    runs = json.loads(doc.read_text())["runs"]
    assert [len(r["balance"]["useful_s"]) for r in runs] == [4, 4, 1, 1]
    anchors = sorted(archives.glob("*.otf2"))
    assert len(anchors) == 4
    if shutil.which("otf2-print"):
        printed = subprocess.run(["otf2-print", str(anchors[0])], capture_output=True, text=True, timeout=60)
        assert printed.returncode == 0, printed.stderr
        # arraysum: each of four threads its share of the region, and a wait after it where it finished early.
        lanes = runs[0]["balance"]["timeline"]
        intervals = sum(len(lane) for lane in lanes)
        assert printed.stdout.count("ENTER ") == intervals == printed.stdout.count("LEAVE ")
        assert len({re.search(r"ENTER +(\d+)", line).group(1) for line in printed.stdout.splitlines()
                    if line.startswith("ENTER")}) == 4
