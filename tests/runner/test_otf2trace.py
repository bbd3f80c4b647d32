"""The OTF2 archive of made-up lanes, read back by otf2-print: the library's
own reader, not the bindings that wrote it."""

import os
import re
import shutil
import subprocess
import sys

import pytest

from parbench.run import otf2 as otf2trace
from parbench.run.otf2 import Interval, Lane

pytestmark = pytest.mark.unit

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

# ENTER    0    1500  Region: "scan" <1>
EVENT = re.compile(r'(ENTER|LEAVE)\s+(\d+)\s+(\d+)\s+Region: "(.*)" <\d+>$')
LOCATION = re.compile(r'LOCATION\s+(\d+)\s+Name: "(.*)" <\d+>, Type: (\w+), # Events: (\d+), Group: "(.*)" <\d+>$')
REGION = re.compile(r'REGION\s+\d+\s+Name: "(.*)" <\d+> .*Role: (\w+), Paradigm: (\w+),')
CLOCK = re.compile(r"CLOCK_PROPERTIES\s+Ticks per Seconds: (\d+),")


@pytest.fixture
def read():
    """The archive as otf2-print shows it: {"locations": {id: (name, group, events)},
    "regions": {name: (role, paradigm)}, "events": {lane name: [(event, ticks, region)]},
    "per_second": ticks}."""
    if otf2trace.unavailable():
        pytest.skip(otf2trace.unavailable())
    if shutil.which("otf2-print") is None:
        pytest.skip("otf2-print is not installed (sudo apt-get install otf2-tools)")

    def run(anchor):
        shown = subprocess.run(["otf2-print", "-A", anchor], capture_output=True, text=True, timeout=60)
        assert shown.returncode == 0 and "ERROR" not in shown.stdout + shown.stderr, shown.stdout + shown.stderr
        lines = shown.stdout.splitlines()
        locations = {int(m[1]): (m[2], m[5], int(m[4])) for m in map(LOCATION.match, lines) if m}
        assert all(m[3] == "CPU_THREAD" for m in map(LOCATION.match, lines) if m)
        events = {name: [] for name, _, _ in locations.values()}
        for m in filter(None, map(EVENT.match, lines)):
            events[locations[int(m[2])][0]].append((m[1], int(m[3]), m[4]))
        return {"locations": locations, "events": events,
                "regions": {m[1]: (m[2], m[3]) for m in map(REGION.match, lines) if m},
                "per_second": int(next(m[1] for m in map(CLOCK.match, lines) if m))}
    return run


def processes():
    """Two processes that scan their share and wait in two collectives."""
    return [Lane("process 0", (Interval("scan", 0.0, 0.5), Interval("wait", 0.5, 0.625, "MPI_Bcast"),
                               Interval("wait", 0.625, 1.25, "MPI_Reduce"))),
            Lane("process 1", (Interval("scan", 0.001, 0.75), Interval("wait", 0.75, 0.875, "MPI_Bcast"),
                               Interval("wait", 0.875, 1.25, "MPI_Reduce")))]


def threads():
    """Four threads that take work items in turn, then wait at the region's end."""
    lanes = []
    for t in range(4):
        items = tuple(Interval("work", 0.01 * t + 0.1 * i, 0.01 * t + 0.1 * i + 0.05, "item %d" % (4 * i + t))
                      for i in range(3 + t % 2))
        lanes.append(Lane("thread %d" % t, items + (Interval("wait", items[-1].end, 0.5),)))
    return lanes


def check_lanes(trace, lanes):
    """Each lane is one location with an Enter and a Leave per interval, in time
    order, at the input's times."""
    assert sorted(name for name, _, _ in trace["locations"].values()) == sorted(lane.name for lane in lanes)
    per_second = trace["per_second"]
    for lane in lanes:
        events = trace["events"][lane.name]
        assert [e for e, _, _ in events] == ["ENTER", "LEAVE"] * len(lane.intervals), lane.name
        assert [r for _, _, r in events] == [i.label or i.kind for i in lane.intervals for _ in "el"]
        ticks = [t for _, t, _ in events]
        assert ticks == sorted(ticks), lane.name
        assert ticks[0] / per_second == pytest.approx(lane.intervals[0].start, abs=1 / per_second)
        assert ticks[-1] / per_second == pytest.approx(lane.intervals[-1].end, abs=1 / per_second)
        counted = [n for name, _, n in trace["locations"].values() if name == lane.name]
        assert counted == [2 * len(lane.intervals)]


def test_each_process_is_a_location_group_with_its_collectives(tmp_path, read):
    lanes = processes()
    anchor = otf2trace.write(tmp_path, "treesearch-2", lanes, "treesearch")
    assert anchor == str(tmp_path / "treesearch-2.otf2")
    trace = read(anchor)
    assert trace["per_second"] == 10 ** 9
    check_lanes(trace, lanes)
    assert {name: group for name, group, _ in trace["locations"].values()} == \
        {"process 0": "process 0", "process 1": "process 1"}
    assert trace["regions"] == {"scan": ("FUNCTION", "USER"), "MPI_Bcast": ("COLL_ONE2ALL", "MPI"),
                                "MPI_Reduce": ("COLL_ALL2ONE", "MPI")}


def test_the_threads_of_a_run_share_one_group(tmp_path, read):
    lanes = threads()
    trace = read(otf2trace.write(str(tmp_path), "dynamicwork-4", lanes, "dynamicwork", clock_resolution=1e-6))
    assert trace["per_second"] == 10 ** 6
    check_lanes(trace, lanes)
    assert {group for _, group, _ in trace["locations"].values()} == {"dynamicwork"}
    assert trace["regions"]["wait"] == ("IMPLICIT_BARRIER", "OPENMP")
    assert trace["regions"]["item 13"] == ("FUNCTION", "USER")
    assert len(trace["regions"]) == 1 + sum(len(lane.intervals) - 1 for lane in lanes)


def test_what_would_make_a_broken_archive_is_refused(tmp_path):
    with pytest.raises(ValueError, match="no lanes"):
        otf2trace.write(tmp_path, "empty", [], "arraysum")
    backwards = [Lane("thread 0", (Interval("work", 0.2, 0.1, "item 0"),))]
    with pytest.raises(ValueError, match="before its start"):
        otf2trace.write(tmp_path, "backwards", backwards, "dynamicwork")
    overlapping = [Lane("thread 0", (Interval("work", 0.0, 0.2), Interval("wait", 0.1, 0.3)))]
    with pytest.raises(ValueError, match="previous interval"):
        otf2trace.write(tmp_path, "overlapping", overlapping, "dynamicwork")
    assert list(tmp_path.iterdir()) == []


def test_an_archive_is_not_written_over(tmp_path, read):
    anchor = otf2trace.write(tmp_path, "run", processes(), "treesearch")
    with pytest.raises(FileExistsError):
        otf2trace.write(tmp_path, "run", threads(), "dynamicwork")
    check_lanes(read(anchor), processes())


def test_without_the_bindings_the_module_loads_and_says_why(tmp_path):
    # None in sys.modules makes `import otf2` fail as if it were not installed.
    code = ("import sys; sys.modules['otf2'] = None\n"
            "from parbench.run import otf2 as otf2trace\n"
            "print(otf2trace.unavailable())\n"
            "lanes = [otf2trace.Lane('thread 0', (otf2trace.Interval('work', 0, 1),))]\n"
            "try:\n    otf2trace.write(sys.argv[1], 'run', lanes, 'dynamicwork')\n"
            "except RuntimeError as e:\n    print(e)\n")
    shown = subprocess.run([sys.executable, "-c", code, str(tmp_path)], capture_output=True, text=True, timeout=60,
                           cwd=ROOT)
    assert shown.returncode == 0, shown.stderr
    assert shown.stdout.splitlines() == ["python3-otf2 is not installed (sudo apt-get install python3-otf2)"] * 2
    assert list(tmp_path.iterdir()) == []


def test_bindings_that_lack_a_module_of_their_own_say_which():
    # Debian 13's python3-otf2 needs six without depending on it.
    code = "import sys; sys.modules['six'] = None\nfrom parbench.run import otf2 as otf2trace\nprint(otf2trace.unavailable())\n"
    shown = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60, cwd=ROOT)
    said = shown.stdout.strip()
    if said == "None":
        pytest.skip("these bindings do not import six")
    assert said.startswith("python3-otf2 cannot be imported: ") and \
        said.endswith("(sudo apt-get install python3-six)"), said + shown.stderr


def test_a_traced_runs_collectives_reach_its_archive_as_mpi_regions(tmp_path, read):
    # From the trace files through the runner's own step: the document keeps no labels, the archive must.
    from types import SimpleNamespace
    from parbench.model import programs
    from parbench.run import runs
    from parbench.model.programs import Group
    folder, s = tmp_path / "traces", 10 ** 9
    folder.mkdir()
    for rank, (bs, be, rs, re_) in enumerate([(100 * s, 100 * s + 1000, 101 * s, 102 * s),
                                              (90 * s, 100 * s + 2000, 101 * s + 5 * 10 ** 8, 102 * s)]):
        (folder / ("h-%d.trace" % rank)).write_text("host h\npid %d\nrank %d\ncall MPI_Bcast %d %d\n"
                                                   "call MPI_Reduce %d %d\n" % (rank + 1, rank, bs, be, rs, re_))
    run = SimpleNamespace(program=programs.get("treesearch"), procs=2, index=1, group=Group("treesearch", 2, None))
    plan = SimpleNamespace(trace_dir=str(tmp_path / "archives"), session="s")
    balance = runs.balance_of(run, plan, {"parallel_s": "2.000000"}, str(folder))
    assert balance.timeline[1] == (("wait", 0.0, 2e-06), ("scan", 2e-06, 1.5), ("wait", 1.5, 2.0))
    trace = read(str(tmp_path / "archives" / "s-treesearch-2-1.otf2"))
    assert trace["regions"] == {"MPI_Bcast": ("COLL_ONE2ALL", "MPI"), "scan": ("FUNCTION", "USER"),
                                "MPI_Reduce": ("COLL_ALL2ONE", "MPI")}
    for lane in ("process 0", "process 1"):
        assert [(e, r) for e, _, r in trace["events"][lane]] == \
            [(e, r) for r in ("MPI_Bcast", "scan", "MPI_Reduce") for e in ("ENTER", "LEAVE")]
    assert [t for _, t, _ in trace["events"]["process 1"]] == [0, 2, 2, 1500000, 1500000, 2000000]
