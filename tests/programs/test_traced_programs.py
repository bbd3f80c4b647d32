"""The real programs traced: their reports stay what they are untraced, and
what the trace says holds against what is known of each run."""

import glob
import json
import re
import shutil
import subprocess
import sys

import pytest

from conftest import LAUNCH_TIMEOUT, ROOT
from parbench.model import programs
from parbench.run import otf2 as otf2trace, tracing as trace

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


def suite(build_dir, tmp_path, *args):
    """run-suite on `build_dir` with --trace, unstored: (its run, the runs of its document)."""
    doc = tmp_path / "s.json"
    run = subprocess.run([sys.executable, "-m", "parbench", "--build-dir", str(build_dir), "--trace", "--no-store",
                          "--scratch", str(tmp_path / "scratch"), "--json", str(doc), *args],
                         capture_output=True, text=True, timeout=LAUNCH_TIMEOUT, cwd=ROOT)
    assert run.returncode == 0, run.stdout + run.stderr
    return run, json.loads(doc.read_text())["runs"]


REGION = re.compile(r'REGION\s+\d+\s+Name: "(.*)" <\d+> .*Role: (\w+), Paradigm: (\w+),')
EVENT = re.compile(r'(ENTER|LEAVE)\s+(\d+)\s+\d+\s+Region: "(.*)" <\d+>$')


def test_a_traced_treesearch_archive_holds_its_collectives_as_mpi_regions(build, traceable, tmp_path):
    traceable("treesearch")
    if otf2trace.unavailable() or shutil.which("otf2-print") is None:
        pytest.skip(otf2trace.unavailable() or "otf2-print is not installed (sudo apt-get install otf2-tools)")
    archives = tmp_path / "otf2"
    run, runs = suite(build.dir, tmp_path, "--only", "treesearch", "--procs", "2", "--trace-dir", str(archives))
    assert len(runs[0]["balance"]["useful_s"]) == 2, run.stdout
    [anchor] = archives.glob("*.otf2")
    printed = subprocess.run(["otf2-print", "-A", str(anchor)], capture_output=True, text=True, timeout=60)
    assert printed.returncode == 0, printed.stderr
    lines = printed.stdout.splitlines()
    assert {m[1]: (m[2], m[3]) for m in map(REGION.match, lines) if m} == {
        "MPI_Bcast": ("COLL_ONE2ALL", "MPI"), "scan": ("FUNCTION", "USER"), "MPI_Reduce": ("COLL_ALL2ONE", "MPI")}
    # Each process: its broadcast, its scan, its reduction, in that order.
    events = {}
    for m in filter(None, map(EVENT.match, lines)):
        events.setdefault(m[2], []).append((m[1], m[3]))
    assert sorted(events) == ["0", "1"]
    assert all(lane == [(e, r) for r in ("MPI_Bcast", "scan", "MPI_Reduce") for e in ("ENTER", "LEAVE")]
               for lane in events.values()), events


def test_a_build_whose_path_holds_a_space_is_traced(build, traceable, tmp_path):
    # LD_PRELOAD splits at spaces: the library goes by its name, its folder first on LD_LIBRARY_PATH.
    traceable("arraysum")
    traceable("treesearch")
    link = tmp_path / "with space" / "build"
    link.parent.mkdir()
    link.symlink_to(build.dir)
    run, runs = suite(link, tmp_path, "--only", "arraysum,treesearch", "--procs", "2")
    assert "untraced" not in run.stdout and "not traced" not in run.stdout, run.stdout
    assert [(r["program"], len(r["balance"]["useful_s"])) for r in runs] == [("arraysum", 4), ("treesearch", 2)]
    [log] = glob.glob(str(tmp_path / "scratch" / "suite-*.log"))
    with open(log) as f:
        assert "cannot be preloaded" not in f.read()   # ld.so's complaint, from any process


def test_a_build_whose_path_holds_a_colon_says_up_front_that_it_runs_untraced(build, traceable, tmp_path):
    traceable("arraysum")
    traceable("treesearch")
    link = tmp_path / "a:b" / "build"
    link.parent.mkdir()
    link.symlink_to(build.dir)
    run, runs = suite(link, tmp_path, "--only", "arraysum,treesearch", "--procs", "2")
    lines = run.stdout.splitlines()
    why = "the tracing library's folder %s/trace holds a ':', which LD_PRELOAD and LD_LIBRARY_PATH both take for " \
          "a separator" % link
    said = [lines.index("run-suite: --trace: %s runs untraced: %s" % (name, why))
            for name in ("arraysum", "treesearch")]
    assert max(said) < lines.index("[1/2] arraysum, run 1 of 1"), run.stdout
    assert "not traced" not in run.stdout and "load balance" not in run.stdout
    assert [r["verdict"] for r in runs] == ["valid", "valid"] and all("balance" not in r for r in runs)
