"""The project built with clang++ and LLVM's libomp, whose OpenMP tracing
library wraps libomp's fork call rather than libgomp's entry points: traced
through the runner's command line, each program gives the figures that are
known of its work, as the gcc build does; and a fork call the library does not
wrap reaches the runtime as the program made it.

The build is made once, in a folder of the module's own, with the MPI and the
Python of the build under test."""

import json
import os
import re
import shutil
import subprocess
import sys

import pytest

pytestmark = pytest.mark.program

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
# Configuring and building the programs and the tracing libraries takes about a minute here.
BUILD_TIMEOUT = 900
# splitwork, the longest, runs a minute.
RUN_TIMEOUT = 300
# What the module's build takes over from the build under test, so that
# treesearch runs under the same MPI.
INHERITED = ("MPI_CXX_COMPILER", "MPI_C_COMPILER", "MPIEXEC_EXECUTABLE", "Python3_EXECUTABLE")


def cache_of(folder):
    """The CMake cache of `folder` as {name: value}, empty where it has none."""
    try:
        with open(os.path.join(folder, "CMakeCache.txt")) as f:
            lines = f.read().splitlines()
    except OSError:
        return {}
    found = {}
    for line in lines:
        m = re.match(r"([A-Za-z_][A-Za-z0-9_]*):[A-Z]+=(.*)$", line)
        if m:
            found[m.group(1)] = m.group(2)
    return found


def run(cmd, timeout, cwd=ROOT):
    return subprocess.run(cmd, capture_output=True, text=True, timeout=timeout, cwd=cwd)


@pytest.fixture(scope="module")
def clang_build(tmp_path_factory):
    """The folder of a build with clang++ and libomp."""
    under_test = cache_of(os.environ.get("PARBENCH_BUILD_DIR") or os.path.join(ROOT, "build"))
    if under_test.get("PARBENCH_SANITIZE"):
        pytest.skip("the build under test has sanitizers; the clang build is traced in the plain run")
    clang = shutil.which("clang++")
    if clang is None:
        pytest.skip("clang++ is not installed (sudo apt-get install clang libomp-dev)")
    scratch = tmp_path_factory.mktemp("clang")
    probe = scratch / "probe.cpp"
    probe.write_text("#include <omp.h>\nint main() { return omp_get_max_threads() > 0 ? 0 : 1; }\n")
    linked = run([clang, "-fopenmp=libomp", str(probe), "-o", str(scratch / "probe")], 120)
    if linked.returncode != 0:
        pytest.skip("clang++ cannot link LLVM's OpenMP runtime (sudo apt-get install libomp-dev): "
                    + linked.stderr.strip()[-200:])
    folder = scratch / "build"
    settings = ["-D%s=%s" % (name, under_test[name]) for name in INHERITED if under_test.get(name)]
    configured = run(["cmake", "-S", ROOT, "-B", str(folder), "-DCMAKE_CXX_COMPILER=" + clang, *settings],
                     BUILD_TIMEOUT)
    assert configured.returncode == 0, configured.stdout + configured.stderr
    built = run(["cmake", "--build", str(folder), "-j", str(os.cpu_count() or 2)], BUILD_TIMEOUT)
    assert built.returncode == 0, built.stdout[-3000:] + built.stderr
    return folder


def suite(build, tmp_path, *args):
    """run-suite --trace on `build`, unstored: (what it printed, the runs of its document)."""
    doc = tmp_path / "s.json"
    done = run([sys.executable, "-m", "parbench", "--build-dir", str(build), "--trace", "--no-store",
                "--scratch", str(tmp_path / "scratch"), "--json", str(doc), *args], RUN_TIMEOUT)
    assert done.returncode == 0, done.stdout + done.stderr
    assert "untraced" not in done.stdout and "not traced" not in done.stdout, done.stdout
    return done.stdout, json.loads(doc.read_text())["runs"]


def figures_line(printed, group):
    lines = [line for line in printed.splitlines() if line.startswith(group + ": load balance ")]
    assert len(lines) == 1, printed
    return lines[0]


def test_the_clang_build_links_libomp_and_its_tracing_library_wraps_the_fork_call(clang_build):
    assert re.search(r"(^|;)omp(;|$)", cache_of(clang_build).get("OpenMP_CXX_LIB_NAMES", "")), \
        "CMake did not take libomp for clang++"
    library = clang_build / "trace" / "libparbench-trace-openmp.so"
    listed = run(["nm", "-D", "--defined-only", str(library)], 60)
    assert listed.returncode == 0, listed.stderr
    defined = {line.split()[-1] for line in listed.stdout.splitlines() if line.strip()}
    assert {"__kmpc_fork_call", "usleep", "nanosleep"} <= defined, defined
    # No tool of the runtime's tools interface: attached, it slows every critical section.
    assert "ompt_start_tool" not in defined, defined
    assert not {name for name in defined if name.startswith("GOMP_")}, defined


# Regions passing 21, 15 and 16 words to the fork call (one per variable they
# share, unoptimised), then one holding a nested region; each thread sleeps a
# millisecond in the outer region and again in the inner.
WORDS_PROBE = r"""
#include <omp.h>
#include <unistd.h>
#include <cstdio>
int main() {
    long a0 = 1, a1 = 2, a2 = 3, a3 = 4, a4 = 5, a5 = 6, a6 = 7, a7 = 8, a8 = 9, a9 = 10, a10 = 11, a11 = 12,
         a12 = 13, a13 = 14, a14 = 15, a15 = 16, a16 = 17, a17 = 18, a18 = 19, a19 = 20;
    long many = 0, fifteen = 0, sixteen = 0, nested = 0;
#pragma omp parallel num_threads(3) reduction(+ : many)
    many += a0 + a1 + a2 + a3 + a4 + a5 + a6 + a7 + a8 + a9 + a10 + a11 + a12 + a13 + a14 + a15 + a16 + a17 + a18 + a19;
#pragma omp parallel num_threads(3) reduction(+ : fifteen)
    fifteen += a0 + a1 + a2 + a3 + a4 + a5 + a6 + a7 + a8 + a9 + a10 + a11 + a12 + a13 * omp_get_thread_num();
#pragma omp parallel num_threads(3) reduction(+ : sixteen)
    sixteen += a0 + a1 + a2 + a3 + a4 + a5 + a6 + a7 + a8 + a9 + a10 + a11 + a12 + a13 + a14 * omp_get_thread_num();
    omp_set_max_active_levels(2);
#pragma omp parallel num_threads(2)
    {
        usleep(1000);
#pragma omp parallel num_threads(2) reduction(+ : nested)
        {
            nested += a0 + omp_get_level() * 10 + omp_get_thread_num();
            usleep(1000);
        }
    }
    std::printf("%ld %ld %ld %ld\n", many, fifteen, sixteen, nested);
}
"""


def test_fork_calls_of_any_length_and_nested_ones_reach_the_runtime_intact(clang_build, tmp_path):
    source = tmp_path / "words.cpp"
    source.write_text(WORDS_PROBE)
    probe = tmp_path / "words"
    built = run([shutil.which("clang++"), "-O0", "-fopenmp=libomp", str(source), "-o", str(probe)], 120)
    assert built.returncode == 0, built.stderr
    folder = tmp_path / "trace"
    folder.mkdir()
    env = dict(os.environ, LD_PRELOAD=str(clang_build / "trace" / "libparbench-trace-openmp.so"),
               PARBENCH_TRACE=str(folder))
    untraced = subprocess.run([str(probe)], capture_output=True, text=True, timeout=60)
    traced = subprocess.run([str(probe)], capture_output=True, text=True, timeout=60, env=env)
    assert untraced.returncode == traced.returncode == 0, untraced.stderr + traced.stderr
    # 3 × 210, 3 × 91 + 14 × 3, 3 × 105 + 15 × 3, and each of four inner threads 21 or 22.
    assert untraced.stdout == traced.stdout == "630 315 360 86\n"
    [written] = folder.glob("*.trace")
    lines = [line.split() for line in written.read_text().splitlines()]
    # The 15-word region and the outer one are traced; those with more words
    # pass untouched, and the nested one is left to the outer.
    spans = [line for line in lines if line[0] == "span"]
    regions = [line for line in lines if line[0] == "region"]
    assert len(spans) == 2 and len(regions) == 5, lines
    teams = [sorted(int(r[1]) for r in regions if int(s[1]) <= int(r[2]) <= int(s[2]))
             for s in sorted(spans, key=lambda s: int(s[1]))]
    assert teams == [[0, 1, 2], [0, 1]], lines
    # Each outer thread slept in the outer region and as the first thread of its inner team.
    works = sorted(int(w[1]) for w in lines if w[0] == "work")
    assert works == [0, 0, 1, 1], lines


@pytest.fixture(scope="module")
def fast_programs(clang_build, tmp_path_factory):
    """(printed, runs) of arraysum, queuedrain and treesearch traced on the clang build, twice each."""
    return suite(clang_build, tmp_path_factory.mktemp("fast"), "--only", "arraysum,queuedrain,treesearch",
                 "--procs", "2", "--repeat", "2")


def runs_of(runs, name):
    found = [r for r in runs if r["program"] == name]
    assert len(found) == 2 and all(r["exit_status"] == 0 and r["problem"] is None for r in found), found
    return found


def test_arraysum_traced_on_libomp_gives_each_of_its_threads_a_share_of_the_region(fast_programs):
    printed, runs = fast_programs
    figures_line(printed, "arraysum with 4 threads")
    for r in runs_of(runs, "arraysum"):
        b = r["balance"]
        assert b["lanes"] == "thread" and len(b["useful_s"]) == 4, b
        assert all(u > 0 for u in b["useful_s"]), b
        # Each thread's share and its wait at the region's end, one after the other, within the phase.
        phase = float(r["parallel_s"])
        for useful, waiting in zip(b["useful_s"], b["waiting_s"]):
            assert 0 <= waiting and useful + waiting <= phase + 0.001 + 1e-6, b
        assert [[kind for kind, _, _ in lane][0] for lane in b["timeline"]] == ["region"] * 4, b["timeline"]


def test_queuedrain_traced_on_libomp_gives_its_one_thread_the_drain(fast_programs):
    printed, runs = fast_programs
    figures_line(printed, "queuedrain with 1 thread")
    for r in runs_of(runs, "queuedrain"):
        b = r["balance"]
        assert b["lanes"] == "thread" and len(b["useful_s"]) == 1 and b["useful_s"][0] > 0, b
        assert b["load_balance"] == 1.0
        assert b["useful_s"][0] <= float(r["time_s"]) + 0.001 + 1e-6, b


def test_treesearch_is_traced_as_before_beside_a_clang_build(fast_programs):
    printed, runs = fast_programs
    figures_line(printed, "treesearch with 2 processes")
    for r in runs_of(runs, "treesearch"):
        b = r["balance"]
        assert b["lanes"] == "process" and len(b["useful_s"]) == 2 and min(b["useful_s"]) > 0, b


@pytest.mark.slow
def test_dynamicwork_traced_on_libomp_is_balanced(clang_build, tmp_path):
    # Items handed out one at a time: each thread sleeps within an item's length of the other.
    printed, runs = suite(clang_build, tmp_path, "--only", "dynamicwork", "--threads", "2")
    figures_line(printed, "dynamicwork with 2 threads")
    [r] = runs
    b = r["balance"]
    assert len(b["useful_s"]) == 2 and sum(b["items"]) == 400, b
    assert b["load_balance"] >= 0.97, b


@pytest.mark.slow
def test_splitwork_traced_on_libomp_shows_the_quarters_it_drew(clang_build, tmp_path):
    printed, runs = suite(clang_build, tmp_path, "--only", "splitwork")
    figures_line(printed, "splitwork with 4 threads")
    [r] = runs
    b = r["balance"]
    assert b["items"] == [100, 100, 100, 100], b
    # As for the gcc build (test_sleepers): the figure is that of the sleep
    # this run drew, and that near 0.58.
    drawn = sum(b["work_s"]) / 4 / max(b["work_s"])
    assert b["load_balance"] == pytest.approx(drawn, abs=0.02)
    assert 0.45 < drawn < 0.75
    assert sum(b["work_s"]) == pytest.approx(float(r["sequential_s"]), rel=0.05)
