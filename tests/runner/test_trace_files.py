"""Trace files as the runner reads them: regular files only, of bounded size,
and whatever they hold comes to figures or to a reason, never to a traceback
or a hang."""

import os
import tempfile
import threading

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from parbench.model import document, programs
from parbench.run import otf2 as otf2trace, tracing as trace

pytestmark = pytest.mark.unit
S = 1_000_000_000   # ns
T = 1_796_896_826 * S   # a real-time clock reading of these years


def read_soon(folder, name="arraysum", procs=None, phase=2.0):
    """trace.read_run with a time limit: a reader that hangs fails the test instead of hanging it."""
    found = []
    reader = threading.Thread(target=lambda: found.append(trace.read_run(str(folder), programs.get(name), procs,
                                                                          phase)), daemon=True)
    reader.start()
    reader.join(30)
    assert not reader.is_alive(), "the reader hangs"
    return found[0]


GOOD = "host h\npid 1\nspan %d %d\nregion 0 %d %d\n" % (T, T + S, T, T + S)


def fifo(path):
    os.mkfifo(path)


def large(path):
    with open(path, "w") as f:
        f.write(GOOD)
        f.truncate(trace.MAX_TRACE_BYTES + 1)   # sparse: its size is what counts


@pytest.mark.parametrize("make, why", [
    (fifo, "it is not a regular file"),
    (lambda path: os.symlink("/dev/zero", path), "it is not a regular file"),
    (os.mkdir, "it is a folder"),
    (lambda path: os.symlink(path + ".gone", path), "No such file or directory"),
    (lambda path: os.symlink(path, path), "a symbolic link that leads to itself"),
    (large, "it is larger than 16 MB"),
])
def test_a_trace_file_that_is_no_regular_file_of_its_size_is_refused_without_waiting(tmp_path, make, why):
    make(str(tmp_path / "h-1.trace"))
    assert read_soon(tmp_path).why == "trace file h-1.trace cannot be read: %s" % why


def test_one_unreadable_file_of_several_processes_says_which(tmp_path):
    (tmp_path / "r0.trace").write_text("rank 0\ncall MPI_Bcast %d %d\ncall MPI_Reduce %d %d\n" % (T, T, T + S, T + S))
    os.mkfifo(str(tmp_path / "r1.trace"))
    assert read_soon(tmp_path, "treesearch", 2).why == "trace file r1.trace cannot be read: it is not a regular file"


DIGITS = "1" * 400


@pytest.mark.parametrize("line, why", [
    # A known kind of line that is not what the library writes is damage, whatever else the file holds.
    ("region 0 %d %s" % (T, DIGITS), "%s... is out of the range of its field" % DIGITS[:21]),
    ("region 0 %d %d" % (T, 2 ** 63), "9223372036854775808 is out of the range of its field"),
    ("region -1 %d %d" % (T, T + S), "-1 is out of the range of its field"),
    ("lost %d" % 2 ** 64, "18446744073709551616 is out of the range of its field"),
    ("region 0 %d \u0661\u0662" % T, "not region TID START END"),    # digits of another script
    ("region 0 %d 1_000" % T, "not region TID START END"),
    ("region 0 +%d %d" % (T, T + S), "not region TID START END"),
    ("region 0 %d %d\r" % (T, T + S), "not region TID START END"),
    ("region 0 %d" % T, "not region TID START END"),
    ("region 0 %d %d 7" % (T, T + S), "not region TID START END"),
    ("region 0  %d %d" % (T, T + S), "not region TID START END"),
    ("region 0 \ufffd %d" % T, "not region TID START END"),
    ("span \x00 %d" % T, "not span START END"),
    ("work 0 %d %d" % (T, T + S), "not work TID START END MICROSECONDS"),
    ("call MPI-Bcast %d %d" % (T, T), "not call NAME START END"),
    ("rank", "not rank R"),
    ("pid x", "not pid N"),
])
def test_a_damaged_line_of_a_known_kind_leaves_the_run_without_figures(tmp_path, line, why):
    (tmp_path / "a.trace").write_text(GOOD + line + "\n", errors="surrogateescape")
    found = read_soon(tmp_path)
    assert found.balance is None and found.lanes == ()
    assert found.why.startswith("trace file a.trace, line 5 is damaged (") and found.why.endswith("): " + why), \
        found.why


@pytest.mark.parametrize("data, why", [
    (b"", "trace file a.trace is empty"),
    (GOOD.encode() + b"region 1 %d 17968" % T, "trace file a.trace ends inside a line"),
    (GOOD.encode() + b"region 0 \xff\xfe 1\n", "trace file a.trace, line 5 is damaged ('region 0 \ufffd\ufffd 1'): "
                                              "not region TID START END"),
])
def test_a_file_cut_short_or_not_text_leaves_the_run_without_figures(tmp_path, data, why):
    (tmp_path / "a.trace").write_bytes(data)
    assert read_soon(tmp_path).why == why


def test_lines_of_no_known_kind_are_a_newer_librarys_and_skipped(tmp_path):
    (tmp_path / "a.trace").write_text("host\nhost a b c\n\nbarrier 0 1 2\nspan\x00 x\n" + GOOD[len("host h\n"):])
    found = read_soon(tmp_path, phase=1.0)
    assert found.why is None and found.balance.useful_s == (1.0,)


# Generated trace files: what the library writes for a run, then damaged a
# little or a lot, or bytes of any kind.

NUMBER = st.one_of(st.integers(T - S, T + 3 * S), st.integers(0, 5), st.integers(-2 ** 70, 2 ** 70)).map(str)
WORD = st.one_of(NUMBER, NUMBER, NUMBER, st.sampled_from(["MPI_Bcast", "MPI_Reduce", "", "-", "\u0663"]),
                 st.text(max_size=4))
ANY_LINE = st.tuples(st.sampled_from(["span", "region", "work", "call", "rank", "lost", "pid", "host", "other", ""]),
                     st.lists(WORD, max_size=5)).map(lambda t: " ".join([t[0]] + t[1]))


def within(draw, low, high):
    a = draw(st.integers(low, high))
    return a, draw(st.integers(a, high))


@st.composite
def openmp_run(draw):
    """The lines of one process: a region or two, each thread's share of it, and sleeps in those shares."""
    lines = ["host h", "pid 1"]
    start = T
    for _ in range(draw(st.integers(1, 2))):
        end = start + draw(st.integers(0, 3 * S))
        lines.append("span %d %d" % (start, end))
        for thread in range(draw(st.integers(1, 4))):
            a, b = within(draw, start, end)
            lines.append("region %d %d %d" % (thread, a, b))
            for _ in range(draw(st.integers(0, 2))):
                a, c = within(draw, a, b)
                lines.append("work %d %d %d %d" % (thread, a, c, draw(st.integers(0, 10 ** 7))))
                a = c
        start = end + draw(st.integers(0, S))
    return [lines]


@st.composite
def mpi_run(draw):
    """The lines of each process: its rank and its two collectives."""
    files, origin = [], T
    for rank in range(draw(st.integers(1, 3))):
        bs = origin if rank == 0 else T - draw(st.integers(0, 2 * S))
        be = origin + draw(st.integers(-2 * 10 ** 6, 10 ** 6))
        rs, re_ = within(draw, be, be + 3 * S)
        files.append(["host h", "pid %d" % (rank + 1), "rank %d" % rank, "call MPI_Bcast %d %d" % (bs, be),
                      "call MPI_Reduce %d %d" % (rs, re_)])
    return files


@st.composite
def damaged(draw, run):
    """The files of `run`, as bytes, with a few changes of the kinds damage makes."""
    files = []
    for lines in draw(run):
        lines = list(lines)
        for _ in range(draw(st.sampled_from([0, 0, 0, 1, 2]))):
            i = draw(st.integers(0, len(lines) - 1))
            change = draw(st.sampled_from(["word", "drop", "twice", "insert"]))
            if change == "word":
                words = lines[i].split(" ")
                words[draw(st.integers(0, len(words) - 1))] = draw(WORD)
                lines[i] = " ".join(words)
            elif change == "drop":
                del lines[i]
            elif change == "twice":
                lines.insert(i, lines[i])
            else:
                lines.insert(i, draw(ANY_LINE))
        data = ("\n".join(lines) + "\n").encode("utf-8", "surrogatepass")
        if draw(st.integers(0, 9)) == 0:
            data = data[:draw(st.integers(0, len(data)))]
        files.append(data)
    return files


PHASES = st.one_of(st.none(), st.sampled_from([0.0, 0.001, 1.0, 2.0, 3.0, 1e9, float("nan"), float("inf"), -1.0]))


@settings(max_examples=300, deadline=None, database=None,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(st.data())
def test_whatever_a_trace_file_holds_it_comes_to_sound_figures_or_a_reason(data):
    name = data.draw(st.sampled_from(["arraysum", "dynamicwork", "treesearch"]))
    run = mpi_run() if name == "treesearch" else openmp_run()
    contents = data.draw(st.one_of(damaged(run), damaged(run), st.lists(st.binary(max_size=200), min_size=1,
                                                                         max_size=2)))
    phase = data.draw(PHASES)
    with tempfile.TemporaryDirectory() as folder:
        for i, content in enumerate(contents):
            with open(os.path.join(folder, "h-%d.trace" % i), "wb") as f:
                f.write(content)
        found = trace.read_run(folder, programs.get(name), len(contents) if name == "treesearch" else None, phase)
    if found.balance is None:
        assert found.why and isinstance(found.why, str) and found.lanes == ()
        return
    b = found.balance
    assert found.why is None and document.balance_problem(b) is None
    assert otf2trace.lanes_problem(found.lanes) is None
    assert 0 < b.load_balance <= 1 and all(v >= 0 for v in b.useful_s + b.waiting_s)
    if b.communication_efficiency is not None:
        assert 0 < phase and 0 <= b.communication_efficiency <= (phase + 0.001) / phase * (1 + 1e-6)
    assert [tuple((i.kind, i.start, i.end) for i in lane.intervals) for lane in found.lanes] == list(b.timeline)
